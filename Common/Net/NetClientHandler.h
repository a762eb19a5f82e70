// NetClientHandler.h - one reader thread serving whatever connection is
// attached: every read goes to the virtual messageReceived. dataMutex guards
// threadRunning, netSocket and readingAllowed and is held across each write,
// so one message is never interleaved with another on the connection.
// Lock order: a server's mutex before a handler's.
#ifndef NETCLIENTHANDLER_H
#define NETCLIENTHANDLER_H

#include <pthread.h>

#include "NetSocket.h"

// A free handler's reader thread looks for a connection this often (it is
// also woken at once when one is attached).
const long NETCLIENTHANDLER_IDLE_MS = 1000;

class NetClientHandler {
public:
    // Stores the socket (the server passes null) and starts the reader
    // thread. A socket given here is read once the most derived constructor
    // has called startReading(), or after setSocket().
    explicit NetClientHandler(NetSocket* socket);
    // Stops the reader thread if destroyHandler() was not called.
    virtual ~NetClientHandler();
    NetClientHandler(const NetClientHandler&) = delete;
    NetClientHandler& operator=(const NetClientHandler&) = delete;

    // Stops the reader thread: closes the attached socket and waits for the
    // thread to end. Idempotent; never on the reader thread itself.
    void destroyHandler();
    NetSocket* getSocket();
    bool isBusy();
    // Attaches a connection to a free handler; SOCKERR_INITIALISEERROR if
    // one is attached already.
    sockErr_t setSocket(NetSocket* socket);
    // Lets go of the socket if it is the one attached (the server, when it
    // has been told that connection is lost). Never called on a socket that
    // is still read.
    void releaseSocket(NetSocket* socket);
    // Writes to the attached connection; SOCKERR_WRITEERROR without one.
    // Any thread.
    sockErr_t writeMessage(char* data, int bytesToWrite);
    // The number of connections attached so far; it names the connection
    // that is attached now. A sender that took a handler earlier passes the
    // number it saw to writeMessageTo, so that a handler given to the next
    // client in between sends that client nothing.
    unsigned int getConnectionCount();
    // writeMessage, but only while `connection` is still the attached one;
    // SOCKERR_WRITEERROR otherwise.
    sockErr_t writeMessageTo(unsigned int connection, char* data, int bytesToWrite);

    // Reader thread: one read's bytes, valid until the next read.
    virtual void messageReceived(char* data, int bytesRead);
    // Reader thread, once per connection that ended, before the next
    // connection is read; called with the handler's lock held. closedSocket
    // only names the connection: the server may already reuse or free it.
    virtual void socketClosed(NetSocket* closedSocket);

protected:
    // One pass of the reader loop.
    virtual void threadFunction();
    // Opens reading of a socket given to the constructor; called at the end
    // of the most derived constructor, so the reader thread never calls a
    // virtual function of an object still being built.
    void startReading();
    // Closes the attached connection (for example after data that cannot be
    // trusted); its failed read then frees the handler.
    void closeConnection();
    bool onReaderThread();

private:
    static void* clientHandlerFunction(void* param);
    // Waits (not virtual) until a connection may be read; false when the
    // thread is to end.
    bool waitForConnection();
    // Frees the handler after a failed read of that connection.
    void readFailed(NetSocket* socket, unsigned int connection);  // EXCLUDES(dataMutex)

    pthread_t thread;
    bool threadRunning;   // GUARDED_BY(dataMutex)
    bool threadJoined;    // GUARDED_BY(dataMutex)
    bool readingAllowed;  // GUARDED_BY(dataMutex)
    pthread_mutex_t dataMutex;
    pthread_cond_t attachCondition;
    NetSocket* netSocket;  // GUARDED_BY(dataMutex); not owned
    // Counts attached connections, so a failed read can tell whether the
    // connection it read is still the attached one.
    unsigned int attachCount;  // GUARDED_BY(dataMutex)
};

#endif
