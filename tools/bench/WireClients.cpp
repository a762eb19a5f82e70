// WireClients.cpp - blocking bench clients; envelopes are coded with
// LinearBlock outside the timed part of each round trip.
#include "WireClients.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "GameProtocol.h"
#include "LinearBlock.h"

namespace {

const int FIELDS_END = LINEARBLOCK_HEADER_SIZE + ENVELOPE_FIELDS_SIZE;
const size_t RECEIVE_CHUNK = 4096;

void encodeRequest(LinearBlock* block, int reqType, const std::string& payload,
                   std::string* bytes) {
    block->setVirtualBlockSize(static_cast<int>(payload.size()) + ENVELOPE_FIELDS_SIZE);
    block->reset();
    block->addData(static_cast<char>(COMMTYPE_REQUEST));
    block->addData(static_cast<char>(reqType));
    block->addData(static_cast<int>(payload.size()));
    block->addData(payload.data(), static_cast<int>(payload.size()));
    block->obfuscateData();
    bytes->assign(block->getDataBlock(), block->getDataBlockSize());
}

// Decodes the envelope in bytes into block and reads its fields; false if
// the header cannot be decoded or, for a whole envelope, the checksum fails.
bool decodeFields(LinearBlock* block, const char* bytes, int length, int* commType, int* id,
                  int* payloadLength) {
    block->importBlockData(bytes, length);
    if (!block->headerIsValid()) {
        return false;
    }
    bool checksumWrong = block->deobfuscateData();
    block->reset();
    char type = 0;
    char identifier = 0;
    block->getData(&type);
    block->getData(&identifier);
    block->getData(payloadLength);
    *commType = type;
    *id = identifier;
    return length == FIELDS_END || !checksumWrong;
}

}  // namespace

std::string requestField(const std::string& text) {
    std::string bytes = text.substr(0, PROTOCOL_NAME_SIZE - 1);
    bytes.resize(PROTOCOL_NAME_SIZE, '\0');
    return bytes;
}

int connectLoopback(int port) {
    int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (descriptor < 0 ||
        connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (descriptor >= 0) {
            close(descriptor);
        }
        return -1;
    }
    return descriptor;
}

bool sendAllBytes(int descriptor, const char* data, size_t length) {
    size_t sent = 0;
    while (sent < length) {
        ssize_t count = send(descriptor, data + sent, length - sent, MSG_NOSIGNAL);
        if (count <= 0 && errno != EINTR) {
            return false;
        }
        sent += count > 0 ? static_cast<size_t>(count) : 0;
    }
    return true;
}

bool receiveAllBytes(int descriptor, char* data, size_t length) {
    size_t received = 0;
    while (received < length) {
        ssize_t count = recv(descriptor, data + received, length - received, 0);
        if (count == 0 || (count < 0 && errno != EINTR)) {
            return false;
        }
        received += count > 0 ? static_cast<size_t>(count) : 0;
    }
    return true;
}

ProtocolClient::ProtocolClient(BenchScenario* benchScenario, int clientNumber)
    : scenario(benchScenario),
      number(clientNumber),
      descriptor(-1),
      requestBytes(0),
      responseBytes(0),
      requestType(-1),
      outBlock(PROTOCOL_BUFFER_SIZE),
      inBlock(PROTOCOL_BUFFER_SIZE) {}

ProtocolClient::~ProtocolClient() {
    if (descriptor >= 0) {
        close(descriptor);
    }
}

bool ProtocolClient::connectTo(int port) {
    descriptor = connectLoopback(port);
    return descriptor >= 0;
}

bool ProtocolClient::fillInbound(size_t count) {
    while (inbound.size() < count) {
        char chunk[RECEIVE_CHUNK];
        ssize_t got = recv(descriptor, chunk, sizeof chunk, 0);
        if (got == 0 || (got < 0 && errno != EINTR)) {
            return false;
        }
        inbound.append(chunk, got > 0 ? static_cast<size_t>(got) : 0);
    }
    return true;
}

bool ProtocolClient::receiveEnvelope(std::string* bytes) {
    // One receive normally brings the whole envelope, as with the echo.
    if (!fillInbound(FIELDS_END)) {
        return false;
    }
    int commType = 0;
    int id = 0;
    int length = 0;
    if (!decodeFields(&inBlock, inbound.data(), FIELDS_END, &commType, &id, &length) ||
        length < 0 || length > PROTOCOL_PAYLOAD_MAX || !fillInbound(FIELDS_END + length)) {
        return false;
    }
    bytes->assign(inbound, 0, FIELDS_END + length);
    inbound.erase(0, FIELDS_END + length);
    return true;
}

bool ProtocolClient::roundTrip(int sequence, long long* nanos) {
    int reqType = 0;
    scenario->nextRequest(number, sequence, &reqType, &payload);
    // A request the same as the last goes out as the same bytes again: the
    // server cannot tell, and coding it anew would only add the client's
    // own work to every round trip on the processors the server shares.
    if (request.empty() || reqType != requestType || payload != requestPayload) {
        encodeRequest(&outBlock, reqType, payload, &request);
        requestType = reqType;
        requestPayload = payload;
    }
    long long start = benchNowNanos();
    if (!sendAllBytes(descriptor, request.data(), request.size()) || !receiveEnvelope(&response)) {
        return false;
    }
    *nanos = benchNowNanos() - start;
    int commType = 0;
    int id = 0;
    int length = 0;
    if (!decodeFields(&inBlock, response.data(), static_cast<int>(response.size()), &commType, &id,
                      &length) ||
        commType != COMMTYPE_RESPONSE || id != reqType) {
        return false;
    }
    std::string answer(inBlock.getDataBlock() + FIELDS_END, length);
    requestBytes = static_cast<int>(request.size());
    responseBytes = static_cast<int>(response.size());
    return scenario->checkResponse(reqType, payload, answer);
}

EchoClient::EchoClient(int sendBytes, int receiveBytes)
    : descriptor(-1), outgoing(sendBytes, 'e'), incoming(receiveBytes, '\0') {}

EchoClient::~EchoClient() {
    if (descriptor >= 0) {
        close(descriptor);
    }
}

bool EchoClient::connectTo(int port) {
    descriptor = connectLoopback(port);
    return descriptor >= 0;
}

bool EchoClient::roundTrip(int sequence, long long* nanos) {
    outgoing[0] = static_cast<char>(sequence);
    long long start = benchNowNanos();
    if (!sendAllBytes(descriptor, outgoing.data(), outgoing.size()) ||
        !receiveAllBytes(descriptor, &incoming[0], incoming.size())) {
        return false;
    }
    *nanos = benchNowNanos() - start;
    return true;
}
