// RawPeer.h - a plain listening socket on 127.0.0.1 and the one connection it accepts.
#ifndef RAWPEER_H
#define RAWPEER_H

#include <poll.h>

#include <algorithm>
#include <string>

#include "TestSupport.h"

class RawPeer {
public:
    RawPeer() = default;
    ~RawPeer() {
        closePeer();
        if (listener >= 0) {
            close(listener);
        }
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool listenOnFreePort() {
        listener = boundLoopbackSocket(&port, 4);
        return listener >= 0;
    }
    bool acceptPeer(int timeoutMs = 3000) {
        struct pollfd watched = {listener, POLLIN, 0};
        peer = poll(&watched, 1, timeoutMs) == 1 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)
                                                 : -1;
        return peer >= 0;
    }
    bool sendAll(const std::string& bytes) {
        return send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Exactly count bytes, or fewer if the deadline passes or the peer closes.
    std::string receive(size_t count, int timeoutMs) {
        std::string bytes;
        long long deadline = clockMonotonicMs() + timeoutMs;
        char chunk[8192];
        struct pollfd watched = {peer, POLLIN, 0};
        while (bytes.size() < count && deadline > clockMonotonicMs() &&
               poll(&watched, 1, static_cast<int>(deadline - clockMonotonicMs())) == 1) {
            ssize_t got = recv(peer, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
            if (got <= 0) {
                break;
            }
            bytes.append(chunk, static_cast<size_t>(got));
        }
        return bytes;
    }
    void closePeer() {
        if (peer >= 0) {
            close(peer);
        }
        peer = -1;
    }

    int listener = -1;
    int peer = -1;
    int port = -1;
};

#endif
