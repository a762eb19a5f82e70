// GameServerTest.cpp - the game server's callbacks seen in its log: every
// connect, disconnect and refusal is one INFO line, also when the server is
// stopped or destroyed with clients connected.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FreePort.h"
#include "GameClientHandlerFactory.h"
#include "GameServer.h"
#include "LoopbackClient.h"
#include "RecordingServer.h"
#include "TextCount.h"

namespace {

const int WAIT_MS = 5000;

class GameServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.reset(new GameServer());
        ASSERT_EQ(SOCKERR_OK, server->setNetClientHandlerFactory(&factory));
        char loopback[] = "127.0.0.1";
        for (int attempt = 0; attempt < 5 && port < 0; attempt++) {
            int candidate = freePort();
            if (server->startServer(loopback, candidate) == SOCKERR_OK) {
                port = candidate;
            }
        }
        ASSERT_GT(port, 0);
    }

    bool connectedCountIs(int wanted) {
        return waitUntil([&] { return server->getClientsConnected() == wanted; }, WAIT_MS);
    }

    GameClientHandlerFactory factory;  // outlives the server
    std::unique_ptr<GameServer> server;
    int port = -1;
};

TEST_F(GameServerTest, LogsEveryConnectDisconnectAndRefusal) {
    testing::internal::CaptureStdout();
    LoopbackClient quick;
    ASSERT_TRUE(quick.connectTo(port));
    ASSERT_TRUE(connectedCountIs(1));
    quick.close();
    ASSERT_TRUE(connectedCountIs(0));

    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < NETSERVER_DEFAULT_MAX_CLIENTS; i++) {
        clients.emplace_back(new LoopbackClient());
        ASSERT_TRUE(clients.back()->connectTo(port));
    }
    ASSERT_TRUE(connectedCountIs(NETSERVER_DEFAULT_MAX_CLIENTS));
    LoopbackClient ninth;
    ASSERT_TRUE(ninth.connectTo(port));
    EXPECT_TRUE(ninth.waitClosed(WAIT_MS));
    server->stopServer();
    std::string log = testing::internal::GetCapturedStdout();

    EXPECT_EQ(1 + NETSERVER_DEFAULT_MAX_CLIENTS, countOccurrences(log, "INFO: Client connected\n")) << log;
    EXPECT_EQ(1 + NETSERVER_DEFAULT_MAX_CLIENTS, countOccurrences(log, "INFO: Client disconnected\n"));
    EXPECT_EQ(1, countOccurrences(log, "INFO: Client refused\n"));
    EXPECT_LT(log.find("Client connected"), log.find("Client disconnected"));
    EXPECT_EQ(std::string::npos, log.find("INSUFFICIENT RESOURCES"));
    for (auto& client : clients) {
        EXPECT_TRUE(client->waitClosed(WAIT_MS));
    }
}

TEST_F(GameServerTest, DestroyingTheServerReportsTheClientsStillConnected) {
    LoopbackClient first;
    LoopbackClient second;
    ASSERT_TRUE(first.connectTo(port));
    ASSERT_TRUE(second.connectTo(port));
    ASSERT_TRUE(connectedCountIs(2));
    testing::internal::CaptureStdout();
    server.reset();
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(2, countOccurrences(log, "INFO: Client disconnected\n")) << log;
    EXPECT_TRUE(first.waitClosed(WAIT_MS));
    EXPECT_TRUE(second.waitClosed(WAIT_MS));
}

}  // namespace
