// GameClientHandlerFactory.h - makes a GameClientHandler for each handler
// slot of a server. Called on the accept thread with the server's lock held.
#ifndef GAMECLIENTHANDLERFACTORY_H
#define GAMECLIENTHANDLERFACTORY_H

#include "NetClientHandlerFactory.h"

class GameClientHandlerFactory : public NetClientHandlerFactory {
public:
    ~GameClientHandlerFactory() override;
    // A new GameClientHandler around client; the caller owns it. server is
    // not used.
    NetClientHandler* createNetClientHandler(NetServer* server, NetSocket* client) override;
};

#endif
