// NetServerClient.h - one accepted connection in a server slot. The slot
// object outlives its connection and takes the next one once released. Its
// state is guarded by the socket's socketMutex; the owning server is told of
// a lost connection exactly once, never while the object's lock is held.
#ifndef NETSERVERCLIENT_H
#define NETSERVERCLIENT_H

#include "NetSocket.h"

class NetServer;

typedef enum {
    SERVERCLIENTSTATE_ACTIVE = 0,
    SERVERCLIENTSTATE_CLOSED = 1,
    SERVERCLIENTSTATE_IDLE = 2,
} serverClientState_t;

class NetServerClient : public NetSocket {
public:
    // Takes the accepted descriptor; server may be null (nobody is told).
    NetServerClient(NetServer* server, SOCKET clientSocket);
    ~NetServerClient() override;

    // Only for a released object: takes the next connection. Otherwise
    // SOCKERR_INITIALISEERROR and nothing changes.
    sockErr_t attachNewSocket(SOCKET clientSocket);
    // Closed and reported: the connection is over for everybody.
    bool isReleased();
    // No thread is reporting its loss or in a system call on it.
    bool isQuiet();
    // Released and its descriptor closed: may take the next connection.
    bool isReusable();
    // The server has been told of the loss (called by the server, with its
    // lock held, while it handles the report).
    void setReleased();
    // A failed read reports the loss (notifyServer) before returning.
    sockErr_t read(char** data, int* bytesRead) override;
    // A failed write closes the socket but does not report: the writer may
    // hold its handler's lock, which must not be held while the server's is
    // taken. The shutdown wakes the connection's reader, whose failed read
    // reports the loss at once.
    sockErr_t write(char* data, int len) override;
    void closeSocket() override;
    // Reports a closed connection to the server, once per connection.
    // EXCLUDES(socketMutex)
    void notifyServer();
    int getConnectionId();

private:
    NetServer* netServer;
    int connectionId;           // GUARDED_BY(socketMutex)
    int closedConnectionId;     // GUARDED_BY(socketMutex)
    serverClientState_t state;  // GUARDED_BY(socketMutex)
    int reportedConnectionId;   // GUARDED_BY(socketMutex); claimed for reporting
    int reportsInProgress;      // GUARDED_BY(socketMutex)
};

#endif
