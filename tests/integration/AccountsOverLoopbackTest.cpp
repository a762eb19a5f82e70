// AccountsOverLoopbackTest.cpp - the real server binary with the file store,
// spoken to over 127.0.0.1 in the wire format only: account and score
// requests byte for byte, restarts with the data kept, a 2.1 file converted,
// a damaged file loaded in part and kept, sign-ups from eight clients at
// once, SIGKILL during sign-up traffic, and a quit while a request hangs in
// the store.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "FreePort.h"
#include "GameProtocol.h"
#include "LoopbackClient.h"
#include "RawPeer.h"
#include "ServerProcess.h"
#include "TempDir.h"
#include "UserFileImage.h"

namespace {

const int ENTRY_SIZE = 50;
const size_t MARKER_BLOCK = 26;
const size_t RECORD_BLOCK = 90;
const int CLIENTS = 8;

std::string code(int value) {
    return std::string(1, static_cast<char>(value));
}

class AccountsOverLoopbackTest : public ::testing::Test {
protected:
    void startServer() { ASSERT_TRUE(server.start(dir.path(), freePort())) << server.output(); }
    void restartServer() {
        ASSERT_EQ(server.stop(), 0) << server.output();
        startServer();
    }
    void connect(LoopbackClient* client) {
        ASSERT_TRUE(client->connectTo(server.port())) << server.output();
    }
    // The response payload, or "<no response>" when none came in time.
    std::string ask(LoopbackClient* client, int type, const std::string& payload) {
        std::string response;
        if (!client->request(type, payload, &response, 3000)) {
            return "<no response>";
        }
        return response;
    }
    std::string ask(int type, const std::string& payload) {
        LoopbackClient client;
        connect(&client);
        return ask(&client, type, payload);
    }
    std::vector<UserRecord> savedRecords() {
        std::vector<UserRecord> records;
        EXPECT_TRUE(parseCurrentFile(readFile(dir.file("user.dat")), &records));
        return records;
    }

    TempDir dir;
    ServerProcess server;
};

TEST_F(AccountsOverLoopbackTest, AccountAndScoreRequestsAreAnsweredByteForByte) {
    startServer();
    LoopbackClient client;
    connect(&client);
    EXPECT_EQ(ask(&client, REQ_SIGNUP, credentials("alice", "pw")), code(RES_OK));
    EXPECT_EQ(ask(&client, REQ_SIGNUP, credentials("alice", "other")), code(RES_USEREXISTS));
    EXPECT_EQ(ask(&client, REQ_CHECKUSER, credentials("nobody", "")), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(ask(&client, REQ_CHECKUSER, credentials("alice", "")), code(RES_OK));
    EXPECT_EQ(ask(&client, REQ_CHECKUSERANDPASSWORD, credentials("alice", "bad")),
              code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(ask(&client, REQ_CHECKUSERANDPASSWORD, credentials("alice", "pw")), code(RES_OK));
    EXPECT_EQ(ask(&client, REQ_STORESINGLEPLAYERSCORE, credentials("alice", "bad") + int32le(9)),
              code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(ask(&client, REQ_STORESINGLEPLAYERSCORE, credentials("alice", "pw") + int32le(1234)),
              code(RES_OK));
    EXPECT_EQ(ask(&client, REQ_SENDSINGLEPLAYERHIGHSCORES, credentials("alice", "pw")),
              code(RES_OK) + highscoreSlot(1, "alice", todayDateText(), 1234));
    EXPECT_EQ(ask(&client, REQ_SENDSINGLEPLAYERHIGHSCORES, credentials("alice", "bad")),
              code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(ask(&client, REQ_MULTI_SENDPLAYERLIST, credentials("alice", "bad")),
              code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(ask(&client, REQ_MULTI_ATTACHMULTIPLAYER, credentials("alice", "bad")),
              code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(ask(&client, 16, credentials("alice", "pw")), "");
    EXPECT_EQ(ask(&client, REQ_DELETEUSER, credentials("alice", "bad")),
              code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(ask(&client, REQ_DELETEUSER, credentials("alice", "pw")), code(RES_OK));
    EXPECT_EQ(ask(&client, REQ_CHECKUSER, credentials("alice", "")), code(RES_USERDOESNOTEXIST));
    EXPECT_TRUE(server.waitForOutput("INFO: REQUEST: delete user alice/pw ->", 3000));
}

TEST_F(AccountsOverLoopbackTest, RefusedSignUpIsThirteenBytesWithItsChecksum) {
    startServer();
    LoopbackClient client;
    connect(&client);
    ASSERT_EQ(ask(&client, REQ_SIGNUP, credentials("taken", "pw")), code(RES_OK));
    ASSERT_TRUE(client.sendEnvelope(COMMTYPE_REQUEST, REQ_SIGNUP, credentials("taken", "pw")));
    std::string raw;
    long long deadline = monotonicMs() + 3000;
    while (raw.size() < 13 && monotonicMs() < deadline) {
        raw += client.receiveRaw(100);
    }
    raw += client.receiveRaw(200);  // nothing more may follow
    ASSERT_EQ(raw.size(), 13u);
    EXPECT_EQ(static_cast<unsigned char>(raw[5]), 0x48);
    Envelope response;
    ASSERT_TRUE(decodeEnvelope(raw, &response));
    EXPECT_EQ(response.commType, COMMTYPE_RESPONSE);
    EXPECT_EQ(response.id, REQ_SIGNUP);
    EXPECT_EQ(response.payload, code(RES_USEREXISTS));
}

TEST_F(AccountsOverLoopbackTest, AccountsAndScoresSurviveARestart) {
    startServer();
    for (const char* name : {"ann", "ben", "cat"}) {
        ASSERT_EQ(ask(REQ_SIGNUP, credentials(name, std::string(name) + "pw")), code(RES_OK));
    }
    ASSERT_EQ(ask(REQ_STORESINGLEPLAYERSCORE, credentials("ben", "benpw") + int32le(300)),
              code(RES_OK));
    ASSERT_EQ(ask(REQ_STORESINGLEPLAYERSCORE, credentials("cat", "catpw") + int32le(120)),
              code(RES_OK));
    std::string before = ask(REQ_SENDSINGLEPLAYERHIGHSCORES, credentials("ann", "annpw"));
    ASSERT_EQ(before.size(), 1u + 3 * ENTRY_SIZE);

    restartServer();
    EXPECT_EQ(readFile(dir.file("user.dat")).size(), MARKER_BLOCK + 3 * RECORD_BLOCK);
    EXPECT_TRUE(server.waitForOutput("User: ann\nUser: ben\nUser: cat\n", 3000));
    for (const char* name : {"ann", "ben", "cat"}) {
        EXPECT_EQ(ask(REQ_CHECKUSERANDPASSWORD, credentials(name, std::string(name) + "pw")),
                  code(RES_OK))
            << name;
    }
    EXPECT_EQ(ask(REQ_SENDSINGLEPLAYERHIGHSCORES, credentials("cat", "catpw")), before);
    EXPECT_EQ(ask(REQ_SIGNUP, credentials("dan", "x")), code(RES_OK));
    restartServer();
    std::vector<UserRecord> records = savedRecords();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[3].name, "dan");
    EXPECT_EQ(records[3].id, 4);
}

TEST_F(AccountsOverLoopbackTest, Version21FileIsConvertedAtStart) {
    std::string original = version21FileImage({{"old1", "p1", 3, 250, 12, 0, " 1- 2-2003", 4, 2},
                                               {"old2", "p2", 9, 90, 5, 0, "28-11-2004", 0, 0}});
    writeFile(dir.file("user.dat"), original);
    startServer();
    EXPECT_TRUE(server.waitForOutput("Converting user: old1\nConverting user: old2\n", 3000));
    EXPECT_EQ(readFile(dir.file("user.dat.old")), original);
    EXPECT_EQ(readFile(dir.file("user.dat")).size(), MARKER_BLOCK + 2 * RECORD_BLOCK);
    EXPECT_EQ(ask(REQ_CHECKUSERANDPASSWORD, credentials("old2", "p2")), code(RES_OK));
    EXPECT_EQ(ask(REQ_SENDSINGLEPLAYERHIGHSCORES, credentials("old1", "p1")),
              code(RES_OK) + highscoreSlot(1, "old1", " 1- 2-2003", 250) +
                  highscoreSlot(2, "old2", "28-11-2004", 90));
}

TEST_F(AccountsOverLoopbackTest, DamagedFileLoadsItsIntactRecordsAndIsKept) {
    std::string image = currentFileImage({{"d1", "p", 1, 0, 0, 0, "00-00-0000", 0, 0},
                                          {"d2", "p", 2, 0, 0, 0, "00-00-0000", 0, 0},
                                          {"d3", "p", 3, 0, 0, 0, "00-00-0000", 0, 0}});
    image[MARKER_BLOCK + 2 * RECORD_BLOCK + 6 + 3] ^= 0x40;
    writeFile(dir.file("user.dat"), image);
    startServer();
    EXPECT_TRUE(
        server.waitForOutput("User database compromised, skipping rest of the database", 3000));
    EXPECT_EQ(ask(REQ_CHECKUSERANDPASSWORD, credentials("d1", "p")), code(RES_OK));
    EXPECT_EQ(ask(REQ_CHECKUSERANDPASSWORD, credentials("d2", "p")), code(RES_OK));
    EXPECT_EQ(ask(REQ_CHECKUSER, credentials("d3", "")), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(ask(REQ_SIGNUP, credentials("d4", "p")), code(RES_OK));
    ASSERT_EQ(server.stop(), 0);
    EXPECT_EQ(readFile(dir.file("user.dat.damaged")), image);
    std::vector<UserRecord> records = savedRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].name, "d4");
    EXPECT_EQ(records[2].id, 3);
}

TEST_F(AccountsOverLoopbackTest, EightClientsSignUpAtOnce) {
    startServer();
    std::vector<std::thread> threads;
    std::atomic<int> accepted{0};
    std::atomic<int> refusedAsTaken{0};
    std::atomic<int> otherAnswers{0};
    for (int c = 0; c < CLIENTS; c++) {
        threads.emplace_back([&, c] {
            LoopbackClient client;
            if (!client.connectTo(server.port())) {
                otherAnswers++;
                return;
            }
            for (int i = 0; i < 10; i++) {
                std::string name = "c" + std::to_string(c) + "n" + std::to_string(i);
                std::string answer = ask(&client, REQ_SIGNUP, credentials(name, "pw"));
                answer == code(RES_OK) ? accepted++ : otherAnswers++;
            }
            std::string answer = ask(&client, REQ_SIGNUP, credentials("shared", "pw"));
            if (answer == code(RES_OK)) {
                accepted++;
            } else if (answer == code(RES_USEREXISTS)) {
                refusedAsTaken++;
            } else {
                otherAnswers++;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(accepted, CLIENTS * 10 + 1);
    EXPECT_EQ(refusedAsTaken, CLIENTS - 1);
    EXPECT_EQ(otherAnswers, 0);
    ASSERT_EQ(server.stop(), 0);
    EXPECT_EQ(savedRecords().size(), static_cast<size_t>(CLIENTS * 10 + 1));
}

// The kill lands while eight clients sign up and the store saves every
// 40 ms; every restart reads a whole file that holds at least the accounts
// saved at the last clean shutdown.
TEST_F(AccountsOverLoopbackTest, KilledDuringSignUpTrafficRestartsWithAReadableFile) {
    setenv("CARVANTA_TEST_SAVE_MS", "40", 1);
    startServer();
    for (int i = 0; i < 20; i++) {
        ASSERT_EQ(ask(REQ_SIGNUP, credentials("base" + std::to_string(i), "pw")), code(RES_OK));
    }
    restartServer();
    const int rounds = 3;
    for (int round = 0; round < rounds; round++) {
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int c = 0; c < CLIENTS; c++) {
            threads.emplace_back([&, c] {
                LoopbackClient client;
                if (!client.connectTo(server.port())) {
                    return;
                }
                for (int i = 0; i < 100000 && !stop; i++) {
                    std::string name = "r" + std::to_string(round) + "c" + std::to_string(c) + "-" +
                                       std::to_string(i % 12);
                    if (ask(&client, REQ_SIGNUP, credentials(name, "pw")) != code(RES_OK)) {
                        ask(&client, REQ_DELETEUSER, credentials(name, "pw"));
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + 150 * round));
        server.kill9();
        stop = true;
        for (std::thread& thread : threads) {
            thread.join();
        }
        std::vector<UserRecord> records = savedRecords();
        EXPECT_GE(records.size(), 20u) << "round " << round;
        startServer();
        EXPECT_EQ(server.output().find("compromised"), std::string::npos) << server.output();
        EXPECT_EQ(ask(REQ_CHECKUSERANDPASSWORD, credentials("base19", "pw")), code(RES_OK));
    }
    unsetenv("CARVANTA_TEST_SAVE_MS");
}

}  // namespace

// A quit while a request hangs in a database that accepts connections but
// never answers: the shutdown waits for the request, saying so in the log,
// instead of destroying the store under it, and ends normally after it.
TEST_F(AccountsOverLoopbackTest, QuitWaitsForARequestThatHangsInTheStore) {
    RawPeer database;
    ASSERT_TRUE(database.listenOnFreePort());
    // The client library's default port, and the log line every 300 ms
    // instead of every 30 s.
    setenv("MYSQL_TCP_PORT", std::to_string(database.port).c_str(), 1);
    setenv("CARVANTA_TEST_SHUTDOWN_WAIT_MS", "300", 1);
    ASSERT_TRUE(server.start(dir.path(), freePort(),
                             "database_type mysql\ndatabase_host 127.0.0.1\n"
                             "database_name carvanta\ndatabase_user u\ndatabase_password p\n"))
        << server.output();
    LoopbackClient client;
    connect(&client);
    ASSERT_TRUE(client.sendEnvelope(COMMTYPE_REQUEST, REQ_CHECKUSER, credentials("ida", "pw")));
    ASSERT_TRUE(database.acceptPeer(5000)) << "the request did not reach the store";

    EXPECT_EQ(server.stop(30000), 0) << server.output();
    std::string output = server.output();
    size_t waiting = output.find("ERROR: A request is still being served at shutdown\n");
    size_t served = output.find("user does not exist\n");
    size_t goodbye = output.find("Server stopped, goodbye!\n");
    ASSERT_NE(waiting, std::string::npos) << output;
    ASSERT_NE(served, std::string::npos) << output;
    ASSERT_NE(goodbye, std::string::npos) << output;
    EXPECT_LT(waiting, served) << output;
    EXPECT_LT(served, goodbye) << "the store went before the request was done: " << output;
}
