// CardTable.h - the cards of a game as the client shows them: reads the
// card message (count, then row, column and card index for each card),
// draws the 3 x 6 table as text and finds every set on it with the shared
// play field's set search. Used by one thread at a time (the reader thread
// that received the cards).
#ifndef CARDTABLE_H
#define CARDTABLE_H

#include <stddef.h>

#include "Deck.h"
#include "VirtualPlayField.h"

// Bytes per card in the card message: row, column, card index.
const int CARDTABLE_BYTES_PER_CARD = 3;

class CardTable {
public:
    CardTable();
    CardTable(const CardTable&) = delete;
    CardTable& operator=(const CardTable&) = delete;

    // Takes a card message. False, and an empty table, when it is not one:
    // too short for its count, a position off the table or taken twice, a
    // card index outside 0 to 80 or a card dealt twice.
    bool load(const char* payload, int length);
    int getCardCount() const { return cardCount; }
    // The card at (row, col), or null.
    const card_t* cardAt(int row, int col) const;
    // Every set on the table, in the positions of the message; returns how
    // many (at most PLAYFIELD_MAX_SETS).
    int findSets(set_t* sets);
    // The table, a legend and the sets found, as lines of text.
    void format(char* text, size_t size, bool colours);
    // The same without the sets (for a player who is to find them).
    void formatTable(char* text, size_t size, bool colours);

private:
    void clear();
    bool placeCard(int row, int col, int stackIndex);
    void formatRow(char* text, size_t size, int row, int firstCol, int lastCol, bool colours);
    void formatSets(char* text, size_t size);

    Deck deck;  // generation order: looks cards up by their index
    card_t* grid[PLAYFIELD_ROWS][PLAYFIELD_COLUMNS];
    int cardCount;
};

#endif
