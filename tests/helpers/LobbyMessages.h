// LobbyMessages.h - reading what the lobby sends a LoopbackClient: messages
// in arrival order (also those queued while a request waited for its
// response), the player list records, and the payloads of the game's
// messages. One reader per client, used from one test thread.
#ifndef LOBBYMESSAGES_H
#define LOBBYMESSAGES_H

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
// The text of a 20-byte name field up to its first NUL.
std::string fieldText(const std::string& payload, size_t offset);
// A little-endian 32-bit integer at offset.
int readInt32le(const std::string& payload, size_t offset);

// Sends a request with the given payload and returns the response code
// (the first payload byte), or -1 without a response.
int requestCode(LoopbackClient* client, int reqType, const std::string& payload,
                int timeoutMs = 3000);

#endif
