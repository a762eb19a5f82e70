// SignUpScenario.cpp - sign-ups through the whole server stack (see
// SignUpScenario.h). start and stop run on the main thread; nextRequest and
// checkResponse on the client threads.
#include "SignUpScenario.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "GameManager.h"
#include "GameProtocol.h"
#include "GameServer.h"
#include "TextCopy.h"
#include "Toolbox.h"
#include "UserBase.h"
#include "UserBaseFactory.h"

namespace {

const int FILLER_ACCOUNTS = 90;
const long SHUTDOWN_WAIT_MS = 5000;
const int PATH_MAX_BYTES = 4096;
const char PASSWORD[] = "benchpw";

std::string field(const std::string& text) {
    std::string bytes = text.substr(0, PROTOCOL_NAME_SIZE - 1);
    bytes.resize(PROTOCOL_NAME_SIZE, '\0');
    return bytes;
}

std::string accountName(int client, int sequence) {
    return "b" + std::to_string(client) + "-" + std::to_string(sequence);
}

}  // namespace

SignUpScenario::SignUpScenario() : store(nullptr) {}

SignUpScenario::~SignUpScenario() {
    stop();
}

bool SignUpScenario::enterWorkDirectory() {
    char current[PATH_MAX_BYTES];
    char pattern[] = "/tmp/carvanta-bench-XXXXXX";
    if (getcwd(current, sizeof current) == nullptr || mkdtemp(pattern) == nullptr ||
        chdir(pattern) != 0) {
        return false;
    }
    startDirectory = current;
    workDirectory = pattern;
    return true;
}

void SignUpScenario::leaveWorkDirectory() {
    if (workDirectory.empty()) {
        return;
    }
    if (chdir(startDirectory.c_str()) == 0) {
        std::string command = "rm -rf '" + workDirectory + "'";
        if (system(command.c_str()) != 0) {
            fprintf(stderr, "could not remove %s\n", workDirectory.c_str());
        }
    }
    workDirectory.clear();
}

void SignUpScenario::fillTable() {
    char password[PROTOCOL_NAME_SIZE];
    copyText(password, sizeof password, PASSWORD);
    for (int i = 0; i < FILLER_ACCOUNTS; i++) {
        char name[PROTOCOL_NAME_SIZE];
        snprintf(name, sizeof name, "filler%02d", i);
        store->addUser(name, password);
    }
}

int SignUpScenario::start() {
    if (!enterWorkDirectory()) {
        return -1;
    }
    // The file store is what an empty database_type selects.
    FILE* config = fopen("config.ini", "w");
    if (config == nullptr) {
        return -1;
    }
    fputs("server_port 0\n", config);
    fclose(config);
    char logFile[] = "bench.log";
    Toolbox::printToFile(true, logFile);
    store = UserBaseFactory::getUserBaseInstance();
    fillTable();
    server.reset(new GameServer());
    server->setNetClientHandlerFactory(&factory);
    char loopback[] = "127.0.0.1";
    if (server->startServer(loopback, 0) != SOCKERR_OK) {
        return -1;
    }
    return server->getPort();
}

void SignUpScenario::stop() {
    if (server) {
        server->stopServer();
        server->waitForIdleHandlers(SHUTDOWN_WAIT_MS);
    }
    delete GameManager::getInstance();
    server.reset();
    if (store != nullptr) {
        UserBaseFactory::destroyUserBaseInstance();
        store = nullptr;
    }
    Toolbox::closeLog();
    Toolbox::printToFile(false, nullptr);
    leaveWorkDirectory();
}

void SignUpScenario::nextRequest(int client, int sequence, int* reqType, std::string* payload) {
    *reqType = REQ_SIGNUP;
    *payload = field(accountName(client, sequence)) + field(PASSWORD);
}

bool SignUpScenario::checkResponse(int reqType, const std::string& request,
                                   const std::string& response) {
    if (reqType != REQ_SIGNUP || response != std::string(1, static_cast<char>(RES_OK))) {
        return false;
    }
    char name[PROTOCOL_NAME_SIZE];
    char password[PROTOCOL_NAME_SIZE];
    readField(name, request.data(), sizeof name);
    readField(password, request.data() + PROTOCOL_NAME_SIZE, sizeof password);
    return store->deleteUser(name, password) != -1;
}
