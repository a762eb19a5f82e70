// LinearBlock.cpp - serialisation buffer and its obfuscation: data bytes
// are rotated and XORed with a random window of each of two compiled-in
// keys; the header records the windows, the shift and a checksum.
#include "LinearBlock.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

// The keys are shared with every game client and with every user.dat ever
// written: they must never change.
const char LinearBlock::encryptionKey1[LINEARBLOCK_KEY1_SIZE] =
    "ot9$2yZ;JaXZvNw7Zv[K{/"
    "P1O6CZ+4iz<Tkb[:9I%+eEAWz<0GO!e(v+0BN=r0k3M2E1E=0V`}y#Mx]gU`eKj7FM}alb1(;lZZln_g2NqC{)wlo4X8Y&"
    "nCT";
const char LinearBlock::encryptionKey2[LINEARBLOCK_KEY2_SIZE] =
    "T_HB&1B,QCV6j{TTya1v=QnY%[NA(ff+LuC+A0VSpQ8w7aOv@#i0V3&.6qUJ#z+[qY1^LL1(p9OeW9570^K_CXJ@"
    "Ovx281C-Kbv0.O";

namespace {

enum headerOffset_t {
    HEADER_SUBKEYLENGTH2 = 0,
    HEADER_SHIFT = 1,
    HEADER_SUBKEYSTART1 = 2,
    HEADER_SUBKEYLENGTH1 = 3,
    HEADER_SUBKEYSTART2 = 4,
    HEADER_CHECKSUM = 5,
};

const int SUBKEY_MIN = 8;
const int SUBKEY_MAX = 16;
const int SHIFT_LIMIT = 8;
const uint8_t CHECKSUM_SEED = 0x4A;

uint8_t rotateLeft(uint8_t value, int shift) {
    if (shift == 0) {
        return value;
    }
    return static_cast<uint8_t>((value << shift) | (value >> (8 - shift)));
}

uint8_t rotateRight(uint8_t value, int shift) {
    if (shift == 0) {
        return value;
    }
    return static_cast<uint8_t>((value >> shift) | (value << (8 - shift)));
}

// One key window: walks start..start+length-1 and wraps around.
struct KeyWindow {
    const char* key;
    int start;
    int length;
    int index;

    KeyWindow(const char* keyString, int windowStart, int windowLength)
        : key(keyString), start(windowStart), length(windowLength), index(windowStart) {}
    uint8_t next() {
        uint8_t value = static_cast<uint8_t>(key[index]);
        index++;
        if (index == start + length) {
            index = start;
        }
        return value;
    }
};

bool windowFits(int start, int length, int keyLength) {
    return length >= SUBKEY_MIN && length <= SUBKEY_MAX && start >= 0 &&
           start + length <= keyLength;
}

}  // namespace

LinearBlock::LinearBlock(int maxSize)
    : blockPointer(LINEARBLOCK_HEADER_SIZE),
      block(new char[maxSize + LINEARBLOCK_HEADER_SIZE]()),
      blockSize(maxSize + LINEARBLOCK_HEADER_SIZE),
      virtualBlockSize(maxSize + LINEARBLOCK_HEADER_SIZE) {}

LinearBlock::~LinearBlock() {
    delete[] block;
}

bool LinearBlock::setVirtualBlockSize(int size) {
    if (size > blockSize - LINEARBLOCK_HEADER_SIZE) {
        return true;
    }
    virtualBlockSize = size + LINEARBLOCK_HEADER_SIZE;
    return false;
}

void LinearBlock::reset() {
    blockPointer = LINEARBLOCK_HEADER_SIZE;
}

bool LinearBlock::importBlockData(const char* data, int dataLength) {
    if (dataLength > blockSize || dataLength < 0) {
        return true;
    }
    memcpy(block, data, dataLength);
    virtualBlockSize = dataLength;
    return false;
}

bool LinearBlock::rangeFits(int numberOfBytes) const {
    return numberOfBytes >= 0 && blockPointer + numberOfBytes <= blockSize;
}

bool LinearBlock::addData(const void* data, int numberOfBytes) {
    if (!rangeFits(numberOfBytes)) {
        return true;
    }
    memcpy(block + blockPointer, data, numberOfBytes);
    blockPointer += numberOfBytes;
    return false;
}

bool LinearBlock::addData(int integer) {
    uint32_t value = static_cast<uint32_t>(integer);
    unsigned char bytes[4];
    for (int i = 0; i < 4; i++) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
    return addData(bytes, sizeof bytes);
}

bool LinearBlock::addData(char byte) {
    return addData(&byte, 1);
}

bool LinearBlock::getData(void* data, int numberOfBytes) {
    if (!rangeFits(numberOfBytes)) {
        return true;
    }
    memcpy(data, block + blockPointer, numberOfBytes);
    blockPointer += numberOfBytes;
    return false;
}

bool LinearBlock::getData(int* integer) {
    unsigned char bytes[4];
    if (getData(bytes, sizeof bytes)) {
        return true;
    }
    uint32_t value = 0;
    for (int i = 0; i < 4; i++) {
        value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    }
    *integer = static_cast<int>(value);
    return false;
}

bool LinearBlock::getData(char* byte) {
    return getData(static_cast<void*>(byte), 1);
}

int LinearBlock::randomInt(int minValue, int maxValue) {
    return minValue + (rand() % (maxValue - minValue + 1));
}

void LinearBlock::obfuscateData() {
    // The five draws come in this order on both ends of the wire.
    int subKeyLength1 = rand() % 9 + SUBKEY_MIN;
    int subKeyStart1 = randomInt(0, static_cast<int>(strlen(encryptionKey1)) - subKeyLength1);
    int subKeyLength2 = rand() % 9 + SUBKEY_MIN;
    int subKeyStart2 = randomInt(0, static_cast<int>(strlen(encryptionKey2)) - subKeyLength2);
    int shift = rand() % SHIFT_LIMIT;
    block[HEADER_SUBKEYLENGTH2] = static_cast<char>(subKeyLength2);
    block[HEADER_SHIFT] = static_cast<char>(shift);
    block[HEADER_SUBKEYSTART1] = static_cast<char>(subKeyStart1);
    block[HEADER_SUBKEYLENGTH1] = static_cast<char>(subKeyLength1);
    block[HEADER_SUBKEYSTART2] = static_cast<char>(subKeyStart2);

    uint8_t checksum = CHECKSUM_SEED;
    KeyWindow window1(encryptionKey1, subKeyStart1, subKeyLength1);
    KeyWindow window2(encryptionKey2, subKeyStart2, subKeyLength2);
    // Local bounds: a store through char* would make the compiler reload
    // the members after every byte.
    uint8_t* data = reinterpret_cast<uint8_t*>(block);
    const int end = virtualBlockSize;
    for (int p = LINEARBLOCK_HEADER_SIZE; p < end; p++) {
        uint8_t value = data[p];
        checksum ^= value;
        data[p] = static_cast<uint8_t>(rotateLeft(value, shift) ^ window1.next() ^ window2.next());
    }
    block[HEADER_CHECKSUM] = static_cast<char>(checksum);
}

bool LinearBlock::headerIsValid() const {
    if (virtualBlockSize < LINEARBLOCK_HEADER_SIZE) {
        return false;
    }
    int subKeyLength2 = static_cast<signed char>(block[HEADER_SUBKEYLENGTH2]);
    int shift = static_cast<signed char>(block[HEADER_SHIFT]);
    int subKeyStart1 = static_cast<signed char>(block[HEADER_SUBKEYSTART1]);
    int subKeyLength1 = static_cast<signed char>(block[HEADER_SUBKEYLENGTH1]);
    int subKeyStart2 = static_cast<signed char>(block[HEADER_SUBKEYSTART2]);
    return shift >= 0 && shift < SHIFT_LIMIT &&
           windowFits(subKeyStart1, subKeyLength1, static_cast<int>(strlen(encryptionKey1))) &&
           windowFits(subKeyStart2, subKeyLength2, static_cast<int>(strlen(encryptionKey2)));
}

bool LinearBlock::deobfuscateData() {
    if (!headerIsValid()) {
        return true;  // windows outside the keys: refused, data untouched
    }
    int shift = block[HEADER_SHIFT];
    KeyWindow window1(encryptionKey1, block[HEADER_SUBKEYSTART1], block[HEADER_SUBKEYLENGTH1]);
    KeyWindow window2(encryptionKey2, block[HEADER_SUBKEYSTART2], block[HEADER_SUBKEYLENGTH2]);
    uint8_t checksum = CHECKSUM_SEED;
    uint8_t* data = reinterpret_cast<uint8_t*>(block);
    const int end = virtualBlockSize;
    for (int p = LINEARBLOCK_HEADER_SIZE; p < end; p++) {
        uint8_t mixed = static_cast<uint8_t>(data[p] ^ window1.next() ^ window2.next());
        uint8_t value = rotateRight(mixed, shift);
        data[p] = value;
        checksum ^= value;
    }
    return static_cast<uint8_t>(block[HEADER_CHECKSUM]) != checksum;
}
