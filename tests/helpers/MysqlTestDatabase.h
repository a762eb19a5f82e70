// MysqlTestDatabase.h - per-test databases and MariaDB servers of scripts/mariadb-private.sh.
#ifndef MYSQLTESTDATABASE_H
#define MYSQLTESTDATABASE_H

#include <string>
#include <vector>

typedef std::vector<std::vector<std::string>> MysqlRows;  // SQL NULL shows as "<NULL>"

class MysqlTestDatabase {
public:
    MysqlTestDatabase();
    ~MysqlTestDatabase();  // drops the database made by create()
    MysqlTestDatabase(const MysqlTestDatabase&) = delete;
    MysqlTestDatabase& operator=(const MysqlTestDatabase&) = delete;

    const std::string& skipReason() const { return reason; }  // empty when configured
    bool create();  // carvanta_test_<pid>_<n> with sql/schema.sql
    bool execute(const std::string& statement, MysqlRows* rows = nullptr);
    const std::string& lastError() const { return error; }
    std::string configText(const std::string& host) const;  // config.ini lines
    std::string configTextWithPassword(const std::string& host, const std::string& pw) const;
    const std::string& host() const { return serverHost; }

private:
    bool runOn(const std::string& database, const std::string& statement, MysqlRows* rows);

    std::string reason;
    std::string error;
    std::string serverHost;
    std::string user;
    std::string password;
    std::string databaseName;
};

// start() makes the server in its directory and points MYSQL_UNIX_PORT, MYSQL_TCP_PORT and
// CARVANTA_MYSQL_* of this process (and its children) at it; the destructor removes it.
class PrivateMariadb {
public:
    // serverOptions: further options, blank-separated (e.g. "--wait-timeout=2").
    explicit PrivateMariadb(const std::string& directory, const std::string& serverOptions = "");
    ~PrivateMariadb();
    PrivateMariadb(const PrivateMariadb&) = delete;
    PrivateMariadb& operator=(const PrivateMariadb&) = delete;

    bool start();
    bool down() { return run("down"); }  // the process stops, its data stays
    bool up() { return run("up"); }      // again on the same port and socket
    // SIGSTOP: connections are accepted but nothing is answered; resume() sends SIGCONT.
    bool freeze();
    bool resume();
    std::string configText(const std::string& host) const;
    const std::string& output() const { return lastOutput; }

private:
    bool run(const std::string& action);
    std::string readEnvValue(const std::string& key) const;
    bool signalServer(int signalNumber);

    std::string baseDir;
    std::string options;
    std::string lastOutput;
    bool started = false;
};

// Empty when a test may start a server of its own (the private server's variables are set and
// mariadbd is installed); else the reason to skip.
std::string privateServerSkipReason();

#endif
