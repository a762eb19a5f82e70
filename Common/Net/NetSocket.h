// NetSocket.h - one TCP endpoint: a descriptor, a 2000-byte receive buffer
// and a growable merge buffer. Raw mode passes bytes as they are; block mode
// frames each write with a 5-byte header (0xAA, length LE) and returns one
// block per read. One thread reads, writers are serialised by the owner;
// socketMutex guards the descriptor, the active flag and the I/O count.
#ifndef NETSOCKET_H
#define NETSOCKET_H

#include <netinet/in.h>
#include <pthread.h>

typedef int SOCKET;

const SOCKET INVALID_SOCKET = -1;
// Every receive asks for at most this many bytes.
const int NETSOCKET_READBUFFER_SIZE = 2000;
// Block header: marker byte, then the payload length (4 bytes, LE).
const int NETSOCKET_BLOCKHEADER_SIZE = 5;
const unsigned char NETSOCKET_BLOCK_MARKER = 0xAA;
const int NETSOCKET_MERGEBUFFER_INITIAL = 1000;
// Largest block payload accepted by a read (1 MiB).
const int NETSOCKET_BLOCK_MAX = 1 << 20;
// A write that cannot hand all its bytes to the system within this time
// fails and closes the connection: a peer that stops reading is dropped.
const long NETSOCKET_WRITE_DEADLINE_MS = 10000;

typedef enum {
    SOCKERR_OK = 0,
    SOCKERR_INITIALISEERROR = 1,
    SOCKERR_BINDERROR = 2,
    SOCKERR_CONNECTERROR = 3,
    SOCKERR_LISTENERROR = 4,
    SOCKERR_ADDRESSERROR = 5,
    SOCKERR_WRITEERROR = 6,
    SOCKERR_CONNECTIONCLOSED = 7,
    SOCKERR_READERROR = 8,
    SOCKERR_DATAERROR = 9,
} sockErr_t;

typedef enum {
    SOCKMODE_RAWDATA = 0,
    SOCKMODE_BLOCK = 1,
} sockMode_t;

typedef enum {
    SOCKSTATE_AWAITINGHEADER = 0,
    SOCKSTATE_AWAITINGDATA = 1,
} sockState_t;

class NetSocket {
public:
    NetSocket();
    virtual ~NetSocket();
    NetSocket(const NetSocket&) = delete;
    NetSocket& operator=(const NetSocket&) = delete;

    // Process-wide; set, if at all, before any socket is used.
    static void setSocketMode(sockMode_t mode);
    static sockMode_t getSocketMode();

    virtual bool isActive();
    // Reader thread only. On success *data points into this socket's own
    // buffer until the next read. A failed receive closes the socket.
    virtual sockErr_t read(char** data, int* bytesRead);
    // Writers are serialised by the caller. A failed send closes the socket.
    virtual sockErr_t write(char* data, int len);
    // Marks the socket inactive and shuts it down both ways, which wakes a
    // blocked receive. The descriptor itself is closed once, when no receive
    // or send is using it any more, so its number cannot be reused under a
    // thread still in a system call. Any thread; callable more than once.
    virtual void closeSocket();

    // Size of the merge buffer (block mode); for tests and statistics.
    int getMergeBufferSize();

protected:
    void resetReading();
    sockErr_t readNumberOfBytes(int expectedBytes);
    sockErr_t writeNumberOfBytes(char* data, int numberOfBytes);
    sockErr_t writeDataBlock(char* data, int len);
    sockErr_t readDataBlock(char** data, int* bytesRead);
    sockErr_t writeRawData(char* data, int numberOfBytes);
    sockErr_t readRawData(char** data, int* bytesRead);

    // Makes a connected or listening descriptor this socket's own and the
    // socket active. False (nothing changed) while the previous descriptor
    // is still open.
    bool attachDescriptor(SOCKET descriptor);
    // True while no descriptor is held (never had one, or fully closed).
    bool descriptorReleased();
    // Pins the descriptor for one system call; false if the socket is not
    // active. Every successful beginIo is followed by endIo.
    bool beginIo(SOCKET* descriptor);
    void endIo();
    // One receive of at most NETSOCKET_READBUFFER_SIZE bytes into
    // readBuffer; closes the socket (virtually) on end of stream or error.
    sockErr_t receiveOnce(int* received);

    char readBuffer[NETSOCKET_READBUFFER_SIZE];
    char writeBuffer[NETSOCKET_BLOCKHEADER_SIZE];
    char* mergeBuffer;
    int mergeBufferSize;
    static sockMode_t sockMode;
    sockState_t sockState;
    int bytesToBeExpected;
    int endOfBlock;
    int readBufferPointer;
    int bytesInReadBuffer;
    sockaddr_in service;
    // Recursive; derived classes guard their own connection state with it.
    // A leaf lock: nothing else is locked or called while it is held.
    pthread_mutex_t socketMutex;

private:
    void closeDescriptorLocked();  // REQUIRES(socketMutex)
    bool growMergeBuffer(int length);

    SOCKET sock;        // GUARDED_BY(socketMutex)
    bool socketActive;  // GUARDED_BY(socketMutex)
    bool shutDown;      // GUARDED_BY(socketMutex)
    int ioInProgress;   // GUARDED_BY(socketMutex)
};

#endif
