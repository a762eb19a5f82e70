// ServerStatus.cpp - collects and formats the status block and the player
// table. Lock use: the server's lock (connected clients), then, released,
// the game manager's lock (and each pooled game's lock behind it), then,
// released, the store's lock; names are looked up in the store after the
// manager's lock is let go, as the player list does.
#include "ServerStatus.h"

#include <stdarg.h>
#include <stdio.h>

#include "GameManager.h"
#include "GameManagerShared.h"
#include "GameRequestHandler.h"
#include "NetServer.h"
#include "SimpleOsa.h"
#include "Toolbox.h"
#include "UserBase.h"
#include "UserBaseFactory.h"

namespace {

const char RULE[] = "###########################################################\n";
const int LINE_MAX = 256;

// The uptime counts from the moment the program was loaded.
const long long PROCESS_START_MS = clockMonotonicMs();

const char* const REQUEST_NAMES[REQUESTCOUNT_SLOTS] = {
    "unknown type",
    "REQ_SIGNUP",
    "REQ_STORESINGLEPLAYERSCORE",
    "REQ_SENDSINGLEPLAYERHIGHSCORES",
    "REQ_CHECKUSER",
    "REQ_DELETEUSER",
    "REQ_CHECKUSERANDPASSWORD",
    "REQ_MULTI_ATTACHMULTIPLAYER",
    "REQ_MULTI_DETACHMULTIPLAYER",
    "REQ_MULTI_ADDMULTIPLAYER",
    "REQ_MULTI_REMOVEMULTIPLAYER",
    "REQ_MULTI_INVITEMULTIPLAYER",
    "REQ_MULTI_CANCELINVITATION",
    "REQ_MULTI_ACCEPTINVITATION",
    "REQ_MULTI_REJECTINVITATION",
    "REQ_MULTI_SENDPLAYERLIST",
};

void append(std::string* text, const char* format, ...) __attribute__((format(printf, 2, 3)));

void append(std::string* text, const char* format, ...) {
    char line[LINE_MAX];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    text->append(line);
}

void appendUptime(std::string* text) {
    long long seconds = (clockMonotonicMs() - PROCESS_START_MS) / 1000;
    append(text, "Uptime:    %lldd %02lld:%02lld:%02lld\n", seconds / 86400, seconds / 3600 % 24,
           seconds / 60 % 60, seconds % 60);
}

void appendStore(std::string* text, const userBaseStatus_t& store) {
    if (store.remote) {
        append(text, "Store:     %s, last operation %s the database\n", store.kind,
               store.lastReached ? "reached" : "did not reach");
    } else {
        append(text, "Store:     %s\n", store.kind);
    }
    if (store.accounts < 0) {
        append(text, "Accounts:  unknown (the store cannot be read)\n");
    } else {
        append(text, "Accounts:  %d\n", store.accounts);
    }
}

void appendRequests(std::string* text, const long* counts) {
    long total = 0;
    for (int t = 0; t < REQUESTCOUNT_SLOTS; t++) {
        total += counts[t];
    }
    append(text, "Requests:  %ld since start\n", total);
    // Types in protocol order, unknown types last; types never seen are left out.
    for (int k = 1; k <= REQUESTCOUNT_SLOTS; k++) {
        int t = k % REQUESTCOUNT_SLOTS;
        if (counts[t] != 0) {
            append(text, "  %-30s %8ld\n", REQUEST_NAMES[t], counts[t]);
        }
    }
}

const char* stateWords(playerState_t state) {
    switch (state) {
        case PLAYERSTATE_ATTACHED:
            return "attached";
        case PLAYERSTATE_ADDED:
            return "on the list";
        case PLAYERSTATE_INVITED:
            return "invited";
        case PLAYERSTATE_INVITING:
            return "inviting";
        case PLAYERSTATE_PROCESSINGINVITATION:
            return "invitation sent";
        case PLAYERSTATE_PROCESSINGCANCELATION:
            return "cancelling";
        case PLAYERSTATE_PROCESSINGACCEPTATION:
            return "accepting";
        case PLAYERSTATE_PROCESSINGREJECTION:
            return "rejecting";
        case PLAYERSTATE_PREPARINGGAMEINVITOR:
        case PLAYERSTATE_PREPARINGGAMEINVITEE:
        case PLAYERSTATE_STARTINGGAMEINVITOR:
        case PLAYERSTATE_STARTINGGAMEINVITEE:
            return "countdown";
        case PLAYERSTATE_PLAYINGINVITOR:
        case PLAYERSTATE_PLAYINGINVITEE:
            return "playing";
        case PLAYERSTATE_FINISHINGINVITOR:
        case PLAYERSTATE_FINISHINGINVITEE:
            return "game ending";
        default:
            return "unknown";
    }
}

// Attached and listed players have no partner, whatever the slot still names.
bool hasPartner(const lobbyPlayer_t& player) {
    return player.partnerId != -1 && player.state != PLAYERSTATE_ATTACHED &&
           player.state != PLAYERSTATE_ADDED;
}

}  // namespace

std::string ServerStatus::formatStatus(NetServer* server) {
    int connected = server->getClientsConnected();
    int capacity = server->getClientCapacity();
    lobbyCounts_t lobby;
    GameManager::getInstance()->copyLobbyCounts(&lobby);
    long requests[REQUESTCOUNT_SLOTS];
    GameRequestHandler::copyRequestCounts(requests);
    userBaseStatus_t store;
    UserBaseFactory::getUserBaseInstance()->copyStoreStatus(&store);

    std::string text = RULE;
    append(&text, "|Server status%44s|\n", "");
    text += RULE;
    appendUptime(&text);
    appendStore(&text, store);
    append(&text, "Clients:   %d connected of %d\n", connected, capacity);
    append(&text,
           "Players:   %d attached, %d on the list, %d inviting, %d in a countdown, %d playing\n",
           lobby.attached, lobby.listed, lobby.inviting, lobby.countdown, lobby.playing);
    append(&text, "Games:     %d running of %d\n", lobby.gamesRunning, lobby.poolSize);
    appendRequests(&text, requests);
    text += RULE;
    return text;
}

std::string ServerStatus::formatPlayers() {
    lobbyPlayer_t players[GAMEMANAGER_SLOT_COUNT];
    int count = GameManager::getInstance()->copyLobbyPlayers(players, GAMEMANAGER_SLOT_COUNT);
    std::string text = RULE;
    text += "|Id   |User      |State          |Partner   |\n";
    text += "|____________________________________________|\n";
    for (int k = 0; k < count; k++) {
        char name[USERBASE_NAME_SIZE];
        char partner[USERBASE_NAME_SIZE] = "";
        gamemanager::lookUpUserName(players[k].userId, name);
        if (hasPartner(players[k])) {
            gamemanager::lookUpUserName(players[k].partnerId, partner);
        }
        append(&text, "|%5d|%10s|%-15s|%10s|\n", players[k].userId, name,
               stateWords(players[k].state), partner);
    }
    text += "|____________________________________________|\n";
    append(&text, "%d player%s attached\n", count, count == 1 ? "" : "s");
    text += RULE;
    return text;
}

void ServerStatus::printStatus(NetServer* server) {
    std::string text = formatStatus(server);
    fputs(text.c_str(), stdout);
    fflush(stdout);
}

void ServerStatus::printPlayers() {
    std::string text = formatPlayers();
    fputs(text.c_str(), stdout);
    fflush(stdout);
}

void ServerStatus::logStatus(NetServer* server) {
    Toolbox::printInfoBlock(formatStatus(server).c_str());
}
