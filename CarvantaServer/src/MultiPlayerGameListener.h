// MultiPlayerGameListener.h - how a game reports its end. The game manager is
// the one implementation. Called on the game's thread (failed card message)
// or on a reader thread that holds the manager's lock (stop message).
#ifndef MULTIPLAYERGAMELISTENER_H
#define MULTIPLAYERGAMELISTENER_H

#include "MultiplayerTypes.h"

class MultiPlayerGame;

class MultiPlayerGameListener {
public:
    virtual ~MultiPlayerGameListener() {}
    // The game has ended with `error`; the listener moves both players on.
    virtual void notifyGameFinished(MultiPlayerGame* game, gameError_t error) = 0;
};

#endif
