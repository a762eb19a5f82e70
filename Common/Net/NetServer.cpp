// NetServer.cpp - the accept thread, the client slots and the handler
// slots (one of each per connection served at once). Everything after a
// connection arrived runs under dataMutex, the callbacks included; waiting
// for a connection holds no lock.
#include "NetServer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "MutexGuard.h"
#include "NetClientHandler.h"
#include "NetClientHandlerFactory.h"
#include "NetServerClient.h"
#include "OsaLog.h"

namespace {

const int LOG_LINE_MAX = 256;
const long RESTART_STEP_MS = 10;
// The listen queue holds a full house arriving at once, plus one; never
// fewer than the 9 of the default 8 connections.
const int MIN_BACKLOG = NETSERVER_DEFAULT_MAX_CLIENTS + 1;

int validMaxClients(int requested) {
    return requested >= 1 && requested <= NETSERVER_MAX_CLIENTS_LIMIT
               ? requested
               : NETSERVER_DEFAULT_MAX_CLIENTS;
}

// Accept failures that say nothing about the server: the next try may work.
bool acceptFailureIsTransient(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED ||
           error == EPROTO;
}

// Keepalive settings: the shipped ones, or those a test put in the
// environment.
void keepaliveSettings(int* idle, int* interval, int* count) {
    *idle = NETSERVER_KEEPALIVE_IDLE_S;
    *interval = NETSERVER_KEEPALIVE_INTERVAL_S;
    *count = NETSERVER_KEEPALIVE_COUNT;
    const char* test = getenv("CARVANTA_TEST_KEEPALIVE");
    int values[3];
    if (test != nullptr && sscanf(test, "%d,%d,%d", &values[0], &values[1], &values[2]) == 3 &&
        values[0] > 0 && values[1] > 0 && values[2] > 0) {
        *idle = values[0];
        *interval = values[1];
        *count = values[2];
    }
}

// A failure only costs the early detection of dead peers: logged, not fatal.
// Keepalive probes go out only while nothing is in flight; a peer that
// vanished while the lobby was sending to it is caught by the user timeout,
// set to the same bound.
void enableKeepalive(SOCKET descriptor) {
    int on = 1;
    int idle, interval, count;
    keepaliveSettings(&idle, &interval, &count);
    unsigned int userTimeoutMs = static_cast<unsigned int>(idle + interval * count) * 1000u;
    if (setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
        setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0 ||
        setsockopt(descriptor, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs,
                   sizeof userTimeoutMs) != 0) {
        char line[LOG_LINE_MAX];
        snprintf(line, sizeof line, "Keepalive not set on a connection (%s)\n", strerror(errno));
        osaLogError(line);
    }
}

}  // namespace

NetServer::NetServer(int requestedMaxClients)
    : maxClients(validMaxClients(requestedMaxClients)),
      retiredMax(2 * maxClients),
      thread(),
      threadRunning(true),
      serverStarted(false),
      acceptFailing(false),
      boundPort(0),
      clientHandlerFactory(nullptr),
      clients(new NetServerClient*[maxClients]()),
      clientHandlers(new NetClientHandler*[maxClients]()),
      retiredClients(new NetServerClient*[retiredMax]()),
      clientsConnected(0) {
    osaErr_t err = mutexCreate(&dataMutex);
    ASSERT(err == OSAERR_OK);
    threadConditionCreate(&serverCondition);
    err = threadCreate(&thread, serverThreadFunction, this);
    ASSERT(err == OSAERR_OK);
}

NetServer::~NetServer() {
    {
        MutexGuard guard(&dataMutex);
        threadRunning = false;
        stopLocked(false);
        threadCondBroadcast(&serverCondition);
    }
    NetSocket::closeSocket();
    threadWaitForExit(&thread);
    destroyHandlers();
    {
        MutexGuard guard(&dataMutex);
        for (int slot = 0; slot < maxClients; slot++) {
            delete clients[slot];
            clients[slot] = nullptr;
        }
        for (int slot = 0; slot < retiredMax; slot++) {
            delete retiredClients[slot];
            retiredClients[slot] = nullptr;
        }
    }
    threadConditionDestroy(&serverCondition);
    mutexDestroy(&dataMutex);
    delete[] clients;
    delete[] clientHandlers;
    delete[] retiredClients;
}

void* NetServer::serverThreadFunction(void* param) {
    NetServer* server = static_cast<NetServer*>(param);
    do {
        bool started;
        {
            MutexGuard guard(&server->dataMutex);
            server->sweepRetiredLocked();
            started = server->serverStarted;
            if (!started && server->threadRunning) {
                threadCondTimedWait(&server->serverCondition, &server->dataMutex,
                                    NETSERVER_IDLE_MS);
            }
        }
        if (started) {
            server->acceptClient();
        }
    } while (server->keepRunning());
    return nullptr;
}

bool NetServer::keepRunning() {
    MutexGuard guard(&dataMutex);
    return threadRunning;
}

sockErr_t NetServer::setNetClientHandlerFactory(NetClientHandlerFactory* factory) {
    MutexGuard guard(&dataMutex);
    if (clientHandlerFactory != nullptr) {
        return SOCKERR_INITIALISEERROR;
    }
    clientHandlerFactory = factory;
    return SOCKERR_OK;
}

sockErr_t NetServer::openListeningSocket(char* networkInterface, int port, SOCKET* listening) {
    SOCKET descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (descriptor == INVALID_SOCKET) {
        return SOCKERR_INITIALISEERROR;
    }
    // Address reuse lets a restarted server bind while connections of the
    // previous run linger in TIME_WAIT; a port that another socket listens
    // on is still refused.
    int reuse = 1;
    setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if ((networkInterface != nullptr &&
         inet_pton(AF_INET, networkInterface, &address.sin_addr) != 1) ||
        bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(descriptor);
        return SOCKERR_BINDERROR;
    }
    if (listen(descriptor, std::max(maxClients + 1, MIN_BACKLOG)) != 0) {
        close(descriptor);
        return SOCKERR_LISTENERROR;
    }
    service = address;
    *listening = descriptor;
    return SOCKERR_OK;
}

sockErr_t NetServer::startServer(char* networkInterface, int port) {
    {
        MutexGuard guard(&dataMutex);
        if (serverStarted) {
            return SOCKERR_INITIALISEERROR;
        }
    }
    SOCKET listening = INVALID_SOCKET;
    sockErr_t err = openListeningSocket(networkInterface, port, &listening);
    if (err != SOCKERR_OK) {
        return err;
    }
    // After a stop the accept thread may still be leaving its last wait on
    // the old descriptor, which is closed when it has.
    bool attached = attachDescriptor(listening);
    for (long waited = 0; !attached && waited < NETSERVER_RESTART_WAIT_MS;
         waited += RESTART_STEP_MS) {
        threadSleep(RESTART_STEP_MS);
        attached = attachDescriptor(listening);
    }
    if (!attached) {
        close(listening);
        return SOCKERR_INITIALISEERROR;
    }
    sockaddr_in bound;
    socklen_t boundLength = sizeof bound;
    getsockname(listening, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    MutexGuard guard(&dataMutex);
    boundPort = ntohs(bound.sin_port);
    serverStarted = true;
    threadCondBroadcast(&serverCondition);
    return SOCKERR_OK;
}

sockErr_t NetServer::stopServer() {
    {
        MutexGuard guard(&dataMutex);
        stopLocked(true);
        boundPort = 0;
        threadCondBroadcast(&serverCondition);
    }
    // Wakes an accept that is waiting; the accept thread then idles.
    NetSocket::closeSocket();
    return SOCKERR_OK;
}

void NetServer::stopLocked(bool withCallbacks) {
    serverStarted = false;
    sweepRetiredLocked();
    for (int slot = 0; slot < maxClients; slot++) {
        NetServerClient* client = clients[slot];
        if (client == nullptr || client->isReleased()) {
            continue;
        }
        NetClientHandler* handler = handlerServingLocked(client);
        client->closeSocket();
        if (withCallbacks) {
            clientDisconnected(client, handler);
        }
        // Its handler still holds it until its read fails; freed after that.
        retireLocked(client);
        clients[slot] = nullptr;
        clientsConnected--;
    }
}

void NetServer::retireLocked(NetServerClient* client) {
    for (int slot = 0; slot < retiredMax; slot++) {
        if (retiredClients[slot] == nullptr) {
            retiredClients[slot] = client;
            return;
        }
    }
    // Each handler holds at most one retired object after a sweep.
    ASSERT(false);
}

bool NetServer::referencedLocked(NetServerClient* client) {
    for (int slot = 0; slot < maxClients; slot++) {
        NetClientHandler* handler = clientHandlers[slot];
        if (handler != nullptr && handler->getSocket() == client) {
            return true;
        }
    }
    return false;
}

void NetServer::sweepRetiredLocked() {
    for (int slot = 0; slot < retiredMax; slot++) {
        NetServerClient* client = retiredClients[slot];
        if (client != nullptr && !referencedLocked(client) && client->isQuiet()) {
            delete client;
            retiredClients[slot] = nullptr;
        }
    }
}

sockErr_t NetServer::notifyDisconnected(NetServerClient* clientSocket) {
    MutexGuard guard(&dataMutex);
    for (int slot = 0; slot < maxClients; slot++) {
        if (clients[slot] != clientSocket) {
            continue;
        }
        NetClientHandler* handler = handlerServingLocked(clientSocket);
        clientDisconnected(clientSocket, handler);
        clientsConnected--;
        clientSocket->setReleased();
        if (handler != nullptr) {
            handler->releaseSocket(clientSocket);
        }
        threadCondBroadcast(&serverCondition);
        return SOCKERR_OK;
    }
    return SOCKERR_OK;
}

NetClientHandler* NetServer::handlerServingLocked(NetServerClient* client) {
    for (int slot = 0; slot < maxClients; slot++) {
        NetClientHandler* handler = clientHandlers[slot];
        if (handler != nullptr && handler->getSocket() == client) {
            return handler;
        }
    }
    return nullptr;
}

sockErr_t NetServer::write(char* data, int len) {
    MutexGuard guard(&dataMutex);
    for (int slot = 0; slot < maxClients; slot++) {
        NetServerClient* client = clients[slot];
        if (client == nullptr || !client->isActive()) {
            continue;
        }
        if (client->write(data, len) != SOCKERR_OK) {
            client->notifyServer();
            return SOCKERR_WRITEERROR;
        }
    }
    return SOCKERR_OK;
}

void NetServer::destroyHandlers() {
    std::vector<NetClientHandler*> taken(maxClients, nullptr);
    {
        MutexGuard guard(&dataMutex);
        for (int slot = 0; slot < maxClients; slot++) {
            taken[slot] = clientHandlers[slot];
            clientHandlers[slot] = nullptr;
        }
    }
    // Unlocked: a reader thread may be reporting its connection's loss,
    // which takes our mutex.
    for (int slot = 0; slot < maxClients; slot++) {
        if (taken[slot] != nullptr) {
            taken[slot]->destroyHandler();
            delete taken[slot];
        }
    }
    MutexGuard guard(&dataMutex);
    sweepRetiredLocked();
}

bool NetServer::waitForIdleHandlers(long timeoutMs) {
    const long stepMs = 20;
    for (long waited = 0; waited < timeoutMs; waited += stepMs) {
        bool busy = false;
        {
            MutexGuard guard(&dataMutex);
            for (int slot = 0; slot < maxClients && !busy; slot++) {
                busy = clientHandlers[slot] != nullptr && clientHandlers[slot]->isBusy();
            }
        }
        if (!busy) {
            return true;
        }
        threadSleep(stepMs);
    }
    return false;
}

int NetServer::getClientsConnected() {
    MutexGuard guard(&dataMutex);
    return clientsConnected;
}

int NetServer::getClientCapacity() {
    return maxClients;
}

int NetServer::getPort() {
    MutexGuard guard(&dataMutex);
    return boundPort;
}

bool NetServer::waitForConnection(SOCKET* descriptor) {
    SOCKET listening;
    if (!beginIo(&listening)) {
        return false;
    }
    struct pollfd watched = {listening, POLLIN, 0};
    int ready = poll(&watched, 1, NETSERVER_ACCEPT_WAIT_MS);
    SOCKET accepted = INVALID_SOCKET;
    int error = 0;
    if (ready > 0) {
        accepted = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        error = errno;
    }
    endIo();
    if (accepted != INVALID_SOCKET) {
        acceptFailing = false;
        enableKeepalive(accepted);
        *descriptor = accepted;
        return true;
    }
    if (ready <= 0 || acceptFailureIsTransient(error) || !NetSocket::isActive()) {
        return false;
    }
    // Out of descriptors or memory: the same failure would come at once.
    if (!acceptFailing) {
        char line[LOG_LINE_MAX];
        snprintf(line, sizeof line, "Accepting a connection failed (%s), retrying\n",
                 strerror(error));
        osaLogError(line);
        acceptFailing = true;
    }
    threadSleep(NETSERVER_ACCEPT_RETRY_MS);
    return false;
}

void NetServer::acceptClient() {
    SOCKET descriptor;
    if (!waitForConnection(&descriptor)) {
        return;
    }
    MutexGuard guard(&dataMutex);
    if (!serverStarted) {
        close(descriptor);  // the server was stopped while it arrived
        return;
    }
    placeClientLocked(descriptor);
}

int NetServer::findClientSlotLocked() {
    for (int slot = 0; slot < maxClients; slot++) {
        if (clients[slot] == nullptr || clients[slot]->isReusable()) {
            return slot;
        }
    }
    return -1;
}

int NetServer::findHandlerSlotLocked() {
    for (int slot = 0; slot < maxClients; slot++) {
        if (clientHandlers[slot] == nullptr) {
            clientHandlers[slot] = clientHandlerFactory->createNetClientHandler(this, nullptr);
            return clientHandlers[slot] != nullptr ? slot : -1;
        }
        if (clientHandlers[slot]->getSocket() == nullptr) {
            return slot;
        }
    }
    return -1;
}

NetServerClient* NetServer::fillClientSlotLocked(int slot, SOCKET descriptor) {
    if (clients[slot] == nullptr) {
        clients[slot] = new NetServerClient(this, descriptor);
    } else {
        sockErr_t err = clients[slot]->attachNewSocket(descriptor);
        ASSERT(err == SOCKERR_OK);
    }
    return clients[slot];
}

bool NetServer::roomForClientLocked() {
    if (clientsConnected >= maxClients || findClientSlotLocked() < 0) {
        return false;
    }
    if (clientHandlerFactory == nullptr) {
        return true;
    }
    for (int slot = 0; slot < maxClients; slot++) {
        if (clientHandlers[slot] == nullptr || clientHandlers[slot]->getSocket() == nullptr) {
            return true;
        }
    }
    return false;
}

void NetServer::waitForRoomLocked() {
    long long start = clockMonotonicMs();
    long waited = 0;
    while (serverStarted && waited < NETSERVER_REFUSE_GRACE_MS && !roomForClientLocked()) {
        // Releases dataMutex, so the reports of departures can come in.
        threadCondTimedWait(&serverCondition, &dataMutex, NETSERVER_REFUSE_GRACE_MS - waited);
        waited = static_cast<long>(clockMonotonicMs() - start);
    }
}

void NetServer::placeClientLocked(SOCKET descriptor) {
    waitForRoomLocked();
    if (!serverStarted) {
        close(descriptor);  // stopped while it waited for room
        return;
    }
    if (clientsConnected >= maxClients) {
        refuseLocked(descriptor);
        return;
    }
    int slot = findClientSlotLocked();
    int handlerSlot = -1;
    if (slot >= 0 && clientHandlerFactory != nullptr) {
        handlerSlot = findHandlerSlotLocked();
    }
    // A slot or handler may still be finishing its previous connection.
    if (slot < 0 || (clientHandlerFactory != nullptr && handlerSlot < 0)) {
        printf("################## INSUFFICIENT RESOURCES ##################");
        fflush(stdout);
        refuseLocked(descriptor);
        return;
    }
    NetServerClient* client = fillClientSlotLocked(slot, descriptor);
    NetClientHandler* handler = handlerSlot >= 0 ? clientHandlers[handlerSlot] : nullptr;
    clientConnected(client, handler);
    if (handler != nullptr) {
        sockErr_t err = handler->setSocket(client);
        ASSERT(err == SOCKERR_OK);
    }
    clientsConnected++;
}

void NetServer::refuseLocked(SOCKET descriptor) {
    // The peer sees the connection accepted and closed, with no byte sent.
    NetServerClient refused(this, descriptor);
    clientRefused(&refused);
    refused.closeSocket();
}
