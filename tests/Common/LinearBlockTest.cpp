// LinearBlockTest.cpp - capacity bounds, integer encoding, obfuscation round
// trips over every window size and shift, checksums and refused headers.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <fstream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "LinearBlock.h"

namespace {

const int CAPACITY = 3300;

std::vector<unsigned char> dataBytes(LinearBlock& block) {
    const unsigned char* start = reinterpret_cast<unsigned char*>(block.getDataBlock());
    return std::vector<unsigned char>(start + LINEARBLOCK_HEADER_SIZE,
                                      start + block.getDataBlockSize());
}

void fill(LinearBlock& block, const std::vector<unsigned char>& data) {
    block.setVirtualBlockSize(static_cast<int>(data.size()));
    block.reset();
    ASSERT_FALSE(block.addData(data.data(), static_cast<int>(data.size())));
}

// An obfuscated block with a header of our choosing: the data bytes are
// built from the keys by hand so that the decoder can be checked against it.
std::string handMadeBlock(int length2, int shift, int start1, int length1, int start2,
                          const std::vector<unsigned char>& plain) {
    std::string bytes(LINEARBLOCK_HEADER_SIZE, '\0');
    bytes[0] = static_cast<char>(length2);
    bytes[1] = static_cast<char>(shift);
    bytes[2] = static_cast<char>(start1);
    bytes[3] = static_cast<char>(length1);
    bytes[4] = static_cast<char>(start2);
    unsigned char checksum = 0x4A;
    for (size_t i = 0; i < plain.size(); i++) {
        unsigned char value = plain[i];
        checksum ^= value;
        unsigned char rotated =
            shift == 0 ? value
                       : static_cast<unsigned char>((value << shift) | (value >> (8 - shift)));
        unsigned char key1 =
            static_cast<unsigned char>(LinearBlock::encryptionKey1[start1 + i % length1]);
        unsigned char key2 =
            static_cast<unsigned char>(LinearBlock::encryptionKey2[start2 + i % length2]);
        bytes.push_back(static_cast<char>(rotated ^ key1 ^ key2));
    }
    bytes[5] = static_cast<char>(checksum);
    return bytes;
}

}  // namespace

TEST(LinearBlockTest, CapacityBoundsOfSizeImportAddAndGet) {
    LinearBlock block(CAPACITY);
    EXPECT_EQ(block.getDataBlockSize(), CAPACITY + 6);
    EXPECT_FALSE(block.setVirtualBlockSize(CAPACITY));
    EXPECT_EQ(block.getDataBlockSize(), CAPACITY + 6);
    EXPECT_FALSE(block.setVirtualBlockSize(10));
    EXPECT_TRUE(block.setVirtualBlockSize(CAPACITY + 1));
    EXPECT_EQ(block.getDataBlockSize(), 16) << "a refused size changes nothing";

    std::vector<char> image(CAPACITY + 7, 'i');
    EXPECT_FALSE(block.importBlockData(image.data(), CAPACITY + 6));
    EXPECT_EQ(block.getDataBlockSize(), CAPACITY + 6);
    block.getDataBlock()[0] = 'z';
    EXPECT_TRUE(block.importBlockData(image.data(), CAPACITY + 7));
    EXPECT_EQ(block.getDataBlock()[0], 'z') << "a refused import copies nothing";

    block.reset();
    std::vector<char> big(CAPACITY, 'a');
    EXPECT_FALSE(block.addData(big.data(), CAPACITY - 2));
    EXPECT_TRUE(block.addData(big.data(), 3)) << "passes the capacity";
    EXPECT_FALSE(block.addData(big.data(), 2)) << "the cursor stayed, so 2 still fit";
    EXPECT_TRUE(block.addData('x'));
    char c = 0;
    block.reset();
    EXPECT_FALSE(block.getData(big.data(), CAPACITY));
    EXPECT_TRUE(block.getData(&c));
}

TEST(LinearBlockTest, ReadsAreBoundedByCapacityNotByImportedSize) {
    LinearBlock block(100);
    block.setVirtualBlockSize(100);
    block.reset();
    std::vector<char> older(100, 'o');
    block.addData(older.data(), 100);
    std::vector<char> image(20, 'n');
    ASSERT_FALSE(block.importBlockData(image.data(), 20));
    block.reset();
    char out[30];
    ASSERT_FALSE(block.getData(out, 30));
    EXPECT_EQ(std::string(out, 14), std::string(14, 'n'));
    EXPECT_EQ(std::string(out + 14, 16), std::string(16, 'o'));
}

TEST(LinearBlockTest, IntegersAreLittleEndianTwosComplement) {
    LinearBlock block(16);
    block.setVirtualBlockSize(12);
    block.reset();
    block.addData(1);
    block.addData(-1);
    block.addData(0x12345678);
    std::vector<unsigned char> bytes = dataBytes(block);
    std::vector<unsigned char> expected = {1,    0,    0,    0,    0xFF, 0xFF,
                                           0xFF, 0xFF, 0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(bytes, expected);
    block.reset();
    int a = 0;
    int b = 0;
    int c = 0;
    block.getData(&a);
    block.getData(&b);
    block.getData(&c);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, -1);
    EXPECT_EQ(c, 0x12345678);
}

TEST(LinearBlockTest, RoundTripCoversEveryWindowSizeAndShift) {
    std::set<std::tuple<int, int, int>> seen;
    std::vector<unsigned char> data(50);
    LinearBlock block(64);
    for (int round = 0; round < 20000 && seen.size() < 9u * 9u * 8u; round++) {
        for (size_t i = 0; i < data.size(); i++) {
            data[i] = static_cast<unsigned char>(round * 31 + i * 7);
        }
        fill(block, data);
        block.obfuscateData();
        const unsigned char* header = reinterpret_cast<unsigned char*>(block.getDataBlock());
        int length2 = header[0];
        int shift = header[1];
        int start1 = header[2];
        int length1 = header[3];
        int start2 = header[4];
        ASSERT_TRUE(length1 >= 8 && length1 <= 16 && length2 >= 8 && length2 <= 16);
        ASSERT_TRUE(shift >= 0 && shift <= 7);
        ASSERT_LE(start1 + length1, 119);
        ASSERT_LE(start2 + length2, 102);
        seen.insert(std::make_tuple(length1, length2, shift));
        ASSERT_FALSE(block.deobfuscateData());
        ASSERT_EQ(dataBytes(block), data);
    }
    EXPECT_EQ(seen.size(), 9u * 9u * 8u) << "every window size pair and shift was exercised";
}

TEST(LinearBlockTest, DecoderMatchesAHandMadeKeyStream) {
    // Windows of period 9 and 8 with a shift: the key stream wraps at
    // different points, which the hand-made block reproduces.
    std::vector<unsigned char> plain(40);
    for (size_t i = 0; i < plain.size(); i++) {
        plain[i] = static_cast<unsigned char>(0x81 + i * 13);
    }
    for (int shift : {0, 3, 7}) {
        std::string bytes = handMadeBlock(8, shift, 110, 9, 94, plain);
        LinearBlock block(64);
        ASSERT_FALSE(block.importBlockData(bytes.data(), static_cast<int>(bytes.size())));
        EXPECT_FALSE(block.deobfuscateData()) << "shift " << shift;
        EXPECT_EQ(dataBytes(block), plain) << "shift " << shift;
    }
}

TEST(LinearBlockTest, ChecksumsOfTheWorkedExamples) {
    LinearBlock block(16);
    fill(block, {0x61, 0x62, 0x63});
    block.obfuscateData();
    EXPECT_EQ(static_cast<unsigned char>(block.getDataBlock()[5]), 0x2A);

    // The response refusing a sign-up: response, type 1, length 1, code 1.
    fill(block, {0x03, 0x01, 0x01, 0x00, 0x00, 0x00, 0x01});
    block.obfuscateData();
    EXPECT_EQ(block.getDataBlockSize(), 13);
    EXPECT_EQ(static_cast<unsigned char>(block.getDataBlock()[5]), 0x48);

    block.setVirtualBlockSize(0);
    block.obfuscateData();
    EXPECT_EQ(static_cast<unsigned char>(block.getDataBlock()[5]), 0x4A);
    EXPECT_FALSE(block.deobfuscateData());
}

TEST(LinearBlockTest, AnyFlippedDataByteIsDetected) {
    std::vector<unsigned char> data(84);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<unsigned char>(i * 3);
    }
    LinearBlock block(84);
    fill(block, data);
    block.obfuscateData();
    std::string image(block.getDataBlock(), block.getDataBlockSize());
    for (size_t position = 6; position < image.size(); position++) {
        std::string damaged = image;
        damaged[position] = static_cast<char>(damaged[position] ^ 0x10);
        LinearBlock reader(84);
        reader.importBlockData(damaged.data(), static_cast<int>(damaged.size()));
        EXPECT_TRUE(reader.deobfuscateData()) << "flipped byte at " << position;
    }
}

TEST(LinearBlockTest, SameDataObfuscatesDifferentlyButDecodesAlike) {
    std::vector<unsigned char> data(32, 0x5A);
    LinearBlock first(32);
    LinearBlock second(32);
    fill(first, data);
    fill(second, data);
    first.obfuscateData();
    second.obfuscateData();
    EXPECT_NE(std::string(first.getDataBlock(), 38), std::string(second.getDataBlock(), 38));
    EXPECT_FALSE(first.deobfuscateData());
    EXPECT_FALSE(second.deobfuscateData());
    EXPECT_EQ(dataBytes(first), dataBytes(second));
}

TEST(LinearBlockTest, HeadersNamingWindowsOutsideTheKeysAreRefusedUntouched) {
    std::vector<unsigned char> plain(30, 0x11);
    struct BadHeader {
        int length2, shift, start1, length1, start2;
    };
    const BadHeader bad[] = {
        {7, 0, 0, 8, 0},       // second window too short
        {17, 0, 0, 8, 0},      // second window too long
        {8, 0, 0, 20, 0},      // first window too long
        {8, 8, 0, 8, 0},       // shift out of range
        {8, -1, 0, 8, 0},      // negative shift
        {8, 0, 112, 8, 0},     // first window runs past key 1 (119)
        {8, 0, 0, 8, 95},      // second window runs past key 2 (102)
        {8, 0, -3, 8, 0},      // negative start
        {16, 0, 104, 16, 86},  // one past the last valid first window
        {16, 0, 103, 16, 87},  // one past the last valid second window
    };
    for (const BadHeader& header : bad) {
        std::string bytes(6, '\0');
        bytes[0] = static_cast<char>(header.length2);
        bytes[1] = static_cast<char>(header.shift);
        bytes[2] = static_cast<char>(header.start1);
        bytes[3] = static_cast<char>(header.length1);
        bytes[4] = static_cast<char>(header.start2);
        bytes.append(plain.begin(), plain.end());
        LinearBlock block(64);
        block.importBlockData(bytes.data(), static_cast<int>(bytes.size()));
        EXPECT_TRUE(block.deobfuscateData());
        EXPECT_EQ(dataBytes(block), plain) << "no data byte touched";
    }
    // The largest valid windows are accepted.
    std::string edge = handMadeBlock(16, 7, 103, 16, 86, plain);
    LinearBlock block(64);
    block.importBlockData(edge.data(), static_cast<int>(edge.size()));
    EXPECT_FALSE(block.deobfuscateData());
    EXPECT_EQ(dataBytes(block), plain);
}
