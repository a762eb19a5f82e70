// LoadRunner.cpp - client threads behind a start barrier; latencies are
// collected per thread and merged after the join.
#include "LoadRunner.h"

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

long long benchNowNanos() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

double processSeconds(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = fopen(path, "r");
    if (file == nullptr) {
        return -1;
    }
    char line[1024] = {};
    bool read = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    // The command name may hold spaces; the fields after it are numbered
    // from the state (field 3): utime is field 14, stime field 15.
    const char* end = strrchr(line, ')');
    unsigned long userTicks = 0;
    unsigned long systemTicks = 0;
    if (!read || end == nullptr ||
        sscanf(end + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &userTicks,
               &systemTicks) != 2) {
        return -1;
    }
    return static_cast<double>(userTicks + systemTicks) / sysconf(_SC_CLK_TCK);
}

double LoadResult::percentileUs(double p) const {
    if (latencies.empty()) {
        return 0;
    }
    size_t index = static_cast<size_t>(p * (latencies.size() - 1));
    return latencies[index] / 1000.0;
}

double LoadResult::meanUs() const {
    if (latencies.empty()) {
        return 0;
    }
    double sum = 0;
    for (long long nanos : latencies) {
        sum += nanos;
    }
    return sum / latencies.size() / 1000.0;
}

LoadResult medianOfRuns(std::vector<LoadResult>& runs) {
    std::sort(runs.begin(), runs.end(), [](const LoadResult& a, const LoadResult& b) {
        return a.percentileUs(0.5) < b.percentileUs(0.5);
    });
    LoadResult median = runs[runs.size() / 2];
    std::vector<double> rates;
    for (const LoadResult& run : runs) {
        rates.push_back(run.perSecond());
        median.failures = std::max(median.failures, run.failures);
    }
    std::sort(rates.begin(), rates.end());
    // Keeps the median run's latencies and states the median rate.
    median.seconds = median.requests / rates[rates.size() / 2];
    return median;
}

namespace {

struct ClientRun {
    std::unique_ptr<LoadClient> client;
    std::vector<long long> latencies;
    bool failed = false;
};

void runClient(ClientRun* run, int count, std::atomic<bool>* go) {
    while (!go->load()) {
        std::this_thread::yield();
    }
    run->latencies.reserve(count);
    for (int sequence = 0; sequence < count; sequence++) {
        long long nanos = 0;
        if (!run->client->roundTrip(sequence, &nanos)) {
            run->failed = true;
            return;
        }
        run->latencies.push_back(nanos);
    }
}

}  // namespace

LoadResult runLoad(int clients, int count, int port, const LoadClientMaker& makeClient) {
    LoadResult result;
    result.clients = clients;
    std::vector<ClientRun> runs(clients);
    for (int i = 0; i < clients; i++) {
        runs[i].client = makeClient(i);
        if (!runs[i].client->connectTo(port)) {
            result.failures = clients;
            return result;
        }
    }
    std::atomic<bool> go(false);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; i++) {
        threads.emplace_back(runClient, &runs[i], count, &go);
    }
    long long start = benchNowNanos();
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    result.seconds = (benchNowNanos() - start) / 1e9;
    for (ClientRun& run : runs) {
        result.latencies.insert(result.latencies.end(), run.latencies.begin(), run.latencies.end());
        result.failures += run.failed ? 1 : 0;
    }
    result.requests = static_cast<long>(result.latencies.size());
    std::sort(result.latencies.begin(), result.latencies.end());
    return result;
}
