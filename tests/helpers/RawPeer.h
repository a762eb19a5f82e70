// RawPeer.h - a plain listening socket on 127.0.0.1 and the one connection it accepts.
#ifndef RAWPEER_H
#define RAWPEER_H

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "SimpleOsa.h"

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
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener < 0 ||
            bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener, 4) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return false;
        }
        port = ntohs(address.sin_port);
        return true;
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
