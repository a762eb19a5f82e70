// SoakTest.cpp - eight clients on the server binary for about two minutes
// (CARVANTA_SOAK_SECONDS changes it): four sign up, log in, store scores,
// fetch the high-score list, delete accounts and drop their connection in
// the middle of an envelope; two pairs play full lobby games (invitation,
// countdown, cards, stop) and sometimes leave in the middle. Every three
// seconds a randomly chosen client is replaced by a new connection, at
// whatever stage it is. Afterwards the server still answers, its memory has
// not grown by more than 10% since the first 20 seconds, the statistics
// match every acknowledged request, user.dat is sound, and after a restart
// every account is there with its scores.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "SimpleOsa.h"
#include "TestSupport.h"
#include "LoopbackClient.h"
#include "Process.h"
#include "UserFileImage.h"

namespace {

const int DEFAULT_SECONDS = 120;
const int ACCOUNT_WORKERS = 4;
const int PAIRS = 2;
const int CLIENTS = ACCOUNT_WORKERS + 2 * PAIRS;  // the server's eight slots
const int REPLACE_EVERY_MS = 3000;
const int MEMORY_BASELINE_MS = 20000;
const double MEMORY_GROWTH_LIMIT = 1.10;
const int ACCOUNTS_PER_WORKER = 14;
const int HIGHSCORE_LIMIT = 2700;
const int REQUEST_TIMEOUT_MS = 3000;
const int RECONNECT_DEADLINE_MS = 5000;
const int LOBBY_STEP_MS = 4000;  // one manager pass is about a second
const int CARDS_PAYLOAD = 37;
const int ENTRY_SIZE = 50;
// Account clients pause between requests like a person at a game would,
// only much shorter; without it they would only measure the log's speed.
const int ACCOUNT_PAUSE_US = 3000;

enum { COMM_MESSAGE = 1, COMM_REQUEST = 2 };
enum {
    REQ_SIGNUP = 1,
    REQ_STORESCORE = 2,
    REQ_HIGHSCORES = 3,
    REQ_DELETEUSER = 5,
    REQ_CHECKPASSWORD = 6,
    REQ_ATTACH = 7,
    REQ_DETACH = 8,
    REQ_ADD = 9,
    REQ_INVITE = 11,
    REQ_ACCEPT = 13,
};
enum {
    MSG_INVITE = 4,
    MSG_ACCEPT = 6,
    MSG_COUNTDOWN = 8,
    MSG_START = 9,
    MSG_CARDS = 11,
    MSG_FINISHED = 12,
    MSG_STOPPRESSED = 17,
};
const int RES_OK = 0;
const int FINISH_OTHERPLAYERLEFT = 2;

struct Account {
    std::string name;
    std::string password;
    int played = 0;
    int best = 0;
    long long sum = 0;
};

// Shared figures and faults of the run.
struct SoakRecord {
    std::mutex mutex;
    std::vector<std::string> faults;
    std::atomic<long> requests{0};
    std::atomic<long> games{0};
    std::atomic<long> gamesLeft{0};
    std::atomic<long> disconnects{0};
    std::atomic<long> refusals{0};
    std::atomic<long long> longestWaitMs{0};
    std::atomic<bool> replace[CLIENTS];

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
    bool takeReplace(int client) { return replace[client].exchange(false); }
};

int soakSeconds() {
    const char* value = getenv("CARVANTA_SOAK_SECONDS");
    int seconds = value != nullptr ? atoi(value) : 0;
    return seconds > 0 ? seconds : DEFAULT_SECONDS;
}

// One connection of the soak; reconnects after a refusal (the server may
// not have freed the slot of this client's previous connection yet).
class SoakClient {
public:
    SoakClient(int clientIndex, int serverPort, SoakRecord* soakRecord)
        : index(clientIndex), port(serverPort), record(soakRecord) {}

    bool connect() {
        long long deadline = clockMonotonicMs() + RECONNECT_DEADLINE_MS;
        while (clockMonotonicMs() < deadline) {
            if (client.connectTo(port)) {
                return true;
            }
            usleep(50 * 1000);
        }
        record->fault("client " + std::to_string(index) + " could not connect");
        return false;
    }
    void drop() {
        client.close();
        record->disconnects++;
    }
    // A request answered with its response; a refused connection is retried
    // on a new one, a silent server is a fault. False if it never answered.
    bool ask(int reqType, const std::string& payload, Answer* answer) {
        for (int attempt = 0; attempt < 3; attempt++) {
            if (!client.isConnected() && !connect()) {
                return false;
            }
            *answer = ::ask(&client, reqType, payload, REQUEST_TIMEOUT_MS);
            record->requests++;
            record->waited(answer->waitedMs);
            if (answer->outcome == OUTCOME_ANSWERED) {
                return true;
            }
            if (answer->outcome == OUTCOME_TIMEOUT) {
                record->fault("request " + std::to_string(reqType) + " of client " +
                              std::to_string(index) + " got no answer in time");
                client.close();
                return false;
            }
            record->refusals++;
            client.close();
            usleep(100 * 1000);
        }
        record->fault("client " + std::to_string(index) + " was refused three times");
        return false;
    }
    // Expects code; records a fault otherwise.
    bool expect(int reqType, const std::string& payload, int code, const char* what) {
        Answer answer;
        if (!ask(reqType, payload, &answer)) {
            return false;
        }
        if (answer.code != code) {
            record->fault(std::string(what) + ": code " + std::to_string(answer.code) +
                          " instead of " + std::to_string(code));
            return false;
        }
        return true;
    }

    LoopbackClient client;
    int index;
    int port;
    SoakRecord* record;
};

// Sign-ups, log-ins, scores, high-score lists, deletions and broken
// envelopes on one connection.
class AccountWorker {
public:
    AccountWorker(int index, int port, SoakRecord* record)
        : connection(index, port, record), rng(static_cast<unsigned>(index * 7919 + 1)) {}

    void run(long long endMs) {
        int created = 0;
        while (clockMonotonicMs() < endMs) {
            if (connection.record->takeReplace(connection.index)) {
                connection.drop();
            }
            usleep(ACCOUNT_PAUSE_US);
            int action = static_cast<int>(rng() % 100);
            if (action < 2) {
                brokenEnvelope();
            } else if (action < 25 || accounts.empty()) {
                if (accounts.size() < ACCOUNTS_PER_WORKER) {
                    signUp(created++);
                } else {
                    deleteOne();
                }
            } else if (action < 45) {
                Account& account = pick();
                connection.expect(REQ_CHECKPASSWORD, credentials(account.name, account.password),
                                  RES_OK, "log-in");
            } else if (action < 80) {
                storeScore(pick());
            } else {
                highscores(pick());
            }
        }
    }

    std::vector<Account> accounts;
    std::vector<Account> deleted;

private:
    Account& pick() { return accounts[rng() % accounts.size()]; }

    void signUp(int number) {
        Account account;
        account.name = "w" + std::to_string(connection.index) + "n" + std::to_string(number);
        account.password = "p" + std::to_string(rng() % 100000);
        if (connection.expect(REQ_SIGNUP, credentials(account.name, account.password), RES_OK,
                              "sign-up")) {
            accounts.push_back(account);
        }
    }
    void deleteOne() {
        size_t which = rng() % accounts.size();
        Account account = accounts[which];
        if (connection.expect(REQ_DELETEUSER, credentials(account.name, account.password), RES_OK,
                              "delete")) {
            accounts.erase(accounts.begin() + static_cast<long>(which));
            deleted.push_back(account);
        }
    }
    void storeScore(Account& account) {
        int score = static_cast<int>(rng() % HIGHSCORE_LIMIT);
        if (connection.expect(REQ_STORESCORE, scorePayload(account.name, account.password, score),
                              RES_OK, "score")) {
            account.played++;
            account.sum += score;
            account.best = std::max(account.best, score);
        }
    }
    void highscores(Account& account) {
        Answer answer;
        if (!connection.ask(REQ_HIGHSCORES, credentials(account.name, account.password), &answer)) {
            return;
        }
        if (answer.code != RES_OK || (answer.payload.size() - 1) % ENTRY_SIZE != 0) {
            connection.record->fault("high-score list of " + std::to_string(answer.payload.size()) +
                                     " bytes, code " + std::to_string(answer.code));
        }
    }
    // Half a request, then the connection goes: the server must not serve it.
    void brokenEnvelope() {
        if (!connection.client.isConnected() && !connection.connect()) {
            return;
        }
        std::string envelope = encodeEnvelope(COMM_REQUEST, REQ_SIGNUP, credentials("half", "x"));
        connection.client.sendBytes(envelope.substr(0, 1 + rng() % (envelope.size() - 1)));
        connection.drop();
    }

    SoakClient connection;
    std::mt19937 rng;
};

// Two clients that play full lobby games against each other.
class PairWorker {
public:
    PairWorker(int pair, int port, SoakRecord* record)
        : invitor(ACCOUNT_WORKERS + 2 * pair, port, record),
          invitee(ACCOUNT_WORKERS + 2 * pair + 1, port, record),
          rng(static_cast<unsigned>(pair * 104729 + 3)) {
        names[0] = "pa" + std::to_string(pair);
        names[1] = "pb" + std::to_string(pair);
    }

    void run(long long endMs) {
        if (!invitor.expect(REQ_SIGNUP, credentials(names[0], "pw"), RES_OK, "sign-up") ||
            !invitee.expect(REQ_SIGNUP, credentials(names[1], "pw"), RES_OK, "sign-up")) {
            return;
        }
        while (clockMonotonicMs() < endMs) {
            playOneGame();
            leaveLobby();
        }
    }

private:
    SoakClient& side(int which) { return which == 0 ? invitor : invitee; }
    std::string creds(int which) { return credentials(names[which], "pw"); }

    // True if a replacement was due for either client: it leaves at once.
    bool replaced() {
        for (int which = 0; which < 2; which++) {
            if (side(which).record->takeReplace(side(which).index)) {
                side(which).drop();
                return true;
            }
        }
        return false;
    }
    bool attachBoth() {
        for (int which = 0; which < 2; which++) {
            side(which).client.takeQueuedMessages();
            // A slot of the previous connection may still be freed: retry.
            long long deadline = clockMonotonicMs() + RECONNECT_DEADLINE_MS;
            Answer answer;
            do {
                if (!side(which).ask(REQ_ATTACH, creds(which), &answer)) {
                    return false;
                }
            } while (answer.code != RES_OK && clockMonotonicMs() < deadline && usleep(100 * 1000) == 0);
            if (answer.code != RES_OK) {
                side(which).record->fault("attach refused for " + names[which]);
                return false;
            }
            if (!side(which).expect(REQ_ADD, creds(which), RES_OK, "add to list")) {
                return false;
            }
        }
        return true;
    }
    bool waitFor(int which, int message, Envelope* out, const char* what) {
        if (side(which).client.waitMessage(message, out, LOBBY_STEP_MS)) {
            return true;
        }
        side(which).record->fault(std::string(what) + " did not reach " + names[which]);
        return false;
    }
    bool handshake() {
        Envelope envelope;
        if (!invitor.expect(REQ_INVITE, creds(0) + nameField(names[1]), RES_OK, "invite") ||
            replaced() || !waitFor(1, MSG_INVITE, &envelope, "invitation") || replaced() ||
            !invitee.expect(REQ_ACCEPT, creds(1) + nameField(names[0]), RES_OK, "accept") ||
            replaced() || !waitFor(0, MSG_ACCEPT, &envelope, "acceptance")) {
            return false;
        }
        for (int count = 0; count < 4; count++) {
            for (int which = 0; which < 2; which++) {
                if (replaced() || !waitFor(which, MSG_COUNTDOWN, &envelope, "countdown")) {
                    return false;
                }
            }
        }
        return !replaced() && waitFor(0, MSG_START, &envelope, "start") &&
               waitFor(1, MSG_START, &envelope, "start");
    }
    bool cards() {
        Envelope first;
        Envelope second;
        if (!waitFor(0, MSG_CARDS, &first, "cards") || !waitFor(1, MSG_CARDS, &second, "cards")) {
            return false;
        }
        if (first.payload.size() != CARDS_PAYLOAD || first.payload != second.payload ||
            first.payload[0] != 12) {
            invitor.record->fault("the two players got different or malformed layouts");
            return false;
        }
        return true;
    }
    void finish() {
        Envelope envelope;
        if (rng() % 4 == 0) {
            // One player vanishes mid-game; the other is told at once.
            int leaver = static_cast<int>(rng() % 2);
            side(leaver).drop();
            if (waitFor(1 - leaver, MSG_FINISHED, &envelope, "end after a departure") &&
                envelope.payload != int32le(FINISH_OTHERPLAYERLEFT)) {
                invitor.record->fault("end of game after a departure is not OTHERPLAYERLEFT");
            }
            invitor.record->gamesLeft++;
            return;
        }
        int stopper = static_cast<int>(rng() % 2);
        side(stopper).client.sendEnvelope(COMM_MESSAGE, MSG_STOPPRESSED, creds(stopper));
        if (waitFor(0, MSG_FINISHED, &envelope, "end of game") &&
            waitFor(1, MSG_FINISHED, &envelope, "end of game")) {
            invitor.record->games++;
        }
    }
    void playOneGame() {
        if (!attachBoth() || replaced() || !handshake() || replaced() || !cards() || replaced()) {
            return;
        }
        finish();
    }
    // Both leave the lobby; a side whose connection went reconnects later.
    void leaveLobby() {
        for (int which = 0; which < 2; which++) {
            if (side(which).client.isConnected()) {
                Answer answer;
                side(which).ask(REQ_DETACH, creds(which), &answer);
            }
        }
    }

    SoakClient invitor;
    SoakClient invitee;
    std::string names[2];
    std::mt19937 rng;
};

void expectAccountsBack(int port, const std::vector<Account>& live,
                        const std::vector<Account>& deleted) {
    LoopbackClient client;
    ASSERT_TRUE(client.connectTo(port));
    for (const Account& account : live) {
        Answer answer =
            ask(&client, REQ_CHECKPASSWORD, credentials(account.name, account.password));
        EXPECT_EQ(answer.code, RES_OK) << account.name << " is missing after the restart";
    }
    for (const Account& account : deleted) {
        Answer answer =
            ask(&client, REQ_CHECKPASSWORD, credentials(account.name, account.password));
        EXPECT_NE(answer.code, RES_OK) << account.name << " was deleted but came back";
    }
    ASSERT_FALSE(live.empty());
    Answer list = ask(&client, REQ_HIGHSCORES, credentials(live[0].name, live[0].password));
    ASSERT_EQ(list.code, RES_OK);
    std::map<std::string, int> entries = parseHighscoreList(list.payload.substr(1));
    for (const Account& account : live) {
        auto entry = entries.find(account.name);
        ASSERT_NE(entry, entries.end()) << account.name << " is not in the high-score list";
        EXPECT_EQ(entry->second, account.best) << account.name;
    }
}

void expectStatistics(const std::map<std::string, StatsLine>& table,
                      const std::vector<Account>& live) {
    for (const Account& account : live) {
        auto row = table.find(account.name);
        ASSERT_NE(row, table.end()) << account.name;
        EXPECT_EQ(row->second.played, account.played) << account.name;
        EXPECT_EQ(row->second.high, account.best) << account.name;
    }
}

TEST(SoakTest, EightClientsMixingAccountsGamesAndDisconnects) {
    TempDir dir;
    ServerProcess server;
    int port = freePort();
    ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
    SoakRecord record;
    for (std::atomic<bool>& flag : record.replace) {
        flag = false;
    }
    long long start = clockMonotonicMs();
    long long endMs = start + soakSeconds() * 1000LL;

    std::vector<AccountWorker*> accountWorkers;
    std::vector<PairWorker*> pairWorkers;
    std::vector<std::thread> threads;
    for (int index = 0; index < ACCOUNT_WORKERS; index++) {
        accountWorkers.push_back(new AccountWorker(index, port, &record));
        threads.emplace_back([worker = accountWorkers.back(), endMs]() { worker->run(endMs); });
    }
    for (int pair = 0; pair < PAIRS; pair++) {
        pairWorkers.push_back(new PairWorker(pair, port, &record));
        threads.emplace_back([worker = pairWorkers.back(), endMs]() { worker->run(endMs); });
    }

    // Replacements, and the memory figures, from this thread.
    std::mt19937 rng(12345);
    long baselineKb = -1;
    long long nextReplace = start + REPLACE_EVERY_MS;
    while (clockMonotonicMs() < endMs) {
        usleep(100 * 1000);
        if (clockMonotonicMs() >= nextReplace) {
            record.replace[rng() % CLIENTS] = true;
            nextReplace += REPLACE_EVERY_MS;
        }
        if (baselineKb < 0 && clockMonotonicMs() - start >= MEMORY_BASELINE_MS) {
            baselineKb = residentKb(server.pid());
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    long endKb = residentKb(server.pid());

    std::vector<Account> live;
    std::vector<Account> deleted;
    for (AccountWorker* worker : accountWorkers) {
        live.insert(live.end(), worker->accounts.begin(), worker->accounts.end());
        deleted.insert(deleted.end(), worker->deleted.begin(), worker->deleted.end());
        delete worker;
    }
    for (PairWorker* worker : pairWorkers) {
        delete worker;
    }
    std::cout << "soak: " << record.requests << " requests, " << record.games
              << " games played to the end, " << record.gamesLeft << " games left mid-way, "
              << record.disconnects << " disconnects, " << record.refusals
              << " refused connections, longest wait " << record.longestWaitMs << " ms, memory "
              << baselineKb << " kB after 20 s, " << endKb << " kB at the end" << std::endl;
    for (const std::string& fault : record.faults) {
        ADD_FAILURE() << fault;
    }
    EXPECT_GT(record.games, 0);
    ASSERT_TRUE(server.isRunning()) << server.output();
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizer builds hold freed memory back on purpose; the plain build
    // measures.
    ASSERT_GT(baselineKb, 0);
    EXPECT_LE(endKb, static_cast<long>(baselineKb * MEMORY_GROWTH_LIMIT));
#endif

    std::map<std::string, StatsLine> table;
    ASSERT_TRUE(readStatsTable(&server, &table));
    expectStatistics(table, live);
    ASSERT_EQ(server.stop(), 0) << server.output();
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

}  // namespace
