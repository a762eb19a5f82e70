// CarvantaBench.cpp - request/response benchmark of the network stack and
// protocol endpoint over 127.0.0.1, with 1 and 8 clients, against a plain
// blocking echo of the same byte counts. Prints requests per second and
// p50/p99 round-trip latency, and the ratios to the echo.
//
// Server and echo runs alternate, several times, and the medians are
// compared, so that a burst of load elsewhere on the machine does not
// decide the result. The login scenario and the lobby scenario (LobbyBench)
// run the server binary beside this program; so does mysql-login, with its
// accounts in the database of scripts/mariadb-private.sh (left out without).
// Nothing runs unless asked for: see USAGE below.
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
#include "LoginScenario.h"
#include "MysqlLoginScenario.h"
#include "SignUpScenario.h"
#include "WireClients.h"

namespace {

const int DEFAULT_COUNT = 5000;
const int DEFAULT_REPEAT = 5;
const int MAX_CLIENTS = 100;
// Targets: p50 at most 1.5 times the echo's, throughput at least 70 %.
const double LATENCY_TARGET = 1.5;
const double THROUGHPUT_TARGET = 0.7;

const char* const LOBBY_SCENARIO = "lobby";
const char* const ALL_SCENARIOS = "all";

const char* const USAGE =
    "usage: CarvantaBench --scenario NAME [--scenario NAME ...] [options]\n"
    "\n"
    "Scenarios (each runs only when named; \"all\" runs every one):\n"
    "  protocol-echo  the network layer and protocol endpoint alone\n"
    "  sign-up        sign-ups through the dispatcher and the file store\n"
    "  login          log-in checks through the server binary (file store, log\n"
    "                 to a file), at 1, 8 and 100 clients\n"
    "  mysql-login    log-in checks with the MySQL store (needs the env file of\n"
    "                 scripts/mariadb-private.sh)\n"
    "  lobby          pairs play whole games while account requests are timed;\n"
    "                 with --clients 100 (or more than 8) the full house: 50\n"
    "                 games at once, manager pass time and server memory\n"
    "\n"
    "Options:\n"
    "  --scenario NAME     run this scenario (repeatable)\n"
    "  --clients N         clients of a run, 1 to 100 (repeatable; replaces the\n"
    "                      scenario's own 1 and 8, or 1, 8 and 100)\n"
    "  --count N           round trips per client (default 5000)\n"
    "  --repeat R          alternating server and echo runs (default 5)\n"
    "  --lobby-seconds S   length of each lobby phase with games (default 15)\n"
    "  --help              this text\n";

// A program in the directory of this one.
std::string siblingProgram(const char* self, const char* program) {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string own = length > 0 ? std::string(path, length) : std::string(self);
    size_t slash = own.rfind('/');
    return (slash == std::string::npos ? std::string(".") : own.substr(0, slash)) + "/" + program;
}

std::vector<std::unique_ptr<BenchScenario>> allScenarios(const std::string& serverPath,
                                                         bool mysqlAsked) {
    std::vector<std::unique_ptr<BenchScenario>> scenarios;
    scenarios.emplace_back(new EchoScenario());
    scenarios.emplace_back(new SignUpScenario());
    scenarios.emplace_back(new LoginScenario(serverPath));
    std::string mysqlMissing = MysqlLoginScenario::unavailableReason();
    if (mysqlMissing.empty()) {
        scenarios.emplace_back(new MysqlLoginScenario(serverPath));
    } else if (mysqlAsked) {
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
             bool targetsApply, double p99LimitUs) {
    double latencyRatio = server.percentileUs(0.5) / echo.percentileUs(0.5);
    double throughputRatio = server.perSecond() / echo.perSecond();
    if (p99LimitUs > 0) {
        bool within = server.percentileUs(0.99) < p99LimitUs;
        printf("  p99 %.1f us (target < %.0f us) -> %s; to echo: p50 x%.2f (reference only)\n",
               server.percentileUs(0.99), p99LimitUs, within ? "met" : "MISSED", latencyRatio);
        return within;
    }
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
    pid_t serverPid = scenario->serverProcess();
    double serverSeconds = 0;
    double echoSeconds = 0;
    for (int round = 0; round < repeat; round++) {
        double before = serverPid > 0 ? processSeconds(serverPid) : 0;
        serverRuns.push_back(runLoad(clients, count, port, [&](int client) {
            return std::unique_ptr<LoadClient>(new ProtocolClient(scenario, client));
        }));
        serverSeconds += serverPid > 0 ? processSeconds(serverPid) - before : 0;
        double echoRun = 0;
        echoRuns.push_back(
            runEchoLoad(serverPid > 0, clients, count, requestBytes, responseBytes, &echoRun));
        echoSeconds += echoRun;
    }
    LoadResult server = medianOfRuns(serverRuns);
    LoadResult echo = medianOfRuns(echoRuns);
    printRow(scenario->name(), server);
    printRow("blocking echo", echo);
    if (serverPid > 0) {
        double roundTrips = static_cast<double>(repeat) * clients * count;
        printf("  processor time per round trip, all runs: server %.2f us, echo %.2f us\n",
               serverSeconds * 1e6 / roundTrips, echoSeconds * 1e6 / roundTrips);
    }
    bool met = compare(server, echo, clients > 1 && scenario->holdsThroughputTarget(),
                       scenario->echoTargetsAt(clients), scenario->p99LimitUs(clients));
    return scenario->meetsOwnTargets(server, echo) && met && server.failures == 0;
}

bool runScenario(BenchScenario* scenario, const std::vector<int>& askedClients, int count,
                 int repeat) {
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
    std::vector<int> counts = askedClients.empty() ? scenario->clientCounts() : askedClients;
    for (int clients : counts) {
        allMet = runClients(scenario, port, clients, count, repeat, requestBytes, responseBytes) &&
                 allMet;
    }
    scenario->stop();
    return allMet;
}

struct Options {
    int count = DEFAULT_COUNT;
    int repeat = DEFAULT_REPEAT;
    std::vector<std::string> scenarios;
    std::vector<int> clients;
    LobbyBenchOptions lobby;
};

// A whole decimal number from low to high, else -1.
int numberIn(const char* text, int low, int high) {
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= low && value <= high ? static_cast<int>(value)
                                                                        : -1;
}

// 0: run; 1: --help asked; 2: a mistake, told on standard error.
int parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            return 1;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "CarvantaBench: %s needs a value\n", argv[i]);
            return 2;
        }
        const char* value = argv[++i];
        int number = numberIn(value, 1, INT_MAX);
        if (option == "--scenario") {
            options->scenarios.push_back(value);
            continue;
        }
        if (option == "--clients") {
            number = numberIn(value, 1, MAX_CLIENTS);
            options->clients.push_back(number);
        } else if (option == "--count") {
            options->count = number;
        } else if (option == "--repeat") {
            options->repeat = number;
        } else if (option == "--lobby-seconds") {
            options->lobby.gameSeconds = number;
        } else {
            fprintf(stderr, "CarvantaBench: unknown option %s\n", argv[i - 1]);
            return 2;
        }
        if (number < 0) {
            fprintf(stderr, "CarvantaBench: %s %s is not a number in range\n", argv[i - 1], value);
            return 2;
        }
    }
    if (options->scenarios.empty()) {
        fprintf(stderr, "CarvantaBench: no scenario asked for\n");
        return 2;
    }
    return 0;
}

bool asked(const Options& options, const char* name) {
    for (const std::string& scenario : options.scenarios) {
        if (scenario == name || scenario == ALL_SCENARIOS) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int parsed = parseOptions(argc, argv, &options);
    if (parsed != 0) {
        fputs(USAGE, parsed == 1 ? stdout : stderr);
        return parsed == 1 ? 0 : 2;
    }
    std::string serverPath = siblingProgram(argv[0], "CarvantaServer");
    std::vector<std::unique_ptr<BenchScenario>> scenarios =
        allScenarios(serverPath, asked(options, "mysql-login"));
    for (const std::string& name : options.scenarios) {
        bool known = name == ALL_SCENARIOS || name == LOBBY_SCENARIO || name == "mysql-login";
        for (auto& scenario : scenarios) {
            known = known || name == scenario->name();
        }
        if (!known) {
            fprintf(stderr, "CarvantaBench: unknown scenario %s\n%s", name.c_str(), USAGE);
            return 2;
        }
    }
    bool allMet = true;
    for (auto& scenario : scenarios) {
        if (asked(options, scenario->name())) {
            allMet = runScenario(scenario.get(), options.clients, options.count, options.repeat) &&
                     allMet;
        }
    }
    // The lobby runs the server binary that sits beside this program.
    if (asked(options, LOBBY_SCENARIO)) {
        // Up to 8 clients the lobby of three pairs, above 8 the full house.
        bool small = options.clients.empty();
        bool full = false;
        for (int clients : options.clients) {
            small = small || clients <= 8;
            full = full || clients > 8;
        }
        for (bool fullHouse : {false, true}) {
            if (fullHouse ? full : small) {
                options.lobby.fullHouse = fullHouse;
                allMet = runLobbyBench(serverPath.c_str(), options.lobby) && allMet;
            }
        }
    }
    printf("%s\n", allMet ? "all targets met" : "some targets missed");
    return 0;
}
