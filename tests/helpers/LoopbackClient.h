// LoopbackClient.h - a raw wire-format client to 127.0.0.1, coded with LinearBlock only.
#ifndef LOOPBACKCLIENT_H
#define LOOPBACKCLIENT_H

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "GameProtocol.h"
#include "LinearBlock.h"
#include "SimpleOsa.h"

struct Envelope {
    int commType;
    int id;
    std::string payload;
};

inline int msUntilDeadline(long long deadlineMs) {
    return static_cast<int>(std::max(0LL, deadlineMs - clockMonotonicMs()));
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
    block.addData(payload.data(), payloadLength);
    block.obfuscateData();
    return std::string(block.getDataBlock(), block.getDataBlockSize());
}

inline std::string encodeEnvelope(int commType, int id, const std::string& payload) {
    return encodeEnvelopeWithLength(commType, id, static_cast<int>(payload.size()), payload);
}

// False if the header is invalid, the length does not match the bytes or the checksum fails.
// Given `length`, only the 12 bytes of the fields are read and the declared length returned.
inline bool decodeEnvelope(const std::string& bytes, Envelope* out, int* length = nullptr) {
    size_t imported = length != nullptr ? ENVELOPE_OVERHEAD : bytes.size();
    LinearBlock block(std::max<int>(PROTOCOL_BUFFER_SIZE, bytes.size()));
    if (bytes.size() < static_cast<size_t>(ENVELOPE_OVERHEAD) ||
        block.importBlockData(bytes.data(), imported) || !block.headerIsValid() ||
        (block.deobfuscateData() && length == nullptr)) {
        return false;
    }
    char fields[2] = {};
    int declared = 0;
    block.reset();
    block.getData(fields, 2);
    block.getData(&declared);
    out->commType = static_cast<signed char>(fields[0]);
    out->id = static_cast<signed char>(fields[1]);
    if (length != nullptr) {
        *length = declared;
        return true;
    }
    bool whole = declared >= 0 && static_cast<size_t>(declared) + ENVELOPE_OVERHEAD == bytes.size();
    out->payload.assign(block.getDataBlock() + ENVELOPE_OVERHEAD, whole ? declared : 0);
    return whole;
}

inline std::string nameField(const std::string& name) {
    return (name + std::string(PROTOCOL_NAME_SIZE, '\0')).substr(0, PROTOCOL_NAME_SIZE);
}

inline std::string credentials(const std::string& name, const std::string& password) {
    return nameField(name) + nameField(password);
}

inline std::string int32le(int value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; i++) {
        bytes[i] = static_cast<char>(static_cast<unsigned int>(value) >> (8 * i));
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
    // Connects and sends are blocking, bounded by the send timeout: timeoutMs, then 5 s.
    bool connectToAddress(const std::string& ipv4, int port, int timeoutMs = 3000) {
        close();
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool connected =
            inet_pton(AF_INET, ipv4.c_str(), &address.sin_addr) == 1 &&
            setSendTimeout(std::max(timeoutMs, 1)) &&
            connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            setSendTimeout(5000);
        if (!connected) {
            close();
        }
        inbound.clear();
        queuedMessages.clear();
        return connected;
    }
    bool isConnected() const { return descriptor >= 0; }
    bool sendBytes(const std::string& bytes) {
        ssize_t sent =
            descriptor < 0 ? -1 : send(descriptor, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        return sent == static_cast<ssize_t>(bytes.size());
    }
    bool sendEnvelope(int commType, int id, const std::string& payload) {
        return sendBytes(encodeEnvelope(commType, id, payload));
    }
    bool receiveEnvelope(Envelope* out, int timeoutMs) {
        long long deadline = clockMonotonicMs() + timeoutMs;
        int length = 0;
        if (!fill(ENVELOPE_OVERHEAD, deadline) ||
            !decodeEnvelope(inbound.substr(0, ENVELOPE_OVERHEAD), out, &length) || length < 0 ||
            length > PROTOCOL_PAYLOAD_MAX || !fill(ENVELOPE_OVERHEAD + length, deadline)) {
            return false;
        }
        std::string bytes = inbound.substr(0, ENVELOPE_OVERHEAD + length);
        inbound.erase(0, bytes.size());
        return decodeEnvelope(bytes, out);
    }
    // Messages that arrive meanwhile are queued, responses of other types dropped.
    bool request(int reqType, const std::string& payload, std::string* responsePayload,
                 int timeoutMs = 3000) {
        long long deadline = clockMonotonicMs() + timeoutMs;
        Envelope envelope;
        bool sent = sendEnvelope(COMMTYPE_REQUEST, reqType, payload);
        while (sent && receiveEnvelope(&envelope, msUntilDeadline(deadline))) {
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
    std::vector<Envelope> takeQueuedMessages() { return std::exchange(queuedMessages, {}); }
    // What is buffered and what arrives within timeoutMs (0: none waiting).
    std::string receiveRaw(int timeoutMs) {
        if (inbound.empty()) {
            receiveSome(clockMonotonicMs() + timeoutMs);
        }
        return std::exchange(inbound, std::string());
    }
    // True when the server closed within timeoutMs; bytes before the close are dropped.
    bool waitClosed(int timeoutMs) {
        long long deadline = clockMonotonicMs() + timeoutMs;
        do {
            inbound.clear();
        } while (receiveSome(deadline));
        return closed;
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
        while (inbound.size() < count && receiveSome(deadlineMs)) {
        }
        return inbound.size() >= count;
    }
    bool setSendTimeout(int timeoutMs) {
        timeval limit = {timeoutMs / 1000, timeoutMs % 1000 * 1000};
        return setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
    }
    // False once the peer closed or nothing came before the deadline.
    bool receiveSome(long long deadlineMs) {
        char chunk[4096];
        struct pollfd watched = {descriptor, POLLIN, 0};
        while (descriptor >= 0 && !closed && poll(&watched, 1, msUntilDeadline(deadlineMs)) == 1) {
            ssize_t count = recv(descriptor, chunk, sizeof chunk, MSG_DONTWAIT);
            if (count > 0) {
                inbound.append(chunk, static_cast<size_t>(count));
                return true;
            }
            closed = count == 0 || (errno != EAGAIN && errno != EINTR);
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
    if (client->request(reqType, payload, &answer.payload, timeoutMs)) {
        answer.outcome = OUTCOME_ANSWERED;
        answer.code = answer.payload.empty() ? -1 : static_cast<unsigned char>(answer.payload[0]);
    } else if (client->isConnected() && !client->waitClosed(0) &&
               clockMonotonicMs() - start >= timeoutMs) {
        answer.outcome = OUTCOME_TIMEOUT;  // a closed connection shows at once
    }
    return answer;
}

inline std::string scorePayload(const std::string& name, const std::string& password, int score) {
    return credentials(name, password) + int32le(score);
}

#endif
