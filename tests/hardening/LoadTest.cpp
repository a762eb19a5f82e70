// LoadTest.cpp - the server binary under mixed load shared by account workers, lobby pairs
// and abusers for 60 s (CARVANTA_LOAD_SECONDS); CARVANTA_LOAD_SEED repeats a run.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "GameProtocol.h"
#include "LobbyPlayer.h"
#include "LoopbackClient.h"
#include "Process.h"
#include "SimpleOsa.h"
#include "TestSupport.h"
#include "UserBase.h"
#include "UserFileImage.h"

namespace {

const int SLOTS = 8;  // two account workers, two pairs and two abusers fill them
const int RECONNECT_MS = 5000;

int setting(const char* name, int fallback) {
    const char* value = getenv(name);
    return value != nullptr && atoi(value) > 0 ? atoi(value) : fallback;
}

// Password, games played, best score and score sum of an account.
using Kept = std::tuple<std::string, int, int, long long>;

// Account requests on one connection that it drops now and then; the accounts that live at the
// end, with what was acknowledged for them, in *accounts.
void runAccounts(int index, int port, unsigned seed, long long endMs,
                 std::map<std::string, Kept>* accounts) {
    std::string tag = "w" + std::to_string(index);
    std::mt19937 rng(seed);
    LoopbackClient client;
    for (int created = 0; clockMonotonicMs() < endMs;) {
        usleep(3000);  // paced, else the workers measure little but the log's speed
        int action = static_cast<int>(rng() % 100);
        if (action < 3) {
            client.close();  // cut envelopes are the abusers'
            continue;
        }
        bool signUp = accounts->empty() || (action < 25 && accounts->size() < 14);
        std::string name = signUp ? tag + "n" + std::to_string(created++)
                                  : std::next(accounts->begin(), rng() % accounts->size())->first;
        Kept& account = (*accounts)[name];
        if (signUp) {
            std::get<0>(account) = "p" + std::to_string(rng());
        }
        int score = static_cast<int>(rng() % 2700);
        int type = signUp        ? REQ_SIGNUP
                   : action < 25 ? REQ_DELETEUSER
                   : action < 32 ? REQ_CHECKUSERANDPASSWORD
                   : action < 40 ? REQ_MULTI_SENDPLAYERLIST
                   : action < 75 ? REQ_STORESINGLEPLAYERSCORE
                                 : REQ_SENDSINGLEPLAYERHIGHSCORES;
        std::string payload = credentials(name, std::get<0>(account)) +
                              (type == REQ_STORESINGLEPLAYERSCORE ? int32le(score) : "");
        // The answer must be OK; a connection refused for want of a slot is tried again on a
        // new one.
        Answer answer;
        waitUntil(
            [&] {
                answer = Answer();
                if (client.isConnected() || client.connectTo(port)) {
                    answer = ask(&client, type, payload);
                }
                if (answer.outcome == OUTCOME_CLOSED) {
                    client.close();
                }
                return answer.outcome != OUTCOME_CLOSED;
            },
            RECONNECT_MS);
        if (answer.code != RES_OK) {
            ADD_FAILURE() << tag << ": request " << type << " got " << answer.code << " (outcome "
                          << answer.outcome << ")";
            client.close();
            accounts->erase(name);
        } else if (type == REQ_DELETEUSER) {
            accounts->erase(name);
        } else if (type == REQ_STORESINGLEPLAYERSCORE) {
            std::get<1>(account)++;
            std::get<2>(account) = std::max(std::get<2>(account), score);
            std::get<3>(account) += score;
        } else if (type == REQ_SENDSINGLEPLAYERHIGHSCORES &&
                   (answer.payload.size() - 1) % USERBASE_ENTRY_SIZE != 0) {
            ADD_FAILURE() << tag << ": high-score list of " << answer.payload.size();
        }
    }
}

// Reads the player's messages up to one of the wanted kind (in *message), skipping what a game
// sends before it.
bool reach(LobbyPlayer* player, std::vector<int> wanted, Envelope* message, std::string* why) {
    const std::vector<int> skipped = {MSG_ACCEPTINVITATION, MSG_COUNTDOWNFORPLAY,
                                      MSG_STARTGAMEMASTER, MSG_RECEIVECARDS};
    std::string where = player->getName() + ": waiting for " + std::to_string(wanted[0]) + ", ";
    while (player->getReader().next(message, LOBBY_MESSAGE_WAIT_MS)) {
        if (std::count(wanted.begin(), wanted.end(), message->id) == 1) {
            return true;
        }
        if (std::count(skipped.begin(), skipped.end(), message->id) == 0) {
            return lobbyStepFailed(why, where + "message " + std::to_string(message->id));
        }
    }
    return lobbyStepFailed(why, where + "nothing");
}

// The game's end comes, in this state.
bool ended(LobbyPlayer* player, int finishState, std::string* why) {
    Envelope message;
    return reach(player, {MSG_GAMEFINISHED}, &message, why) &&
           (message.payload == int32le(finishState) ||
            lobbyStepFailed(why, player->getName() + ": another end state"));
}

// Connects (again) and attaches; refused while the server has not yet freed the last slot.
bool comeBack(LobbyPlayer* player, int port, std::string* why) {
    auto back = [&] {
        return player->reconnect(port) && player->ask(REQ_MULTI_ATTACHMULTIPLAYER) == RES_OK;
    };
    return waitUntil(back, RECONNECT_MS) ||
           lobbyStepFailed(why, player->getName() + ": could not come back");
}

// One round after the accept, ending in one of the six ways a game or its start can end.
bool finishRound(int end, LobbyPlayer* invitor, LobbyPlayer* invitee, int port, std::string* why) {
    Envelope message;
    if (end <= 2) {  // a stop in the game by either side, or by the invitor at the start
        std::string cards;
        bool reached = end == 2 ? reach(invitor, {MSG_STARTGAMEMASTER}, &message, why)
                                : followAcceptanceToTheCards(invitor, invitee, &cards, why);
        return reached && (end == 1 ? invitee : invitor)->sendStop() && ended(invitor, 3, why) &&
               ended(invitee, 3, why);
    }
    // The invitee leaves in the game (3) or right after accepting (5), the invitor in the
    // countdown (4).
    LobbyPlayer* leaver = end == 4 ? invitor : invitee;
    LobbyPlayer* stayer = end == 4 ? invitee : invitor;
    if ((end == 3 && !reach(invitee, {MSG_RECEIVECARDS}, &message, why)) ||
        (end == 4 && !reach(invitee, {MSG_COUNTDOWNFORPLAY}, &message, why))) {
        return false;
    }
    leaver->getClient().close();
    // Right after the accept the invitor hears a rejection or a game that ends.
    bool over = end == 5 ? reach(stayer, {MSG_REJECTINVITATION, MSG_GAMEFINISHED}, &message, why) &&
                               (message.id == MSG_REJECTINVITATION
                                    ? stayer->ask(REQ_MULTI_REMOVEMULTIPLAYER) == RES_OK
                                    : message.payload == int32le(2))
                         : ended(stayer, 2, why);
    return over && comeBack(leaver, port, why);
}

// Two players, round after round, each round ending another way.
void runPair(int pair, int port, long long endMs, std::atomic<long>* rounds) {
    LobbyPlayer invitor("pa" + std::to_string(pair));
    LobbyPlayer invitee("pb" + std::to_string(pair));
    std::string why;
    for (LobbyPlayer* player : {&invitor, &invitee}) {
        if (!waitUntil([&] { return signUpPlayer(port, player->getName()); }, RECONNECT_MS) ||
            !comeBack(player, port, &why)) {
            ADD_FAILURE() << "pair " << pair << ": " << why;
            return;
        }
    }
    for (int round = 0; clockMonotonicMs() < endMs; round++, (*rounds)++) {
        int end = (round + 3 * pair) % 6;
        bool played =
            invitor.ask(REQ_MULTI_ADDMULTIPLAYER) == RES_OK &&
            invitee.ask(REQ_MULTI_ADDMULTIPLAYER) == RES_OK &&
            invitor.ask(REQ_MULTI_INVITEMULTIPLAYER, invitee.getName()) == RES_OK &&
            invitee.expectPayload(MSG_INVITEMULTIPLAYER, nameField(invitor.getName()), &why) &&
            invitee.ask(REQ_MULTI_ACCEPTINVITATION, invitor.getName()) == RES_OK &&
            finishRound(end, &invitor, &invitee, port, &why);
        if (!played) {
            ADD_FAILURE() << "pair " << pair << ", round " << round << ", end " << end << ": "
                          << why;
            return;
        }
    }
}

std::string randomBytes(std::mt19937* rng, size_t count) {
    std::string bytes(count, '\0');
    std::generate(bytes.begin(), bytes.end(), [rng] { return static_cast<char>((*rng)()); });
    return bytes;
}

// Connection bursts beyond the slots, garbage, cut envelopes, lying lengths, broken
// checksums, or silence.
void abuseOnce(int port, std::mt19937* rng) {
    int kind = static_cast<int>((*rng)() % 6);
    std::vector<std::unique_ptr<LoopbackClient>> burst;
    for (int count = 0; count < (kind == 0 ? 2 * SLOTS : 1); count++) {
        burst.emplace_back(new LoopbackClient());
        burst.back()->connectTo(port, 500);
    }
    LoopbackClient* client = burst.back().get();
    std::string payload = credentials("abuser", "pw") + randomBytes(rng, (*rng)() % 100);
    std::string valid = encodeEnvelope(COMMTYPE_REQUEST, static_cast<int>((*rng)() % 20), payload);
    std::string changed = valid;
    changed[6 + (*rng)() % (changed.size() - 6)] ^= static_cast<char>(1 + (*rng)() % 255);
    int declared = static_cast<int>((*rng)() % 7000) - 1000;
    std::string bytes = kind == 1   ? randomBytes(rng, 1 + (*rng)() % 5000)
                        : kind == 2 ? valid.substr(0, 1 + (*rng)() % (valid.size() - 1))
                        : kind == 3
                            ? encodeEnvelopeWithLength(COMMTYPE_REQUEST, 4, declared, payload)
                        : kind == 4 ? changed + valid
                                    : "";
    // Sent in pieces of random size.
    for (size_t at = 0, piece = 0; at < bytes.size() && client->isConnected(); at += piece) {
        piece = 1 + (*rng)() % 700;
        client->sendBytes(bytes.substr(at, piece));
    }
    if (kind != 0 && client->isConnected()) {
        client->receiveRaw(static_cast<int>((*rng)() % 300));
    }
}

}  // namespace

TEST(LoadTest, AccountsGamesAndAbuseShareTheEightSlots) {
    unsigned seed =
        static_cast<unsigned>(setting("CARVANTA_LOAD_SEED", time(nullptr) & 0x7FFFFFFF));
    std::cout << "load test seed " << seed << " (CARVANTA_LOAD_SEED=" << seed
              << " runs the same choices)" << std::endl;
    TempDir dir;
    ServerProcess server;
    int port = freePort();
    ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
    long long start = clockMonotonicMs();
    long long endMs = start + setting("CARVANTA_LOAD_SECONDS", 60) * 1000LL;
    std::map<std::string, Kept> accounts[2];
    std::vector<std::thread> threads;
    std::atomic<long> rounds{0};
    for (int index = 0; index < 2; index++) {
        threads.emplace_back(
            [&, index] { runAccounts(index, port, seed + index, endMs, &accounts[index]); });
        threads.emplace_back([&, index] { runPair(index, port, endMs, &rounds); });
        threads.emplace_back([&, index] {
            for (std::mt19937 rng(seed * 31 + index); clockMonotonicMs() < endMs;) {
                abuseOnce(port, &rng);
            }
        });
    }
    // Memory after the first 20 s may grow by 10% at most to the end.
    waitUntil([&] { return clockMonotonicMs() - start >= 20000; }, 21000);
    [[maybe_unused]] long baselineKb = residentKb(server.pid());
    for (std::thread& thread : threads) {
        thread.join();
    }
    [[maybe_unused]] long endKb = residentKb(server.pid());
    EXPECT_GE(rounds, 4) << "the lobby hardly moved";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizer builds hold freed memory back on purpose.
    ASSERT_GT(baselineKb, 0);
    EXPECT_LE(endKb, baselineKb * 11 / 10) << baselineKb << " kB after 20 s";
#endif
    // Every slot serves again once the load is gone.
    std::vector<std::unique_ptr<LoopbackClient>> fresh(SLOTS);
    for (std::unique_ptr<LoopbackClient>& client : fresh) {
        client.reset(new LoopbackClient());
        EXPECT_TRUE(waitUntil([&] { return client->isConnected() || client->connectTo(port); },
                              RECONNECT_MS));
        EXPECT_EQ(ask(client.get(), REQ_CHECKUSER, credentials("pa0", "")).code, RES_OK);
    }

    // user.dat holds every acknowledged change (the crash test restarts).
    ASSERT_EQ(server.stop(), 0) << server.output().substr(0, 4000);
    EXPECT_EQ(server.output().find("ASSERTION FAILED"), std::string::npos);
    EXPECT_EQ(server.output().find("ThreadSanitizer"), std::string::npos) << server.output();
    std::vector<UserRecord> records;
    ASSERT_TRUE(parseCurrentFile(readFile(dir.file("user.dat")), &records));
    std::map<std::string, Kept> stored;
    for (const UserRecord& record : records) {
        if (record.name.compare(0, 1, "w") == 0) {
            stored[record.name] =
                Kept(record.password, record.gamesPlayed, record.highscore, record.scoreSum);
        }
    }
    // Each live account with what was acknowledged for it; a deleted one is gone.
    accounts[0].insert(accounts[1].begin(), accounts[1].end());
    EXPECT_EQ(stored, accounts[0]);
    EXPECT_EQ(records.size(), stored.size() + 4) << "the four lobby players";
}
