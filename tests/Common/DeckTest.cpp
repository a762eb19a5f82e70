// DeckTest.cpp - generation order, dealing, reset and shuffle of the deck.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <numeric>
#include <set>
#include <vector>

#include "Deck.h"

static std::vector<int> dealAll(Deck* deck) {
    std::vector<int> order;
    deck->resetCards();
    for (card_t* card = deck->nextCard(); card != nullptr; card = deck->nextCard()) {
        order.push_back(card->stackIndex);
    }
    return order;
}

// Card i holds the base-3 digits of i: colour, filling, number, symbol from the lowest up;
// colour and filling map digits 0, 1, 2 to the values 2, 1, 3, which clients rely on.
TEST(DeckTest, EachCardHoldsTheDigitsOfItsIndexWhereverTheShuffleMovedIt) {
    const int twoOneThree[3] = {2, 1, 3};
    Deck deck;
    deck.shuffleDeck();
    for (int i = 0; i < DECK_CARD_COUNT; i++) {
        card_t* card = deck.getCardByIndex(i);
        ASSERT_NE(card, nullptr);
        EXPECT_EQ(card->stackIndex, i);
        EXPECT_EQ(card->color, twoOneThree[i % 3]) << i;
        EXPECT_EQ(card->filling, twoOneThree[i / 3 % 3]) << i;
        EXPECT_EQ(card->number, i / 9 % 3 + 1) << i;
        EXPECT_EQ(card->symbol, i / 27 + 1) << i;
    }
    EXPECT_EQ(deck.getCardByIndex(-1), nullptr);
    EXPECT_EQ(deck.getCardByIndex(DECK_CARD_COUNT), nullptr);
}

TEST(DeckTest, DealsInOrderAndShuffleDrawsAPermutationFromRandKeepingTheDealPosition) {
    Deck deck;
    Deck same;
    std::vector<int> inOrder(DECK_CARD_COUNT);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    EXPECT_EQ(dealAll(&deck), inOrder);
    EXPECT_EQ(deck.cardsInDeck(), 0);
    deck.resetCards();
    deck.nextCard();
    srand(4711);
    deck.shuffleDeck();
    srand(4711);
    same.shuffleDeck();
    EXPECT_EQ(deck.cardsInDeck(), DECK_CARD_COUNT - 1);
    std::vector<int> order = dealAll(&deck);
    EXPECT_EQ(order, dealAll(&same));
    EXPECT_EQ(std::set<int>(order.begin(), order.end()).size(), size_t(DECK_CARD_COUNT));
    int inPlace = std::inner_product(order.begin(), order.end(), inOrder.begin(), 0,
                                     std::plus<int>(), std::equal_to<int>());
    EXPECT_LT(inPlace, 20) << "10000 random swaps leave about one card in place";
    same.shuffleDeck();
    EXPECT_NE(order, dealAll(&same));
    deck.resetCards();
    for (int i = 0; i < 10; i++) {
        deck.nextCard();
    }
    deck.resetDeck();
    EXPECT_EQ(deck.cardsInDeck(), DECK_CARD_COUNT - 10);
    EXPECT_EQ(deck.nextCard()->stackIndex, 10);
    EXPECT_EQ(dealAll(&deck), inOrder);
}
