// MysqlLoginScenario.h - log-in checks (REQ_CHECKUSERANDPASSWORD) over the
// wire against the server binary with its accounts in MariaDB, next to the
// cost of the MySQL C API alone, measured in rounds alternating with the
// server and the echo, with the same client count: the store's SELECT on
// one kept connection per client (the floor), and a new connection with a
// ping and the SELECT per call, one call at a time (what the store paid
// when it connected for every operation). The database comes from the CARVANTA_MYSQL_* variables of
// scripts/mariadb-private.sh. start, stop and meetsOwnTargets run on the
// main thread; nextRequest and checkResponse on client threads.
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
    // One client: p50 at most 1.5 times (bare SELECT + echo). Several: at
    // least 3 times the throughput of a connection per operation.
    bool meetsOwnTargets(const LoadResult& server, const LoadResult& echo) override;
    // Keep the runs short: the per-operation connections are slow.
    int roundTripLimit() const override { return MYSQLLOGIN_ROUND_TRIPS; }
    pid_t serverProcess() const override { return server.getPid(); }

private:
    bool signUpAccounts(int port);

    std::string serverPath;
    ServerChild server;
    // True only while start() signs the accounts up, before client threads.
    bool signingUp;
    // Wire sizes of a log-in's round trip.
    int requestBytes;
    int responseBytes;
};

#endif
