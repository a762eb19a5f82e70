// LoopbackClient.cpp - blocking-free raw client for tests: poll() with a
// deadline before every receive and send, envelopes coded with LinearBlock
// only (not with the server's protocol endpoint).
#include "LoopbackClient.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "GameProtocol.h"
#include "LinearBlock.h"
#include "SimpleOsa.h"
#include "UserBase.h"

namespace {

const int FIELDS_END = LINEARBLOCK_HEADER_SIZE + ENVELOPE_FIELDS_SIZE;
const int RECEIVE_CHUNK = 4096;
const int SEND_TIMEOUT_MS = 5000;

int remainingMs(long long deadlineMs) {
    long long left = deadlineMs - clockMonotonicMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads commType, id and length from a decoded block.
void readFields(LinearBlock* block, int* commType, int* id, int* length) {
    char type = 0;
    char identifier = 0;
    block->reset();
    block->getData(&type);
    block->getData(&identifier);
    block->getData(length);
    *commType = static_cast<signed char>(type);
    *id = static_cast<signed char>(identifier);
}

}  // namespace

std::string encodeEnvelopeWithLength(int commType, int id, int declaredLength,
                                     const std::string& payload) {
    int payloadLength = static_cast<int>(payload.size());
    LinearBlock block(std::max(PROTOCOL_BUFFER_SIZE, payloadLength + ENVELOPE_FIELDS_SIZE));
    block.setVirtualBlockSize(payloadLength + ENVELOPE_FIELDS_SIZE);
    block.reset();
    block.addData(static_cast<char>(commType));
    block.addData(static_cast<char>(id));
    block.addData(declaredLength);
    if (payloadLength > 0) {
        block.addData(payload.data(), payloadLength);
    }
    block.obfuscateData();
    return std::string(block.getDataBlock(), block.getDataBlockSize());
}

std::string encodeEnvelope(int commType, int id, const std::string& payload) {
    return encodeEnvelopeWithLength(commType, id, static_cast<int>(payload.size()), payload);
}

bool decodeEnvelopeFields(const std::string& bytes, int* commType, int* id, int* length) {
    if (bytes.size() < static_cast<size_t>(FIELDS_END)) {
        return false;
    }
    LinearBlock block(PROTOCOL_BUFFER_SIZE);
    block.importBlockData(bytes.data(), FIELDS_END);
    if (!block.headerIsValid()) {
        return false;
    }
    // The checksum covers the whole envelope, so only the fields count here.
    block.deobfuscateData();
    readFields(&block, commType, id, length);
    return true;
}

bool decodeEnvelope(const std::string& bytes, Envelope* out) {
    int commType = 0;
    int id = 0;
    int length = 0;
    if (!decodeEnvelopeFields(bytes, &commType, &id, &length)) {
        return false;
    }
    if (length < 0 || static_cast<size_t>(length) + FIELDS_END != bytes.size()) {
        return false;
    }
    LinearBlock block(std::max(PROTOCOL_BUFFER_SIZE, length + ENVELOPE_FIELDS_SIZE));
    block.importBlockData(bytes.data(), static_cast<int>(bytes.size()));
    if (block.deobfuscateData()) {
        return false;
    }
    readFields(&block, &commType, &id, &length);
    out->commType = commType;
    out->id = id;
    out->payload.assign(block.getDataBlock() + FIELDS_END, length);
    return true;
}

std::string nameField(const std::string& name) {
    std::string field = name.substr(0, PROTOCOL_NAME_SIZE);
    field.resize(PROTOCOL_NAME_SIZE, '\0');
    return field;
}

std::string credentials(const std::string& name, const std::string& password) {
    return nameField(name) + nameField(password);
}

std::string int32le(int value) {
    unsigned int bits = static_cast<unsigned int>(value);
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; i++) {
        bytes[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
    }
    return bytes;
}

LoopbackClient::LoopbackClient() : descriptor(-1), closed(false) {}

LoopbackClient::~LoopbackClient() {
    close();
}

bool LoopbackClient::connectTo(int port, int timeoutMs) {
    return connectToAddress("127.0.0.1", port, timeoutMs);
}

bool LoopbackClient::connectToAddress(const std::string& ipv4, int port, int timeoutMs) {
    close();
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    if (inet_pton(AF_INET, ipv4.c_str(), &address.sin_addr) != 1) {
        return false;
    }
    descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (descriptor < 0) {
        return false;
    }
    address.sin_port = htons(static_cast<uint16_t>(port));
    int result = connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (result != 0 && errno != EINPROGRESS) {
        close();
        return false;
    }
    struct pollfd watched = {descriptor, POLLOUT, 0};
    if (result != 0 && poll(&watched, 1, timeoutMs) != 1) {
        close();
        return false;
    }
    int error = 0;
    socklen_t errorLength = sizeof error;
    getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &errorLength);
    if (error != 0) {
        close();
        return false;
    }
    closed = false;
    inbound.clear();
    queuedMessages.clear();
    return true;
}

bool LoopbackClient::sendBytes(const std::string& bytes) {
    long long deadline = clockMonotonicMs() + SEND_TIMEOUT_MS;
    size_t sent = 0;
    while (descriptor >= 0 && sent < bytes.size()) {
        ssize_t count = send(descriptor, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count > 0) {
            sent += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        }
        struct pollfd watched = {descriptor, POLLOUT, 0};
        if (poll(&watched, 1, remainingMs(deadline)) != 1) {
            return false;
        }
    }
    return descriptor >= 0;
}

bool LoopbackClient::sendEnvelope(int commType, int id, const std::string& payload) {
    return sendBytes(encodeEnvelope(commType, id, payload));
}

bool LoopbackClient::receiveSome(long long deadlineMs) {
    if (descriptor < 0 || closed) {
        return false;
    }
    for (;;) {
        char chunk[RECEIVE_CHUNK];
        ssize_t count = recv(descriptor, chunk, sizeof chunk, 0);
        if (count > 0) {
            inbound.append(chunk, static_cast<size_t>(count));
            return true;
        }
        if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            closed = true;
            return false;
        }
        struct pollfd watched = {descriptor, POLLIN, 0};
        int left = remainingMs(deadlineMs);
        if (left == 0 || poll(&watched, 1, left) != 1) {
            return false;
        }
    }
}

bool LoopbackClient::fill(size_t count, long long deadlineMs) {
    while (inbound.size() < count) {
        if (!receiveSome(deadlineMs)) {
            return false;
        }
    }
    return true;
}

bool LoopbackClient::receiveEnvelope(Envelope* out, int timeoutMs) {
    long long deadline = clockMonotonicMs() + timeoutMs;
    if (!fill(FIELDS_END, deadline)) {
        return false;
    }
    int commType = 0;
    int id = 0;
    int length = 0;
    if (!decodeEnvelopeFields(inbound.substr(0, FIELDS_END), &commType, &id, &length) ||
        length < 0 || length > PROTOCOL_PAYLOAD_MAX) {
        return false;
    }
    size_t total = static_cast<size_t>(FIELDS_END + length);
    if (!fill(total, deadline)) {
        return false;
    }
    std::string bytes = inbound.substr(0, total);
    inbound.erase(0, total);
    return decodeEnvelope(bytes, out);
}

bool LoopbackClient::request(int reqType, const std::string& payload, std::string* responsePayload,
                             int timeoutMs) {
    long long deadline = clockMonotonicMs() + timeoutMs;
    if (!sendEnvelope(COMMTYPE_REQUEST, reqType, payload)) {
        return false;
    }
    for (;;) {
        Envelope envelope;
        if (!receiveEnvelope(&envelope, remainingMs(deadline))) {
            return false;
        }
        if (envelope.commType == COMMTYPE_MESSAGE) {
            queuedMessages.push_back(envelope);
        } else if (envelope.commType == COMMTYPE_RESPONSE && envelope.id == reqType) {
            *responsePayload = envelope.payload;
            return true;
        }
    }
}

bool LoopbackClient::waitMessage(int msgType, Envelope* out, int timeoutMs) {
    for (size_t i = 0; i < queuedMessages.size(); i++) {
        if (queuedMessages[i].id == msgType) {
            *out = queuedMessages[i];
            queuedMessages.erase(queuedMessages.begin() + static_cast<long>(i));
            return true;
        }
    }
    long long deadline = clockMonotonicMs() + timeoutMs;
    for (;;) {
        Envelope envelope;
        if (!receiveEnvelope(&envelope, remainingMs(deadline))) {
            return false;
        }
        if (envelope.commType != COMMTYPE_MESSAGE) {
            continue;
        }
        if (envelope.id == msgType) {
            *out = envelope;
            return true;
        }
        queuedMessages.push_back(envelope);
    }
}

std::vector<Envelope> LoopbackClient::takeQueuedMessages() {
    std::vector<Envelope> taken;
    taken.swap(queuedMessages);
    return taken;
}

std::string LoopbackClient::receiveRaw(int timeoutMs) {
    long long deadline = clockMonotonicMs() + timeoutMs;
    if (inbound.empty()) {
        receiveSome(deadline);
    }
    std::string taken;
    taken.swap(inbound);
    return taken;
}

bool LoopbackClient::waitClosed(int timeoutMs) {
    long long deadline = clockMonotonicMs() + timeoutMs;
    while (!closed) {
        inbound.clear();
        if (!receiveSome(deadline) && !closed) {
            return false;
        }
    }
    return true;
}

void LoopbackClient::close() {
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
    closed = false;
}

int readInt32le(const std::string& bytes, size_t offset) {
    if (offset + 4 > bytes.size()) {
        return -1;
    }
    unsigned int value = 0;
    for (int b = 3; b >= 0; b--) {
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + b]);
    }
    return static_cast<int>(value);
}

std::string fieldText(const std::string& bytes, size_t offset) {
    if (offset >= bytes.size()) {
        return "";
    }
    std::string field = bytes.substr(offset, PROTOCOL_NAME_SIZE);
    return field.substr(0, field.find('\0'));
}

Answer ask(LoopbackClient* client, int reqType, const std::string& payload, int timeoutMs) {
    Answer answer;
    long long start = clockMonotonicMs();
    std::string response;
    bool answered = client->request(reqType, payload, &response, timeoutMs);
    answer.waitedMs = clockMonotonicMs() - start;
    if (answered) {
        answer.outcome = OUTCOME_ANSWERED;
        answer.payload = response;
        answer.code = response.empty() ? -1 : static_cast<unsigned char>(response[0]);
        return answer;
    }
    // A closed connection shows at once; a silent one only at the deadline.
    bool closed = !client->isConnected() || client->waitClosed(0) || answer.waitedMs < timeoutMs;
    answer.outcome = closed ? OUTCOME_CLOSED : OUTCOME_TIMEOUT;
    return answer;
}

std::string scorePayload(const std::string& name, const std::string& password, int score) {
    return credentials(name, password) + int32le(score);
}

std::map<std::string, int> parseHighscoreList(const std::string& list) {
    std::map<std::string, int> entries;
    for (size_t at = 0; at + USERBASE_ENTRY_SIZE <= list.size(); at += USERBASE_ENTRY_SIZE) {
        std::string entry(list.c_str() + at, strnlen(list.c_str() + at, USERBASE_ENTRY_SIZE));
        int rank = 0;
        char name[64] = {0};
        // "%3d. %10s %10s %4d": the date holds blanks ("%2d-%2d-%4d").
        size_t lastBlank = entry.find_last_of(' ');
        if (lastBlank == std::string::npos || sscanf(entry.c_str(), "%d. %63s", &rank, name) != 2) {
            continue;
        }
        entries[name] = atoi(entry.c_str() + lastBlank + 1);
    }
    return entries;
}
