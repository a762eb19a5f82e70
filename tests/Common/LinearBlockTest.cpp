// LinearBlockTest.cpp - bounds, integers, the obfuscation key stream, checksum and headers.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "LinearBlock.h"

namespace {

std::string image(LinearBlock& block) {
    return std::string(block.getDataBlock(), block.getDataBlockSize());
}

// The obfuscated image built by hand from the header fields and the two keys.
std::string handMade(int length2, int shift, int start1, int length1, int start2,
                     const std::string& plain) {
    std::string bytes = {char(length2), char(shift), char(start1), char(length1), char(start2)};
    unsigned char checksum = 0x4A;
    for (size_t i = 0; i < plain.size(); i++) {
        unsigned char value = plain[i];
        checksum ^= value;
        unsigned char rotated = static_cast<unsigned char>(value << shift | value >> (8 - shift));
        bytes += char(rotated ^ LinearBlock::encryptionKey1[start1 + i % length1] ^
                      LinearBlock::encryptionKey2[start2 + i % length2]);
    }
    return bytes.insert(5, 1, char(checksum));
}

}  // namespace

// Refused sizes, imports, adds and reads change nothing; integers go in and out little-endian.
TEST(LinearBlockTest, MovesBeyondTheCapacityAreRefusedAndIntegersAreLittleEndian) {
    LinearBlock block(100);
    std::string big(107, 'o');
    EXPECT_TRUE(block.setVirtualBlockSize(101));
    EXPECT_TRUE(block.importBlockData(big.data(), 107));
    EXPECT_FALSE(block.setVirtualBlockSize(100));
    EXPECT_EQ(block.getDataBlockSize(), 106);
    EXPECT_FALSE(block.addData(big.data(), 96));
    EXPECT_TRUE(block.addData(big.data(), 5));
    EXPECT_FALSE(block.addData(-2)) << "the cursor stayed";
    EXPECT_TRUE(block.addData('x'));
    block.reset();
    char out[101];
    EXPECT_TRUE(block.getData(out, 101));
    EXPECT_FALSE(block.getData(out, 96));
    int value = 0;
    EXPECT_FALSE(block.getData(&value));
    EXPECT_EQ(value, -2);
    block.reset();
    block.addData(0x12345678);
    EXPECT_EQ(image(block).substr(6, 4), "\x78\x56\x34\x12");
    block.reset();
    block.getData(&value);
    EXPECT_EQ(value, 0x12345678);
}

// Each round also flips one data byte, which the checksum must catch; then headers naming windows
// outside the keys are refused without touching a data byte.
TEST(LinearBlockTest, EveryWindowAndShiftFollowsTheKeyStreamAndFlipsAndBadHeadersAreRefused) {
    std::set<std::vector<int>> seen;
    std::string data(50, '\0');
    LinearBlock block(64);
    for (int round = 0; round < 20000 && seen.size() < 9u * 9u * 8u; round++) {
        for (size_t i = 0; i < data.size(); i++) {
            data[i] = static_cast<char>(round * 31 + i * 7);
        }
        block.setVirtualBlockSize(static_cast<int>(data.size()));
        block.reset();
        ASSERT_FALSE(block.addData(data.data(), static_cast<int>(data.size())));
        block.obfuscateData();
        std::string bytes = image(block);
        const signed char* h = reinterpret_cast<signed char*>(block.getDataBlock());
        ASSERT_TRUE(h[3] >= 8 && h[3] <= 16 && h[0] >= 8 && h[0] <= 16 && h[1] >= 0 && h[1] <= 7);
        ASSERT_TRUE(h[2] >= 0 && h[2] + h[3] <= 119 && h[4] >= 0 && h[4] + h[0] <= 102);
        seen.insert({h[3], h[0], h[1]});
        ASSERT_EQ(bytes, handMade(h[0], h[1], h[2], h[3], h[4], data)) << "round " << round;
        ASSERT_FALSE(block.deobfuscateData());
        ASSERT_EQ(image(block).substr(6), data);
        bytes[6 + round % data.size()] ^= 0x10;
        block.importBlockData(bytes.data(), static_cast<int>(bytes.size()));
        ASSERT_TRUE(block.deobfuscateData()) << "flipped byte " << round % data.size();
    }
    EXPECT_EQ(seen.size(), 9u * 9u * 8u) << "every window size pair and shift was drawn";
    std::string plain(30, 0x11);
    const std::vector<int> bad[] = {
        {7, 0, 0, 8, 0},  {17, 0, 0, 8, 0},  {8, 0, 0, 20, 0},     {8, 8, 0, 8, 0},
        {8, -1, 0, 8, 0}, {8, 0, 112, 8, 0}, {8, 0, 0, 8, 95},     {8, 0, -3, 8, 0},
        {8, 0, 0, 8, -1}, {8, 0, 0, 7, 0},   {16, 0, 104, 16, 86}, {16, 0, 103, 16, 87},
    };
    for (const std::vector<int>& header : bad) {
        std::string bytes = std::string(header.begin(), header.end()) + '\0' + plain;
        block.importBlockData(bytes.data(), static_cast<int>(bytes.size()));
        EXPECT_TRUE(block.deobfuscateData()) << header[0] << " " << header[2] << " " << header[4];
        EXPECT_EQ(image(block).substr(6), plain) << "no data byte touched";
    }
    std::string edge = handMade(16, 7, 103, 16, 86, plain);
    block.importBlockData(edge.data(), static_cast<int>(edge.size()));
    EXPECT_FALSE(block.deobfuscateData());
    EXPECT_EQ(image(block).substr(6), plain);
}
