// MysqlTestDatabase.h - per-test databases and MariaDB servers of scripts/mariadb-private.sh.
#ifndef MYSQLTESTDATABASE_H
#define MYSQLTESTDATABASE_H

#include <string>

// The server named by CARVANTA_MYSQL_*: the shared one, or a PrivateMariadb once started.
class MysqlTestDatabase {
public:
    MysqlTestDatabase();
    ~MysqlTestDatabase();  // drops the database made by create()
    MysqlTestDatabase(const MysqlTestDatabase&) = delete;
    MysqlTestDatabase& operator=(const MysqlTestDatabase&) = delete;

    const std::string& skipReason() const { return reason; }  // empty when configured
    bool create();  // carvanta_test_<pid>_<n> with sql/schema.sql
    // Statements separated by ';'. *value: the one value of a result of one row and one column
    // (SQL NULL as "<NULL>"), else "<not one value>".
    bool execute(const std::string& statements, std::string* value = nullptr);
    const std::string& lastError() const { return error; }
    // config.ini lines; an empty host or password stands for the server's own.
    std::string configText(const std::string& host = "", const std::string& pw = "") const;

private:
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
    // SIGSTOP: connections are accepted but nothing is answered; SIGCONT resumes.
    bool signalServer(int signalNumber);
    const std::string& output() const { return lastOutput; }

private:
    bool run(const std::string& action);

    std::string baseDir;
    std::string options;
    std::string lastOutput;
    bool started = false;
};

#endif
