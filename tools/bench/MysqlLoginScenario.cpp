// MysqlLoginScenario.cpp - the MySQL store's log-in cost over the wire and
// at the C API (see MysqlLoginScenario.h).
#include "MysqlLoginScenario.h"

#include <mysql.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "EchoBaseline.h"
#include "GameProtocol.h"
#include "LoadRunner.h"
#include "UserBaseMysql.h"
#include "WireClients.h"

namespace {

// One account per client; client numbers beyond it share them.
const int ACCOUNTS = 8;
const char PASSWORD[] = "benchpw";
// The kept connection's targets: p50 at 1 client against the bare SELECT
// plus the echo, throughput with several clients against a connection per
// operation.
const double LATENCY_TARGET = 1.5;
const double THROUGHPUT_TARGET = 3.0;
const int INTERLEAVED_ROUNDS = 5;

enum LoadKind { LOAD_SERVER, LOAD_ECHO, LOAD_BARE, LOAD_PER_CALL, LOAD_KINDS };
const char* const LOAD_LABELS[LOAD_KINDS] = {"mysql-login (kept connection)", "blocking echo",
                                             "C API: SELECT, kept", "C API: connect+ping+SELECT"};

std::string environment(const char* key) {
    const char* value = getenv(key);
    return value != nullptr ? value : "";
}

std::string field(const std::string& text) {
    std::string bytes = text.substr(0, PROTOCOL_NAME_SIZE - 1);
    bytes.resize(PROTOCOL_NAME_SIZE, '\0');
    return bytes;
}

std::string accountName(int client) {
    return "bench-login-" + std::to_string(client % ACCOUNTS);
}

// The statement that the store runs for a log-in check.
std::string loginStatement() {
    return "SELECT * FROM user WHERE name=\"" + accountName(0) + "\" AND password=MD5(\"" +
           PASSWORD + "\") AND is_active=1";
}

// Each connection sets up its session as the store's connections do.
bool connectDatabase(MYSQL* connection) {
    return mysql_init(connection) == connection &&
           mysql_options(connection, MYSQL_INIT_COMMAND, USERBASEMYSQL_SESSION_MODE) == 0 &&
           mysql_real_connect(connection, environment("CARVANTA_MYSQL_HOST").c_str(),
                              environment("CARVANTA_MYSQL_USER").c_str(),
                              environment("CARVANTA_MYSQL_PASSWORD").c_str(),
                              environment("CARVANTA_MYSQL_DB").c_str(), 0, nullptr,
                              0) == connection;
}

bool selectOnce(MYSQL* connection, const std::string& statement) {
    if (mysql_real_query(connection, statement.c_str(), statement.size()) != 0) {
        return false;
    }
    MYSQL_RES* result = mysql_store_result(connection);
    bool found = result != nullptr && mysql_fetch_row(result) != nullptr;
    mysql_free_result(result);
    return found;
}

// The C API alone as a load client: the store's log-in SELECT, either on a
// connection of its own kept for the whole run, or on a new connection per
// call with the ping, one call at a time in the process (the old store's
// lock), closed again.
class ApiClient : public LoadClient {
public:
    ApiClient(bool keepConnection, std::mutex* oneAtATime)
        : kept(keepConnection), serial(oneAtATime), connection(), connected(false) {}
    ~ApiClient() override {
        if (connected) {
            mysql_close(&connection);
        }
    }
    bool connectTo(int) override {
        connected = !kept || connectDatabase(&connection);
        return connected;
    }
    bool roundTrip(int, long long* nanos) override {
        long long begin = benchNowNanos();
        bool ok;
        if (kept) {
            ok = selectOnce(&connection, statement);
        } else {
            std::lock_guard<std::mutex> lock(*serial);
            MYSQL fresh;
            ok = connectDatabase(&fresh) && mysql_ping(&fresh) == 0 && selectOnce(&fresh, statement);
            mysql_close(&fresh);
        }
        *nanos = benchNowNanos() - begin;
        return ok;
    }

private:
    bool kept;
    std::mutex* serial;
    MYSQL connection;
    bool connected;
    const std::string statement = loginStatement();
};

LoadResult runApi(int clients, int count, bool keepConnection) {
    std::mutex serial;
    return runLoad(clients, count, 0, [&](int) {
        return std::unique_ptr<LoadClient>(new ApiClient(keepConnection, &serial));
    });
}

void printApiRow(const char* label, const LoadResult& result) {
    printf("  %-30s %8.0f req/s  p50 %6.1f us  p99 %6.1f us%s\n", label, result.perSecond(),
           result.percentileUs(0.5), result.percentileUs(0.99),
           result.failures > 0 ? "  FAILURES" : "");
}

}  // namespace

MysqlLoginScenario::MysqlLoginScenario(const std::string& path)
    : serverPath(path), signingUp(false), requestBytes(0), responseBytes(0) {}

std::string MysqlLoginScenario::unavailableReason() {
    if (environment("CARVANTA_MYSQL_USER").empty() || environment("CARVANTA_MYSQL_DB").empty()) {
        return "no database: source the env file of 'scripts/mariadb-private.sh start' first";
    }
    return "";
}

int MysqlLoginScenario::start() {
    std::string config = "database_type mysql\ndatabase_host " +
                         environment("CARVANTA_MYSQL_HOST") + "\ndatabase_name " +
                         environment("CARVANTA_MYSQL_DB") + "\ndatabase_user " +
                         environment("CARVANTA_MYSQL_USER") + "\ndatabase_password " +
                         environment("CARVANTA_MYSQL_PASSWORD") + "\n";
    if (!server.start(serverPath.c_str(), config) || !signUpAccounts(server.getPort())) {
        return -1;
    }
    return server.getPort();
}

void MysqlLoginScenario::stop() {
    server.stop();
}

// Signs every account up, then checks that it logs in. Accounts left from
// an earlier run with the same password serve as well.
bool MysqlLoginScenario::signUpAccounts(int port) {
    for (bool signUp : {true, false}) {
        signingUp = signUp;
        for (int account = 0; account < ACCOUNTS; account++) {
            ProtocolClient client(this, account);
            long long nanos = 0;
            if (!client.connectTo(port) || !client.roundTrip(0, &nanos)) {
                printf("  account %s: %s failed\n", accountName(account).c_str(),
                       signUp ? "sign-up" : "log-in");
                return false;
            }
            // The echo of the interleaved rounds moves a log-in's bytes.
            requestBytes = client.lastRequestBytes();
            responseBytes = client.lastResponseBytes();
        }
    }
    return true;
}

// The four loads again, alternating round by round, so that a change of
// the machine's load elsewhere falls on all of them alike; the medians are
// compared. The runs before (server and echo alone) stay for reference.
bool MysqlLoginScenario::meetsOwnTargets(const LoadResult& serverRun, const LoadResult&) {
    int clients = serverRun.clients;
    int count = clients > 0 ? static_cast<int>(serverRun.requests / clients) : 0;
    if (count < 1) {
        return false;
    }
    std::vector<LoadResult> rounds[LOAD_KINDS];
    for (int round = 0; round < INTERLEAVED_ROUNDS; round++) {
        rounds[LOAD_SERVER].push_back(runLoad(clients, count, server.getPort(), [this](int client) {
            return std::unique_ptr<LoadClient>(new ProtocolClient(this, client));
        }));
        rounds[LOAD_ECHO].push_back(
            runEchoLoad(serverProcess() > 0, clients, count, requestBytes, responseBytes));
        rounds[LOAD_BARE].push_back(runApi(clients, count, true));
        rounds[LOAD_PER_CALL].push_back(runApi(clients, count, false));
    }
    printf("  interleaved, median of %d rounds:\n", INTERLEAVED_ROUNDS);
    LoadResult median[LOAD_KINDS];
    bool failed = false;
    for (int kind = 0; kind < LOAD_KINDS; kind++) {
        median[kind] = medianOfRuns(rounds[kind]);
        printApiRow(LOAD_LABELS[kind], median[kind]);
        failed = failed || median[kind].failures > 0;
    }
    if (failed) {
        return false;
    }
    const LoadResult& kept = median[LOAD_SERVER];
    if (clients == 1) {
        double floor = median[LOAD_BARE].percentileUs(0.5) + median[LOAD_ECHO].percentileUs(0.5);
        double ratio = kept.percentileUs(0.5) / floor;
        bool met = ratio <= LATENCY_TARGET;
        printf("  p50 to (bare SELECT + echo) %.1f us: x%.2f (target <= %.1f) -> %s\n", floor,
               ratio, LATENCY_TARGET, met ? "met" : "MISSED");
        return met;
    }
    double ratio = kept.perSecond() / median[LOAD_PER_CALL].perSecond();
    bool met = ratio >= THROUGHPUT_TARGET;
    printf("  throughput to a connection per operation: x%.1f (target >= %.0f) -> %s\n", ratio,
           THROUGHPUT_TARGET, met ? "met" : "MISSED");
    return met;
}

void MysqlLoginScenario::nextRequest(int client, int, int* reqType, std::string* payload) {
    *reqType = signingUp ? REQ_SIGNUP : REQ_CHECKUSERANDPASSWORD;
    *payload = field(accountName(client)) + field(PASSWORD);
}

bool MysqlLoginScenario::checkResponse(int reqType, const std::string&,
                                       const std::string& response) {
    if (reqType == REQ_SIGNUP) {
        return response == std::string(1, static_cast<char>(RES_OK)) ||
               response == std::string(1, static_cast<char>(RES_USEREXISTS));
    }
    return reqType == REQ_CHECKUSERANDPASSWORD &&
           response == std::string(1, static_cast<char>(RES_OK));
}
