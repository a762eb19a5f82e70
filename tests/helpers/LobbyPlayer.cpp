// LobbyPlayer.cpp - lobby messages and the steps of a two-player game.
#include "LobbyPlayer.h"

#include <unistd.h>

#include <set>

#include "Deck.h"
#include "GameManager.h"
#include "GameProtocol.h"
#include "MultiPlayerGame.h"
#include "SimpleOsa.h"

namespace {

const int COUNTDOWN_FROM = 3;
const useconds_t FAILED_READ_PAUSE_US = 10000;

int remaining(long long deadline) {
    long long left = deadline - clockMonotonicMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool fail(std::string* why, const std::string& text) {
    *why = text;
    return false;
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
    if (clockMonotonicMs() >= deadline) {
        return false;
    }
    usleep(FAILED_READ_PAUSE_US);  // the connection failed: no busy loop
    return true;
}

bool MessageReader::next(Envelope* out, int timeoutMs) {
    long long deadline = clockMonotonicMs() + timeoutMs;
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
    long long deadline = clockMonotonicMs() + timeoutMs;
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
    long long deadline = clockMonotonicMs() + timeoutMs;
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
    long long deadline = clockMonotonicMs() + timeoutMs;
    while (pending.empty()) {
        if (!waitMore(deadline)) {
            return false;
        }
    }
    return true;
}

bool parsePlayerList(const std::string& payload, std::vector<ListedPlayer>* players) {
    if (payload.size() % PLAYERLIST_RECORD_SIZE != 0) {
        return false;
    }
    players->clear();
    for (size_t offset = 0; offset < payload.size(); offset += PLAYERLIST_RECORD_SIZE) {
        ListedPlayer player;
        player.userId = readInt32le(payload, offset);
        player.name = fieldText(payload, offset + 4);
        players->push_back(player);
    }
    return true;
}

LobbyPlayer::LobbyPlayer(const std::string& playerName, const std::string& playerPassword)
    : name(playerName), password(playerPassword), reader(&client) {}

bool LobbyPlayer::connect(int port) {
    return client.connectTo(port);
}

bool LobbyPlayer::reconnect(int port) {
    client.close();
    client.takeQueuedMessages();
    reader = MessageReader(&client);
    return client.connectTo(port);
}

int LobbyPlayer::ask(int reqType, const std::string& otherPlayer) {
    std::string payload = credentials(name, password);
    if (!otherPlayer.empty()) {
        payload += nameField(otherPlayer);
    }
    return askRaw(reqType, payload);
}

int LobbyPlayer::askRaw(int reqType, const std::string& payload) {
    return ::ask(&client, reqType, payload).code;
}

bool LobbyPlayer::sendStop() {
    return client.sendEnvelope(COMMTYPE_MESSAGE, MSG_STOPPRESSED, credentials(name, password));
}

bool LobbyPlayer::expect(int msgType, Envelope* out, std::string* why, int timeoutMs) {
    if (!reader.next(out, timeoutMs)) {
        return fail(why, name + ": no message " + std::to_string(msgType));
    }
    if (out->id != msgType) {
        return fail(why, name + ": message " + std::to_string(out->id) + " instead of " +
                             std::to_string(msgType));
    }
    return true;
}

bool LobbyPlayer::expectPayload(int msgType, const std::string& payload, std::string* why,
                                int timeoutMs) {
    Envelope message;
    if (!expect(msgType, &message, why, timeoutMs)) {
        return false;
    }
    if (message.payload != payload) {
        return fail(why, name + ": unexpected payload of message " + std::to_string(msgType));
    }
    return true;
}

bool LobbyPlayer::expectCountdownAndStart(const std::string& otherName, std::string* why) {
    for (int value = COUNTDOWN_FROM; value >= 0; value--) {
        std::string payload = nameField(otherName) + std::string(1, static_cast<char>(value));
        if (!expectPayload(MSG_COUNTDOWNFORPLAY, payload, why)) {
            *why += " (countdown " + std::to_string(value) + ")";
            return false;
        }
    }
    return expectPayload(MSG_STARTGAMEMASTER, nameField(otherName), why);
}

bool LobbyPlayer::expectList(const std::vector<std::string>& names, std::string* why,
                             int timeoutMs) {
    if (reader.waitForNames(names, timeoutMs)) {
        return true;
    }
    std::string shown;
    for (const ListedPlayer& player : reader.lastList()) {
        shown += " " + player.name;
    }
    return fail(why, name + ": the expected player list did not come; last:" + shown);
}

bool signUpPlayer(int port, const std::string& name, const std::string& password) {
    LobbyPlayer player(name, password);
    return player.connect(port) && player.ask(REQ_SIGNUP) == RES_OK;
}

bool enterLobbyTogether(LobbyPlayer* first, LobbyPlayer* second, std::string* why) {
    for (LobbyPlayer* player : {first, second}) {
        if (player->ask(REQ_MULTI_ATTACHMULTIPLAYER) != RES_OK ||
            player->ask(REQ_MULTI_ADDMULTIPLAYER) != RES_OK) {
            return fail(why, player->getName() + ": attach or add refused");
        }
    }
    return true;
}

bool checkCardLayout(const std::string& payload, std::string* why) {
    if (payload.size() != static_cast<size_t>(CARDMESSAGE_SIZE) || payload[0] != CARDMESSAGE_CARD_COUNT) {
        return fail(why, "card message of " + std::to_string(payload.size()) + " bytes");
    }
    std::set<int> indices;
    for (int k = 0; k < CARDMESSAGE_CARD_COUNT; k++) {
        int row = payload[1 + 3 * k];
        int col = payload[2 + 3 * k];
        int stackIndex = static_cast<unsigned char>(payload[3 + 3 * k]);
        if (row != k / 4 || col != 1 + k % 4 || stackIndex >= DECK_CARD_COUNT) {
            return fail(why, "card " + std::to_string(k) + " misplaced or unknown");
        }
        indices.insert(stackIndex);
    }
    if (indices.size() != static_cast<size_t>(CARDMESSAGE_CARD_COUNT)) {
        return fail(why, "a card dealt twice");
    }
    return true;
}

bool playUpToTheCards(LobbyPlayer* invitor, LobbyPlayer* invitee, std::string* cards,
                      std::string* why) {
    if (invitor->ask(REQ_MULTI_INVITEMULTIPLAYER, invitee->getName()) != RES_OK) {
        return fail(why, invitor->getName() + ": invitation refused");
    }
    if (!invitee->expectPayload(MSG_INVITEMULTIPLAYER, nameField(invitor->getName()), why)) {
        return false;
    }
    if (invitee->ask(REQ_MULTI_ACCEPTINVITATION, invitor->getName()) != RES_OK) {
        return fail(why, invitee->getName() + ": accept refused");
    }
    return followAcceptanceToTheCards(invitor, invitee, cards, why);
}

bool followAcceptanceToTheCards(LobbyPlayer* invitor, LobbyPlayer* invitee, std::string* cards,
                                std::string* why) {
    if (!invitor->expectPayload(MSG_ACCEPTINVITATION, nameField(invitee->getName()), why) ||
        !invitor->expectCountdownAndStart(invitee->getName(), why) ||
        !invitee->expectCountdownAndStart(invitor->getName(), why)) {
        return false;
    }
    Envelope first;
    Envelope second;
    if (!invitor->expect(MSG_RECEIVECARDS, &first, why) ||
        !invitee->expect(MSG_RECEIVECARDS, &second, why)) {
        return false;
    }
    if (first.payload != second.payload) {
        return fail(why, "the two players got different cards");
    }
    *cards = first.payload;
    return checkCardLayout(first.payload, why);
}
