// RecordingServer.h - an in-process NetServer for network tests: records
// every callback (thread-safe) and lets the test wait for them with a
// deadline. onConnected runs inside clientConnected, under the server's
// lock, e.g. to give a GameClientHandler its listeners.
#ifndef RECORDINGSERVER_H
#define RECORDINGSERVER_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "NetServer.h"

struct ServerEvent {
    enum Kind { CONNECTED, DISCONNECTED, REFUSED };
    Kind kind;
    NetServerClient* client;
    NetClientHandler* handler;
};

class RecordingServer : public NetServer {
public:
    RecordingServer();
    ~RecordingServer() override;

    // Starts on 127.0.0.1 at a free port (a few tries); the port, or -1.
    int startOnFreePort();

    void clientConnected(NetServerClient* client, NetClientHandler* clientHandler) override;
    void clientDisconnected(NetServerClient* client, NetClientHandler* clientHandler) override;
    void clientRefused(NetServerClient* client) override;

    int count(ServerEvent::Kind kind);
    // True once at least `wanted` events of that kind were recorded.
    bool waitForCount(ServerEvent::Kind kind, int wanted, int timeoutMs);
    std::vector<ServerEvent> events();

    // Set before the server starts.
    std::function<void(NetServerClient*, NetClientHandler*)> onConnected;

private:
    void record(ServerEvent::Kind kind, NetServerClient* client, NetClientHandler* handler);

    std::mutex eventMutex;
    std::condition_variable eventArrived;
    std::vector<ServerEvent> recorded;
};

// Polls condition every few milliseconds until it holds or the time is up.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

#endif
