// MysqlLoginScenario.cpp - the MySQL store's log-in cost over the wire and
// at the C API (see MysqlLoginScenario.h).
#include "MysqlLoginScenario.h"

#include <mysql.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "GameProtocol.h"
#include "LoadRunner.h"
#include "WireClients.h"

namespace {

// One account per client; client numbers beyond it share them.
const int ACCOUNTS = 8;
const char PASSWORD[] = "benchpw";
// Calls of each C API measurement.
const int API_SAMPLES = 2000;
const double PERCENTILES[] = {0.5, 0.99};

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

bool connectDatabase(MYSQL* connection) {
    return mysql_init(connection) == connection &&
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

double percentileUs(std::vector<long long>& nanos, double p) {
    std::sort(nanos.begin(), nanos.end());
    size_t index = static_cast<size_t>(p * (nanos.size() - 1));
    return nanos.empty() ? 0 : nanos[index] / 1000.0;
}

void printApiRow(const char* label, std::vector<long long>& nanos, int failures) {
    printf("  %-34s p50 %7.1f us  p99 %7.1f us%s\n", label, percentileUs(nanos, PERCENTILES[0]),
           percentileUs(nanos, PERCENTILES[1]), failures > 0 ? "  FAILURES" : "");
}

}  // namespace

MysqlLoginScenario::MysqlLoginScenario(const std::string& path)
    : serverPath(path), signingUp(false) {}

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
    measureClientLibrary();
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
        }
    }
    return true;
}

void MysqlLoginScenario::measureClientLibrary() {
    std::string statement = loginStatement();
    std::vector<long long> perCall;
    std::vector<long long> persistent;
    int failures = 0;
    for (int i = 0; i < API_SAMPLES; i++) {
        long long begin = benchNowNanos();
        MYSQL connection;
        bool ok = connectDatabase(&connection) && selectOnce(&connection, statement);
        mysql_close(&connection);
        perCall.push_back(benchNowNanos() - begin);
        failures += ok ? 0 : 1;
    }
    MYSQL shared;
    if (connectDatabase(&shared)) {
        for (int i = 0; i < API_SAMPLES; i++) {
            long long begin = benchNowNanos();
            failures += selectOnce(&shared, statement) ? 0 : 1;
            persistent.push_back(benchNowNanos() - begin);
        }
    } else {
        failures++;
    }
    mysql_close(&shared);
    printf("  C API, %d calls each, one client:\n", API_SAMPLES);
    printApiRow("new connection + SELECT + close", perCall, failures);
    printApiRow("SELECT on a persistent connection", persistent, failures);
    printf("  a persistent connection would save about %.1f us per store operation at p50\n",
           percentileUs(perCall, PERCENTILES[0]) - percentileUs(persistent, PERCENTILES[0]));
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
