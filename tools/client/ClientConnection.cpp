// ClientConnection.cpp - see ClientConnection.h.
#include "ClientConnection.h"

ClientConnection::ClientConnection() : GameClientHandler(nullptr), lost(false) {}

ClientConnection::~ClientConnection() {
    // The reader thread calls socketClosed on this object: stop it first.
    destroyHandler();
}

void ClientConnection::socketClosed(NetSocket* closedSocket) {
    lost.store(true);
    GameClientHandler::socketClosed(closedSocket);
}
