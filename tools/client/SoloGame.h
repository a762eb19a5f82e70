// SoloGame.h - the rules of the single-player game on the shared deck and
// play field: twelve cards dealt from a shuffled deck, claims of three
// positions, three more cards on request, hints, points and the end of the
// game. No input, output or clock of its own: the caller passes the time
// of each move, so the rules can be played through at any speed. Main
// thread only.
#ifndef SOLOGAME_H
#define SOLOGAME_H

#include "Deck.h"
#include "VirtualPlayField.h"

// Points: a set is worth SOLOGAME_SET_POINTS, plus one point for every
// SOLOGAME_BONUS_STEP_MS by which it was found faster than
// SOLOGAME_BONUS_WINDOW_MS after the table last changed. A wrong claim and
// a refused `more` cost SOLOGAME_WRONG_PENALTY, a hint SOLOGAME_HINT_PENALTY.
// The score never goes below zero.
const int SOLOGAME_SET_POINTS = 10;
const long SOLOGAME_BONUS_WINDOW_MS = 30000;
const long SOLOGAME_BONUS_STEP_MS = 3000;
const int SOLOGAME_WRONG_PENALTY = 5;
const int SOLOGAME_HINT_PENALTY = 3;
// Cards on the table after the deal and after a set is taken away.
const int SOLOGAME_TABLE_CARDS = 12;

typedef enum {
    CLAIM_SET = 0,        // taken away, points won
    CLAIM_NOT_A_SET = 1,  // penalty; brokenAttribute names the first rule broken
    CLAIM_NO_CARD = 2,    // a position without a card: nothing happens
    CLAIM_TWICE = 3,      // a position named twice: nothing happens
} claimResult_t;

typedef enum {
    MORE_GRANTED = 0,       // three cards added
    MORE_SET_ON_TABLE = 1,  // refused with a penalty
    MORE_DECK_EMPTY = 2,    // nothing left to add: nothing happens
    MORE_TABLE_FULL = 3,    // no room for three more: nothing happens
} moreResult_t;

typedef struct {
    claimResult_t result;
    int points;                   // won (set) or lost (wrong claim, as a negative)
    const char* brokenAttribute;  // the first attribute that breaks the rule; else null
} claimOutcome_t;

class SoloGame {
public:
    // Seeds rand() with seed, shuffles and deals twelve cards; nowMs is the
    // time of the deal.
    SoloGame(unsigned int seed, long long nowMs);
    SoloGame(const SoloGame&) = delete;
    SoloGame& operator=(const SoloGame&) = delete;

    claimOutcome_t claim(const int* rows, const int* cols, long long nowMs);
    // result in the return value; *points the change of the score.
    moreResult_t more(long long nowMs, int* points);
    // One card of a set on the table (and the penalty), or false when the
    // table holds no set (free).
    bool hint(int* row, int* col, int* points);
    // The deck is empty, or the table full, and no set is left on it.
    bool isOver();

    int getScore() const { return score; }
    int getSetsFound() const { return setsFound; }
    int getWrongClaims() const { return wrongClaims; }
    int cardsInDeck() { return deck.cardsInDeck(); }
    int cardsOnTable();
    int setsOnTable();
    card_t* cardAt(int row, int col) { return field.getCard(row, col); }
    // The card message of the table (count, then row, column, card index),
    // as the lobby view reads it; returns its length.
    int tableMessage(char* payload, int size);

private:
    void deal(int cards);
    void addPoints(int points);

    Deck deck;
    VirtualPlayField field;
    int score;
    int setsFound;
    int wrongClaims;
    long long tableChangedMs;
};

#endif
