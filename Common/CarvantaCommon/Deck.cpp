// Deck.cpp - generation, shuffle and dealing of the 81 cards. The attributes
// of card i are the base-3 digits of i: colour, filling, number, symbol from
// the lowest digit up. Colour and filling map digit 0 to their value 2 and
// digit 1 to value 1, unlike number and symbol; clients rely on this order.
#include "Deck.h"

#include <stdlib.h>

namespace {

const cardColor_t COLOR_BY_DIGIT[CARD_ATTRIBUTE_VALUES] = {CARDCOLOR_BLUE, CARDCOLOR_RED,
                                                           CARDCOLOR_PURPLE};
const cardFilling_t FILLING_BY_DIGIT[CARD_ATTRIBUTE_VALUES] = {CARDFILLING_SOLID, CARDFILLING_OPEN,
                                                               CARDFILLING_HALF};
const cardNumber_t NUMBER_BY_DIGIT[CARD_ATTRIBUTE_VALUES] = {CARDNUMBER_ONE, CARDNUMBER_TWO,
                                                             CARDNUMBER_THREE};
const cardSymbol_t SYMBOL_BY_DIGIT[CARD_ATTRIBUTE_VALUES] = {CARDSYMBOL_ELLIPSE,
                                                             CARDSYMBOL_RECTANGLE, CARDSYMBOL_WAVE};

}  // namespace

Deck::Deck() : cards(), cardIndex(0) {
    resetDeck();
}

Deck::~Deck() {}

card_t Deck::generateCard(int index) {
    const int base = CARD_ATTRIBUTE_VALUES;
    card_t card;
    card.stackIndex = index;
    card.color = COLOR_BY_DIGIT[index % base];
    card.filling = FILLING_BY_DIGIT[(index / base) % base];
    card.number = NUMBER_BY_DIGIT[(index / (base * base)) % base];
    card.symbol = SYMBOL_BY_DIGIT[(index / (base * base * base)) % base];
    return card;
}

void Deck::resetDeck() {
    for (int i = 0; i < DECK_CARD_COUNT; i++) {
        cards[i] = generateCard(i);
    }
}

void Deck::resetCards() {
    cardIndex = 0;
}

void Deck::shuffleDeck() {
    for (int swap = 0; swap < DECK_SHUFFLE_SWAPS; swap++) {
        int a = rand() % DECK_CARD_COUNT;
        int b = rand() % DECK_CARD_COUNT;
        card_t held = cards[a];
        cards[a] = cards[b];
        cards[b] = held;
    }
}

card_t* Deck::nextCard() {
    if (cardIndex >= DECK_CARD_COUNT) {
        return nullptr;
    }
    card_t* card = &cards[cardIndex];
    cardIndex++;
    return card;
}

int Deck::cardsInDeck() {
    return DECK_CARD_COUNT - cardIndex;
}

card_t* Deck::getCardByIndex(int index) {
    for (int i = 0; i < DECK_CARD_COUNT; i++) {
        if (cards[i].stackIndex == index) {
            return &cards[i];
        }
    }
    return nullptr;
}
