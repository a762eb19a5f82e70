// MysqlLoginScenario.h - log-in checks (REQ_CHECKUSERANDPASSWORD) over the
// wire against the server binary with its accounts in MariaDB, next to the
// cost of the MySQL C API alone measured in the same run: a new connection
// with one SELECT per call (what every store operation pays) and the same
// SELECT on one persistent connection. The database comes from the
// CARVANTA_MYSQL_* variables of scripts/mariadb-private.sh. start and stop
// run on the main thread; nextRequest and checkResponse on client threads.
#ifndef MYSQLLOGINSCENARIO_H
#define MYSQLLOGINSCENARIO_H

#include <string>

#include "BenchScenario.h"
#include "ServerChild.h"

const int MYSQLLOGIN_ROUND_TRIPS = 1000;

class MysqlLoginScenario : public BenchScenario {
public:
    explicit MysqlLoginScenario(const std::string& serverPath);
    // Empty when a database is configured, else why the scenario is left out.
    static std::string unavailableReason();

    const char* name() const override { return "mysql-login"; }
    int start() override;
    void stop() override;
    void nextRequest(int client, int sequence, int* reqType, std::string* payload) override;
    bool checkResponse(int reqType, const std::string& request,
                       const std::string& response) override;
    bool holdsEchoTargets() const override { return false; }
    // Each log-in costs a database connection: keep the runs short.
    int roundTripLimit() const override { return MYSQLLOGIN_ROUND_TRIPS; }

private:
    bool signUpAccounts(int port);
    void measureClientLibrary();

    std::string serverPath;
    ServerChild server;
    // True only while start() signs the accounts up, before client threads.
    bool signingUp;
};

#endif
