// ClientConnection.h - the client's protocol endpoint: a GameClientHandler
// that also remembers when the server has closed the connection, so that
// the main thread can tell a lost connection from a slow answer. The flag
// is set on the reader thread and read on the main thread.
#ifndef CLIENTCONNECTION_H
#define CLIENTCONNECTION_H

#include <atomic>

#include "GameClientHandler.h"

class ClientConnection : public GameClientHandler {
public:
    // Starts without a connection; the session attaches it with setSocket
    // once this object is complete, so the reader never sees it half built.
    ClientConnection();
    ~ClientConnection() override;

    // Reader thread: the connection has ended.
    void socketClosed(NetSocket* closedSocket) override;
    // Any thread: true once the connection has ended.
    bool isLost() const { return lost.load(); }

private:
    std::atomic<bool> lost;
};

#endif
