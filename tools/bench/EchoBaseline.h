// EchoBaseline.h - the yardstick: a plain blocking thread-per-connection
// server on 127.0.0.1 that reads exactly requestBytes and answers with
// exactly responseBytes, the same byte counts as a scenario's round trip.
// start and stop on the main thread; one thread per connection.
#ifndef ECHOBASELINE_H
#define ECHOBASELINE_H

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

class EchoBaseline {
public:
    EchoBaseline(int requestBytes, int responseBytes);
    ~EchoBaseline();
    // The port, or -1.
    int start();
    void stop();

private:
    void acceptLoop();
    void serve(int descriptor);

    int requestSize;
    int responseSize;
    int listener;
    std::atomic<bool> running;
    std::thread acceptThread;
    std::mutex connectionsMutex;
    std::vector<int> connections;                // guarded by connectionsMutex
    std::vector<std::thread> connectionThreads;  // guarded by connectionsMutex
};

#endif
