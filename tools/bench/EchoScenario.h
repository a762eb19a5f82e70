// EchoScenario.h - the network stack and protocol endpoint alone: a
// NetServer with GameClientHandlerFactory whose request listener answers
// every request with its own payload, so the wire bytes match an echo.
#ifndef ECHOSCENARIO_H
#define ECHOSCENARIO_H

#include <memory>

#include "BenchScenario.h"
#include "GameClientHandlerFactory.h"
#include "NetServer.h"
#include "RequestListener.h"

// Payload bytes of each request: two 20-byte name fields, as a log-in.
const int ECHOSCENARIO_PAYLOAD = 40;

class EchoListener : public RequestListener {
public:
    void handleRequest(GameClientHandler* handler, reqType_t request, char* requestData,
                       int requestDataLength, char* responseData, int* respDataLength) override;
};

class EchoServer : public NetServer {
public:
    explicit EchoServer(EchoListener* listener);
    ~EchoServer() override;
    void clientConnected(NetServerClient* client, NetClientHandler* clientHandler) override;
    void clientDisconnected(NetServerClient* client, NetClientHandler* clientHandler) override;
    void clientRefused(NetServerClient* client) override;

private:
    EchoListener* requestListener;
};

class EchoScenario : public BenchScenario {
public:
    const char* name() const override { return "protocol-echo"; }
    int start() override;
    void stop() override;
    void nextRequest(int client, int sequence, int* reqType, std::string* payload) override;
    bool checkResponse(int reqType, const std::string& request,
                       const std::string& response) override;

private:
    EchoListener listener;
    GameClientHandlerFactory factory;
    std::unique_ptr<EchoServer> server;
};

#endif
