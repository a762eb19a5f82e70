// CardsTest.cpp - the deck's order, deal and shuffle; the play field's placement, tags and sets.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "Deck.h"
#include "SetRule.h"
#include "VirtualPlayField.h"

static std::vector<int> dealAll(Deck* deck) {
    std::vector<int> order;
    deck->resetCards();
    for (card_t* card = deck->nextCard(); card != nullptr; card = deck->nextCard()) {
        order.push_back(card->stackIndex);
    }
    return order;
}

// Card i holds the base-3 digits of i: colour, filling, number, symbol from the lowest up; colour
// and filling map digits 0, 1, 2 to the values 2, 1, 3, which clients rely on. A shuffle moves the
// cards, never the deal position; it draws its permutation from rand.
TEST(DeckTest, CardsHoldTheDigitsOfTheirIndexAreDealtInOrderAndShuffledByRand) {
    const int twoOneThree[3] = {2, 1, 3};
    Deck deck;
    Deck same;
    std::vector<int> inOrder(DECK_CARD_COUNT);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    EXPECT_EQ(dealAll(&deck), inOrder);
    deck.resetCards();
    deck.nextCard();
    srand(4711);
    deck.shuffleDeck();
    srand(4711);
    same.shuffleDeck();
    EXPECT_EQ(deck.cardsInDeck(), DECK_CARD_COUNT - 1);
    for (int i = 0; i < DECK_CARD_COUNT; i++) {
        const card_t* c = deck.getCardByIndex(i);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(std::vector<int>({c->stackIndex, c->color, c->filling, c->number, c->symbol}),
                  std::vector<int>(
                      {i, twoOneThree[i % 3], twoOneThree[i / 3 % 3], i / 9 % 3 + 1, i / 27 + 1}));
    }
    EXPECT_EQ(deck.getCardByIndex(-1), nullptr);
    EXPECT_EQ(deck.getCardByIndex(DECK_CARD_COUNT), nullptr);
    std::vector<int> order = dealAll(&deck);
    EXPECT_EQ(order, dealAll(&same));
    EXPECT_EQ(std::set<int>(order.begin(), order.end()).size(), size_t(DECK_CARD_COUNT));
    int inPlace = std::inner_product(order.begin(), order.end(), inOrder.begin(), 0,
                                     std::plus<int>(), std::equal_to<int>());
    EXPECT_LT(inPlace, 20) << "10000 random swaps leave about one card in place";
    same.shuffleDeck();
    EXPECT_NE(order, dealAll(&same));
    deck.resetDeck();
    EXPECT_EQ(deck.cardsInDeck(), 0) << "all dealt still";
    EXPECT_EQ(dealAll(&deck), inOrder);
}

// rowAndColumn: row * 10 + column of each card dealt; the 13th fills the hole at (1, 2). Then cards
// are tagged once each and three at most, and the tagged ones removed.
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
    EXPECT_FALSE(field.addCard(deck.nextCard(), nullptr, nullptr)) << "a full field";
    EXPECT_EQ(field.getCard(1, 2)->stackIndex, 12);
    EXPECT_EQ(field.getCard(3, 0), nullptr);
    EXPECT_EQ(field.getCard(0, -1), nullptr);
    EXPECT_FALSE(field.setTagging(0, 1, true));
    EXPECT_FALSE(field.setTagging(0, 1, true)) << "tagged twice";
    EXPECT_FALSE(field.setTagging(5, 9, true)) << "off the field";
    EXPECT_FALSE(field.setTagging(0, 2, true));
    EXPECT_TRUE(field.setTagging(0, 3, true)) << "the third tag completes the record";
    EXPECT_FALSE(field.setTagging(0, 4, true)) << "a fourth tag";
    EXPECT_FALSE(field.setTagging(0, 1, false));
    EXPECT_TRUE(field.setTagging(0, 4, true)) << "the freed entry is taken again";
    field.removeTaggedCards();
    EXPECT_NE(field.getCard(0, 1), nullptr) << "untagged before the removal";
    EXPECT_EQ(field.getCard(0, 4), nullptr);
    EXPECT_FALSE(field.setTagging(0, 2, true)) << "no card there";
    field.setTagging(1, 1, true);
    field.setTagging(1, 2, true);
    EXPECT_TRUE(field.setTagging(1, 3, true)) << "the removal emptied the record";
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
    for (int round = 0; round < 2000; round++) {
        field.resetPlayField();
        for (int k = 3 + static_cast<int>(random() % 16); k > 0; k--) {
            field.addCard(deck.getCardByIndex(static_cast<int>(random() % DECK_CARD_COUNT)),
                          nullptr, nullptr);
        }
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
    }
}
