// AbuseTest.cpp - while one client keeps signing up, logging in and storing
// scores, others throw everything at the server binary at once: random
// bytes in random pieces, envelopes cut short, envelopes that lie about
// their length or fail their checksum, bursts of connections beyond the
// eight slots, and connections that send nothing at all. Every account
// request must still be answered correctly and in time, the process must
// live on, and once the abuse stops every slot serves again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "SimpleOsa.h"
#include "TestSupport.h"
#include "LoopbackClient.h"
#include "Process.h"

namespace {

const int ABUSE_MS = 20000;
const int ABUSERS = 4;
const int SLOTS = 8;
const int GARBAGE_MAX = 5000;
const int REQUEST_TIMEOUT_MS = 3000;
const int REQ_SIGNUP = 1;
const int REQ_STORESCORE = 2;
const int REQ_DELETEUSER = 5;
const int REQ_CHECKPASSWORD = 6;
const int RES_OK = 0;
const int COMM_REQUEST = 2;

std::string randomBytes(std::mt19937* rng, size_t count) {
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>((*rng)() & 0xFF);
    }
    return bytes;
}

// Sends bytes in pieces of random size with short pauses.
void sendInPieces(LoopbackClient* client, const std::string& bytes, std::mt19937* rng) {
    size_t at = 0;
    while (at < bytes.size() && client->isConnected()) {
        size_t piece = 1 + (*rng)() % 700;
        if (!client->sendBytes(bytes.substr(at, piece))) {
            return;
        }
        at += piece;
        if ((*rng)() % 3 == 0) {
            usleep(1000);
        }
    }
}

// One kind of abuse per round, chosen at random.
void abuseOnce(int port, std::mt19937* rng) {
    LoopbackClient client;
    int kind = static_cast<int>((*rng)() % 6);
    if (kind == 0) {
        // A burst of connections, most of them beyond the free slots.
        std::vector<LoopbackClient*> burst;
        for (int count = 0; count < 2 * SLOTS; count++) {
            burst.push_back(new LoopbackClient());
            burst.back()->connectTo(port, 500);
        }
        for (LoopbackClient* member : burst) {
            delete member;
        }
        return;
    }
    if (!client.connectTo(port, 500)) {
        return;
    }
    std::string payload = credentials("abuser", "pw") + randomBytes(rng, (*rng)() % 100);
    std::string valid = encodeEnvelope(COMM_REQUEST, static_cast<int>((*rng)() % 20), payload);
    switch (kind) {
        case 1:
            sendInPieces(&client, randomBytes(rng, 1 + (*rng)() % GARBAGE_MAX), rng);
            break;
        case 2:
            client.sendBytes(valid.substr(0, 1 + (*rng)() % (valid.size() - 1)));
            break;
        case 3: {
            int declared = static_cast<int>((*rng)() % 7000) - 1000;
            sendInPieces(&client, encodeEnvelopeWithLength(COMM_REQUEST, 4, declared, payload),
                         rng);
            break;
        }
        case 4: {
            std::string changed = valid;
            changed[6 + (*rng)() % (changed.size() - 6)] ^= static_cast<char>(1 + (*rng)() % 255);
            sendInPieces(&client, changed + valid, rng);
            break;
        }
        default:
            usleep(static_cast<useconds_t>((*rng)() % 300) * 1000);  // says nothing
            break;
    }
    client.receiveRaw(static_cast<int>((*rng)() % 50));
}

TEST(AbuseTest, AccountRequestsAreAnsweredWhileOthersSendGarbageAndFlood) {
    TempDir dir;
    ServerProcess server;
    int port = freePort();
    ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
    LoopbackClient player;
    ASSERT_TRUE(player.connectTo(port));
    std::string keeper = credentials("keeper", "secret");
    ASSERT_EQ(ask(&player, REQ_SIGNUP, keeper).code, RES_OK);

    std::atomic<bool> running{true};
    std::atomic<long> abuses{0};
    std::vector<std::thread> abusers;
    for (int index = 0; index < ABUSERS; index++) {
        abusers.emplace_back([&, index]() {
            std::mt19937 rng(static_cast<unsigned>(index * 31 + 7));
            while (running) {
                abuseOnce(port, &rng);
                abuses++;
            }
        });
    }

    long long end = clockMonotonicMs() + ABUSE_MS;
    long long longestMs = 0;
    int accounts = 0;
    while (clockMonotonicMs() < end) {
        std::string name = "player" + std::to_string(accounts++);
        std::string creds = credentials(name, "secret");
        Answer signUp = ask(&player, REQ_SIGNUP, creds, REQUEST_TIMEOUT_MS);
        Answer login = ask(&player, REQ_CHECKPASSWORD, creds, REQUEST_TIMEOUT_MS);
        Answer wrong =
            ask(&player, REQ_CHECKPASSWORD, credentials(name, "nope"), REQUEST_TIMEOUT_MS);
        Answer score = ask(&player, REQ_STORESCORE, scorePayload(name, "secret", 42),
                                 REQUEST_TIMEOUT_MS);
        // Deleted again, so the file store (100 accounts) never fills up.
        Answer removal = ask(&player, REQ_DELETEUSER, creds, REQUEST_TIMEOUT_MS);
        ASSERT_EQ(signUp.code, RES_OK) << name << " " << server.output().substr(0, 2000);
        ASSERT_EQ(login.code, RES_OK) << name;
        ASSERT_NE(wrong.code, RES_OK) << name;
        ASSERT_EQ(wrong.outcome, OUTCOME_ANSWERED) << name;
        ASSERT_EQ(score.code, RES_OK) << name;
        ASSERT_EQ(removal.code, RES_OK) << name;
        for (const Answer* answer : {&signUp, &login, &wrong, &score, &removal}) {
            longestMs = std::max(longestMs, answer->waitedMs);
        }
    }
    running = false;
    for (std::thread& thread : abusers) {
        thread.join();
    }
    ASSERT_TRUE(server.isRunning()) << server.output();

    // Every slot serves again: eight fresh clients, each answered.
    player.close();
    std::vector<LoopbackClient*> fresh;
    long long deadline = clockMonotonicMs() + 5000;
    for (int slot = 0; slot < SLOTS; slot++) {
        fresh.push_back(new LoopbackClient());
        Answer answer;
        do {
            if (fresh.back()->connectTo(port)) {
                answer = ask(fresh.back(), REQ_CHECKPASSWORD, keeper);
            }
        } while (answer.code != RES_OK && clockMonotonicMs() < deadline && usleep(100 * 1000) == 0);
        EXPECT_EQ(answer.code, RES_OK) << "slot " << slot << " does not serve after the abuse";
    }
    for (LoopbackClient* client : fresh) {
        delete client;
    }
    std::cout << "abuse: " << abuses << " abusive connections or bursts, " << accounts
              << " accounts served meanwhile, longest wait " << longestMs << " ms" << std::endl;
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace
