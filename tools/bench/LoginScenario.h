// LoginScenario.h - log-in checks (REQ_CHECKUSERANDPASSWORD) through the
// real server binary: the dispatcher and the file store, with every log
// line written and flushed to a file (the console's standard output is a
// file here, written as the daemon writes its log). Run at 1, 8 and 100
// clients with max_clients 100. start and stop run on the main thread;
// nextRequest and checkResponse on the client threads.
#ifndef LOGINSCENARIO_H
#define LOGINSCENARIO_H

#include <string>

#include "BenchScenario.h"
#include "ServerChild.h"

class LoginScenario : public BenchScenario {
public:
    explicit LoginScenario(const std::string& serverPath);

    const char* name() const override { return "login"; }
    int start() override;
    void stop() override;
    void nextRequest(int client, int sequence, int* reqType, std::string* payload) override;
    bool checkResponse(int reqType, const std::string& request,
                       const std::string& response) override;
    std::vector<int> clientCounts() const override { return {1, 8, 100}; }
    // A full house is held to its tail latency, not to the echo.
    bool echoTargetsAt(int clients) const override { return clients <= 8; }
    double p99LimitUs(int clients) const override { return clients > 8 ? 10000 : 0; }
    bool holdsThroughputTarget() const override { return false; }
    pid_t serverProcess() const override { return server.getPid(); }

private:
    std::string serverPath;
    ServerChild server;
    // True only while start() signs the accounts up, before client threads.
    bool signingUp;
    // Each account's name and password fields, built once.
    std::vector<std::string> payloads;
};

#endif
