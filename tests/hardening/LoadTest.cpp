// LoadTest.cpp - the server binary under a mixed load for a bounded time
// (60 s; CARVANTA_LOAD_SECONDS changes it), its eight slots shared by three
// kinds of worker:
//  - account workers sign up, log in, store scores, fetch the high-score
//    and player lists, delete accounts, and now and then drop their
//    connection, sometimes in the middle of an envelope;
//  - pairs play lobby games that end every way a game can end (a stop from
//    either side, at the start or in the game, a departure after accepting,
//    in the countdown or in the game) and come back after leaving;
//  - abusers send random bytes in random pieces, envelopes cut short, lying
//    about their length or failing their checksum, bursts of connections
//    beyond the eight slots, and connections that say nothing.
// Every request must be answered in time (a refused connection is retried),
// every game must end as its players were told, memory must not grow by
// more than 10% after the first 20 s, and afterwards every slot serves, the
// statistics and user.dat match every acknowledged request, the server
// stops cleanly and after a restart every account is back with its scores.
// The seed is printed; CARVANTA_LOAD_SEED runs the same choices again.
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

const int DEFAULT_SECONDS = 60;
const int ACCOUNT_WORKERS = 2;
const int PAIRS = 2;
const int ABUSERS = 2;  // with the above, one connection per slot
const int SLOTS = 8;
const int MEMORY_BASELINE_MS = 20000;
const double MEMORY_GROWTH_LIMIT = 1.10;
const int ACCOUNTS_PER_WORKER = 14;
const int HIGHSCORE_LIMIT = 2700;
const int REQUEST_TIMEOUT_MS = 3000;
const int RECONNECT_MS = 5000;
const int GARBAGE_MAX = 5000;
const useconds_t ACCOUNT_PAUSE_US = 3000;

int settingFromEnvironment(const char* name, int fallback) {
    const char* value = getenv(name);
    int number = value != nullptr ? atoi(value) : 0;
    return number > 0 ? number : fallback;
}

// Figures and faults of the run, shared by the workers.
struct LoadRecord {
    std::mutex mutex;
    std::vector<std::string> faults;
    std::atomic<long> requests{0};
    std::atomic<long> refusals{0};
    std::atomic<long> rounds{0};
    std::atomic<long> abuses{0};
    std::atomic<long long> longestWaitMs{0};

    void fault(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        if (faults.size() < 50) {
            faults.push_back(what);
        }
    }
    void waited(long long ms) {
        long long seen = longestWaitMs.load();
        while (ms > seen && !longestWaitMs.compare_exchange_weak(seen, ms)) {
        }
    }
};

struct Account {
    std::string name;
    std::string password;
    int played = 0;
    int best = 0;
    long long sum = 0;
};

// Account requests on one connection, which it drops now and then.
class AccountWorker {
public:
    AccountWorker(int workerIndex, int serverPort, unsigned seed, LoadRecord* loadRecord)
        : index(workerIndex), port(serverPort), rng(seed), record(loadRecord) {}

    void run(long long endMs) {
        int created = 0;
        while (clockMonotonicMs() < endMs) {
            // Paced like a person at a game, only much faster: unpaced, the
            // workers would measure little but the speed of the log.
            usleep(ACCOUNT_PAUSE_US);
            int action = static_cast<int>(rng() % 100);
            if (action < 3) {
                dropConnection();
            } else if (action < 25 || accounts.empty()) {
                accounts.size() < ACCOUNTS_PER_WORKER ? signUp(created++) : deleteOne();
            } else if (action < 40) {
                Account& account = pick();
                expectOk(REQ_CHECKUSERANDPASSWORD, credentials(account.name, account.password),
                         "log-in");
            } else if (action < 75) {
                storeScore(pick());
            } else if (action < 90) {
                highscores(pick());
            } else {
                Account& account = pick();
                expectOk(REQ_MULTI_SENDPLAYERLIST, credentials(account.name, account.password),
                         "player list");
            }
        }
    }

    std::vector<Account> accounts;
    std::vector<Account> deleted;

private:
    Account& pick() { return accounts[rng() % accounts.size()]; }

    // The request's answer; a connection refused for want of a slot is
    // retried on a new one, a silent server is a fault.
    bool request(int type, const std::string& payload, Answer* answer) {
        bool done = waitUntil(
            [&] {
                if (!client.isConnected() && !client.connectTo(port)) {
                    return false;
                }
                *answer = ask(&client, type, payload, REQUEST_TIMEOUT_MS);
                record->requests++;
                record->waited(answer->waitedMs);
                if (answer->outcome == OUTCOME_CLOSED) {
                    record->refusals++;
                    client.close();
                    return false;
                }
                return true;
            },
            RECONNECT_MS);
        if (!done || answer->outcome == OUTCOME_TIMEOUT) {
            record->fault("request " + std::to_string(type) + " of worker " +
                          std::to_string(index) + (done ? " got no answer in time" : " refused"));
            client.close();
            return false;
        }
        return true;
    }
    bool expectOk(int type, const std::string& payload, const char* what) {
        Answer answer;
        if (!request(type, payload, &answer)) {
            return false;
        }
        if (answer.code != RES_OK) {
            record->fault(std::string(what) + ": code " + std::to_string(answer.code));
        }
        return answer.code == RES_OK;
    }
    void signUp(int number) {
        Account account;
        account.name = "w" + std::to_string(index) + "n" + std::to_string(number);
        account.password = "p" + std::to_string(rng() % 100000);
        if (expectOk(REQ_SIGNUP, credentials(account.name, account.password), "sign-up")) {
            accounts.push_back(account);
        }
    }
    void deleteOne() {
        size_t which = rng() % accounts.size();
        Account account = accounts[which];
        if (expectOk(REQ_DELETEUSER, credentials(account.name, account.password), "delete")) {
            accounts.erase(accounts.begin() + static_cast<long>(which));
            deleted.push_back(account);
        }
    }
    void storeScore(Account& account) {
        int score = static_cast<int>(rng() % HIGHSCORE_LIMIT);
        if (expectOk(REQ_STORESINGLEPLAYERSCORE,
                     scorePayload(account.name, account.password, score), "score")) {
            account.played++;
            account.sum += score;
            account.best = std::max(account.best, score);
        }
    }
    void highscores(Account& account) {
        Answer answer;
        if (request(REQ_SENDSINGLEPLAYERHIGHSCORES, credentials(account.name, account.password),
                    &answer) &&
            (answer.code != RES_OK || (answer.payload.size() - 1) % USERBASE_ENTRY_SIZE != 0)) {
            record->fault("high-score list of " + std::to_string(answer.payload.size()) +
                          " bytes, code " + std::to_string(answer.code));
        }
    }
    // The connection goes, half the time with half a request sent: the
    // server must not serve that half.
    void dropConnection() {
        if (client.isConnected() && rng() % 2 == 0) {
            std::string envelope =
                encodeEnvelope(COMMTYPE_REQUEST, REQ_SIGNUP, credentials("half", "x"));
            client.sendBytes(envelope.substr(0, 1 + rng() % (envelope.size() - 1)));
        }
        client.close();
    }

    int index;
    int port;
    std::mt19937 rng;
    LoadRecord* record;
    LoopbackClient client;
};

// How one round of a pair ends.
typedef enum {
    END_INVITOR_STOPS,
    END_INVITEE_STOPS,
    END_INVITEE_LEAVES_IN_GAME,
    END_INVITOR_LEAVES_IN_COUNTDOWN,
    END_INVITEE_LEAVES_AFTER_ACCEPTING,
    END_INVITOR_STOPS_AT_THE_START,
    END_KINDS,
} roundEnd_t;

bool failWith(std::string* why, const std::string& text) {
    *why += text;
    return false;
}

// Messages until MSG_GAMEFINISHED, skipping what a game sends before it.
bool awaitEnd(LobbyPlayer* player, int finishState, std::string* why) {
    for (;;) {
        Envelope message;
        if (!player->getReader().next(&message, LOBBY_MESSAGE_WAIT_MS)) {
            return failWith(why, player->getName() + ": no end");
        }
        if (message.id == MSG_GAMEFINISHED) {
            return message.payload == int32le(finishState) ||
                   failWith(why, player->getName() + ": finish state");
        }
        if (message.id != MSG_COUNTDOWNFORPLAY && message.id != MSG_STARTGAMEMASTER &&
            message.id != MSG_RECEIVECARDS && message.id != MSG_ACCEPTINVITATION) {
            return failWith(why, player->getName() + ": message " + std::to_string(message.id));
        }
    }
}

// A player connects (again) and attaches; a connection refused for want of
// a slot, or an attach refused while the server has not yet freed the slot
// of the last connection, is tried again.
bool comeBack(LobbyPlayer* player, int port, std::string* why) {
    return waitUntil(
               [&] {
                   return player->reconnect(port) &&
                          player->ask(REQ_MULTI_ATTACHMULTIPLAYER) == RES_OK;
               },
               RECONNECT_MS) ||
           failWith(why, player->getName() + ": could not come back");
}

bool stopInGame(LobbyPlayer* invitor, LobbyPlayer* invitee, bool invitorStops, std::string* why) {
    std::string cards;
    if (!followAcceptanceToTheCards(invitor, invitee, &cards, why)) {
        return false;
    }
    (invitorStops ? invitor : invitee)->sendStop();
    return invitor->expectPayload(MSG_GAMEFINISHED, int32le(3), why) &&
           invitee->expectPayload(MSG_GAMEFINISHED, int32le(3), why);
}

// One round after the accept: the game or its preparation ends as `end` says.
bool finishRound(roundEnd_t end, LobbyPlayer* invitor, LobbyPlayer* invitee, int port,
                 std::string* why) {
    Envelope message;
    switch (end) {
        case END_INVITOR_STOPS:
        case END_INVITEE_STOPS:
            return stopInGame(invitor, invitee, end == END_INVITOR_STOPS, why);
        case END_INVITOR_STOPS_AT_THE_START:
            if (!invitor->expectPayload(MSG_ACCEPTINVITATION, nameField(invitee->getName()), why) ||
                !invitor->expectCountdownAndStart(invitee->getName(), why)) {
                return false;
            }
            invitor->sendStop();  // the cards may or may not have been dealt yet
            return awaitEnd(invitor, 3, why) && awaitEnd(invitee, 3, why);
        case END_INVITEE_LEAVES_IN_GAME:
            if (!invitee->expectCountdownAndStart(invitor->getName(), why) ||
                !invitee->expect(MSG_RECEIVECARDS, &message, why)) {
                return false;
            }
            invitee->getClient().close();
            return awaitEnd(invitor, 2, why) && comeBack(invitee, port, why);
        case END_INVITOR_LEAVES_IN_COUNTDOWN:
            if (!invitee->expect(MSG_COUNTDOWNFORPLAY, &message, why)) {
                return false;
            }
            invitor->getClient().close();
            return awaitEnd(invitee, 2, why) && comeBack(invitor, port, why);
        default:
            invitee->getClient().close();
            if (!invitor->getReader().next(&message, LOBBY_MESSAGE_WAIT_MS)) {
                return failWith(why, "nothing after the invitee left");
            }
            if (message.id != MSG_REJECTINVITATION && !awaitEnd(invitor, 2, why)) {
                return false;
            }
            // Rejected: the invitor is listed again; take it off for the next round.
            return (message.id != MSG_REJECTINVITATION ||
                    invitor->ask(REQ_MULTI_REMOVEMULTIPLAYER) == RES_OK) &&
                   comeBack(invitee, port, why);
    }
}

bool playRound(roundEnd_t end, LobbyPlayer* invitor, LobbyPlayer* invitee, int port,
               std::string* why) {
    if (invitor->ask(REQ_MULTI_ADDMULTIPLAYER) != RES_OK ||
        invitee->ask(REQ_MULTI_ADDMULTIPLAYER) != RES_OK) {
        return failWith(why, "add refused");
    }
    if (invitor->ask(REQ_MULTI_INVITEMULTIPLAYER, invitee->getName()) != RES_OK ||
        !invitee->expectPayload(MSG_INVITEMULTIPLAYER, nameField(invitor->getName()), why) ||
        invitee->ask(REQ_MULTI_ACCEPTINVITATION, invitor->getName()) != RES_OK) {
        return failWith(why, " (invitation)");
    }
    return finishRound(end, invitor, invitee, port, why);
}

// Two players that play round after round, each round ending another way.
void runPair(int pair, int port, long long endMs, LoadRecord* record) {
    LobbyPlayer invitor("pa" + std::to_string(pair));
    LobbyPlayer invitee("pb" + std::to_string(pair));
    std::string why;
    for (LobbyPlayer* player : {&invitor, &invitee}) {
        if (!waitUntil([&] { return signUpPlayer(port, player->getName()); }, RECONNECT_MS) ||
            !comeBack(player, port, &why)) {
            record->fault("pair " + std::to_string(pair) + ": " + why);
            return;
        }
    }
    for (int round = 0; clockMonotonicMs() < endMs; round++) {
        roundEnd_t end = static_cast<roundEnd_t>((round + 3 * pair) % END_KINDS);
        if (!playRound(end, &invitor, &invitee, port, &why)) {
            record->fault("pair " + std::to_string(pair) + " in round " + std::to_string(round) +
                          ", end " + std::to_string(end) + ": " + why);
            return;
        }
        record->rounds++;
    }
}

std::string randomBytes(std::mt19937* rng, size_t count) {
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>((*rng)() & 0xFF);
    }
    return bytes;
}

// Sends bytes in pieces of random size.
void sendInPieces(LoopbackClient* client, const std::string& bytes, std::mt19937* rng) {
    for (size_t at = 0; at < bytes.size() && client->isConnected();) {
        size_t piece = 1 + (*rng)() % 700;
        if (!client->sendBytes(bytes.substr(at, piece))) {
            return;
        }
        at += piece;
    }
}

// One kind of abuse, chosen at random.
void abuseOnce(int port, std::mt19937* rng) {
    int kind = static_cast<int>((*rng)() % 6);
    if (kind == 0) {
        // A burst of connections, most of them beyond the free slots.
        std::vector<std::unique_ptr<LoopbackClient>> burst;
        for (int count = 0; count < 2 * SLOTS; count++) {
            burst.emplace_back(new LoopbackClient());
            burst.back()->connectTo(port, 500);
        }
        return;
    }
    LoopbackClient client;
    if (!client.connectTo(port, 500)) {
        return;
    }
    std::string payload = credentials("abuser", "pw") + randomBytes(rng, (*rng)() % 100);
    std::string valid = encodeEnvelope(COMMTYPE_REQUEST, static_cast<int>((*rng)() % 20), payload);
    if (kind == 1) {
        sendInPieces(&client, randomBytes(rng, 1 + (*rng)() % GARBAGE_MAX), rng);
    } else if (kind == 2) {
        client.sendBytes(valid.substr(0, 1 + (*rng)() % (valid.size() - 1)));
    } else if (kind == 3) {
        int declared = static_cast<int>((*rng)() % 7000) - 1000;
        sendInPieces(&client, encodeEnvelopeWithLength(COMMTYPE_REQUEST, 4, declared, payload),
                     rng);
    } else if (kind == 4) {
        std::string changed = valid;
        changed[6 + (*rng)() % (changed.size() - 6)] ^= static_cast<char>(1 + (*rng)() % 255);
        sendInPieces(&client, changed + valid, rng);
    }
    // Whatever came back (or, for kind 5, nothing sent at all) within a while.
    client.receiveRaw(static_cast<int>((*rng)() % 300));
}

void expectAccountsBack(int port, const std::vector<Account>& live,
                        const std::vector<Account>& deleted) {
    LoopbackClient client;
    ASSERT_TRUE(client.connectTo(port));
    for (const Account& account : live) {
        EXPECT_EQ(ask(&client, REQ_CHECKUSERANDPASSWORD,
                      credentials(account.name, account.password))
                      .code,
                  RES_OK)
            << account.name << " is missing after the restart";
    }
    for (const Account& account : deleted) {
        EXPECT_NE(ask(&client, REQ_CHECKUSERANDPASSWORD,
                      credentials(account.name, account.password))
                      .code,
                  RES_OK)
            << account.name << " was deleted but came back";
    }
    ASSERT_FALSE(live.empty());
    Answer list = ask(&client, REQ_SENDSINGLEPLAYERHIGHSCORES,
                      credentials(live[0].name, live[0].password));
    ASSERT_EQ(list.code, RES_OK);
    std::map<std::string, int> entries = parseHighscoreList(list.payload.substr(1));
    for (const Account& account : live) {
        auto entry = entries.find(account.name);
        ASSERT_NE(entry, entries.end()) << account.name << " is not in the high-score list";
        EXPECT_EQ(entry->second, account.best) << account.name;
    }
}

}  // namespace

TEST(LoadTest, AccountsGamesAndAbuseShareTheEightSlots) {
    unsigned seed = static_cast<unsigned>(
        settingFromEnvironment("CARVANTA_LOAD_SEED", static_cast<int>(time(nullptr) & 0x7FFFFFFF)));
    std::cout << "load test seed " << seed << " (CARVANTA_LOAD_SEED=" << seed
              << " runs the same choices)" << std::endl;
    TempDir dir;
    ServerProcess server;
    int port = freePort();
    ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
    LoadRecord record;
    long long start = clockMonotonicMs();
    long long endMs = start + settingFromEnvironment("CARVANTA_LOAD_SECONDS", DEFAULT_SECONDS) * 1000LL;

    std::vector<std::unique_ptr<AccountWorker>> accountWorkers;
    std::vector<std::thread> threads;
    for (int index = 0; index < ACCOUNT_WORKERS; index++) {
        accountWorkers.emplace_back(new AccountWorker(index, port, seed + index, &record));
        threads.emplace_back([worker = accountWorkers.back().get(), endMs] { worker->run(endMs); });
    }
    for (int pair = 0; pair < PAIRS; pair++) {
        threads.emplace_back([&, pair] { runPair(pair, port, endMs, &record); });
    }
    std::atomic<bool> abusing{true};
    std::vector<std::thread> abusers;
    for (int index = 0; index < ABUSERS; index++) {
        abusers.emplace_back([&, index] {
            std::mt19937 rng(seed * 31 + index);
            while (abusing) {
                abuseOnce(port, &rng);
                record.abuses++;
            }
        });
    }
    long baselineKb = -1;
    waitUntil(
        [&] {
            return clockMonotonicMs() - start >= MEMORY_BASELINE_MS &&
                   (baselineKb = residentKb(server.pid())) != 0;
        },
        MEMORY_BASELINE_MS + 1000);
    for (std::thread& thread : threads) {
        thread.join();
    }
    abusing = false;
    for (std::thread& thread : abusers) {
        thread.join();
    }
    long endKb = residentKb(server.pid());
    std::cout << "load: " << record.requests << " requests, " << record.refusals
              << " refused, longest wait " << record.longestWaitMs << " ms, " << record.rounds
              << " lobby rounds, " << record.abuses << " abuses, memory " << baselineKb
              << " kB after 20 s, " << endKb << " kB at the end" << std::endl;
    for (const std::string& fault : record.faults) {
        ADD_FAILURE() << fault;
    }
    EXPECT_GE(record.rounds, 2 * PAIRS) << "the lobby hardly moved";
    ASSERT_TRUE(server.isRunning()) << server.output().substr(0, 4000);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizer builds hold freed memory back on purpose; the plain build
    // measures.
    ASSERT_GT(baselineKb, 0);
    EXPECT_LE(endKb, static_cast<long>(baselineKb * MEMORY_GROWTH_LIMIT));
#endif

    std::vector<Account> live;
    std::vector<Account> deleted;
    for (const std::unique_ptr<AccountWorker>& worker : accountWorkers) {
        live.insert(live.end(), worker->accounts.begin(), worker->accounts.end());
        deleted.insert(deleted.end(), worker->deleted.begin(), worker->deleted.end());
    }
    accountWorkers.clear();  // their connections close

    // Every slot serves again: eight fresh clients, each answered.
    std::vector<std::unique_ptr<LoopbackClient>> fresh;
    for (int slot = 0; slot < SLOTS; slot++) {
        fresh.emplace_back(new LoopbackClient());
        LoopbackClient* client = fresh.back().get();
        EXPECT_TRUE(waitUntil(
            [&] {
                return (client->isConnected() || client->connectTo(port)) &&
                       ask(client, REQ_CHECKUSER, credentials("pa0", "")).code == RES_OK;
            },
            RECONNECT_MS))
            << "slot " << slot << " does not serve after the load";
    }
    fresh.clear();

    std::map<std::string, StatsLine> table;
    ASSERT_TRUE(readStatsTable(&server, &table));
    for (const Account& account : live) {
        auto row = table.find(account.name);
        ASSERT_NE(row, table.end()) << account.name;
        EXPECT_EQ(row->second.played, account.played) << account.name;
        EXPECT_EQ(row->second.high, account.best) << account.name;
    }
    ASSERT_EQ(server.stop(), 0) << server.output().substr(0, 4000);
    std::string output = server.output();
    EXPECT_EQ(output.find("ASSERTION FAILED"), std::string::npos);
    EXPECT_EQ(output.find("ThreadSanitizer"), std::string::npos)
        << output.substr(output.find("ThreadSanitizer") > 2000 ? output.find("ThreadSanitizer") - 2000
                                                               : 0,
                         8000);
    std::vector<UserRecord> records;
    ASSERT_TRUE(parseCurrentFile(readFile(dir.file("user.dat")), &records));
    EXPECT_EQ(records.size(), live.size() + 2 * PAIRS);
    for (const Account& account : live) {
        auto stored = std::find_if(records.begin(), records.end(),
                                   [&](const UserRecord& r) { return r.name == account.name; });
        ASSERT_NE(stored, records.end()) << account.name << " is not in user.dat";
        EXPECT_EQ(stored->gamesPlayed, account.played) << account.name;
        EXPECT_EQ(stored->highscore, account.best) << account.name;
        EXPECT_EQ(stored->scoreSum, account.sum) << account.name;
    }

    ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
    expectAccountsBack(port, live, deleted);
    EXPECT_EQ(server.stop(), 0);
}
