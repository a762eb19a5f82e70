// GameClientHandlerFactory.cpp - the server's source of protocol endpoints.
#include "GameClientHandlerFactory.h"

#include "GameClientHandler.h"

GameClientHandlerFactory::~GameClientHandlerFactory() {}

NetClientHandler* GameClientHandlerFactory::createNetClientHandler(NetServer* server,
                                                                   NetSocket* client) {
    (void)server;
    return new GameClientHandler(client);
}
