// GameManagerPass.cpp - the manager thread of the lobby: one pass over the
// player slots every second that broadcasts the list, delivers the
// invitation handshake, counts down, starts games and tells their ends.
#include <stdio.h>
#include <string.h>

#include "GameClientHandler.h"
#include "GameManager.h"
#include "GameManagerShared.h"
#include "MutexGuard.h"
#include "SimpleOsa.h"
#include "TextCopy.h"
#include "Toolbox.h"

using gamemanager::lookUpUserName;
using gamemanager::trace;
using gamemanager::writeInt32;

// Manager thread: one pass over the slots, then a pause of a second. It
// builds each message under dataMutex and sends it with the mutex released
// (a failed send reports the lost connection at once, which takes the
// server's mutex and then dataMutex).
//
// A message that a client may answer at once (invitation, cancellation,
// acceptance, rejection, end of game) moves the slot on before it is sent,
// so the answer finds the slot ready; a failed send puts the slot back as
// it was if nothing else changed it meanwhile. The countdown and the start
// move the slots on after both sends, so that the cards follow the start.

namespace {

// Name field of a countdown or start message, then the countdown value.
const int COUNTDOWN_PAYLOAD_SIZE = PROTOCOL_NAME_SIZE + 1;
const int FINISH_PAYLOAD_SIZE = 4;

const char* const SUCCEEDED_TEXT = "Succeeded!\n";
const char* const FAILED_TEXT = "Failed bitterly!\n";

// Sends one message and prints its log text with the outcome as one line.
// Only the connection the slot was attached through gets it: if that was
// lost and the handler serves another client now, the send fails.
bool sendTraced(GameClientHandler* handler, unsigned int connection, msgType_t message,
                char* payload, int length, const char* logText) {
    sockErr_t err = handler->sendMessageTo(connection, message, payload, length);
    char line[TOOLBOX_LINE_MAX];
    snprintf(line, sizeof line, "%s%s", logText, err == SOCKERR_OK ? SUCCEEDED_TEXT : FAILED_TEXT);
    trace(line);
    return err == SOCKERR_OK;
}

// The message and log text of the four handshake states that tell a player
// about its partner; false for any other state.
bool handshakeMessage(playerState_t state, msgType_t* message, const char** format) {
    switch (state) {
        case PLAYERSTATE_PROCESSINGINVITATION:
            *message = MSG_INVITEMULTIPLAYER;
            *format = "SEND MESSAGE: invitation from %s ...";
            return true;
        case PLAYERSTATE_PROCESSINGCANCELATION:
            *message = MSG_CANCELINVITATION;
            *format = "SEND MESSAGE: cancel invitation from %s ...";
            return true;
        case PLAYERSTATE_PROCESSINGACCEPTATION:
            *message = MSG_ACCEPTINVITATION;
            *format = "SEND MESSAGE: invitation accepted by %s ...";
            return true;
        case PLAYERSTATE_PROCESSINGREJECTION:
            *message = MSG_REJECTINVITATION;
            *format = "SEND MESSAGE: invitation rejected by %s ...";
            return true;
        default:
            return false;
    }
}

}  // namespace

void GameManager::runThread() {
    do {
        bool listChanged;
        {
            MutexGuard guard(&dataMutex);
            listChanged = playerListModified;
            playerListModified = false;
        }
        if (listChanged) {
            broadcastMultiplayerList();
        }
        processInvitations();
    } while (pauseBetweenPasses());
}

bool GameManager::pauseBetweenPasses() {
    MutexGuard guard(&dataMutex);
    long long deadline = clockMonotonicMs() + GAMEMANAGER_PASS_PAUSE_MS;
    while (threadRunning) {
        long long left = deadline - clockMonotonicMs();
        if (left <= 0) {
            break;
        }
        threadCondTimedWait(&wakeCondition, &dataMutex, static_cast<long>(left));
    }
    return threadRunning;
}

gameManErr_t GameManager::broadcastMultiplayerList() {
    int size = 0;
    createMultiplayerList(playerList, &size, PLAYERLIST_MAX_SIZE);
    for (int i = 0; i < GAMEMANAGER_SLOT_COUNT; i++) {
        int userId;
        GameClientHandler* handler;
        unsigned int connection;
        {
            MutexGuard guard(&dataMutex);
            userId = attachedPlayers[i].userId;
            handler = attachedPlayers[i].commHandler;
            connection = attachedPlayers[i].commConnection;
        }
        if (userId == -1) {
            continue;
        }
        char line[TOOLBOX_LINE_MAX];
        snprintf(line, sizeof line, "SEND MESSAGE: Receive playlist to user  %d\n", userId);
        trace(line);
        handler->sendMessageTo(connection, MSG_RECEIVEPLAYERLIST, playerList,
                               size);  // not retried
    }
    return GAMEMANERR_OK;
}

void GameManager::processInvitations() {
    for (int i = 0; i < GAMEMANAGER_SLOT_COUNT; i++) {
        playerState_t state;
        {
            MutexGuard guard(&dataMutex);
            state = attachedPlayers[i].state;
        }
        serveSlot(i, state);
    }
}

void GameManager::serveSlot(int index, playerState_t state) {
    switch (state) {
        case PLAYERSTATE_PROCESSINGINVITATION:
        case PLAYERSTATE_PROCESSINGCANCELATION:
        case PLAYERSTATE_PROCESSINGACCEPTATION:
        case PLAYERSTATE_PROCESSINGREJECTION:
            deliverHandshake(index, state);
            break;
        case PLAYERSTATE_PREPARINGGAMEINVITOR:
            deliverCountdown(index);
            break;
        case PLAYERSTATE_STARTINGGAMEINVITOR:
            deliverStart(index);
            break;
        case PLAYERSTATE_FINISHINGINVITOR:
        case PLAYERSTATE_FINISHINGINVITEE:
            deliverFinish(index, state);
            break;
        default:
            break;
    }
}

bool GameManager::takeTicketLocked(int index, playerState_t state, SlotTicket* ticket) {
    const multiplayUser_t* slot = &attachedPlayers[index];
    if (slot->userId == -1 || slot->state != state) {
        return false;  // changed since the scan looked
    }
    ticket->index = index;
    ticket->uniqueId = slot->uniqueId;
    ticket->userId = slot->userId;
    ticket->handler = slot->commHandler;
    ticket->connection = slot->commConnection;
    return true;
}

bool GameManager::ticketValidLocked(const SlotTicket& ticket, playerState_t state) {
    const multiplayUser_t* slot = &attachedPlayers[ticket.index];
    return slot->uniqueId == ticket.uniqueId && slot->userId == ticket.userId &&
           slot->state == state;
}

void GameManager::rememberLocked(SlotUndo* undo, int index) {
    undo->index = index;
    undo->before = attachedPlayers[index];
    undo->committed = attachedPlayers[index].state;
}

void GameManager::committedLocked(SlotUndo* undo) {
    if (undo->index >= 0) {
        undo->committed = attachedPlayers[undo->index].state;
    }
}

bool GameManager::undoLocked(const SlotUndo& undo) {
    if (undo.index < 0) {
        return false;
    }
    multiplayUser_t* slot = &attachedPlayers[undo.index];
    if (slot->uniqueId == undo.before.uniqueId && slot->userId == undo.before.userId &&
        slot->state == undo.committed) {
        *slot = undo.before;
        playerListModified = true;  // the list may have shown the slot meanwhile
        return true;
    }
    return false;
}

void GameManager::deliverHandshake(int index, playerState_t state) {
    msgType_t message;
    const char* format;
    bool known = handshakeMessage(state, &message, &format);
    ASSERT(known);
    SlotTicket ticket;
    int partnerId;
    SlotUndo undo[2] = {{-1, {}, PLAYERSTATE_NOTUSED}, {-1, {}, PLAYERSTATE_NOTUSED}};
    {
        MutexGuard guard(&dataMutex);
        if (!takeTicketLocked(index, state, &ticket)) {
            return;
        }
        partnerId = attachedPlayers[index].invitationUserId;
        ASSERT(partnerId != -1);
        handshakeDeliveredLocked(index, state, undo);
    }
    char partnerName[USERBASE_NAME_SIZE];
    lookUpUserName(partnerId, partnerName);
    char payload[PROTOCOL_NAME_SIZE];
    copyField(payload, sizeof payload, partnerName);
    char logText[TOOLBOX_LINE_MAX];
    snprintf(logText, sizeof logText, format, partnerName);
    if (sendTraced(ticket.handler, ticket.connection, message, payload, sizeof payload,
                   logText)) {
        return;
    }
    // Tried again at the next pass, unless the player left meanwhile.
    MutexGuard guard(&dataMutex);
    // The partner goes back only with the served slot: if that one moved on
    // meanwhile, the partner's committed state is the one that fits it.
    if (undoLocked(undo[0])) {
        undoLocked(undo[1]);
    }
}

void GameManager::handshakeDeliveredLocked(int index, playerState_t state, SlotUndo* undo) {
    multiplayUser_t* slot = &attachedPlayers[index];
    rememberLocked(&undo[0], index);
    switch (state) {
        case PLAYERSTATE_PROCESSINGINVITATION:
            updateState(slot, PLAYERSTATE_INVITED);
            break;
        case PLAYERSTATE_PROCESSINGCANCELATION:
            updateState(slot, PLAYERSTATE_ADDED);
            slot->invitationUserId = -1;
            playerListModified = true;
            break;
        case PLAYERSTATE_PROCESSINGACCEPTATION:
            acceptanceDeliveredLocked(index, &undo[1]);
            break;
        case PLAYERSTATE_PROCESSINGREJECTION:
            rejectionDeliveredLocked(index, &undo[1]);
            break;
        default:
            break;
    }
    committedLocked(&undo[0]);
    committedLocked(&undo[1]);
}

void GameManager::acceptanceDeliveredLocked(int index, SlotUndo* partnerUndo) {
    multiplayUser_t* invitor = &attachedPlayers[index];
    int partner = findLinkedPartnerLocked(index);
    if (partner >= 0 && attachedPlayers[partner].state == PLAYERSTATE_INVITED) {
        rememberLocked(partnerUndo, partner);
        invitor->state = PLAYERSTATE_PREPARINGGAMEINVITOR;
        invitor->timeout = GAMEMANAGER_COUNTDOWN_START;
        attachedPlayers[partner].state = PLAYERSTATE_PREPARINGGAMEINVITEE;
        return;
    }
    // The invitee has gone (or the invitor cancelled meanwhile): the invitor
    // hears of a cancellation at the next pass.
    invitor->state = PLAYERSTATE_PROCESSINGCANCELATION;
}

void GameManager::rejectionDeliveredLocked(int index, SlotUndo* partnerUndo) {
    multiplayUser_t* invitor = &attachedPlayers[index];
    int partner = findLinkedPartnerLocked(index);
    updateState(invitor, PLAYERSTATE_ADDED);
    invitor->invitationUserId = -1;
    // An invitee that took itself off the list stays off it.
    if (partner >= 0 && attachedPlayers[partner].state == PLAYERSTATE_INVITED) {
        rememberLocked(partnerUndo, partner);
        updateState(&attachedPlayers[partner], PLAYERSTATE_ADDED);
    }
    playerListModified = true;
}

bool GameManager::takePairLocked(int index, playerState_t invitorState, playerState_t inviteeState,
                                 PairTicket* pair) {
    if (!takeTicketLocked(index, invitorState, &pair->invitor)) {
        return false;
    }
    ASSERT(attachedPlayers[index].invitationUserId != -1);
    int partner = findLinkedPartnerLocked(index);
    if (partner < 0 || attachedPlayers[partner].state != inviteeState) {
        // The partner has gone or broken the link: as if it had left.
        partnerLeftLocked(&attachedPlayers[index], PLAYERSTATE_FINISHINGINVITEE);
        return false;
    }
    takeTicketLocked(partner, inviteeState, &pair->invitee);
    pair->countdown = attachedPlayers[index].timeout;
    return true;
}

bool GameManager::pairValidLocked(const PairTicket& pair, playerState_t invitorState,
                                  playerState_t inviteeState) {
    return ticketValidLocked(pair.invitor, invitorState) &&
           ticketValidLocked(pair.invitee, inviteeState);
}

// Sends `message` to the invitor, then to the invitee, each with the other's
// name in the first 20 bytes (a client shows whom it is about to play);
// stops at the first failure.
bool GameManager::sendToPair(const PairTicket& pair, msgType_t message, int length,
                             const char* format, bool withCountdown) {
    char invitorName[USERBASE_NAME_SIZE];
    char inviteeName[USERBASE_NAME_SIZE];
    lookUpUserName(pair.invitor.userId, invitorName);
    lookUpUserName(pair.invitee.userId, inviteeName);
    const SlotTicket* receivers[2] = {&pair.invitor, &pair.invitee};
    const char* receiverNames[2] = {invitorName, inviteeName};
    const char* otherNames[2] = {inviteeName, invitorName};
    for (int r = 0; r < 2; r++) {
        char payload[COUNTDOWN_PAYLOAD_SIZE];
        copyField(payload, PROTOCOL_NAME_SIZE, otherNames[r]);
        payload[PROTOCOL_NAME_SIZE] = static_cast<char>(pair.countdown);
        char logText[TOOLBOX_LINE_MAX];
        if (withCountdown) {
            snprintf(logText, sizeof logText, format, receiverNames[r], pair.countdown, invitorName,
                     inviteeName);
        } else {
            snprintf(logText, sizeof logText, format, receiverNames[r], invitorName, inviteeName);
        }
        if (!sendTraced(receivers[r]->handler, receivers[r]->connection, message, payload, length,
                        logText)) {
            return false;
        }
    }
    return true;
}

void GameManager::deliverCountdown(int index) {
    PairTicket pair;
    {
        MutexGuard guard(&dataMutex);
        if (!takePairLocked(index, PLAYERSTATE_PREPARINGGAMEINVITOR,
                            PLAYERSTATE_PREPARINGGAMEINVITEE, &pair)) {
            return;
        }
    }
    if (!sendToPair(pair, MSG_COUNTDOWNFORPLAY, COUNTDOWN_PAYLOAD_SIZE,
                    "SEND MESSAGE to %s: prepare %d invitor %s, invitee %s. ", true)) {
        return;  // the same value again at the next pass
    }
    MutexGuard guard(&dataMutex);
    multiplayUser_t* invitor = &attachedPlayers[pair.invitor.index];
    if (!pairValidLocked(pair, PLAYERSTATE_PREPARINGGAMEINVITOR,
                         PLAYERSTATE_PREPARINGGAMEINVITEE) ||
        invitor->timeout != pair.countdown) {
        return;
    }
    if (pair.countdown > 0) {
        invitor->timeout = pair.countdown - 1;
        return;
    }
    updateState(invitor, PLAYERSTATE_STARTINGGAMEINVITOR);
    updateState(&attachedPlayers[pair.invitee.index], PLAYERSTATE_STARTINGGAMEINVITEE);
    // A stop remembered for an earlier start that never happened (the pair
    // broke up) must not end this game.
    stopBeforeStart[pair.invitor.index] = false;
    stopBeforeStart[pair.invitee.index] = false;
}

void GameManager::deliverStart(int index) {
    PairTicket pair;
    {
        MutexGuard guard(&dataMutex);
        if (!takePairLocked(index, PLAYERSTATE_STARTINGGAMEINVITOR, PLAYERSTATE_STARTINGGAMEINVITEE,
                            &pair)) {
            return;
        }
    }
    if (!sendToPair(pair, MSG_STARTGAMEMASTER, PROTOCOL_NAME_SIZE,
                    "SEND MESSAGE to %s: start game, invitor %s, invitee %s ...", false)) {
        return;
    }
    MutexGuard guard(&dataMutex);
    if (!pairValidLocked(pair, PLAYERSTATE_STARTINGGAMEINVITOR, PLAYERSTATE_STARTINGGAMEINVITEE)) {
        return;
    }
    multiplayUser_t* invitor = &attachedPlayers[pair.invitor.index];
    multiplayUser_t* invitee = &attachedPlayers[pair.invitee.index];
    updateState(invitor, PLAYERSTATE_PLAYINGINVITOR);
    updateState(invitee, PLAYERSTATE_PLAYINGINVITEE);
    if (stopBeforeStart[pair.invitor.index] || stopBeforeStart[pair.invitee.index]) {
        // A player pressed stop as soon as it saw the start.
        applyFinishLocked(invitor, invitee, GAMEERROR_STOPPRESSED);
    } else {
        startGame(pair.invitor.index, pair.invitee.index);
    }
    stopBeforeStart[pair.invitor.index] = false;
    stopBeforeStart[pair.invitee.index] = false;
}

void GameManager::deliverFinish(int index, playerState_t state) {
    SlotTicket ticket;
    finishState_t finishState;
    SlotUndo undo;
    {
        MutexGuard guard(&dataMutex);
        if (!takeTicketLocked(index, state, &ticket)) {
            return;
        }
        finishState = attachedPlayers[index].finishState;
        rememberLocked(&undo, index);
        updateState(&attachedPlayers[index], PLAYERSTATE_ATTACHED);
        committedLocked(&undo);
    }
    char name[USERBASE_NAME_SIZE];
    lookUpUserName(ticket.userId, name);
    char payload[FINISH_PAYLOAD_SIZE];
    writeInt32(payload, finishState);
    char logText[TOOLBOX_LINE_MAX];
    snprintf(logText, sizeof logText,
             state == PLAYERSTATE_FINISHINGINVITOR ? "SEND MESSAGE to %s: finish game ..."
                                                   : "SEND MESSAGE to %s: finish game...",
             name);
    if (sendTraced(ticket.handler, ticket.connection, MSG_GAMEFINISHED, payload, sizeof payload,
                   logText)) {
        return;
    }
    MutexGuard guard(&dataMutex);
    undoLocked(undo);
}
