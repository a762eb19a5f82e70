// NetServerClient.cpp - connection state of one server slot: active, closed
// (loss not yet reported), idle (released). Any thread may close it; the
// first failed read reports the loss to the server.
#include "NetServerClient.h"

#include <unistd.h>

#include "MutexGuard.h"
#include "NetServer.h"

NetServerClient::NetServerClient(NetServer* server, SOCKET clientSocket)
    : netServer(server),
      connectionId(1),
      closedConnectionId(-1),
      state(SERVERCLIENTSTATE_ACTIVE),
      reportedConnectionId(-1),
      reportsInProgress(0) {
    bool attached = attachDescriptor(clientSocket);
    ASSERT(attached);
}

NetServerClient::~NetServerClient() {}

sockErr_t NetServerClient::attachNewSocket(SOCKET clientSocket) {
    MutexGuard guard(&socketMutex);
    if (!isReusable()) {
        return SOCKERR_INITIALISEERROR;
    }
    resetReading();
    bool attached = attachDescriptor(clientSocket);
    ASSERT(attached);
    connectionId++;
    state = SERVERCLIENTSTATE_ACTIVE;
    return SOCKERR_OK;
}

bool NetServerClient::isReleased() {
    MutexGuard guard(&socketMutex);
    return !NetSocket::isActive() && state == SERVERCLIENTSTATE_IDLE;
}

bool NetServerClient::isQuiet() {
    MutexGuard guard(&socketMutex);
    return reportsInProgress == 0 && descriptorReleased();
}

bool NetServerClient::isReusable() {
    MutexGuard guard(&socketMutex);
    return isReleased() && descriptorReleased();
}

void NetServerClient::setReleased() {
    MutexGuard guard(&socketMutex);
    if (!NetSocket::isActive()) {
        state = SERVERCLIENTSTATE_IDLE;
    }
}

int NetServerClient::getConnectionId() {
    MutexGuard guard(&socketMutex);
    return connectionId;
}

sockErr_t NetServerClient::read(char** data, int* bytesRead) {
    sockErr_t err = NetSocket::read(data, bytesRead);
    if (err != SOCKERR_OK) {
        notifyServer();
    }
    return err;
}

sockErr_t NetServerClient::write(char* data, int len) {
    return NetSocket::write(data, len);
}

void NetServerClient::closeSocket() {
    MutexGuard guard(&socketMutex);
    // Only the first close of a connection is recorded: a late second close
    // must not take a released object back to the closed state.
    if (NetSocket::isActive()) {
        closedConnectionId = connectionId;
        state = SERVERCLIENTSTATE_CLOSED;
    }
    NetSocket::closeSocket();
}

void NetServerClient::notifyServer() {
    int claimed;
    {
        MutexGuard guard(&socketMutex);
        if (NetSocket::isActive() || closedConnectionId != connectionId ||
            state != SERVERCLIENTSTATE_CLOSED || reportedConnectionId == connectionId) {
            return;
        }
        // Claimed: a second failing thread finds the connection taken.
        claimed = connectionId;
        reportedConnectionId = claimed;
        reportsInProgress++;
    }
    if (netServer != nullptr) {
        netServer->notifyDisconnected(this);
    }
    MutexGuard guard(&socketMutex);
    reportsInProgress--;
    // The server released the object already if it still had it in a slot,
    // and may have given it the next connection since.
    if (connectionId == claimed && state == SERVERCLIENTSTATE_CLOSED) {
        state = SERVERCLIENTSTATE_IDLE;
    }
}
