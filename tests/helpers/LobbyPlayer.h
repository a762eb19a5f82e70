// LobbyPlayer.h - a lobby client and the steps of a two-player game; steps give the reason in *why.
#ifndef LOBBYPLAYER_H
#define LOBBYPLAYER_H

#include <unistd.h>

#include <deque>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Deck.h"
#include "GameManager.h"
#include "LoopbackClient.h"
#include "MultiPlayerGame.h"

using ListedPlayer = std::pair<int, std::string>;  // the user id, the name up to its first NUL

// The 24-byte records of a player list; false if the length is not a multiple of 24.
inline bool parsePlayerList(const std::string& payload, std::vector<ListedPlayer>* players) {
    if (payload.size() % PLAYERLIST_RECORD_SIZE != 0) {
        return false;
    }
    players->clear();
    for (size_t at = 0; at < payload.size(); at += PLAYERLIST_RECORD_SIZE) {
        std::string name = payload.substr(at + 4, PROTOCOL_NAME_SIZE);
        players->push_back({readInt32le(payload, at), name.substr(0, name.find('\0'))});
    }
    return true;
}

const int LOBBY_MESSAGE_WAIT_MS = 3500;  // two passes of the manager thread and some slack

class MessageReader {
public:
    explicit MessageReader(LoopbackClient* readClient) : client(readClient) {}

    // The next message that is not a player list; false at the deadline.
    bool next(Envelope* out, int timeoutMs) {
        if (!waitFor([&] { return !pending.empty(); }, timeoutMs)) {
            return false;
        }
        *out = pending.front();
        pending.pop_front();
        return true;
    }
    // A player list equal to `expected` that arrives from now on.
    bool waitForList(const std::vector<ListedPlayer>& expected, int timeoutMs) {
        int seenBefore = listCount;
        return waitFor([&] { return listCount > seenBefore && latestList == expected; }, timeoutMs);
    }
    // The latest player list, which may have come already, equals `expected`.
    bool waitForLatest(const std::vector<ListedPlayer>& expected, int timeoutMs) {
        return waitFor([&] { return listCount > 0 && latestList == expected; }, timeoutMs);
    }
    int listsSeen() const { return listCount; }
    bool anyMessageWithin(int timeoutMs) {
        return waitFor([&] { return !pending.empty(); }, timeoutMs);
    }

private:
    template <typename Condition>
    bool waitFor(Condition done, int timeoutMs) {
        long long deadline = clockMonotonicMs() + timeoutMs;
        while (!done()) {
            std::vector<Envelope> arrived = client->takeQueuedMessages();
            Envelope envelope;
            if (arrived.empty() && client->receiveEnvelope(&envelope, msUntilDeadline(deadline))) {
                arrived.push_back(envelope);
            }
            for (const Envelope& message : arrived) {
                keep(message);
            }
            if (arrived.empty() && clockMonotonicMs() >= deadline) {
                return false;
            } else if (arrived.empty()) {
                usleep(10000);  // the connection failed: no busy loop
            }
        }
        return true;
    }
    void keep(const Envelope& envelope) {
        if (envelope.commType == COMMTYPE_MESSAGE && envelope.id == MSG_RECEIVEPLAYERLIST) {
            parsePlayerList(envelope.payload, &latestList);  // a malformed list leaves the last
            listCount++;
        } else if (envelope.commType == COMMTYPE_MESSAGE) {
            pending.push_back(envelope);
        }
    }

    LoopbackClient* client;
    std::deque<Envelope> pending;
    std::vector<ListedPlayer> latestList;
    int listCount = 0;
};

inline bool lobbyStepFailed(std::string* why, const std::string& text) {
    *why = text;
    return false;
}

class LobbyPlayer {
public:
    explicit LobbyPlayer(const std::string& playerName, const std::string& playerPassword = "pw")
        : name(playerName), password(playerPassword), reader(&client) {}

    bool connect(int port) { return client.connectTo(port); }
    bool reconnect(int port) {
        client.close();
        client.takeQueuedMessages();
        reader = MessageReader(&client);
        return client.connectTo(port);
    }
    // The response code with this player's credentials and the other's name; -1 without one.
    int ask(int reqType, const std::string& otherPlayer = "") {
        std::string other = otherPlayer.empty() ? "" : nameField(otherPlayer);
        return ::ask(&client, reqType, credentials(name, password) + other).code;
    }
    bool sendStop() {
        return client.sendEnvelope(COMMTYPE_MESSAGE, MSG_STOPPRESSED, credentials(name, password));
    }
    // The next message is of msgType; -1 in the failure stands for none.
    bool expect(int msgType, Envelope* out, std::string* why) {
        *out = Envelope{-1, -1, ""};
        return (reader.next(out, LOBBY_MESSAGE_WAIT_MS) && out->id == msgType) ||
               lobbyStepFailed(why, name + ": message " + std::to_string(out->id) + " instead of " +
                                        std::to_string(msgType));
    }
    bool expectPayload(int msgType, const std::string& payload, std::string* why) {
        Envelope message;
        return expect(msgType, &message, why) &&
               (message.payload == payload ||
                lobbyStepFailed(why,
                                name + ": another payload in message " + std::to_string(msgType)));
    }
    // Countdown 3, 2, 1, 0 and the start, each naming the other player.
    bool expectCountdownAndStart(const std::string& otherName, std::string* why) {
        for (char value = 3; value >= 0; value--) {
            if (!expectPayload(MSG_COUNTDOWNFORPLAY, nameField(otherName) + value, why)) {
                return false;
            }
        }
        return expectPayload(MSG_STARTGAMEMASTER, nameField(otherName), why);
    }
    const std::string& getName() const { return name; }
    LoopbackClient& getClient() { return client; }
    MessageReader& getReader() { return reader; }

private:
    std::string name;
    std::string password;
    LoopbackClient client;
    MessageReader reader;
};

inline bool signUpPlayer(int port, const std::string& name, const std::string& password = "pw") {
    LobbyPlayer player(name, password);
    return player.connect(port) && player.ask(REQ_SIGNUP) == RES_OK;
}

inline bool enterLobbyTogether(LobbyPlayer* first, LobbyPlayer* second, std::string* why) {
    for (LobbyPlayer* player : {first, second}) {
        if (player->ask(REQ_MULTI_ATTACHMULTIPLAYER) != RES_OK ||
            player->ask(REQ_MULTI_ADDMULTIPLAYER) != RES_OK) {
            return lobbyStepFailed(why, player->getName() + ": attach or add refused");
        }
    }
    return true;
}

// 37 bytes: 12 cards at rows 0-2, columns 1-4, row by row, distinct stack indices below 81.
inline bool checkCardLayout(const std::string& payload, std::string* why) {
    const size_t count = CARDMESSAGE_CARD_COUNT;
    if (payload.size() != static_cast<size_t>(CARDMESSAGE_SIZE)) {
        return lobbyStepFailed(why, "card message of " + std::to_string(payload.size()) + " bytes");
    }
    std::string expected(1, CARDMESSAGE_CARD_COUNT);
    std::set<unsigned char> indices;
    for (size_t k = 0; k < count; k++) {
        expected += {static_cast<char>(k / 4), static_cast<char>(1 + k % 4), payload[3 + 3 * k]};
        indices.insert(static_cast<unsigned char>(payload[3 + 3 * k]));
    }
    return (payload == expected && indices.size() == count &&
            *indices.rbegin() < DECK_CARD_COUNT) ||
           lobbyStepFailed(why, "the cards are misplaced, unknown or dealt twice");
}

// After the invitee's accept: the invitor is told, both get the countdown, the start and the
// same card message (its payload in *cards).
inline bool followAcceptanceToTheCards(LobbyPlayer* invitor, LobbyPlayer* invitee,
                                       std::string* cards, std::string* why) {
    Envelope first;
    Envelope second;
    bool dealt = invitor->expectPayload(MSG_ACCEPTINVITATION, nameField(invitee->getName()), why) &&
                 invitor->expectCountdownAndStart(invitee->getName(), why) &&
                 invitee->expectCountdownAndStart(invitor->getName(), why) &&
                 invitor->expect(MSG_RECEIVECARDS, &first, why) &&
                 invitee->expect(MSG_RECEIVECARDS, &second, why);
    *cards = first.payload;
    return dealt &&
           (first.payload == second.payload ||
            lobbyStepFailed(why, "the two players got different cards")) &&
           checkCardLayout(first.payload, why);
}

inline bool playUpToTheCards(LobbyPlayer* invitor, LobbyPlayer* invitee, std::string* cards,
                             std::string* why) {
    if (invitor->ask(REQ_MULTI_INVITEMULTIPLAYER, invitee->getName()) != RES_OK) {
        return lobbyStepFailed(why, invitor->getName() + ": invitation refused");
    }
    return invitee->expectPayload(MSG_INVITEMULTIPLAYER, nameField(invitor->getName()), why) &&
           (invitee->ask(REQ_MULTI_ACCEPTINVITATION, invitor->getName()) == RES_OK ||
            lobbyStepFailed(why, invitee->getName() + ": accept refused")) &&
           followAcceptanceToTheCards(invitor, invitee, cards, why);
}

#endif
