// GameServer.h - the program's concrete server: connects each new
// connection's protocol endpoint to the request dispatcher, tells the game
// manager of lost connections and logs what happens. The callbacks run with
// the server's lock held (see NetServer).
#ifndef GAMESERVER_H
#define GAMESERVER_H

#include "NetServer.h"

class GameServer : public NetServer {
public:
    // Serves up to clientSlots connections at once; starts the idle accept
    // thread.
    explicit GameServer(int clientSlots = NETSERVER_DEFAULT_MAX_CLIENTS);
    // Stops the server first, so that connections still open are reported
    // through the callbacks while they exist.
    ~GameServer() override;

    // Every handler given here was made by GameClientHandlerFactory.
    void clientConnected(NetServerClient* client, NetClientHandler* clientHandler) override;
    void clientDisconnected(NetServerClient* client, NetClientHandler* clientHandler) override;
    void clientRefused(NetServerClient* client) override;
};

#endif
