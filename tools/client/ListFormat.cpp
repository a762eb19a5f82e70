// ListFormat.cpp - the player list and the high-score list as text.
#include "ListFormat.h"

#include <stdio.h>
#include <string.h>

#include "GameProtocol.h"
#include "TextBuffer.h"
#include "TextCopy.h"

namespace {

const int PLAYER_NAME_OFFSET = 4;  // behind the 32-bit user id

int readInt32(const char* bytes) {
    unsigned int value = 0;
    for (int i = 3; i >= 0; i--) {
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);  // least significant first
    }
    return static_cast<int>(value);
}

// Copies a slot's text up to its NUL (at most one slot), replacing
// unprintable bytes.
void readSlot(char* line, const char* slot) {
    readField(line, slot, HIGHSCORE_SLOT_SIZE);
    for (char* c = line; *c != '\0'; c++) {
        unsigned char byte = static_cast<unsigned char>(*c);
        if (byte < 0x20 || byte >= 0x7f) {
            *c = '?';
        }
    }
}

// A slot reads "rank. name date score"; true when its name is `name`.
bool slotNames(const char* line, const char* name) {
    char slotName[HIGHSCORE_SLOT_SIZE];
    return name != nullptr && sscanf(line, "%*d. %49s", slotName) == 1 &&
           strcmp(slotName, name) == 0;
}

}  // namespace

void ListFormat::readName(char* name, const char* field) {
    readField(name, field, PROTOCOL_NAME_SIZE);
    for (char* c = name; *c != '\0'; c++) {
        unsigned char byte = static_cast<unsigned char>(*c);
        if (byte < 0x20 || byte >= 0x7f) {
            *c = '?';
        }
    }
}

int ListFormat::formatPlayers(char* text, size_t size, const char* list, int length) {
    int players = length / PLAYER_RECORD_SIZE;
    text[0] = '\0';
    if (players == 0) {
        appendText(text, size, "Nobody is on the player list.\n");
        return 0;
    }
    appendText(text, size, "Players on the list (%d):\n%7s  %s\n", players, "Id", "Name");
    for (int i = 0; i < players; i++) {
        const char* record = list + i * PLAYER_RECORD_SIZE;
        char name[PROTOCOL_NAME_SIZE];
        readName(name, record + PLAYER_NAME_OFFSET);
        appendText(text, size, "%7d  %s\n", readInt32(record), name);
    }
    return players;
}

bool ListFormat::listHolds(const char* list, int length, const char* name) {
    for (int i = 0; i + PLAYER_RECORD_SIZE <= length; i += PLAYER_RECORD_SIZE) {
        if (strncmp(list + i + PLAYER_NAME_OFFSET, name, PROTOCOL_NAME_SIZE) == 0) {
            return true;
        }
    }
    return false;
}

int ListFormat::formatHighscores(char* text, size_t size, const char* list, int length,
                                 const char* markName) {
    int entries = length / HIGHSCORE_SLOT_SIZE;
    text[0] = '\0';
    if (entries == 0) {
        appendText(text, size, "The high-score list is empty.\n");
        return 0;
    }
    appendText(text, size, "High scores (%d):\n", entries);
    for (int i = 0; i < entries; i++) {
        char line[HIGHSCORE_SLOT_SIZE];
        readSlot(line, list + i * HIGHSCORE_SLOT_SIZE);
        appendText(text, size, "%s%s\n", line, slotNames(line, markName) ? "  <- you" : "");
    }
    return entries;
}
