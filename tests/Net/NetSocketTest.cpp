// NetSocketTest.cpp - raw and block framing of NetSocket, seen through a
// NetClient connected to a plain loopback peer that the test drives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "TestSupport.h"
#include "LoopbackClient.h"
#include "NetClient.h"
#include "RawPeer.h"

namespace {

const int PEER_WAIT_MS = 3000;

class NetSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(raw.listenOnFreePort());
        char loopback[] = "127.0.0.1";
        ASSERT_EQ(SOCKERR_OK, client.connectToServer(loopback, raw.port));
        ASSERT_TRUE(raw.acceptPeer());
    }
    void TearDown() override { NetSocket::setSocketMode(SOCKMODE_RAWDATA); }

    std::string readOnce(sockErr_t* err) {
        char* data = nullptr;
        int bytesRead = 0;
        *err = client.read(&data, &bytesRead);
        return *err == SOCKERR_OK ? std::string(data, bytesRead) : std::string();
    }

    RawPeer raw;
    NetClient client;
};

std::string blockBytes(const std::string& payload) {
    return std::string(1, static_cast<char>(0xAA)) + int32le(static_cast<int>(payload.size())) +
           payload;
}

std::string patternBytes(size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; i++) {
        bytes[i] = static_cast<char>(i * 7 + 3);
    }
    return bytes;
}

TEST_F(NetSocketTest, RawReadsComeInPiecesOfAtMost2000Bytes) {
    std::string sent = patternBytes(5000);
    ASSERT_TRUE(raw.sendAll(sent));
    std::string received;
    int reads = 0;
    while (received.size() < sent.size()) {
        sockErr_t err;
        std::string piece = readOnce(&err);
        ASSERT_EQ(SOCKERR_OK, err);
        EXPECT_LE(piece.size(), static_cast<size_t>(NETSOCKET_READBUFFER_SIZE));
        received += piece;
        reads++;
    }
    EXPECT_GE(reads, 3);
    EXPECT_EQ(sent, received);
}

TEST_F(NetSocketTest, RawPeerCloseGivesConnectionClosedAndInactive) {
    EXPECT_TRUE(client.isActive());
    raw.closePeer();
    sockErr_t err;
    readOnce(&err);
    EXPECT_EQ(SOCKERR_CONNECTIONCLOSED, err);
    EXPECT_FALSE(client.isActive());
    // Reading a closed socket fails at once instead of blocking.
    readOnce(&err);
    EXPECT_NE(SOCKERR_OK, err);
    char byte = 'x';
    EXPECT_EQ(SOCKERR_WRITEERROR, client.write(&byte, 1));
}

TEST_F(NetSocketTest, RawWriteOfNothingSendsNothing) {
    char bytes[] = "z";
    EXPECT_EQ(SOCKERR_OK, client.write(bytes, 0));
    EXPECT_EQ(SOCKERR_OK, client.write(bytes, 1));
    EXPECT_EQ("z", raw.receive(2, 300));
}

TEST_F(NetSocketTest, WriteToVanishedPeerFailsAndClosesWithoutSignal) {
    raw.closePeer();
    std::string big = patternBytes(64 * 1024);
    sockErr_t err = SOCKERR_OK;
    // The first send may still be taken by the kernel; a later one fails.
    for (int attempt = 0; attempt < 50 && err == SOCKERR_OK; attempt++) {
        err = client.write(&big[0], static_cast<int>(big.size()));
        usleep(10000);
    }
    EXPECT_EQ(SOCKERR_WRITEERROR, err);
    EXPECT_FALSE(client.isActive());
}

TEST_F(NetSocketTest, DescriptorIsClosedOnlyOnce) {
    client.closeSocket();
    // The lowest free number is the one the socket had; reuse it.
    int reused = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reused, 0);
    client.closeSocket();
    EXPECT_NE(-1, fcntl(reused, F_GETFD)) << "a second close closed a reused descriptor";
    close(reused);
}

TEST(NetClientTest, ConnectsByHostNameAndRefusesWhatCannotBeReached) {
    RawPeer raw;
    ASSERT_TRUE(raw.listenOnFreePort());
    NetClient byName;
    char localhost[] = "localhost";
    ASSERT_EQ(SOCKERR_OK, byName.connectToServer(localhost, raw.port));
    ASSERT_TRUE(raw.acceptPeer());
    char hello[] = "hello";
    ASSERT_EQ(SOCKERR_OK, byName.write(hello, 5));
    EXPECT_EQ("hello", raw.receive(5, PEER_WAIT_MS));
    // A second connect on a connected socket is refused.
    EXPECT_EQ(SOCKERR_CONNECTERROR, byName.connectToServer(localhost, raw.port));

    NetClient refused;
    char loopback[] = "127.0.0.1";
    int closedPort = freePort();
    ASSERT_GT(closedPort, 0);
    EXPECT_EQ(SOCKERR_CONNECTERROR, refused.connectToServer(loopback, closedPort));
    EXPECT_FALSE(refused.isActive());
    EXPECT_EQ(SOCKERR_CONNECTERROR, refused.connectToServer(nullptr, raw.port));
}

TEST_F(NetSocketTest, BlockWriteFramesWithMarkerAndLittleEndianLength) {
    NetSocket::setSocketMode(SOCKMODE_BLOCK);
    char payload[] = "abc";
    ASSERT_EQ(SOCKERR_OK, client.write(payload, 3));
    std::string expected(
        "\xAA\x03\x00\x00\x00"
        "abc",
        8);
    EXPECT_EQ(expected, raw.receive(8, PEER_WAIT_MS));
    ASSERT_EQ(SOCKERR_OK, client.write(payload, 0));
    std::string headerOnly("\xAA\0\0\0\0", 5);
    EXPECT_EQ(headerOnly, raw.receive(5, PEER_WAIT_MS));
}

TEST_F(NetSocketTest, BlockReadReturnsTwoBlocksOfOneReceiveOneByOne) {
    NetSocket::setSocketMode(SOCKMODE_BLOCK);
    ASSERT_TRUE(raw.sendAll(blockBytes("first") + blockBytes("second!")));
    // Should the second read wait for a new receive, the peer's close after
    // a while makes it fail instead of hanging.
    std::thread closer([this] {
        usleep(500 * 1000);
        shutdown(raw.peer, SHUT_WR);
    });
    sockErr_t err;
    EXPECT_EQ("first", readOnce(&err));
    EXPECT_EQ(SOCKERR_OK, err);
    EXPECT_EQ("second!", readOnce(&err));
    EXPECT_EQ(SOCKERR_OK, err);
    closer.join();
}

TEST_F(NetSocketTest, BlockSplitOverManySendsIsAssembledWhole) {
    NetSocket::setSocketMode(SOCKMODE_BLOCK);
    std::string bytes = blockBytes(patternBytes(3000));
    std::thread sender([this, bytes] {
        for (size_t i = 0; i < bytes.size(); i += 700) {
            raw.sendAll(bytes.substr(i, 700));
            usleep(5000);
        }
    });
    sockErr_t err;
    EXPECT_EQ(patternBytes(3000), readOnce(&err));
    EXPECT_EQ(SOCKERR_OK, err);
    sender.join();
}

TEST_F(NetSocketTest, BlockMergeBufferGrowsToBiggestBlockAndStays) {
    NetSocket::setSocketMode(SOCKMODE_BLOCK);
    EXPECT_EQ(NETSOCKET_MERGEBUFFER_INITIAL, client.getMergeBufferSize());
    ASSERT_TRUE(raw.sendAll(blockBytes(patternBytes(1500))));
    sockErr_t err;
    EXPECT_EQ(patternBytes(1500), readOnce(&err));
    EXPECT_EQ(1500, client.getMergeBufferSize());
    ASSERT_TRUE(raw.sendAll(blockBytes("tiny")));
    EXPECT_EQ("tiny", readOnce(&err));
    EXPECT_EQ(1500, client.getMergeBufferSize());
}

TEST_F(NetSocketTest, BlockWithWrongMarkerIsRefusedAndReadingGoesOn) {
    NetSocket::setSocketMode(SOCKMODE_BLOCK);
    std::string wrong = blockBytes("xyz");
    wrong[0] = 0x55;
    ASSERT_TRUE(raw.sendAll(wrong));
    sockErr_t err;
    readOnce(&err);
    EXPECT_EQ(SOCKERR_DATAERROR, err);
    EXPECT_TRUE(client.isActive());
    ASSERT_TRUE(raw.sendAll(blockBytes("good")));
    EXPECT_EQ("good", readOnce(&err));
    EXPECT_EQ(SOCKERR_OK, err);
}

TEST_F(NetSocketTest, BlockLengthOutOfRangeIsRefusedWithoutGrowing) {
    NetSocket::setSocketMode(SOCKMODE_BLOCK);
    const int lengths[] = {-1, NETSOCKET_BLOCK_MAX + 1};
    for (int length : lengths) {
        std::string header = std::string(1, static_cast<char>(0xAA)) + int32le(length);
        ASSERT_TRUE(raw.sendAll(header));
        sockErr_t err;
        readOnce(&err);
        EXPECT_EQ(SOCKERR_DATAERROR, err) << "length " << length;
        EXPECT_TRUE(client.isActive());
        EXPECT_EQ(NETSOCKET_MERGEBUFFER_INITIAL, client.getMergeBufferSize());
        ASSERT_TRUE(raw.sendAll(blockBytes("next")));
        EXPECT_EQ("next", readOnce(&err)) << "after length " << length;
    }
}

TEST_F(NetSocketTest, BlockPeerCloseInsidePayloadIsDataError) {
    NetSocket::setSocketMode(SOCKMODE_BLOCK);
    ASSERT_TRUE(raw.sendAll(blockBytes("complete").substr(0, 8)));
    raw.closePeer();
    sockErr_t err;
    readOnce(&err);
    EXPECT_EQ(SOCKERR_DATAERROR, err);
    EXPECT_FALSE(client.isActive());
}

}  // namespace
