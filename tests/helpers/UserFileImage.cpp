// UserFileImage.cpp - user.dat images for tests (see UserFileImage.h).
#include "UserFileImage.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "LinearBlock.h"
#include "LoopbackClient.h"

namespace {

const size_t FIELD = 20;
const size_t MARKER_SIZE = 20;
const size_t RECORD_SIZE = 84;
const size_t HEADER = LINEARBLOCK_HEADER_SIZE;

std::string readText(const std::string& data, size_t offset) {
    return std::string(data.c_str() + offset, strnlen(data.c_str() + offset, FIELD));
}

}  // namespace

std::string obfuscatedBlock(const std::string& data) {
    LinearBlock block(static_cast<int>(data.size()));
    block.setVirtualBlockSize(static_cast<int>(data.size()));
    block.reset();
    block.addData(data.data(), static_cast<int>(data.size()));
    block.obfuscateData();
    return std::string(block.getDataBlock(), block.getDataBlockSize());
}

std::string deobfuscatedData(const std::string& image, bool* checksumFailed) {
    LinearBlock block(static_cast<int>(image.size()));
    block.importBlockData(image.data(), static_cast<int>(image.size()));
    *checksumFailed = block.deobfuscateData();
    return std::string(block.getDataBlock() + HEADER, image.size() - HEADER);
}

std::string recordData(const UserRecord& r) {
    return nameField(r.name) + nameField(r.password) + int32le(r.id) + int32le(r.highscore) +
           int32le(r.gamesPlayed) + int32le(r.scoreSum) + nameField(r.date) +
           int32le(r.twoPlayerGamesPlayed) + int32le(r.twoPlayerGamesWon);
}

std::string record21Data(const UserRecord& r) {
    return nameField(r.name) + nameField(r.password) + int32le(r.id) + int32le(r.highscore) +
           int32le(r.gamesPlayed) + nameField(r.date) + int32le(r.twoPlayerGamesPlayed) +
           int32le(r.twoPlayerGamesWon);
}

std::string currentFileImage(const std::vector<UserRecord>& records, const std::string& marker) {
    std::string image = obfuscatedBlock(nameField(marker));
    for (const UserRecord& record : records) {
        image += obfuscatedBlock(recordData(record));
    }
    return image;
}

std::string version21FileImage(const std::vector<UserRecord>& records) {
    std::string image;
    for (const UserRecord& record : records) {
        image += obfuscatedBlock(record21Data(record));
    }
    return image;
}

bool parseCurrentFile(const std::string& image, std::vector<UserRecord>* records) {
    records->clear();
    const size_t markerBlock = MARKER_SIZE + HEADER;
    const size_t recordBlock = RECORD_SIZE + HEADER;
    if (image.size() < markerBlock || (image.size() - markerBlock) % recordBlock != 0) {
        return false;
    }
    bool failed = false;
    std::string marker = deobfuscatedData(image.substr(0, markerBlock), &failed);
    if (failed || marker != nameField("Version 04.0")) {
        return false;
    }
    for (size_t offset = markerBlock; offset < image.size(); offset += recordBlock) {
        std::string data = deobfuscatedData(image.substr(offset, recordBlock), &failed);
        if (failed) {
            return false;
        }
        UserRecord r;
        r.name = readText(data, 0);
        r.password = readText(data, 20);
        r.id = readInt32le(data, 40);
        r.highscore = readInt32le(data, 44);
        r.gamesPlayed = readInt32le(data, 48);
        r.scoreSum = readInt32le(data, 52);
        r.date = readText(data, 56);
        r.twoPlayerGamesPlayed = readInt32le(data, 76);
        r.twoPlayerGamesWon = readInt32le(data, 80);
        if (recordData(r) != data) {
            return false;  // bytes behind a text's NUL that are not NUL
        }
        records->push_back(r);
    }
    return true;
}

std::string todayDateText() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char date[32];
    snprintf(date, sizeof date, "%2d-%2d-%4d", local.tm_mday, local.tm_mon + 1,
             local.tm_year + 1900);
    return date;
}

std::string highscoreEntryText(int rank, const std::string& name, const std::string& date,
                               int score) {
    char text[64];
    snprintf(text, sizeof text, "%3d. %10s %10s %4d", rank, name.c_str(), date.c_str(), score);
    return text;
}

std::string highscoreSlot(int rank, const std::string& name, const std::string& date, int score) {
    std::string slot = highscoreEntryText(rank, name, date, score);
    slot.resize(50, '\0');
    return slot;
}
