// ListFormat.h - the two lists that the server sends, as text: the player
// list (24-byte records: id, 20-byte name) and the high-score list (50-byte
// slots of text). Stateless; any thread. Bytes that are not printable ASCII
// are shown as '?', so a name cannot move the terminal's cursor.
#ifndef LISTFORMAT_H
#define LISTFORMAT_H

#include <stddef.h>

// Size of one player list record and of one high-score slot.
const int PLAYER_RECORD_SIZE = 24;
const int HIGHSCORE_SLOT_SIZE = 50;

class ListFormat {
public:
    // "Players on the list (2):" and a table, or "Nobody is on the player
    // list."; a trailing part record is ignored. Returns the player count.
    static int formatPlayers(char* text, size_t size, const char* list, int length);
    // True if the list holds a player of that name.
    static bool listHolds(const char* list, int length, const char* name);
    // "High scores (3):" and one line per slot, or "The high-score list is
    // empty.". The entry of markName (if given) ends in "  <- you". Returns
    // the entry count.
    static int formatHighscores(char* text, size_t size, const char* list, int length,
                                const char* markName = nullptr);
    // Copies a name field (up to its NUL, at most 19 characters) into name
    // (PROTOCOL_NAME_SIZE bytes), replacing unprintable bytes.
    static void readName(char* name, const char* field);
};

#endif
