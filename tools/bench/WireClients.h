// WireClients.h - the two kinds of bench client: one speaking envelopes to
// a scenario's server, one sending and reading plain byte counts to the
// echo baseline. Blocking sockets to 127.0.0.1; one thread each.
#ifndef WIRECLIENTS_H
#define WIRECLIENTS_H

#include <string>

#include "BenchScenario.h"
#include "LinearBlock.h"
#include "LoadRunner.h"

class ProtocolClient : public LoadClient {
public:
    ProtocolClient(BenchScenario* scenario, int clientNumber);
    ~ProtocolClient() override;
    bool connectTo(int port) override;
    bool roundTrip(int sequence, long long* nanos) override;
    // Wire sizes of the last request and response envelopes.
    int lastRequestBytes() const { return requestBytes; }
    int lastResponseBytes() const { return responseBytes; }

private:
    bool receiveEnvelope(std::string* bytes);
    // Receives until inbound holds at least count bytes.
    bool fillInbound(size_t count);

    BenchScenario* scenario;
    int number;
    int descriptor;
    int requestBytes;
    int responseBytes;
    // The last request coded into `request`.
    int requestType;
    std::string requestPayload;
    // Reused for every round trip, so the client allocates nothing per call.
    LinearBlock outBlock;
    LinearBlock inBlock;
    std::string payload;
    std::string request;
    std::string response;
    std::string inbound;  // received bytes not yet taken
};

class EchoClient : public LoadClient {
public:
    EchoClient(int sendBytes, int receiveBytes);
    ~EchoClient() override;
    bool connectTo(int port) override;
    bool roundTrip(int sequence, long long* nanos) override;

private:
    int descriptor;
    std::string outgoing;
    std::string incoming;
};

// A name or password as a request carries it: cut to 19 characters and
// NUL-padded to its 20-byte field.
std::string requestField(const std::string& text);

// Blocking helpers shared with the echo baseline server.
int connectLoopback(int port);
bool sendAllBytes(int descriptor, const char* data, size_t length);
bool receiveAllBytes(int descriptor, char* data, size_t length);

#endif
