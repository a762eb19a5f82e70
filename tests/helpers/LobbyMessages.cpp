// LobbyMessages.cpp - reading lobby messages for tests.
#include "LobbyMessages.h"

#include <unistd.h>

#include "GameProtocol.h"

namespace {

const size_t LIST_RECORD_SIZE = 24;
const size_t NAME_FIELD_SIZE = 20;
const size_t LIST_NAME_OFFSET = 4;
const useconds_t FAILED_READ_PAUSE_US = 10000;

int remaining(long long deadline) {
    long long left = deadline - monotonicMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

MessageReader::MessageReader(LoopbackClient* readClient) : client(readClient), listCount(0) {}

void MessageReader::keep(const Envelope& envelope) {
    if (envelope.commType != COMMTYPE_MESSAGE) {
        return;
    }
    if (envelope.id == MSG_RECEIVEPLAYERLIST) {
        std::vector<ListedPlayer> players;
        if (parsePlayerList(envelope.payload, &players)) {
            latestList = players;
        }
        listCount++;
        return;
    }
    pending.push_back(envelope);
}

bool MessageReader::pull(long long deadline) {
    std::vector<Envelope> queued = client->takeQueuedMessages();
    for (const Envelope& envelope : queued) {
        keep(envelope);
    }
    if (!queued.empty()) {
        return true;
    }
    Envelope envelope;
    if (!client->receiveEnvelope(&envelope, remaining(deadline))) {
        return false;
    }
    keep(envelope);
    return true;
}

bool MessageReader::waitMore(long long deadline) {
    if (pull(deadline)) {
        return true;
    }
    if (monotonicMs() >= deadline) {
        return false;
    }
    usleep(FAILED_READ_PAUSE_US);  // the connection failed: no busy loop
    return true;
}

bool MessageReader::next(Envelope* out, int timeoutMs) {
    long long deadline = monotonicMs() + timeoutMs;
    while (pending.empty()) {
        if (!waitMore(deadline)) {
            return false;
        }
    }
    *out = pending.front();
    pending.pop_front();
    return true;
}

bool MessageReader::waitForList(const std::vector<ListedPlayer>& expected, int timeoutMs) {
    long long deadline = monotonicMs() + timeoutMs;
    int seenBefore = listCount;
    for (;;) {
        if (listCount > seenBefore && latestList == expected) {
            return true;
        }
        if (!waitMore(deadline)) {
            return false;
        }
    }
}

bool MessageReader::waitForNames(const std::vector<std::string>& names, int timeoutMs) {
    long long deadline = monotonicMs() + timeoutMs;
    for (;;) {
        bool same = listCount > 0 && latestList.size() == names.size();
        for (size_t i = 0; same && i < names.size(); i++) {
            same = latestList[i].name == names[i];
        }
        if (same) {
            return true;
        }
        if (!waitMore(deadline)) {
            return false;
        }
    }
}

bool MessageReader::anyMessageWithin(int timeoutMs) {
    long long deadline = monotonicMs() + timeoutMs;
    while (pending.empty()) {
        if (!waitMore(deadline)) {
            return false;
        }
    }
    return true;
}

bool parsePlayerList(const std::string& payload, std::vector<ListedPlayer>* players) {
    if (payload.size() % LIST_RECORD_SIZE != 0) {
        return false;
    }
    players->clear();
    for (size_t offset = 0; offset < payload.size(); offset += LIST_RECORD_SIZE) {
        ListedPlayer player;
        player.userId = readInt32le(payload, offset);
        player.name = fieldText(payload, offset + LIST_NAME_OFFSET);
        players->push_back(player);
    }
    return true;
}

std::string fieldText(const std::string& payload, size_t offset) {
    if (offset >= payload.size()) {
        return "";
    }
    std::string field = payload.substr(offset, NAME_FIELD_SIZE);
    size_t end = field.find('\0');
    return end == std::string::npos ? field : field.substr(0, end);
}

int readInt32le(const std::string& payload, size_t offset) {
    if (offset + 4 > payload.size()) {
        return -1;
    }
    unsigned int value = 0;
    for (int b = 3; b >= 0; b--) {
        value = (value << 8) | static_cast<unsigned char>(payload[offset + b]);
    }
    return static_cast<int>(value);
}

int requestCode(LoopbackClient* client, int reqType, const std::string& payload, int timeoutMs) {
    std::string response;
    if (!client->request(reqType, payload, &response, timeoutMs) || response.empty()) {
        return -1;
    }
    return static_cast<unsigned char>(response[0]);
}
