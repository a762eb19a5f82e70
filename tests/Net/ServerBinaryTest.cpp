// ServerBinaryTest.cpp - the network layer of the real CarvantaServer binary
// as a game client sees it: envelopes whole, in pieces and two at once are
// answered, garbage costs only its own connection, eight are served and the
// ninth refused, and every connect, disconnect and refusal is logged.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "SimpleOsa.h"
#include "TestSupport.h"
#include "GameProtocol.h"
#include "LoopbackClient.h"
#include "Process.h"

namespace {

const int WAIT_MS = 5000;

class ServerBinaryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start(dir.path(), freePort())) << server.output(); }

    bool connect(LoopbackClient* client, int expectedConnected) {
        return client->connectTo(server.port()) &&
               waitForLines("INFO: Client connected\n", expectedConnected);
    }

    bool waitForLines(const std::string& line, int count) {
        long long deadline = clockMonotonicMs() + WAIT_MS;
        while (countOccurrences(server.output(), line) < count) {
            if (clockMonotonicMs() > deadline) {
                return false;
            }
            usleep(5000);
        }
        return true;
    }

    TempDir dir;
    ServerProcess server;
};

// REQ_CHECKUSER for a name nobody has: the one-byte answer RES_USERDOESNOTEXIST.
const std::string UNKNOWN_USER = credentials("nobody-here", "pw");

TEST_F(ServerBinaryTest, EnvelopesWholeSplitOrJoinedAreAnswered) {
    LoopbackClient client;
    ASSERT_TRUE(connect(&client, 1));
    std::string response;
    ASSERT_TRUE(client.request(REQ_CHECKUSER, UNKNOWN_USER, &response));
    EXPECT_EQ(std::string(1, RES_USERDOESNOTEXIST), response);

    std::string envelope = encodeEnvelope(COMMTYPE_REQUEST, REQ_CHECKUSER, UNKNOWN_USER);
    ASSERT_TRUE(client.sendBytes(envelope + envelope));
    for (int answer = 0; answer < 2; answer++) {
        Envelope got;
        ASSERT_TRUE(client.receiveEnvelope(&got, WAIT_MS)) << "answer " << answer;
        EXPECT_EQ(REQ_CHECKUSER, got.id);
    }
    for (size_t offset = 0; offset < envelope.size(); offset += 9) {
        ASSERT_TRUE(client.sendBytes(envelope.substr(offset, 9)));
        usleep(3000);
    }
    Envelope split;
    ASSERT_TRUE(client.receiveEnvelope(&split, WAIT_MS));
    EXPECT_EQ(std::string(1, RES_USERDOESNOTEXIST), split.payload);
    EXPECT_EQ(0, server.stop());
}

TEST_F(ServerBinaryTest, GarbageClosesOnlyItsConnection) {
    LoopbackClient good;
    LoopbackClient bad;
    ASSERT_TRUE(connect(&good, 1));
    ASSERT_TRUE(connect(&bad, 2));
    ASSERT_TRUE(bad.sendBytes(std::string(40, static_cast<char>(0xEE))));
    EXPECT_TRUE(bad.waitClosed(WAIT_MS));
    EXPECT_TRUE(waitForLines("INFO: Client disconnected\n", 1));
    EXPECT_TRUE(waitForLines("ERROR: ", 1));
    std::string response;
    EXPECT_TRUE(good.request(REQ_CHECKUSER, UNKNOWN_USER, &response));
    EXPECT_EQ(0, server.stop());
    EXPECT_EQ(2, countOccurrences(server.output(), "INFO: Client disconnected\n"))
        << server.output();
}

TEST_F(ServerBinaryTest, EightServedNinthRefusedAndQuitReportsEveryone) {
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < 8; i++) {
        clients.emplace_back(new LoopbackClient());
        ASSERT_TRUE(connect(clients.back().get(), i + 1)) << server.output();
    }
    LoopbackClient ninth;
    ASSERT_TRUE(ninth.connectTo(server.port()));
    EXPECT_EQ("", ninth.receiveRaw(WAIT_MS));
    EXPECT_TRUE(ninth.waitClosed(WAIT_MS));
    EXPECT_TRUE(waitForLines("INFO: Client refused\n", 1));
    for (auto& client : clients) {
        std::string response;
        EXPECT_TRUE(client->request(REQ_CHECKUSER, UNKNOWN_USER, &response));
    }
    EXPECT_EQ(0, server.stop());
    std::string output = server.output();
    EXPECT_EQ(8, countOccurrences(output, "INFO: Client connected\n"));
    EXPECT_EQ(8, countOccurrences(output, "INFO: Client disconnected\n"));
    EXPECT_EQ(1, countOccurrences(output, "INFO: Client refused\n"));
    for (auto& client : clients) {
        EXPECT_TRUE(client->waitClosed(WAIT_MS));
    }
}

}  // namespace
