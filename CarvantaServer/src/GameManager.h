// GameManager.h - the two-player lobby: 100 player slots with their states
// in the invitation handshake and in a game, the pool of 50 game objects,
// the public player list, and the manager thread that sends every lobby
// message once a second. dataMutex guards all of it; it is taken after the
// server's mutex and before a game's mutex, and it is never held while a
// message is sent to a client.
#ifndef GAMEMANAGER_H
#define GAMEMANAGER_H

#include <pthread.h>

#include "GameProtocol.h"
#include "MultiPlayerGameListener.h"
#include "MultiplayerTypes.h"

class GameClientHandler;
class MultiPlayerGame;

// Player slots of the lobby.
const int GAMEMANAGER_SLOT_COUNT = 100;
// Game objects in the pool.
const int GAMEMANAGER_POOL_SIZE = 50;
// One player list record: 32-bit user id, 20-byte name.
const int PLAYERLIST_RECORD_SIZE = 24;
const int PLAYERLIST_NAME_OFFSET = 4;
// The longest player list: one record per slot.
const int PLAYERLIST_MAX_SIZE = GAMEMANAGER_SLOT_COUNT * PLAYERLIST_RECORD_SIZE;
// Pause of the manager thread between two passes over the slots.
const int GAMEMANAGER_PASS_PAUSE_MS = 1000;
// Countdown values the invitor and invitee are sent before a game starts.
const int GAMEMANAGER_COUNTDOWN_START = 3;

// The lobby in numbers, for the operator.
typedef struct {
    int attached;      // players with a slot
    int listed;        // on the public player list
    int inviting;      // in the invitation handshake, either side
    int countdown;     // paired, the game not started yet
    int playing;       // in a game, or being told its end
    int gamesRunning;  // game objects of the pool in use
    int poolSize;
} lobbyCounts_t;

// One attached player, for the operator.
typedef struct {
    int userId;
    playerState_t state;
    int partnerId;  // -1 for none
} lobbyPlayer_t;

typedef enum {
    GAMEMANERR_OK = 0,
    GAMEMANERR_PLAYERNOTAVAILABLE = 1,
    GAMEMANERR_PLAYERNOTADDED = 2,
    GAMEMANERR_PLAYERNOTREMOVED = 3,
    GAMEMANERR_PLAYERNOTINVITED = 4,
    GAMEMANERR_INVITATIONCANCELERROR = 5,
} gameManErr_t;

class GameManager : public MultiPlayerGameListener {
public:
    // Created on the main thread at start-up, before any connection exists;
    // construction starts the manager thread.
    static GameManager* getInstance();
    // Stops the manager thread (at once, not after its pause) and the games.
    virtual ~GameManager();
    GameManager(const GameManager&) = delete;
    GameManager& operator=(const GameManager&) = delete;

    // Request operations, called on the reader thread of the caller's
    // connection. The ids are established from the request's credentials;
    // the names are the other player's user name. A refused request changes
    // nothing (except that a cancel by an inviting player returns it to the
    // list). They only change slot states: the manager thread sends.
    gameManErr_t attachMultiplayer(int userId, GameClientHandler* handler);
    gameManErr_t detachMultiplayer(int userId, GameClientHandler* handler);
    gameManErr_t addPlayerForMultiplay(int userId, GameClientHandler* handler);
    gameManErr_t removePlayerForMultiplay(int userId, GameClientHandler* handler);
    gameManErr_t invitePlayerForMultiplay(int invitorId, GameClientHandler* handler,
                                          char* playerToInvite);
    gameManErr_t cancelInvitationForMultiplay(int invitorId, GameClientHandler* handler,
                                              char* playerToCancel);
    gameManErr_t acceptInvitationForMultiplay(int inviteeId, GameClientHandler* handler,
                                              char* playerToAccept);
    gameManErr_t rejectInvitationForMultiplay(int inviteeId, GameClientHandler* handler,
                                              char* playerToReject);
    // Writes one 24-byte record per listed player (at most maxListSize
    // bytes) and the byte count into *size. Any thread.
    gameManErr_t createMultiplayerList(char* list, int* size, int maxListSize);
    // A lost connection: every slot attached through `handler` leaves.
    // Called with the server's mutex held.
    gameManErr_t notifyDisconnected(GameClientHandler* handler);
    // An in-game message of a player; only MSG_STOPPRESSED has an effect.
    void processGameMessage(msgType_t message, int userId, char* messageData, int length);
    // The end of a game, from the game (its thread holds no lock of its own
    // then) or from a stop message (this manager's lock is held then).
    void notifyGameFinished(MultiPlayerGame* game, gameError_t error) override;

    // A copy of the slot of `userId`, taken under the lock; false if the
    // user has no slot. For the operator and for tests.
    bool copyPlayerSlot(int userId, multiplayUser_t* slot);
    // The lobby's counts, copied under the lock. Takes dataMutex, then each
    // pooled game's own lock in turn (the order a start uses). Any thread
    // that holds neither.
    void copyLobbyCounts(lobbyCounts_t* counts);
    // The attached players in slot order (at most maxPlayers), copied under
    // the lock; returns how many.
    int copyLobbyPlayers(lobbyPlayer_t* players, int maxPlayers);
    // How many games of the pool may run at once (1 to GAMEMANAGER_POOL_SIZE,
    // which it is from the start). With 100 slots the full pool cannot be
    // reached by players; tests lower the limit to reach it with two pairs.
    void setPoolLimit(int gameCount);

private:
    GameManager();
    friend void* gameManagerThreadFunction(void* gameManager);

    // A slot as the manager thread saw it before a send, so that the slot is
    // moved on afterwards only if it still holds that attachment and state.
    struct SlotTicket {
        int index;
        int uniqueId;
        int userId;
        GameClientHandler* handler;
        unsigned int connection;  // the slot's commConnection
    };
    struct PairTicket {
        SlotTicket invitor;
        SlotTicket invitee;
        int countdown;
    };
    // A slot as it was before the thread moved it on ahead of a send; put
    // back if the send fails and the slot has not changed since.
    struct SlotUndo {
        int index;  // -1: nothing to undo
        multiplayUser_t before;
        playerState_t committed;
    };

    gameManErr_t answerInvitation(int inviteeId, char* invitorName, playerState_t invitorState);

    // Manager thread; every send happens with dataMutex released.
    void runThread();
    bool pauseBetweenPasses();
    gameManErr_t broadcastMultiplayerList();
    void processInvitations();
    void serveSlot(int index, playerState_t state);
    void deliverHandshake(int index, playerState_t state);
    void deliverCountdown(int index);
    void deliverStart(int index);
    void deliverFinish(int index, playerState_t state);
    bool sendToPair(const PairTicket& pair, msgType_t message, int length, const char* format,
                    bool withCountdown);

    // Slot table; all REQUIRES(dataMutex).
    bool takeTicketLocked(int index, playerState_t state, SlotTicket* ticket);
    bool ticketValidLocked(const SlotTicket& ticket, playerState_t state);
    bool takePairLocked(int index, playerState_t invitorState, playerState_t inviteeState,
                        PairTicket* pair);
    bool pairValidLocked(const PairTicket& pair, playerState_t invitorState,
                         playerState_t inviteeState);
    void handshakeDeliveredLocked(int index, playerState_t state, SlotUndo* undo);
    void acceptanceDeliveredLocked(int index, SlotUndo* partnerUndo);
    void rejectionDeliveredLocked(int index, SlotUndo* partnerUndo);
    void rememberLocked(SlotUndo* undo, int index);
    void committedLocked(SlotUndo* undo);
    bool undoLocked(const SlotUndo& undo);  // true when the slot went back
    int findPlayerArrayIndex(int playerId);
    // The slot of the partner named by invitationUserId, only while that
    // partner names this slot's user in turn; -1 otherwise.
    int findLinkedPartnerLocked(int index);
    void updateState(multiplayUser_t* player, playerState_t newState);
    void resetPlayer(int arrayIndex);
    void gracefullyRemovePlayer(int arrayIndexOfPlayer);
    void releaseWaitingInviteesLocked(int index);
    void leaveGameLocked(int index);
    void partnerLeftLocked(multiplayUser_t* partner, playerState_t finishingState);
    bool gameServesLocked(int index);
    void startGame(int arrayIndexInvitor, int arrayIndexInvitee);
    MultiPlayerGame* getGameFromPool();
    void applyFinishLocked(multiplayUser_t* invitor, multiplayUser_t* invitee, gameError_t error);
    int collectListedLocked(int* userIds, int maxRecords);

    static GameManager* theInstance;

    pthread_mutex_t dataMutex;
    pthread_cond_t wakeCondition;          // wakes the thread's pause at destruction
    pthread_t threadId;                    // set before the thread runs, then read-only
    bool threadStarted;                    // set by the constructor, then read-only
    bool threadRunning;                    // GUARDED_BY(dataMutex)
    bool playerListModified;               // GUARDED_BY(dataMutex)
    char playerList[PLAYERLIST_MAX_SIZE];  // manager thread only
    multiplayUser_t attachedPlayers[GAMEMANAGER_SLOT_COUNT];  // GUARDED_BY(dataMutex)
    MultiPlayerGame* games[GAMEMANAGER_POOL_SIZE];            // GUARDED_BY(dataMutex)
    int poolLimit;                                            // GUARDED_BY(dataMutex)
    // A stop that came while the start was being sent: the game ends as soon
    // as it would start.
    bool stopBeforeStart[GAMEMANAGER_SLOT_COUNT];  // GUARDED_BY(dataMutex)
    int uniqueIdCounter;                           // GUARDED_BY(dataMutex)
};

#endif
