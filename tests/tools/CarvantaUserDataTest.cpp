// CarvantaUserDataTest.cpp - the user.dat inspector as operators run it; the sample configs.
#include <gtest/gtest.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Configuration.h"
#include "Process.h"
#include "TestSupport.h"
#include "TextCopy.h"
#include "UserDataFile.h"
#include "UserDataSqlExport.h"
#include "UserFileImage.h"

namespace {

const long MARKER_BLOCK = 26;
const long RECORD_BLOCK = 90;
const long RECORD21_BLOCK = 86;

UserRecord account(const std::string& name, int id, int best = 0) {
    return {name, "pw-" + name, id, best};
}

std::vector<UserRecord> threeAccounts() {
    return {{"alice", "pw-alice", 1, 120, 4, 300, " 3- 5-2024", 7, 2},
            account("bob, jr", 2, 80),
            account("carol", 5)};
}

TEST(CarvantaUserDataTest, CommandsShowEveryAccountAndNameEveryFault) {
    TempDir dir;
    // Passwords and dates as the export must carry them: SQL literals and dates.
    const struct {
        const char* password;
        const char* date;
        const char* literal;
        const char* sqlDate;
    } exported[] = {
        {"o'neil", " 3- 5-2024", "'o''neil'", "2024-05-03 00:00:00"},
        {"", "31-12-1999", "''", "1999-12-31 00:00:00"},
        {"say \"hi\"; --", "00-00-0000", "'say \"hi\"; --'", SQL_UNKNOWN_DATE},
        {"a\\b", "32- 1-2024", "X'615C62'", SQL_UNKNOWN_DATE},  // a backslash: hex in any mode
        {"\xC3\xA9", " 1-13-2024", "X'C3A9'", SQL_UNKNOWN_DATE},
        {"a\nb", " 1- 1-2024x", "X'610A62'", SQL_UNKNOWN_DATE},
        {"plain", "", "'plain'", SQL_UNKNOWN_DATE},
    };
    std::vector<UserRecord> sqlAccounts;
    std::string sql = "export-sql: account 30 left out|START TRANSACTION;\n";
    for (const auto& a : exported) {
        int n = static_cast<int>(sqlAccounts.size());
        sqlAccounts.push_back({"u" + std::to_string(n), a.password, 10 + n, n * 7, 0, 0, a.date});
        sql += std::string("|INSERT INTO user (name, password, is_active, subscribed) VALUES ('u") +
               std::to_string(n) + "', MD5(" + a.literal + "), 1, NOW);\n" +
               "INSERT INTO scorelog (user_id, score, date) VALUES (LAST_INSERT_ID(), " +
               std::to_string(n * 7) + ", '" + a.sqlDate + "');\n";
    }
    sqlAccounts.push_back(account("u1", 30));  // a repeated name

    std::string current = currentFileImage(threeAccounts());
    std::string old21 = version21FileImage(threeAccounts());
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
    std::string files[][2] = {
        {"user.dat", current},
        {"old.dat", old21},
        {"sum.dat", current},  // the checksum of the third record fails
        {"header.dat", current},
        {"version.dat", current},
        {"bad21.dat", old21},
        {"29.dat", currentFileImage(threeAccounts(), "Version 02.9")},
        {"tail.dat", current + "0123456789"},
        {"many.dat", currentFileImage(many)},
        {"short.dat", std::string(25, '\0')},
        {"clash.dat", currentFileImage(clashes) + obfuscatedBlock(unterminated)},
        {"sql.dat", currentFileImage(sqlAccounts)},
    };
    files[2][1][MARKER_BLOCK + 2 * RECORD_BLOCK + 10] ^= 0x01;
    files[3][1][MARKER_BLOCK + RECORD_BLOCK + 3] = 40;  // window length of key 1
    files[4][1][8] ^= 0x20;
    files[5][1][RECORD21_BLOCK + 20] ^= 0x40;
    for (const auto& file : files) {
        writeFile(dir.file(file[0]), file[1]);
    }
    // What each command shows: texts separated by '|', in this order.
    const struct {
        std::string line;
        int status;
        std::string shown;
        std::string hidden = "";
    } runs[] = {
        {"dump", 0,
         "3 accounts, 296 bytes\n|    1  alice                ********               120   "
         "3- 5-2024      4     300    75         7       2\n    2  bob, jr |  5  carol ",
         "pw-"},
        {"dump --show-passwords user.dat", 0, "alice                pw-alice ", "****"},
        {"dump --csv --show-passwords", 0,
         "id,name,password,best_score,best_score_date,games_played,score_sum,"
         "two_player_games_played,two_player_games_won\n"
         "1,alice,pw-alice,120,\" 3- 5-2024\",4,300,7,2\n"
         "2,\"bob, jr\",\"pw-bob, "
         "jr\",80,00-00-0000,0,0,0,0\n5,carol,pw-carol,0,00-00-0000,0,0,0,0\n",
         "layout"},
        {"verify", 0, "user.dat: layout 4.0, 3 accounts, 296 bytes\nuser.dat: sound\n", "NOT"},
        {"verify old.dat", 0, "layout 2.1, 3 accounts, 258 bytes\nold.dat: sound (layout 2.1",
         "NOT"},
        {"dump --csv old.dat", 0, "\n1,alice,120,\" 3- 5-2024\",4,,7,2\n", "pw-"},
        {"verify sum.dat", 1,
         "2 accounts|sum.dat: NOT SOUND: block 3 at offset 206 (record of "
         "account 3): checksum mismatch; the server stops reading here and "
         "loads only the 2 account(s) before it\n"},
        {"dump sum.dat", 1, "NOT SOUND: block 3 at offset 206|    2  bob, jr ", "carol"},
        {"export-sql sum.dat", 1, "nothing exported; --force exports the 2 account(s)", "INSERT"},
        {"export-sql --force sum.dat", 0, "MD5('pw-alice')|MD5('pw-bob, jr')|COMMIT;", "pw-carol"},
        {"verify header.dat", 1,
         "1 account,|block 2 at offset 116 (record of account 2): header "
         "names key windows outside the keys"},
        {"verify version.dat", 1,
         "layout ?, 0|block 0 at offset 0 (version block): does not decode"},
        {"verify bad21.dat", 1,
         "2.1, 1 account|block 1 at offset 86 (record of account 2): checksum"},
        {"verify 29.dat", 1, "block 0 at offset 0 (version block): version 2.9 is older than 3.0"},
        {"verify tail.dat", 1,
         "3 accounts|block 4 at offset 296 (record of account 4): a partial "
         "block ends the file (10 bytes, whole blocks are 90)"},
        {"verify many.dat", 1,
         "100 accounts|block 101 at offset 9026 (record of account 101): the "
         "file holds more than 100 records"},
        {"verify short.dat", 1, "the file holds 25 bytes, fewer than the 26"},
        {"verify clash.dat", 1,
         "5 accounts|block 2 at offset 116 (record of account 2): user id 0 "
         "is below 1|block 3 at offset 206 (record of account 3): user name "
         "\"alice\" is taken by block 1|block 4 at offset 296 (record of "
         "account 4): user id 1 is taken by block 1|block 5 at offset 386 "
         "(record of account 5): the user name fills its 20 bytes"},
        {"dump clash.dat", 1, "    9  nnnnnnnnnnnnnnnnnnn  ***"},
        {"verify missing.dat", 3, "cannot read missing.dat: No such file or directory", "sound"},
        {"", 2, ""},
        {"frobnicate", 2, ""},
        {"verify --csv", 2, ""},
        {"dump a.dat b.dat", 2, ""},
        {"help", 0, "Cannot be carried over"},
        {"export-sql --force sql.dat", 4, sql + "|COMMIT;\n", "pw-u1"},
    };
    for (const auto& r : runs) {
        std::istringstream in(r.line);
        ToolRun result =
            runTool("CarvantaUserData", {std::istream_iterator<std::string>(in), {}}, dir.path());
        SCOPED_TRACE(r.line + ":\n" + result.output);
        EXPECT_EQ(r.status, result.status);
        std::string output =
            std::regex_replace(result.output, std::regex(", 1, '[-0-9: ]+'\\);"), ", 1, NOW);");
        std::istringstream shown(r.shown);
        size_t at = 0;
        for (std::string text; std::getline(shown, text, '|'); at += text.size()) {
            at = output.find(text, at);
            EXPECT_NE(std::string::npos, at) << text;
            at = at == std::string::npos ? 0 : at;
        }
        if (!r.hidden.empty()) {
            EXPECT_EQ(std::string::npos, output.find(r.hidden)) << r.hidden;
        }
    }
    EXPECT_EQ(files[2][1], readFile(dir.file("sum.dat"))) << "no command changes the file";
}

// The number of settings in the sample, then what the parser made of them.
std::string readSample(const std::string& name) {
    std::ifstream sample(std::string(CARVANTA_SOURCE_DIR) + "/config/" + name);
    Configuration* c = Configuration::getInstance();
    int settings = 0;
    for (std::string line; std::getline(sample, line);) {
        settings += !line.empty() && line[0] != '#';
        char buffer[CONFIG_LINE_MAX + 1];
        copyText(buffer, sizeof buffer, line.c_str());
        c->parseLine(buffer);
    }
    return std::to_string(settings) + " " + std::to_string(c->getServerPort()) + " " +
           std::to_string(c->getMaxClients()) + " " + c->getDatabaseType() + " " +
           c->getPidFileName() + " " + c->getLogFileName() + " " + c->getDatabaseHost() + " " +
           c->getDatabaseName() + " " + c->getDatabaseUser() + " " + c->getDatabasePassword();
}

TEST(ConfigSamplesTest, TheSamplesSayWhatTheirCommentsPromise) {
    std::string read = readSample("config-file.ini");
    EXPECT_EQ(0u, read.find("5 7777 100 file /run/carvanta/carvanta.pid "
                            "/var/log/carvanta/carvanta.log "))
        << read;
    read = readSample("config-mysql.ini");  // over the first: every setting is made again
    EXPECT_EQ(
        "9 7777 100 mysql /run/carvanta/carvanta.pid /var/log/carvanta/carvanta.log "
        "localhost carvanta carvanta change-me",
        read);
}

}  // namespace
