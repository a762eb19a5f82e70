// DeckTest.cpp - generation order, dealing, reset and shuffle of the deck.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <set>
#include <vector>

#include "Deck.h"

namespace {

void expectCard(const card_t* card, int index, cardColor_t color, cardSymbol_t symbol,
                cardNumber_t number, cardFilling_t filling) {
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->stackIndex, index);
    EXPECT_EQ(card->color, color) << "card " << index;
    EXPECT_EQ(card->symbol, symbol) << "card " << index;
    EXPECT_EQ(card->number, number) << "card " << index;
    EXPECT_EQ(card->filling, filling) << "card " << index;
}

bool sameAttributes(const card_t& a, const card_t& b) {
    return a.color == b.color && a.symbol == b.symbol && a.number == b.number &&
           a.filling == b.filling;
}

// Deals the whole deck and returns the stackIndex sequence.
std::vector<int> dealAll(Deck* deck) {
    std::vector<int> order;
    deck->resetCards();
    for (card_t* card = deck->nextCard(); card != nullptr; card = deck->nextCard()) {
        order.push_back(card->stackIndex);
    }
    return order;
}

}  // namespace

TEST(DeckTest, GeneratesTheCardsFromTheDigitsOfTheirIndex) {
    Deck deck;
    expectCard(deck.getCardByIndex(0), 0, CARDCOLOR_BLUE, CARDSYMBOL_ELLIPSE, CARDNUMBER_ONE,
               CARDFILLING_SOLID);
    expectCard(deck.getCardByIndex(1), 1, CARDCOLOR_RED, CARDSYMBOL_ELLIPSE, CARDNUMBER_ONE,
               CARDFILLING_SOLID);
    expectCard(deck.getCardByIndex(2), 2, CARDCOLOR_PURPLE, CARDSYMBOL_ELLIPSE, CARDNUMBER_ONE,
               CARDFILLING_SOLID);
    expectCard(deck.getCardByIndex(3), 3, CARDCOLOR_BLUE, CARDSYMBOL_ELLIPSE, CARDNUMBER_ONE,
               CARDFILLING_OPEN);
    expectCard(deck.getCardByIndex(6), 6, CARDCOLOR_BLUE, CARDSYMBOL_ELLIPSE, CARDNUMBER_ONE,
               CARDFILLING_HALF);
    expectCard(deck.getCardByIndex(9), 9, CARDCOLOR_BLUE, CARDSYMBOL_ELLIPSE, CARDNUMBER_TWO,
               CARDFILLING_SOLID);
    expectCard(deck.getCardByIndex(27), 27, CARDCOLOR_BLUE, CARDSYMBOL_RECTANGLE, CARDNUMBER_ONE,
               CARDFILLING_SOLID);
    expectCard(deck.getCardByIndex(54), 54, CARDCOLOR_BLUE, CARDSYMBOL_WAVE, CARDNUMBER_ONE,
               CARDFILLING_SOLID);
    expectCard(deck.getCardByIndex(80), 80, CARDCOLOR_PURPLE, CARDSYMBOL_WAVE, CARDNUMBER_THREE,
               CARDFILLING_HALF);
}

TEST(DeckTest, AllCardsAreValidAndPairwiseDifferent) {
    Deck deck;
    std::set<int> combinations;
    for (int i = 0; i < DECK_CARD_COUNT; i++) {
        card_t* card = deck.getCardByIndex(i);
        ASSERT_NE(card, nullptr);
        ASSERT_GE(card->color, 1);
        ASSERT_LE(card->color, 3);
        ASSERT_GE(card->symbol, 1);
        ASSERT_LE(card->symbol, 3);
        ASSERT_GE(card->number, 1);
        ASSERT_LE(card->number, 3);
        ASSERT_GE(card->filling, 1);
        ASSERT_LE(card->filling, 3);
        combinations.insert(card->color * 1000 + card->symbol * 100 + card->number * 10 +
                            card->filling);
    }
    EXPECT_EQ(combinations.size(), static_cast<size_t>(DECK_CARD_COUNT));
}

TEST(DeckTest, DealsInOrderAndRunsDry) {
    Deck deck;
    EXPECT_EQ(deck.cardsInDeck(), DECK_CARD_COUNT);
    for (int i = 0; i < DECK_CARD_COUNT; i++) {
        card_t* card = deck.nextCard();
        ASSERT_NE(card, nullptr) << "deal " << i;
        EXPECT_EQ(card->stackIndex, i);
        EXPECT_EQ(deck.cardsInDeck(), DECK_CARD_COUNT - i - 1);
    }
    EXPECT_EQ(deck.cardsInDeck(), 0);
    EXPECT_EQ(deck.nextCard(), nullptr);
    EXPECT_EQ(deck.nextCard(), nullptr);
    EXPECT_EQ(deck.cardsInDeck(), 0);
}

TEST(DeckTest, ResetDeckRestoresOrderButNotTheDealPosition) {
    Deck deck;
    deck.shuffleDeck();
    for (int i = 0; i < 10; i++) {
        ASSERT_NE(deck.nextCard(), nullptr);
    }
    deck.resetDeck();
    EXPECT_EQ(deck.cardsInDeck(), DECK_CARD_COUNT - 10);
    card_t* next = deck.nextCard();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->stackIndex, 10);
    deck.resetCards();
    EXPECT_EQ(deck.cardsInDeck(), DECK_CARD_COUNT);
    std::vector<int> order = dealAll(&deck);
    ASSERT_EQ(order.size(), static_cast<size_t>(DECK_CARD_COUNT));
    for (int i = 0; i < DECK_CARD_COUNT; i++) {
        EXPECT_EQ(order[i], i);
    }
}

TEST(DeckTest, ShuffleIsAPermutationOfTheGeneratedCards) {
    Deck deck;
    ASSERT_NE(deck.nextCard(), nullptr);
    ASSERT_NE(deck.nextCard(), nullptr);
    deck.shuffleDeck();
    EXPECT_EQ(deck.cardsInDeck(), DECK_CARD_COUNT - 2) << "shuffle moved the deal position";

    std::vector<int> order = dealAll(&deck);
    ASSERT_EQ(order.size(), static_cast<size_t>(DECK_CARD_COUNT));
    std::set<int> seen(order.begin(), order.end());
    EXPECT_EQ(seen.size(), static_cast<size_t>(DECK_CARD_COUNT));
    EXPECT_EQ(*seen.begin(), 0);
    EXPECT_EQ(*seen.rbegin(), DECK_CARD_COUNT - 1);
    int inPlace = 0;
    for (int i = 0; i < DECK_CARD_COUNT; i++) {
        inPlace += order[i] == i ? 1 : 0;
        card_t* card = deck.getCardByIndex(i);
        ASSERT_NE(card, nullptr);
        EXPECT_TRUE(sameAttributes(*card, Deck::generateCard(i))) << "card " << i;
    }
    // 10000 random swaps leave about one card in place, never most of them.
    EXPECT_LT(inPlace, 20);
}

TEST(DeckTest, ShuffleDrawsFromTheProcessGenerator) {
    Deck first;
    Deck second;
    srand(4711);
    first.shuffleDeck();
    srand(4711);
    second.shuffleDeck();
    EXPECT_EQ(dealAll(&first), dealAll(&second));
    second.shuffleDeck();
    EXPECT_NE(dealAll(&first), dealAll(&second));
}

TEST(DeckTest, LooksUpOnlyExistingIndices) {
    Deck deck;
    deck.shuffleDeck();
    EXPECT_EQ(deck.getCardByIndex(-1), nullptr);
    EXPECT_EQ(deck.getCardByIndex(DECK_CARD_COUNT), nullptr);
    for (int i = 0; i < DECK_CARD_COUNT; i++) {
        card_t* card = deck.getCardByIndex(i);
        ASSERT_NE(card, nullptr);
        EXPECT_EQ(card->stackIndex, i);
    }
}
