// MysqlTestDatabase.cpp - see MysqlTestDatabase.h.
#include "MysqlTestDatabase.h"

#include <mysql.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>

#include "Process.h"

namespace {

std::string environment(const char* key) {
    const char* value = getenv(key);
    return value != nullptr ? value : "";
}

}  // namespace

MysqlTestDatabase::MysqlTestDatabase()
    : serverHost(environment("CARVANTA_MYSQL_HOST")),
      user(environment("CARVANTA_MYSQL_USER")),
      password(environment("CARVANTA_MYSQL_PASSWORD")) {
    if (user.empty() || environment("CARVANTA_MYSQL_DB").empty()) {
        reason =
            "no private MariaDB server: CARVANTA_MYSQL_* is not set (source the env file of "
            "'scripts/mariadb-private.sh start' before running the MySQL tests)";
    }
}

MysqlTestDatabase::~MysqlTestDatabase() {
    if (!databaseName.empty()) {
        execute("DROP DATABASE IF EXISTS " + databaseName);
    }
}

bool MysqlTestDatabase::create() {
    static int counter = 0;
    std::string name = environment("CARVANTA_MYSQL_DB") + "_" + std::to_string(getpid()) + "_" +
                       std::to_string(++counter);
    bool made = execute("CREATE DATABASE " + name);
    databaseName = made ? name : "";
    return made && execute(readFile(CARVANTA_SOURCE_DIR "/sql/schema.sql"));
}

bool MysqlTestDatabase::execute(const std::string& statements, std::string* value) {
    MYSQL* connection = mysql_init(nullptr);
    unsigned int timeout = 10;
    mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    mysql_options(connection, MYSQL_OPT_READ_TIMEOUT, &timeout);
    bool ok = mysql_real_connect(connection, serverHost.c_str(), user.c_str(), password.c_str(),
                                 databaseName.empty() ? nullptr : databaseName.c_str(), 0, nullptr,
                                 CLIENT_MULTI_STATEMENTS) != nullptr &&
              mysql_real_query(connection, statements.c_str(), statements.size()) == 0;
    MYSQL_RES* result = ok ? mysql_store_result(connection) : nullptr;
    MYSQL_ROW row =
        result != nullptr && mysql_num_rows(result) == 1 && mysql_num_fields(result) == 1
            ? mysql_fetch_row(result)
            : nullptr;
    if (value != nullptr) {
        *value = row == nullptr      ? "<not one value>"
                 : row[0] != nullptr ? std::string(row[0], mysql_fetch_lengths(result)[0])
                                     : "<NULL>";
    }
    // Every further statement's result is read: the first that fails ends the run.
    mysql_free_result(result);
    int next = 0;
    while (ok && (next = mysql_next_result(connection)) == 0) {
        mysql_free_result(mysql_store_result(connection));
    }
    ok = ok && next == -1;
    if (!ok) {
        error = mysql_error(connection);
    }
    mysql_close(connection);
    return ok;
}

std::string MysqlTestDatabase::configText(const std::string& host, const std::string& pw) const {
    return "database_type mysql\ndatabase_host " + (host.empty() ? serverHost : host) +
           "\ndatabase_name " + databaseName + "\ndatabase_user " + user + "\ndatabase_password " +
           (pw.empty() ? password : pw) + "\n";
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
                          CARVANTA_SOURCE_DIR "/scripts/mariadb-private.sh' " + action + " >'" +
                          log + "' 2>&1";
    int status = system(command.c_str());
    lastOutput = readFile(log);
    return status == 0;
}

// Every line of the env file reads "export KEY='value'". The client library reads
// MYSQL_UNIX_PORT and MYSQL_TCP_PORT once, at its first use in the process.
bool PrivateMariadb::start() {
    started = true;
    if (!run("start")) {
        return false;
    }
    std::istringstream lines(readFile(baseDir + "/env"));
    for (std::string line; std::getline(lines, line);) {
        size_t equals = line.find("='");
        if (line.compare(0, 7, "export ") == 0 && equals != std::string::npos) {
            std::string value = line.substr(equals + 2, line.size() - equals - 3);
            setenv(line.substr(7, equals - 7).c_str(), value.c_str(), 1);
        }
    }
    return true;
}

// The server is the process the script launched last (the pid file of the server itself can be
// left by an earlier start attempt).
bool PrivateMariadb::signalServer(int signalNumber) {
    pid_t pid = static_cast<pid_t>(atoi(readFile(baseDir + "/launcher.pid").c_str()));
    if (pid <= 1 || kill(pid, signalNumber) != 0) {
        return false;
    }
    bool stop = signalNumber == SIGSTOP;
    return waitUntil([&] { return (procStatFromState(pid)[0] == 'T') == stop; }, 5000);
}
