// StoreAndRequestTest.cpp - the file store and user.dat in a temporary directory; the dispatcher
// called as a reader thread calls it: stale bytes behind short payloads, the 65-entry cut, log
// lines.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "GameClientHandler.h"
#include "GameManager.h"
#include "GameRequestHandler.h"
#include "LoopbackClient.h"
#include "SimpleOsa.h"
#include "TestSupport.h"
#include "UserBase.h"
#include "UserBaseFactory.h"
#include "UserBaseFile.h"
#include "UserFileImage.h"

namespace {

const size_t MARKER_BLOCK = 26;
const size_t RECORD_BLOCK = 90;
const std::string NO_DATE = "00-00-0000";

class ScheduleAccess : public UserBaseFile {
public:
    using UserBaseFile::setSaveSchedule;
};

UserRecord account(const std::string& name, int id, int high = 0, int played = 0, int sum = 0,
                   const std::string& date = NO_DATE, const std::string& password = "pw") {
    return {name, password, id, high, played, sum, date, 0, 0};
}

// Record data compares whole records; the obfuscated file differs from save to save.
std::string bytesOf(const std::vector<UserRecord>& records) {
    std::string bytes;
    for (const UserRecord& record : records) {
        bytes += recordData(record);
    }
    return bytes;
}

class UserBaseFileTest : public ::testing::Test {
protected:
    void SetUp() override { dir.enter(); }
    void TearDown() override { stop(); }

    // Starts the store; what it printed while reading.
    std::string start() {
        testing::internal::CaptureStdout();
        store = UserBaseFile::getInstance();
        return testing::internal::GetCapturedStdout();
    }
    void stop() {
        delete store;
        store = nullptr;
    }
    int add(std::string n, std::string pw = "pw") { return store->addUser(&n[0], &pw[0]); }
    int check(std::string n) { return store->checkUser(&n[0]); }
    int login(std::string n, std::string pw = "pw") {
        return store->checkCredentials(&n[0], &pw[0]);
    }
    int remove(std::string n, std::string pw = "pw") { return store->deleteUser(&n[0], &pw[0]); }
    int score(std::string n, int points, std::string pw = "pw") {
        return store->addSinglePlayerScore(&n[0], &pw[0], points);
    }
    // The high-score list as entry texts; "refused" without one.
    std::vector<std::string> highscores(std::string name, std::string password = "pw") {
        char list[USERBASE_LIST_SIZE];
        int length = store->copySinglePlayerHighscoreList(&name[0], &password[0], list);
        std::vector<std::string> entries(length < 0 ? 1 : 0, "refused");
        for (int at = 0; at < length; at += USERBASE_ENTRY_SIZE) {
            entries.push_back(list + at);
        }
        return entries;
    }
    std::string saved() { return readFile(dir.file("user.dat")); }
    std::vector<UserRecord> savedRecords() {
        std::vector<UserRecord> records;
        EXPECT_TRUE(parseCurrentFile(saved(), &records));
        return records;
    }
    void plant(const std::vector<UserRecord>& records) {
        writeFile(dir.file("user.dat"), currentFileImage(records));
    }

    TempDir dir;
    UserBaseFile* store = nullptr;
};

TEST_F(UserBaseFileTest, ChangesAreSavedAtStopAsAPrivateFileAndAFullTableWaitsForADeletion) {
    EXPECT_EQ(start(), "Reading userbase\n");
    stop();
    EXPECT_FALSE(fileExists(dir.file("user.dat"))) << "an unchanged store wrote a file";
    start();
    std::vector<UserRecord> expected;
    for (int i = 0; i < USERBASEFILE_MAX_USERS; i++) {
        std::string name = "p" + std::to_string(i);
        ASSERT_EQ(add(name), i + 1);
        ASSERT_EQ(score(name, i * 20), i + 1);
        expected.push_back(account(name, i + 1, i * 20, 1, i * 20, todayDateText()));
    }
    EXPECT_FALSE(fileExists(dir.file("user.dat"))) << "a request wrote the file";
    testing::internal::CaptureStdout();
    EXPECT_EQ(add("alice", "secret"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "User database full, user not added\n");
    EXPECT_EQ(remove("p42"), 43);
    EXPECT_EQ(add("alice", "secret"), USERBASEFILE_MAX_USERS + 1);
    stop();
    expected[42] = account("alice", USERBASEFILE_MAX_USERS + 1, 0, 0, 0, NO_DATE, "secret");
    EXPECT_EQ(bytesOf(savedRecords()), bytesOf(expected));
    EXPECT_FALSE(fileExists(dir.file("user.dat.tmp")));
    struct stat info;
    ASSERT_EQ(stat(dir.file("user.dat").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(UserBaseFileTest, NamesAreTrimmedCutAndUniqueAndNewIdsFollowTheLargestInUse) {
    plant({account("twin", 1, 0, 0, 0, NO_DATE, "first"),
           account("twin", 2, 0, 0, 0, NO_DATE, "second")});  // only a foreign file has this
    start();
    EXPECT_EQ(remove("twin", "second"), 2) << "the search goes on past another password";
    ASSERT_EQ(add("  bob  "), 2);
    ASSERT_EQ(add(std::string(25, 'n'), std::string(19, 'p') + "XYZ"), 3);
    ASSERT_EQ(add("   ", "blank"), 4);
    const std::tuple<std::string, std::string, int> cases[] = {
        {"twin", "first", 1},
        {"bob", "pw", 2},
        {"   bob", "pw", 2},
        {"\tbob", "pw", -1},
        {"Bob", "pw", -1},
        {"bob", "pw ", -1},
        {"bob", "PW", -1},
        {"", "blank", 4},
        {std::string(19, 'n'), std::string(19, 'p'), 3},
        {std::string(20, 'n') + "Z", std::string(19, 'p') + "XYZ", 3}};
    for (const auto& [name, password, id] : cases) {
        EXPECT_EQ(login(name, password), id) << name << "/" << password;
    }
    EXPECT_EQ(add(" bob ", "other"), -1);
    EXPECT_EQ(add("Bob"), 5);
    EXPECT_EQ(remove("Bob"), 5);
    EXPECT_EQ(remove("", "blank"), 4);
    EXPECT_EQ(add("d"), 4) << "the largest id came back";
    EXPECT_EQ(remove("twin", "first"), 1);
    stop();
    EXPECT_EQ(bytesOf(savedRecords()),
              bytesOf({account("bob", 2),
                       account(std::string(19, 'n'), 3, 0, 0, 0, NO_DATE, std::string(19, 'p')),
                       account("d", 4)}));
}

TEST_F(UserBaseFileTest, ScoresKeepBestDateCountAndBoundedSumAndShowInTheStatistics) {
    plant({account("eve", 7, 10, 1, 30, "31-12-1999"), account("ann", 8)});
    start();
    EXPECT_EQ(score("eve", 10), 7);
    EXPECT_EQ(score("eve", 9), 7);
    EXPECT_EQ(score("eve", -20), 7);
    ASSERT_EQ(add("max"), 9);
    score("max", 2147483647);
    score("max", 2147483647);
    const std::string today = todayDateText();
    std::string table =
        "###########################################################\n"
        "|Id   |User      |***  SINGLE PLAYER GAME ***     |\n"
        "|     |          |Played|  High|   Ave|     HSDate|\n"
        "|_________________________________________________|\n"
        "|    7|       eve|     4|    10|     7| dd-mm-yyyy|\n"
        "|    8|       ann|     0|     0|     0| 00-00-0000|\n"
        "|    9|       max|     2|2147483647|1073741823| dd-mm-yyyy|\n"
        "|_________________________________________________|\n"
        "###########################################################\n";
    for (size_t at; (at = table.find("dd-mm-yyyy")) != std::string::npos;) {
        table.replace(at, 10, today);
    }
    testing::internal::CaptureStdout();
    store->dumpStatistics();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), table);
    stop();
    EXPECT_EQ(bytesOf(savedRecords()),
              bytesOf({account("eve", 7, 10, 4, 29, today), account("ann", 8),
                       account("max", 9, 2147483647, 2, 2147483647, today)}));
}

TEST_F(UserBaseFileTest, HighscoreListIsBestFirstInTableOrderBelowTheCeilingWithFieldsCut) {
    const std::string w19(19, 'w');
    const std::string q19(19, 'q');
    plant({account("top", 1, 2700, 1, 2700), account("one", 2, 150, 1, 150, "x"),
           account("two", 3, 150, 2, 300, "13-11-2022"), account("new", 4),
           account(w19 + "w", 5, 0, 0, 0, std::string(20, 'd'), q19 + "q")});
    start();
    std::vector<std::string> expected = {"  1.        one          x  150",
                                         highscoreEntryText(2, "two", "13-11-2022", 150),
                                         highscoreEntryText(3, "new", NO_DATE, 0),
                                         highscoreEntryText(4, w19, std::string(19, 'd'), 0)};
    EXPECT_EQ(highscores(w19, q19), expected) << "unterminated text fields are cut when read";
    for (const char* gone : {"one", "two", "new"}) {
        remove(gone);
    }
    remove(w19, q19);
    EXPECT_TRUE(highscores("top").empty()) << "only the ceiling: empty, yet not refused";
}

// A 2.1 file is converted and written at once.
TEST_F(UserBaseFileTest, FilesAreReadAsFarAsTheyCanAndKeptAsideBeforeBeingReplaced) {
    std::string damaged =
        currentFileImage({account("r1", 1), account("r2", 2), account("r3", 3), account("r4", 4)});
    damaged[MARKER_BLOCK + 2 * RECORD_BLOCK + 16] ^= 0x01;
    UserRecord anna = {"anna", "pa", 5, 120, 9, 0, " 3- 4-2005", 2, 1};
    UserRecord bert = {"bert", "pb", 8, 80, 4, 0, "17-10-2006", 6, 3};
    const std::string version21 = version21FileImage({anna, bert});
    anna.gamesPlayed = 0;
    bert.gamesPlayed = 0;
    const std::string noVersion =
        "Reading userbase\n"
        "Database has no version information. It may be a version 2.1 formatted database\n"
        "Trying to read version 2.1 userbase format\n";
    const std::string copy = "user.dat.damaged";
    const std::tuple<std::string, std::string, std::string, std::vector<UserRecord>> cases[] = {
        {damaged,
         "Reading userbase\nDatabase version: 4.0\nUser: r1\nUser: r2\n"
         "User database compromised, skipping rest of the database\n",
         copy,
         {account("r1", 1), account("r2", 2), account("new", 3)}},
        {currentFileImage({account("r1", 1)}, "Version 02.9"),
         "Reading userbase\nDatabase version: 2.9\n",
         copy,
         {account("new", 1)}},
        {std::string(300, 'A'),
         noVersion + "User database apparently not version 2.1 or database compromised\n"
                     "FAILED READING DATABASE FROM DISK\n",
         copy,
         {account("new", 1)}},
        {"short", "Reading userbase\n", copy, {account("new", 1)}},
        {version21,
         noVersion + "User: anna\nUser: bert\nConverting data\nConverting user: anna\n"
                     "Converting user: bert\nWriting userbase\n",
         "user.dat.old",
         {anna, bert, account("new", 9)}},
        {currentFileImage({account("v3", 12)}, "Version 03.0"),
         "Reading userbase\nDatabase version: 3.0\nUser: v3\n",
         "",
         {account("v3", 12), account("new", 13)}},
    };
    for (const auto& [image, output, keptAs, records] : cases) {
        SCOPED_TRACE(output);
        writeFile(dir.file("user.dat"), image);
        EXPECT_EQ(start(), output);
        add("new");
        stop();
        EXPECT_EQ(bytesOf(savedRecords()), bytesOf(records));
        for (const std::string kept : {"user.dat.damaged", "user.dat.old"}) {
            EXPECT_EQ(readFile(dir.file(kept)), kept == keptAs ? image : "") << kept;
            unlink(dir.file(kept).c_str());
        }
    }
}

// A user.dat that cannot be opened is never replaced; a save that fails keeps the old file.
TEST_F(UserBaseFileTest, FailedSavesKeepTheOldFileAndAreRetried) {
    ASSERT_EQ(symlink("user.dat", dir.file("user.dat").c_str()), 0);  // unopenable, as root too
    ScheduleAccess::setSaveSchedule(100, 150);
    {
        StdoutCapture output;
        store = UserBaseFile::getInstance();
        add("first");
        EXPECT_TRUE(output.waitFor("ERROR: ", 5000)) << output.text();
    }
    struct stat info;
    ASSERT_EQ(lstat(dir.file("user.dat").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the unreadable user.dat was replaced";
    ASSERT_EQ(unlink(dir.file("user.dat").c_str()), 0);
    writeFile(dir.file("user.dat"), "readable");
    EXPECT_TRUE(
        waitUntil([&] { return readFile(dir.file("user.dat.damaged")) == "readable"; }, 5000));
    ASSERT_TRUE(waitUntil([&] { return saved().size() == MARKER_BLOCK + RECORD_BLOCK; }, 5000));
    std::string before = saved();
    ASSERT_EQ(mkdir(dir.file("user.dat.tmp").c_str(), 0700), 0);  // every save fails
    {
        StdoutCapture output;
        add("second");
        EXPECT_TRUE(output.waitFor("ERROR: Saving userbase failed", 5000)) << output.text();
        EXPECT_EQ(saved(), before);
    }
    ASSERT_EQ(rmdir(dir.file("user.dat.tmp").c_str()), 0);
    ASSERT_TRUE(waitUntil([&] { return saved().size() == MARKER_BLOCK + 2 * RECORD_BLOCK; }, 5000));
    EXPECT_EQ(bytesOf(savedRecords()), bytesOf({account("first", 1), account("second", 2)}));
}

TEST_F(UserBaseFileTest, StopDoesNotWaitForTheSaveSchedule) {
    ScheduleAccess::setSaveSchedule(50, 600000);
    start();
    add("early");
    ASSERT_TRUE(waitUntil([&] { return fileExists(dir.file("user.dat")); }, 5000));
    long long before = clockMonotonicMs();
    stop();
    EXPECT_LT(clockMonotonicMs() - before, 1000) << "the stop waited for the next save";
}

// The daemon's store works in /tmp/: a link planted as the temporary file is replaced, one
// planted as the copy of a damaged file refuses the save.
TEST_F(UserBaseFileTest, LinksPlantedBesideUserDatAreNeverWrittenThrough) {
    const std::string victim = dir.file("victim");
    for (const std::string link : {"user.dat.tmp", "user.dat.damaged"}) {
        SCOPED_TRACE(link);
        bool keepsACopy = link == "user.dat.damaged";
        writeFile(victim, "somebody else's file\n");
        ASSERT_EQ(symlink(victim.c_str(), dir.file(link).c_str()), 0);
        if (keepsACopy) {
            writeFile(dir.file("user.dat"), "short");
        }
        StdoutCapture output;
        store = UserBaseFile::getInstance();
        add("planted");
        stop();
        EXPECT_EQ(readFile(victim), "somebody else's file\n");
        EXPECT_EQ(output.text().find("ERROR: ") != std::string::npos, keepsACopy) << output.text();
        EXPECT_EQ(keepsACopy ? saved() : bytesOf(savedRecords()),
                  keepsACopy ? "short" : bytesOf({account("planted", 1)}));
        unlink(dir.file(link).c_str());
        unlink(dir.file("user.dat").c_str());
    }
}

const char UNTOUCHED = static_cast<char>(0xEE);
const int PAYLOAD_SIZE = INT_MIN;
const std::string OK(1, static_cast<char>(RES_OK));
const std::string NO_USER(1, static_cast<char>(RES_USERDOESNOTEXIST));

class GameRequestHandlerTest : public UserBaseFileTest {
protected:
    void TearDown() override {
        delete GameManager::getInstance();  // its thread sends to `connection`
        UserBaseFactory::destroyUserBaseInstance();
    }

    // The response to a payload lying in a receive array over `stale` bytes, plus the byte
    // behind it; `length` defaults to the payload's size.
    std::string call(int type, const std::string& payload, int length = PAYLOAD_SIZE,
                     const std::string& stale = "") {
        std::vector<char> data(PROTOCOL_BUFFER_SIZE, 0);
        memcpy(data.data(), stale.data(), stale.size());
        memcpy(data.data(), payload.data(), payload.size());
        std::vector<char> response(PROTOCOL_BUFFER_SIZE, UNTOUCHED);
        int size = -7;
        GameRequestHandler::getInstance()->handleRequest(
            &connection, static_cast<reqType_t>(type), data.data(),
            length == PAYLOAD_SIZE ? static_cast<int>(payload.size()) : length, response.data(),
            &size);
        EXPECT_TRUE(size >= 0 && size < PROTOCOL_BUFFER_SIZE) << size;
        size = size < 0 || size >= PROTOCOL_BUFFER_SIZE ? 0 : size;
        EXPECT_EQ(response[size], UNTOUCHED) << "written past the response";
        return std::string(response.data(), size);
    }

    GameClientHandler connection{nullptr};
};

TEST_F(GameRequestHandlerTest, LongHighscoreListIsCutToTheWholeEntriesThatFit) {
    for (int i = 0; i < 100; i++) {
        std::string name = "p" + std::to_string(i);
        ASSERT_EQ(call(REQ_SIGNUP, credentials(name, "pw")), OK);
        ASSERT_EQ(call(REQ_STORESINGLEPLAYERSCORE, credentials(name, "pw") + int32le(i)), OK);
    }
    std::string list = call(REQ_SENDSINGLEPLAYERHIGHSCORES, credentials("p0", "pw"));
    ASSERT_EQ(list.size(), 1u + 65 * USERBASE_ENTRY_SIZE);
    EXPECT_EQ(list.substr(1 + 64 * USERBASE_ENTRY_SIZE),
              highscoreSlot(65, "p35", todayDateText(), 35));
}

TEST_F(GameRequestHandlerTest, ShortPayloadsReadZeroesAndRequestsWithoutTheStoreAreRefused) {
    std::string full = credentials("zoe", "secret");
    ASSERT_EQ(call(REQ_SIGNUP, full), OK);
    EXPECT_EQ(call(REQ_CHECKUSERANDPASSWORD, full.substr(0, 20), PAYLOAD_SIZE, full), NO_USER);
    EXPECT_EQ(call(REQ_CHECKUSERANDPASSWORD, "", -5, full), NO_USER);
    EXPECT_EQ(call(REQ_STORESINGLEPLAYERSCORE, full, PAYLOAD_SIZE, full + int32le(900)), OK);
    EXPECT_EQ(call(REQ_SENDSINGLEPLAYERHIGHSCORES, full),
              OK + highscoreSlot(1, "zoe", todayDateText(), 0));
    UserBaseFactory::destroyUserBaseInstance();
    for (int type : {REQ_SIGNUP, REQ_CHECKUSER, REQ_CHECKUSERANDPASSWORD, REQ_DELETEUSER,
                     REQ_STORESINGLEPLAYERSCORE, REQ_SENDSINGLEPLAYERHIGHSCORES,
                     REQ_MULTI_ATTACHMULTIPLAYER, REQ_MULTI_SENDPLAYERLIST}) {
        EXPECT_EQ(call(type, full + int32le(5)), NO_USER) << type;
    }
    EXPECT_EQ(UserBaseFactory::getUserBaseInstance(), nullptr) << "a second store was made";
}

TEST_F(GameRequestHandlerTest, RequestsLogTheirLineWithTheOutcomeOnItAndCutFieldsAtNineteen) {
    UserBaseFactory::getUserBaseInstance();  // its start-up lines come before the capture
    testing::internal::CaptureStdout();
    call(REQ_SIGNUP, credentials("lou", "pw"));
    call(REQ_SIGNUP, credentials("lou", "pw"));
    call(REQ_STORESINGLEPLAYERSCORE, credentials("lou", "pw") + int32le(-3));
    call(REQ_MULTI_INVITEMULTIPLAYER, credentials("lou", "pw") + nameField("kim"));
    std::string log = testing::internal::GetCapturedStdout();
    const std::string lines[] = {
        "INFO: Request \n",
        "INFO: REQUEST: sign up lou/pw ->",
        "INFO: user added to user base\n",
        "INFO: REQUEST: sign up lou/pw ->",
        "INFO: user exists, sign up failed\n",
        "INFO: REQUEST: add single player score: lou/pw score -3 ->",
        "INFO: score added to user base\n",
        "INFO: REQUEST: invite player from lou/pw to kim ->",
        "INFO: Error inviting player, failed\n",
    };
    std::string expected;
    for (size_t i = 0; i < sizeof lines / sizeof lines[0]; i++) {
        expected += std::string(i % 2 == 1 ? "[\\s\\S]*" : "") + LOG_STAMP + lines[i];
    }
    EXPECT_TRUE(std::regex_search(log, std::regex(expected))) << log;
    EXPECT_EQ(call(REQ_SIGNUP, std::string(20, 'n') + std::string(20, 'p') + "tail"), OK);
    EXPECT_EQ(
        call(REQ_CHECKUSERANDPASSWORD, credentials(std::string(19, 'n'), std::string(19, 'p'))),
        OK);
}

}  // namespace
