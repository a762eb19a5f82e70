// MultiPlayerGame.cpp - one two-player game and its thread. The thread
// sleeps on `condition` between games; for each start it builds the opening
// layout under `mutex` and sends it after letting go, so a send that fails
// (and reports the lost connection to the game manager at once, which then
// stops this game) never waits for a lock this thread holds.
#include "MultiPlayerGame.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "Assert.h"
#include "GameClientHandler.h"
#include "MultiPlayerGameListener.h"
#include "MutexGuard.h"
#include "SimpleOsa.h"
#include "Toolbox.h"

std::atomic<int> MultiPlayerGame::idCount(0);

void* gameThreadFunction(void* multiPlayerGame) {
    ASSERT(multiPlayerGame != nullptr);
    static_cast<MultiPlayerGame*>(multiPlayerGame)->runThread();
    return nullptr;
}

namespace {

const int GAME_INIT_FAILED_STATUS = 1;

// Called from the manager thread with the manager's lock held, while other
// threads run: no static destructors may run, and the status tells a
// supervisor that the server failed.
[[noreturn]] void failInitialisation(const char* what) {
    Toolbox::printError(what);
    _exit(GAME_INIT_FAILED_STATUS);
}

}  // namespace

MultiPlayerGame::MultiPlayerGame(MultiPlayerGameListener* gameManager)
    : id(0),
      manager(gameManager),
      invitor(nullptr),
      invitee(nullptr),
      invitorHandler(nullptr),
      inviteeHandler(nullptr),
      invitorConnection(0),
      inviteeConnection(0),
      listener(nullptr),
      state(MULTIPLAYSTATE_IDLE),
      messageBuffer(new char[PROTOCOL_BUFFER_SIZE]()),
      thread(),
      threadRunning(true),
      startPending(false),
      useSerial(0),
      dealCount(0),
      gameError(GAMEERROR_NONE) {
    createSynchronisation();
    id = idCount++;
    printf("Game created: id=%d\n", id);
    fflush(stdout);
}

void MultiPlayerGame::createSynchronisation() {
    if (mutexCreate(&mutex) != OSAERR_OK) {
        failInitialisation("Error initialising mutex\n");
    }
    if (threadConditionCreate(&condition) != OSAERR_OK) {
        failInitialisation("Error initialising thread condition\n");
    }
    // threadRunning is set before the thread exists, so a destruction that
    // comes early still finds a flag to clear.
    if (threadCreate(&thread, gameThreadFunction, this) != OSAERR_OK) {
        failInitialisation("Error initialising thread\n");
    }
}

MultiPlayerGame::~MultiPlayerGame() {
    {
        MutexGuard guard(&mutex);
        threadRunning = false;
        threadCondBroadcast(&condition);
    }
    threadWaitForExit(&thread);
    threadConditionDestroy(&condition);
    mutexDestroy(&mutex);
    delete[] messageBuffer;
}

multiplayUser_t* MultiPlayerGame::getInvitor() {
    MutexGuard guard(&mutex);
    return invitor;
}

multiplayUser_t* MultiPlayerGame::getInvitee() {
    MutexGuard guard(&mutex);
    return invitee;
}

void MultiPlayerGame::startPlay(multiplayUser_t* newInvitor, multiplayUser_t* newInvitee,
                                MultiPlayerGameListener* newListener) {
    ASSERT(newInvitor != nullptr && newInvitee != nullptr);
    MutexGuard guard(&mutex);
    invitor = newInvitor;
    invitee = newInvitee;
    invitorHandler = newInvitor->commHandler;
    inviteeHandler = newInvitee->commHandler;
    invitorConnection = newInvitor->commConnection;
    inviteeConnection = newInvitee->commConnection;
    listener = newListener;
    state = MULTIPLAYSTATE_STARTING;
    gameError = GAMEERROR_NONE;
    useSerial++;
    // The flag, not the signal, carries the start: a thread that has not
    // begun to wait yet still sees it, and a wake-up without it deals nothing.
    startPending = true;
    threadCondSignal(&condition);
}

void MultiPlayerGame::stopPlay() {
    MutexGuard guard(&mutex);
    invitor = nullptr;
    invitee = nullptr;
    invitorHandler = nullptr;
    inviteeHandler = nullptr;
    invitorConnection = 0;
    inviteeConnection = 0;
    listener = nullptr;
    state = MULTIPLAYSTATE_IDLE;
    startPending = false;
}

bool MultiPlayerGame::isActive() {
    MutexGuard guard(&mutex);
    return state != MULTIPLAYSTATE_IDLE;
}

bool MultiPlayerGame::servesPlayer(const multiplayUser_t* player) {
    MutexGuard guard(&mutex);
    if (state == MULTIPLAYSTATE_IDLE || player == nullptr) {
        return false;
    }
    return player == invitor || player == invitee;
}

bool MultiPlayerGame::beginFinish(gameError_t* error) {
    MutexGuard guard(&mutex);
    if (state == MULTIPLAYSTATE_IDLE) {
        return false;
    }
    if (state == MULTIPLAYSTATE_PROCESSINGERROR) {
        if (*error != GAMEERROR_STOPPRESSED) {
            *error = gameError;  // the failure of this very use
        }
        return true;
    }
    // A running game that has not failed: a failure report belongs to an
    // earlier use of this object.
    return *error != GAMEERROR_INVITORCOMMERROR && *error != GAMEERROR_INVITEECOMMERROR;
}

int MultiPlayerGame::getDealCount() {
    MutexGuard guard(&mutex);
    return dealCount;
}

void MultiPlayerGame::processMessage(msgType_t message, int, char*, int) {
    if (message == MSG_STOPPRESSED) {
        processStopPressed();
    }
}

void MultiPlayerGame::processStopPressed() {
    int serial;
    {
        MutexGuard guard(&mutex);
        if (state == MULTIPLAYSTATE_IDLE) {
            return;
        }
        serial = useSerial;
    }
    manager->notifyGameFinished(this, GAMEERROR_STOPPRESSED);
    stopIfSerial(serial);
}

void MultiPlayerGame::processError(int serial, gameError_t error) {
    {
        MutexGuard guard(&mutex);
        if (serial != useSerial || state != MULTIPLAYSTATE_STARTING) {
            return;  // stopped (a player left) or already given to another pair
        }
        state = MULTIPLAYSTATE_PROCESSINGERROR;
        gameError = error;
    }
    manager->notifyGameFinished(this, error);
    stopIfSerial(serial);
}

void MultiPlayerGame::stopIfSerial(int serial) {
    MutexGuard guard(&mutex);
    if (serial == useSerial && state != MULTIPLAYSTATE_IDLE) {
        stopPlay();
    }
}

bool MultiPlayerGame::stillServing(int serial) {
    MutexGuard guard(&mutex);
    return serial == useSerial && state == MULTIPLAYSTATE_STARTING;
}

void MultiPlayerGame::runThread() {
    for (;;) {
        CardDeal deal;
        bool dealt = false;
        if (!waitForStart(&deal, &dealt)) {
            return;
        }
        if (dealt) {
            sendDeal(deal);
        }
    }
}

bool MultiPlayerGame::waitForStart(CardDeal* deal, bool* dealt) {
    MutexGuard guard(&mutex);
    while (threadRunning && !startPending) {
        threadCondWait(&condition, &mutex);
    }
    if (!threadRunning) {
        return false;
    }
    startPending = false;
    *dealt = processState(deal);
    return true;
}

bool MultiPlayerGame::processState(CardDeal* deal) {
    if (state != MULTIPLAYSTATE_STARTING) {
        return false;
    }
    startGame(deal);
    return true;
}

void MultiPlayerGame::startGame(CardDeal* deal) {
    playField.resetPlayField();
    deck.resetDeck();
    deck.resetCards();
    deck.shuffleDeck();
    messageBuffer[0] = CARDMESSAGE_CARD_COUNT;
    for (int k = 0; k < CARDMESSAGE_CARD_COUNT; k++) {
        card_t* card = deck.nextCard();
        int row = -1;
        int col = -1;
        // A fresh deck and an empty field always have room for twelve.
        ASSERT(card != nullptr);
        bool placed = playField.addCard(card, &row, &col);
        ASSERT(placed);
        char* entry = messageBuffer + 1 + k * CARDMESSAGE_BYTES_PER_CARD;
        entry[0] = static_cast<char>(row);
        entry[1] = static_cast<char>(col);
        entry[2] = static_cast<char>(card->stackIndex);
    }
    memcpy(deal->payload, messageBuffer, CARDMESSAGE_SIZE);
    deal->serial = useSerial;
    deal->invitorHandler = invitorHandler;
    deal->inviteeHandler = inviteeHandler;
    deal->invitorConnection = invitorConnection;
    deal->inviteeConnection = inviteeConnection;
    dealCount++;
}

void MultiPlayerGame::sendDeal(const CardDeal& deal) {
    char payload[CARDMESSAGE_SIZE];
    memcpy(payload, deal.payload, CARDMESSAGE_SIZE);
    if (!stillServing(deal.serial)) {
        return;
    }
    if (deal.invitorHandler->sendMessageTo(deal.invitorConnection, MSG_RECEIVECARDS, payload,
                                           CARDMESSAGE_SIZE) != SOCKERR_OK) {
        processError(deal.serial, GAMEERROR_INVITORCOMMERROR);  // the invitee gets nothing
        return;
    }
    if (!stillServing(deal.serial)) {
        return;
    }
    if (deal.inviteeHandler->sendMessageTo(deal.inviteeConnection, MSG_RECEIVECARDS, payload,
                                           CARDMESSAGE_SIZE) != SOCKERR_OK) {
        processError(deal.serial, GAMEERROR_INVITEECOMMERROR);
    }
}
