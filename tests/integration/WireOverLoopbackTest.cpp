// WireOverLoopbackTest.cpp - the server binary with the file store over 127.0.0.1, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "Process.h"
#include "RawPeer.h"
#include "UserFileImage.h"

namespace {

std::string code(int value) {
    return std::string(1, static_cast<char>(value));
}

class WireOverLoopbackTest : public ::testing::Test {
protected:
    void startServer(const std::string& config = "") {
        ASSERT_TRUE(server.start(dir.path(), freePort(), config)) << server.output();
    }
    std::string ask(LoopbackClient* client, int type, const std::string& payload) {
        Answer answer = ::ask(client, type, payload);
        return answer.outcome == OUTCOME_ANSWERED ? answer.payload : "<no response>";
    }
    std::vector<UserRecord> savedRecords() {
        std::vector<UserRecord> records;
        EXPECT_TRUE(parseCurrentFile(readFile(dir.file("user.dat")), &records));
        return records;
    }

    TempDir dir;
    ServerProcess server;
};

TEST_F(WireOverLoopbackTest, AccountAndScoreRequestsAreAnsweredByteForByteAndSurviveARestart) {
    startServer();
    const std::string ok = code(RES_OK);
    const std::string unknown = code(RES_USERDOESNOTEXIST);
    const struct {
        int type;
        std::string payload;
        std::string expected;
    } cases[] = {
        {REQ_SIGNUP, credentials("alice", "pw"), ok},
        {REQ_SIGNUP, credentials("alice", "other"), code(RES_USEREXISTS)},
        {REQ_CHECKUSER, credentials("nobody", ""), unknown},
        {REQ_CHECKUSER, credentials("alice", ""), ok},
        {REQ_CHECKUSERANDPASSWORD, credentials("alice", "bad"), unknown},
        {REQ_CHECKUSERANDPASSWORD, credentials("alice", "pw"), ok},
        {REQ_STORESINGLEPLAYERSCORE, scorePayload("alice", "bad", 9), unknown},
        {REQ_STORESINGLEPLAYERSCORE, scorePayload("alice", "pw", 120), ok},
        {REQ_SIGNUP, credentials("ben", "benpw"), ok},
        {REQ_SIGNUP, credentials("cat", "catpw"), ok},
        {REQ_STORESINGLEPLAYERSCORE, scorePayload("ben", "benpw", 300), ok},
        {REQ_SENDSINGLEPLAYERHIGHSCORES, credentials("alice", "pw"),
         ok + highscoreSlot(1, "ben", todayDateText(), 300) +
             highscoreSlot(2, "alice", todayDateText(), 120) +
             highscoreSlot(3, "cat", "00-00-0000", 0)},
        {REQ_SENDSINGLEPLAYERHIGHSCORES, credentials("alice", "bad"), unknown},
        {REQ_MULTI_SENDPLAYERLIST, credentials("alice", "pw"), ok},  // nobody listed
        {0, credentials("alice", "pw"), ""},
        {16, credentials("alice", "pw"), ""},
        {-1, credentials("alice", "pw"), ""},
        {REQ_DELETEUSER, credentials("alice", "bad"), unknown},
        {REQ_DELETEUSER, credentials("alice", "pw"), ok},
        {REQ_CHECKUSER, credentials("alice", ""), unknown},
    };
    LoopbackClient client;
    ASSERT_TRUE(client.connectTo(server.port()));
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        SCOPED_TRACE("case " + std::to_string(i));
        if (cases[i].type == REQ_MULTI_SENDPLAYERLIST) {
            // Every lobby request checks the credentials before the lobby sees it.
            for (int type = REQ_MULTI_ATTACHMULTIPLAYER; type <= REQ_MULTI_SENDPLAYERLIST; type++) {
                EXPECT_EQ(ask(&client, type, credentials("alice", "bad") + nameField("alice")),
                          unknown)
                    << type;
            }
        }
        EXPECT_EQ(ask(&client, cases[i].type, cases[i].payload), cases[i].expected);
    }
    // The refusal of a second sign-up, byte for byte: 13 bytes, a known checksum, nothing after.
    ASSERT_TRUE(client.sendEnvelope(COMMTYPE_REQUEST, REQ_SIGNUP, credentials("ben", "pw")));
    std::string raw;
    ASSERT_TRUE(waitUntil([&] { return (raw += client.receiveRaw(100)).size() >= 13; }, 3000));
    raw += client.receiveRaw(200);
    ASSERT_EQ(raw.size(), 13u);
    EXPECT_EQ(static_cast<unsigned char>(raw[5]), 0x48) << "the checksum";

    // After a restart the same list; an account added then takes the next id and is saved.
    std::string before = ask(&client, REQ_SENDSINGLEPLAYERHIGHSCORES, credentials("cat", "catpw"));
    ASSERT_EQ(server.stop(), 0) << server.output();
    startServer();
    client.close();
    ASSERT_TRUE(client.connectTo(server.port()));
    EXPECT_EQ(ask(&client, REQ_SENDSINGLEPLAYERHIGHSCORES, credentials("cat", "catpw")), before);
    EXPECT_EQ(ask(&client, REQ_SIGNUP, credentials("dan", "x")), ok);
    ASSERT_EQ(server.stop(), 0);
    std::vector<UserRecord> records = savedRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].name + " " + std::to_string(records[2].id), "dan 4");
}

// Eight are served and the ninth is refused; the eight sign up at once until the store is full.
TEST_F(WireOverLoopbackTest, EightClientsAreServedAtOnceTheNinthRefusedUntilTheStoreIsFull) {
    startServer();
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int c = 1; c <= 8; c++) {
        clients.emplace_back(new LoopbackClient());
        ASSERT_TRUE(clients.back()->connectTo(server.port()));
        ASSERT_TRUE(waitUntil(
            [&] { return countOccurrences(server.output(), "INFO: Client connected\n") == c; },
            5000));
    }
    LoopbackClient ninth;
    ASSERT_TRUE(ninth.connectTo(server.port()));
    EXPECT_EQ(ninth.receiveRaw(1000), "");
    EXPECT_TRUE(ninth.waitClosed(5000));
    // Eight sign-ups of one name at once make one account.
    std::vector<std::string> answers(8);
    std::vector<std::thread> threads;
    for (int c = 0; c < 8; c++) {
        threads.emplace_back([&, c] {
            answers[c] = ask(clients[c].get(), REQ_SIGNUP, credentials("shared", "pw"));
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::count(answers.begin(), answers.end(), code(RES_OK)), 1);
    EXPECT_EQ(std::count(answers.begin(), answers.end(), code(RES_USEREXISTS)), 7);
    // The store holds 100: a sign-up it refuses is not reported as done.
    for (int i = 1; i < 100; i++) {
        ASSERT_EQ(ask(clients[i % 8].get(), REQ_SIGNUP, credentials("f" + std::to_string(i), "pw")),
                  code(RES_OK));
    }
    EXPECT_EQ(ask(clients[1].get(), REQ_SIGNUP, credentials("late", "pw")),
              code(RES_USERDOESNOTEXIST));
    ASSERT_EQ(server.stop(), 0);
    EXPECT_EQ(savedRecords().size(), 100u);
    for (const char* line : {"INFO: Client connected\n", "INFO: Client disconnected\n"}) {
        EXPECT_EQ(countOccurrences(server.output(), line), 8) << line;
    }
    EXPECT_EQ(countOccurrences(server.output(), "INFO: Client refused\n"), 1);
}

// Mended fault: a quit while a request hangs in a database that never answers destroyed the
// store under the request; the shutdown now waits for it, saying so.
TEST_F(WireOverLoopbackTest, QuitWaitsForARequestThatHangsInTheStore) {
    RawPeer database;
    ASSERT_TRUE(database.listenOnFreePort());
    setenv("MYSQL_TCP_PORT", std::to_string(database.port).c_str(), 1);
    setenv("CARVANTA_TEST_SHUTDOWN_WAIT_MS", "300", 1);
    startServer(
        "database_type mysql\ndatabase_host 127.0.0.1\n"
        "database_name carvanta\ndatabase_user u\ndatabase_password p\n");
    LoopbackClient client;
    ASSERT_TRUE(client.connectTo(server.port()));
    ASSERT_TRUE(client.sendEnvelope(COMMTYPE_REQUEST, REQ_CHECKUSER, credentials("ida", "pw")));
    ASSERT_TRUE(database.acceptPeer(5000)) << "the request did not reach the store";

    EXPECT_EQ(server.stop(30000), 0) << server.output();
    std::string output = server.output();
    size_t waiting = output.find("ERROR: A request is still being served at shutdown\n");
    size_t served = output.find("user does not exist\n");
    size_t goodbye = output.find("Server stopped, goodbye!\n");
    ASSERT_NE(goodbye, std::string::npos) << output;
    EXPECT_LT(waiting, served) << output;
    EXPECT_LT(served, goodbye) << output;
}

// Envelopes whole, cut or joined are answered in order; an untrustworthy one closes only the
// connection that sent it.
TEST_F(WireOverLoopbackTest, EnvelopesSplitOrJoinedAreAnsweredAndBadOnesCloseOnlyTheirConnection) {
    startServer();
    LoopbackClient bystander;
    ASSERT_TRUE(bystander.connectTo(server.port()));
    std::string valid = encodeEnvelope(COMMTYPE_REQUEST, REQ_CHECKUSER, credentials("no", "pw"));
    std::string big =
        encodeEnvelope(COMMTYPE_REQUEST, REQ_CHECKUSER, std::string(PROTOCOL_PAYLOAD_MAX, 'b'));
    // Two joined; three cut every 7 bytes, the largest payload among them; one cut after 5.
    std::vector<std::string> pieces = {valid + valid};
    std::string stream = valid + big + valid;
    for (size_t offset = 0; offset < stream.size(); offset += 7) {
        pieces.push_back(stream.substr(offset, 7));
    }
    pieces.push_back(valid.substr(0, 5));
    pieces.push_back(valid.substr(5));
    for (const std::string& piece : pieces) {
        ASSERT_TRUE(bystander.sendBytes(piece));
    }
    for (int answer = 0; answer < 6; answer++) {
        Envelope got;
        ASSERT_TRUE(bystander.receiveEnvelope(&got, 5000)) << answer;
        EXPECT_EQ(got.commType, COMMTYPE_RESPONSE);
        EXPECT_EQ(got.id, REQ_CHECKUSER);
        EXPECT_EQ(got.payload, code(RES_USERDOESNOTEXIST));
    }

    std::string badChecksum = valid;
    badChecksum[14] = static_cast<char>(badChecksum[14] ^ 0x01);
    std::string badHeader = valid;
    badHeader[3] = 40;  // window length outside 8..16
    const std::string cases[] = {
        badChecksum,
        badHeader,
        encodeEnvelopeWithLength(COMMTYPE_REQUEST, REQ_CHECKUSER, PROTOCOL_PAYLOAD_MAX + 1, "x"),
        encodeEnvelopeWithLength(COMMTYPE_MESSAGE, MSG_STOPPRESSED, -1, ""),
        encodeEnvelope(0, REQ_CHECKUSER, "x"),
        encodeEnvelope(4, REQ_CHECKUSER, "x"),
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        SCOPED_TRACE("case " + std::to_string(i));
        LoopbackClient offender;
        ASSERT_TRUE(offender.connectTo(server.port()));
        ASSERT_TRUE(offender.sendBytes(cases[i] + valid));
        EXPECT_TRUE(offender.waitClosed(5000));
        EXPECT_EQ(ask(&bystander, REQ_CHECKUSER, credentials("x", "y")),
                  code(RES_USERDOESNOTEXIST));
    }
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(countOccurrences(server.output(), "#####Data error\n"), 2) << server.output();
}

}  // namespace
