// LobbyEvents.cpp - counts of lobby messages and the rendezvous between
// the reader thread that records them and the main thread that waits.
#include "LobbyEvents.h"

#include <string.h>

#include "ListFormat.h"
#include "MutexGuard.h"
#include "SimpleOsa.h"

namespace {

const char* const EVENT_NAMES[LOBBYEVENT_KINDS] = {
    "list", "invitation", "cancel", "accept", "reject", "countdown", "start", "cards", "end",
};

}  // namespace

LobbyEvents::LobbyEvents()
    : arrived(), taken(), playerList(), playerListLength(0), readdRequested(false) {
    osaErr_t err = mutexCreate(&eventMutex);
    ASSERT(err == OSAERR_OK);
    err = threadConditionCreate(&eventCondition);
    ASSERT(err == OSAERR_OK);
}

LobbyEvents::~LobbyEvents() {
    threadConditionDestroy(&eventCondition);
    mutexDestroy(&eventMutex);
}

bool LobbyEvents::eventByName(const char* word, lobbyEvent_t* event) {
    for (int i = 0; i < LOBBYEVENT_KINDS; i++) {
        if (strcmp(EVENT_NAMES[i], word) == 0) {
            *event = static_cast<lobbyEvent_t>(i);
            return true;
        }
    }
    return false;
}

void LobbyEvents::record(lobbyEvent_t event) {
    MutexGuard guard(&eventMutex);
    arrived[event]++;
    threadCondBroadcast(&eventCondition);
}

void LobbyEvents::recordPlayerList(const char* list, int length) {
    MutexGuard guard(&eventMutex);
    playerListLength = length < LOBBYEVENTS_LIST_MAX ? length : LOBBYEVENTS_LIST_MAX;
    if (playerListLength > 0) {
        memcpy(playerList, list, playerListLength);
    }
    arrived[LOBBYEVENT_LIST]++;
    threadCondBroadcast(&eventCondition);
}

void LobbyEvents::requestReadd() {
    MutexGuard guard(&eventMutex);
    readdRequested = true;
    threadCondBroadcast(&eventCondition);
}

lobbyWait_t LobbyEvents::waitFor(lobbyEvent_t event, long sliceMs) {
    MutexGuard guard(&eventMutex);
    if (taken[event] >= arrived[event]) {
        threadCondTimedWait(&eventCondition, &eventMutex, sliceMs);
    }
    if (taken[event] >= arrived[event]) {
        return LOBBYWAIT_PENDING;
    }
    taken[event]++;
    return LOBBYWAIT_DONE;
}

bool LobbyEvents::playerListedLocked(const char* name) {
    return ListFormat::listHolds(playerList, playerListLength, name);
}

lobbyWait_t LobbyEvents::waitForPlayer(const char* name, long sliceMs) {
    MutexGuard guard(&eventMutex);
    if (!playerListedLocked(name)) {
        threadCondTimedWait(&eventCondition, &eventMutex, sliceMs);
    }
    return playerListedLocked(name) ? LOBBYWAIT_DONE : LOBBYWAIT_PENDING;
}

bool LobbyEvents::takeReaddRequest() {
    MutexGuard guard(&eventMutex);
    bool requested = readdRequested;
    readdRequested = false;
    return requested;
}
