// UserFileImage.h - user.dat images (current and 2.1 layout) built and parsed apart from the store.
#ifndef USERFILEIMAGE_H
#define USERFILEIMAGE_H

#include <time.h>

#include <string>
#include <vector>

#include "LoopbackClient.h"

struct UserRecord {
    std::string name;
    std::string password;
    int id = 0;
    int highscore = 0;
    int gamesPlayed = 0;
    int scoreSum = 0;  // not in the 2.1 layout
    std::string date = "00-00-0000";
    int twoPlayerGamesPlayed = 0;
    int twoPlayerGamesWon = 0;
};

inline std::string obfuscatedBlock(const std::string& data) {
    LinearBlock block(static_cast<int>(data.size()));
    block.setVirtualBlockSize(static_cast<int>(data.size()));
    block.reset();
    block.addData(data.data(), static_cast<int>(data.size()));
    block.obfuscateData();
    return std::string(block.getDataBlock(), block.getDataBlockSize());
}

// 84 bytes, or the 80 of the 2.1 layout.
inline std::string recordData(const UserRecord& r, bool version21 = false) {
    return nameField(r.name) + nameField(r.password) + int32le(r.id) + int32le(r.highscore) +
           int32le(r.gamesPlayed) + (version21 ? "" : int32le(r.scoreSum)) + nameField(r.date) +
           int32le(r.twoPlayerGamesPlayed) + int32le(r.twoPlayerGamesWon);
}

inline std::string recordBlocks(const std::vector<UserRecord>& records, bool version21) {
    std::string blocks;
    for (const UserRecord& record : records) {
        blocks += obfuscatedBlock(recordData(record, version21));
    }
    return blocks;
}

// The marker block ("Version 04.0" unless given), then the records.
inline std::string currentFileImage(const std::vector<UserRecord>& records,
                                    const std::string& marker = "Version 04.0") {
    return obfuscatedBlock(nameField(marker)) + recordBlocks(records, false);
}

inline std::string version21FileImage(const std::vector<UserRecord>& records) {
    return recordBlocks(records, true);
}

// Today's local date as the file store writes it.
inline std::string todayDateText() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char date[32];
    snprintf(date, sizeof date, "%2d-%2d-%4d", local.tm_mday, local.tm_mon + 1,
             local.tm_year + 1900);
    return date;
}

inline std::string highscoreEntryText(int rank, const std::string& name, const std::string& date,
                                      int score) {
    char text[64];
    snprintf(text, sizeof text, "%3d. %10s %10s %4d", rank, name.c_str(), date.c_str(), score);
    return text;
}

// The same in its 50-byte slot, NUL-padded, as it travels on the wire.
inline std::string highscoreSlot(int rank, const std::string& name, const std::string& date,
                                 int score) {
    return (highscoreEntryText(rank, name, date, score) + std::string(50, '\0')).substr(0, 50);
}

// False when the size is not 26 + 90 n, a checksum fails, the marker is not "Version 04.0" with
// 8 NULs, or a text field is not NUL-padded.
inline bool parseCurrentFile(const std::string& image, std::vector<UserRecord>* records) {
    records->clear();
    const size_t markerBlock = 26;
    const size_t recordBlock = 90;
    bool failed = image.size() < markerBlock || (image.size() - markerBlock) % recordBlock != 0;
    auto data = [&](size_t at, size_t size) {
        LinearBlock block(static_cast<int>(size));
        block.importBlockData(image.data() + at, static_cast<int>(size));
        failed = failed || block.deobfuscateData();
        return std::string(block.getDataBlock() + LINEARBLOCK_HEADER_SIZE,
                           size - LINEARBLOCK_HEADER_SIZE);
    };
    auto text = [](const std::string& bytes, size_t at) {
        return std::string(bytes.c_str() + at, strnlen(bytes.c_str() + at, PROTOCOL_NAME_SIZE));
    };
    if (failed || data(0, markerBlock) != nameField("Version 04.0")) {
        return false;
    }
    for (size_t at = markerBlock; at < image.size() && !failed; at += recordBlock) {
        std::string bytes = data(at, recordBlock);
        UserRecord r = {text(bytes, 0),         text(bytes, 20),        readInt32le(bytes, 40),
                        readInt32le(bytes, 44), readInt32le(bytes, 48), readInt32le(bytes, 52),
                        text(bytes, 56),        readInt32le(bytes, 76), readInt32le(bytes, 80)};
        failed = failed || recordData(r) != bytes;  // bytes behind a text's NUL that are not NUL
        if (!failed) {
            records->push_back(r);
        }
    }
    return !failed;
}

#endif
