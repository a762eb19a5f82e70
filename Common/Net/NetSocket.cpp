// NetSocket.cpp - receiving, sending and block framing over one descriptor.
// The read state is touched by the reader thread alone; the descriptor, the
// active flag and the count of system calls in progress by socketMutex.
#include "NetSocket.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "MutexGuard.h"
#include "SimpleOsa.h"

sockMode_t NetSocket::sockMode = SOCKMODE_RAWDATA;

namespace {

const int BLOCK_LENGTH_OFFSET = 1;
const int INT32_BYTES = 4;

void putInt32(char* target, int value) {
    unsigned int bits = static_cast<unsigned int>(value);
    for (int i = 0; i < INT32_BYTES; i++) {
        target[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
    }
}

int getInt32(const char* source) {
    unsigned int bits = 0;
    for (int i = 0; i < INT32_BYTES; i++) {
        bits |= static_cast<unsigned int>(static_cast<unsigned char>(source[i])) << (8 * i);
    }
    return static_cast<int>(bits);
}

}  // namespace

NetSocket::NetSocket()
    : mergeBuffer(new char[NETSOCKET_MERGEBUFFER_INITIAL]),
      mergeBufferSize(NETSOCKET_MERGEBUFFER_INITIAL),
      sockState(SOCKSTATE_AWAITINGHEADER),
      bytesToBeExpected(0),
      endOfBlock(0),
      readBufferPointer(0),
      bytesInReadBuffer(0),
      service(),
      sock(INVALID_SOCKET),
      socketActive(false),
      shutDown(false),
      ioInProgress(0) {
    osaErr_t err = mutexCreate(&socketMutex);
    ASSERT(err == OSAERR_OK);
}

NetSocket::~NetSocket() {
    // This class's own close: a derived override is gone by now.
    NetSocket::closeSocket();
    {
        MutexGuard guard(&socketMutex);
        // No thread may still be in a system call on a socket being destroyed.
        ASSERT(ioInProgress == 0);
        closeDescriptorLocked();
    }
    delete[] mergeBuffer;
    mutexDestroy(&socketMutex);
}

void NetSocket::setSocketMode(sockMode_t mode) {
    sockMode = mode;
}

sockMode_t NetSocket::getSocketMode() {
    return sockMode;
}

bool NetSocket::isActive() {
    MutexGuard guard(&socketMutex);
    return socketActive;
}

int NetSocket::getMergeBufferSize() {
    return mergeBufferSize;
}

void NetSocket::closeSocket() {
    MutexGuard guard(&socketMutex);
    socketActive = false;
    if (sock == INVALID_SOCKET) {
        return;
    }
    if (!shutDown) {
        shutdown(sock, SHUT_RDWR);
        shutDown = true;
    }
    if (ioInProgress == 0) {
        closeDescriptorLocked();
    }
}

void NetSocket::closeDescriptorLocked() {
    if (sock != INVALID_SOCKET) {
        close(sock);
        sock = INVALID_SOCKET;
    }
    shutDown = false;
}

bool NetSocket::attachDescriptor(SOCKET descriptor) {
    MutexGuard guard(&socketMutex);
    if (sock != INVALID_SOCKET) {
        return false;
    }
    sock = descriptor;
    socketActive = true;
    shutDown = false;
    return true;
}

bool NetSocket::descriptorReleased() {
    MutexGuard guard(&socketMutex);
    return sock == INVALID_SOCKET;
}

bool NetSocket::beginIo(SOCKET* descriptor) {
    MutexGuard guard(&socketMutex);
    if (!socketActive || sock == INVALID_SOCKET) {
        return false;
    }
    ioInProgress++;
    *descriptor = sock;
    return true;
}

void NetSocket::endIo() {
    MutexGuard guard(&socketMutex);
    ASSERT(ioInProgress > 0);
    ioInProgress--;
    // A close that came during the call left the descriptor to us.
    if (ioInProgress == 0 && !socketActive) {
        closeDescriptorLocked();
    }
}

sockErr_t NetSocket::read(char** data, int* bytesRead) {
    if (sockMode == SOCKMODE_RAWDATA) {
        return readRawData(data, bytesRead);
    }
    if (sockMode == SOCKMODE_BLOCK) {
        return readDataBlock(data, bytesRead);
    }
    return SOCKERR_READERROR;
}

sockErr_t NetSocket::write(char* data, int len) {
    if (sockMode == SOCKMODE_RAWDATA) {
        return writeRawData(data, len);
    }
    if (sockMode == SOCKMODE_BLOCK) {
        return writeDataBlock(data, len);
    }
    return SOCKERR_WRITEERROR;
}

sockErr_t NetSocket::receiveOnce(int* received) {
    *received = 0;
    SOCKET descriptor;
    if (!beginIo(&descriptor)) {
        return SOCKERR_READERROR;
    }
    ssize_t count;
    do {
        count = recv(descriptor, readBuffer, sizeof readBuffer, 0);
    } while (count < 0 && errno == EINTR);
    endIo();
    if (count == 0) {
        closeSocket();
        return SOCKERR_CONNECTIONCLOSED;
    }
    if (count < 0) {
        closeSocket();
        return SOCKERR_READERROR;
    }
    *received = static_cast<int>(count);
    return SOCKERR_OK;
}

namespace {

// Sends every byte before the write deadline. A peer that stops reading
// (or reads a byte now and then) must not hold the writer, and the lock it
// writes under, for ever: at the deadline the write fails.
bool sendWithDeadline(SOCKET descriptor, const char* data, int numberOfBytes) {
    long long deadline = clockMonotonicMs() + NETSOCKET_WRITE_DEADLINE_MS;
    int sent = 0;
    while (sent < numberOfBytes) {
        // MSG_NOSIGNAL: a peer that has gone away gives an error, not SIGPIPE.
        ssize_t count =
            send(descriptor, data + sent, numberOfBytes - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count > 0) {
            sent += static_cast<int>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return false;
        }
        long long left = deadline - clockMonotonicMs();
        if (left <= 0) {
            return false;
        }
        struct pollfd writable = {descriptor, POLLOUT, 0};
        if (poll(&writable, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace

sockErr_t NetSocket::writeNumberOfBytes(char* data, int numberOfBytes) {
    if (numberOfBytes < 1) {
        return SOCKERR_OK;
    }
    SOCKET descriptor;
    if (!beginIo(&descriptor)) {
        return SOCKERR_WRITEERROR;
    }
    bool failed = !sendWithDeadline(descriptor, data, numberOfBytes);
    endIo();
    if (failed) {
        closeSocket();
        return SOCKERR_WRITEERROR;
    }
    return SOCKERR_OK;
}

sockErr_t NetSocket::writeRawData(char* data, int numberOfBytes) {
    return writeNumberOfBytes(data, numberOfBytes);
}

sockErr_t NetSocket::readRawData(char** data, int* bytesRead) {
    *data = nullptr;
    *bytesRead = 0;
    int received = 0;
    sockErr_t err = receiveOnce(&received);
    if (err != SOCKERR_OK) {
        return err;
    }
    *data = readBuffer;
    *bytesRead = received;
    return SOCKERR_OK;
}

sockErr_t NetSocket::writeDataBlock(char* data, int len) {
    writeBuffer[0] = static_cast<char>(NETSOCKET_BLOCK_MARKER);
    putInt32(writeBuffer + BLOCK_LENGTH_OFFSET, len);
    sockErr_t err = writeNumberOfBytes(writeBuffer, NETSOCKET_BLOCKHEADER_SIZE);
    if (err != SOCKERR_OK) {
        return err;
    }
    return writeNumberOfBytes(data, len);
}

void NetSocket::resetReading() {
    sockState = SOCKSTATE_AWAITINGHEADER;
    bytesToBeExpected = 0;
    endOfBlock = 0;
    readBufferPointer = 0;
    bytesInReadBuffer = 0;
}

sockErr_t NetSocket::readNumberOfBytes(int expectedBytes) {
    while (endOfBlock < expectedBytes) {
        if (bytesInReadBuffer == 0) {
            int received = 0;
            sockErr_t err = receiveOnce(&received);
            if (err != SOCKERR_OK) {
                return err;
            }
            bytesInReadBuffer = received;
            readBufferPointer = 0;
        }
        int count = expectedBytes - endOfBlock;
        if (count > bytesInReadBuffer) {
            count = bytesInReadBuffer;
        }
        memcpy(mergeBuffer + endOfBlock, readBuffer + readBufferPointer, count);
        endOfBlock += count;
        readBufferPointer += count;
        bytesInReadBuffer -= count;
        if (bytesInReadBuffer == 0) {
            readBufferPointer = 0;
        }
    }
    return SOCKERR_OK;
}

bool NetSocket::growMergeBuffer(int length) {
    if (length <= mergeBufferSize) {
        return true;
    }
    char* bigger = new (std::nothrow) char[length];
    if (bigger == nullptr) {
        return false;
    }
    delete[] mergeBuffer;
    mergeBuffer = bigger;
    mergeBufferSize = length;
    return true;
}

sockErr_t NetSocket::readDataBlock(char** data, int* bytesRead) {
    *data = nullptr;
    *bytesRead = 0;
    sockErr_t err = readNumberOfBytes(NETSOCKET_BLOCKHEADER_SIZE);
    if (err != SOCKERR_OK || static_cast<unsigned char>(mergeBuffer[0]) != NETSOCKET_BLOCK_MARKER) {
        resetReading();
        return SOCKERR_DATAERROR;
    }
    int length = getInt32(mergeBuffer + BLOCK_LENGTH_OFFSET);
    // Lengths out of range cannot be trusted; the old buffer stays usable.
    if (length < 0 || length > NETSOCKET_BLOCK_MAX || !growMergeBuffer(length)) {
        resetReading();
        return SOCKERR_DATAERROR;
    }
    bytesToBeExpected = length;
    sockState = SOCKSTATE_AWAITINGDATA;
    endOfBlock = 0;
    err = readNumberOfBytes(length);
    if (err != SOCKERR_OK) {
        resetReading();
        return SOCKERR_DATAERROR;
    }
    sockState = SOCKSTATE_AWAITINGHEADER;
    *data = mergeBuffer;
    *bytesRead = length;
    endOfBlock = 0;
    return SOCKERR_OK;
}
