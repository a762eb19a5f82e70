// AccountsOverLoopbackTest.cpp - the real server binary with the file store,
// spoken to over 127.0.0.1 in the wire format only: account and score
// requests byte for byte (lobby requests with wrong credentials, unknown
// types), restarts with the data kept, sign-ups from eight clients at once
// up to a full store, and a quit while a request hangs in the store.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "SimpleOsa.h"
#include "TestSupport.h"
#include "GameProtocol.h"
#include "LoopbackClient.h"
#include "Process.h"
#include "RawPeer.h"
#include "UserFileImage.h"

namespace {

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
    // Every lobby request checks the credentials before the lobby sees it.
    for (int type = REQ_MULTI_ATTACHMULTIPLAYER; type <= REQ_MULTI_SENDPLAYERLIST; type++) {
        EXPECT_EQ(ask(&client, type, credentials("alice", "bad") + nameField("alice")),
                  code(RES_USERDOESNOTEXIST))
            << type;
    }
    EXPECT_EQ(ask(&client, REQ_MULTI_SENDPLAYERLIST, credentials("alice", "pw")), code(RES_OK))
        << "nobody listed: the code alone";
    for (int type : {0, 16, -1}) {  // -1: the byte 0xFF
        EXPECT_EQ(ask(&client, type, credentials("alice", "pw")), "") << type;
    }
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
    long long deadline = clockMonotonicMs() + 3000;
    while (raw.size() < 13 && clockMonotonicMs() < deadline) {
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
    std::string date = todayDateText();
    ASSERT_EQ(before, code(RES_OK) + highscoreSlot(1, "ben", date, 300) +
                          highscoreSlot(2, "cat", date, 120) +
                          highscoreSlot(3, "ann", "00-00-0000", 0));

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

TEST_F(AccountsOverLoopbackTest, EightClientsSignUpAtOnceUntilTheStoreIsFull) {
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
    // The store holds 100: a sign-up it refuses is not reported as done.
    LoopbackClient late;
    connect(&late);
    for (int i = CLIENTS * 10 + 1; i < 100; i++) {
        ASSERT_EQ(ask(&late, REQ_SIGNUP, credentials("f" + std::to_string(i), "pw")), code(RES_OK));
    }
    EXPECT_EQ(ask(&late, REQ_SIGNUP, credentials("late", "pw")), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(ask(&late, REQ_CHECKUSER, credentials("late", "")), code(RES_USERDOESNOTEXIST));
    ASSERT_EQ(server.stop(), 0);
    EXPECT_EQ(savedRecords().size(), 100u);
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
