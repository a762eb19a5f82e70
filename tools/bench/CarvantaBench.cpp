// CarvantaBench.cpp - request/response benchmark of the network stack and
// protocol endpoint over 127.0.0.1, with 1 and 8 clients, against a plain
// blocking echo of the same byte counts. Prints requests per second and
// p50/p99 round-trip latency, and the ratios to the echo.
//
// Server and echo runs alternate, several times, and the medians are
// compared, so that a burst of load elsewhere on the machine does not
// decide the result. The lobby scenario (LobbyBench) runs the server binary
// beside this program with games in progress; so does mysql-login, with its
// accounts in the database of scripts/mariadb-private.sh (left out without).
//
//   CarvantaBench [--count N] [--repeat R] [--scenario NAME] [--lobby-seconds S]
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "EchoBaseline.h"
#include "EchoScenario.h"
#include "LoadRunner.h"
#include "LobbyBench.h"
#include "MysqlLoginScenario.h"
#include "SignUpScenario.h"
#include "WireClients.h"

namespace {

const int DEFAULT_COUNT = 5000;
const int DEFAULT_REPEAT = 5;
const int CLIENT_COUNTS[] = {1, 8};
// Targets: p50 at most 1.5 times the echo's, throughput at least 70 %.
const double LATENCY_TARGET = 1.5;
const double THROUGHPUT_TARGET = 0.7;

const char* const LOBBY_SCENARIO = "lobby";

// A program in the directory of this one.
std::string siblingProgram(const char* self, const char* program) {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string own = length > 0 ? std::string(path, length) : std::string(self);
    size_t slash = own.rfind('/');
    return (slash == std::string::npos ? std::string(".") : own.substr(0, slash)) + "/" + program;
}

std::vector<std::unique_ptr<BenchScenario>> allScenarios(const std::string& serverPath) {
    std::vector<std::unique_ptr<BenchScenario>> scenarios;
    scenarios.emplace_back(new EchoScenario());
    scenarios.emplace_back(new SignUpScenario());
    std::string mysqlMissing = MysqlLoginScenario::unavailableReason();
    if (mysqlMissing.empty()) {
        scenarios.emplace_back(new MysqlLoginScenario(serverPath));
    } else {
        printf("scenario mysql-login left out: %s\n", mysqlMissing.c_str());
    }
    return scenarios;
}

void printRow(const char* label, const LoadResult& result) {
    printf("  %-16s %d client%s %8.0f req/s  p50 %6.1f us  p99 %6.1f us  mean %6.1f us%s\n", label,
           result.clients, result.clients == 1 ? " " : "s", result.perSecond(),
           result.percentileUs(0.5), result.percentileUs(0.99), result.meanUs(),
           result.failures > 0 ? "  FAILURES" : "");
}

// One exchange to learn the wire sizes of the scenario's round trip.
bool probeSizes(BenchScenario* scenario, int port, int* requestBytes, int* responseBytes) {
    ProtocolClient probe(scenario, 0);
    long long nanos = 0;
    if (!probe.connectTo(port) || !probe.roundTrip(0, &nanos)) {
        return false;
    }
    *requestBytes = probe.lastRequestBytes();
    *responseBytes = probe.lastResponseBytes();
    return true;
}

// True if the targets were met: p50 always, throughput with several
// clients.
bool compare(const LoadResult& server, const LoadResult& echo, bool throughputCounts,
             bool targetsApply) {
    double latencyRatio = server.percentileUs(0.5) / echo.percentileUs(0.5);
    double throughputRatio = server.perSecond() / echo.perSecond();
    if (!targetsApply) {
        printf("  to echo: p50 x%.2f, throughput %.0f %% (reference only)\n", latencyRatio,
               throughputRatio * 100);
        return true;
    }
    bool met = latencyRatio <= LATENCY_TARGET &&
               (!throughputCounts || throughputRatio >= THROUGHPUT_TARGET);
    printf("  to echo: p50 x%.2f (target <= %.1f), throughput %.0f %%%s -> %s\n", latencyRatio,
           LATENCY_TARGET, throughputRatio * 100, throughputCounts ? " (target >= 70 %)" : "",
           met ? "met" : "MISSED");
    return met;
}

bool runClients(BenchScenario* scenario, int port, int clients, int count, int repeat,
                int requestBytes, int responseBytes) {
    std::vector<LoadResult> serverRuns;
    std::vector<LoadResult> echoRuns;
    for (int round = 0; round < repeat; round++) {
        serverRuns.push_back(runLoad(clients, count, port, [&](int client) {
            return std::unique_ptr<LoadClient>(new ProtocolClient(scenario, client));
        }));
        EchoBaseline baseline(requestBytes, responseBytes);
        int echoPort = baseline.start();
        echoRuns.push_back(runLoad(clients, count, echoPort, [&](int) {
            return std::unique_ptr<LoadClient>(new EchoClient(requestBytes, responseBytes));
        }));
        baseline.stop();
    }
    LoadResult server = medianOfRuns(serverRuns);
    LoadResult echo = medianOfRuns(echoRuns);
    printRow(scenario->name(), server);
    printRow("blocking echo", echo);
    bool met = compare(server, echo, clients > 1, scenario->holdsEchoTargets());
    return scenario->meetsOwnTargets(server, echo) && met && server.failures == 0;
}

bool runScenario(BenchScenario* scenario, int count, int repeat) {
    if (scenario->roundTripLimit() > 0) {
        count = std::min(count, scenario->roundTripLimit());
    }
    printf("scenario %s: %d round trips per client, median of %d runs\n", scenario->name(), count,
           repeat);
    int port = scenario->start();
    int requestBytes = 0;
    int responseBytes = 0;
    if (port < 0 || !probeSizes(scenario, port, &requestBytes, &responseBytes)) {
        printf("  could not start or reach the server\n");
        scenario->stop();
        return false;
    }
    printf("  %d bytes out, %d bytes back per round trip\n", requestBytes, responseBytes);
    bool allMet = true;
    for (int clients : CLIENT_COUNTS) {
        allMet = runClients(scenario, port, clients, count, repeat, requestBytes, responseBytes) &&
                 allMet;
    }
    scenario->stop();
    return allMet;
}

}  // namespace

int main(int argc, char** argv) {
    int count = DEFAULT_COUNT;
    int repeat = DEFAULT_REPEAT;
    const char* only = nullptr;
    LobbyBenchOptions lobby;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--count") == 0) {
            count = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--repeat") == 0) {
            repeat = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--scenario") == 0) {
            only = argv[i + 1];
        } else if (strcmp(argv[i], "--lobby-seconds") == 0) {
            lobby.gameSeconds = atoi(argv[i + 1]);
        }
    }
    if (count < 1 || repeat < 1 || lobby.gameSeconds < 1) {
        fprintf(stderr,
                "usage: CarvantaBench [--count N] [--repeat R] [--scenario NAME] "
                "[--lobby-seconds S]\n");
        return 2;
    }
    bool allMet = true;
    std::string serverPath = siblingProgram(argv[0], "CarvantaServer");
    for (auto& scenario : allScenarios(serverPath)) {
        if (only == nullptr || strcmp(only, scenario->name()) == 0) {
            allMet = runScenario(scenario.get(), count, repeat) && allMet;
        }
    }
    // The lobby runs the server binary that sits beside this program.
    if (only == nullptr || strcmp(only, LOBBY_SCENARIO) == 0) {
        allMet = runLobbyBench(serverPath.c_str(), lobby) && allMet;
    }
    printf("%s\n", allMet ? "all targets met" : "some targets missed");
    return 0;
}
