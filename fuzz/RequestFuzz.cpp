// RequestFuzz.cpp - the request dispatcher on arbitrary requests and
// messages from three connections, over a file store in a private
// directory and the real game manager (its thread sends to handlers that
// have no socket, so every send fails as to a vanished client). Payloads
// are raw bytes of any length, or fields drawn from a small set of names,
// passwords and scores so that sign-ups, log-ins, scores and the lobby
// handshake really happen; connections are lost in between. Checks:
// nothing reaches outside a buffer, every response has a length the
// envelope can carry and the shape its type defines, and the process never
// ends (an ASSERT would end it, which libFuzzer reports).
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "Configuration.h"
#include "FuzzSupport.h"
#include "GameClientHandler.h"
#include "GameManager.h"
#include "GameRequestHandler.h"
#include "UserBase.h"
#include "UserBaseFactory.h"

namespace {

const int CONNECTIONS = 3;
const int MAX_STEPS = 64;
const char* const NAMES[] = {"alice", "bob", " carol ", "dave", "", "1234567890123456789"};
const int NAME_COUNT = sizeof NAMES / sizeof NAMES[0];
const int PLAYER_RECORD_SIZE = 24;

GameClientHandler* handlers[CONNECTIONS];
GameRequestHandler* dispatcher = nullptr;
GameManager* manager = nullptr;

void putField(char* payload, int offset, FuzzedDataProvider* input) {
    std::string text = input->ConsumeBool()
                           ? NAMES[input->ConsumeIntegralInRange<int>(0, NAME_COUNT - 1)]
                           : input->ConsumeBytesAsString(PROTOCOL_NAME_SIZE);
    memset(payload + offset, 0, PROTOCOL_NAME_SIZE);
    memcpy(payload + offset, text.data(), std::min<size_t>(text.size(), PROTOCOL_NAME_SIZE));
}

// Fills the payload; returns its length.
int buildPayload(FuzzedDataProvider* input, char* payload) {
    if (input->ConsumeBool()) {
        std::string raw = input->ConsumeBytesAsString(
            input->ConsumeIntegralInRange<size_t>(0, PROTOCOL_PAYLOAD_MAX));
        memcpy(payload, raw.data(), raw.size());
        return static_cast<int>(raw.size());
    }
    putField(payload, 0, input);
    putField(payload, PROTOCOL_NAME_SIZE, input);
    if (input->ConsumeBool()) {
        int score = input->ConsumeIntegral<int>();
        memcpy(payload + 2 * PROTOCOL_NAME_SIZE, &score, sizeof score);
    } else {
        putField(payload, 2 * PROTOCOL_NAME_SIZE, input);
    }
    return 2 * PROTOCOL_NAME_SIZE + input->ConsumeIntegralInRange<int>(0, PROTOCOL_NAME_SIZE);
}

void checkResponse(int request, const char* response, int length) {
    FUZZ_CHECK(length >= 0 && length <= PROTOCOL_PAYLOAD_MAX);
    if (request < REQ_FIRST || request > REQ_LAST) {
        FUZZ_CHECK(length == 0);
        return;
    }
    FUZZ_CHECK(length >= 1);
    int code = response[0];
    FUZZ_CHECK(code >= RES_OK && code <= RES_MULTI_PLAYERNOTKNOWN);
    FUZZ_CHECK(code != RES_USEREXISTS || request == REQ_SIGNUP);
    if (code != RES_OK) {
        FUZZ_CHECK(length == 1);
    } else if (request == REQ_SENDSINGLEPLAYERHIGHSCORES) {
        FUZZ_CHECK((length - 1) % USERBASE_ENTRY_SIZE == 0);
        for (int entry = 1; entry < length; entry += USERBASE_ENTRY_SIZE) {
            FUZZ_CHECK(memchr(response + entry, '\0', USERBASE_ENTRY_SIZE) != nullptr);
        }
    } else if (request == REQ_MULTI_SENDPLAYERLIST) {
        FUZZ_CHECK((length - 1) % PLAYER_RECORD_SIZE == 0);
    } else {
        FUZZ_CHECK(length == 1);
    }
}

void step(FuzzedDataProvider* input) {
    GameClientHandler* handler = handlers[input->ConsumeIntegralInRange<int>(0, CONNECTIONS - 1)];
    int kind = input->ConsumeIntegralInRange<int>(0, 9);
    if (kind == 0) {
        manager->notifyDisconnected(handler);  // the connection is lost
        return;
    }
    char payload[PROTOCOL_BUFFER_SIZE];
    memset(payload, 0, sizeof payload);
    int id = input->ConsumeBool() ? input->ConsumeIntegralInRange<int>(REQ_FIRST, REQ_LAST)
                                  : input->ConsumeIntegralInRange<int>(-128, 127);
    int length = buildPayload(input, payload);
    if (kind == 1) {
        int message = input->ConsumeBool() ? MSG_STOPPRESSED : id;
        dispatcher->handleMessage(handler, static_cast<msgType_t>(message), payload, length);
        return;
    }
    char response[PROTOCOL_BUFFER_SIZE];
    int responseLength = -1;
    dispatcher->handleRequest(handler, static_cast<reqType_t>(id), payload, length, response,
                              &responseLength);
    checkResponse(id, response, responseLength);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzQuietOutput();
    fuzzEnterWorkDirectory();
    Configuration::getInstance();  // no config.ini here: the file store
    UserBaseFactory::getUserBaseInstance();
    manager = GameManager::getInstance();
    dispatcher = GameRequestHandler::getInstance();
    for (GameClientHandler*& handler : handlers) {
        handler = new GameClientHandler(nullptr);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    for (int count = 0; count < MAX_STEPS && input.remaining_bytes() > 0; count++) {
        step(&input);
    }
    // Every input starts with an empty lobby, as after the clients left.
    for (GameClientHandler* handler : handlers) {
        manager->notifyDisconnected(handler);
    }
    return 0;
}
