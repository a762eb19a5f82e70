// MysqlTestDatabase.cpp - see MysqlTestDatabase.h.
#include "MysqlTestDatabase.h"

#include <dirent.h>
#include <mysql.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "TestSupport.h"

namespace {

const char* const SCRIPT_PATH = CARVANTA_SOURCE_DIR "/scripts/mariadb-private.sh";

std::string environment(const char* key) {
    const char* value = getenv(key);
    return value != nullptr ? value : "";
}

std::string configFor(const std::string& host, const std::string& database, const std::string& user,
                      const std::string& password) {
    return "database_type mysql\ndatabase_host " + host + "\ndatabase_name " + database +
           "\ndatabase_user " + user + "\ndatabase_password " + password + "\n";
}

// The mariadbd that serves dataDir, found by its command line (a pid file can be left by an
// earlier start attempt and its number reused); 0 if none.
pid_t serverProcess(const std::string& dataDir) {
    DIR* processes = opendir("/proc");
    pid_t found = 0;
    while (struct dirent* entry =
               processes != nullptr && found == 0 ? readdir(processes) : nullptr) {
        std::string words = readFile("/proc/" + std::string(entry->d_name) + "/cmdline");
        std::replace(words.begin(), words.end(), '\0', ' ');
        if (atoi(entry->d_name) > 1 && words.find("mariadbd") != std::string::npos &&
            words.find("--datadir=" + dataDir + " ") != std::string::npos) {
            found = static_cast<pid_t>(atoi(entry->d_name));
        }
    }
    if (processes != nullptr) {
        closedir(processes);
    }
    return found;
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

// The schema's statements without its comment lines, one by one.
bool MysqlTestDatabase::create() {
    static int counter = 0;
    std::string candidate = environment("CARVANTA_MYSQL_DB") + "_" + std::to_string(getpid()) +
                            "_" + std::to_string(++counter);
    if (!runOn("", "CREATE DATABASE " + candidate, nullptr)) {
        return false;
    }
    databaseName = candidate;
    std::string schema = std::regex_replace(readFile(CARVANTA_SOURCE_DIR "/sql/schema.sql"),
                                            std::regex("(^|\n)[ \t]*--[^\n]*"), "$1");
    std::istringstream parts(schema);
    std::string statement;
    while (std::getline(parts, statement, ';')) {
        if (statement.find_first_not_of(" \t\n") != std::string::npos && !execute(statement)) {
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
    unsigned int timeout = 10;
    mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    mysql_options(connection, MYSQL_OPT_READ_TIMEOUT, &timeout);
    bool ok = mysql_real_connect(connection, serverHost.c_str(), user.c_str(), password.c_str(),
                                 database.empty() ? nullptr : database.c_str(), 0, nullptr,
                                 0) != nullptr &&
              mysql_real_query(connection, statement.c_str(), statement.size()) == 0;
    MYSQL_RES* result = ok ? mysql_store_result(connection) : nullptr;
    MYSQL_ROW row;
    while (result != nullptr && rows != nullptr && (row = mysql_fetch_row(result)) != nullptr) {
        unsigned long* lengths = mysql_fetch_lengths(result);
        rows->emplace_back();
        for (unsigned int column = 0; column < mysql_num_fields(result); column++) {
            rows->back().push_back(
                row[column] != nullptr ? std::string(row[column], lengths[column]) : "<NULL>");
        }
    }
    if (result != nullptr) {
        mysql_free_result(result);
    }
    if (!ok) {
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
    : baseDir(directory), options(serverOptions) {}

PrivateMariadb::~PrivateMariadb() {
    if (started) {
        run("stop");
    }
}

// The script has inner deadlines of its own as well.
bool PrivateMariadb::run(const std::string& action) {
    int deadline = action == "stop" || action == "down" ? 90 : 150;
    std::string log = baseDir + ".log";
    std::string command = "CARVANTA_MYSQL_DIR='" + baseDir + "' CARVANTA_MYSQL_SERVER_OPTIONS='" +
                          options + "' timeout " + std::to_string(deadline) + " bash '" +
                          SCRIPT_PATH + "' " + action + " >'" + log + "' 2>&1";
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
    for (const char* key :
         {"MYSQL_UNIX_PORT", "MYSQL_TCP_PORT", "CARVANTA_MYSQL_HOST", "CARVANTA_MYSQL_DB",
          "CARVANTA_MYSQL_USER", "CARVANTA_MYSQL_PASSWORD"}) {
        setenv(key, readEnvValue(key).c_str(), 1);
    }
    return true;
}

bool PrivateMariadb::freeze() {
    return signalServer(SIGSTOP);
}

bool PrivateMariadb::resume() {
    return signalServer(SIGCONT);
}

// A stop counts once every thread of the server has stopped.
bool PrivateMariadb::signalServer(int signalNumber) {
    pid_t pid = serverProcess(baseDir + "/data");
    if (pid == 0 || kill(pid, signalNumber) != 0) {
        return false;
    }
    std::string statusPath = "/proc/" + std::to_string(pid) + "/status";
    return waitUntil(
        [&] {
            std::string status = readFile(statusPath);
            size_t at = status.find("State:\t");
            bool stopped = at != std::string::npos && status[at + 7] == 'T';
            return stopped == (signalNumber == SIGSTOP);
        },
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
