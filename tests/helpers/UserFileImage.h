// UserFileImage.h - builds and parses user.dat images for tests, block by
// block with LinearBlock, independently of the store: current layout
// (version block, 84-byte records) and the older 2.1 layout (80-byte
// records, no version block). Fields are built with the wire helpers of
// LoopbackClient.h (20-byte texts, little-endian integers).
#ifndef USERFILEIMAGE_H
#define USERFILEIMAGE_H

#include <string>
#include <vector>

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

// One obfuscated block (6-byte header + data) holding these data bytes.
std::string obfuscatedBlock(const std::string& data);
// The data bytes of one block image; *checksumFailed tells the checksum test.
std::string deobfuscatedData(const std::string& image, bool* checksumFailed);

std::string recordData(const UserRecord& record);    // 84 bytes
std::string record21Data(const UserRecord& record);  // 80 bytes
// A whole file: marker block ("Version 04.0" unless given) then records.
std::string currentFileImage(const std::vector<UserRecord>& records,
                             const std::string& marker = "Version 04.0");
std::string version21FileImage(const std::vector<UserRecord>& records);

// Decodes a current-layout file. False when the size is not 26 + 90 n, a
// checksum fails, the marker is not "Version 04.0" with 8 NULs, or a text
// field is not NUL-padded.
// Today's local date as the file store writes it: "%2d-%2d-%4d".
std::string todayDateText();
// One high-score entry of the file store, its text only.
std::string highscoreEntryText(int rank, const std::string& name, const std::string& date,
                               int score);
// The same entry in its 50-byte slot, NUL-padded, as it travels on the wire.
std::string highscoreSlot(int rank, const std::string& name, const std::string& date, int score);

bool parseCurrentFile(const std::string& image, std::vector<UserRecord>* records);

#endif
