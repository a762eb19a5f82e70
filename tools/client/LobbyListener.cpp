// LobbyListener.cpp - lobby messages in words. A message that is too short
// for what it should carry is reported as such and counted all the same,
// so that a script waiting for it does not hang.
#include "LobbyListener.h"

#include <stdio.h>
#include <string.h>

#include "ClientOutput.h"
#include "ListFormat.h"
#include "LobbyEvents.h"
#include "TextBuffer.h"

namespace {

const int OUTPUT_LINE_MAX = 256;
// The countdown value lies behind a 20-byte field.
const int COUNTDOWN_OFFSET = PROTOCOL_NAME_SIZE;
const int FINISH_STATE_SIZE = 4;

// Why a game ended, by the value the server sends.
const int FINISH_REASONS = 4;
const char* const FINISH_TEXTS[FINISH_REASONS] = {
    "the game has ended",
    "the game is finished",
    "the other player left",
    "stop was pressed",
};

void printLine(const char* text) {
    ClientOutput::print(text);
}

int readInt32(const char* bytes) {
    unsigned int value = 0;
    for (int i = FINISH_STATE_SIZE - 1; i >= 0; i--) {
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);  // least significant first
    }
    return static_cast<int>(value);
}

}  // namespace

LobbyListener::LobbyListener(LobbyEvents* lobbyEvents, bool useColours)
    : events(lobbyEvents), colours(useColours) {}

void LobbyListener::handleMessage(GameClientHandler*, msgType_t message, char* messageData,
                                  int dataLength) {
    switch (message) {
        case MSG_RECEIVEPLAYERLIST:
            showPlayerList(messageData, dataLength);
            return;
        case MSG_INVITEMULTIPLAYER:
        case MSG_CANCELINVITATION:
        case MSG_ACCEPTINVITATION:
        case MSG_REJECTINVITATION:
            showNamed(message, messageData, dataLength);
            return;
        case MSG_COUNTDOWNFORPLAY:
            showCountdown(messageData, dataLength);
            return;
        case MSG_STARTGAMEMASTER:
        case MSG_STARTGAMESLAVE:
            printLine("The game starts.\n");
            events->record(LOBBYEVENT_START);
            return;
        case MSG_RECEIVECARDS:
            showCards(messageData, dataLength);
            return;
        case MSG_GAMEFINISHED:
            showEnd(messageData, dataLength);
            return;
        default:
            break;
    }
    char line[OUTPUT_LINE_MAX];
    snprintf(line, sizeof line, "Message %d from the server (%d bytes) ignored.\n", message,
             dataLength);
    printLine(line);
}

void LobbyListener::showPlayerList(const char* data, int length) {
    char text[CLIENTOUTPUT_BLOCK_MAX];
    ListFormat::formatPlayers(text, sizeof text, data, length);
    printLine(text);
    events->recordPlayerList(data, length);
}

void LobbyListener::showNamed(msgType_t message, const char* data, int length) {
    char name[PROTOCOL_NAME_SIZE] = "(someone)";
    if (length >= 1) {
        char field[PROTOCOL_NAME_SIZE] = {0};
        memcpy(field, data, length < PROTOCOL_NAME_SIZE ? length : PROTOCOL_NAME_SIZE);
        ListFormat::readName(name, field);
    }
    char line[OUTPUT_LINE_MAX];
    if (message == MSG_INVITEMULTIPLAYER) {
        snprintf(line, sizeof line, "Invitation from %s: type 'accept %s' or 'reject %s'.\n", name,
                 name, name);
        events->record(LOBBYEVENT_INVITATION);
    } else if (message == MSG_CANCELINVITATION) {
        snprintf(line, sizeof line, "The invitation between you and %s is cancelled.\n", name);
        events->record(LOBBYEVENT_CANCEL);
    } else if (message == MSG_ACCEPTINVITATION) {
        snprintf(line, sizeof line, "%s accepted your invitation; the countdown follows.\n", name);
        events->record(LOBBYEVENT_ACCEPT);
    } else {
        snprintf(line, sizeof line, "%s rejected your invitation.\n", name);
        events->record(LOBBYEVENT_REJECT);
    }
    printLine(line);
}

void LobbyListener::showCountdown(const char* data, int length) {
    char line[OUTPUT_LINE_MAX];
    if (length <= COUNTDOWN_OFFSET) {
        snprintf(line, sizeof line, "Countdown (a message of %d bytes without its value).\n",
                 length);
    } else {
        int value = static_cast<unsigned char>(data[COUNTDOWN_OFFSET]);
        snprintf(line, sizeof line, "Countdown: %d%s\n", value, value == 0 ? " - go!" : "");
    }
    printLine(line);
    events->record(LOBBYEVENT_COUNTDOWN);
}

void LobbyListener::showCards(const char* data, int length) {
    char text[CLIENTOUTPUT_BLOCK_MAX];
    text[0] = '\0';
    if (table.load(data, length)) {
        table.format(text, sizeof text, colours);
    } else {
        appendText(text, sizeof text,
                   "Cards arrived in a message of %d bytes that does not "
                   "hold a table.\n",
                   length);
    }
    printLine(text);
    events->record(LOBBYEVENT_CARDS);
}

// After a game the player is attached but off the list; the main thread
// puts it back.
void LobbyListener::showEnd(const char* data, int length) {
    char line[OUTPUT_LINE_MAX];
    if (length < FINISH_STATE_SIZE) {
        snprintf(line, sizeof line, "The game is over.\n");
    } else {
        int reason = readInt32(data);
        if (reason >= 0 && reason < FINISH_REASONS) {
            snprintf(line, sizeof line, "The game is over: %s.\n", FINISH_TEXTS[reason]);
        } else {
            snprintf(line, sizeof line, "The game is over (reason %d).\n", reason);
        }
    }
    printLine(line);
    events->record(LOBBYEVENT_END);
    events->requestReadd();
}
