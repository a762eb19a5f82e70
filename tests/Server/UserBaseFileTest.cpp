// UserBaseFileTest.cpp - the file account store on a temporary working
// directory: sign-up and look-up rules, ids, the full table, scores, the
// high-score list, the statistics table, user.dat as written and as read
// (current layout, 2.1 conversion, damaged and foreign files), atomic saves
// and the save thread.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "TextCopy.h"
#include "UserBaseFile.h"
#include "UserFileImage.h"

namespace {

const int MAX_USERS = USERBASEFILE_MAX_USERS;
const size_t MARKER_BLOCK = 26;
const size_t RECORD_BLOCK = 90;

// The store takes char*; this keeps a writable copy of a literal.
class Text {
public:
    explicit Text(const std::string& text) { copyText(buffer, sizeof buffer, text.c_str()); }
    operator char*() { return buffer; }

private:
    char buffer[128];
};

// Gives the tests a short save schedule; never instantiated.
class ScheduleAccess : public UserBaseFile {
public:
    static void shortSchedule(long firstMs, long intervalMs) {
        setSaveSchedule(firstMs, intervalMs);
    }
};

class UserBaseFileTest : public ::testing::Test {
protected:
    void SetUp() override { dir.enter(); }
    void TearDown() override { stop(); }

    UserBaseFile* start() {
        store = UserBaseFile::getInstance();
        return store;
    }
    // Destroys the store: it writes unsaved changes.
    void stop() {
        delete store;
        store = nullptr;
    }
    UserBaseFile* restart() {
        stop();
        return start();
    }
    // Starts the store and returns what it printed while reading.
    std::string startCapturing() {
        testing::internal::CaptureStdout();
        start();
        return testing::internal::GetCapturedStdout();
    }
    int add(const std::string& name, const std::string& password) {
        return store->addUser(Text(name), Text(password));
    }
    int score(const std::string& name, const std::string& password, int points) {
        return store->addSinglePlayerScore(Text(name), Text(password), points);
    }
    std::string userName(int id) {
        char buffer[USERBASEFILE_FIELD_SIZE];
        memset(buffer, 'x', sizeof buffer);
        store->getUserName(buffer, id);
        return std::string(buffer, strnlen(buffer, sizeof buffer));
    }
    std::vector<std::string> highscores(const std::string& name, const std::string& password) {
        int length = -1;
        char* list = store->getSinglePlayerHighscoreList(Text(name), Text(password), &length);
        EXPECT_NE(list, nullptr);
        EXPECT_EQ(length % USERBASE_ENTRY_SIZE, 0);
        std::vector<std::string> entries;
        for (int offset = 0; list != nullptr && offset < length; offset += USERBASE_ENTRY_SIZE) {
            entries.push_back(std::string(list + offset));
        }
        return entries;
    }
    std::string statistics() {
        testing::internal::CaptureStdout();
        store->dumpStatistics();
        return testing::internal::GetCapturedStdout();
    }
    std::vector<UserRecord> savedRecords() {
        std::vector<UserRecord> records;
        EXPECT_TRUE(parseCurrentFile(readFile(dir.file("user.dat")), &records));
        return records;
    }

    TempDir dir;
    UserBaseFile* store = nullptr;
};

TEST_F(UserBaseFileTest, FreshStoreSavesFirstSignUpAndFindsItAfterRestart) {
    std::string output = startCapturing();
    EXPECT_EQ(output, "Reading userbase\n");
    EXPECT_EQ(store->checkUser(Text("alice")), -1);
    EXPECT_EQ(add("alice", "secret"), 1);
    EXPECT_FALSE(fileExists(dir.file("user.dat")));  // requests never write

    stop();
    std::string image = readFile(dir.file("user.dat"));
    ASSERT_EQ(image.size(), MARKER_BLOCK + RECORD_BLOCK);
    EXPECT_FALSE(fileExists(dir.file("user.dat.tmp")));
    struct stat info;
    ASSERT_EQ(stat(dir.file("user.dat").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::vector<UserRecord> records = savedRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].name, "alice");
    EXPECT_EQ(records[0].password, "secret");
    EXPECT_EQ(records[0].id, 1);
    EXPECT_EQ(records[0].highscore, 0);
    EXPECT_EQ(records[0].gamesPlayed, 0);
    EXPECT_EQ(records[0].scoreSum, 0);
    EXPECT_EQ(records[0].date, "00-00-0000");

    output = startCapturing();
    EXPECT_EQ(output, "Reading userbase\nDatabase version: 4.0\nUser: alice\n");
    EXPECT_EQ(store->checkCredentials(Text("alice"), Text("secret")), 1);
    EXPECT_EQ(userName(1), "alice");
}

TEST_F(UserBaseFileTest, UnchangedStoreWritesNoFile) {
    start();
    EXPECT_EQ(store->checkUser(Text("nobody")), -1);
    stop();
    EXPECT_FALSE(fileExists(dir.file("user.dat")));
}

TEST_F(UserBaseFileTest, NamesAreTrimmedOfBlanksOnlyAndPasswordsTakenAsGiven) {
    start();
    int id = add("  bob  ", "pw");
    ASSERT_EQ(id, 1);
    EXPECT_EQ(store->checkUser(Text("bob")), id);
    EXPECT_EQ(store->checkUser(Text("   bob")), id);
    EXPECT_EQ(store->checkUser(Text("\tbob")), -1);  // only blanks are trimmed
    EXPECT_EQ(store->checkUser(Text("Bob")), -1);    // case-sensitive
    EXPECT_EQ(store->checkCredentials(Text(" bob "), Text("pw")), id);
    EXPECT_EQ(store->checkCredentials(Text("bob"), Text("pw ")), -1);
    EXPECT_EQ(store->checkCredentials(Text("bob"), Text("PW")), -1);
    EXPECT_EQ(userName(id), "bob");

    EXPECT_EQ(add("   ", "blank"), 2);  // a name of blanks is the empty name
    EXPECT_EQ(store->checkUser(Text("")), 2);
}

TEST_F(UserBaseFileTest, LongNamesAndPasswordsAreCutAtNineteenCharacters) {
    start();
    std::string longName(25, 'n');
    std::string longPassword = std::string(19, 'p') + "XYZ";
    int id = add(longName, longPassword);
    ASSERT_EQ(id, 1);
    EXPECT_EQ(userName(id), std::string(19, 'n'));
    EXPECT_EQ(store->checkUser(Text(std::string(19, 'n'))), id);
    EXPECT_EQ(store->checkCredentials(Text(longName), Text(std::string(19, 'p'))), id);
    EXPECT_EQ(store->checkCredentials(Text(longName), Text(longPassword)), id);

    // A 20-byte field without its NUL is read as its first 19 characters.
    char field[USERBASEFILE_FIELD_SIZE + 1];
    memset(field, 'n', USERBASEFILE_FIELD_SIZE);
    field[USERBASEFILE_FIELD_SIZE] = 'Z';
    EXPECT_EQ(store->checkUser(field), id);

    stop();
    std::vector<UserRecord> records = savedRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].name, std::string(19, 'n'));
    EXPECT_EQ(records[0].password, std::string(19, 'p'));
}

TEST_F(UserBaseFileTest, NewIdFollowsTheLargestIdPresent) {
    start();
    EXPECT_EQ(add("a", "1"), 1);
    EXPECT_EQ(add("b", "2"), 2);
    EXPECT_EQ(add("c", "3"), 3);
    EXPECT_EQ(store->deleteUser(Text("c"), Text("wrong")), -1);
    EXPECT_EQ(store->checkUser(Text("c")), 3);
    EXPECT_EQ(store->deleteUser(Text("c"), Text("3")), 3);
    EXPECT_EQ(store->checkUser(Text("c")), -1);
    EXPECT_EQ(add("d", "4"), 3);  // the largest id came back
    EXPECT_EQ(store->deleteUser(Text("b"), Text("2")), 2);
    EXPECT_EQ(add("e", "5"), 4);
    EXPECT_EQ(userName(2), "");
    EXPECT_EQ(userName(4), "e");
}

TEST_F(UserBaseFileTest, SignUpOfANameThatExistsIsRefused) {
    start();
    EXPECT_EQ(add("solo", "first"), 1);
    EXPECT_EQ(add(" solo ", "second"), -1);
    EXPECT_EQ(store->checkCredentials(Text("solo"), Text("second")), -1);
    EXPECT_EQ(add("Solo", "second"), 2);  // names are case-sensitive
}

TEST_F(UserBaseFileTest, CredentialSearchGoesOnPastARecordWithAnotherPassword) {
    // Only a file written elsewhere holds one name twice.
    writeFile(dir.file("user.dat"),
              currentFileImage({{"twin", "first", 1, 0, 0, 0, "00-00-0000", 0, 0},
                                {"twin", "second", 2, 0, 0, 0, "00-00-0000", 0, 0}}));
    start();
    EXPECT_EQ(store->checkUser(Text("twin")), 1);
    EXPECT_EQ(store->checkCredentials(Text("twin"), Text("second")), 2);
    EXPECT_EQ(store->deleteUser(Text("twin"), Text("second")), 2);
    EXPECT_EQ(store->checkCredentials(Text("twin"), Text("first")), 1);
}

TEST_F(UserBaseFileTest, FullTableRefusesUntilAnAccountIsDeleted) {
    start();
    for (int i = 0; i < MAX_USERS; i++) {
        ASSERT_EQ(add("user" + std::to_string(i), "pw"), i + 1);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(add("onemore", "pw"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "User database full, user not added\n");
    EXPECT_EQ(store->checkUser(Text("onemore")), -1);

    EXPECT_EQ(store->deleteUser(Text("user42"), Text("pw")), 43);
    EXPECT_EQ(add("onemore", "pw"), MAX_USERS + 1);
    stop();
    std::vector<UserRecord> records = savedRecords();
    ASSERT_EQ(records.size(), static_cast<size_t>(MAX_USERS));
    EXPECT_EQ(records[42].name, "onemore");  // it took the freed slot
}

TEST_F(UserBaseFileTest, ScoresKeepBestDateCountAndSum) {
    start();
    int id = add("sam", "pw");
    EXPECT_EQ(score("sam", "wrong", 500), -1);
    EXPECT_EQ(score("ghost", "pw", 500), -1);
    EXPECT_EQ(score("sam", "pw", 3), id);
    EXPECT_EQ(score("sam", "pw", 4), id);
    EXPECT_EQ(score("sam", "pw", -20), id);  // counted, never the best
    std::string date = todayDateText();
    ASSERT_EQ(id, 1);
    EXPECT_NE(statistics().find("|    1|       sam|     3|     4|    -4| " + date + "|\n"),
              std::string::npos);

    stop();
    std::vector<UserRecord> records = savedRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].highscore, 4);
    EXPECT_EQ(records[0].gamesPlayed, 3);
    EXPECT_EQ(records[0].scoreSum, -13);
    EXPECT_EQ(records[0].date, date);
}

TEST_F(UserBaseFileTest, EqualScoreRenewsTheDate) {
    UserRecord old{"eve", "pw", 7, 10, 1, 10, "31-12-1999", 0, 0};
    writeFile(dir.file("user.dat"), currentFileImage({old}));
    start();
    EXPECT_EQ(score("eve", "pw", 10), 7);
    EXPECT_EQ(score("eve", "pw", 9), 7);
    stop();
    std::vector<UserRecord> records = savedRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].highscore, 10);
    EXPECT_EQ(records[0].date, todayDateText());
    EXPECT_EQ(records[0].gamesPlayed, 3);
    EXPECT_EQ(records[0].scoreSum, 29);
}

TEST_F(UserBaseFileTest, ScoreSumStaysAtItsBoundInsteadOfOverflowing) {
    start();
    add("max", "pw");
    score("max", "pw", 2147483647);
    score("max", "pw", 2147483647);
    stop();
    std::vector<UserRecord> records = savedRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].scoreSum, 2147483647);
    EXPECT_EQ(records[0].gamesPlayed, 2);
}

TEST_F(UserBaseFileTest, StatisticsTableHasItsFrameAndOneLinePerAccount) {
    start();
    add("ann", "pw");
    add("ben", "pw");
    score("ben", "pw", 3);
    score("ben", "pw", 4);
    std::string expected =
        "###########################################################\n"
        "|Id   |User      |***  SINGLE PLAYER GAME ***     |\n"
        "|     |          |Played|  High|   Ave|     HSDate|\n"
        "|_________________________________________________|\n"
        "|    1|       ann|     0|     0|     0| 00-00-0000|\n";
    expected += "|    2|       ben|     2|     4|     3| " + todayDateText() + "|\n";
    expected +=
        "|_________________________________________________|\n"
        "###########################################################\n";
    EXPECT_EQ(statistics(), expected);
}

TEST_F(UserBaseFileTest, HighscoreListOrdersEqualScoresByTableAndLeavesOutTheCeiling) {
    writeFile(dir.file("user.dat"),
              currentFileImage({{"top", "pw", 1, 2700, 1, 2700, " 1- 1-2020", 0, 0},
                                {"one", "pw", 2, 150, 1, 150, " 2- 2-2021", 0, 0},
                                {"two", "pw", 3, 150, 2, 300, "13-11-2022", 0, 0},
                                {"new", "pw", 4, 0, 0, 0, "00-00-0000", 0, 0}}));
    start();
    std::vector<std::string> expected = {highscoreEntryText(1, "one", " 2- 2-2021", 150),
                                         highscoreEntryText(2, "two", "13-11-2022", 150),
                                         highscoreEntryText(3, "new", "00-00-0000", 0)};
    EXPECT_EQ(highscores("one", "pw"), expected);
    EXPECT_EQ(expected[0], "  1.        one  2- 2-2021  150");

    int length = -1;
    EXPECT_EQ(store->getSinglePlayerHighscoreList(Text("one"), Text("bad"), &length), nullptr);
    EXPECT_EQ(length, 0);

    char copy[USERBASE_LIST_SIZE];
    EXPECT_EQ(store->copySinglePlayerHighscoreList(Text("one"), Text("bad"), copy), -1);
    ASSERT_EQ(store->copySinglePlayerHighscoreList(Text("two"), Text("pw"), copy),
              3 * USERBASE_ENTRY_SIZE);
    for (size_t i = 0; i < expected.size(); i++) {
        EXPECT_EQ(std::string(copy + i * USERBASE_ENTRY_SIZE), expected[i]);
    }
}

TEST_F(UserBaseFileTest, HighscoreListWithOnlyScoresAtTheCeilingIsEmptyButNotRefused) {
    writeFile(dir.file("user.dat"), currentFileImage({{"pro", "pw", 1, 3000, 1, 3000, "x", 0, 0}}));
    start();
    int length = -1;
    char* first = store->getSinglePlayerHighscoreList(Text("pro"), Text("pw"), &length);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(length, 0);
}

TEST_F(UserBaseFileTest, HighscoreListHoldsAllHundredAccountsBestFirst) {
    start();
    for (int i = 0; i < MAX_USERS; i++) {
        std::string name = "p" + std::to_string(i);
        ASSERT_NE(add(name, "pw"), -1);
        ASSERT_NE(score(name, "pw", i * 20), -1);
    }
    std::vector<std::string> entries = highscores("p0", "pw");
    ASSERT_EQ(entries.size(), static_cast<size_t>(MAX_USERS));
    std::string date = todayDateText();
    EXPECT_EQ(entries[0], highscoreEntryText(1, "p99", date, 1980));
    EXPECT_EQ(entries[99], highscoreEntryText(100, "p0", date, 0));
    // A second call builds into the same buffer.
    int length = 0;
    char* first = store->getSinglePlayerHighscoreList(Text("p1"), Text("pw"), &length);
    char* second = store->getSinglePlayerHighscoreList(Text("p2"), Text("pw"), &length);
    EXPECT_EQ(first, second);
    EXPECT_EQ(length, USERBASE_LIST_SIZE);
}

TEST_F(UserBaseFileTest, Version21FileIsConvertedAndKeptAsOld) {
    std::string original = version21FileImage({{"anna", "pa", 5, 120, 9, 0, " 3- 4-2005", 2, 1},
                                               {"bert", "pb", 8, 80, 4, 0, "17-10-2006", 6, 3}});
    writeFile(dir.file("user.dat"), original);
    std::string output = startCapturing();
    EXPECT_EQ(output,
              "Reading userbase\n"
              "Database has no version information. It may be a version 2.1 formatted database\n"
              "Trying to read version 2.1 userbase format\n"
              "User: anna\nUser: bert\n"
              "Converting data\n"
              "Converting user: anna\nConverting user: bert\n"
              "Writing userbase\n");
    EXPECT_EQ(readFile(dir.file("user.dat.old")), original);
    EXPECT_EQ(readFile(dir.file("user.dat")).size(), MARKER_BLOCK + 2 * RECORD_BLOCK);
    std::vector<UserRecord> records = savedRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].name, "anna");
    EXPECT_EQ(records[0].password, "pa");
    EXPECT_EQ(records[0].id, 5);
    EXPECT_EQ(records[0].highscore, 120);
    EXPECT_EQ(records[0].gamesPlayed, 0);
    EXPECT_EQ(records[0].scoreSum, 0);
    EXPECT_EQ(records[0].date, " 3- 4-2005");
    EXPECT_EQ(records[1].twoPlayerGamesPlayed, 6);
    EXPECT_EQ(records[1].twoPlayerGamesWon, 3);
    EXPECT_EQ(store->checkCredentials(Text("bert"), Text("pb")), 8);

    // The converted file is read as the current layout from now on.
    EXPECT_EQ(restart()->checkUser(Text("anna")), 5);
    EXPECT_EQ(readFile(dir.file("user.dat.old")), original);
}

TEST_F(UserBaseFileTest, DamagedThirdRecordDropsItAndTheRestAndKeepsTheFile) {
    start();
    for (const char* name : {"r1", "r2", "r3", "r4"}) {
        add(name, "pw");
    }
    stop();
    std::string image = readFile(dir.file("user.dat"));
    ASSERT_EQ(image.size(), MARKER_BLOCK + 4 * RECORD_BLOCK);
    image[MARKER_BLOCK + 2 * RECORD_BLOCK + 6 + 10] ^= 0x01;
    writeFile(dir.file("user.dat"), image);

    std::string output = startCapturing();
    EXPECT_EQ(output,
              "Reading userbase\nDatabase version: 4.0\nUser: r1\nUser: r2\n"
              "User database compromised, skipping rest of the database\n");
    EXPECT_EQ(store->checkUser(Text("r1")), 1);
    EXPECT_EQ(store->checkUser(Text("r2")), 2);
    EXPECT_EQ(store->checkUser(Text("r3")), -1);
    EXPECT_EQ(store->checkUser(Text("r4")), -1);
    EXPECT_EQ(add("r5", "pw"), 3);  // the damaged record holds no slot or id
    EXPECT_FALSE(fileExists(dir.file("user.dat.damaged")));

    stop();
    EXPECT_EQ(readFile(dir.file("user.dat.damaged")), image);
    std::vector<UserRecord> records = savedRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].name, "r5");
}

TEST_F(UserBaseFileTest, MarkerOfMajorVersionTwoStartsEmptyAndKeepsTheFile) {
    std::string original =
        currentFileImage({{"old", "pw", 1, 0, 0, 0, "00-00-0000", 0, 0}}, "Version 02.9");
    writeFile(dir.file("user.dat"), original);
    std::string output = startCapturing();
    EXPECT_EQ(output, "Reading userbase\nDatabase version: 2.9\n");
    EXPECT_EQ(store->checkUser(Text("old")), -1);
    EXPECT_EQ(add("new", "pw"), 1);
    stop();
    EXPECT_EQ(readFile(dir.file("user.dat.damaged")), original);
    EXPECT_EQ(savedRecords().size(), 1u);
}

TEST_F(UserBaseFileTest, MarkerOfVersionThreeIsReadAsCurrentLayout) {
    writeFile(dir.file("user.dat"),
              currentFileImage({{"v3", "pw", 12, 0, 0, 0, "00-00-0000", 0, 0}}, "Version 03.0"));
    EXPECT_EQ(startCapturing(), "Reading userbase\nDatabase version: 3.0\nUser: v3\n");
    EXPECT_EQ(store->checkUser(Text("v3")), 12);
}

TEST_F(UserBaseFileTest, ForeignFileStartsEmptyAndIsKeptBeforeTheFirstSave) {
    std::string foreign(300, '\0');
    for (size_t i = 0; i < foreign.size(); i++) {
        foreign[i] = static_cast<char>('A' + i % 26);
    }
    writeFile(dir.file("user.dat"), foreign);
    std::string output = startCapturing();
    EXPECT_NE(output.find("Database has no version information."), std::string::npos);
    EXPECT_NE(output.find("User database apparently not version 2.1 or database compromised\n"
                          "FAILED READING DATABASE FROM DISK\n"),
              std::string::npos);
    EXPECT_FALSE(fileExists(dir.file("user.dat.old")));
    EXPECT_EQ(add("fresh", "pw"), 1);
    stop();
    EXPECT_EQ(readFile(dir.file("user.dat.damaged")), foreign);
    EXPECT_EQ(savedRecords().size(), 1u);
}

TEST_F(UserBaseFileTest, FileShorterThanTheMarkerStartsEmptyWithoutAMessage) {
    writeFile(dir.file("user.dat"), "short");
    EXPECT_EQ(startCapturing(), "Reading userbase\n");
    add("x", "y");
    stop();
    EXPECT_EQ(readFile(dir.file("user.dat.damaged")), "short");
    EXPECT_EQ(savedRecords().size(), 1u);
}

TEST_F(UserBaseFileTest, TextFieldsWithoutTerminatorAreCutWhenRead) {
    UserRecord wide{
        std::string(20, 'w'), std::string(20, 'q'), 3, 0, 0, 0, std::string(20, 'd'), 0, 0};
    writeFile(dir.file("user.dat"), currentFileImage({wide}));
    start();
    EXPECT_EQ(userName(3), std::string(19, 'w'));
    EXPECT_EQ(store->checkCredentials(Text(std::string(19, 'w')), Text(std::string(19, 'q'))), 3);
    std::vector<std::string> list = highscores(std::string(19, 'w'), std::string(19, 'q'));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], highscoreEntryText(1, std::string(19, 'w'), std::string(19, 'd'), 0));
}

TEST_F(UserBaseFileTest, FailedSaveKeepsTheOldFileAndIsRetried) {
    ScheduleAccess::shortSchedule(100, 150);
    start();
    add("first", "pw");
    ASSERT_TRUE(waitUntil([&] { return fileExists(dir.file("user.dat")); }, 5000));
    std::string saved = readFile(dir.file("user.dat"));

    // A directory where the temporary file goes makes every save fail.
    ASSERT_EQ(mkdir(dir.file("user.dat.tmp").c_str(), 0700), 0);
    {
        StdoutCapture output;
        add("second", "pw");
        EXPECT_TRUE(output.waitFor("ERROR: Saving userbase failed", 5000)) << output.text();
        EXPECT_EQ(readFile(dir.file("user.dat")), saved);
    }

    ASSERT_EQ(rmdir(dir.file("user.dat.tmp").c_str()), 0);
    ASSERT_TRUE(waitUntil(
        [&] { return readFile(dir.file("user.dat")).size() == MARKER_BLOCK + 2 * RECORD_BLOCK; },
        5000));
    EXPECT_EQ(savedRecords()[1].name, "second");
}

TEST_F(UserBaseFileTest, ShutdownDoesNotWaitForTheSaveSchedule) {
    start();
    add("quick", "pw");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the thread is waiting
    auto before = std::chrono::steady_clock::now();
    stop();
    auto took = std::chrono::steady_clock::now() - before;
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_EQ(savedRecords().size(), 1u);
}

TEST_F(UserBaseFileTest, ConcurrentScoresAndDeletesNeverTouchAFreedRecord) {
    start();
    const int rounds = 300;
    std::thread scorer([&] {
        for (int i = 0; i < rounds; i++) {
            score("racer", "pw", i);
        }
    });
    std::thread churner([&] {
        for (int i = 0; i < rounds; i++) {
            add("racer", "pw");
            store->deleteUser(Text("racer"), Text("pw"));
        }
    });
    scorer.join();
    churner.join();
    EXPECT_EQ(store->checkUser(Text("racer")), -1);
}

}  // namespace

// The daemon's store works in /tmp/: a link planted under the name of the
// temporary save file or of the copy kept of a damaged file is never written
// through. The temporary file is made anew; the copy is refused.
TEST_F(UserBaseFileTest, LinksPlantedBesideUserDatAreNeverWrittenThrough) {
    const std::string victim = dir.file("victim");
    for (const std::string link : {"user.dat.tmp", "user.dat.damaged"}) {
        SCOPED_TRACE(link);
        writeFile(victim, "somebody else's file\n");
        ASSERT_EQ(symlink(victim.c_str(), dir.file(link).c_str()), 0);
        bool keepsACopy = link == "user.dat.damaged";
        if (keepsACopy) {
            writeFile(dir.file("user.dat"), "short");  // copied aside before the first save
        }
        testing::internal::CaptureStdout();
        start();
        add("planted", "pw");
        stop();
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(readFile(victim), "somebody else's file\n");
        if (keepsACopy) {
            EXPECT_NE(output.find("ERROR: Saving userbase failed: user.dat.damaged is a symbolic "
                                  "link, refused\n"),
                      std::string::npos)
                << output;
            EXPECT_EQ(readFile(dir.file("user.dat")), "short") << "replaced before a copy was kept";
        } else {
            EXPECT_EQ(savedRecords().size(), 1u) << output;
        }
        unlink(dir.file(link).c_str());
        unlink(dir.file("user.dat").c_str());
    }
}

TEST_F(UserBaseFileTest, AFileThatCannotBeOpenedIsNeverReplaced) {
    // A link that points at itself cannot be opened (as root too, unlike a
    // file without read permission); it stands for any unreadable user.dat.
    ASSERT_EQ(symlink("user.dat", dir.file("user.dat").c_str()), 0);
    ScheduleAccess::shortSchedule(100, 150);
    StdoutCapture output;
    start();
    add("newcomer", "pw");
    // The first save is due 100 ms after the start: wait for its refusal.
    EXPECT_TRUE(output.waitFor("ERROR: ", 5000)) << output.text();
    struct stat info;
    ASSERT_EQ(lstat(dir.file("user.dat").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the unreadable user.dat was replaced";

    // Once it can be read again, a copy is kept and the save goes through.
    ASSERT_EQ(unlink(dir.file("user.dat").c_str()), 0);
    writeFile(dir.file("user.dat"), "not a user file, but readable");
    // The copy is written after its file is created: wait for its content.
    EXPECT_TRUE(waitUntil(
        [&] { return readFile(dir.file("user.dat.damaged")) == "not a user file, but readable"; },
        5000));
    ASSERT_TRUE(waitUntil(
        [&] { return readFile(dir.file("user.dat")).size() == MARKER_BLOCK + RECORD_BLOCK; },
        5000));
    EXPECT_EQ(savedRecords()[0].name, "newcomer");
}
