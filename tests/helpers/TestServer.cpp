// TestServer.cpp - see TestServer.h.
#include "TestServer.h"

#include <chrono>

#include "GameClientHandler.h"
#include "GameManager.h"
#include "LoopbackClient.h"
#include "TestSupport.h"

namespace {

const int START_TRIES = 5;

}  // namespace

NetClientHandler* TestServer::GameHandlers::createNetClientHandler(NetServer*, NetSocket*) {
    return new GameClientHandler(nullptr);
}

TestServer::TestServer() : reportLosses(false), listeningPort(-1) {}

// The callbacks must still exist while the connections are closed.
TestServer::~TestServer() {
    stopServer();
}

void TestServer::useGameHandlers(bool reportToManager) {
    setNetClientHandlerFactory(&gameHandlers);
    reportLosses = reportToManager;
}

int TestServer::start() {
    char loopback[] = "127.0.0.1";
    for (int attempt = 0; attempt < START_TRIES; attempt++) {
        int port = freePort();
        if (port > 0 && startServer(loopback, port) == SOCKERR_OK) {
            listeningPort = port;
            return port;
        }
    }
    return -1;
}

NetClientHandler* TestServer::connect(LoopbackClient* client, int timeoutMs) {
    int before = count(ServerEvent::CONNECTED);
    if (!client->connectTo(listeningPort, timeoutMs) ||
        !waitForCount(ServerEvent::CONNECTED, before + 1, timeoutMs)) {
        return nullptr;
    }
    // The newest connection's handler: the loss of an earlier one may be
    // recorded after it.
    NetClientHandler* handler = nullptr;
    for (const ServerEvent& event : events()) {
        if (event.kind == ServerEvent::CONNECTED) {
            handler = event.handler;
        }
    }
    // The server attaches the connection right after the callback; a send
    // before that would find the handler still free.
    if (handler == nullptr || !waitUntil([&] { return handler->isBusy(); }, timeoutMs)) {
        return nullptr;
    }
    return handler;
}

GameClientHandler* TestServer::connectGame(LoopbackClient* client) {
    return static_cast<GameClientHandler*>(connect(client));
}

void TestServer::record(ServerEvent::Kind kind, NetServerClient* client,
                        NetClientHandler* handler) {
    std::lock_guard<std::mutex> lock(eventMutex);
    recorded.push_back(ServerEvent{kind, client, handler});
    eventArrived.notify_all();
}

void TestServer::clientConnected(NetServerClient* client, NetClientHandler* clientHandler) {
    if (onConnected) {
        onConnected(client, clientHandler);
    }
    record(ServerEvent::CONNECTED, client, clientHandler);
}

void TestServer::clientDisconnected(NetServerClient* client, NetClientHandler* clientHandler) {
    if (reportLosses && clientHandler != nullptr) {
        GameManager::getInstance()->notifyDisconnected(
            static_cast<GameClientHandler*>(clientHandler));
    }
    record(ServerEvent::DISCONNECTED, client, clientHandler);
}

void TestServer::clientRefused(NetServerClient* client) {
    record(ServerEvent::REFUSED, client, nullptr);
}

int TestServer::countLocked(ServerEvent::Kind kind) const {
    int found = 0;
    for (const ServerEvent& event : recorded) {
        found += event.kind == kind;
    }
    return found;
}

int TestServer::count(ServerEvent::Kind kind) {
    std::lock_guard<std::mutex> lock(eventMutex);
    return countLocked(kind);
}

bool TestServer::waitForCount(ServerEvent::Kind kind, int wanted, int timeoutMs) {
    std::unique_lock<std::mutex> lock(eventMutex);
    return eventArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return countLocked(kind) >= wanted; });
}

std::vector<ServerEvent> TestServer::events() {
    std::lock_guard<std::mutex> lock(eventMutex);
    return recorded;
}
