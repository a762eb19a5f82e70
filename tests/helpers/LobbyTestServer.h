// LobbyTestServer.h - an in-process server on 127.0.0.1 for the lobby's
// unit tests: real connections served by real GameClientHandlers, without
// the request dispatcher. The test talks to the game manager directly with
// the handler of each connection, and LoopbackClients on the other end see
// what the manager sends. Lost connections are reported to the game
// manager, as the game server does.
#ifndef LOBBYTESTSERVER_H
#define LOBBYTESTSERVER_H

#include <pthread.h>

#include <deque>

#include "NetClientHandlerFactory.h"
#include "NetServer.h"

class GameClientHandler;
class LoopbackClient;

class LobbyTestServer : public NetServer {
public:
    LobbyTestServer();
    ~LobbyTestServer() override;

    // Listens on 127.0.0.1 at a free port; false if that failed.
    bool start();
    int port() const { return listeningPort; }
    // Whether lost connections go to the game manager (default: yes).
    void setReportToManager(bool report) { reportToManager = report; }
    // Connects `client` and returns the handler that serves it (null if
    // either did not happen in time). Connect one client at a time.
    GameClientHandler* connect(LoopbackClient* client, int timeoutMs = 3000);
    // The server closes every connection (each reported as lost).
    void stop();

    void clientConnected(NetServerClient* client, NetClientHandler* clientHandler) override;
    void clientDisconnected(NetServerClient* client, NetClientHandler* clientHandler) override;
    void clientRefused(NetServerClient* client) override;

private:
    class Factory : public NetClientHandlerFactory {
    public:
        NetClientHandler* createNetClientHandler(NetServer* server, NetSocket* socket) override;
    };

    GameClientHandler* takeConnected(int timeoutMs);

    Factory factory;
    int listeningPort;
    bool stopped;
    bool reportToManager;  // set before start, then read-only
    pthread_mutex_t queueMutex;
    pthread_cond_t queueCondition;
    std::deque<GameClientHandler*> connected;  // GUARDED_BY(queueMutex)
};

#endif
