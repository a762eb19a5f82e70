// EchoScenario.cpp - in-process server whose listener echoes each request.
// The listener runs on the connections' reader threads.
#include "EchoScenario.h"

#include <string.h>

#include "GameClientHandler.h"
#include "GameProtocol.h"

void EchoListener::handleRequest(GameClientHandler* handler, reqType_t request, char* requestData,
                                 int requestDataLength, char* responseData, int* respDataLength) {
    (void)handler;
    (void)request;
    memcpy(responseData, requestData, requestDataLength);
    *respDataLength = requestDataLength;
}

EchoServer::EchoServer(EchoListener* listener) : requestListener(listener) {}

EchoServer::~EchoServer() {
    stopServer();
}

void EchoServer::clientConnected(NetServerClient* client, NetClientHandler* clientHandler) {
    (void)client;
    static_cast<GameClientHandler*>(clientHandler)->setRequestListener(requestListener);
}

void EchoServer::clientDisconnected(NetServerClient* client, NetClientHandler* clientHandler) {
    (void)client;
    (void)clientHandler;
}

void EchoServer::clientRefused(NetServerClient* client) {
    (void)client;
}

int EchoScenario::start() {
    server.reset(new EchoServer(&listener));
    server->setNetClientHandlerFactory(&factory);
    char loopback[] = "127.0.0.1";
    if (server->startServer(loopback, 0) != SOCKERR_OK) {
        return -1;
    }
    return server->getPort();
}

void EchoScenario::stop() {
    server.reset();
}

void EchoScenario::nextRequest(int client, int sequence, int* reqType, std::string* payload) {
    *reqType = REQ_CHECKUSERANDPASSWORD;
    payload->assign(ECHOSCENARIO_PAYLOAD, '\0');
    for (int i = 0; i < ECHOSCENARIO_PAYLOAD; i++) {
        (*payload)[i] = static_cast<char>('a' + (client * 7 + sequence + i) % 26);
    }
}

bool EchoScenario::checkResponse(int reqType, const std::string& request,
                                 const std::string& response) {
    (void)reqType;
    return request == response;
}
