// GameServer.cpp - the three server callbacks. Called on the accept thread
// (connect, refuse), on the thread that found a loss, or in stopServer, with
// the server's mutex held.
#include "GameServer.h"

#include "GameClientHandler.h"
#include "GameManager.h"
#include "GameRequestHandler.h"
#include "Toolbox.h"

GameServer::GameServer(int clientSlots) : NetServer(clientSlots) {}

GameServer::~GameServer() {
    stopServer();
}

void GameServer::clientConnected(NetServerClient* client, NetClientHandler* clientHandler) {
    (void)client;
    Toolbox::printInfo("Client connected\n");
    GameClientHandler* handler = static_cast<GameClientHandler*>(clientHandler);
    if (handler == nullptr) {
        return;
    }
    // Handlers serve one connection after another: each gets its listeners
    // anew. The request dispatcher is both listeners.
    handler->setRequestListener(GameRequestHandler::getInstance());
    handler->setMessageListener(GameRequestHandler::getInstance());
}

void GameServer::clientDisconnected(NetServerClient* client, NetClientHandler* clientHandler) {
    (void)client;
    GameClientHandler* handler = static_cast<GameClientHandler*>(clientHandler);
    if (handler != nullptr) {
        GameManager::getInstance()->notifyDisconnected(handler);
    }
    Toolbox::printInfo("Client disconnected\n");
}

void GameServer::clientRefused(NetServerClient* client) {
    (void)client;
    Toolbox::printInfo("Client refused\n");
}
