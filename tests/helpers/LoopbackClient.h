// LoopbackClient.h - a raw TCP client to 127.0.0.1 that speaks only the wire
// format (obfuscated envelopes), written apart from the server's own
// protocol endpoint so that tests see the server as a game client would.
// One object per test thread; every wait has a deadline.
#ifndef LOOPBACKCLIENT_H
#define LOOPBACKCLIENT_H

#include <map>
#include <string>
#include <vector>

struct Envelope {
    int commType;
    int id;
    std::string payload;
};

// An obfuscated envelope, ready to send. Payloads longer than one protocol
// buffer are encoded all the same, so tests can build over-long envelopes.
std::string encodeEnvelope(int commType, int id, const std::string& payload);
// Like encodeEnvelope, but the length field says declaredLength whatever the
// payload holds (for envelopes that lie about their size).
std::string encodeEnvelopeWithLength(int commType, int id, int declaredLength,
                                     const std::string& payload);
// Decodes one whole envelope (header, fields, payload); false if the header
// names windows outside the keys, the length does not match the bytes given
// or the checksum fails.
bool decodeEnvelope(const std::string& bytes, Envelope* out);
// Decodes only commType, id and length from the first 12 bytes of an
// envelope; false if fewer bytes are given or the header is invalid.
bool decodeEnvelopeFields(const std::string& bytes, int* commType, int* id, int* length);

// Two 20-byte NUL-padded fields: name, then password.
std::string credentials(const std::string& name, const std::string& password);
// One 20-byte NUL-padded field.
std::string nameField(const std::string& name);
// Four bytes, least significant first.
std::string int32le(int value);
// The little-endian 32-bit integer at offset; -1 if the bytes are missing.
int readInt32le(const std::string& bytes, size_t offset);
// The text of a 20-byte name field at offset, up to its first NUL.
std::string fieldText(const std::string& bytes, size_t offset);

class LoopbackClient {
public:
    LoopbackClient();
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool connectTo(int port, int timeoutMs = 3000);
    // The same to another IPv4 address of this machine (a loopback-range
    // address in a test's own network namespace).
    bool connectToAddress(const std::string& ipv4, int port, int timeoutMs = 3000);
    bool isConnected() const { return descriptor >= 0; }
    // True once a receive found the connection closed or reset by the peer.
    bool peerClosed() const { return closed; }
    bool sendBytes(const std::string& bytes);
    bool sendEnvelope(int commType, int id, const std::string& payload);
    // Reads one envelope from the stream (12 bytes, decode length, then the
    // rest), deadline-bound. False on time-out, close or an undecodable
    // envelope.
    bool receiveEnvelope(Envelope* out, int timeoutMs);
    // Sends a request and waits for its response; messages that arrive
    // meanwhile are queued, responses of other types are dropped.
    bool request(int reqType, const std::string& payload, std::string* responsePayload,
                 int timeoutMs = 3000);
    // First queued-or-arriving message of that type (removed from the queue;
    // others stay queued).
    bool waitMessage(int msgType, Envelope* out, int timeoutMs);
    std::vector<Envelope> takeQueuedMessages();
    // Bytes that arrive within timeoutMs (0: none waiting), appended to what
    // is already buffered, all taken from the stream.
    std::string receiveRaw(int timeoutMs);
    // True when the server closed the connection within timeoutMs; bytes that
    // arrive before the close are dropped.
    bool waitClosed(int timeoutMs);
    void close();

private:
    // Makes at least count bytes available in inbound before the deadline.
    bool fill(size_t count, long long deadlineMs);
    // One receive into inbound, waiting until the deadline; false on time-out,
    // close or error (closed is set on end of stream or reset).
    bool receiveSome(long long deadlineMs);

    int descriptor;
    bool closed;
    std::string inbound;
    std::vector<Envelope> queuedMessages;
};

// How a request ended.
enum requestOutcome_t {
    OUTCOME_ANSWERED,  // a response of the request's type arrived
    OUTCOME_CLOSED,    // the connection closed (or could not send) first
    OUTCOME_TIMEOUT,   // the connection stayed open and nothing came in time
};

struct Answer {
    requestOutcome_t outcome = OUTCOME_CLOSED;
    int code = -1;           // first payload byte; -1 without a response
    std::string payload;     // the whole response payload
    long long waitedMs = 0;  // from the send to the answer (or the failure)
};

// The one request helper: sends a request and waits up to timeoutMs for
// its response (messages meanwhile stay queued on the client).
Answer ask(LoopbackClient* client, int reqType, const std::string& payload,
           int timeoutMs = 3000);
// The payload of a score request.
std::string scorePayload(const std::string& name, const std::string& password, int score);
// The entries of a high-score list (the bytes behind the response code):
// user name -> score.
std::map<std::string, int> parseHighscoreList(const std::string& list);

#endif
