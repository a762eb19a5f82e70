// CarvantaUserDataTest.cpp - the user.dat inspector: its reader, its SQL export and its commands.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "Process.h"
#include "TestSupport.h"
#include "UserBaseFile.h"
#include "UserDataFile.h"
#include "UserDataSqlExport.h"
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
    return {alice, account("bob, jr", 2, 80), account("carol", 5)};
}

std::string faultAt(int kind, int blockNumber, long offset) {
    return std::to_string(kind) + " in block " + std::to_string(blockNumber) + " at " +
           std::to_string(offset);
}

class CarvantaUserDataTest : public ::testing::Test {
protected:
    void load(const std::string& image) {
        writeFile(dir.file("user.dat"), image);
        ASSERT_EQ(USERDATAERR_OK, file.load(dir.file("user.dat").c_str()));
    }
    std::string fault(int index) {
        const userDataFault_t* f = file.getFault(index);
        return f == nullptr ? "sound" : faultAt(f->kind, f->blockNumber, f->offset);
    }

    TempDir dir;
    UserDataFile file;
};

TEST_F(CarvantaUserDataTest, NamesTheFirstDamagedBlockAndStopsThere) {
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
    const struct {
        const char* what;
        std::string image;
        std::string fault;
        userDataLayout_t layout;
        int recordsRead;
        bool truncated;
    } damages[] = {
        {"sound", current, "sound", USERDATALAYOUT_CURRENT, 3, false},
        {"sound 2.1", version21FileImage(threeAccounts()), "sound", USERDATALAYOUT_21, 3, false},
        {"no accounts", currentFileImage({}), "sound", USERDATALAYOUT_CURRENT, 0, false},
        {"record checksum", checksum,
         faultAt(USERDATAFAULT_CHECKSUM, 3, MARKER_BLOCK + 2 * RECORD_BLOCK),
         USERDATALAYOUT_CURRENT, 2, true},
        {"header outside the keys", header,
         faultAt(USERDATAFAULT_HEADER, 2, MARKER_BLOCK + RECORD_BLOCK), USERDATALAYOUT_CURRENT, 1,
         true},
        {"version block", version, faultAt(USERDATAFAULT_CHECKSUM, 0, 0), USERDATALAYOUT_UNKNOWN, 0,
         true},
        {"2.1 record", record21, faultAt(USERDATAFAULT_CHECKSUM, 1, RECORD21_BLOCK),
         USERDATALAYOUT_21, 1, true},
        {"old marker", currentFileImage(threeAccounts(), "Version 02.9"),
         faultAt(USERDATAFAULT_VERSION, 0, 0), USERDATALAYOUT_OLDVERSION, 0, true},
        {"trailing bytes", current + std::string(10, 'x'),
         faultAt(USERDATAFAULT_PARTIAL, 4, MARKER_BLOCK + 3 * RECORD_BLOCK), USERDATALAYOUT_CURRENT,
         3, true},
        {"over a hundred records", currentFileImage(many),
         faultAt(USERDATAFAULT_TOOMANY, USERDATA_MAX_RECORDS + 1,
                 MARKER_BLOCK + USERDATA_MAX_RECORDS * RECORD_BLOCK),
         USERDATALAYOUT_CURRENT, USERDATA_MAX_RECORDS, true},
        {"empty", "", faultAt(USERDATAFAULT_EMPTY, -1, 0), USERDATALAYOUT_EMPTY, 0, false},
        {"shorter than a block", std::string(25, '\0'), faultAt(USERDATAFAULT_EMPTY, -1, 0),
         USERDATALAYOUT_EMPTY, 0, false},
        {"foreign", std::string(MARKER_BLOCK + RECORD_BLOCK, 'a'),
         faultAt(USERDATAFAULT_CHECKSUM, 0, 0), USERDATALAYOUT_UNKNOWN, 0, true},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.what);
        load(damage.image);
        EXPECT_EQ(damage.fault, fault(0));
        EXPECT_EQ(damage.fault == "sound", file.isSound());
        EXPECT_EQ(damage.layout, file.getLayout());
        EXPECT_EQ(damage.recordsRead, file.getRecordCount());
        EXPECT_EQ(damage.truncated, file.isTruncated());
        if (file.getFault(0) != nullptr && file.getFault(0)->blockNumber == 0) {
            EXPECT_NE(nullptr, strstr(file.getFault(0)->text, "version block"));
        }
        bool older = damage.layout == USERDATALAYOUT_21;
        for (int i = 0; i < file.getRecordCount(); i++) {
            EXPECT_EQ(older ? i : i + 1, file.getRecord(i)->blockNumber);
            EXPECT_EQ(older ? i * RECORD21_BLOCK : MARKER_BLOCK + i * RECORD_BLOCK,
                      file.getRecord(i)->offset);
        }
    }
}

TEST_F(CarvantaUserDataTest, RecordContentFaultsAreNamedButTheRecordIsRead) {
    std::vector<UserRecord> records = threeAccounts();
    records[1].id = 0;
    records[2].name = "alice";
    records.push_back(account("dave", 1));
    std::string unterminated = recordData(account("erin", 9));
    memset(&unterminated[0], 'n', USERDATA_FIELD_SIZE);  // a name without its NUL
    load(currentFileImage(records) + obfuscatedBlock(unterminated));
    ASSERT_EQ(5, file.getRecordCount());
    EXPECT_EQ(faultAt(USERDATAFAULT_BADID, 2, MARKER_BLOCK + RECORD_BLOCK), fault(0));
    EXPECT_EQ(faultAt(USERDATAFAULT_DUPLICATENAME, 3, MARKER_BLOCK + 2 * RECORD_BLOCK), fault(1));
    EXPECT_EQ(faultAt(USERDATAFAULT_DUPLICATEID, 4, MARKER_BLOCK + 3 * RECORD_BLOCK), fault(2));
    EXPECT_EQ(faultAt(USERDATAFAULT_UNTERMINATED, 5, MARKER_BLOCK + 4 * RECORD_BLOCK), fault(3));
    EXPECT_EQ("sound", fault(4));
    EXPECT_EQ(std::string(USERDATA_FIELD_SIZE - 1, 'n'), file.getRecord(4)->userName);
    EXPECT_FALSE(file.isTruncated());
}

// The store converts a 2.1 file: the old one stays readable as 2.1, the new one is current.
TEST_F(CarvantaUserDataTest, ReadsBothFilesOfAConversion) {
    dir.enter();
    writeFile("user.dat", version21FileImage(threeAccounts()));
    delete UserBaseFile::getInstance();
    ASSERT_EQ(USERDATAERR_OK, file.load("user.dat.old"));
    EXPECT_EQ(USERDATALAYOUT_21, file.getLayout());
    UserDataFile converted;
    ASSERT_EQ(USERDATAERR_OK, converted.load("user.dat"));
    EXPECT_EQ(USERDATALAYOUT_CURRENT, converted.getLayout());
    EXPECT_TRUE(file.isSound() && converted.isSound());
    ASSERT_EQ(3, converted.getRecordCount());
    for (int i = 0; i < 3; i++) {
        EXPECT_STREQ(file.getRecord(i)->userName, converted.getRecord(i)->userName);
        EXPECT_EQ(file.getRecord(i)->highscore, converted.getRecord(i)->highscore);
    }
}

TEST_F(CarvantaUserDataTest, TheSqlExportKeepsEveryByteAndEveryBestScore) {
    const struct {
        const char* password;
        const char* date;
        const char* literal;
        const char* sqlDate;
    } accounts[] = {
        {"o'neil", " 3- 5-2024", "'o''neil'", "2024-05-03 00:00:00"},
        {"", "31-12-1999", "''", "1999-12-31 00:00:00"},
        {"say \"hi\"; --", "00-00-0000", "'say \"hi\"; --'", SQL_UNKNOWN_DATE},
        {"a\\b", "32- 1-2024", "X'615C62'", SQL_UNKNOWN_DATE},  // a backslash: hex in any mode
        {"\xC3\xA9", " 1-13-2024", "X'C3A9'", SQL_UNKNOWN_DATE},
        {"a\nb", " 1- 1-2024x", "X'610A62'", SQL_UNKNOWN_DATE},
        {"plain", "", "'plain'", SQL_UNKNOWN_DATE},
    };
    std::vector<UserRecord> records;
    for (const auto& a : accounts) {
        records.push_back(account("u" + std::to_string(records.size()), 10 + records.size(),
                                  static_cast<int>(records.size()) * 7));
        records.back().password = a.password;
        records.back().date = a.date;
    }
    records[0].gamesPlayed = 3;
    records[0].scoreSum = 200;
    records.push_back(account("u1", 30));  // a repeated name
    load(currentFileImage(records));
    char* sql = nullptr;
    char* errors = nullptr;
    size_t sqlSize = 0;
    size_t errorsSize = 0;
    FILE* out = open_memstream(&sql, &sqlSize);
    FILE* err = open_memstream(&errors, &errorsSize);
    EXPECT_EQ(1, UserDataSqlExport::write(out, err, file, "user.dat", "2025-01-02 03:04:05"));
    fclose(out);
    fclose(err);
    std::string text(sql, sqlSize);
    EXPECT_NE(nullptr, strstr(errors, "export-sql: account 30 left out")) << errors;
    free(sql);
    free(errors);
    EXPECT_EQ(1, countOccurrences(text, "START TRANSACTION;\n"));
    EXPECT_EQ(text.size() - 8, text.rfind("COMMIT;\n"));
    EXPECT_EQ(7, countOccurrences(text, "INSERT INTO user "));
    EXPECT_EQ(7, countOccurrences(text, "INSERT INTO scorelog "));
    EXPECT_NE(std::string::npos, text.find("3 games played, score sum 200"));
    for (size_t i = 0; i < records.size() - 1; i++) {
        EXPECT_NE(std::string::npos,
                  text.find("INSERT INTO user (name, password, is_active, subscribed) VALUES ('u" +
                            std::to_string(i) + "', MD5(" + accounts[i].literal +
                            "), 1, '2025-01-02 03:04:05');\nINSERT INTO scorelog (user_id, score, "
                            "date) VALUES (LAST_INSERT_ID(), " +
                            std::to_string(i * 7) + ", '" + accounts[i].sqlDate + "');\n"))
            << accounts[i].password << "\n"
            << text;
    }
}

TEST_F(CarvantaUserDataTest, CommandsAsAnOperatorRunsThem) {
    std::string bad = currentFileImage(threeAccounts());
    bad[MARKER_BLOCK + RECORD_BLOCK + 30] ^= 0x08;
    std::vector<UserRecord> twice = {account("ann", 1), account("ann", 2)};
    twice[1].password = "other";
    writeFile(dir.file("user.dat"), currentFileImage(threeAccounts()));
    writeFile(dir.file("old.dat"), version21FileImage(threeAccounts()));
    writeFile(dir.file("bad.dat"), bad);
    writeFile(dir.file("twice.dat"), currentFileImage(twice));
    writeFile(dir.file("empty.dat"), "");
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> shown;
        const char* hidden;
    } runs[] = {
        {{"dump"},
         0,
         {"user.dat: layout 4.0, 3 accounts, 296 bytes\n",
          "    1  alice                ********               120   3- 5-2024      4     300    75"
          "         7       2\n    2  bob, jr ",
          "    5  carol "},
         "pw-"},
        {{"dump", "--show-passwords", "user.dat"}, 0, {"alice                pw-alice "}, "****"},
        {{"dump", "--csv", "--show-passwords"},
         0,
         {"id,name,password,best_score,best_score_date,games_played,score_sum,"
          "two_player_games_played,two_player_games_won\n"
          "1,alice,pw-alice,120,\" 3- 5-2024\",4,300,7,2\n"
          "2,\"bob, jr\",\"pw-bob, jr\",80,00-00-0000,0,0,0,0\n"
          "5,carol,pw-carol,0,00-00-0000,0,0,0,0\n"},
         "layout"},
        {{"verify"}, 0, {"user.dat: sound\n"}, "NOT"},
        {{"verify", "old.dat"},
         0,
         {"old.dat: layout 2.1, 3 accounts, 258 bytes\n", "old.dat: sound (layout 2.1"},
         "NOT"},
        {{"dump", "--csv", "old.dat"}, 0, {"\n1,alice,120,\" 3- 5-2024\",4,,7,2\n"}, "pw-"},
        {{"verify", "bad.dat"},
         1,
         {"bad.dat: layout 4.0, 1 account, 296 bytes\nbad.dat: NOT SOUND: block 2 at offset 116 "
          "(record of account 2): checksum mismatch; the server stops reading here and loads "
          "only the 1 account(s) before it\n"},
         "sound\n"},
        {{"dump", "bad.dat"}, 1, {"    1  alice ", "NOT SOUND: block 2 at offset 116"}, "carol"},
        {{"export-sql", "bad.dat"},
         1,
         {"nothing exported; --force exports the 1 account(s)"},
         "INSERT"},
        {{"export-sql", "--force", "bad.dat"}, 0, {"MD5('pw-alice')", "COMMIT;"}, "MD5('pw-bob"},
        {{"export-sql", "--force", "twice.dat"}, 4, {"account 2 left out"}, "MD5('other')"},
        {{"verify", "none.dat"}, 3, {"cannot read none.dat: No such file or directory"}, "sound"},
        {{"verify", "."}, 3, {"cannot read ."}, "sound"},
        {{"verify", "empty.dat"}, 1, {}, nullptr},
        {{}, 2, {}, nullptr},
        {{"frobnicate"}, 2, {}, nullptr},
        {{"verify", "--csv"}, 2, {}, nullptr},
        {{"dump", "a.dat", "b.dat"}, 2, {}, nullptr},
        {{"help"}, 0, {"Cannot be carried over"}, nullptr},
    };
    for (const auto& r : runs) {
        ToolRun run = runTool("CarvantaUserData", r.args, dir.path());
        SCOPED_TRACE((r.args.empty() ? "" : r.args[0]) + " " +
                     (r.args.size() > 1 ? r.args.back() : "") + ":\n" + run.output);
        EXPECT_EQ(r.status, run.status);
        for (const std::string& text : r.shown) {
            EXPECT_NE(std::string::npos, run.output.find(text)) << text;
        }
        if (r.hidden != nullptr) {
            EXPECT_EQ(std::string::npos, run.output.find(r.hidden)) << r.hidden;
        }
    }
    EXPECT_EQ(bad, readFile(dir.file("bad.dat"))) << "no command changes the file";
}

}  // namespace
