// BenchScenario.h - one kind of load for CarvantaBench: it starts a server
// side on 127.0.0.1, says which request each client sends next and checks
// the answers. Add a scenario by deriving from this class and listing it in
// CarvantaBench.cpp. Called on the main thread (start, stop) and on the
// client threads (nextRequest, checkResponse, concurrently).
#ifndef BENCHSCENARIO_H
#define BENCHSCENARIO_H

#include <sys/types.h>

#include <string>
#include <vector>

struct LoadResult;

class BenchScenario {
public:
    virtual ~BenchScenario() {}
    virtual const char* name() const = 0;
    // Starts the server side; the port it listens on, or -1.
    virtual int start() = 0;
    virtual void stop() = 0;
    // The request that client number `client` sends as its `sequence`-th.
    virtual void nextRequest(int client, int sequence, int* reqType, std::string* payload) = 0;
    // True if response is the right answer to that request.
    virtual bool checkResponse(int reqType, const std::string& request,
                               const std::string& response) = 0;
    // False for scenarios that do real work per request: their ratios to the
    // echo are printed for reference, the network targets do not apply.
    virtual bool holdsEchoTargets() const { return true; }
    // Targets of the scenario's own, judged after each client count's runs
    // (medians of the server and of the echo): prints its figures and says
    // whether they were met.
    virtual bool meetsOwnTargets(const LoadResult&, const LoadResult&) { return true; }
    // The numbers of clients run unless --clients names others.
    virtual std::vector<int> clientCounts() const { return {1, 8}; }
    // Whether the echo targets hold at this many clients.
    virtual bool echoTargetsAt(int clients) const {
        (void)clients;
        return holdsEchoTargets();
    }
    // The p99 a run at this many clients must stay under, in
    // microseconds; 0: none.
    virtual double p99LimitUs(int clients) const {
        (void)clients;
        return 0;
    }
    // Whether several clients must reach 70 % of the echo's throughput.
    virtual bool holdsThroughputTarget() const { return true; }
    // The process id of the server side when it is a process of its own
    // (the server binary), else -1. The echo it is compared with then runs
    // in a process of its own too, and both processes' processor time per
    // round trip is printed.
    virtual pid_t serverProcess() const { return -1; }
    // Round trips per client at most (0: as many as asked), for scenarios
    // whose every request costs far more than the network.
    virtual int roundTripLimit() const { return 0; }
};

#endif
