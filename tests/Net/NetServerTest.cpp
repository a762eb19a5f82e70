// NetServerTest.cpp - the 8-slot server with echoing handlers.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "LoopbackClient.h"
#include "NetClientHandler.h"
#include "NetServerClient.h"
#include "TestServer.h"
#include "TestSupport.h"

namespace {

const int WAIT_MS = 5000;
const int SLOTS = NETSERVER_DEFAULT_MAX_CLIENTS;
char loopback[] = "127.0.0.1";

class EchoHandler : public NetClientHandler {
public:
    EchoHandler() : NetClientHandler(nullptr) {}
    ~EchoHandler() override { destroyHandler(); }
    void messageReceived(char* data, int bytesRead) override { writeMessage(data, bytesRead); }
};

// Sends text and waits until what comes back is as long as expected or the peer closed.
bool echoes(LoopbackClient* client, const std::string& text, std::string expected = "") {
    expected = expected.empty() ? text : expected;
    std::string back;
    bool sent = client->sendBytes(text);
    long long deadline = clockMonotonicMs() + WAIT_MS;
    while (sent && back.size() < expected.size() && !client->peerClosed() &&
           clockMonotonicMs() < deadline) {
        back += client->receiveRaw(static_cast<int>(deadline - clockMonotonicMs()));
    }
    return sent && back == expected;
}

class NetServerTest : public ::testing::Test, public NetClientHandlerFactory {
protected:
    void SetUp() override {
        ASSERT_EQ(SOCKERR_OK, server.setNetClientHandlerFactory(this));
        ASSERT_GT(server.start(), 0);
    }
    NetClientHandler* createNetClientHandler(NetServer*, NetSocket*) override {
        created++;
        return new EchoHandler();
    }
    void connectClients(int count) {
        for (int i = 0; i < count; i++) {
            clients.emplace_back(new LoopbackClient());
            ASSERT_NE(nullptr, server.connect(clients.back().get()));
        }
    }

    std::atomic<int> created{0};
    TestServer server;
    std::vector<std::unique_ptr<LoopbackClient>> clients;
};

// A loss found by the reader and one found by a send: each reported once, with its handler.
TEST_F(NetServerTest, SlotsAndHandlersAreReusedAcrossLossesAStopAndARestart) {
    char notAnAddress[] = "127.0.0.300";
    TestServer other;
    EXPECT_EQ(SOCKERR_BINDERROR, other.startServer(loopback, server.port()));
    EXPECT_EQ(SOCKERR_BINDERROR, other.startServer(nullptr, server.port()));
    EXPECT_EQ(SOCKERR_BINDERROR, other.startServer(notAnAddress, freePort()));
    EXPECT_EQ(0, other.getPort());
    ASSERT_GT(other.start(), 0) << "failed binds leave a server able to start";
    EXPECT_EQ(SOCKERR_INITIALISEERROR, server.startServer(loopback, freePort()));
    EXPECT_EQ(SOCKERR_INITIALISEERROR, server.setNetClientHandlerFactory(this));
    connectClients(SLOTS);
    ServerEvent leaving = server.events()[3];
    clients[3]->close();
    ASSERT_TRUE(server.waitForCount(ServerEvent::DISCONNECTED, 1, WAIT_MS));
    EXPECT_EQ(leaving.client, server.events().back().client);
    EXPECT_EQ(leaving.handler, server.events().back().handler);
    clients[3].reset(new LoopbackClient());
    EXPECT_EQ(leaving.handler, server.connect(clients[3].get()));
    EXPECT_EQ(SOCKERR_INITIALISEERROR, leaving.handler->setSocket(nullptr)) << "busy again";
    EXPECT_EQ(2, leaving.client->getConnectionId());
    EXPECT_TRUE(echoes(clients[3].get(), "new one"));
    EXPECT_EQ(0, server.count(ServerEvent::REFUSED));
    NetClientHandler* written = server.events()[1].handler;
    clients[1]->close();
    clients.erase(clients.begin() + 1);
    std::string big(65536, 'b');
    EXPECT_TRUE(waitUntil([&] { return written->writeMessage(&big[0], 65536) != 0; }, WAIT_MS));
    ASSERT_TRUE(server.waitForCount(ServerEvent::DISCONNECTED, 2, WAIT_MS));
    EXPECT_EQ(written, server.events().back().handler);
    ASSERT_EQ(SOCKERR_OK, server.stopServer());
    EXPECT_EQ(SLOTS + 1, server.count(ServerEvent::DISCONNECTED));
    EXPECT_EQ(0, server.getClientsConnected());
    for (auto& client : clients) {
        EXPECT_TRUE(client->waitClosed(WAIT_MS));
    }
    ASSERT_TRUE(server.waitForIdleHandlers(WAIT_MS));
    ASSERT_EQ(SOCKERR_OK, server.startServer(loopback, server.port()));
    clients.clear();
    connectClients(3);
    char text[] = "to all";
    EXPECT_EQ(SOCKERR_OK, server.write(text, 6));
    for (auto& client : clients) {
        EXPECT_TRUE(echoes(client.get(), "!", "to all!"));
    }
    EXPECT_EQ(SLOTS, created.load());
}

// The first connection is served before descriptors run short: sanitizers take one when they start.
TEST_F(NetServerTest, AcceptWithoutDescriptorsLeftPausesInsteadOfSpinning) {
    connectClients(1);
    ASSERT_TRUE(echoes(clients[0].get(), "first"));
    rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    rlimit tight = saved;
    int spare = dup(0);  // the waiting client takes this number; accepting finds none
    tight.rlim_cur = static_cast<rlim_t>(spare + 1);
    close(spare);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));
    LoopbackClient waiting;
    bool connected = waiting.connectTo(server.port());
    clock_t cpuBefore = clock();
    usleep(1000 * 1000);  // the window in which the accept thread's CPU time is measured
    clock_t cpuUsed = clock() - cpuBefore;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
    ASSERT_TRUE(connected);
    EXPECT_EQ(1, server.count(ServerEvent::CONNECTED)) << "accepted without a descriptor?";
    EXPECT_LT(cpuUsed, CLOCKS_PER_SEC / 10) << "the accept thread spun on the failing accept";
    EXPECT_TRUE(server.waitForCount(ServerEvent::CONNECTED, 2, WAIT_MS));
    EXPECT_TRUE(echoes(&waiting, "finally"));
}

}  // namespace
