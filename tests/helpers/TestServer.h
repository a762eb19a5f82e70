// TestServer.h - the in-process server of the network and lobby tests: a
// NetServer on 127.0.0.1 at a free port that records every callback
// (thread-safe) for the test to wait on. The handlers come from the factory
// the test sets, or with useGameHandlers() are GameClientHandlers without
// listeners, so the test drives the game manager itself with the handler of
// each connection and LoopbackClients on the other end see what it sends.
#ifndef TESTSERVER_H
#define TESTSERVER_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "NetClientHandlerFactory.h"
#include "NetServer.h"

class GameClientHandler;
class LoopbackClient;

struct ServerEvent {
    enum Kind { CONNECTED, DISCONNECTED, REFUSED };
    Kind kind;
    NetServerClient* client;
    NetClientHandler* handler;
};

class TestServer : public NetServer {
public:
    TestServer();
    ~TestServer() override;

    // Serves with GameClientHandlers; lost connections go to the game
    // manager (as the game server reports them) when reportToManager.
    void useGameHandlers(bool reportToManager);
    // Starts on 127.0.0.1 at a free port (a few tries); the port, or -1.
    int start();
    int port() const { return listeningPort; }
    // Connects client and returns the handler that serves it once the
    // server has attached it (null if either did not happen in time).
    NetClientHandler* connect(LoopbackClient* client, int timeoutMs = 5000);
    GameClientHandler* connectGame(LoopbackClient* client);

    void clientConnected(NetServerClient* client, NetClientHandler* clientHandler) override;
    void clientDisconnected(NetServerClient* client, NetClientHandler* clientHandler) override;
    void clientRefused(NetServerClient* client) override;

    int count(ServerEvent::Kind kind);
    // True once at least `wanted` events of that kind were recorded.
    bool waitForCount(ServerEvent::Kind kind, int wanted, int timeoutMs);
    std::vector<ServerEvent> events();

    // Runs inside clientConnected, under the server's lock (e.g. to give a
    // GameClientHandler its listeners). Set before the server starts.
    std::function<void(NetServerClient*, NetClientHandler*)> onConnected;

private:
    class GameHandlers : public NetClientHandlerFactory {
    public:
        NetClientHandler* createNetClientHandler(NetServer* server, NetSocket* socket) override;
    };

    void record(ServerEvent::Kind kind, NetServerClient* client, NetClientHandler* handler);
    int countLocked(ServerEvent::Kind kind) const;

    GameHandlers gameHandlers;
    bool reportLosses;  // set before start, then read-only
    int listeningPort;
    std::mutex eventMutex;
    std::condition_variable eventArrived;
    std::vector<ServerEvent> recorded;
};

#endif
