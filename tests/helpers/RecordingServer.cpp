// RecordingServer.cpp - callback recorder for the in-process server tests.
#include "RecordingServer.h"

#include <unistd.h>

#include <chrono>

#include "FreePort.h"

namespace {

const int START_TRIES = 5;
const int POLL_STEP_US = 2000;

}  // namespace

RecordingServer::RecordingServer() {}

// The callbacks must still exist while the connections are closed.
RecordingServer::~RecordingServer() {
    stopServer();
}

int RecordingServer::startOnFreePort() {
    char loopback[] = "127.0.0.1";
    for (int attempt = 0; attempt < START_TRIES; attempt++) {
        int port = freePort();
        if (port > 0 && startServer(loopback, port) == SOCKERR_OK) {
            return port;
        }
    }
    return -1;
}

void RecordingServer::record(ServerEvent::Kind kind, NetServerClient* client,
                             NetClientHandler* handler) {
    std::lock_guard<std::mutex> lock(eventMutex);
    recorded.push_back(ServerEvent{kind, client, handler});
    eventArrived.notify_all();
}

void RecordingServer::clientConnected(NetServerClient* client, NetClientHandler* clientHandler) {
    if (onConnected) {
        onConnected(client, clientHandler);
    }
    record(ServerEvent::CONNECTED, client, clientHandler);
}

void RecordingServer::clientDisconnected(NetServerClient* client, NetClientHandler* clientHandler) {
    record(ServerEvent::DISCONNECTED, client, clientHandler);
}

void RecordingServer::clientRefused(NetServerClient* client) {
    record(ServerEvent::REFUSED, client, nullptr);
}

int RecordingServer::count(ServerEvent::Kind kind) {
    std::lock_guard<std::mutex> lock(eventMutex);
    int found = 0;
    for (const ServerEvent& event : recorded) {
        if (event.kind == kind) {
            found++;
        }
    }
    return found;
}

bool RecordingServer::waitForCount(ServerEvent::Kind kind, int wanted, int timeoutMs) {
    std::unique_lock<std::mutex> lock(eventMutex);
    return eventArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        int found = 0;
        for (const ServerEvent& event : recorded) {
            if (event.kind == kind) {
                found++;
            }
        }
        return found >= wanted;
    });
}

std::vector<ServerEvent> RecordingServer::events() {
    std::lock_guard<std::mutex> lock(eventMutex);
    return recorded;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        usleep(POLL_STEP_US);
    }
}
