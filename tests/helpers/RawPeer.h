// RawPeer.h - the far end of a test connection: a plain listening socket on
// 127.0.0.1 and the one connection it accepts, driven by the test with
// plain system calls (no project code). Every wait has a deadline.
#ifndef RAWPEER_H
#define RAWPEER_H

#include <string>

class RawPeer {
public:
    RawPeer();
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool listenOnFreePort();
    bool acceptPeer(int timeoutMs = 3000);
    bool sendAll(const std::string& bytes);
    // Exactly count bytes, or fewer if the deadline passes or the peer
    // closes.
    std::string receive(size_t count, int timeoutMs);
    void closePeer();

    int listener;
    int peer;
    int port;
};

#endif
