// EnvelopeFuzz.cpp - the incoming byte stream of a game client handler whose
// socket is not attached (its answers go nowhere), fed through
// messageReceived in reads of arbitrary sizes, with a listener that records
// what is dispatched. Either the raw input is the stream, or the input
// describes envelopes that are encoded properly, optionally with one
// changed byte. Checks: nothing reaches outside a buffer; dispatched
// lengths stay within a protocol buffer; a stream of sound envelopes is
// dispatched exactly, in order, however it is cut into reads; a changed
// payload byte stops the stream at that envelope and nothing of it or
// after it is dispatched.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "GameClientHandler.h"
#include "LoopbackClient.h"

namespace {

const int READ_MAX = 2000;  // one receive of the socket layer
const int MAX_ENVELOPES = 12;
const int MAX_PAYLOAD = 400;

struct Dispatched {
    int commType;
    int id;
    std::string payload;
    bool operator==(const Dispatched& other) const {
        return commType == other.commType && id == other.id && payload == other.payload;
    }
};

class RecordingListener : public RequestListener, public MessageListener {
public:
    std::vector<Dispatched> seen;
    int responseLength = 1;

    void handleRequest(GameClientHandler*, reqType_t request, char* requestData,
                       int requestDataLength, char* responseData, int* respDataLength) override {
        record(COMMTYPE_REQUEST, request, requestData, requestDataLength);
        responseData[0] = 0;
        *respDataLength = responseLength;
    }
    void handleMessage(GameClientHandler*, msgType_t message, char* messageData,
                       int dataLength) override {
        record(COMMTYPE_MESSAGE, message, messageData, dataLength);
    }

private:
    void record(int commType, int id, const char* data, int length) {
        FUZZ_CHECK(length >= 0 && length <= PROTOCOL_PAYLOAD_MAX);
        seen.push_back(Dispatched{commType, id, std::string(data, static_cast<size_t>(length))});
    }
};

GameClientHandler* handler = nullptr;
RecordingListener* listener = nullptr;

// Feeds the stream in reads whose sizes the input chooses.
void feed(FuzzedDataProvider* input, std::string stream) {
    size_t offset = 0;
    while (offset < stream.size()) {
        size_t size = input->ConsumeIntegralInRange<size_t>(1, READ_MAX);
        size = std::min(size, stream.size() - offset);
        handler->messageReceived(&stream[offset], static_cast<int>(size));
        offset += size;
    }
}

void rawStream(FuzzedDataProvider* input) {
    size_t length = input->ConsumeIntegralInRange<size_t>(0, 4 * READ_MAX);
    std::string stream = input->ConsumeBytesAsString(length);
    feed(input, stream);
}

void encodedStream(FuzzedDataProvider* input) {
    int count = input->ConsumeIntegralInRange<int>(1, MAX_ENVELOPES);
    std::string stream;
    std::vector<size_t> offsets;           // where each envelope starts
    std::vector<size_t> dispatchedBefore;  // envelopes to dispatch ahead of it
    std::vector<Dispatched> expected;
    bool typeRefused = false;
    for (int envelope = 0; envelope < count; envelope++) {
        int commType = input->ConsumeIntegralInRange<int>(0, 4);
        int id = input->ConsumeIntegralInRange<int>(-128, 127);
        std::string payload =
            input->ConsumeBytesAsString(input->ConsumeIntegralInRange<size_t>(0, MAX_PAYLOAD));
        offsets.push_back(stream.size());
        dispatchedBefore.push_back(expected.size());
        stream += encodeEnvelope(commType, id, payload);
        typeRefused = typeRefused || commType < COMMTYPE_MESSAGE || commType > COMMTYPE_RESPONSE;
        if (!typeRefused && commType != COMMTYPE_RESPONSE) {
            expected.push_back(Dispatched{commType, id, payload});
        }
    }
    bool change = input->ConsumeBool();
    size_t at = input->ConsumeIntegral<uint16_t>() % stream.size();
    uint8_t mask = input->ConsumeIntegralInRange<uint8_t>(1, 255);
    size_t before = expected.size();
    bool payloadChanged = false;
    if (change) {
        stream[at] = static_cast<char>(stream[at] ^ mask);
        size_t envelope = 0;
        while (envelope + 1 < offsets.size() && offsets[envelope + 1] <= at) {
            envelope++;
        }
        before = dispatchedBefore[envelope];
        payloadChanged = at - offsets[envelope] >= static_cast<size_t>(ENVELOPE_OVERHEAD);
    }
    feed(input, stream);
    std::vector<Dispatched>& seen = listener->seen;
    if (!change) {
        FUZZ_CHECK(seen == expected);
        return;
    }
    FUZZ_CHECK(seen.size() >= before);
    for (size_t index = 0; index < before; index++) {
        FUZZ_CHECK(seen[index] == expected[index]);
    }
    if (payloadChanged) {
        FUZZ_CHECK(seen.size() == before);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzQuietOutput();
    handler = new GameClientHandler(nullptr);
    listener = new RecordingListener();
    handler->setRequestListener(listener);
    handler->setMessageListener(listener);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    srand(static_cast<unsigned>(size));
    // Each input is a new connection of the same handler, as on the server.
    handler->socketClosed(nullptr);
    listener->seen.clear();
    FuzzedDataProvider input(data, size);
    int lengths[] = {1, 0, -1, PROTOCOL_PAYLOAD_MAX, PROTOCOL_PAYLOAD_MAX + 1, 5000};
    listener->responseLength = lengths[input.ConsumeIntegralInRange<int>(0, 5)];
    if (input.ConsumeBool()) {
        rawStream(&input);
    } else {
        encodedStream(&input);
    }
    return 0;
}
