// LoginScenario.cpp - log-in checks against the server binary with the
// file store (see LoginScenario.h).
#include "LoginScenario.h"

#include <stdio.h>

#include "GameProtocol.h"
#include "LoadRunner.h"
#include "WireClients.h"

namespace {

// Accounts signed up at the start; clients share them in turn.
const int ACCOUNTS = 20;
const char PASSWORD[] = "benchpw";

std::string loginAccount(int client) {
    return "login" + std::to_string(client % ACCOUNTS);
}

}  // namespace

LoginScenario::LoginScenario(const std::string& path) : serverPath(path), signingUp(false) {
    for (int account = 0; account < ACCOUNTS; account++) {
        payloads.push_back(requestField(loginAccount(account)) + requestField(PASSWORD));
    }
}

int LoginScenario::start() {
    if (!server.start(serverPath.c_str(), "max_clients 100\n")) {
        return -1;
    }
    signingUp = true;
    for (int account = 0; account < ACCOUNTS; account++) {
        ProtocolClient client(this, account);
        long long nanos = 0;
        if (!client.connectTo(server.getPort()) || !client.roundTrip(0, &nanos)) {
            printf("  account %s: sign-up failed\n", loginAccount(account).c_str());
            signingUp = false;
            return -1;
        }
    }
    signingUp = false;
    return server.getPort();
}

void LoginScenario::stop() {
    server.stop();
}

void LoginScenario::nextRequest(int client, int, int* reqType, std::string* payload) {
    *reqType = signingUp ? REQ_SIGNUP : REQ_CHECKUSERANDPASSWORD;
    *payload = payloads[client % ACCOUNTS];
}

bool LoginScenario::checkResponse(int reqType, const std::string&, const std::string& response) {
    int expected = reqType == REQ_SIGNUP || reqType == REQ_CHECKUSERANDPASSWORD ? RES_OK : -1;
    return response.size() == 1 && static_cast<unsigned char>(response[0]) == expected;
}
