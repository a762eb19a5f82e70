// LinearBlock.h - fixed-capacity byte buffer with a cursor and a 6-byte
// header, in which every envelope and every piece of user.dat is built, read
// and obfuscated. A block has no lock: one thread uses it at a time.
#ifndef LINEARBLOCK_H
#define LINEARBLOCK_H

// Header bytes in front of the data bytes.
const int LINEARBLOCK_HEADER_SIZE = 6;
// Sizes of the two key arrays, terminator included.
const int LINEARBLOCK_KEY1_SIZE = 120;
const int LINEARBLOCK_KEY2_SIZE = 103;

class LinearBlock {
public:
    // Every bool result is true for an error, false for success.
    explicit LinearBlock(int maxSize);
    virtual ~LinearBlock();
    LinearBlock(const LinearBlock&) = delete;
    LinearBlock& operator=(const LinearBlock&) = delete;

    // size data bytes (header not counted); refused above maxSize.
    bool setVirtualBlockSize(int size);
    void reset();
    char* getDataBlock() { return block; }
    int getDataBlockSize() { return virtualBlockSize; }
    bool importBlockData(const char* data, int dataLength);

    bool addData(const void* data, int numberOfBytes);
    bool addData(int integer);
    bool addData(char byte);
    bool getData(void* data, int numberOfBytes);
    bool getData(int* integer);
    bool getData(char* byte);

    void obfuscateData();
    // True if the checksum does not match. A header that names key windows
    // outside the keys, or a shift outside 0..7, touches no data byte and
    // also gives true.
    bool deobfuscateData();
    // True if the header names windows inside the keys and a valid shift.
    bool headerIsValid() const;

    static const char encryptionKey1[LINEARBLOCK_KEY1_SIZE];
    static const char encryptionKey2[LINEARBLOCK_KEY2_SIZE];

private:
    int randomInt(int minValue, int maxValue);
    bool rangeFits(int numberOfBytes) const;

    int blockPointer;
    char* block;
    int blockSize;
    int virtualBlockSize;
};

#endif
