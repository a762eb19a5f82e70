// MysqlTestDatabase.h - the MySQL tests' access to a private MariaDB server
// (scripts/mariadb-private.sh). MysqlTestDatabase makes a fresh database
// with the project's schema for one test, so tests can run side by side;
// PrivateMariadb runs a whole server of the test's own that it may stop and
// start again. Both read the CARVANTA_MYSQL_* variables that the script
// writes; without them the tests skip, saying why.
#ifndef MYSQLTESTDATABASE_H
#define MYSQLTESTDATABASE_H

#include <string>
#include <vector>

typedef std::vector<std::vector<std::string>> MysqlRows;

// How an SQL NULL shows in MysqlRows.
extern const char* const MYSQL_TEST_NULL;

class MysqlTestDatabase {
public:
    // Reads the connection settings from the environment.
    MysqlTestDatabase();
    // Drops the database made by create().
    ~MysqlTestDatabase();
    MysqlTestDatabase(const MysqlTestDatabase&) = delete;
    MysqlTestDatabase& operator=(const MysqlTestDatabase&) = delete;

    // Empty when a private server is configured, else why the tests skip.
    const std::string& skipReason() const { return reason; }
    // Creates carvanta_test_<pid>_<n> and loads sql/schema.sql into it.
    bool create();
    // Runs one statement in the database as the test user; rows (if asked
    // for) come back as texts. False with lastError() on failure.
    bool execute(const std::string& statement, MysqlRows* rows = nullptr);
    const std::string& lastError() const { return error; }

    // config.ini lines for a server on this database.
    std::string configText(const std::string& host) const;
    // The same with another password, which the server refuses.
    std::string configTextWithPassword(const std::string& host, const std::string& pw) const;

    const std::string& name() const { return databaseName; }
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

// A MariaDB server of one test, in a directory of its own: start() makes
// it and points MYSQL_UNIX_PORT / MYSQL_TCP_PORT and CARVANTA_MYSQL_* of
// this process (and so of its children and of a MysqlTestDatabase made
// afterwards) at it; the destructor stops it and removes the directory.
class PrivateMariadb {
public:
    // serverOptions: further options of the server, blank-separated
    // (e.g. "--wait-timeout=2").
    explicit PrivateMariadb(const std::string& directory, const std::string& serverOptions = "");
    ~PrivateMariadb();
    PrivateMariadb(const PrivateMariadb&) = delete;
    PrivateMariadb& operator=(const PrivateMariadb&) = delete;

    bool start();
    bool down();  // the server process stops, its data stays
    bool up();    // again on the same port and socket
    // Freezes the server process (SIGSTOP): it accepts connections but
    // answers nothing. resume() lets it go on (SIGCONT).
    bool freeze();
    bool resume();
    // config.ini lines for the test database of this server.
    std::string configText(const std::string& host) const;
    const std::string& output() const { return lastOutput; }

private:
    bool run(const std::string& action);
    std::string readEnvValue(const std::string& key) const;
    bool signalServer(int signalNumber);

    std::string baseDir;
    std::string options;
    std::string lastOutput;
    bool started;
};

// Empty when a test may start a private server of its own: the private
// test server runs (its CARVANTA_MYSQL_* are set) and MariaDB's server
// programs are installed. Else the reason to skip.
std::string privateServerSkipReason();

#endif
