// LinearBlockFuzz.cpp - an arbitrary block, as it comes from the wire
// (import) or from user.dat (read into the buffer), is de-obfuscated and
// then read with every kind of getData; afterwards the rest of the input
// goes through obfuscation and back. Checks: no access outside the buffer
// or the keys, getData refuses exactly the reads past the capacity and
// returns the decoded bytes, a header naming windows outside the keys is a
// checksum failure, and obfuscation round-trips and detects a changed byte.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "FuzzSupport.h"
#include "LinearBlock.h"

namespace {

// Capacities the program uses: protocol buffers, user.dat records of both
// layouts, the version block.
const int CAPACITIES[] = {3300, 84, 80, 20};
const int CAPACITY_COUNT = sizeof CAPACITIES / sizeof CAPACITIES[0];
const int MAX_READS = 64;
const int MAX_READ_LENGTH = 3400;

enum readKind_t { READ_INT, READ_CHAR, READ_RUN, READ_KIND_COUNT };

// Loads the block as the wire or the file store would.
void loadBlock(FuzzedDataProvider* input, LinearBlock* block, int capacity) {
    bool fromFile = input->ConsumeBool();
    int length = input->ConsumeIntegralInRange<int>(0, capacity + LINEARBLOCK_HEADER_SIZE + 8);
    std::vector<char> bytes = input->ConsumeBytes<char>(length);
    // Callers always pass a buffer, even for no bytes.
    bytes.reserve(1);
    if (!fromFile) {
        bool refused = block->importBlockData(bytes.data(), static_cast<int>(bytes.size()));
        FUZZ_CHECK(refused ==
                   (static_cast<int>(bytes.size()) > capacity + LINEARBLOCK_HEADER_SIZE));
        return;
    }
    int dataBytes = static_cast<int>(bytes.size()) - LINEARBLOCK_HEADER_SIZE;
    bool refused = block->setVirtualBlockSize(dataBytes);
    FUZZ_CHECK(refused == (dataBytes > capacity));
    if (!refused && !bytes.empty()) {
        memcpy(block->getDataBlock(), bytes.data(), bytes.size());
    }
}

// One getData of a kind chosen by the input; `cursor` is where the block's
// cursor must be.
void readOnce(FuzzedDataProvider* input, LinearBlock* block, int capacity, int* cursor,
              std::vector<char>* decoded) {
    int kind = input->ConsumeIntegralInRange<int>(0, READ_KIND_COUNT - 1);
    int length = kind == READ_INT ? 4 : 1;
    if (kind == READ_RUN) {
        length = input->ConsumeIntegralInRange<int>(0, MAX_READ_LENGTH);
    }
    std::vector<char> out(static_cast<size_t>(length) + 1, 0);
    bool refused;
    if (kind == READ_INT) {
        int value = 0;
        refused = block->getData(&value);
        memcpy(out.data(), &value, sizeof value);
    } else if (kind == READ_CHAR) {
        refused = block->getData(out.data());
    } else {
        refused = block->getData(out.data(), length);
    }
    bool pastCapacity = *cursor + length > capacity + LINEARBLOCK_HEADER_SIZE;
    FUZZ_CHECK(refused == pastCapacity);
    if (refused) {
        return;
    }
    FUZZ_CHECK(memcmp(out.data(), decoded->data() + *cursor, static_cast<size_t>(length)) == 0);
    *cursor += length;
}

void decodeAndRead(FuzzedDataProvider* input) {
    int capacity = CAPACITIES[input->ConsumeIntegralInRange<int>(0, CAPACITY_COUNT - 1)];
    LinearBlock block(capacity);
    memset(block.getDataBlock(), 0, static_cast<size_t>(capacity + LINEARBLOCK_HEADER_SIZE));
    loadBlock(input, &block, capacity);
    bool validHeader = block.headerIsValid();
    bool checksumFailed = block.deobfuscateData();
    FUZZ_CHECK(validHeader || checksumFailed);
    std::vector<char> decoded(block.getDataBlock(),
                              block.getDataBlock() + capacity + LINEARBLOCK_HEADER_SIZE);
    block.reset();
    int cursor = LINEARBLOCK_HEADER_SIZE;
    int reads = input->ConsumeIntegralInRange<int>(0, MAX_READS);
    for (int read = 0; read < reads; read++) {
        readOnce(input, &block, capacity, &cursor, &decoded);
    }
}

void roundTrip(FuzzedDataProvider* input) {
    int capacity = CAPACITIES[input->ConsumeIntegralInRange<int>(0, CAPACITY_COUNT - 1)];
    size_t flipAt = input->ConsumeIntegral<uint16_t>();
    uint8_t flipMask = input->ConsumeIntegralInRange<uint8_t>(1, 255);
    std::vector<char> payload = input->ConsumeBytes<char>(static_cast<size_t>(capacity));
    payload.reserve(1);
    int length = static_cast<int>(payload.size());
    LinearBlock out(capacity);
    FUZZ_CHECK(!out.setVirtualBlockSize(length));
    out.reset();
    FUZZ_CHECK(!out.addData(payload.data(), length));
    out.obfuscateData();
    FUZZ_CHECK(out.headerIsValid());
    FUZZ_CHECK(out.getDataBlockSize() == length + LINEARBLOCK_HEADER_SIZE);
    std::vector<char> wire(out.getDataBlock(), out.getDataBlock() + out.getDataBlockSize());

    LinearBlock in(capacity);
    FUZZ_CHECK(!in.importBlockData(wire.data(), static_cast<int>(wire.size())));
    FUZZ_CHECK(!in.deobfuscateData());
    in.reset();
    std::vector<char> back(payload.size() + 1);
    FUZZ_CHECK(!in.getData(back.data(), length));
    FUZZ_CHECK(memcmp(back.data(), payload.data(), payload.size()) == 0);
    if (length == 0) {
        return;
    }
    wire[LINEARBLOCK_HEADER_SIZE + flipAt % payload.size()] ^= static_cast<char>(flipMask);
    FUZZ_CHECK(!in.importBlockData(wire.data(), static_cast<int>(wire.size())));
    FUZZ_CHECK(in.deobfuscateData());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzQuietOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    decodeAndRead(&input);
    roundTrip(&input);
    return 0;
}
