// MultiPlayerGame.h - one two-player game: its own deck, play field and
// thread. startPlay wakes the thread, which shuffles, lays out twelve cards
// and sends the same layout to both players; a stop message, a failed send
// or a departing player ends the game. `mutex` guards the players, the
// state and the thread flags; it is taken after the game manager's lock,
// and never held while a message is sent or the listener is called.
#ifndef MULTIPLAYERGAME_H
#define MULTIPLAYERGAME_H

#include <pthread.h>

#include <atomic>

#include "Deck.h"
#include "GameProtocol.h"
#include "MultiplayerTypes.h"
#include "VirtualPlayField.h"

class GameClientHandler;
class MultiPlayerGameListener;

// Cards of the opening layout.
const int CARDMESSAGE_CARD_COUNT = 12;
// Bytes per card in MSG_RECEIVECARDS: row, column, stackIndex.
const int CARDMESSAGE_BYTES_PER_CARD = 3;
// MSG_RECEIVECARDS: the card count, then three bytes per card.
const int CARDMESSAGE_SIZE = 1 + CARDMESSAGE_CARD_COUNT * CARDMESSAGE_BYTES_PER_CARD;

typedef enum {
    MULTIPLAYSTATE_IDLE = 0,             // free for the next pair
    MULTIPLAYSTATE_STARTING = 1,         // started; stays so for the whole game
    MULTIPLAYSTATE_WAITING = 2,          // not entered by the server
    MULTIPLAYSTATE_PROCESSINGERROR = 3,  // a card message failed; the end is being reported
} multiPlayState_t;

class MultiPlayerGame {
public:
    // `manager` hears the end of every game. Starts the game's thread; a
    // failure to create the mutex, condition or thread ends the process.
    explicit MultiPlayerGame(MultiPlayerGameListener* manager);
    // Ends the thread (waiting for it) and frees the game.
    virtual ~MultiPlayerGame();
    MultiPlayerGame(const MultiPlayerGame&) = delete;
    MultiPlayerGame& operator=(const MultiPlayerGame&) = delete;

    // The two players' slots; null while idle. The slots belong to the
    // caller's table and are read under the caller's lock.
    multiplayUser_t* getInvitor();
    multiplayUser_t* getInvitee();
    // Takes the two players (their connections are read here, so the caller
    // holds the lock of the slot table) and wakes the thread to deal once.
    void startPlay(multiplayUser_t* invitor, multiplayUser_t* invitee,
                   MultiPlayerGameListener* listener);
    // Idle again, at once free for the next pair. Does not wake the thread.
    void stopPlay();
    bool isActive();
    // True while the game is active and `player` is one of its two slots.
    bool servesPlayer(const multiplayUser_t* player);
    // Called by the listener, under its lock, before it acts on an end that
    // this game reported: false when the report is stale (the game is idle,
    // or a failed send of an earlier use is reported while a new use runs).
    // *error becomes the outcome to apply.
    bool beginFinish(gameError_t* error);
    // An in-game message of a player; only MSG_STOPPRESSED has an effect.
    void processMessage(msgType_t message, int userId, char* messageData, int dataLength);

    int getId() const { return id; }
    // Opening layouts built so far, for tests and statistics.
    int getDealCount();

private:
    friend void* gameThreadFunction(void* multiPlayerGame);

    // What the thread sends after leaving the lock.
    struct CardDeal {
        int serial;
        GameClientHandler* invitorHandler;
        GameClientHandler* inviteeHandler;
        unsigned int invitorConnection;
        unsigned int inviteeConnection;
        char payload[CARDMESSAGE_SIZE];
    };

    void runThread();
    bool waitForStart(CardDeal* deal, bool* dealt);
    bool processState(CardDeal* deal);    // REQUIRES(mutex)
    void startGame(CardDeal* deal);       // REQUIRES(mutex)
    void sendDeal(const CardDeal& deal);  // EXCLUDES(mutex)
    bool stillServing(int serial);
    void processStopPressed();                         // EXCLUDES(mutex)
    void processError(int serial, gameError_t error);  // EXCLUDES(mutex)
    void stopIfSerial(int serial);
    void createSynchronisation();

    static std::atomic<int> idCount;

    int id;
    MultiPlayerGameListener* manager;
    multiplayUser_t* invitor;           // GUARDED_BY(mutex)
    multiplayUser_t* invitee;           // GUARDED_BY(mutex)
    GameClientHandler* invitorHandler;  // GUARDED_BY(mutex), taken at startPlay
    GameClientHandler* inviteeHandler;  // GUARDED_BY(mutex), taken at startPlay
    // The slots' commConnection, taken with the handlers: the cards go to
    // those connections only.
    unsigned int invitorConnection;  // GUARDED_BY(mutex)
    unsigned int inviteeConnection;  // GUARDED_BY(mutex)
    MultiPlayerGameListener* listener;  // GUARDED_BY(mutex)
    multiPlayState_t state;             // GUARDED_BY(mutex)
    char* messageBuffer;                // game thread only
    Deck deck;                          // game thread only
    VirtualPlayField playField;         // game thread only
    pthread_t thread;
    bool threadRunning;  // GUARDED_BY(mutex)
    bool startPending;   // GUARDED_BY(mutex): a start not yet dealt
    int useSerial;       // GUARDED_BY(mutex): counts startPlay calls
    int dealCount;       // GUARDED_BY(mutex)
    pthread_cond_t condition;
    pthread_mutex_t mutex;
    gameError_t gameError;  // GUARDED_BY(mutex)
};

#endif
