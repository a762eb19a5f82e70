// CarvantaUserDataTest.cpp - the user.dat inspector: its reader, its SQL export and its commands.
#include <gtest/gtest.h>
#include <string.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "Process.h"
#include "TestSupport.h"
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

std::string changed(std::string image, long at, char value) {
    image[at] = value;
    return image;
}

class CarvantaUserDataTest : public ::testing::Test {
protected:
    void load(const std::string& image) {
        writeFile(dir.file("user.dat"), image);
        ASSERT_EQ(USERDATAERR_OK, file.load(dir.file("user.dat").c_str()));
    }
    // "LAYOUT RECORDS [truncated]:" and each fault as "KIND BLOCK OFFSET", or " sound".
    std::string readerSays() {
        const char* const layouts[] = {"empty", "current", "2.1", "old", "unknown"};
        const char* const kinds[] = {"empty",   "header",       "checksum", "version", "partial",
                                     "toomany", "unterminated", "badid",    "dupid",   "dupname"};
        std::string says = std::string(layouts[file.getLayout()]) + " " +
                           std::to_string(file.getRecordCount()) +
                           (file.isTruncated() ? " truncated:" : ":");
        for (int i = 0; file.getFault(i) != nullptr; i++) {
            const userDataFault_t* f = file.getFault(i);
            says += std::string(i == 0 ? " " : ", ") + kinds[f->kind] + " " +
                    std::to_string(f->blockNumber) + " " + std::to_string(f->offset);
        }
        return says + (file.isSound() ? " sound" : "");
    }

    TempDir dir;
    UserDataFile file;
};

TEST_F(CarvantaUserDataTest, NamesEveryFaultAndStopsWhereTheServerStops) {
    std::string current = currentFileImage(threeAccounts());
    std::vector<UserRecord> many;
    for (int i = 1; i <= USERDATA_MAX_RECORDS + 2; i++) {
        many.push_back(account("user" + std::to_string(i), i));
    }
    std::vector<UserRecord> clashes = threeAccounts();
    clashes[1].id = 0;
    clashes[2].name = "alice";
    clashes.push_back(account("dave", 1));
    std::string unterminated = recordData(account("erin", 9));
    memset(&unterminated[0], 'n', USERDATA_FIELD_SIZE);  // a name without its NUL
    std::string old21 = version21FileImage(threeAccounts());
    const long second = MARKER_BLOCK + RECORD_BLOCK;
    const long third = second + RECORD_BLOCK;
    const struct {
        const char* what;
        std::string image;
        std::string says;
    } files[] = {
        {"sound", current, "current 3: sound"},
        {"sound 2.1", old21, "2.1 3: sound"},
        {"no accounts", currentFileImage({}), "current 0: sound"},
        {"record checksum", changed(current, third + 10, current[third + 10] ^ 1),
         "current 2 truncated: checksum 3 206"},
        {"header outside the keys", changed(current, second + 3, 40),
         "current 1 truncated: header 2 116"},
        {"version block", changed(current, 8, current[8] ^ 0x20),
         "unknown 0 truncated: checksum 0 0"},
        {"2.1 record", changed(old21, RECORD21_BLOCK + 20, old21[RECORD21_BLOCK + 20] ^ 0x40),
         "2.1 1 truncated: checksum 1 86"},
        {"old marker", currentFileImage(threeAccounts(), "Version 02.9"),
         "old 0 truncated: version 0 0"},
        {"trailing bytes", current + "0123456789", "current 3 truncated: partial 4 296"},
        {"over a hundred records", currentFileImage(many),
         "current 100 truncated: toomany 101 " +
             std::to_string(MARKER_BLOCK + USERDATA_MAX_RECORDS * RECORD_BLOCK)},
        {"empty", "", "empty 0: empty -1 0"},
        {"shorter than a block", std::string(25, '\0'), "empty 0: empty -1 0"},
        {"foreign", std::string(second, 'a'), "unknown 0 truncated: checksum 0 0"},
        {"records that clash or lack a NUL",
         currentFileImage(clashes) + obfuscatedBlock(unterminated),
         "current 5: badid 2 116, dupname 3 206, dupid 4 296, unterminated 5 386"},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.what);
        load(f.image);
        EXPECT_EQ(f.says, readerSays());
        if (file.getFault(0) != nullptr && file.getFault(0)->blockNumber == 0) {
            EXPECT_NE(nullptr, strstr(file.getFault(0)->text, "version block"));
        }
        bool older = file.getLayout() == USERDATALAYOUT_21;
        for (int i = 0; i < file.getRecordCount(); i++) {
            EXPECT_EQ(older ? i : i + 1, file.getRecord(i)->blockNumber);
            EXPECT_EQ(older ? i * RECORD21_BLOCK : MARKER_BLOCK + i * RECORD_BLOCK,
                      file.getRecord(i)->offset);
        }
    }
    EXPECT_EQ(std::string(USERDATA_FIELD_SIZE - 1, 'n'), file.getRecord(4)->userName);
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
        const char* line;
        int status;
        std::vector<std::string> shown;
        const char* hidden;
    } runs[] = {
        {"dump",
         0,
         {"user.dat: layout 4.0, 3 accounts, 296 bytes\n",
          "    1  alice                ********               120   3- 5-2024      4     300    75"
          "         7       2\n    2  bob, jr ",
          "    5  carol "},
         "pw-"},
        {"dump --show-passwords user.dat", 0, {"alice                pw-alice "}, "****"},
        {"dump --csv --show-passwords",
         0,
         {"id,name,password,best_score,best_score_date,games_played,score_sum,"
          "two_player_games_played,two_player_games_won\n"
          "1,alice,pw-alice,120,\" 3- 5-2024\",4,300,7,2\n"
          "2,\"bob, jr\",\"pw-bob, jr\",80,00-00-0000,0,0,0,0\n"
          "5,carol,pw-carol,0,00-00-0000,0,0,0,0\n"},
         "layout"},
        {"verify", 0, {"user.dat: sound\n"}, "NOT"},
        {"verify old.dat",
         0,
         {"old.dat: layout 2.1, 3 accounts, 258 bytes\n", "old.dat: sound (layout 2.1"},
         "NOT"},
        {"dump --csv old.dat", 0, {"\n1,alice,120,\" 3- 5-2024\",4,,7,2\n"}, "pw-"},
        {"verify bad.dat",
         1,
         {"bad.dat: layout 4.0, 1 account, 296 bytes\nbad.dat: NOT SOUND: block 2 at offset 116 "
          "(record of account 2): checksum mismatch; the server stops reading here and loads "
          "only the 1 account(s) before it\n"},
         "sound\n"},
        {"dump bad.dat", 1, {"    1  alice ", "NOT SOUND: block 2 at offset 116"}, "carol"},
        {"export-sql bad.dat", 1, {"nothing exported; --force exports the 1 account(s)"}, "INSERT"},
        {"export-sql --force bad.dat", 0, {"MD5('pw-alice')", "COMMIT;"}, "MD5('pw-bob"},
        {"export-sql --force twice.dat", 4, {"account 2 left out"}, "MD5('other')"},
        {"verify none.dat", 3, {"cannot read none.dat: No such file or directory"}, "sound"},
        {"verify .", 3, {"cannot read ."}, "sound"},
        {"verify empty.dat", 1, {}, "sound\n"},
        {"", 2, {}, nullptr},
        {"frobnicate", 2, {}, nullptr},
        {"verify --csv", 2, {}, nullptr},
        {"dump a.dat b.dat", 2, {}, nullptr},
        {"help", 0, {"Cannot be carried over"}, nullptr},
    };
    for (const auto& r : runs) {
        std::istringstream line(r.line);
        std::vector<std::string> args{std::istream_iterator<std::string>(line),
                                      std::istream_iterator<std::string>()};
        ToolRun run = runTool("CarvantaUserData", args, dir.path());
        SCOPED_TRACE(std::string(r.line) + ":\n" + run.output);
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
        int n = static_cast<int>(records.size());
        records.push_back(account("u" + std::to_string(n), 10 + n, n * 7));
        records.back().password = a.password;
        records.back().date = a.date;
    }
    records[0].gamesPlayed = 3;
    records[0].scoreSum = 200;
    records.push_back(account("u1", 30));  // a repeated name
    writeFile(dir.file("user.dat"), currentFileImage(records));
    ToolRun run = runTool("CarvantaUserData", {"export-sql", "--force"}, dir.path());
    EXPECT_EQ(4, run.status);
    const std::string& sql = run.output;
    EXPECT_NE(std::string::npos, sql.find("export-sql: account 30 left out")) << sql;
    EXPECT_EQ(1, countOccurrences(sql, "START TRANSACTION;\n"));
    EXPECT_EQ(sql.size() - 8, sql.rfind("COMMIT;\n"));
    EXPECT_EQ(7, countOccurrences(sql, "INSERT INTO user "));
    EXPECT_EQ(7, countOccurrences(sql, "INSERT INTO scorelog "));
    EXPECT_NE(std::string::npos, sql.find("3 games played, score sum 200"));
    for (int i = 0; i < 7; i++) {
        size_t user =
            sql.find("INSERT INTO user (name, password, is_active, subscribed) VALUES ('u" +
                     std::to_string(i) + "', MD5(" + accounts[i].literal + "), 1, '");
        EXPECT_NE(std::string::npos, user) << accounts[i].password << "\n" << sql;
        EXPECT_EQ(sql.find("');\nINSERT INTO scorelog (user_id, score, date) VALUES "
                           "(LAST_INSERT_ID(), " +
                               std::to_string(i * 7) + ", '" + accounts[i].sqlDate + "');\n",
                           user),
                  sql.find("');\n", user))
            << accounts[i].password << "\n"
            << sql;
    }
}

}  // namespace
