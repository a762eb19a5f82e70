// VirtualPlayField.h - the table of a game: 3 rows by 6 columns of
// positions, the placement order of new cards, up to three tagged cards,
// the set rule and the search for every set on the table. Shared with the
// game client. Not locked: a field belongs to one game and its thread.
#ifndef VIRTUALPLAYFIELD_H
#define VIRTUALPLAYFIELD_H

#include "Deck.h"
#include "VirtualPlayFieldPosition.h"

const int PLAYFIELD_ROWS = 3;
const int PLAYFIELD_COLUMNS = 6;
// Positions numbered row by row: index = row * PLAYFIELD_COLUMNS + col.
const int PLAYFIELD_POSITIONS = PLAYFIELD_ROWS * PLAYFIELD_COLUMNS;
// Cards of a set, and of the tag record.
const int SET_CARD_COUNT = 3;
// Two cards complete exactly one set, so 18 distinct cards hold at most
// 18 * 17 / 2 / 3 sets: the room findSet needs.
const int PLAYFIELD_MAX_SETS = PLAYFIELD_POSITIONS * (PLAYFIELD_POSITIONS - 1) / 2 / SET_CARD_COUNT;

// Three positions: entry t is (row[t], col[t]). In the tag record a free
// entry holds -1 in both.
typedef struct {
    int row[SET_CARD_COUNT];
    int col[SET_CARD_COUNT];
} set_t;

class VirtualPlayField {
public:
    // 18 empty, untagged positions and an empty tag record.
    VirtualPlayField();
    virtual ~VirtualPlayField();
    VirtualPlayField(const VirtualPlayField&) = delete;
    VirtualPlayField& operator=(const VirtualPlayField&) = delete;

    // Lays `card` on the first free position of the placement order (the
    // middle four columns row by row, then column 5, then column 0) and
    // writes where (each pointer may be null). False when all 18 are taken.
    bool addCard(card_t* card, int* addedRow, int* addedCol);
    // The card at (row, col), or null (also off the field).
    card_t* getCard(int row, int col);
    // Tags or untags a position; true exactly when this call tagged the
    // third card. A position off the field, without a card, or already in
    // the wanted state is refused (false, nothing changes).
    bool setTagging(int row, int col, bool tagged);
    // Untags each tagged position and removes its card.
    void removeTaggedCards();
    // Every position empty and untagged, the tag record empty.
    void resetPlayField();
    // Removes every card; tags and the tag record stay.
    void emptyPlayField();
    // Whether the three tagged cards form a set (false unless three are
    // tagged and all three positions still hold a card).
    bool isSetTagged();
    // Writes every set on the table (room for PLAYFIELD_MAX_SETS) in
    // increasing order of position indices; returns how many.
    int findSet(set_t* sets);
    int getNumberOfTaggedCards() { return numberOfTaggedCards; }
    // The tag record (entry order is not tagging order).
    set_t getTaggedCards() { return taggedCards; }

    // The set rule: for each attribute the three values are all equal or
    // all different.
    static bool isSet(card_t** cards);
    // The first attribute that breaks the set rule ("colour", "number",
    // "symbol", "filling"), or null when the three cards are a set.
    static const char* brokenAttribute(card_t** cards);

protected:
    // Puts the card on the position; the hook for every placement.
    virtual void addCardToPosition(card_t* card, VirtualPlayFieldPosition* position);
    void untagTaggedCards();
    // Brings the tag record in line with the tag of one position.
    void updatePlayFieldInfo(int row, int col);

private:
    bool isOnField(int row, int col);
    bool placeAt(card_t* card, int row, int col, int* addedRow, int* addedCol);
    void clearTagRecord();
    void refreshCardsInPlay();
    bool isSetAt(int i, int j, int k);  // positions by index, cardsInPlay

    int numberOfTaggedCards;
    set_t taggedCards;
    VirtualPlayFieldPosition* positions[PLAYFIELD_ROWS][PLAYFIELD_COLUMNS];
    card_t* cardsInPlay[PLAYFIELD_POSITIONS];  // refreshed by findSet
};

#endif
