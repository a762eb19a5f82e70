// UserDataFileTest.cpp - the inspector's reader on user.dat images: the
// current layout field by field, the 2.1 layout, files the file store wrote
// (also after converting a 2.1 file), and every kind of damage with the
// block it is named in.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "UserBaseFile.h"
#include "UserDataFile.h"
#include "UserFileImage.h"

namespace {

const long MARKER_BLOCK = 26;
const long RECORD_BLOCK = 90;
const long RECORD21_BLOCK = 86;

UserRecord account(const std::string& name, int id, int best = 0) {
    UserRecord record;
    record.name = name;
    record.password = "pw-" + name;
    record.id = id;
    record.highscore = best;
    return record;
}

std::vector<UserRecord> threeAccounts() {
    UserRecord alice = account("alice", 1, 120);
    alice.gamesPlayed = 4;
    alice.scoreSum = 300;
    alice.date = " 3- 5-2024";
    alice.twoPlayerGamesPlayed = 7;
    alice.twoPlayerGamesWon = 2;
    return {alice, account("bob", 2, 80), account("carol", 5)};
}

class UserDataFileTest : public ::testing::Test {
protected:
    // Writes image as user.dat in the test's directory and reads it back.
    void load(const std::string& image) {
        writeFile(dir.file("user.dat"), image);
        ASSERT_EQ(USERDATAERR_OK, file.load(dir.file("user.dat").c_str()));
    }
    void expectFirstFault(userDataFaultKind_t kind, int blockNumber, long offset) {
        ASSERT_FALSE(file.isSound());
        const userDataFault_t* fault = file.getFault(0);
        ASSERT_NE(nullptr, fault);
        EXPECT_EQ(kind, fault->kind) << fault->text;
        EXPECT_EQ(blockNumber, fault->blockNumber) << fault->text;
        EXPECT_EQ(offset, fault->offset) << fault->text;
    }

    TempDir dir;
    UserDataFile file;
};

TEST_F(UserDataFileTest, ReadsEveryFieldOfTheCurrentLayout) {
    load(currentFileImage(threeAccounts()));
    EXPECT_TRUE(file.isSound());
    EXPECT_FALSE(file.isTruncated());
    EXPECT_EQ(USERDATALAYOUT_CURRENT, file.getLayout());
    EXPECT_STREQ("4.0", file.getLayoutName());
    EXPECT_EQ(MARKER_BLOCK + 3 * RECORD_BLOCK, file.getFileSize());
    ASSERT_EQ(3, file.getRecordCount());
    const userDataRecord_t* alice = file.getRecord(0);
    EXPECT_STREQ("alice", alice->userName);
    EXPECT_STREQ("pw-alice", alice->password);
    EXPECT_EQ(1, alice->userId);
    EXPECT_EQ(120, alice->highscore);
    EXPECT_EQ(4, alice->gamesPlayed);
    EXPECT_EQ(300, alice->scoreSum);
    EXPECT_STREQ(" 3- 5-2024", alice->highscoreDate);
    EXPECT_EQ(7, alice->twoPlayerGamesPlayed);
    EXPECT_EQ(2, alice->twoPlayerGamesWon);
    EXPECT_EQ(1, alice->blockNumber);
    EXPECT_EQ(MARKER_BLOCK, alice->offset);
    EXPECT_STREQ("carol", file.getRecord(2)->userName);
    EXPECT_EQ(5, file.getRecord(2)->userId);
    EXPECT_EQ(MARKER_BLOCK + 2 * RECORD_BLOCK, file.getRecord(2)->offset);
    EXPECT_EQ(nullptr, file.getRecord(3));
}

TEST_F(UserDataFileTest, ReadsTheOlderLayout21) {
    std::vector<UserRecord> records = threeAccounts();
    load(version21FileImage(records));
    EXPECT_TRUE(file.isSound());
    EXPECT_EQ(USERDATALAYOUT_21, file.getLayout());
    EXPECT_STREQ("2.1", file.getLayoutName());
    ASSERT_EQ(3, file.getRecordCount());
    const userDataRecord_t* alice = file.getRecord(0);
    EXPECT_STREQ("alice", alice->userName);
    EXPECT_EQ(4, alice->gamesPlayed);  // 2.1 keeps the count, not the sum
    EXPECT_EQ(0, alice->scoreSum);
    EXPECT_STREQ(" 3- 5-2024", alice->highscoreDate);
    EXPECT_EQ(7, alice->twoPlayerGamesPlayed);
    EXPECT_EQ(0, alice->blockNumber);
    EXPECT_EQ(RECORD21_BLOCK * 2, file.getRecord(2)->offset);
}

TEST_F(UserDataFileTest, AFileWithoutAccountsIsSound) {
    load(currentFileImage({}));
    EXPECT_TRUE(file.isSound());
    EXPECT_EQ(0, file.getRecordCount());
    EXPECT_EQ(USERDATALAYOUT_CURRENT, file.getLayout());
}

// One kind of damage and how the reader names it: the first fault, the
// layout it still sees, and how many records it reads (what the server
// loads) before it stops.
struct Damage {
    const char* what;
    std::string image;
    userDataFaultKind_t kind;
    int blockNumber;
    long offset;
    userDataLayout_t layout;
    int recordsRead;
    bool truncated;
};

std::vector<Damage> damages() {
    std::string current = currentFileImage(threeAccounts());
    std::string checksum = current;
    checksum[MARKER_BLOCK + 2 * RECORD_BLOCK + 10] ^= 0x01;
    std::string header = current;
    header[MARKER_BLOCK + RECORD_BLOCK + 3] = 40;  // window length of key 1
    std::string version = current;
    version[8] ^= 0x20;
    std::string record21 = version21FileImage(threeAccounts());
    record21[RECORD21_BLOCK + 20] ^= 0x40;
    std::vector<UserRecord> many;
    for (int i = 1; i <= USERDATA_MAX_RECORDS + 2; i++) {
        many.push_back(account("user" + std::to_string(i), i));
    }
    std::string foreign;
    for (int i = 0; i < MARKER_BLOCK + RECORD_BLOCK; i++) {
        foreign.push_back(static_cast<char>('a' + i % 26));
    }
    const long tooMany = MARKER_BLOCK + USERDATA_MAX_RECORDS * RECORD_BLOCK;
    return {
        {"record checksum", checksum, USERDATAFAULT_CHECKSUM, 3, MARKER_BLOCK + 2 * RECORD_BLOCK,
         USERDATALAYOUT_CURRENT, 2, true},
        {"header outside the keys", header, USERDATAFAULT_HEADER, 2, MARKER_BLOCK + RECORD_BLOCK,
         USERDATALAYOUT_CURRENT, 1, true},
        {"version block", version, USERDATAFAULT_CHECKSUM, 0, 0, USERDATALAYOUT_UNKNOWN, 0, true},
        {"2.1 record", record21, USERDATAFAULT_CHECKSUM, 1, RECORD21_BLOCK, USERDATALAYOUT_21, 1,
         true},
        {"old marker", currentFileImage(threeAccounts(), "Version 02.9"), USERDATAFAULT_VERSION, 0,
         0, USERDATALAYOUT_OLDVERSION, 0, true},
        {"trailing bytes", current + std::string(10, 'x'), USERDATAFAULT_PARTIAL, 4,
         MARKER_BLOCK + 3 * RECORD_BLOCK, USERDATALAYOUT_CURRENT, 3, true},
        {"over a hundred records", currentFileImage(many), USERDATAFAULT_TOOMANY,
         USERDATA_MAX_RECORDS + 1, tooMany, USERDATALAYOUT_CURRENT, USERDATA_MAX_RECORDS, true},
        {"empty", "", USERDATAFAULT_EMPTY, -1, 0, USERDATALAYOUT_EMPTY, 0, false},
        {"shorter than a block", std::string(25, '\0'), USERDATAFAULT_EMPTY, -1, 0,
         USERDATALAYOUT_EMPTY, 0, false},
        {"foreign", foreign, USERDATAFAULT_CHECKSUM, 0, 0, USERDATALAYOUT_UNKNOWN, 0, true},
    };
}

TEST_F(UserDataFileTest, NamesTheFirstDamagedBlockAndStopsThere) {
    for (const Damage& damage : damages()) {
        SCOPED_TRACE(damage.what);
        load(damage.image);
        expectFirstFault(damage.kind, damage.blockNumber, damage.offset);
        EXPECT_EQ(damage.layout, file.getLayout());
        EXPECT_EQ(damage.recordsRead, file.getRecordCount());
        EXPECT_EQ(damage.truncated, file.isTruncated());
        if (damage.blockNumber == 0 && file.getFault(0) != nullptr) {
            EXPECT_NE(nullptr, strstr(file.getFault(0)->text, "version block"));
        }
    }
}

TEST_F(UserDataFileTest, RecordContentFaultsAreNamedButTheRecordIsRead) {
    std::vector<UserRecord> records = threeAccounts();
    records[1].id = 0;
    records[2].name = "alice";
    records.push_back(account("dave", 1));
    load(currentFileImage(records));
    ASSERT_EQ(4, file.getRecordCount());
    ASSERT_EQ(3, file.getFaultCount());
    EXPECT_EQ(USERDATAFAULT_BADID, file.getFault(0)->kind);
    EXPECT_EQ(2, file.getFault(0)->blockNumber);
    EXPECT_EQ(USERDATAFAULT_DUPLICATENAME, file.getFault(1)->kind);
    EXPECT_EQ(3, file.getFault(1)->blockNumber);
    EXPECT_EQ(USERDATAFAULT_DUPLICATEID, file.getFault(2)->kind);
    EXPECT_EQ(4, file.getFault(2)->blockNumber);
    EXPECT_FALSE(file.isTruncated());
}

TEST_F(UserDataFileTest, AnUnterminatedTextFieldIsCutAndNamed) {
    std::vector<UserRecord> records = threeAccounts();
    std::string data = recordData(records[0]);
    memset(&data[0], 'n', USERDATA_FIELD_SIZE);  // name without its NUL
    std::string image = currentFileImage({}) + obfuscatedBlock(data);
    load(image);
    ASSERT_EQ(1, file.getRecordCount());
    EXPECT_EQ(std::string(USERDATA_FIELD_SIZE - 1, 'n'), file.getRecord(0)->userName);
    expectFirstFault(USERDATAFAULT_UNTERMINATED, 1, MARKER_BLOCK);
}

TEST_F(UserDataFileTest, AMissingFileCannotBeOpened) {
    EXPECT_EQ(USERDATAERR_OPEN, file.load(dir.file("none.dat").c_str()));
    EXPECT_EQ(ENOENT, file.getOpenErrno());
    EXPECT_EQ(USERDATAERR_OPEN, file.load(dir.path().c_str()));  // a directory
}

// A 2.1 file converted by the store: the old file stays readable as 2.1,
// the new one carries the same accounts in the current layout.
TEST_F(UserDataFileTest, ReadsBothFilesOfAConversion) {
    dir.enter();
    writeFile("user.dat", version21FileImage(threeAccounts()));
    delete UserBaseFile::getInstance();
    ASSERT_EQ(USERDATAERR_OK, file.load("user.dat.old"));
    EXPECT_EQ(USERDATALAYOUT_21, file.getLayout());
    EXPECT_TRUE(file.isSound());
    UserDataFile converted;
    ASSERT_EQ(USERDATAERR_OK, converted.load("user.dat"));
    EXPECT_EQ(USERDATALAYOUT_CURRENT, converted.getLayout());
    EXPECT_TRUE(converted.isSound());
    ASSERT_EQ(3, converted.getRecordCount());
    for (int i = 0; i < 3; i++) {
        EXPECT_STREQ(file.getRecord(i)->userName, converted.getRecord(i)->userName);
        EXPECT_EQ(file.getRecord(i)->highscore, converted.getRecord(i)->highscore);
        EXPECT_EQ(0, converted.getRecord(i)->gamesPlayed);  // not carried by the store
    }
}

}  // namespace
