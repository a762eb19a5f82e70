// TestServer.h - an in-process NetServer on a free loopback port that records its callbacks.
#ifndef TESTSERVER_H
#define TESTSERVER_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "GameClientHandler.h"
#include "GameManager.h"
#include "LoopbackClient.h"
#include "NetClientHandlerFactory.h"
#include "NetServer.h"
#include "TestSupport.h"

struct ServerEvent {
    enum Kind { CONNECTED, DISCONNECTED, REFUSED };
    Kind kind;
    NetServerClient* client;
    NetClientHandler* handler;
};

class TestServer : public NetServer {
public:
    // The callbacks must still exist while the connections are closed.
    ~TestServer() override { stopServer(); }

    // Lost connections go to the game manager, as the game server reports them, when asked.
    void useGameHandlers(bool reportToManager) {
        setNetClientHandlerFactory(&gameHandlers);
        reportLosses = reportToManager;
    }
    int start() {
        char loopback[] = "127.0.0.1";
        for (int attempt = 0; attempt < 5 && listeningPort < 0; attempt++) {
            int port = freePort();
            if (port > 0 && startServer(loopback, port) == SOCKERR_OK) {
                listeningPort = port;
            }
        }
        return listeningPort;
    }
    int port() const { return listeningPort; }
    // The handler that serves the client once the server attached it (null if not in time).
    NetClientHandler* connect(LoopbackClient* client, int timeoutMs = 5000) {
        int before = count(ServerEvent::CONNECTED);
        if (!client->connectTo(listeningPort, timeoutMs) ||
            !waitForCount(ServerEvent::CONNECTED, before + 1, timeoutMs)) {
            return nullptr;
        }
        // The newest connection's: the loss of an earlier one may be recorded after it.
        NetClientHandler* handler = nullptr;
        for (const ServerEvent& event : events()) {
            handler = event.kind == ServerEvent::CONNECTED ? event.handler : handler;
        }
        // Attached right after the callback; a send before that would find it still free.
        bool busy = handler != nullptr && waitUntil([&] { return handler->isBusy(); }, timeoutMs);
        return busy ? handler : nullptr;
    }
    GameClientHandler* connectGame(LoopbackClient* client) {
        return static_cast<GameClientHandler*>(connect(client));
    }

    void clientConnected(NetServerClient* client, NetClientHandler* clientHandler) override {
        if (onConnected) {
            onConnected(client, clientHandler);
        }
        record(ServerEvent::CONNECTED, client, clientHandler);
    }
    void clientDisconnected(NetServerClient* client, NetClientHandler* clientHandler) override {
        if (reportLosses && clientHandler != nullptr) {
            GameManager::getInstance()->notifyDisconnected(
                static_cast<GameClientHandler*>(clientHandler));
        }
        record(ServerEvent::DISCONNECTED, client, clientHandler);
    }
    void clientRefused(NetServerClient* client) override {
        record(ServerEvent::REFUSED, client, nullptr);
    }

    int count(ServerEvent::Kind kind) {
        std::lock_guard<std::mutex> lock(eventMutex);
        return counts[kind];
    }
    bool waitForCount(ServerEvent::Kind kind, int wanted, int timeoutMs) {
        std::unique_lock<std::mutex> lock(eventMutex);
        return eventArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return counts[kind] >= wanted; });
    }
    std::vector<ServerEvent> events() {
        std::lock_guard<std::mutex> lock(eventMutex);
        return recorded;
    }

    // Runs inside clientConnected under the server's lock; set before the server starts.
    std::function<void(NetServerClient*, NetClientHandler*)> onConnected;

private:
    class GameHandlers : public NetClientHandlerFactory {
    public:
        NetClientHandler* createNetClientHandler(NetServer*, NetSocket*) override {
            return new GameClientHandler(nullptr);
        }
    };

    void record(ServerEvent::Kind kind, NetServerClient* client, NetClientHandler* handler) {
        std::lock_guard<std::mutex> lock(eventMutex);
        recorded.push_back(ServerEvent{kind, client, handler});
        counts[kind]++;
        eventArrived.notify_all();
    }

    GameHandlers gameHandlers;
    bool reportLosses = false;  // set before start, then read-only
    int listeningPort = -1;
    std::mutex eventMutex;
    std::condition_variable eventArrived;
    std::vector<ServerEvent> recorded;
    int counts[3] = {};  // by kind
};

#endif
