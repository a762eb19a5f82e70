// GameClientHandlerTest.cpp - the protocol endpoint on both sides of a loopback connection.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <thread>

#include "GameClientHandler.h"
#include "LoopbackClient.h"
#include "NetClient.h"
#include "RawPeer.h"
#include "TestServer.h"
#include "TestSupport.h"

namespace {

const int WAIT_MS = 5000;
const std::string OK(1, RES_OK);

// Server side: counts what is dispatched; answers RES_OK and the payload, or overlong for scores.
class GameClientHandlerTest : public ::testing::Test,
                              public RequestListener,
                              public MessageListener {
protected:
    void SetUp() override {
        server.onConnected = [this](NetServerClient*, NetClientHandler* connected) {
            static_cast<GameClientHandler*>(connected)->setRequestListener(this);
            static_cast<GameClientHandler*>(connected)->setMessageListener(this);
        };
        server.useGameHandlers(false);
        ASSERT_GT(server.start(), 0);
        handler = server.connectGame(&client);
        ASSERT_NE(nullptr, handler);
        char loopback[] = "127.0.0.1";
        ASSERT_TRUE(peer.listenOnFreePort());
        ASSERT_EQ(SOCKERR_OK, connection.connectToServer(loopback, peer.port));
        ASSERT_TRUE(peer.acceptPeer());
        clientSide.reset(new GameClientHandler(&connection));
        clientSide->setMessageListener(this);
    }
    void TearDown() override { clientSide.reset(); }
    void handleRequest(GameClientHandler*, reqType_t request, char* data, int length,
                       char* response, int* responseLength) override {
        serverRequests++;
        response[0] = RES_OK;
        memcpy(response + 1, data, length);
        *responseLength =
            request == REQ_SENDSINGLEPLAYERHIGHSCORES ? PROTOCOL_PAYLOAD_MAX + 1 : length + 1;
    }
    // On the client side every message tries a request from the reader thread.
    void handleMessage(GameClientHandler* to, msgType_t, char*, int) override {
        if (to != clientSide.get()) {
            serverMessages++;
            return;
        }
        long long start = clockMonotonicMs();
        std::string got;
        readerRefusedAtOnce = request(REQ_SIGNUP, "", &got) == SOCKERR_CONNECTERROR &&
                              clockMonotonicMs() - start < 100;
        clientMessages++;
    }
    sockErr_t request(reqType_t type, std::string payload, std::string* got) {
        char buffer[PROTOCOL_PAYLOAD_MAX];
        int length = 0;
        sockErr_t err =
            clientSide->sendRequest(type, &payload[0], int(payload.size()), buffer, &length);
        *got = std::string(buffer, err == SOCKERR_OK ? length : 0);
        return err;
    }

    TestServer server;
    LoopbackClient client;
    GameClientHandler* handler = nullptr;
    RawPeer peer;
    NetClient connection;
    std::unique_ptr<GameClientHandler> clientSide;
    std::atomic<int> serverRequests{0};
    std::atomic<int> serverMessages{0};
    std::atomic<int> clientMessages{0};
    std::atomic<bool> readerRefusedAtOnce{false};
};

// The stream is read in order: an answer shows that every envelope before it was dealt with.
TEST_F(GameClientHandlerTest, ServerSideAnswersDropsRefusesStartsCleanOnReuseAndDropsASlowReader) {
    std::string got;
    ASSERT_TRUE(client.request(REQ_SENDSINGLEPLAYERHIGHSCORES, "long", &got));
    EXPECT_EQ("", got) << "an overlong answer goes out empty";
    ASSERT_TRUE(client.sendEnvelope(COMMTYPE_RESPONSE, REQ_CHECKUSER, std::string(100, 'r')));
    handler->setRequestListener(nullptr);
    ASSERT_TRUE(client.sendEnvelope(COMMTYPE_REQUEST, REQ_CHECKUSER, "unserved"));
    ASSERT_TRUE(client.sendEnvelope(COMMTYPE_MESSAGE, MSG_STOPPRESSED, "heard"));
    ASSERT_TRUE(waitUntil([&] { return serverMessages == 1; }, WAIT_MS));
    handler->setRequestListener(this);
    handler->setMessageListener(nullptr);
    ASSERT_TRUE(client.sendEnvelope(COMMTYPE_MESSAGE, MSG_STOPPRESSED, "unheard"));
    ASSERT_TRUE(client.request(REQ_CHECKUSER, "last", &got));
    EXPECT_EQ(OK + "last", got);
    EXPECT_EQ(1, serverMessages.load());
    std::string tooBig(PROTOCOL_PAYLOAD_MAX + 1, 'x');
    EXPECT_EQ(SOCKERR_WRITEERROR, handler->sendMessage(MSG_RECEIVECARDS, &tooBig[0], 3295));
    ASSERT_EQ(SOCKERR_OK, handler->sendMessage(MSG_COUNTDOWNFORPLAY, &tooBig[0], 3294));
    Envelope message;
    ASSERT_TRUE(client.receiveEnvelope(&message, WAIT_MS));
    EXPECT_EQ(MSG_COUNTDOWNFORPLAY, message.id) << "nothing of the refused ones came before";
    std::string stale = encodeEnvelope(COMMTYPE_REQUEST, REQ_CHECKUSER, "stale bytes");
    ASSERT_TRUE(client.sendBytes(stale.substr(0, 20))) << "the fields and part of the payload";
    client.close();
    ASSERT_TRUE(server.waitForCount(ServerEvent::DISCONNECTED, 1, WAIT_MS));
    EXPECT_EQ(SOCKERR_WRITEERROR, handler->sendMessage(MSG_GAMEFINISHED, nullptr, 0));
    EXPECT_EQ(handler, server.connectGame(&client));
    ASSERT_TRUE(client.request(REQ_CHECKUSER, "fresh", &got));
    EXPECT_EQ(OK + "fresh", got);
    EXPECT_EQ(3, serverRequests.load());
    // The client stops reading: when the buffers are full a write fails at its deadline.
    long long lastSend = 0;
    sockErr_t result = SOCKERR_OK;
    for (int sent = 0; sent < 20000 && result == SOCKERR_OK; sent++) {
        lastSend = clockMonotonicMs();
        result = handler->sendMessage(MSG_RECEIVEPLAYERLIST, &tooBig[0], PROTOCOL_PAYLOAD_MAX);
    }
    long long blocked = clockMonotonicMs() - lastSend;
    ASSERT_EQ(SOCKERR_WRITEERROR, result);
    EXPECT_GE(blocked, NETSOCKET_WRITE_DEADLINE_MS - 500);
    EXPECT_LT(blocked, NETSOCKET_WRITE_DEADLINE_MS + 5000);
    EXPECT_TRUE(waitUntil([&] { return server.getClientsConnected() == 0; }, WAIT_MS));
}

TEST_F(GameClientHandlerTest, ConcurrentSendersNeverInterleaveEnvelopes) {
    std::vector<std::thread> threads;
    for (int s = 0; s < 8; s++) {
        threads.emplace_back([this, s] {
            for (int i = 0; i < 100; i++) {
                std::string payload = std::string{char(s), char(i)} + std::string(i * 29, 'a');
                handler->sendMessage(MSG_RECEIVECARDS, &payload[0], int(payload.size()));
            }
        });
    }
    std::vector<int> next(8);
    for (int received = 0; received < 800 && !HasFailure(); received++) {
        Envelope message;
        ASSERT_TRUE(client.receiveEnvelope(&message, WAIT_MS)) << "after " << received;
        int s = message.payload.at(0);
        int i = next.at(s)++;
        ASSERT_EQ(std::string({char(s), char(i)}) + std::string(i * 29, 'a'), message.payload);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// A late answer is never taken; a request from the reader thread would wait for the response that
// thread has to receive. Every other answer to the three threads comes behind one of another type.
TEST_F(GameClientHandlerTest, ClientSideRequestsTakeOnlyTheirOwnFreshResponsesUntilALoss) {
    char buffer[8] = {'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u'};
    int length = 0;
    long long start = clockMonotonicMs();
    EXPECT_EQ(SOCKERR_CONNECTERROR,
              clientSide->sendRequest(REQ_CHECKUSER, buffer, 1, buffer, &length));
    EXPECT_GE(clockMonotonicMs() - start, GAMECLIENTHANDLER_RESPONSE_WAIT_MS - 50);
    EXPECT_LT(clockMonotonicMs() - start, GAMECLIENTHANDLER_RESPONSE_WAIT_MS + 1500);
    EXPECT_EQ(ENVELOPE_OVERHEAD + 1u, peer.receive(ENVELOPE_OVERHEAD + 1, WAIT_MS).size());
    peer.sendAll(encodeEnvelope(COMMTYPE_RESPONSE, REQ_CHECKUSER, "late!") +
                 encodeEnvelope(COMMTYPE_MESSAGE, MSG_PAUSEGAME, ""));
    ASSERT_TRUE(waitUntil([&] { return clientMessages == 1; }, WAIT_MS));
    EXPECT_EQ("uuuuuuuu", std::string(buffer, 8));
    EXPECT_TRUE(readerRefusedAtOnce.load());
    std::thread peerSide([this] {
        for (int n = 0; n < 90; n++) {
            Envelope request;
            ASSERT_TRUE(decodeEnvelope(peer.receive(ENVELOPE_OVERHEAD + 6, WAIT_MS), &request));
            std::string other = n % 2 ? encodeEnvelope(COMMTYPE_RESPONSE, REQ_SIGNUP, "!") : "";
            peer.sendAll(other + encodeEnvelope(COMMTYPE_RESPONSE, REQ_CHECKUSER, request.payload));
        }
        peer.receive(ENVELOPE_OVERHEAD + 3, WAIT_MS);
        peer.closePeer();
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 30; i++) {
                std::string payload = std::to_string(100000 + t * 100 + i);
                std::string got;
                wrong += request(REQ_CHECKUSER, payload, &got) != SOCKERR_OK || got != payload;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, wrong.load());
    std::string got;
    start = clockMonotonicMs();
    EXPECT_EQ(SOCKERR_CONNECTERROR, request(REQ_SIGNUP, "bye", &got));
    EXPECT_LT(clockMonotonicMs() - start, 1000);
    peerSide.join();
}

}  // namespace
