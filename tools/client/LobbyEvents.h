// LobbyEvents.h - what the lobby has told the client so far: a count of
// each kind of message, the latest player list, and whether the player is
// to be put back on the list after a game. The reader thread records, the
// main thread waits and reads; eventMutex guards everything here.
#ifndef LOBBYEVENTS_H
#define LOBBYEVENTS_H

#include <pthread.h>

#include "GameProtocol.h"

typedef enum {
    LOBBYEVENT_LIST = 0,
    LOBBYEVENT_INVITATION = 1,
    LOBBYEVENT_CANCEL = 2,
    LOBBYEVENT_ACCEPT = 3,
    LOBBYEVENT_REJECT = 4,
    LOBBYEVENT_COUNTDOWN = 5,
    LOBBYEVENT_START = 6,
    LOBBYEVENT_CARDS = 7,
    LOBBYEVENT_END = 8,
} lobbyEvent_t;

const int LOBBYEVENT_KINDS = LOBBYEVENT_END + 1;
// The largest player list (100 records of 24 bytes).
const int LOBBYEVENTS_LIST_MAX = 2400;

typedef enum {
    LOBBYWAIT_DONE = 0,     // the event came (or the player is listed)
    LOBBYWAIT_PENDING = 1,  // not yet; the deadline has not passed
} lobbyWait_t;

class LobbyEvents {
public:
    LobbyEvents();
    ~LobbyEvents();
    LobbyEvents(const LobbyEvents&) = delete;
    LobbyEvents& operator=(const LobbyEvents&) = delete;

    // Reader thread: one message of that kind arrived.
    void record(lobbyEvent_t event);
    // Reader thread: a new player list (kept, and counted as an event).
    void recordPlayerList(const char* list, int length);
    // Reader thread: a game has ended; the player is to be listed again.
    void requestReadd();

    // Main thread. Waits up to sliceMs for an arrival of that kind that no
    // earlier wait has taken; DONE takes it.
    lobbyWait_t waitFor(lobbyEvent_t event, long sliceMs);
    // Main thread. Waits up to sliceMs until name is on the latest list.
    lobbyWait_t waitForPlayer(const char* name, long sliceMs);
    // Main thread: true once after requestReadd.
    bool takeReaddRequest();

    // "invitation" -> LOBBYEVENT_INVITATION; false for an unknown word.
    static bool eventByName(const char* word, lobbyEvent_t* event);

private:
    bool playerListedLocked(const char* name);  // REQUIRES(eventMutex)

    pthread_mutex_t eventMutex;
    pthread_cond_t eventCondition;          // signalled on every record
    int arrived[LOBBYEVENT_KINDS];          // GUARDED_BY(eventMutex)
    int taken[LOBBYEVENT_KINDS];            // GUARDED_BY(eventMutex)
    char playerList[LOBBYEVENTS_LIST_MAX];  // GUARDED_BY(eventMutex)
    int playerListLength;                   // GUARDED_BY(eventMutex)
    bool readdRequested;                    // GUARDED_BY(eventMutex)
};

#endif
