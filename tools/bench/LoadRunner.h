// LoadRunner.h - drives N client threads that each run a fixed number of
// round trips, and sums up throughput and round-trip latency. Each client
// thread owns its LoadClient; the results are merged on the main thread.
#ifndef LOADRUNNER_H
#define LOADRUNNER_H

#include <sys/types.h>

#include <functional>
#include <memory>
#include <vector>

class LoadClient {
public:
    virtual ~LoadClient() {}
    virtual bool connectTo(int port) = 0;
    // One request and its complete answer; *nanos is the time from the
    // first byte sent to the last byte received. False on any failure.
    virtual bool roundTrip(int sequence, long long* nanos) = 0;
};

struct LoadResult {
    int clients = 0;
    long requests = 0;
    long failures = 0;
    double seconds = 0;
    std::vector<long long> latencies;  // nanoseconds, sorted

    double perSecond() const { return seconds > 0 ? requests / seconds : 0; }
    // Latency at fraction p (0.5, 0.99) in microseconds.
    double percentileUs(double p) const;
    double meanUs() const;
};

typedef std::function<std::unique_ptr<LoadClient>(int client)> LoadClientMaker;

// Connects every client first, then starts them together; each stops at
// its first failure.
LoadResult runLoad(int clients, int count, int port, const LoadClientMaker& makeClient);

// Median figures of several runs (reorders them): the latencies of the run
// with the median p50, and the median rate.
LoadResult medianOfRuns(std::vector<LoadResult>& runs);

// Milliseconds since an arbitrary start, on the monotonic clock.
long long benchNowNanos();

// Processor seconds (user and system) that a running process has used so
// far, from /proc; -1 if it cannot be read. Resolution one clock tick.
double processSeconds(pid_t pid);

#endif
