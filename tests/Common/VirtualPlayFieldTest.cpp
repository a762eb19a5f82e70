// VirtualPlayFieldTest.cpp - placement order, tagging, the set rule and the
// set search of the play field, the search checked against an independent
// rule on many random fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "Deck.h"
#include "VirtualPlayField.h"

namespace {

struct Pos {
    int row;
    int col;
};

const Pos OPENING_ORDER[12] = {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {1, 1}, {1, 2},
                               {1, 3}, {1, 4}, {2, 1}, {2, 2}, {2, 3}, {2, 4}};

// Independent of the attribute tables: card indices are base-3 digit
// vectors, and three cards form a set exactly when every digit sums to a
// multiple of 3 (all equal or all different).
bool digitsFormSet(int a, int b, int c) {
    for (int d = 0; d < 4; d++) {
        if ((a % 3 + b % 3 + c % 3) % 3 != 0) {
            return false;
        }
        a /= 3;
        b /= 3;
        c /= 3;
    }
    return true;
}

// Cards 0..80 picked greedily so that no three form a set.
std::vector<int> capWithoutSet() {
    std::vector<int> chosen;
    for (int candidate = 0; candidate < DECK_CARD_COUNT; candidate++) {
        bool completesSet = false;
        for (size_t i = 0; i < chosen.size() && !completesSet; i++) {
            for (size_t j = i + 1; j < chosen.size() && !completesSet; j++) {
                completesSet = digitsFormSet(chosen[i], chosen[j], candidate);
            }
        }
        if (!completesSet) {
            chosen.push_back(candidate);
        }
    }
    return chosen;
}

void fillOpening(VirtualPlayField* field, Deck* deck, const int* indices) {
    for (int k = 0; k < 12; k++) {
        ASSERT_TRUE(field->addCard(deck->getCardByIndex(indices[k]), nullptr, nullptr));
    }
}

}  // namespace

TEST(VirtualPlayFieldTest, PlacesMiddleColumnsFirstThenRightThenLeft) {
    Deck deck;
    VirtualPlayField field;
    for (int k = 0; k < 12; k++) {
        int row = -1;
        int col = -1;
        ASSERT_TRUE(field.addCard(deck.nextCard(), &row, &col));
        EXPECT_EQ(row, OPENING_ORDER[k].row) << "card " << k;
        EXPECT_EQ(col, OPENING_ORDER[k].col) << "card " << k;
    }
    const Pos rest[6] = {{0, 5}, {1, 5}, {2, 5}, {0, 0}, {1, 0}, {2, 0}};
    for (int k = 0; k < 6; k++) {
        int row = -1;
        int col = -1;
        ASSERT_TRUE(field.addCard(deck.nextCard(), &row, &col));
        EXPECT_EQ(row, rest[k].row) << "card " << 12 + k;
        EXPECT_EQ(col, rest[k].col) << "card " << 12 + k;
    }
    int row = 77;
    int col = 77;
    EXPECT_FALSE(field.addCard(deck.nextCard(), &row, &col));
    EXPECT_EQ(row, 77);
    EXPECT_EQ(col, 77);
    EXPECT_EQ(field.getCard(0, 1)->stackIndex, 0);
    EXPECT_EQ(field.getCard(2, 0)->stackIndex, 17);
    EXPECT_EQ(field.getCard(3, 0), nullptr);
    EXPECT_EQ(field.getCard(0, -1), nullptr);
}

TEST(VirtualPlayFieldTest, RemovedTaggedCardsAreRefilledFirst) {
    Deck deck;
    VirtualPlayField field;
    for (int k = 0; k < 12; k++) {
        ASSERT_TRUE(field.addCard(deck.nextCard(), nullptr, nullptr));
    }
    EXPECT_FALSE(field.setTagging(1, 2, true));
    field.removeTaggedCards();
    EXPECT_EQ(field.getCard(1, 2), nullptr);
    EXPECT_EQ(field.getNumberOfTaggedCards(), 0);
    int row = -1;
    int col = -1;
    card_t* next = deck.nextCard();
    ASSERT_TRUE(field.addCard(next, &row, &col));
    EXPECT_EQ(row, 1);
    EXPECT_EQ(col, 2);
    EXPECT_EQ(field.getCard(1, 2), next);
    ASSERT_TRUE(field.addCard(deck.nextCard(), &row, &col));
    EXPECT_EQ(row, 0);
    EXPECT_EQ(col, 5);
}

TEST(VirtualPlayFieldTest, TagsAtMostThreeCardsInFreeEntries) {
    Deck deck;
    VirtualPlayField field;
    for (int k = 0; k < 12; k++) {
        ASSERT_TRUE(field.addCard(deck.nextCard(), nullptr, nullptr));
    }
    EXPECT_FALSE(field.setTagging(0, 1, true));
    EXPECT_FALSE(field.setTagging(0, 2, true));
    EXPECT_TRUE(field.setTagging(0, 3, true)) << "the third tag completes the record";
    EXPECT_FALSE(field.setTagging(0, 4, true)) << "a fourth tag is refused";
    EXPECT_EQ(field.getNumberOfTaggedCards(), 3);
    set_t tags = field.getTaggedCards();
    EXPECT_EQ(tags.col[0], 1);
    EXPECT_EQ(tags.col[1], 2);
    EXPECT_EQ(tags.col[2], 3);

    // Untagging frees its entry; the next tag takes the first free one.
    EXPECT_FALSE(field.setTagging(0, 1, false));
    EXPECT_EQ(field.getNumberOfTaggedCards(), 2);
    EXPECT_EQ(field.getTaggedCards().row[0], -1);
    EXPECT_EQ(field.getTaggedCards().col[0], -1);
    EXPECT_TRUE(field.setTagging(2, 4, true));
    tags = field.getTaggedCards();
    EXPECT_EQ(tags.row[0], 2);
    EXPECT_EQ(tags.col[0], 4);
    EXPECT_EQ(tags.col[1], 2);
    EXPECT_EQ(tags.col[2], 3);

    field.removeTaggedCards();
    EXPECT_EQ(field.getNumberOfTaggedCards(), 0);
    EXPECT_EQ(field.getCard(2, 4), nullptr);
    EXPECT_EQ(field.getCard(0, 2), nullptr);
    EXPECT_EQ(field.getCard(0, 3), nullptr);
    EXPECT_NE(field.getCard(0, 1), nullptr);
}

TEST(VirtualPlayFieldTest, RefusesTagsThatWouldCorruptTheRecord) {
    Deck deck;
    VirtualPlayField field;
    ASSERT_TRUE(field.addCard(deck.nextCard(), nullptr, nullptr));  // (0,1)
    EXPECT_FALSE(field.setTagging(0, 1, true));
    EXPECT_FALSE(field.setTagging(0, 1, true)) << "tagging twice";
    EXPECT_EQ(field.getNumberOfTaggedCards(), 1);
    EXPECT_FALSE(field.setTagging(0, 2, true)) << "no card there";
    EXPECT_FALSE(field.setTagging(5, 9, true)) << "off the field";
    EXPECT_FALSE(field.setTagging(0, 3, false)) << "untagging an untagged place";
    EXPECT_EQ(field.getNumberOfTaggedCards(), 1);
    EXPECT_FALSE(field.isSetTagged());
}

TEST(VirtualPlayFieldTest, SetRuleOnTheGenerationOrder) {
    Deck deck;
    card_t* set[3] = {deck.getCardByIndex(0), deck.getCardByIndex(1), deck.getCardByIndex(2)};
    EXPECT_TRUE(VirtualPlayField::isSet(set));
    card_t* noSet[3] = {deck.getCardByIndex(0), deck.getCardByIndex(1), deck.getCardByIndex(3)};
    EXPECT_FALSE(VirtualPlayField::isSet(noSet));
    // All four attributes different at once.
    card_t* allDifferent[3] = {deck.getCardByIndex(0), deck.getCardByIndex(40),
                               deck.getCardByIndex(80)};
    EXPECT_TRUE(VirtualPlayField::isSet(allDifferent));
    // The attribute named for a non-set: digits from the lowest are colour,
    // filling, number, symbol; the first broken in the order colour,
    // number, symbol, filling is named.
    struct {
        int cards[3];
        const char* broken;
    } const namedCases[] = {
        {{0, 1, 2}, nullptr},   {{0, 3, 7}, "colour"},  {{0, 1, 5}, "filling"},
        {{0, 1, 11}, "number"}, {{0, 1, 29}, "symbol"}, {{0, 1, 14}, "number"},
    };
    for (const auto& c : namedCases) {
        card_t* triple[3] = {deck.getCardByIndex(c.cards[0]), deck.getCardByIndex(c.cards[1]),
                             deck.getCardByIndex(c.cards[2])};
        const char* broken = VirtualPlayField::brokenAttribute(triple);
        EXPECT_STREQ(c.broken, broken) << c.cards[0] << " " << c.cards[1] << " " << c.cards[2];
    }
    for (int a = 0; a < DECK_CARD_COUNT; a += 7) {
        for (int b = a + 1; b < DECK_CARD_COUNT; b += 5) {
            for (int c = b + 1; c < DECK_CARD_COUNT; c++) {
                card_t* triple[3] = {deck.getCardByIndex(a), deck.getCardByIndex(b),
                                     deck.getCardByIndex(c)};
                ASSERT_EQ(VirtualPlayField::isSet(triple), digitsFormSet(a, b, c))
                    << a << " " << b << " " << c;
            }
        }
    }
}

TEST(VirtualPlayFieldTest, IsSetTaggedLooksAtTheThreeTaggedCards) {
    Deck deck;
    VirtualPlayField field;
    for (int k = 0; k < 4; k++) {
        ASSERT_TRUE(field.addCard(deck.nextCard(), nullptr, nullptr));  // 0..3 at (0,1)..(0,4)
    }
    field.setTagging(0, 1, true);
    field.setTagging(0, 2, true);
    EXPECT_FALSE(field.isSetTagged()) << "two tags only";
    field.setTagging(0, 3, true);
    EXPECT_TRUE(field.isSetTagged()) << "cards 0, 1, 2";
    field.setTagging(0, 3, false);
    field.setTagging(0, 4, true);
    EXPECT_FALSE(field.isSetTagged()) << "cards 0, 1, 3";
    field.emptyPlayField();
    EXPECT_EQ(field.getNumberOfTaggedCards(), 3) << "emptying keeps the tags";
    EXPECT_FALSE(field.isSetTagged()) << "tagged places without cards";
    field.resetPlayField();
    EXPECT_EQ(field.getNumberOfTaggedCards(), 0);
    set_t tags = field.getTaggedCards();
    for (int t = 0; t < 3; t++) {
        EXPECT_EQ(tags.row[t], -1);
        EXPECT_EQ(tags.col[t], -1);
    }
}

TEST(VirtualPlayFieldTest, FindSetReportsNothingOnTwelveCardsWithoutSet) {
    std::vector<int> cap = capWithoutSet();
    ASSERT_GE(cap.size(), 12u);
    Deck deck;
    VirtualPlayField field;
    fillOpening(&field, &deck, cap.data());
    set_t sets[PLAYFIELD_MAX_SETS];
    sets[0].row[0] = 99;
    EXPECT_EQ(field.findSet(sets), 0);
    EXPECT_EQ(sets[0].row[0], 99) << "nothing written";

    // Swapping in the card that completes the first two cards' set gives
    // exactly that one set, reported in index order.
    int third = 0;
    while (!digitsFormSet(cap[0], cap[1], third)) {
        third++;
    }
    field.resetPlayField();
    int withSet[12];
    std::copy(cap.begin(), cap.begin() + 12, withSet);
    withSet[11] = third;
    fillOpening(&field, &deck, withSet);
    int count = field.findSet(sets);
    int expected = 0;
    for (int i = 0; i < 12; i++) {
        for (int j = i + 1; j < 12; j++) {
            for (int k = j + 1; k < 12; k++) {
                expected += digitsFormSet(withSet[i], withSet[j], withSet[k]) ? 1 : 0;
            }
        }
    }
    EXPECT_EQ(count, expected);
    ASSERT_GE(count, 1);
    EXPECT_EQ(sets[0].row[0], 0);
    EXPECT_EQ(sets[0].col[0], 1);
    EXPECT_EQ(sets[0].row[1], 0);
    EXPECT_EQ(sets[0].col[1], 2);
}

TEST(VirtualPlayFieldTest, FindSetMatchesBruteForceOnRandomFields) {
    std::mt19937 random(20240611);
    Deck deck;
    VirtualPlayField field;
    int fieldsWithSets = 0;
    for (int round = 0; round < 2000; round++) {
        field.resetPlayField();
        std::vector<int> indices(DECK_CARD_COUNT);
        for (int i = 0; i < DECK_CARD_COUNT; i++) {
            indices[i] = i;
        }
        std::shuffle(indices.begin(), indices.end(), random);
        int cards = 3 + static_cast<int>(random() % 16);  // 3 to 18
        card_t* byPosition[PLAYFIELD_POSITIONS] = {};
        for (int k = 0; k < cards; k++) {
            int row = -1;
            int col = -1;
            card_t* card = deck.getCardByIndex(indices[k]);
            ASSERT_TRUE(field.addCard(card, &row, &col));
            byPosition[row * PLAYFIELD_COLUMNS + col] = card;
        }
        // Holes: remove up to three cards through tagging.
        int holes = static_cast<int>(random() % 4);
        for (int h = 0; h < holes; h++) {
            int p = static_cast<int>(random() % PLAYFIELD_POSITIONS);
            if (field.setTagging(p / PLAYFIELD_COLUMNS, p % PLAYFIELD_COLUMNS, true)) {
                break;
            }
        }
        set_t tags = field.getTaggedCards();
        for (int t = 0; t < 3; t++) {
            if (tags.row[t] >= 0) {
                byPosition[tags.row[t] * PLAYFIELD_COLUMNS + tags.col[t]] = nullptr;
            }
        }
        field.removeTaggedCards();

        std::vector<int> expected;
        for (int i = 0; i < PLAYFIELD_POSITIONS; i++) {
            for (int j = i + 1; j < PLAYFIELD_POSITIONS; j++) {
                for (int k = j + 1; k < PLAYFIELD_POSITIONS; k++) {
                    if (byPosition[i] && byPosition[j] && byPosition[k] &&
                        digitsFormSet(byPosition[i]->stackIndex, byPosition[j]->stackIndex,
                                      byPosition[k]->stackIndex)) {
                        expected.push_back(i * 10000 + j * 100 + k);
                    }
                }
            }
        }
        set_t sets[PLAYFIELD_MAX_SETS];
        int count = field.findSet(sets);
        ASSERT_LE(count, PLAYFIELD_MAX_SETS);
        std::vector<int> found;
        for (int s = 0; s < count; s++) {
            int encoded = 0;
            for (int t = 0; t < 3; t++) {
                encoded = encoded * 100 + sets[s].row[t] * PLAYFIELD_COLUMNS + sets[s].col[t];
            }
            found.push_back(encoded);
        }
        ASSERT_EQ(found, expected) << "round " << round;
        fieldsWithSets += count > 0 ? 1 : 0;
    }
    EXPECT_GT(fieldsWithSets, 1000) << "the random fields should mostly hold sets";
}
