// UserDataFile.cpp - reads user.dat as the file store does (version block,
// then records; or the 2.1 layout when there is no version block) and notes
// every fault with the block it lies in. Never opens the file for writing.
#include "UserDataFile.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "LinearBlock.h"
#include "SimpleOsa.h"
#include "TextCopy.h"

namespace {

const int VERSION_BLOCK_BYTES = USERDATA_MARKER_BYTES + LINEARBLOCK_HEADER_SIZE;
const int RECORD_BLOCK_BYTES = USERDATA_RECORD_BYTES + LINEARBLOCK_HEADER_SIZE;
const int RECORD21_BLOCK_BYTES = USERDATA_RECORD21_BYTES + LINEARBLOCK_HEADER_SIZE;
const char VERSION_WORD[] = "Version";
const int VERSION_WORD_LENGTH = 7;
const int VERSION_MAJOR_OFFSET = 8;
const int VERSION_DOT_OFFSET = 10;
const int VERSION_MINOR_OFFSET = 11;
// Files marked below this major version are not read by the server.
const int VERSION_MAJOR_READ = 3;
const int FILE_NAME_MAX = 4096;
const int SCRATCH_BYTES = 4096;
const int DESCRIPTION_MAX = 96;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

UserDataFile::UserDataFile()
    : fileImage(new char[USERDATA_READ_LIMIT]), block(new LinearBlock(USERDATA_RECORD_BYTES)) {
    clear();
}

UserDataFile::~UserDataFile() {
    delete block;
    delete[] fileImage;
}

void UserDataFile::clear() {
    imageBytes = 0;
    fileSize = 0;
    openErrno = 0;
    layout = USERDATALAYOUT_EMPTY;
    copyText(layoutName, sizeof layoutName, "?");
    memset(records, 0, sizeof records);
    recordCount = 0;
    memset(faults, 0, sizeof faults);
    faultCount = 0;
    truncated = false;
}

const userDataRecord_t* UserDataFile::getRecord(int index) const {
    if (index < 0 || index >= recordCount) {
        return nullptr;
    }
    return &records[index];
}

const userDataFault_t* UserDataFile::getFault(int index) const {
    if (index < 0 || index >= faultCount || index >= USERDATA_MAX_FAULTS) {
        return nullptr;
    }
    return &faults[index];
}

userDataErr_t UserDataFile::load(const char* fileName) {
    clear();
    if (!readWholeFile(fileName)) {
        return USERDATAERR_OPEN;
    }
    parse();
    return USERDATAERR_OK;
}

// Keeps the first USERDATA_READ_LIMIT bytes and counts the rest.
bool UserDataFile::readWholeFile(const char* fileName) {
    char name[FILE_NAME_MAX];
    copyText(name, sizeof name, fileName);
    int file = -1;
    if (fileOpen(&file, name, OSAFILEMODE_READ) != OSAERR_OK) {
        openErrno = errno;
        return false;
    }
    bool ok = true;
    int got = 1;
    while (got > 0 && imageBytes < USERDATA_READ_LIMIT) {
        ok = fileReadSome(&file, fileImage + imageBytes,
                          USERDATA_READ_LIMIT - static_cast<int>(imageBytes), &got) == OSAERR_OK;
        imageBytes += ok ? got : 0;
        got = ok ? got : 0;
    }
    fileSize = imageBytes;
    char scratch[SCRATCH_BYTES];
    while (ok && got > 0) {
        ok = fileReadSome(&file, scratch, sizeof scratch, &got) == OSAERR_OK;
        fileSize += ok ? got : 0;
    }
    if (!ok) {
        openErrno = errno;
    }
    fileClose(&file);
    return ok;
}

void UserDataFile::parse() {
    if (fileSize < VERSION_BLOCK_BYTES) {
        char text[USERDATA_FAULT_TEXT];
        snprintf(text, sizeof text,
                 "the file holds %ld bytes, fewer than the %d of a version block: "
                 "the server starts with no accounts",
                 fileSize, VERSION_BLOCK_BYTES);
        addFault(USERDATAFAULT_EMPTY, -1, 0, text);
        return;
    }
    char marker[USERDATA_MARKER_BYTES];
    if (readVersionBlock(marker)) {
        parseCurrent(marker);
    } else {
        parseOlderLayout();
    }
}

// True when the first block decodes and carries a version marker.
bool UserDataFile::readVersionBlock(char* marker) {
    block->importBlockData(fileImage, VERSION_BLOCK_BYTES);
    if (!block->headerIsValid() || block->deobfuscateData()) {
        return false;
    }
    block->reset();
    block->getData(marker, USERDATA_MARKER_BYTES);
    return memcmp(marker, VERSION_WORD, VERSION_WORD_LENGTH) == 0 &&
           marker[VERSION_DOT_OFFSET] == '.';
}

// The version is read as the server reads it: two digits, a dot, one digit.
void UserDataFile::parseCurrent(const char* marker) {
    int major =
        (marker[VERSION_MAJOR_OFFSET] - '0') * 10 + (marker[VERSION_MAJOR_OFFSET + 1] - '0');
    int minor = marker[VERSION_MINOR_OFFSET] - '0';
    snprintf(layoutName, sizeof layoutName, "%d.%d", major, minor);
    bool digits = isDigit(marker[VERSION_MAJOR_OFFSET]) &&
                  isDigit(marker[VERSION_MAJOR_OFFSET + 1]) &&
                  isDigit(marker[VERSION_MINOR_OFFSET]);
    char text[USERDATA_FAULT_TEXT];
    if (!digits) {
        snprintf(text, sizeof text,
                 "block 0 at offset 0 (version block): the version number "
                 "is not made of digits");
        addFault(USERDATAFAULT_VERSION, 0, 0, text);
    }
    if (major < VERSION_MAJOR_READ) {
        layout = USERDATALAYOUT_OLDVERSION;
        snprintf(text, sizeof text,
                 "block 0 at offset 0 (version block): version %d.%d is older than 3.0; "
                 "the server reads no account from it and starts empty",
                 major, minor);
        addFault(USERDATAFAULT_VERSION, 0, 0, text);
        truncated = fileSize > VERSION_BLOCK_BYTES;
        return;
    }
    layout = USERDATALAYOUT_CURRENT;
    readBlocks(VERSION_BLOCK_BYTES, USERDATA_RECORD_BYTES, 1, false);
}

// No version block: the server tries the 2.1 layout, record blocks from 0.
void UserDataFile::parseOlderLayout() {
    if (!decodeBlock(0, USERDATA_RECORD21_BYTES, 0, false)) {
        layout = USERDATALAYOUT_UNKNOWN;
        bool looksCurrent = (fileSize - VERSION_BLOCK_BYTES) % RECORD_BLOCK_BYTES == 0;
        char text[USERDATA_FAULT_TEXT];
        snprintf(text, sizeof text,
                 "block 0 at offset 0 (%s): does not decode; the file reads neither as the "
                 "current layout nor as layout 2.1, and the server starts with no accounts",
                 looksCurrent ? "version block" : "version block or first 2.1 record");
        addFault(USERDATAFAULT_CHECKSUM, 0, 0, text);
        truncated = true;
        return;
    }
    layout = USERDATALAYOUT_21;
    copyText(layoutName, sizeof layoutName, "2.1");
    readBlocks(0, USERDATA_RECORD21_BYTES, 0, true);
}

// Reads record blocks to the end of the file, stopping where the server
// stops: a bad block, a partial block, or the 101st record.
void UserDataFile::readBlocks(long start, int dataBytes, int firstBlockNumber, bool olderLayout) {
    int blockBytes = dataBytes + LINEARBLOCK_HEADER_SIZE;
    long offset = start;
    for (int k = 0; offset < fileSize; k++) {
        int blockNumber = firstBlockNumber + k;
        if (k == USERDATA_MAX_RECORDS) {
            reportStop(USERDATAFAULT_TOOMANY, offset, blockNumber, blockBytes,
                       "the file holds more than 100 records");
            return;
        }
        if (fileSize - offset < blockBytes) {
            reportStop(USERDATAFAULT_PARTIAL, offset, blockNumber, blockBytes,
                       "a partial block ends the file");
            return;
        }
        if (!decodeBlock(offset, dataBytes, blockNumber, true)) {
            truncated = true;
            return;
        }
        takeRecord(blockNumber, offset, olderLayout);
        offset += blockBytes;
    }
}

void UserDataFile::reportStop(userDataFaultKind_t kind, long offset, int blockNumber,
                              int blockBytes, const char* why) {
    char where[DESCRIPTION_MAX];
    describeBlock(where, sizeof where, blockNumber, offset);
    char text[USERDATA_FAULT_TEXT];
    snprintf(text, sizeof text,
             "%s: %s (%ld bytes, whole blocks are %d); the server reads no "
             "account from here on",
             where, why, fileSize - offset, blockBytes);
    addFault(kind, blockNumber, offset, text);
    truncated = true;
}

// Leaves the decoded block in `block`. False (and a fault when asked) for a
// header that names windows outside the keys or a checksum that fails.
bool UserDataFile::decodeBlock(long offset, int dataBytes, int blockNumber, bool reportFaults) {
    block->importBlockData(fileImage + offset, dataBytes + LINEARBLOCK_HEADER_SIZE);
    bool headerOk = block->headerIsValid();
    bool checksumOk = headerOk && !block->deobfuscateData();
    if (checksumOk || !reportFaults) {
        return checksumOk;
    }
    char where[DESCRIPTION_MAX];
    describeBlock(where, sizeof where, blockNumber, offset);
    char text[USERDATA_FAULT_TEXT];
    snprintf(text, sizeof text,
             "%s: %s; the server stops reading here and loads only the %d "
             "account(s) before it",
             where, headerOk ? "checksum mismatch" : "header names key windows outside the keys",
             recordCount);
    addFault(headerOk ? USERDATAFAULT_CHECKSUM : USERDATAFAULT_HEADER, blockNumber, offset, text);
    return false;
}

// Fields in file order; a 2.1 record has no score sum.
void UserDataFile::takeRecord(int blockNumber, long offset, bool olderLayout) {
    char name[USERDATA_FIELD_SIZE];
    char password[USERDATA_FIELD_SIZE];
    char date[USERDATA_FIELD_SIZE];
    userDataRecord_t* record = &records[recordCount];
    block->reset();
    block->getData(name, USERDATA_FIELD_SIZE);
    block->getData(password, USERDATA_FIELD_SIZE);
    block->getData(&record->userId);
    block->getData(&record->highscore);
    block->getData(&record->gamesPlayed);
    record->scoreSum = 0;
    if (!olderLayout) {
        block->getData(&record->scoreSum);
    }
    block->getData(date, USERDATA_FIELD_SIZE);
    block->getData(&record->twoPlayerGamesPlayed);
    block->getData(&record->twoPlayerGamesWon);
    readField(record->userName, name, sizeof name);
    readField(record->password, password, sizeof password);
    readField(record->highscoreDate, date, sizeof date);
    record->blockNumber = blockNumber;
    record->offset = offset;
    checkTextField(name, "user name", blockNumber, offset);
    checkTextField(password, "password", blockNumber, offset);
    checkTextField(date, "date of the best score", blockNumber, offset);
    checkIdentity(record);
    recordCount++;
}

void UserDataFile::checkTextField(const char* raw, const char* what, int blockNumber, long offset) {
    if (memchr(raw, '\0', USERDATA_FIELD_SIZE) != nullptr) {
        return;
    }
    char where[DESCRIPTION_MAX];
    describeBlock(where, sizeof where, blockNumber, offset);
    char text[USERDATA_FAULT_TEXT];
    snprintf(text, sizeof text, "%s: the %s fills its 20 bytes without a terminating NUL", where,
             what);
    addFault(USERDATAFAULT_UNTERMINATED, blockNumber, offset, text);
}

// Ids must be 1 or more and unique; names unique (sign-up refuses a taken
// name, so a second record of a name can only come from damage or editing).
void UserDataFile::checkIdentity(const userDataRecord_t* record) {
    char where[DESCRIPTION_MAX];
    describeBlock(where, sizeof where, record->blockNumber, record->offset);
    char text[USERDATA_FAULT_TEXT];
    if (record->userId < 1) {
        snprintf(text, sizeof text, "%s: user id %d is below 1", where, record->userId);
        addFault(USERDATAFAULT_BADID, record->blockNumber, record->offset, text);
    }
    for (int i = 0; i < recordCount; i++) {
        if (records[i].userId == record->userId) {
            snprintf(text, sizeof text, "%s: user id %d is taken by block %d already", where,
                     record->userId, records[i].blockNumber);
            addFault(USERDATAFAULT_DUPLICATEID, record->blockNumber, record->offset, text);
        }
        if (strcmp(records[i].userName, record->userName) == 0) {
            snprintf(text, sizeof text, "%s: user name \"%s\" is taken by block %d already", where,
                     record->userName, records[i].blockNumber);
            addFault(USERDATAFAULT_DUPLICATENAME, record->blockNumber, record->offset, text);
        }
    }
}

void UserDataFile::addFault(userDataFaultKind_t kind, int blockNumber, long offset,
                            const char* text) {
    if (faultCount < USERDATA_MAX_FAULTS) {
        userDataFault_t* fault = &faults[faultCount];
        fault->kind = kind;
        fault->blockNumber = blockNumber;
        fault->offset = offset;
        copyText(fault->text, sizeof fault->text, text);
    }
    faultCount++;
}

// "block 3 at offset 206 (record of account 3)"; accounts count from 1.
void UserDataFile::describeBlock(char* text, size_t size, int blockNumber, long offset) {
    bool olderLayout = layout == USERDATALAYOUT_21;
    if (!olderLayout && blockNumber == 0) {
        snprintf(text, size, "block 0 at offset 0 (version block)");
        return;
    }
    int account = olderLayout ? blockNumber + 1 : blockNumber;
    snprintf(text, size, "block %d at offset %ld (record of account %d)", blockNumber, offset,
             account);
}
