// GameManagerStatus.cpp - copies of the lobby's counts and attached players
// for the operator's console and the daemon's log. Everything is read under
// dataMutex and handed out as a copy; printing happens elsewhere, unlocked.
#include "Assert.h"
#include "GameManager.h"
#include "MultiPlayerGame.h"
#include "MutexGuard.h"

namespace {

bool isInvitationState(playerState_t state) {
    return state == PLAYERSTATE_INVITED || state == PLAYERSTATE_INVITING ||
           state == PLAYERSTATE_PROCESSINGINVITATION ||
           state == PLAYERSTATE_PROCESSINGCANCELATION ||
           state == PLAYERSTATE_PROCESSINGACCEPTATION || state == PLAYERSTATE_PROCESSINGREJECTION;
}

bool isCountdownState(playerState_t state) {
    return state == PLAYERSTATE_PREPARINGGAMEINVITOR || state == PLAYERSTATE_PREPARINGGAMEINVITEE ||
           state == PLAYERSTATE_STARTINGGAMEINVITOR || state == PLAYERSTATE_STARTINGGAMEINVITEE;
}

bool isPlayingState(playerState_t state) {
    return state == PLAYERSTATE_PLAYINGINVITOR || state == PLAYERSTATE_PLAYINGINVITEE ||
           state == PLAYERSTATE_FINISHINGINVITOR || state == PLAYERSTATE_FINISHINGINVITEE;
}

}  // namespace

void GameManager::copyLobbyCounts(lobbyCounts_t* counts) {
    ASSERT(counts != nullptr);
    *counts = lobbyCounts_t();
    MutexGuard guard(&dataMutex);
    counts->poolSize = poolLimit;
    for (int i = 0; i < GAMEMANAGER_SLOT_COUNT; i++) {
        const multiplayUser_t& slot = attachedPlayers[i];
        if (slot.userId == -1) {
            continue;
        }
        counts->attached++;
        counts->listed += slot.state == PLAYERSTATE_ADDED ? 1 : 0;
        counts->inviting += isInvitationState(slot.state) ? 1 : 0;
        counts->countdown += isCountdownState(slot.state) ? 1 : 0;
        counts->playing += isPlayingState(slot.state) ? 1 : 0;
    }
    for (int g = 0; g < GAMEMANAGER_POOL_SIZE; g++) {
        if (games[g] != nullptr && games[g]->isActive()) {
            counts->gamesRunning++;
        }
    }
}

int GameManager::copyLobbyPlayers(lobbyPlayer_t* players, int maxPlayers) {
    ASSERT(players != nullptr);
    MutexGuard guard(&dataMutex);
    int count = 0;
    for (int i = 0; i < GAMEMANAGER_SLOT_COUNT && count < maxPlayers; i++) {
        const multiplayUser_t& slot = attachedPlayers[i];
        if (slot.userId == -1) {
            continue;
        }
        players[count].userId = slot.userId;
        players[count].state = slot.state;
        players[count].partnerId = slot.invitationUserId;
        count++;
    }
    return count;
}
