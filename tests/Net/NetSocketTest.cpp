// NetSocketTest.cpp - a NetClient on a plain loopback peer: raw and block framing, closes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "LoopbackClient.h"
#include "NetClient.h"
#include "RawPeer.h"
#include "TestSupport.h"

namespace {

const int WAIT_MS = 3000;
char loopback[] = "127.0.0.1";
char localhost[] = "localhost";

std::string block(const std::string& payload) {
    return "\xAA" + int32le(static_cast<int>(payload.size())) + payload;
}

class NetSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(raw.listenOnFreePort());
        ASSERT_EQ(SOCKERR_OK, client.connectToServer(localhost, raw.port));
        ASSERT_TRUE(raw.acceptPeer());
    }
    void TearDown() override { NetSocket::setSocketMode(SOCKMODE_RAWDATA); }
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
    EXPECT_EQ(SOCKERR_OK, client.write(&sent[0], 1));
    EXPECT_EQ("a", raw.receive(2, 300)) << "an empty write sends nothing";
    EXPECT_EQ(SOCKERR_CONNECTERROR, client.connectToServer(localhost, raw.port)) << "connected";
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
    EXPECT_TRUE(waitUntil([&] { return client.write(&big[0], 65536) != SOCKERR_OK; }, WAIT_MS));
    EXPECT_FALSE(client.isActive());
    EXPECT_EQ(SOCKERR_CONNECTERROR, client.connectToServer(loopback, freePort()));
    EXPECT_EQ(SOCKERR_CONNECTERROR, client.connectToServer(nullptr, raw.port));
    EXPECT_FALSE(client.isActive());
}

// A block is a marker byte, a little-endian length and the payload; one with a wrong marker or
// a length out of range is refused and reading goes on with the next bytes.
TEST_F(NetSocketTest, BlocksAreFramedWholeAndBadHeadersRefusedWithoutClosing) {
    NetSocket::setSocketMode(SOCKMODE_BLOCK);
    ASSERT_EQ(SOCKERR_OK, client.write(loopback, 3));
    EXPECT_EQ("\xAA" + int32le(3) + "127", raw.receive(8, WAIT_MS));
    std::string big(1500, 'g');
    ASSERT_TRUE(raw.sendAll(block("first") + block("second!") + block(big).substr(0, 700)));
    EXPECT_EQ("first", readOnce());
    EXPECT_EQ("second!", readOnce());
    ASSERT_TRUE(raw.sendAll(block(big).substr(700)));
    EXPECT_EQ(big, readOnce());
    for (std::string bad : {"\x55" + int32le(3), "\xAA" + int32le(-1), "\xAA" + int32le(1 << 21)}) {
        ASSERT_TRUE(raw.sendAll(bad));
        readOnce(SOCKERR_DATAERROR);
        EXPECT_EQ(1500, client.getMergeBufferSize());
        ASSERT_TRUE(raw.sendAll(block("next")));
        EXPECT_EQ("next", readOnce());
    }
    ASSERT_TRUE(raw.sendAll(block("complete").substr(0, 8)));
    raw.closePeer();
    readOnce(SOCKERR_DATAERROR);
    EXPECT_FALSE(client.isActive());
}

}  // namespace
