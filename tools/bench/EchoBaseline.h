// EchoBaseline.h - the yardstick: a plain blocking thread-per-connection
// server on 127.0.0.1 that reads exactly requestBytes and answers with
// exactly responseBytes, the same byte counts as a scenario's round trip.
// start and stop on the main thread; one thread per connection.
//
// A server binary under test runs in a process of its own, and so must its
// yardstick: switching between the threads of two processes costs more than
// between threads of one (much more on a virtual machine), so an echo inside
// the benchmark would be cheaper than any server could be. runEchoLoad runs
// the echo in a child process for such scenarios.
#ifndef ECHOBASELINE_H
#define ECHOBASELINE_H

#include <sys/types.h>

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

// The echo in a forked child of its own. The child serves until the parent
// closes its end of the control socket (or dies), then ends.
class EchoProcess {
public:
    EchoProcess(int requestBytes, int responseBytes);
    ~EchoProcess();
    EchoProcess(const EchoProcess&) = delete;
    EchoProcess& operator=(const EchoProcess&) = delete;
    // The port, or -1.
    int start();
    void stop();
    // Processor seconds the ended child used (user and system), else 0.
    double processorSeconds() const { return childSeconds; }

private:
    int requestSize;
    int responseSize;
    pid_t pid;
    int control;
    double childSeconds;
};

struct LoadResult;

// One load run of `clients` echo clients against a fresh echo, in this
// process or in a child of its own; then *childSeconds (if given) is the
// processor time of the child.
LoadResult runEchoLoad(bool ownProcess, int clients, int count, int requestBytes, int responseBytes,
                       double* childSeconds = nullptr);

#endif
