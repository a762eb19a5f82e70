// LobbyPlayer.h - one game client of the lobby's tests: an account name and
// password, a LoopbackClient to the server, a reader of the lobby's
// messages in arrival order (player lists kept apart), and the steps of a
// two-player game in the wire format. The steps return false with the
// reason in *why, so they serve test threads too. One thread per player.
#ifndef LOBBYPLAYER_H
#define LOBBYPLAYER_H

#include <deque>
#include <string>
#include <vector>

#include "LoopbackClient.h"

struct ListedPlayer {
    int userId;
    std::string name;  // the name field up to its first NUL
    bool operator==(const ListedPlayer& other) const {
        return userId == other.userId && name == other.name;
    }
};

class MessageReader {
public:
    explicit MessageReader(LoopbackClient* client);

    // The next message in arrival order, player lists skipped (the latest
    // one is kept, see lastList). False at the deadline.
    bool next(Envelope* out, int timeoutMs);
    // Waits for a player list equal to `expected`; false at the deadline.
    bool waitForList(const std::vector<ListedPlayer>& expected, int timeoutMs);
    // Waits until the latest player list holds exactly these names, in
    // order (it may have come already); false at the deadline.
    bool waitForNames(const std::vector<std::string>& names, int timeoutMs);
    // The latest player list seen so far (empty if none), and how many.
    const std::vector<ListedPlayer>& lastList() const { return latestList; }
    int listsSeen() const { return listCount; }
    // True if a message other than a player list arrives within timeoutMs
    // (it is kept for next()).
    bool anyMessageWithin(int timeoutMs);

private:
    // Moves what the client queued and what arrives by the deadline into
    // `pending`; false if nothing new came.
    bool pull(long long deadline);
    void keep(const Envelope& envelope);
    // pull, with a short pause after a failed read; false at the deadline.
    bool waitMore(long long deadline);

    LoopbackClient* client;
    std::deque<Envelope> pending;
    std::vector<ListedPlayer> latestList;
    int listCount;
};

// The 24-byte records of a player list payload; false if the length is not
// a multiple of 24.
bool parsePlayerList(const std::string& payload, std::vector<ListedPlayer>* players);

// Two passes of the manager thread and some slack.
const int LOBBY_MESSAGE_WAIT_MS = 3500;

class LobbyPlayer {
public:
    explicit LobbyPlayer(const std::string& playerName, const std::string& playerPassword = "pw");

    bool connect(int port);
    // Closes the connection and opens a new one (nothing is read meanwhile).
    bool reconnect(int port);
    // The response code of a request with this player's credentials and,
    // if given, the other player's name field; -1 without a response.
    int ask(int reqType, const std::string& otherPlayer = "");
    int askRaw(int reqType, const std::string& payload);
    // MSG_STOPPRESSED with this player's credentials.
    bool sendStop();

    // The next message other than a player list must be msgType.
    bool expect(int msgType, Envelope* out, std::string* why,
                int timeoutMs = LOBBY_MESSAGE_WAIT_MS);
    bool expectPayload(int msgType, const std::string& payload, std::string* why,
                       int timeoutMs = LOBBY_MESSAGE_WAIT_MS);
    // Countdown 3, 2, 1, 0 and the start, each naming the other player.
    bool expectCountdownAndStart(const std::string& otherName, std::string* why);
    // Waits until a player list equal to `names` (in order) arrives.
    bool expectList(const std::vector<std::string>& names, std::string* why,
                    int timeoutMs = LOBBY_MESSAGE_WAIT_MS);

    const std::string& getName() const { return name; }
    const std::string& getPassword() const { return password; }
    LoopbackClient& getClient() { return client; }
    MessageReader& getReader() { return reader; }

private:
    std::string name;
    std::string password;
    LoopbackClient client;
    MessageReader reader;
};

// Signs the player up on a connection of its own; false on any answer but OK.
bool signUpPlayer(int port, const std::string& name, const std::string& password = "pw");

// Both attach and add themselves and see each other listed (in this order).
bool enterLobbyTogether(LobbyPlayer* first, LobbyPlayer* second, std::string* why);
// invitor invites, invitee accepts, both get the countdown and the start,
// and the same 37-byte card message (cards returns its payload).
bool playUpToTheCards(LobbyPlayer* invitor, LobbyPlayer* invitee, std::string* cards,
                      std::string* why);
// The part of it after the invitee's accept: the invitor is told of the
// acceptance, then the countdown, the start and the cards as above.
bool followAcceptanceToTheCards(LobbyPlayer* invitor, LobbyPlayer* invitee, std::string* cards,
                                std::string* why);
// The checks of one card message: 12 cards at rows 0-2, columns 1-4, row by
// row, distinct stack indices below 81.
bool checkCardLayout(const std::string& payload, std::string* why);

#endif
