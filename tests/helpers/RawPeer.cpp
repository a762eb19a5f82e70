// RawPeer.cpp - plain-socket test peer (see RawPeer.h).
#include "RawPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "LoopbackClient.h"
#include "SimpleOsa.h"

namespace {

const int RECEIVE_CHUNK = 8192;

}  // namespace

RawPeer::RawPeer() : listener(-1), peer(-1), port(-1) {}

RawPeer::~RawPeer() {
    closePeer();
    if (listener >= 0) {
        close(listener);
    }
}

bool RawPeer::listenOnFreePort() {
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

bool RawPeer::acceptPeer(int timeoutMs) {
    struct pollfd watched = {listener, POLLIN, 0};
    if (poll(&watched, 1, timeoutMs) != 1) {
        return false;
    }
    peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    return peer >= 0;
}

bool RawPeer::sendAll(const std::string& bytes) {
    return send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

std::string RawPeer::receive(size_t count, int timeoutMs) {
    std::string bytes;
    long long deadline = clockMonotonicMs() + timeoutMs;
    while (bytes.size() < count) {
        long long left = deadline - clockMonotonicMs();
        struct pollfd watched = {peer, POLLIN, 0};
        if (left <= 0 || poll(&watched, 1, static_cast<int>(left)) != 1) {
            break;
        }
        char chunk[RECEIVE_CHUNK];
        size_t wanted = std::min(sizeof chunk, count - bytes.size());
        ssize_t got = recv(peer, chunk, wanted, 0);
        if (got <= 0) {
            break;
        }
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return bytes;
}

void RawPeer::closePeer() {
    if (peer >= 0) {
        close(peer);
        peer = -1;
    }
}
