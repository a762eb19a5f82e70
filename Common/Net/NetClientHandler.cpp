// NetClientHandler.cpp - the reader thread of a handler: waits for a
// connection, reads it until it fails, then is free for the next one.
#include "NetClientHandler.h"

#include "MutexGuard.h"

NetClientHandler::NetClientHandler(NetSocket* socket)
    : thread(),
      threadRunning(true),
      threadJoined(false),
      readingAllowed(false),
      netSocket(socket),
      attachCount(0) {
    osaErr_t err = mutexCreate(&dataMutex);
    ASSERT(err == OSAERR_OK);
    threadConditionCreate(&attachCondition);
    err = threadCreate(&thread, clientHandlerFunction, this);
    ASSERT(err == OSAERR_OK);
}

NetClientHandler::~NetClientHandler() {
    destroyHandler();
    threadConditionDestroy(&attachCondition);
    mutexDestroy(&dataMutex);
}

void* NetClientHandler::clientHandlerFunction(void* param) {
    NetClientHandler* handler = static_cast<NetClientHandler*>(param);
    while (handler->waitForConnection()) {
        handler->threadFunction();
    }
    return nullptr;
}

bool NetClientHandler::waitForConnection() {
    MutexGuard guard(&dataMutex);
    while (threadRunning && (!readingAllowed || netSocket == nullptr)) {
        threadCondTimedWait(&attachCondition, &dataMutex, NETCLIENTHANDLER_IDLE_MS);
    }
    return threadRunning;
}

void NetClientHandler::threadFunction() {
    NetSocket* socket;
    unsigned int connection;
    {
        MutexGuard guard(&dataMutex);
        socket = netSocket;
        connection = attachCount;
    }
    if (socket == nullptr) {
        return;
    }
    char* data = nullptr;
    int bytesRead = 0;
    sockErr_t err = socket->read(&data, &bytesRead);
    if (err == SOCKERR_OK) {
        messageReceived(data, bytesRead);
        return;
    }
    readFailed(socket, connection);
}

void NetClientHandler::readFailed(NetSocket* socket, unsigned int connection) {
    MutexGuard guard(&dataMutex);
    // The socket is touched only while still attached: once the server has
    // let go of it for us, it may be reused or freed.
    if (netSocket == socket && attachCount == connection) {
        // A block whose header was refused leaves the connection open:
        // reading goes on with the next bytes.
        if (socket->isActive()) {
            return;
        }
        netSocket = nullptr;
    }
    socketClosed(socket);
}

void NetClientHandler::destroyHandler() {
    {
        MutexGuard guard(&dataMutex);
        if (threadJoined) {
            return;
        }
        threadJoined = true;
        threadRunning = false;
        if (netSocket != nullptr) {
            netSocket->closeSocket();
        }
        threadCondSignal(&attachCondition);
    }
    ASSERT(!onReaderThread());
    threadWaitForExit(&thread);
}

NetSocket* NetClientHandler::getSocket() {
    MutexGuard guard(&dataMutex);
    return netSocket;
}

bool NetClientHandler::isBusy() {
    MutexGuard guard(&dataMutex);
    return netSocket != nullptr;
}

sockErr_t NetClientHandler::setSocket(NetSocket* socket) {
    MutexGuard guard(&dataMutex);
    if (netSocket != nullptr) {
        return SOCKERR_INITIALISEERROR;
    }
    netSocket = socket;
    attachCount++;
    readingAllowed = true;
    threadCondSignal(&attachCondition);
    return SOCKERR_OK;
}

void NetClientHandler::releaseSocket(NetSocket* socket) {
    MutexGuard guard(&dataMutex);
    if (netSocket == socket) {
        netSocket = nullptr;
    }
}

sockErr_t NetClientHandler::writeMessage(char* data, int bytesToWrite) {
    MutexGuard guard(&dataMutex);
    return writeMessageTo(attachCount, data, bytesToWrite);
}

unsigned int NetClientHandler::getConnectionCount() {
    MutexGuard guard(&dataMutex);
    return attachCount;
}

sockErr_t NetClientHandler::writeMessageTo(unsigned int connection, char* data,
                                           int bytesToWrite) {
    MutexGuard guard(&dataMutex);
    if (netSocket == nullptr || attachCount != connection) {
        return SOCKERR_WRITEERROR;
    }
    return netSocket->write(data, bytesToWrite);
}

void NetClientHandler::messageReceived(char* data, int bytesRead) {
    (void)data;
    (void)bytesRead;
}

void NetClientHandler::socketClosed(NetSocket* closedSocket) {
    (void)closedSocket;
}

void NetClientHandler::startReading() {
    MutexGuard guard(&dataMutex);
    readingAllowed = true;
    threadCondSignal(&attachCondition);
}

void NetClientHandler::closeConnection() {
    MutexGuard guard(&dataMutex);
    if (netSocket != nullptr) {
        netSocket->closeSocket();
    }
}

bool NetClientHandler::onReaderThread() {
    return pthread_equal(pthread_self(), thread) != 0;
}
