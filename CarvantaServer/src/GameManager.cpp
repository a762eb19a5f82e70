// GameManager.cpp - the lobby's slot table and the operations that change
// it. Request operations run on the callers' reader threads, departures on
// whichever thread found the lost connection (the server's mutex is held
// then), game ends on a game thread or under a stop message. All of them
// only change slots under dataMutex; the manager thread (GameManagerPass.cpp)
// does every send, with dataMutex released around it.
#include "GameManager.h"
#include "GameManagerShared.h"

#include <stdio.h>
#include <string.h>

#include "Assert.h"
#include "GameClientHandler.h"
#include "MultiPlayerGame.h"
#include "MutexGuard.h"
#include "SimpleOsa.h"
#include "TextCopy.h"
#include "Toolbox.h"
#include "UserBase.h"
#include "UserBaseFactory.h"

GameManager* GameManager::theInstance = nullptr;

using gamemanager::lookUpUserName;
using gamemanager::trace;
using gamemanager::writeInt32;

namespace {

// The user id of an account name from the wire (cut to a name field), or -1.
int lookUpUserId(const char* name) {
    char bounded[USERBASE_NAME_SIZE];
    readField(bounded, name, sizeof bounded);
    UserBase* store = UserBaseFactory::getUserBaseInstance();
    return store != nullptr ? store->checkUser(bounded) : -1;  // none after shutdown
}

bool isLobbyState(playerState_t state) {
    return state == PLAYERSTATE_ATTACHED || state == PLAYERSTATE_ADDED;
}

}  // namespace

void* gameManagerThreadFunction(void* gameManager) {
    ASSERT(gameManager != nullptr);
    static_cast<GameManager*>(gameManager)->runThread();
    return nullptr;
}

GameManager* GameManager::getInstance() {
    if (theInstance == nullptr) {
        theInstance = new GameManager();
    }
    return theInstance;
}

GameManager::GameManager()
    : threadId(),
      threadStarted(false),
      threadRunning(true),
      playerListModified(false),
      playerList(),
      attachedPlayers(),
      games(),
      poolLimit(GAMEMANAGER_POOL_SIZE),
      stopBeforeStart(),
      uniqueIdCounter(0) {
    mutexCreate(&dataMutex);
    threadConditionCreate(&wakeCondition);
    for (int i = 0; i < GAMEMANAGER_SLOT_COUNT; i++) {
        resetPlayer(i);
    }
    // threadRunning is set before the thread exists, so that a destruction
    // right after construction cannot be overtaken by the thread's start.
    threadStarted = threadCreate(&threadId, gameManagerThreadFunction, this) == OSAERR_OK;
    if (!threadStarted) {
        Toolbox::printError("Game manager thread could not be started\n");
    }
}

GameManager::~GameManager() {
    {
        MutexGuard guard(&dataMutex);
        threadRunning = false;
        threadCondBroadcast(&wakeCondition);
    }
    if (threadStarted) {
        threadWaitForExit(&threadId);
    }
    // Unlocked: a game thread that is reporting an end takes dataMutex.
    for (int i = 0; i < GAMEMANAGER_POOL_SIZE; i++) {
        delete games[i];
        games[i] = nullptr;
    }
    threadConditionDestroy(&wakeCondition);
    mutexDestroy(&dataMutex);
    if (theInstance == this) {
        theInstance = nullptr;
    }
}

// ---------------------------------------------------------------------------
// Request operations

gameManErr_t GameManager::attachMultiplayer(int userId, GameClientHandler* handler) {
    ASSERT(userId != -1 && handler != nullptr);
    // Read on the reader thread of the connection that asks, before our
    // lock (a handler's lock is never taken inside it).
    unsigned int connection = handler->getConnectionCount();
    MutexGuard guard(&dataMutex);
    if (findPlayerArrayIndex(userId) >= 0) {
        return GAMEMANERR_PLAYERNOTADDED;
    }
    int index = findPlayerArrayIndex(-1);
    if (index < 0) {
        return GAMEMANERR_PLAYERNOTADDED;  // all slots taken
    }
    multiplayUser_t* slot = &attachedPlayers[index];
    slot->uniqueId = uniqueIdCounter++;
    slot->userId = userId;
    slot->commHandler = handler;
    slot->commConnection = connection;
    slot->invitationUserId = -1;
    slot->timeout = 0;
    slot->sets = 0;
    slot->game = nullptr;
    slot->finishState = FINISHSTATE_UNDEFINED;
    slot->state = PLAYERSTATE_ATTACHED;
    slot->previousState = PLAYERSTATE_NOTUSED;
    return GAMEMANERR_OK;
}

gameManErr_t GameManager::detachMultiplayer(int userId, GameClientHandler* handler) {
    ASSERT(userId != -1 && handler != nullptr);
    MutexGuard guard(&dataMutex);
    int index = findPlayerArrayIndex(userId);
    if (index < 0) {
        return GAMEMANERR_PLAYERNOTREMOVED;
    }
    gracefullyRemovePlayer(index);
    resetPlayer(index);
    return GAMEMANERR_OK;
}

gameManErr_t GameManager::addPlayerForMultiplay(int userId, GameClientHandler* handler) {
    ASSERT(userId != -1 && handler != nullptr);
    MutexGuard guard(&dataMutex);
    int index = findPlayerArrayIndex(userId);
    if (index < 0) {
        return GAMEMANERR_PLAYERNOTADDED;
    }
    multiplayUser_t* slot = &attachedPlayers[index];
    if (slot->commHandler != handler || slot->state != PLAYERSTATE_ATTACHED) {
        return GAMEMANERR_PLAYERNOTADDED;
    }
    updateState(slot, PLAYERSTATE_ADDED);
    playerListModified = true;
    return GAMEMANERR_OK;
}

gameManErr_t GameManager::removePlayerForMultiplay(int userId, GameClientHandler* handler) {
    ASSERT(userId != -1 && handler != nullptr);
    MutexGuard guard(&dataMutex);
    int index = findPlayerArrayIndex(userId);
    if (index < 0) {
        return GAMEMANERR_PLAYERNOTREMOVED;
    }
    gracefullyRemovePlayer(index);
    updateState(&attachedPlayers[index], PLAYERSTATE_ATTACHED);
    playerListModified = true;
    return GAMEMANERR_OK;
}

gameManErr_t GameManager::invitePlayerForMultiplay(int invitorId, GameClientHandler* handler,
                                                   char* playerToInvite) {
    ASSERT(invitorId != -1 && handler != nullptr && playerToInvite != nullptr);
    int inviteeId = lookUpUserId(playerToInvite);
    if (inviteeId == -1) {
        return GAMEMANERR_PLAYERNOTINVITED;
    }
    MutexGuard guard(&dataMutex);
    int caller = findPlayerArrayIndex(invitorId);
    int target = findPlayerArrayIndex(inviteeId);
    if (caller < 0 || target < 0 || caller == target) {
        return GAMEMANERR_PLAYERNOTINVITED;
    }
    // One invitation or game at a time: an invitation from inside another
    // handshake or game would leave that partner linked to nobody.
    if (!isLobbyState(attachedPlayers[caller].state) ||
        attachedPlayers[target].state != PLAYERSTATE_ADDED) {
        return GAMEMANERR_PLAYERNOTINVITED;
    }
    updateState(&attachedPlayers[target], PLAYERSTATE_PROCESSINGINVITATION);
    attachedPlayers[target].invitationUserId = invitorId;
    updateState(&attachedPlayers[caller], PLAYERSTATE_INVITING);
    attachedPlayers[caller].invitationUserId = inviteeId;
    playerListModified = true;
    return GAMEMANERR_OK;
}

gameManErr_t GameManager::cancelInvitationForMultiplay(int invitorId, GameClientHandler* handler,
                                                       char* playerToCancel) {
    ASSERT(invitorId != -1 && handler != nullptr && playerToCancel != nullptr);
    int namedId = lookUpUserId(playerToCancel);
    if (namedId == -1) {
        return GAMEMANERR_INVITATIONCANCELERROR;
    }
    MutexGuard guard(&dataMutex);
    int caller = findPlayerArrayIndex(invitorId);
    if (caller < 0) {
        return GAMEMANERR_INVITATIONCANCELERROR;
    }
    multiplayUser_t* callerSlot = &attachedPlayers[caller];
    if (callerSlot->invitationUserId != namedId && callerSlot->invitationUserId != -1) {
        return GAMEMANERR_INVITATIONCANCELERROR;  // another partner, or an earlier game's
    }
    if (callerSlot->state == PLAYERSTATE_INVITING) {
        updateState(callerSlot, PLAYERSTATE_ADDED);
        callerSlot->invitationUserId = -1;
        playerListModified = true;
    }
    int named = findPlayerArrayIndex(namedId);
    if (named < 0 || attachedPlayers[named].invitationUserId != invitorId) {
        return GAMEMANERR_INVITATIONCANCELERROR;
    }
    multiplayUser_t* namedSlot = &attachedPlayers[named];
    if (namedSlot->state == PLAYERSTATE_INVITED ||
        namedSlot->state == PLAYERSTATE_PROCESSINGINVITATION) {
        updateState(namedSlot, PLAYERSTATE_PROCESSINGCANCELATION);
    }
    return GAMEMANERR_OK;
}

gameManErr_t GameManager::acceptInvitationForMultiplay(int inviteeId, GameClientHandler* handler,
                                                       char* playerToAccept) {
    ASSERT(inviteeId != -1 && handler != nullptr && playerToAccept != nullptr);
    return answerInvitation(inviteeId, playerToAccept, PLAYERSTATE_PROCESSINGACCEPTATION);
}

gameManErr_t GameManager::rejectInvitationForMultiplay(int inviteeId, GameClientHandler* handler,
                                                       char* playerToReject) {
    ASSERT(inviteeId != -1 && handler != nullptr && playerToReject != nullptr);
    return answerInvitation(inviteeId, playerToReject, PLAYERSTATE_PROCESSINGREJECTION);
}

gameManErr_t GameManager::answerInvitation(int inviteeId, char* invitorName,
                                           playerState_t invitorState) {
    int invitorId = lookUpUserId(invitorName);
    if (invitorId == -1) {
        return GAMEMANERR_PLAYERNOTINVITED;
    }
    MutexGuard guard(&dataMutex);
    int invitee = findPlayerArrayIndex(inviteeId);
    int invitor = findPlayerArrayIndex(invitorId);
    if (invitee < 0 || invitor < 0) {
        return GAMEMANERR_PLAYERNOTINVITED;
    }
    multiplayUser_t* e = &attachedPlayers[invitee];
    multiplayUser_t* r = &attachedPlayers[invitor];
    if (e->invitationUserId != invitorId || r->invitationUserId != inviteeId ||
        e->state != PLAYERSTATE_INVITED || r->state != PLAYERSTATE_INVITING) {
        return GAMEMANERR_PLAYERNOTINVITED;
    }
    // The invitee stays invited until the manager thread moves both on.
    updateState(r, invitorState);
    return GAMEMANERR_OK;
}

gameManErr_t GameManager::createMultiplayerList(char* list, int* size, int maxListSize) {
    ASSERT(list != nullptr && size != nullptr);
    int userIds[GAMEMANAGER_SLOT_COUNT];
    int maxRecords = maxListSize / PLAYERLIST_RECORD_SIZE;
    int count;
    {
        MutexGuard guard(&dataMutex);
        count = collectListedLocked(userIds, maxRecords);
    }
    // The names come from the user store, outside dataMutex.
    for (int k = 0; k < count; k++) {
        char* record = list + k * PLAYERLIST_RECORD_SIZE;
        char name[USERBASE_NAME_SIZE];
        writeInt32(record, userIds[k]);
        lookUpUserName(userIds[k], name);
        copyField(record + PLAYERLIST_NAME_OFFSET, PROTOCOL_NAME_SIZE, name);
    }
    *size = count * PLAYERLIST_RECORD_SIZE;
    return GAMEMANERR_OK;
}

int GameManager::collectListedLocked(int* userIds, int maxRecords) {
    int count = 0;
    for (int i = 0; i < GAMEMANAGER_SLOT_COUNT && count < maxRecords; i++) {
        if (attachedPlayers[i].userId != -1 && attachedPlayers[i].state == PLAYERSTATE_ADDED) {
            userIds[count] = attachedPlayers[i].userId;
            count++;
        }
    }
    return count;
}

gameManErr_t GameManager::notifyDisconnected(GameClientHandler* handler) {
    ASSERT(handler != nullptr);
    MutexGuard guard(&dataMutex);
    for (int i = 0; i < GAMEMANAGER_SLOT_COUNT; i++) {
        if (attachedPlayers[i].userId != -1 && attachedPlayers[i].commHandler == handler) {
            gracefullyRemovePlayer(i);
            resetPlayer(i);
        }
    }
    return GAMEMANERR_OK;
}

void GameManager::processGameMessage(msgType_t message, int userId, char* messageData, int length) {
    char line[TOOLBOX_LINE_MAX];
    MutexGuard guard(&dataMutex);
    int index = findPlayerArrayIndex(userId);
    if (index < 0) {
        snprintf(line, sizeof line, "ERROR: Message for non-attached player %d\n", userId);
        trace(line);
        return;
    }
    // A game counts only while it is active and serves this very slot: a
    // finished game may already serve another pair.
    if (!gameServesLocked(index)) {
        playerState_t state = attachedPlayers[index].state;
        if (message == MSG_STOPPRESSED && (state == PLAYERSTATE_STARTINGGAMEINVITOR ||
                                           state == PLAYERSTATE_STARTINGGAMEINVITEE)) {
            stopBeforeStart[index] = true;  // the start message is on its way
            return;
        }
        snprintf(line, sizeof line, "ERROR: Message for user %d without game\n", userId);
        trace(line);
        return;
    }
    attachedPlayers[index].game->processMessage(message, userId, messageData, length);
}

void GameManager::notifyGameFinished(MultiPlayerGame* game, gameError_t error) {
    if (game == nullptr) {
        return;
    }
    MutexGuard guard(&dataMutex);
    gameError_t outcome = error;
    if (!game->beginFinish(&outcome)) {
        return;  // a late report of a game that has ended since
    }
    multiplayUser_t* invitor = game->getInvitor();
    multiplayUser_t* invitee = game->getInvitee();
    if (invitor != nullptr && invitee != nullptr) {
        applyFinishLocked(invitor, invitee, outcome);
    }
    game->stopPlay();
}

void GameManager::applyFinishLocked(multiplayUser_t* invitor, multiplayUser_t* invitee,
                                    gameError_t error) {
    switch (error) {
        case GAMEERROR_FINISHEDOK:
        case GAMEERROR_STOPPRESSED:
            invitor->finishState =
                error == GAMEERROR_STOPPRESSED ? FINISHSTATE_STOPPRESSED : FINISHSTATE_GAMEFINISHED;
            updateState(invitor, PLAYERSTATE_FINISHINGINVITOR);
            invitee->finishState = invitor->finishState;
            updateState(invitee, PLAYERSTATE_FINISHINGINVITEE);
            break;
        case GAMEERROR_INVITORCOMMERROR:
            // The invitor keeps its playing state until it leaves.
            invitor->finishState = FINISHSTATE_GAMEFINISHED;
            invitee->finishState = FINISHSTATE_OTHERPLAYERLEFT;
            updateState(invitee, PLAYERSTATE_FINISHINGINVITEE);
            break;
        case GAMEERROR_INVITEECOMMERROR:
            // The invitee is not told; it keeps its playing state.
            invitor->finishState = FINISHSTATE_GAMEFINISHED;
            updateState(invitor, PLAYERSTATE_FINISHINGINVITOR);
            break;
        default:
            break;
    }
}

bool GameManager::copyPlayerSlot(int userId, multiplayUser_t* slot) {
    ASSERT(slot != nullptr);
    MutexGuard guard(&dataMutex);
    int index = findPlayerArrayIndex(userId);
    if (index < 0) {
        return false;
    }
    *slot = attachedPlayers[index];
    return true;
}

// ---------------------------------------------------------------------------
// Slot table helpers (dataMutex held)

int GameManager::findPlayerArrayIndex(int playerId) {
    for (int i = 0; i < GAMEMANAGER_SLOT_COUNT; i++) {
        if (attachedPlayers[i].userId == playerId) {
            return i;
        }
    }
    return -1;
}

int GameManager::findLinkedPartnerLocked(int index) {
    const multiplayUser_t* slot = &attachedPlayers[index];
    if (slot->invitationUserId == -1) {
        return -1;
    }
    int partner = findPlayerArrayIndex(slot->invitationUserId);
    if (partner < 0 || partner == index ||
        attachedPlayers[partner].invitationUserId != slot->userId) {
        return -1;  // gone, or now linked to someone else
    }
    return partner;
}

void GameManager::updateState(multiplayUser_t* player, playerState_t newState) {
    if (newState == PLAYERSTATE_PREVIOUS) {
        playerState_t current = player->state;
        player->state = player->previousState;
        player->previousState = current;
        return;
    }
    player->previousState = player->state;
    player->state = newState;
}

void GameManager::resetPlayer(int arrayIndex) {
    multiplayUser_t* slot = &attachedPlayers[arrayIndex];
    slot->uniqueId = -1;
    slot->userId = -1;
    slot->commHandler = nullptr;
    slot->commConnection = 0;
    slot->state = PLAYERSTATE_NOTUSED;
    slot->invitationUserId = -1;
    slot->game = nullptr;
    slot->finishState = FINISHSTATE_UNDEFINED;
    stopBeforeStart[arrayIndex] = false;
}

bool GameManager::gameServesLocked(int index) {
    multiplayUser_t* slot = &attachedPlayers[index];
    return slot->game != nullptr && slot->game->servesPlayer(slot);
}

void GameManager::gracefullyRemovePlayer(int arrayIndexOfPlayer) {
    multiplayUser_t* leaver = &attachedPlayers[arrayIndexOfPlayer];
    int partner = findLinkedPartnerLocked(arrayIndexOfPlayer);
    multiplayUser_t* other = partner >= 0 ? &attachedPlayers[partner] : nullptr;
    switch (leaver->state) {
        case PLAYERSTATE_ADDED:
            playerListModified = true;
            break;
        case PLAYERSTATE_INVITED:
        case PLAYERSTATE_PROCESSINGINVITATION:
            if (other != nullptr && (other->state == PLAYERSTATE_INVITING ||
                                     other->state == PLAYERSTATE_PROCESSINGACCEPTATION)) {
                updateState(other, PLAYERSTATE_PROCESSINGREJECTION);
            }
            break;
        case PLAYERSTATE_INVITING:
            if (other != nullptr && (other->state == PLAYERSTATE_INVITED ||
                                     other->state == PLAYERSTATE_PROCESSINGINVITATION)) {
                updateState(other, PLAYERSTATE_PROCESSINGCANCELATION);
            }
            break;
        case PLAYERSTATE_PROCESSINGACCEPTATION:
        case PLAYERSTATE_PREPARINGGAMEINVITOR:
        case PLAYERSTATE_PREPARINGGAMEINVITEE:
        case PLAYERSTATE_STARTINGGAMEINVITOR:
        case PLAYERSTATE_STARTINGGAMEINVITEE:
            if (other != nullptr) {
                partnerLeftLocked(other, PLAYERSTATE_FINISHINGINVITEE);
            }
            break;
        case PLAYERSTATE_PLAYINGINVITOR:
        case PLAYERSTATE_PLAYINGINVITEE:
            leaveGameLocked(arrayIndexOfPlayer);
            break;
        default:
            break;
    }
    releaseWaitingInviteesLocked(arrayIndexOfPlayer);
}

void GameManager::releaseWaitingInviteesLocked(int index) {
    // An invitee still INVITED and linked to the leaver now waits for a
    // rejection that nobody will deliver: the leaver had it pending, or its
    // delivery failed, or the leaver has moved on since. It gets what that
    // rejection would have given it.
    int leaverId = attachedPlayers[index].userId;
    for (int i = 0; i < GAMEMANAGER_SLOT_COUNT; i++) {
        multiplayUser_t* slot = &attachedPlayers[i];
        if (i != index && slot->userId != -1 && slot->state == PLAYERSTATE_INVITED &&
            slot->invitationUserId == leaverId) {
            updateState(slot, PLAYERSTATE_ADDED);
            playerListModified = true;
        }
    }
}

void GameManager::leaveGameLocked(int index) {
    multiplayUser_t* leaver = &attachedPlayers[index];
    ASSERT(leaver->game != nullptr);
    MultiPlayerGame* game = leaver->game;
    if (!game->servesPlayer(leaver)) {
        return;  // the game has ended (and may serve another pair): nobody to tell
    }
    multiplayUser_t* invitor = game->getInvitor();
    multiplayUser_t* invitee = game->getInvitee();
    game->stopPlay();
    if (leaver == invitor) {
        partnerLeftLocked(invitee, PLAYERSTATE_FINISHINGINVITEE);
    } else {
        partnerLeftLocked(invitor, PLAYERSTATE_FINISHINGINVITOR);
    }
}

void GameManager::partnerLeftLocked(multiplayUser_t* partner, playerState_t finishingState) {
    partner->finishState = FINISHSTATE_OTHERPLAYERLEFT;
    updateState(partner, finishingState);
}

void GameManager::setPoolLimit(int gameCount) {
    ASSERT(gameCount >= 1 && gameCount <= GAMEMANAGER_POOL_SIZE);
    MutexGuard guard(&dataMutex);
    poolLimit = gameCount;
}

MultiPlayerGame* GameManager::getGameFromPool() {
    for (int i = 0; i < poolLimit; i++) {
        if (games[i] == nullptr) {
            games[i] = new MultiPlayerGame(this);
            return games[i];
        }
        if (!games[i]->isActive()) {
            return games[i];
        }
    }
    return nullptr;
}

void GameManager::startGame(int arrayIndexInvitor, int arrayIndexInvitee) {
    multiplayUser_t* invitor = &attachedPlayers[arrayIndexInvitor];
    multiplayUser_t* invitee = &attachedPlayers[arrayIndexInvitee];
    MultiPlayerGame* game = getGameFromPool();
    if (game == nullptr) {
        // Both are told the end of a game that could not be held.
        Toolbox::printError("No free game for a new game, both players sent back\n");
        invitor->finishState = FINISHSTATE_GAMEFINISHED;
        invitee->finishState = FINISHSTATE_GAMEFINISHED;
        updateState(invitor, PLAYERSTATE_FINISHINGINVITOR);
        updateState(invitee, PLAYERSTATE_FINISHINGINVITEE);
        return;
    }
    invitor->game = game;
    invitee->game = game;
    game->startPlay(invitor, invitee, this);
}
