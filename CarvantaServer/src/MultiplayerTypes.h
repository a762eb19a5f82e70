// MultiplayerTypes.h - the lobby slot of one attached player, the player
// states of the invitation handshake and of a game, and the two outcome
// codes of a game. Plain records: the game manager's dataMutex guards every
// slot; nothing here locks.
#ifndef MULTIPLAYERTYPES_H
#define MULTIPLAYERTYPES_H

class GameClientHandler;
class MultiPlayerGame;

typedef enum {
    PLAYERSTATE_PREVIOUS = 0,  // not a state: "go back to previousState"
    PLAYERSTATE_NOTUSED = 1,
    PLAYERSTATE_ATTACHED = 2,
    PLAYERSTATE_ADDED = 3,
    PLAYERSTATE_INVITED = 4,
    PLAYERSTATE_INVITING = 5,
    PLAYERSTATE_PROCESSINGINVITATION = 6,
    PLAYERSTATE_PROCESSINGCANCELATION = 7,
    PLAYERSTATE_PROCESSINGACCEPTATION = 8,
    PLAYERSTATE_PROCESSINGREJECTION = 9,
    PLAYERSTATE_PREPARINGGAMEINVITOR = 10,
    PLAYERSTATE_PREPARINGGAMEINVITEE = 11,
    PLAYERSTATE_STARTINGGAMEINVITOR = 12,
    PLAYERSTATE_STARTINGGAMEINVITEE = 13,
    PLAYERSTATE_PLAYINGINVITOR = 14,
    PLAYERSTATE_PLAYINGINVITEE = 15,
    PLAYERSTATE_FINISHINGINVITOR = 16,
    PLAYERSTATE_FINISHINGINVITEE = 17,
} playerState_t;

// Travels to the client as the 32-bit payload of MSG_GAMEFINISHED.
typedef enum {
    FINISHSTATE_UNDEFINED = 0,
    FINISHSTATE_GAMEFINISHED = 1,
    FINISHSTATE_OTHERPLAYERLEFT = 2,
    FINISHSTATE_STOPPRESSED = 3,
} finishState_t;

// The outcome a game reports to its listener.
typedef enum {
    GAMEERROR_FINISHEDOK = 0,
    GAMEERROR_INVITORCOMMERROR = 1,
    GAMEERROR_INVITEECOMMERROR = 2,
    GAMEERROR_GAMEERROR = 3,
    GAMEERROR_STOPPRESSED = 4,
    GAMEERROR_NONE = 5,
} gameError_t;

// One lobby slot. A free slot has userId -1 and state PLAYERSTATE_NOTUSED.
typedef struct {
    int uniqueId;                    // attachment serial number; -1 while free
    int userId;                      // -1 marks a free slot
    GameClientHandler* commHandler;  // the player's connection; null while free
    // The handler's connection count at attach: everything meant for this
    // player goes to that connection only, never to a later client that the
    // handler serves after this one is lost. 0 while free.
    unsigned int commConnection;
    playerState_t state;
    playerState_t previousState;
    int invitationUserId;       // partner of the invitation or game; -1 for none
    int timeout;                // the invitor's countdown value
    int sets;                   // sets found; kept at 0 by the server
    MultiPlayerGame* game;      // current or last game; null until the first
    finishState_t finishState;  // told to the player in MSG_GAMEFINISHED
} multiplayUser_t;

#endif
