// MysqlTestDatabase.cpp - per-test databases and per-test MariaDB servers
// for the MySQL tests; the servers come from scripts/mariadb-private.sh.
#include "MysqlTestDatabase.h"

#include <errno.h>
#include <fcntl.h>
#include <mysql.h>
#include <signal.h>
#include <sys/file.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "TestSupport.h"

const char* const MYSQL_TEST_NULL = "<NULL>";

namespace {

const char* const SCRIPT_PATH = CARVANTA_SOURCE_DIR "/scripts/mariadb-private.sh";
const char* const SCHEMA_PATH = CARVANTA_SOURCE_DIR "/sql/schema.sql";
// Deadlines of the script's actions (it has its own inner ones as well).
const int START_DEADLINE_SECONDS = 150;
const int STOP_DEADLINE_SECONDS = 90;
const unsigned int CLIENT_TIMEOUT_SECONDS = 10;

std::string environment(const char* key) {
    const char* value = getenv(key);
    return value != nullptr ? value : "";
}

// The statements of the schema file, without its comment lines.
std::vector<std::string> schemaStatements() {
    std::istringstream in(readFile(SCHEMA_PATH));
    std::string line;
    std::string text;
    while (std::getline(in, line)) {
        size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos && line.compare(first, 2, "--") != 0) {
            text += line + "\n";
        }
    }
    std::vector<std::string> statements;
    std::istringstream parts(text);
    std::string statement;
    while (std::getline(parts, statement, ';')) {
        if (statement.find_first_not_of(" \t\n") != std::string::npos) {
            statements.push_back(statement);
        }
    }
    return statements;
}

void readRows(MYSQL_RES* result, MysqlRows* rows) {
    unsigned int columns = mysql_num_fields(result);
    MYSQL_ROW row;
    while ((row = mysql_fetch_row(result)) != nullptr) {
        unsigned long* lengths = mysql_fetch_lengths(result);
        std::vector<std::string> texts;
        for (unsigned int column = 0; column < columns; column++) {
            texts.push_back(row[column] != nullptr ? std::string(row[column], lengths[column])
                                                   : MYSQL_TEST_NULL);
        }
        rows->push_back(texts);
    }
}

std::string configFor(const std::string& host, const std::string& database, const std::string& user,
                      const std::string& password) {
    return "database_type mysql\ndatabase_host " + host + "\ndatabase_name " + database +
           "\ndatabase_user " + user + "\ndatabase_password " + password + "\n";
}

}  // namespace

std::string privateServerSkipReason() {
    MysqlTestDatabase shared;
    if (!shared.skipReason().empty()) {
        return shared.skipReason();
    }
    if (access("/usr/sbin/mariadbd", X_OK) != 0 && system("command -v mariadbd >/dev/null") != 0) {
        return "MariaDB server (mariadbd) is not installed; install mariadb-server to run this "
               "test";
    }
    return "";
}

MysqlTestDatabase::MysqlTestDatabase()
    : serverHost(environment("CARVANTA_MYSQL_HOST")),
      user(environment("CARVANTA_MYSQL_USER")),
      password(environment("CARVANTA_MYSQL_PASSWORD")) {
    if (user.empty() || environment("CARVANTA_MYSQL_DB").empty()) {
        reason =
            "no private MariaDB server: CARVANTA_MYSQL_* is not set (source the env file of "
            "'scripts/mariadb-private.sh start' before running the MySQL tests)";
    }
    if (serverHost.empty()) {
        serverHost = "localhost";
    }
}

MysqlTestDatabase::~MysqlTestDatabase() {
    if (!databaseName.empty()) {
        runOn("", "DROP DATABASE IF EXISTS " + databaseName, nullptr);
    }
}

bool MysqlTestDatabase::create() {
    static int counter = 0;
    std::string base = environment("CARVANTA_MYSQL_DB");
    std::string candidate = base + "_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    if (!runOn("", "CREATE DATABASE " + candidate, nullptr)) {
        return false;
    }
    databaseName = candidate;
    for (const std::string& statement : schemaStatements()) {
        if (!execute(statement)) {
            return false;
        }
    }
    return true;
}

bool MysqlTestDatabase::execute(const std::string& statement, MysqlRows* rows) {
    return runOn(databaseName, statement, rows);
}

bool MysqlTestDatabase::runOn(const std::string& database, const std::string& statement,
                              MysqlRows* rows) {
    MYSQL* connection = mysql_init(nullptr);
    if (connection == nullptr) {
        error = "mysql_init failed";
        return false;
    }
    unsigned int timeout = CLIENT_TIMEOUT_SECONDS;
    mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    mysql_options(connection, MYSQL_OPT_READ_TIMEOUT, &timeout);
    bool ok = mysql_real_connect(connection, serverHost.c_str(), user.c_str(), password.c_str(),
                                 database.empty() ? nullptr : database.c_str(), 0, nullptr,
                                 0) != nullptr &&
              mysql_real_query(connection, statement.c_str(), statement.size()) == 0;
    if (ok) {
        MYSQL_RES* result = mysql_store_result(connection);
        if (result != nullptr) {
            if (rows != nullptr) {
                readRows(result, rows);
            }
            mysql_free_result(result);
        }
    } else {
        error = mysql_error(connection);
    }
    mysql_close(connection);
    return ok;
}

std::string MysqlTestDatabase::configText(const std::string& host) const {
    return configFor(host, databaseName, user, password);
}

std::string MysqlTestDatabase::configTextWithPassword(const std::string& host,
                                                      const std::string& pw) const {
    return configFor(host, databaseName, user, pw);
}

PrivateMariadb::PrivateMariadb(const std::string& directory, const std::string& serverOptions)
    : baseDir(directory), options(serverOptions), started(false), turnLock(-1) {}

PrivateMariadb::~PrivateMariadb() {
    if (started) {
        run("stop");
    }
    if (turnLock >= 0) {
        close(turnLock);
    }
}

bool PrivateMariadb::run(const std::string& action) {
    int deadline =
        action == "stop" || action == "down" ? STOP_DEADLINE_SECONDS : START_DEADLINE_SECONDS;
    std::string log = baseDir + ".log";
    std::string command = "CARVANTA_MYSQL_DIR='" + baseDir + "' CARVANTA_MYSQL_SERVER_OPTIONS='" +
                          options + "' timeout " +
                          std::to_string(deadline) + " bash '" + SCRIPT_PATH + "' " + action +
                          " >'" + log + "' 2>&1";
    int status = system(command.c_str());
    lastOutput = readFile(log);
    return status == 0;
}

bool PrivateMariadb::start() {
    // Private servers take turns: run side by side under load, a freeze
    // test once found its frozen server still answering (cause not found).
    // Each holds its turn for seconds; the tests' time-outs bound the wait.
    turnLock = open("/tmp/carvanta-private-mariadb.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666);
    if (turnLock >= 0) {
        while (flock(turnLock, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    started = true;
    if (!run("start")) {
        return false;
    }
    // The client library reads these once, at its first use in the process.
    setenv("MYSQL_UNIX_PORT", readEnvValue("MYSQL_UNIX_PORT").c_str(), 1);
    setenv("MYSQL_TCP_PORT", readEnvValue("MYSQL_TCP_PORT").c_str(), 1);
    for (const char* key : {"CARVANTA_MYSQL_HOST", "CARVANTA_MYSQL_DB", "CARVANTA_MYSQL_USER",
                            "CARVANTA_MYSQL_PASSWORD"}) {
        setenv(key, readEnvValue(key).c_str(), 1);
    }
    return true;
}

bool PrivateMariadb::down() {
    return run("down");
}

bool PrivateMariadb::up() {
    return run("up");
}

bool PrivateMariadb::freeze() {
    return signalServer(SIGSTOP);
}

bool PrivateMariadb::resume() {
    return signalServer(SIGCONT);
}

// The server's own process id, from the pid file it writes.
bool PrivateMariadb::signalServer(int signalNumber) {
    long pid = strtol(readFile(baseDir + "/mysqld.pid").c_str(), nullptr, 10);
    return pid > 1 && kill(static_cast<pid_t>(pid), signalNumber) == 0;
}

std::string PrivateMariadb::configText(const std::string& host) const {
    return configFor(host, readEnvValue("CARVANTA_MYSQL_DB"), readEnvValue("CARVANTA_MYSQL_USER"),
                     readEnvValue("CARVANTA_MYSQL_PASSWORD"));
}

// Lines of the env file read "export KEY='value'".
std::string PrivateMariadb::readEnvValue(const std::string& key) const {
    std::istringstream in(readFile(baseDir + "/env"));
    std::string line;
    std::string prefix = "export " + key + "='";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0 && line.size() > prefix.size()) {
            return line.substr(prefix.size(), line.size() - prefix.size() - 1);
        }
    }
    return "";
}
