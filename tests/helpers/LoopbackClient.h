// LoopbackClient.h - a raw wire-format client to 127.0.0.1, coded with LinearBlock only.
#ifndef LOOPBACKCLIENT_H
#define LOOPBACKCLIENT_H

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "GameProtocol.h"
#include "LinearBlock.h"
#include "SimpleOsa.h"

struct Envelope {
    int commType;
    int id;
    std::string payload;
};

const int WIRE_ENVELOPE_FIELDS_END = LINEARBLOCK_HEADER_SIZE + ENVELOPE_FIELDS_SIZE;

inline int msUntilDeadline(long long deadlineMs) {
    long long left = deadlineMs - clockMonotonicMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The length field may lie; payloads longer than a protocol buffer are encoded all the same.
inline std::string encodeEnvelopeWithLength(int commType, int id, int declaredLength,
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

inline std::string encodeEnvelope(int commType, int id, const std::string& payload) {
    return encodeEnvelopeWithLength(commType, id, static_cast<int>(payload.size()), payload);
}

// False if the header is invalid, the length does not match the bytes or the checksum fails.
// Given `length`, only the 12 bytes of the fields are read and the declared length returned.
inline bool decodeEnvelope(const std::string& bytes, Envelope* out, int* length = nullptr) {
    int declared = 0;
    bool fieldsOnly = length != nullptr;
    if (bytes.size() < static_cast<size_t>(WIRE_ENVELOPE_FIELDS_END)) {
        return false;
    }
    LinearBlock block(std::max<int>(PROTOCOL_BUFFER_SIZE, bytes.size()));
    block.importBlockData(bytes.data(), fieldsOnly ? WIRE_ENVELOPE_FIELDS_END : bytes.size());
    if (!block.headerIsValid() || (block.deobfuscateData() && !fieldsOnly)) {
        return false;
    }
    char type = 0;
    char identifier = 0;
    block.reset();
    block.getData(&type);
    block.getData(&identifier);
    block.getData(&declared);
    out->commType = static_cast<signed char>(type);
    out->id = static_cast<signed char>(identifier);
    if (fieldsOnly) {
        *length = declared;
        return true;
    }
    if (declared < 0 || static_cast<size_t>(declared) + WIRE_ENVELOPE_FIELDS_END != bytes.size()) {
        return false;
    }
    out->payload.assign(block.getDataBlock() + WIRE_ENVELOPE_FIELDS_END, declared);
    return true;
}

inline std::string nameField(const std::string& name) {
    std::string field = name.substr(0, PROTOCOL_NAME_SIZE);
    field.resize(PROTOCOL_NAME_SIZE, '\0');
    return field;
}

inline std::string credentials(const std::string& name, const std::string& password) {
    return nameField(name) + nameField(password);
}

inline std::string int32le(int value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; i++) {
        bytes[i] = static_cast<char>((static_cast<unsigned int>(value) >> (8 * i)) & 0xFF);
    }
    return bytes;
}

inline int readInt32le(const std::string& bytes, size_t offset) {
    if (offset + 4 > bytes.size()) {
        return -1;
    }
    unsigned int value = 0;
    for (int b = 3; b >= 0; b--) {
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + b]);
    }
    return static_cast<int>(value);
}

class LoopbackClient {
public:
    LoopbackClient() = default;
    ~LoopbackClient() { close(); }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool connectTo(int port, int timeoutMs = 3000) {
        return connectToAddress("127.0.0.1", port, timeoutMs);
    }
    bool connectToAddress(const std::string& ipv4, int port, int timeoutMs = 3000) {
        close();
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, ipv4.c_str(), &address.sin_addr) != 1) {
            return false;
        }
        descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        int result = connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
        struct pollfd watched = {descriptor, POLLOUT, 0};
        int error = 0;
        socklen_t errorLength = sizeof error;
        if ((result != 0 && errno != EINPROGRESS) ||
            (result != 0 && poll(&watched, 1, timeoutMs) != 1) ||
            getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0 || error != 0) {
            close();
            return false;
        }
        inbound.clear();
        queuedMessages.clear();
        return true;
    }
    bool isConnected() const { return descriptor >= 0; }
    bool peerClosed() const { return closed; }
    bool sendBytes(const std::string& bytes) {
        long long deadline = clockMonotonicMs() + 5000;
        size_t sent = 0;
        while (descriptor >= 0 && sent < bytes.size()) {
            ssize_t count =
                send(descriptor, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            struct pollfd watched = {descriptor, POLLOUT, 0};
            if (count > 0) {
                sent += static_cast<size_t>(count);
            } else if ((count < 0 && errno != EAGAIN && errno != EINTR) ||
                       poll(&watched, 1, msUntilDeadline(deadline)) != 1) {
                return false;
            }
        }
        return descriptor >= 0;
    }
    bool sendEnvelope(int commType, int id, const std::string& payload) {
        return sendBytes(encodeEnvelope(commType, id, payload));
    }
    bool receiveEnvelope(Envelope* out, int timeoutMs) {
        long long deadline = clockMonotonicMs() + timeoutMs;
        int length = 0;
        if (!fill(WIRE_ENVELOPE_FIELDS_END, deadline) ||
            !decodeEnvelope(inbound.substr(0, WIRE_ENVELOPE_FIELDS_END), out, &length) ||
            length < 0 || length > PROTOCOL_PAYLOAD_MAX ||
            !fill(WIRE_ENVELOPE_FIELDS_END + length, deadline)) {
            return false;
        }
        std::string bytes = inbound.substr(0, WIRE_ENVELOPE_FIELDS_END + length);
        inbound.erase(0, bytes.size());
        return decodeEnvelope(bytes, out);
    }
    // Messages that arrive meanwhile are queued, responses of other types dropped.
    bool request(int reqType, const std::string& payload, std::string* responsePayload,
                 int timeoutMs = 3000) {
        long long deadline = clockMonotonicMs() + timeoutMs;
        Envelope envelope;
        if (!sendEnvelope(COMMTYPE_REQUEST, reqType, payload)) {
            return false;
        }
        while (receiveEnvelope(&envelope, msUntilDeadline(deadline))) {
            if (envelope.commType == COMMTYPE_MESSAGE) {
                queuedMessages.push_back(envelope);
            } else if (envelope.commType == COMMTYPE_RESPONSE && envelope.id == reqType) {
                *responsePayload = envelope.payload;
                return true;
            }
        }
        return false;
    }
    // The first queued or arriving message of that type; others stay queued.
    bool waitMessage(int msgType, Envelope* out, int timeoutMs) {
        long long deadline = clockMonotonicMs() + timeoutMs;
        for (size_t i = 0;; i++) {
            while (i == queuedMessages.size()) {
                if (!receiveEnvelope(out, msUntilDeadline(deadline))) {
                    return false;
                }
                if (out->commType == COMMTYPE_MESSAGE) {
                    queuedMessages.push_back(*out);
                }
            }
            if (queuedMessages[i].id == msgType) {
                *out = queuedMessages[i];
                queuedMessages.erase(queuedMessages.begin() + static_cast<long>(i));
                return true;
            }
        }
    }
    std::vector<Envelope> takeQueuedMessages() {
        std::vector<Envelope> taken;
        taken.swap(queuedMessages);
        return taken;
    }
    // What is buffered and what arrives within timeoutMs (0: none waiting).
    std::string receiveRaw(int timeoutMs) {
        if (inbound.empty()) {
            receiveSome(clockMonotonicMs() + timeoutMs);
        }
        std::string taken;
        taken.swap(inbound);
        return taken;
    }
    // True when the server closed within timeoutMs; bytes before the close are dropped.
    bool waitClosed(int timeoutMs) {
        long long deadline = clockMonotonicMs() + timeoutMs;
        while (!closed) {
            inbound.clear();
            if (!receiveSome(deadline) && !closed) {
                return false;
            }
        }
        return true;
    }
    void close() {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        descriptor = -1;
        closed = false;
    }

private:
    bool fill(size_t count, long long deadlineMs) {
        while (inbound.size() < count) {
            if (!receiveSome(deadlineMs)) {
                return false;
            }
        }
        return true;
    }
    bool receiveSome(long long deadlineMs) {
        while (descriptor >= 0 && !closed) {
            char chunk[4096];
            ssize_t count = recv(descriptor, chunk, sizeof chunk, 0);
            struct pollfd watched = {descriptor, POLLIN, 0};
            if (count > 0) {
                inbound.append(chunk, static_cast<size_t>(count));
                return true;
            }
            if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                closed = true;
            } else if (msUntilDeadline(deadlineMs) == 0 ||
                       poll(&watched, 1, msUntilDeadline(deadlineMs)) != 1) {
                return false;
            }
        }
        return false;
    }

    int descriptor = -1;
    bool closed = false;
    std::string inbound;
    std::vector<Envelope> queuedMessages;
};

enum requestOutcome_t { OUTCOME_ANSWERED, OUTCOME_CLOSED, OUTCOME_TIMEOUT };

struct Answer {
    requestOutcome_t outcome = OUTCOME_CLOSED;
    int code = -1;  // first payload byte; -1 without a response
    std::string payload;
};

// The one request helper; messages meanwhile stay queued on the client.
inline Answer ask(LoopbackClient* client, int reqType, const std::string& payload,
                  int timeoutMs = 3000) {
    Answer answer;
    long long start = clockMonotonicMs();
    bool answered = client->request(reqType, payload, &answer.payload, timeoutMs);
    if (answered) {
        answer.outcome = OUTCOME_ANSWERED;
        answer.code = answer.payload.empty() ? -1 : static_cast<unsigned char>(answer.payload[0]);
        return answer;
    }
    // A closed connection shows at once; a silent one only at the deadline.
    bool closed =
        !client->isConnected() || client->waitClosed(0) || clockMonotonicMs() - start < timeoutMs;
    answer.outcome = closed ? OUTCOME_CLOSED : OUTCOME_TIMEOUT;
    return answer;
}

inline std::string scorePayload(const std::string& name, const std::string& password, int score) {
    return credentials(name, password) + int32le(score);
}

#endif
