// LobbyTestServer.cpp - in-process server for the lobby's unit tests.
#include "LobbyTestServer.h"

#include "FreePort.h"
#include "GameClientHandler.h"
#include "GameManager.h"
#include "LoopbackClient.h"
#include "MutexGuard.h"
#include "SimpleOsa.h"

namespace {

const long ATTACH_POLL_MS = 5;
const int START_ATTEMPTS = 5;

}  // namespace

NetClientHandler* LobbyTestServer::Factory::createNetClientHandler(NetServer*, NetSocket*) {
    return new GameClientHandler(nullptr);
}

LobbyTestServer::LobbyTestServer() : listeningPort(0), stopped(false), reportToManager(true) {
    mutexCreate(&queueMutex);
    threadConditionCreate(&queueCondition);
    setNetClientHandlerFactory(&factory);
}

LobbyTestServer::~LobbyTestServer() {
    stop();
    threadConditionDestroy(&queueCondition);
    mutexDestroy(&queueMutex);
}

bool LobbyTestServer::start() {
    for (int attempt = 0; attempt < START_ATTEMPTS; attempt++) {
        int port = freePort();
        char address[] = "127.0.0.1";
        if (startServer(address, port) == SOCKERR_OK) {
            listeningPort = port;
            return true;
        }
    }
    return false;
}

void LobbyTestServer::stop() {
    if (!stopped) {
        stopped = true;
        stopServer();
    }
}

GameClientHandler* LobbyTestServer::connect(LoopbackClient* client, int timeoutMs) {
    if (!client->connectTo(listeningPort, timeoutMs)) {
        return nullptr;
    }
    GameClientHandler* handler = takeConnected(timeoutMs);
    if (handler == nullptr) {
        return nullptr;
    }
    // The server attaches the connection right after clientConnected.
    long long deadline = monotonicMs() + timeoutMs;
    while (!handler->isBusy()) {
        if (monotonicMs() > deadline) {
            return nullptr;
        }
        threadSleep(ATTACH_POLL_MS);
    }
    return handler;
}

GameClientHandler* LobbyTestServer::takeConnected(int timeoutMs) {
    long long deadline = monotonicMs() + timeoutMs;
    MutexGuard guard(&queueMutex);
    while (connected.empty()) {
        long long left = deadline - monotonicMs();
        if (left <= 0) {
            return nullptr;
        }
        threadCondTimedWait(&queueCondition, &queueMutex, static_cast<long>(left));
    }
    GameClientHandler* handler = connected.front();
    connected.pop_front();
    return handler;
}

void LobbyTestServer::clientConnected(NetServerClient*, NetClientHandler* clientHandler) {
    MutexGuard guard(&queueMutex);
    connected.push_back(static_cast<GameClientHandler*>(clientHandler));
    threadCondBroadcast(&queueCondition);
}

void LobbyTestServer::clientDisconnected(NetServerClient*, NetClientHandler* clientHandler) {
    if (reportToManager && clientHandler != nullptr) {
        GameManager::getInstance()->notifyDisconnected(
            static_cast<GameClientHandler*>(clientHandler));
    }
}

void LobbyTestServer::clientRefused(NetServerClient*) {}
