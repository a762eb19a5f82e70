// ServerBinaryTest.cpp - the network layer of the real CarvantaServer binary
// as a game client sees it: envelopes whole, in pieces and several in one
// send are answered in order, every kind of untrustworthy envelope costs
// only its own connection, eight are served and the ninth refused, and
// every connect, disconnect and refusal is logged.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "GameProtocol.h"
#include "LoopbackClient.h"
#include "Process.h"
#include "TestSupport.h"

namespace {

const int WAIT_MS = 5000;
const std::string NOT_FOUND(1, RES_USERDOESNOTEXIST);

class ServerBinaryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start(dir.path(), freePort())) << server.output(); }

    bool connect(LoopbackClient* client, int expectedConnected) {
        return client->connectTo(server.port()) &&
               waitForLines("INFO: Client connected\n", expectedConnected);
    }
    bool waitForLines(const std::string& line, int count) {
        return waitUntil([&] { return countOccurrences(server.output(), line) >= count; },
                         WAIT_MS);
    }
    // The next envelope must answer REQ_CHECKUSER for a name nobody has.
    void expectNotFound(LoopbackClient* client, const std::string& context) {
        Envelope got;
        ASSERT_TRUE(client->receiveEnvelope(&got, WAIT_MS)) << context;
        EXPECT_EQ(COMMTYPE_RESPONSE, got.commType) << context;
        EXPECT_EQ(REQ_CHECKUSER, got.id) << context;
        EXPECT_EQ(NOT_FOUND, got.payload) << context;
    }

    TempDir dir;
    ServerProcess server;
};

std::string checkUser(const std::string& payload) {
    return encodeEnvelope(COMMTYPE_REQUEST, REQ_CHECKUSER, payload);
}

TEST_F(ServerBinaryTest, EnvelopesWholeSplitOrJoinedAreAnsweredInOrder) {
    LoopbackClient client;
    ASSERT_TRUE(connect(&client, 1));
    std::string envelope = checkUser(credentials("nobody-here", "pw"));
    ASSERT_TRUE(client.sendBytes(envelope));
    expectNotFound(&client, "whole");
    ASSERT_TRUE(client.sendBytes(envelope + envelope));
    expectNotFound(&client, "first of two");
    expectNotFound(&client, "second of two");

    // Three, cut at odd places, the largest payload among them; a short
    // piece waits for the rest.
    std::string big(PROTOCOL_PAYLOAD_MAX, 'b');
    std::string stream = envelope + checkUser(big) + envelope;
    for (size_t offset = 0; offset < stream.size(); offset += 7) {
        ASSERT_TRUE(client.sendBytes(stream.substr(offset, 7)));
    }
    for (int answer = 0; answer < 3; answer++) {
        expectNotFound(&client, "piece " + std::to_string(answer));
    }
    ASSERT_TRUE(client.sendBytes(envelope.substr(0, 5)));
    ASSERT_TRUE(client.sendBytes(envelope.substr(5)));
    expectNotFound(&client, "held back");
    EXPECT_EQ(0, server.stop());
}

TEST_F(ServerBinaryTest, UntrustworthyEnvelopesCloseOnlyTheirConnection) {
    std::string valid = checkUser(credentials("nobody-here", "pw"));
    std::string badChecksum = valid;
    badChecksum[14] = static_cast<char>(badChecksum[14] ^ 0x01);
    std::string badHeader = valid;
    badHeader[3] = 40;  // window length outside 8..16
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"checksum", badChecksum},
        {"header", badHeader},
        {"garbage", std::string(64, static_cast<char>(0xEE))},
        {"too long",
         encodeEnvelopeWithLength(COMMTYPE_REQUEST, REQ_CHECKUSER, PROTOCOL_PAYLOAD_MAX + 1, "x")},
        {"negative length", encodeEnvelopeWithLength(COMMTYPE_MESSAGE, MSG_STOPPRESSED, -1, "")},
        {"commType 0", encodeEnvelope(0, REQ_CHECKUSER, "x")},
        {"commType 4", encodeEnvelope(4, REQ_CHECKUSER, "x")},
    };
    LoopbackClient bystander;
    ASSERT_TRUE(connect(&bystander, 1));
    int connected = 1;
    for (const auto& bad : cases) {
        LoopbackClient offender;
        ASSERT_TRUE(connect(&offender, ++connected)) << bad.name;
        ASSERT_TRUE(offender.sendBytes(bad.bytes + valid));
        EXPECT_TRUE(offender.waitClosed(WAIT_MS)) << bad.name;
        EXPECT_EQ(NOT_FOUND, ask(&bystander, REQ_CHECKUSER, credentials("x", "y")).payload)
            << bad.name;
    }
    EXPECT_EQ(0, server.stop());
    EXPECT_EQ(2, countOccurrences(server.output(), "#####Data error\n")) << server.output();
    // Only the bystander's requests were served.
    EXPECT_EQ(7, countOccurrences(server.output(), "REQUEST: check user x/y ->"));
    EXPECT_EQ(8, countOccurrences(server.output(), "INFO: Client disconnected\n"));
}

TEST_F(ServerBinaryTest, EightServedNinthRefusedAndQuitReportsEveryone) {
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < 8; i++) {
        clients.emplace_back(new LoopbackClient());
        ASSERT_TRUE(connect(clients.back().get(), i + 1)) << server.output();
    }
    LoopbackClient ninth;
    ASSERT_TRUE(ninth.connectTo(server.port()));
    EXPECT_TRUE(ninth.waitClosed(WAIT_MS));
    EXPECT_TRUE(waitForLines("INFO: Client refused\n", 1));
    for (auto& client : clients) {
        EXPECT_EQ(OUTCOME_ANSWERED, ask(client.get(), REQ_CHECKUSER, "").outcome);
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
