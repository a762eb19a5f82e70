// MysqlTestDatabase.cpp - per-test databases and per-test MariaDB servers
// for the MySQL tests; the servers come from scripts/mariadb-private.sh.
#include "MysqlTestDatabase.h"

#include <dirent.h>
#include <mysql.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
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
    : baseDir(directory), options(serverOptions), started(false) {}

PrivateMariadb::~PrivateMariadb() {
    if (started) {
        run("stop");
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

namespace {

// The process id of the mariadbd that serves dataDir, found by its command
// line (a pid file can be left by an earlier attempt of the start, and its
// number reused by another process); 0 if none.
pid_t serverProcess(const std::string& dataDir) {
    std::string wanted = "--datadir=" + dataDir;
    DIR* processes = opendir("/proc");
    pid_t found = 0;
    while (processes != nullptr && found == 0) {
        struct dirent* entry = readdir(processes);
        if (entry == nullptr) {
            break;
        }
        pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        if (pid <= 1) {
            continue;
        }
        std::string words = readFile("/proc/" + std::string(entry->d_name) + "/cmdline");
        std::replace(words.begin(), words.end(), '\0', ' ');
        if (words.find("mariadbd") != std::string::npos &&
            words.find(wanted + " ") != std::string::npos) {
            found = pid;
        }
    }
    if (processes != nullptr) {
        closedir(processes);
    }
    return found;
}

// The state letter of a process (R, S, T, ...), or '?'.
char processState(pid_t pid) {
    std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("State:\t");
    return at == std::string::npos ? '?' : status[at + 7];
}

}  // namespace

// A stop counts once every thread of the server has stopped.
bool PrivateMariadb::signalServer(int signalNumber) {
    pid_t pid = serverProcess(baseDir + "/data");
    if (pid == 0 || kill(pid, signalNumber) != 0) {
        return false;
    }
    bool stopping = signalNumber == SIGSTOP;
    return waitUntil([pid, stopping]() { return (processState(pid) == 'T') == stopping; },
                     5000);
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
