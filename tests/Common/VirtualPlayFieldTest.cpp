// VirtualPlayFieldTest.cpp - placement order, tagging, the set rule and the set search.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "Deck.h"
#include "SetRule.h"
#include "VirtualPlayField.h"

// rowAndColumn: row * 10 + column of each card dealt; the 13th fills the hole at (1, 2). Then at
// most three cards are tagged, and tags that would corrupt the record are refused.
TEST(VirtualPlayFieldTest, PlacesMiddleColumnsFirstRefillsHolesFirstAndTagsAtMostThreeCards) {
    Deck deck;
    VirtualPlayField field;
    const int rowAndColumn[19] = {1,  2,  3,  4, 11, 12, 13, 14, 21, 22,
                                  23, 24, 12, 5, 15, 25, 0,  10, 20};
    for (int k = 0; k < 19; k++) {
        if (k == 12) {
            field.setTagging(1, 2, true);
            field.removeTaggedCards();
        }
        int row = -1;
        int col = -1;
        ASSERT_TRUE(field.addCard(deck.nextCard(), &row, &col));
        EXPECT_EQ(row * 10 + col, rowAndColumn[k]) << "card " << k;
    }
    int row = 77;
    EXPECT_FALSE(field.addCard(deck.nextCard(), &row, nullptr));
    EXPECT_EQ(row, 77);
    EXPECT_EQ(field.getCard(1, 2)->stackIndex, 12);
    EXPECT_EQ(field.getCard(3, 0), nullptr);
    EXPECT_EQ(field.getCard(0, -1), nullptr);
    EXPECT_FALSE(field.setTagging(0, 1, true));
    EXPECT_FALSE(field.setTagging(0, 1, true)) << "tagged twice";
    EXPECT_FALSE(field.setTagging(0, 3, false)) << "untagging an untagged place";
    EXPECT_FALSE(field.setTagging(5, 9, true)) << "off the field";
    EXPECT_FALSE(field.setTagging(0, 2, true));
    EXPECT_FALSE(field.isSetTagged()) << "two tags only";
    EXPECT_TRUE(field.setTagging(0, 3, true)) << "the third tag completes the record";
    EXPECT_TRUE(field.isSetTagged()) << "cards 0, 1, 2";
    EXPECT_FALSE(field.setTagging(0, 4, true)) << "a fourth tag";
    EXPECT_FALSE(field.setTagging(0, 1, false));
    EXPECT_TRUE(field.setTagging(0, 4, true)) << "the freed first entry is taken again";
    EXPECT_FALSE(field.isSetTagged()) << "cards 1, 2, 3";
    set_t tags = field.getTaggedCards();
    EXPECT_EQ(std::vector<int>(tags.col, tags.col + 3), std::vector<int>({4, 2, 3}));
    field.removeTaggedCards();
    EXPECT_EQ(field.getNumberOfTaggedCards(), 0);
    EXPECT_EQ(field.getCard(0, 2), nullptr);
    EXPECT_EQ(field.getCard(0, 4), nullptr);
    EXPECT_FALSE(field.setTagging(0, 2, true)) << "no card there";
    field.setTagging(0, 1, true);
    field.setTagging(1, 1, true);
    field.setTagging(2, 1, true);
    field.emptyPlayField();
    EXPECT_EQ(field.getNumberOfTaggedCards(), 3) << "emptying keeps the tags";
    EXPECT_FALSE(field.isSetTagged()) << "tagged places without cards";
    field.resetPlayField();
    EXPECT_EQ(field.getTaggedCards().row[0], -1);
}

// The first attribute broken in the order colour, number, symbol, filling is named.
TEST(VirtualPlayFieldTest, TheSetRuleNamesTheFirstBrokenAttributeAndFindSetReportsEverySet) {
    Deck deck;
    const struct {
        int cards[3];
        const char* broken;
    } named[] = {{{0, 40, 80}, nullptr}, {{0, 3, 7}, "colour"},  {{0, 1, 5}, "filling"},
                 {{0, 1, 11}, "number"}, {{0, 1, 29}, "symbol"}, {{0, 1, 14}, "number"}};
    for (const auto& c : named) {
        card_t* triple[3] = {deck.getCardByIndex(c.cards[0]), deck.getCardByIndex(c.cards[1]),
                             deck.getCardByIndex(c.cards[2])};
        EXPECT_STREQ(VirtualPlayField::brokenAttribute(triple), c.broken) << c.cards[2];
    }
    VirtualPlayField field;
    const unsigned seed = 20240611;
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    auto at = [&](int p) { return field.getCard(p / PLAYFIELD_COLUMNS, p % PLAYFIELD_COLUMNS); };
    int fieldsWithSets = 0;
    for (int round = 0; round < 2000; round++) {
        field.resetPlayField();
        for (int k = 3 + static_cast<int>(random() % 16); k > 0; k--) {
            field.addCard(deck.getCardByIndex(static_cast<int>(random() % DECK_CARD_COUNT)),
                          nullptr, nullptr);
        }
        for (int hole = static_cast<int>(random() % 4); hole > 0; hole--) {
            int p = static_cast<int>(random() % PLAYFIELD_POSITIONS);
            field.setTagging(p / PLAYFIELD_COLUMNS, p % PLAYFIELD_COLUMNS, true);
        }
        field.removeTaggedCards();
        std::vector<int> expected;
        for (int i = 0; i < PLAYFIELD_POSITIONS; i++) {
            for (int j = i + 1; j < PLAYFIELD_POSITIONS; j++) {
                for (int k = j + 1; k < PLAYFIELD_POSITIONS; k++) {
                    if (at(i) && at(j) && at(k) && formSet(at(i), at(j), at(k))) {
                        expected.insert(expected.end(), {i, j, k});
                    }
                }
            }
        }
        set_t sets[PLAYFIELD_MAX_SETS];
        std::vector<int> found(3 * field.findSet(sets));
        for (size_t t = 0; t < found.size(); t++) {
            found[t] = sets[t / 3].row[t % 3] * PLAYFIELD_COLUMNS + sets[t / 3].col[t % 3];
        }
        ASSERT_EQ(found, expected) << "round " << round;
        fieldsWithSets += found.empty() ? 0 : 1;
    }
    EXPECT_GT(fieldsWithSets, 1000) << "the random fields should mostly hold sets";
}
