// CarvantaUserDataTest.cpp - the inspector as an operator runs it: the
// printed table and CSV, verify's verdict and exit status on sound, 2.1 and
// damaged files, export-sql's refusal of a damaged file, and usage errors.
// The file is never changed by any command.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "Process.h"
#include "UserFileImage.h"

namespace {

std::vector<UserRecord> accounts() {
    UserRecord alice;
    alice.name = "alice";
    alice.password = "s3cret";
    alice.id = 1;
    alice.highscore = 120;
    alice.gamesPlayed = 4;
    alice.scoreSum = 300;
    alice.date = " 3- 5-2024";
    UserRecord bob;
    bob.name = "bob, jr";
    bob.password = "hunter2";
    bob.id = 2;
    UserRecord carol;
    carol.name = "carol";
    carol.password = "pw";
    carol.id = 3;
    return {alice, bob, carol};
}

class CarvantaUserDataTest : public ::testing::Test {
protected:
    ToolRun run(const std::vector<std::string>& args) {
        return runTool("CarvantaUserData", args, dir.path());
    }
    void expectContains(const ToolRun& result, const std::string& text) {
        EXPECT_NE(std::string::npos, result.output.find(text)) << "missing \"" << text << "\" in:\n"
                                                               << result.output;
    }

    TempDir dir;
};

TEST_F(CarvantaUserDataTest, DumpPrintsEveryAccountWithMaskedPasswords) {
    writeFile(dir.file("user.dat"), currentFileImage(accounts()));
    ToolRun result = run({"dump"});
    EXPECT_EQ(0, result.status);
    expectContains(result, "user.dat: layout 4.0, 3 accounts, 296 bytes\n");
    expectContains(result,
                   "    1  alice                ********               120   3- 5-2024"
                   "      4     300    75         0       0\n");
    expectContains(result, "    2  bob, jr ");
    expectContains(result, "    3  carol ");
    EXPECT_EQ(std::string::npos, result.output.find("s3cret"));

    result = run({"dump", "--show-passwords", "user.dat"});
    EXPECT_EQ(0, result.status);
    expectContains(result, "alice                s3cret ");
}

TEST_F(CarvantaUserDataTest, DumpWritesCsv) {
    writeFile(dir.file("users.bin"), currentFileImage(accounts()));
    ToolRun result = run({"dump", "--csv", "--show-passwords", "users.bin"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(
        "id,name,password,best_score,best_score_date,games_played,score_sum,"
        "two_player_games_played,two_player_games_won\n"
        "1,alice,s3cret,120,\" 3- 5-2024\",4,300,0,0\n"
        "2,\"bob, jr\",hunter2,0,00-00-0000,0,0,0,0\n"
        "3,carol,pw,0,00-00-0000,0,0,0,0\n",
        result.output);
}

TEST_F(CarvantaUserDataTest, VerifyPassesSoundFilesOfBothLayouts) {
    writeFile(dir.file("user.dat"), currentFileImage(accounts()));
    writeFile(dir.file("old.dat"), version21FileImage(accounts()));
    ToolRun result = run({"verify"});
    EXPECT_EQ(0, result.status);
    expectContains(result, "user.dat: sound\n");
    result = run({"verify", "old.dat"});
    EXPECT_EQ(0, result.status);
    expectContains(result, "old.dat: layout 2.1, 3 accounts, 258 bytes\n");
    expectContains(result, "old.dat: sound (layout 2.1");
    result = run({"dump", "--csv", "old.dat"});
    EXPECT_EQ(0, result.status);
    expectContains(result, "\n1,alice,120,\" 3- 5-2024\",4,,0,0\n");  // 2.1 has no sum
}

TEST_F(CarvantaUserDataTest, VerifyNamesTheFirstBadBlockAndLeavesTheFileAlone) {
    std::string image = currentFileImage(accounts());
    image[26 + 90 + 30] ^= 0x08;
    writeFile(dir.file("user.dat"), image);
    ToolRun result = run({"verify"});
    EXPECT_EQ(1, result.status);
    expectContains(result, "user.dat: layout 4.0, 1 account, 296 bytes\n");
    expectContains(result,
                   "user.dat: NOT SOUND: block 2 at offset 116 (record of account 2): "
                   "checksum mismatch; the server stops reading here and loads only "
                   "the 1 account(s) before it\n");
    EXPECT_EQ(image, readFile(dir.file("user.dat")));

    result = run({"dump"});
    EXPECT_EQ(1, result.status);  // the readable accounts, then the fault
    expectContains(result, "    1  alice ");
    expectContains(result, "NOT SOUND: block 2 at offset 116");
}

TEST_F(CarvantaUserDataTest, ExportRefusesADamagedFileUnlessForced) {
    std::string image = currentFileImage(accounts());
    image[26 + 2 * 90 + 40] ^= 0x01;
    writeFile(dir.file("user.dat"), image);
    ToolRun result = run({"export-sql"});
    EXPECT_EQ(1, result.status);
    EXPECT_EQ(std::string::npos, result.output.find("INSERT"));
    expectContains(result, "nothing exported; --force exports the 2 account(s)");
    result = run({"export-sql", "--force"});
    EXPECT_EQ(0, result.status);
    expectContains(result, "MD5('s3cret')");
    expectContains(result, "MD5('hunter2')");
    EXPECT_EQ(std::string::npos, result.output.find("MD5('pw')"));
}

TEST_F(CarvantaUserDataTest, ExitStatusesSayWhatWentWrong) {
    ToolRun result = run({"verify"});  // no user.dat here
    EXPECT_EQ(3, result.status);
    expectContains(result, "cannot read user.dat: No such file or directory");
    writeFile(dir.file("user.dat"), "");
    EXPECT_EQ(1, run({"verify"}).status);
    EXPECT_EQ(2, run({}).status);
    EXPECT_EQ(2, run({"frobnicate"}).status);
    EXPECT_EQ(2, run({"verify", "--csv"}).status);
    EXPECT_EQ(2, run({"dump", "a.dat", "b.dat"}).status);
    result = run({"help"});
    EXPECT_EQ(0, result.status);
    expectContains(result, "Cannot be carried over");
}

}  // namespace
