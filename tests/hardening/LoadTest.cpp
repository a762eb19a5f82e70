// LoadTest.cpp - the server binary under mixed load shared by account workers, lobby pairs
// and abusers for 60 s (CARVANTA_LOAD_SECONDS); CARVANTA_LOAD_SEED repeats a run.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
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

std::mutex faultMutex;
std::vector<std::string> faults;

void fault(const std::string& what) {
    std::lock_guard<std::mutex> lock(faultMutex);
    faults.push_back(what);
}

struct Account {
    std::string name;
    std::string password;
    int played = 0;
    int best = 0;
    long long sum = 0;
};

std::string summary(const std::string& password, int played, int best, long long sum) {
    return password + " " + std::to_string(played) + " " + std::to_string(best) + " " +
           std::to_string(sum);
}

// Account requests on one connection that it drops now and then, sometimes mid-envelope.
struct AccountWorker {
    std::string tag;
    int port;
    std::mt19937 rng;
    LoopbackClient client;
    std::vector<Account> accounts;

    // The answer, which must be OK; a connection refused for want of a slot is tried again on
    // a new one.
    Answer request(int type, const Account& account, const std::string& extra = "") {
        Answer answer;
        std::string payload = credentials(account.name, account.password) + extra;
        bool done = waitUntil(
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
        if (answer.outcome != OUTCOME_ANSWERED) {
            fault(tag + ": request " + std::to_string(type) + (done ? " unanswered" : " refused"));
            client.close();
        } else if (answer.code != RES_OK) {
            fault(tag + ": request " + std::to_string(type) + " got " +
                  std::to_string(answer.code));
        }
        return answer;
    }
    bool ok(int type, const Account& account, const std::string& extra = "") {
        return request(type, account, extra).code == RES_OK;
    }
    void run(long long endMs) {
        for (int created = 0; clockMonotonicMs() < endMs;) {
            usleep(3000);  // paced, else the workers measure little but the log's speed
            int action = static_cast<int>(rng() % 100);
            size_t which = accounts.empty() ? 0 : rng() % accounts.size();
            if (action < 3) {
                std::string half =
                    encodeEnvelope(COMMTYPE_REQUEST, REQ_SIGNUP, credentials("h", "x"));
                if (client.isConnected() && rng() % 2 == 0) {
                    client.sendBytes(half.substr(0, 1 + rng() % (half.size() - 1)));
                }
                client.close();
            } else if ((action < 25 || accounts.empty()) && accounts.size() < 14) {
                Account account{tag + "n" + std::to_string(created++), "p" + std::to_string(rng())};
                if (ok(REQ_SIGNUP, account)) {
                    accounts.push_back(account);
                }
            } else if (action < 25 || accounts.empty()) {
                if (ok(REQ_DELETEUSER, accounts[which])) {
                    accounts.erase(accounts.begin() + static_cast<long>(which));
                }
            } else if (action < 40) {
                ok(action % 2 == 0 ? REQ_CHECKUSERANDPASSWORD : REQ_MULTI_SENDPLAYERLIST,
                   accounts[which]);
            } else if (action < 75) {
                Account& account = accounts[which];
                int score = static_cast<int>(rng() % 2700);
                if (ok(REQ_STORESINGLEPLAYERSCORE, account, int32le(score))) {
                    account.played++;
                    account.sum += score;
                    account.best = std::max(account.best, score);
                }
            } else {
                Answer list = request(REQ_SENDSINGLEPLAYERHIGHSCORES, accounts[which]);
                if (list.code == RES_OK && (list.payload.size() - 1) % USERBASE_ENTRY_SIZE != 0) {
                    fault(tag + ": high-score list of " + std::to_string(list.payload.size()));
                }
            }
        }
    }
};

// Messages until the game's end, skipping what a game sends before it.
bool awaitEnd(LobbyPlayer* player, int finishState, std::string* why) {
    for (Envelope message; player->getReader().next(&message, LOBBY_MESSAGE_WAIT_MS);) {
        if (message.id == MSG_GAMEFINISHED) {
            *why += message.payload == int32le(finishState) ? "" : player->getName() + ": state";
            return message.payload == int32le(finishState);
        }
        if (message.id != MSG_COUNTDOWNFORPLAY && message.id != MSG_STARTGAMEMASTER &&
            message.id != MSG_RECEIVECARDS && message.id != MSG_ACCEPTINVITATION) {
            *why += player->getName() + ": message " + std::to_string(message.id);
            return false;
        }
    }
    *why += player->getName() + ": no end";
    return false;
}

// Connects (again) and attaches; refused while the server has not yet freed the last slot.
bool comeBack(LobbyPlayer* player, int port, std::string* why) {
    auto back = [&] {
        return player->reconnect(port) && player->ask(REQ_MULTI_ATTACHMULTIPLAYER) == RES_OK;
    };
    bool done = waitUntil(back, RECONNECT_MS);
    *why += done ? "" : player->getName() + ": could not come back";
    return done;
}

// One round after the accept, ending in one of the six ways a game or its start can end.
bool finishRound(int end, LobbyPlayer* invitor, LobbyPlayer* invitee, int port, std::string* why) {
    Envelope message;
    std::string cards;
    if (end <= 1) {  // a stop in the game, by either side
        if (!followAcceptanceToTheCards(invitor, invitee, &cards, why)) {
            return false;
        }
        (end == 0 ? invitor : invitee)->sendStop();
        return invitor->expectPayload(MSG_GAMEFINISHED, int32le(3), why) &&
               invitee->expectPayload(MSG_GAMEFINISHED, int32le(3), why);
    }
    if (end == 2) {  // the invitor stops at the start, whether the cards came or not
        if (!invitor->expectPayload(MSG_ACCEPTINVITATION, nameField(invitee->getName()), why) ||
            !invitor->expectCountdownAndStart(invitee->getName(), why)) {
            return false;
        }
        invitor->sendStop();
        return awaitEnd(invitor, 3, why) && awaitEnd(invitee, 3, why);
    }
    if (end == 3) {  // the invitee leaves in the game
        if (!invitee->expectCountdownAndStart(invitor->getName(), why) ||
            !invitee->expect(MSG_RECEIVECARDS, &message, why)) {
            return false;
        }
        invitee->getClient().close();
        return awaitEnd(invitor, 2, why) && comeBack(invitee, port, why);
    }
    if (end == 4) {  // the invitor leaves in the countdown
        if (!invitee->expect(MSG_COUNTDOWNFORPLAY, &message, why)) {
            return false;
        }
        invitor->getClient().close();
        return awaitEnd(invitee, 2, why) && comeBack(invitor, port, why);
    }
    // The invitee leaves right after accepting: a rejection or a game that ends.
    invitee->getClient().close();
    if (!invitor->getReader().next(&message, LOBBY_MESSAGE_WAIT_MS)) {
        *why += "nothing after the invitee left";
        return false;
    }
    bool rejected = message.id == MSG_REJECTINVITATION;
    return (rejected ? invitor->ask(REQ_MULTI_REMOVEMULTIPLAYER) == RES_OK
                     : awaitEnd(invitor, 2, why)) &&
           comeBack(invitee, port, why);
}

// Two players, round after round, each round ending another way.
void runPair(int pair, int port, long long endMs, std::atomic<long>* rounds) {
    LobbyPlayer invitor("pa" + std::to_string(pair));
    LobbyPlayer invitee("pb" + std::to_string(pair));
    std::string why;
    for (LobbyPlayer* player : {&invitor, &invitee}) {
        if (!waitUntil([&] { return signUpPlayer(port, player->getName()); }, RECONNECT_MS) ||
            !comeBack(player, port, &why)) {
            return fault("pair " + std::to_string(pair) + ": " + why);
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
            return fault("pair " + std::to_string(pair) + ", round " + std::to_string(round) +
                         ", end " + std::to_string(end) + ": " + why);
        }
    }
}

std::string randomBytes(std::mt19937* rng, size_t count) {
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>((*rng)() & 0xFF);
    }
    return bytes;
}

// Bytes in pieces of random size.
void sendInPieces(LoopbackClient* client, const std::string& bytes, std::mt19937* rng) {
    for (size_t at = 0, piece = 0; at < bytes.size() && client->isConnected(); at += piece) {
        piece = 1 + (*rng)() % 700;
        client->sendBytes(bytes.substr(at, piece));
    }
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
    if (kind == 1) {
        sendInPieces(client, randomBytes(rng, 1 + (*rng)() % 5000), rng);
    } else if (kind == 2) {
        client->sendBytes(valid.substr(0, 1 + (*rng)() % (valid.size() - 1)));
    } else if (kind == 3) {
        int declared = static_cast<int>((*rng)() % 7000) - 1000;
        sendInPieces(client, encodeEnvelopeWithLength(COMMTYPE_REQUEST, 4, declared, payload), rng);
    } else if (kind == 4) {
        std::string changed = valid;
        changed[6 + (*rng)() % (changed.size() - 6)] ^= static_cast<char>(1 + (*rng)() % 255);
        sendInPieces(client, changed + valid, rng);
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
    std::vector<std::unique_ptr<AccountWorker>> workers;
    std::vector<std::thread> threads;
    std::atomic<long> rounds{0};
    for (int index = 0; index < 2; index++) {
        workers.emplace_back(new AccountWorker{
            "w" + std::to_string(index), port, std::mt19937(seed + index), {}, {}});
        threads.emplace_back([worker = workers.back().get(), endMs] { worker->run(endMs); });
        threads.emplace_back([&, index] { runPair(index, port, endMs, &rounds); });
        threads.emplace_back([&, index] {
            for (std::mt19937 rng(seed * 31 + index); clockMonotonicMs() < endMs;) {
                abuseOnce(port, &rng);
            }
        });
    }
    // Memory after the first 20 s may grow by 10% at most to the end.
    waitUntil([&] { return clockMonotonicMs() - start >= 20000; }, 21000);
    long baselineKb = residentKb(server.pid());
    for (std::thread& thread : threads) {
        thread.join();
    }
    long endKb = residentKb(server.pid());
    for (const std::string& what : faults) {
        ADD_FAILURE() << what;
    }
    EXPECT_GE(rounds, 4) << "the lobby hardly moved";
    ASSERT_TRUE(server.isRunning()) << server.output().substr(0, 4000);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizer builds hold freed memory back on purpose.
    ASSERT_GT(baselineKb, 0);
    EXPECT_LE(endKb, baselineKb * 11 / 10) << baselineKb << " kB after 20 s";
#endif
    // Each live account as "password played best sum"; a deleted one is gone from user.dat.
    std::map<std::string, std::string> expected;
    for (const std::unique_ptr<AccountWorker>& worker : workers) {
        for (const Account& account : worker->accounts) {
            expected[account.name] =
                summary(account.password, account.played, account.best, account.sum);
        }
    }
    workers.clear();  // their connections close
    // Every slot serves again once the load is gone.
    std::vector<std::unique_ptr<LoopbackClient>> fresh(SLOTS);
    for (std::unique_ptr<LoopbackClient>& client : fresh) {
        client.reset(new LoopbackClient());
        EXPECT_TRUE(waitUntil([&] { return client->isConnected() || client->connectTo(port); },
                              RECONNECT_MS));
        EXPECT_EQ(ask(client.get(), REQ_CHECKUSER, credentials("pa0", "")).code, RES_OK);
    }
    fresh.clear();

    // user.dat holds every acknowledged change (the crash test restarts).
    ASSERT_EQ(server.stop(), 0) << server.output().substr(0, 4000);
    EXPECT_EQ(server.output().find("ASSERTION FAILED"), std::string::npos);
    EXPECT_EQ(server.output().find("ThreadSanitizer"), std::string::npos) << server.output();
    std::vector<UserRecord> records;
    ASSERT_TRUE(parseCurrentFile(readFile(dir.file("user.dat")), &records));
    std::map<std::string, std::string> stored;
    for (const UserRecord& record : records) {
        if (record.name.compare(0, 1, "w") == 0) {
            stored[record.name] =
                summary(record.password, record.gamesPlayed, record.highscore, record.scoreSum);
        }
    }
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(records.size(), expected.size() + 4) << "the four lobby players";
}
