// NetServerTest.cpp - a NetClient on a plain peer and the 8-slot server with echoing handlers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "LoopbackClient.h"
#include "NetClient.h"
#include "NetClientHandler.h"
#include "NetServerClient.h"
#include "RawPeer.h"
#include "TestServer.h"
#include "TestSupport.h"

namespace {

const int WAIT_MS = 5000;
const int SLOTS = NETSERVER_DEFAULT_MAX_CLIENTS;
char loopback[] = "127.0.0.1";
char localhost[] = "localhost";

class NetSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(raw.listenOnFreePort());
        ASSERT_EQ(SOCKERR_OK, client.connectToServer(localhost, raw.port));
        ASSERT_TRUE(raw.acceptPeer());
    }
    std::string readOnce(sockErr_t expected = SOCKERR_OK) {
        char* data = nullptr;
        int bytesRead = 0;
        EXPECT_EQ(expected, client.read(&data, &bytesRead));
        return std::string(data == nullptr ? "" : data, bytesRead);
    }

    RawPeer raw;
    NetClient client;
};

TEST_F(NetSocketTest, RawReadsComeInPiecesOfAtMost2000BytesAndAPeerCloseEndsTheSocketOnce) {
    std::string sent = std::string(2500, 'a') + std::string(2500, 'b');
    ASSERT_TRUE(raw.sendAll(sent));
    std::string received;
    while (received.size() < sent.size() && !HasFailure()) {
        std::string piece = readOnce();
        EXPECT_LE(piece.size(), 2000u);
        received += piece;
    }
    EXPECT_EQ(sent, received);
    EXPECT_EQ(SOCKERR_OK, client.write(&sent[0], 0));
    EXPECT_EQ(SOCKERR_OK, client.write(&sent[4999], 1));
    EXPECT_EQ("b", raw.receive(1, 3000)) << "an empty write sends nothing";
    raw.closePeer();
    readOnce(SOCKERR_CONNECTIONCLOSED);
    EXPECT_FALSE(client.isActive());
    readOnce(SOCKERR_READERROR);
    EXPECT_EQ(SOCKERR_WRITEERROR, client.write(&sent[0], 1));
    client.closeSocket();
    int reused = open("/dev/null", O_RDONLY | O_CLOEXEC);  // takes the socket's old number
    client.closeSocket();
    EXPECT_NE(-1, fcntl(reused, F_GETFD)) << "a second close closed a reused descriptor";
    close(reused);
}

// Without MSG_NOSIGNAL the write would end the test program with SIGPIPE.
TEST_F(NetSocketTest, WriteToAVanishedPeerFailsWithoutASignalAndFailedConnectsLeaveNoSocket) {
    raw.closePeer();
    std::string big(65536, 'b');
    EXPECT_TRUE(waitUntil([&] { return client.write(&big[0], 65536) != SOCKERR_OK; }, 3000));
    EXPECT_EQ(SOCKERR_CONNECTERROR, client.connectToServer(localhost, freePort()));
    EXPECT_FALSE(client.isActive());
}

class EchoHandler : public NetClientHandler {
public:
    EchoHandler() : NetClientHandler(nullptr) {}
    ~EchoHandler() override { destroyHandler(); }
    void messageReceived(char* data, int bytesRead) override { writeMessage(data, bytesRead); }
};

bool echoes(LoopbackClient* client, const std::string& text) {
    std::string back;
    return client->sendBytes(text) &&
           waitUntil([&] { return (back += client->receiveRaw(100)).size() >= text.size(); },
                     WAIT_MS) &&
           back == text;
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
    EXPECT_EQ(SOCKERR_BINDERROR, other.startServer(notAnAddress, freePort()));
    ASSERT_GT(other.start(), 0) << "failed binds leave a server able to start";
    EXPECT_EQ(SOCKERR_INITIALISEERROR, server.startServer(loopback, freePort()));
    connectClients(SLOTS);
    ServerEvent leaving = server.events()[3];
    clients[3]->close();
    ASSERT_TRUE(server.waitForCount(ServerEvent::DISCONNECTED, 1, WAIT_MS));
    EXPECT_EQ(leaving.client, server.events().back().client);
    EXPECT_EQ(leaving.handler, server.events().back().handler);
    EXPECT_EQ(leaving.handler, server.connect(clients[3].get()));
    EXPECT_EQ(SOCKERR_INITIALISEERROR, leaving.handler->setSocket(nullptr)) << "busy again";
    EXPECT_TRUE(echoes(clients[3].get(), "new one"));
    NetClientHandler* written = server.events()[1].handler;
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
    connectClients(1);
    EXPECT_TRUE(echoes(clients[0].get(), "again"));
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
