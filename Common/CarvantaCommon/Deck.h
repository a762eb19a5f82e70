// Deck.h - the 81 cards of the game, one per combination of four attributes
// with three values each, in a fixed generation order; shuffled with the
// process-wide rand() and dealt one after another. Shared with the game
// client. Not locked: a deck belongs to one game and its thread.
#ifndef DECK_H
#define DECK_H

// Cards in a deck.
const int DECK_CARD_COUNT = 81;
// Values of each attribute.
const int CARD_ATTRIBUTE_VALUES = 3;
// Record swaps of one shuffle.
const int DECK_SHUFFLE_SWAPS = 10000;

// Attribute values are 32-bit; 0 is no valid value.
typedef enum {
    CARDCOLOR_RED = 1,
    CARDCOLOR_BLUE = 2,
    CARDCOLOR_PURPLE = 3,
} cardColor_t;

typedef enum {
    CARDSYMBOL_ELLIPSE = 1,
    CARDSYMBOL_RECTANGLE = 2,
    CARDSYMBOL_WAVE = 3,
} cardSymbol_t;

typedef enum {
    CARDNUMBER_ONE = 1,
    CARDNUMBER_TWO = 2,
    CARDNUMBER_THREE = 3,
} cardNumber_t;

typedef enum {
    CARDFILLING_OPEN = 1,
    CARDFILLING_SOLID = 2,
    CARDFILLING_HALF = 3,
} cardFilling_t;

// A card's identity on the wire is its stackIndex, its position in
// generation order (0 to 80); it moves with the card when shuffled.
typedef struct {
    int stackIndex;
    cardColor_t color;
    cardSymbol_t symbol;
    cardNumber_t number;
    cardFilling_t filling;
} card_t;

class Deck {
public:
    // Generated in order, dealing from the first card.
    Deck();
    virtual ~Deck();

    // Rewrites all cards in generation order; the deal position stays.
    void resetDeck();
    // Dealing starts again at the first card of the current order.
    void resetCards();
    // 10000 swaps of two positions drawn with rand(); the deal position stays.
    void shuffleDeck();
    // The next card, or null once all 81 are dealt.
    card_t* nextCard();
    // Cards not yet dealt.
    int cardsInDeck();
    // The card with this stackIndex, or null for any value outside 0 to 80.
    card_t* getCardByIndex(int index);

    // The card generation gives position `index` (0 to 80).
    static card_t generateCard(int index);

private:
    card_t cards[DECK_CARD_COUNT];
    int cardIndex;  // next card to deal, 0 to 81
};

#endif
