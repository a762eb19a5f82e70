// UserBaseMysqlTest.cpp - the MySQL user store against a real MariaDB
// server: accounts, soft delete and reactivation, scores, the high-score
// list and statistics table, hostile names, failures of the database and a
// database restarted under a running store. Each test has a database (or a
// whole server) of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SimpleOsa.h"
#include "Configuration.h"
#include "LoopbackClient.h"
#include "MysqlTestDatabase.h"
#include "TestServer.h"
#include "TestSupport.h"
#include "Toolbox.h"
#include "UserBaseFactory.h"
#include "UserBaseMysql.h"

namespace {

const char* const SIGNUP_DATE = "2026-03-04 05:06:07";
const int CHILD_DEADLINE_MS = 60000;
// A store's INSERT slowed to 3 s shows in the process list well before this.
const int LOST_WRITE_DEADLINE_MS = 10000;
// The wait_timeout server closes a connection idle for 2 s.
const int IDLE_CLOSE_DEADLINE_MS = 30000;
// The store's connect and read time-outs together stay well below this.
const long long FROZEN_DEADLINE_MS = 20000;

// Waits for a forked process to end, at most CHILD_DEADLINE_MS; a process
// that overstays is killed.
bool waitForChild(pid_t child) {
    int status = 0;
    if (waitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, CHILD_DEADLINE_MS)) {
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return false;
}

// The store's operations take char*; these keep the tests readable.
class StoreCalls {
public:
    explicit StoreCalls(UserBaseMysql* userBase) : store(userBase) {}
    int signUp(std::string name, std::string password) {
        return store->addUser(name.data(), password.data());
    }
    int signUpOn(std::string name, std::string password, std::string date) {
        return store->addUser(name.data(), password.data(), date.data());
    }
    int check(std::string name) { return store->checkUser(name.data()); }
    int login(std::string name, std::string password) {
        return store->checkCredentials(name.data(), password.data());
    }
    int remove(std::string name, std::string password) {
        return store->deleteUser(name.data(), password.data());
    }
    int score(std::string name, std::string password, int points, std::string date) {
        return store->addSinglePlayerScore(name.data(), password.data(), points, date.data());
    }
    std::vector<std::string> list(const std::string& password = "any", int* length = nullptr) {
        std::string name = "anyone";
        std::string pw = password;
        int listLength = -1;
        char* list = store->getSinglePlayerHighscoreList(name.data(), pw.data(), &listLength);
        EXPECT_NE(list, nullptr);
        EXPECT_EQ(listLength % USERBASE_ENTRY_SIZE, 0);
        if (length != nullptr) {
            *length = listLength;
        }
        std::vector<std::string> entries;
        for (int offset = 0; list != nullptr && offset < listLength;
             offset += USERBASE_ENTRY_SIZE) {
            EXPECT_NE(memchr(list + offset, '\0', USERBASE_ENTRY_SIZE), nullptr);
            entries.push_back(
                std::string(list + offset, strnlen(list + offset, USERBASE_ENTRY_SIZE)));
        }
        return entries;
    }
    // The list copied whole under the store's lock, as concurrent callers
    // must take it; the entries' texts.
    std::vector<std::string> copiedList() {
        std::string name = "anyone";
        std::string pw = "x";
        std::vector<char> buffer(USERBASE_LIST_SIZE, 'x');
        int length = store->copySinglePlayerHighscoreList(name.data(), pw.data(), buffer.data());
        EXPECT_GE(length, 0);
        EXPECT_EQ(length % USERBASE_ENTRY_SIZE, 0);
        std::vector<std::string> entries;
        for (int offset = 0; offset < length; offset += USERBASE_ENTRY_SIZE) {
            entries.push_back(
                std::string(&buffer[offset], strnlen(&buffer[offset], USERBASE_ENTRY_SIZE)));
        }
        return entries;
    }
    std::string userName(int id) {
        char buffer[USERBASE_NAME_SIZE];
        memset(buffer, 'x', sizeof buffer);
        store->getUserName(buffer, id);
        EXPECT_NE(memchr(buffer, '\0', sizeof buffer), nullptr);
        return std::string(buffer, strnlen(buffer, sizeof buffer));
    }

private:
    UserBaseMysql* store;
};

// The lines of the statistics table in captured output; the log's lines
// come in between.
std::vector<std::string> tableLines(const std::string& output) {
    std::vector<std::string> table;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        std::string line = output.substr(start, end - start);
        if (!line.empty() && (line[0] == '|' || line[0] == '#')) {
            table.push_back(line);
        }
        start = end == std::string::npos ? output.size() : end + 1;
    }
    return table;
}

class UserBaseMysqlTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!serverOptions().empty()) {
            // A server of the test's own, started with those options.
            std::string missing = privateServerSkipReason();
            if (!missing.empty()) {
                GTEST_SKIP() << missing;
            }
            ownServer.reset(new PrivateMariadb(dir.file("mariadb"), serverOptions()));
            ASSERT_TRUE(ownServer->start()) << ownServer->output();
        }
        db.reset(new MysqlTestDatabase());
        if (!db->skipReason().empty()) {
            GTEST_SKIP() << db->skipReason();
        }
        ASSERT_TRUE(db->create()) << db->lastError();
    }
    // Empty: the shared private server; else the options of a server of
    // the test's own.
    virtual std::string serverOptions() const { return ""; }

    // Each test is a process of its own: the configuration and the store
    // are made here once, from the given config.ini text.
    UserBaseMysql* openStore(const std::string& configText,
                             const std::string& fileName = "config.ini") {
        std::string path = dir.file(fileName);
        writeFile(path, configText);
        Configuration::setConfigFile(path.data());
        return UserBaseMysql::getInstance();
    }
    StoreCalls openDefault() { return StoreCalls(openStore(db->configText(db->host()))); }

    MysqlRows rows(const std::string& statement) {
        MysqlRows result;
        EXPECT_TRUE(db->execute(statement, &result)) << statement << ": " << db->lastError();
        return result;
    }
    void exec(const std::string& statement) {
        ASSERT_TRUE(db->execute(statement)) << statement << ": " << db->lastError();
    }

    // Hostile names and passwords are stored as they are, log in as
    // themselves only, and open no other account.
    void checkHostileNames(StoreCalls& calls);

    TempDir dir;
    std::unique_ptr<PrivateMariadb> ownServer;
    std::unique_ptr<MysqlTestDatabase> db;
};

// A server that closes a connection idle for two seconds.
class UserBaseMysqlWaitTimeoutTest : public UserBaseMysqlTest {
protected:
    std::string serverOptions() const override { return "--wait-timeout=2"; }
    // Sessions in the test database other than the asking one: the store's.
    int storeSessions() {
        MysqlRows count = rows(
            "SELECT COUNT(*) FROM information_schema.PROCESSLIST "
            "WHERE ID<>CONNECTION_ID() AND DB=DATABASE()");
        return count.size() == 1 ? atoi(count[0][0].c_str()) : -1;
    }
    // The test's own statements each use a connection of their own, which
    // the server lists for a moment after it was closed: the count is taken
    // once those are gone (well inside the server's 2 s idle time-out).
    bool oneStoreSession() {
        return waitUntil([this]() { return storeSessions() == 1; }, 1000);
    }
};

// A server whose sql_mode would change the statements' meaning: double
// quotes naming columns, backslashes taken literally, and grouping by user
// alone refused.
class UserBaseMysqlSqlModeTest : public UserBaseMysqlTest {
protected:
    std::string serverOptions() const override {
        return "--sql-mode=ANSI_QUOTES,NO_BACKSLASH_ESCAPES,ONLY_FULL_GROUP_BY";
    }
};

TEST_F(UserBaseMysqlTest, SignUpStoresAnAccountThatChecksAndLogsIn) {
    StoreCalls calls = openDefault();
    int alice = calls.signUpOn("alice", "secret", SIGNUP_DATE);
    ASSERT_NE(alice, -1);
    int bob = calls.signUp("bob", "pw2");
    ASSERT_NE(bob, -1);
    EXPECT_NE(alice, bob);

    EXPECT_EQ(calls.check("alice"), alice);
    EXPECT_EQ(calls.login("alice", "secret"), alice);
    EXPECT_EQ(calls.login("bob", "pw2"), bob);
    EXPECT_EQ(calls.login("alice", "pw2"), -1);
    EXPECT_EQ(calls.login("alice", ""), -1);
    EXPECT_EQ(calls.check("carol"), -1);
    EXPECT_EQ(calls.check("Alice"), -1);
    EXPECT_EQ(calls.check("alice "), -1);
    EXPECT_EQ(calls.login("carol", "secret"), -1);
    // A second sign-up of a live name is refused and changes nothing.
    EXPECT_EQ(calls.signUp("alice", "secret"), -1);
    EXPECT_EQ(calls.signUp("alice", "other"), -1);

    MysqlRows stored = rows(
        "SELECT id, name, password, is_active, subscribed, MD5('secret') "
        "FROM user WHERE name='alice'");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0][0], std::to_string(alice));
    EXPECT_EQ(stored[0][2], stored[0][5]) << "the password is kept as its MD5 digest";
    EXPECT_EQ(stored[0][3], "1");
    EXPECT_EQ(stored[0][4], SIGNUP_DATE);
    // The plain sign-up dates the account with the local time "%Y-%m-%d %X".
    MysqlRows bobRow = rows("SELECT subscribed FROM user WHERE name='bob'");
    ASSERT_EQ(bobRow.size(), 1u);
    EXPECT_EQ(bobRow[0][0].size(), strlen(SIGNUP_DATE));
    EXPECT_EQ(bobRow[0][0][4], '-');
    EXPECT_EQ(bobRow[0][0][13], ':');
    EXPECT_EQ(rows("SELECT COUNT(*) FROM user")[0][0], "2");
}

TEST_F(UserBaseMysqlTest, DeleteIsSoftAndSignUpWithThePasswordRestoresTheAccount) {
    StoreCalls calls = openDefault();
    int id = calls.signUp("dora", "pw");
    ASSERT_NE(id, -1);
    ASSERT_EQ(calls.score("dora", "pw", 10, "2026-01-01 10:00:00"), id);
    ASSERT_EQ(calls.score("dora", "pw", 20, "2026-01-01 11:00:00"), id);
    ASSERT_EQ(calls.list().size(), 1u);

    EXPECT_EQ(calls.remove("dora", "wrong"), -1);
    EXPECT_EQ(calls.check("dora"), id) << "a wrong password deletes nothing";
    EXPECT_EQ(calls.remove("dora", "pw"), id);
    EXPECT_EQ(calls.remove("dora", "pw"), -1) << "already deleted";

    MysqlRows row = rows("SELECT is_active FROM user WHERE id=" + std::to_string(id));
    ASSERT_EQ(row.size(), 1u) << "the row stays";
    EXPECT_EQ(row[0][0], "0");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM scorelog")[0][0], "2") << "the scores stay";
    EXPECT_EQ(calls.check("dora"), -1);
    EXPECT_EQ(calls.login("dora", "pw"), -1);
    EXPECT_EQ(calls.userName(id), "");
    EXPECT_TRUE(calls.list().empty());
    EXPECT_EQ(calls.score("dora", "pw", 99, "2026-01-03 10:00:00"), -1);

    // Another password cannot take the name over.
    EXPECT_EQ(calls.signUp("dora", "thief"), -1);
    EXPECT_EQ(rows("SELECT is_active FROM user WHERE id=" + std::to_string(id))[0][0], "0");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM user")[0][0], "1");

    // The same password brings back the old id and the old scores.
    EXPECT_EQ(calls.signUp("dora", "pw"), id);
    EXPECT_EQ(calls.login("dora", "pw"), id);
    std::vector<std::string> list = calls.list();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], "  1.   20 2026-01-01  dora");
}

TEST_F(UserBaseMysqlTest, ScoresAreRowsOfTheirAccountOnlyWithTheRightPassword) {
    StoreCalls calls = openDefault();
    int id = calls.signUp("erin", "pw");
    ASSERT_NE(id, -1);
    EXPECT_EQ(calls.score("erin", "nope", 50, "2026-01-01 00:00:00"), -1);
    EXPECT_EQ(calls.score("nobody", "pw", 50, "2026-01-01 00:00:00"), -1);
    EXPECT_EQ(rows("SELECT COUNT(*) FROM scorelog")[0][0], "0") << "nothing is recorded";

    EXPECT_EQ(calls.score("erin", "pw", 1234, "2026-05-06 07:08:09"), id);
    EXPECT_EQ(calls.score("erin", "pw", -3, "2026-05-06 07:08:10"), id);
    UserBaseMysql* store = UserBaseMysql::getInstance();
    std::string name = "erin";
    std::string pw = "pw";
    EXPECT_EQ(store->addSinglePlayerScore(name.data(), pw.data(), 7), id);

    MysqlRows scores = rows("SELECT user_id, score, date FROM scorelog ORDER BY id");
    ASSERT_EQ(scores.size(), 3u);
    EXPECT_EQ(scores[0],
              (std::vector<std::string>{std::to_string(id), "1234", "2026-05-06 07:08:09"}));
    EXPECT_EQ(scores[1][1], "-3");
    EXPECT_EQ(scores[2][1], "7");
    EXPECT_EQ(scores[2][2].size(), strlen(SIGNUP_DATE)) << "the current time as text";
}

TEST_F(UserBaseMysqlTest, HighscoreListShowsEachActiveAccountsBestScoreInOrder) {
    StoreCalls calls = openDefault();
    ASSERT_NE(calls.signUp("ann", "a"), -1);
    ASSERT_NE(calls.signUp("ben", "b"), -1);
    ASSERT_NE(calls.signUp("cy", "c"), -1);
    ASSERT_NE(calls.signUp("noscore", "n"), -1);
    ASSERT_NE(calls.signUp("gone", "g"), -1);
    calls.score("ann", "a", 15, "2026-01-02 03:04:05");
    calls.score("ann", "a", 9, "2026-01-02 13:14:15");
    calls.score("ben", "b", 1234, "2025-12-31 23:59:59");
    calls.score("cy", "c", 7, "2026-02-02 10:10:10");
    calls.score("gone", "g", 5000, "2026-02-02 10:10:10");
    ASSERT_NE(calls.remove("gone", "g"), -1);

    int length = 0;
    // The list needs no valid credentials.
    std::vector<std::string> list = calls.list("wrong password", &length);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(length, 150);
    EXPECT_EQ(list[0], "  1. 1234 2025-12-31  ben");
    EXPECT_EQ(list[1], "  2.   15 2026-01-02  ann");
    EXPECT_EQ(list[2], "  3.    7 2026-02-02  cy");

    // A second call builds the list afresh in the same buffer.
    // Which of an account's games dates its entry is the database's
    // choice, so all of cy's games share one day here.
    calls.score("cy", "c", 2000, "2026-02-02 11:11:11");
    list = calls.list();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], "  1. 2000 2026-02-02  cy");

    // An empty list is a list, not a refusal.
    exec("DELETE FROM scorelog");
    list = calls.list("x", &length);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(length, 0);
}

TEST_F(UserBaseMysqlTest, HighscoreListStopsAtOneHundredEntries) {
    StoreCalls calls = openDefault();
    // 150 accounts straight into the tables: the limit is what is tested.
    std::string users = "INSERT INTO user (id, name, password, is_active, subscribed) VALUES ";
    std::string scores = "INSERT INTO scorelog (user_id, score, date) VALUES ";
    for (int i = 1; i <= 150; i++) {
        std::string sep = i > 1 ? "," : "";
        users += sep + "(" + std::to_string(i) + ",'p" + std::to_string(i) + "',MD5('x'),1,'')";
        scores += sep + "(" + std::to_string(i) + "," + std::to_string(i * 10) +
                  ",'2026-01-01 00:00:00')";
    }
    exec(users);
    exec(scores);
    exec("UPDATE user SET is_active=0 WHERE id=150");

    int length = 0;
    std::vector<std::string> list = calls.list("x", &length);
    ASSERT_EQ(list.size(), 100u);
    EXPECT_EQ(length, 5000);
    EXPECT_EQ(list[0], "  1. 1490 2026-01-01  p149") << "the deleted p150 is not listed";
    EXPECT_EQ(list[99], "100.  500 2026-01-01  p50");
    EXPECT_EQ(calls.userName(150), "");
    EXPECT_EQ(calls.userName(1), "p1");
}

TEST_F(UserBaseMysqlTest, StatisticsTableShowsCountBestAndAverage) {
    StoreCalls calls = openDefault();
    int id = calls.signUp("gina", "pw");
    ASSERT_NE(id, -1);
    ASSERT_NE(calls.signUp("quiet", "pw"), -1);
    calls.score("gina", "pw", 10, "2026-07-01 12:00:00");
    calls.score("gina", "pw", 15, "2026-07-01 12:00:00");

    testing::internal::CaptureStdout();
    UserBaseMysql::getInstance()->dumpStatistics();
    std::string output = testing::internal::GetCapturedStdout();

    std::vector<std::string> table = tableLines(output);
    char row[128];
    snprintf(row, sizeof row, "|%5d|      gina|     2|    15|    12|2026-07-01 12:00:00|", id);
    std::vector<std::string> expected = {
        "###########################################################",
        "|Id   |User      |***  SINGLE PLAYER GAME ***             |",
        "|     |          |Played|  High|   Ave|     HSDate        |",
        "|_________________________________________________________|",
        row,
        "|_________________________________________________________|",
        "###########################################################"};
    EXPECT_EQ(table, expected) << output;
}

TEST_F(UserBaseMysqlTest, GetUserNameAndListsCutOverlongAndNullColumns) {
    StoreCalls calls = openDefault();
    int id = calls.signUp("hal", "pw");
    ASSERT_NE(id, -1);
    EXPECT_EQ(calls.userName(id), "hal");
    char buffer[USERBASE_NAME_SIZE];
    memset(buffer, 'x', sizeof buffer);
    UserBaseMysql::getInstance()->getUserName(buffer, id);
    for (int i = 3; i < USERBASE_NAME_SIZE; i++) {
        EXPECT_EQ(buffer[i], '\0') << "NUL-padded at " << i;
    }
    EXPECT_EQ(calls.userName(id + 1000), "");
    EXPECT_EQ(calls.userName(-1), "");

    // Rows made by hand: an overlong name, and a NULL date.
    std::string longName(40, 'L');
    exec("INSERT INTO user (id, name, password, is_active) VALUES (900, '" + longName +
         "', MD5('x'), 1)");
    exec("ALTER TABLE scorelog MODIFY date VARCHAR(32) NULL");
    exec("INSERT INTO scorelog (user_id, score, date) VALUES (900, 2147483647, NULL)");
    exec("INSERT INTO scorelog (user_id, score, date) VALUES (" + std::to_string(id) +
         ", -2147483647, '2026-01-01 00:00:00')");
    EXPECT_EQ(calls.userName(900), std::string(19, 'L'));

    std::vector<std::string> list = calls.list();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], "  1. 2147483647            " + std::string(19, 'L'));
    EXPECT_EQ(list[1], "  2. -2147483647 2026-01-01  hal");

    testing::internal::CaptureStdout();
    UserBaseMysql::getInstance()->dumpStatistics();
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find("|  900|" + std::string(19, 'L') +
                          "|     1|2147483647|2147483647|           |"),
              std::string::npos)
        << output;
}

void UserBaseMysqlTest::checkHostileNames(StoreCalls& calls) {
    int victim = calls.signUp("victim", "victimpw");
    ASSERT_NE(victim, -1);
    const std::vector<std::string> hostile = {
        "a\"b", "back\\slash", "it's", "100%", "\" OR \"1\"=\"1", "victim\" -- ", "x\\\"y", "_%"};
    std::vector<int> ids;
    for (size_t i = 0; i < hostile.size(); i++) {
        std::string pw = "pw" + std::to_string(i);
        int id = calls.signUp(hostile[i], pw);
        ASSERT_NE(id, -1) << hostile[i];
        EXPECT_NE(id, victim);
        for (int other : ids) {
            EXPECT_NE(id, other);
        }
        ids.push_back(id);
        MysqlRows stored = rows("SELECT name FROM user WHERE id=" + std::to_string(id));
        ASSERT_EQ(stored.size(), 1u);
        EXPECT_EQ(stored[0][0], hostile[i]) << "stored literally";
        EXPECT_EQ(calls.login(hostile[i], pw), id);
        EXPECT_EQ(calls.check(hostile[i]), id);
        EXPECT_EQ(calls.userName(id), hostile[i]);
    }
    // Injection in the password, or through a quote in the name, opens nothing.
    EXPECT_EQ(calls.login("victim", "\" OR \"1\"=\"1"), -1);
    EXPECT_EQ(calls.login("victim", "x\") OR (\"1\"=\"1"), -1);
    EXPECT_EQ(calls.login("victim\" AND \"1\"=\"1", "x"), -1);
    EXPECT_EQ(calls.login("\" OR \"1\"=\"1", "\" OR \"1\"=\"1"), -1);
    EXPECT_EQ(calls.remove("victim", "\" OR \"1\"=\"1"), -1);
    EXPECT_EQ(calls.score("victim", "\" OR \"\"=\"", 5, "2026-01-01 00:00:00"), -1);
    EXPECT_EQ(calls.check("%"), -1) << "no pattern matching";
    EXPECT_EQ(calls.login("victim", "victimpw"), victim);
    EXPECT_EQ(rows("SELECT COUNT(*) FROM user WHERE is_active=1")[0][0],
              std::to_string(hostile.size() + 1));
    // A hostile date text stays a value as well.
    EXPECT_EQ(calls.score("it's", "pw2", 3, "\"); DROP TABLE user; --"), ids[2]);
    EXPECT_EQ(rows("SELECT date FROM scorelog")[0][0], "\"); DROP TABLE user; --");
}

TEST_F(UserBaseMysqlTest, HostileNamesAreStoredLiterallyAndNeverAuthenticateAsAnother) {
    StoreCalls calls = openDefault();
    checkHostileNames(calls);
}

TEST_F(UserBaseMysqlSqlModeTest, StatementsKeepTheirMeaningUnderTheServersOtherModes) {
    StoreCalls calls = openDefault();
    testing::internal::CaptureStdout();
    checkHostileNames(calls);
    int ann = calls.signUp("ann", "a");
    calls.score("ann", "a", 15, "2026-01-02 03:04:05");
    calls.score("ann", "a", 9, "2026-01-02 13:14:15");
    std::vector<std::string> list = calls.list();
    UserBaseMysql::getInstance()->dumpStatistics();
    std::string log = testing::internal::GetCapturedStdout();
    ASSERT_GE(list.size(), 2u) << log;
    EXPECT_EQ(list[0], "  1.   15 2026-01-02  ann");
    EXPECT_EQ(list[1], "  2.    3 \"); DROP TA it's") << "the hostile date, cut to 11";
    char row[128];
    snprintf(row, sizeof row, "|%5d|       ann|     2|    15|    12|", ann);
    EXPECT_NE(log.find(row), std::string::npos) << log;
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
}

TEST_F(UserBaseMysqlTest, NamesAndPasswordsAreCutAtNineteenCharacters) {
    StoreCalls calls = openDefault();
    std::string name(25, 'n');
    std::string password(30, 'p');
    int id = calls.signUp(name, password);
    ASSERT_NE(id, -1);
    EXPECT_EQ(rows("SELECT name FROM user")[0][0], std::string(19, 'n'));
    EXPECT_EQ(calls.check(std::string(19, 'n')), id);
    EXPECT_EQ(calls.login(std::string(19, 'n'), std::string(19, 'p')), id);
    EXPECT_EQ(calls.login(name, std::string(19, 'p') + "zzz"), id);
    EXPECT_EQ(calls.login(name, std::string(18, 'p')), -1);
}

TEST_F(UserBaseMysqlTest, FailedStatementsAreReportedAsFailures) {
    StoreCalls calls = openDefault();
    int id = calls.signUp("fay", "pw");
    ASSERT_NE(id, -1);
    // Triggers make the database refuse the store's writes.
    exec(
        "CREATE TRIGGER no_update BEFORE UPDATE ON user FOR EACH ROW "
        "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT='refused'");
    exec(
        "CREATE TRIGGER no_score BEFORE INSERT ON scorelog FOR EACH ROW "
        "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT='refused'");

    testing::internal::CaptureStdout();
    int deleted = calls.remove("fay", "pw");
    int scored = calls.score("fay", "pw", 10, "2026-01-01 00:00:00");
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(deleted, -1) << "the account was not deleted";
    EXPECT_EQ(scored, -1) << "the score was not recorded";
    EXPECT_NE(log.find("ERROR: Error querying\n"), std::string::npos) << log;
    EXPECT_EQ(calls.login("fay", "pw"), id);

    exec("DROP TRIGGER no_update");
    ASSERT_EQ(calls.remove("fay", "pw"), id);
    exec(
        "CREATE TRIGGER no_update BEFORE UPDATE ON user FOR EACH ROW "
        "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT='refused'");
    EXPECT_EQ(calls.signUp("fay", "pw"), -1) << "the reactivation did not happen";
    EXPECT_EQ(calls.check("fay"), -1);

    // A list or table that cannot be read is answered empty, but not
    // passed off as an empty one in the log.
    exec("RENAME TABLE scorelog TO scorelog_away");
    testing::internal::CaptureStdout();
    int length = -1;
    EXPECT_TRUE(calls.list("x", &length).empty());
    UserBaseMysql::getInstance()->dumpStatistics();
    log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(length, 0);
    EXPECT_NE(log.find("ERROR: Highscore list could not be read\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR: Statistics could not be read\n"), std::string::npos) << log;
}

TEST_F(UserBaseMysqlTest, UnreachableDatabaseFailsEveryOperationCleanly) {
    UserBaseMysql* store = openStore(db->configTextWithPassword(db->host(), "not-the-password"));
    StoreCalls calls(store);
    testing::internal::CaptureStdout();
    int login = calls.login("alice", "pw");
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(login, -1);
    size_t opening = log.find("ERROR: Error opening database\n");
    size_t another = log.find("ERROR: Another handle\n", opening);
    size_t notOpen = log.find("ERROR: Database not open when querying\n", another);
    EXPECT_NE(opening, std::string::npos) << log;
    EXPECT_NE(another, std::string::npos) << log;
    EXPECT_NE(notOpen, std::string::npos) << log;
    EXPECT_EQ(log.find("Query:"), std::string::npos) << "nothing ran";
    EXPECT_NE(log.find("DEBUG: Database: Access denied"), std::string::npos)
        << "the library's reason is logged: " << log;

    testing::internal::CaptureStdout();
    EXPECT_EQ(calls.signUp("alice", "pw"), -1);
    EXPECT_EQ(calls.check("alice"), -1);
    EXPECT_EQ(calls.remove("alice", "pw"), -1);
    EXPECT_EQ(calls.score("alice", "pw", 5, "2026-01-01 00:00:00"), -1);
    EXPECT_EQ(calls.userName(1), "");
    int length = -1;
    EXPECT_TRUE(calls.list("pw", &length).empty());
    EXPECT_EQ(length, 0);
    store->dumpStatistics();
    log = testing::internal::GetCapturedStdout();
    std::vector<std::string> table = tableLines(log);
    ASSERT_EQ(table.size(), 6u) << "only the heading and closing lines: " << log;
    EXPECT_EQ(table[3], table[4]);
    EXPECT_EQ(rows("SELECT COUNT(*) FROM user")[0][0], "0") << "nothing is stored";
}

TEST_F(UserBaseMysqlTest, FactoryGivesThisStoreForDatabaseTypeMysql) {
    std::string path = dir.file("config.ini");
    writeFile(path, db->configText(db->host()));
    Configuration::setConfigFile(path.data());
    UserBase* store = UserBaseFactory::getUserBaseInstance();
    ASSERT_EQ(store, UserBaseMysql::getInstance());
    EXPECT_EQ(UserBaseFactory::getUserBaseInstance(), store);
    StoreCalls calls(UserBaseMysql::getInstance());
    int id = calls.signUp("viafactory", "pw");
    ASSERT_NE(id, -1);
    EXPECT_EQ(rows("SELECT id FROM user WHERE name='viafactory'")[0][0], std::to_string(id));
    // Shutdown destroys the store through the interface; the factory makes
    // none again, and a new store of its own still finds the account.
    UserBaseFactory::destroyUserBaseInstance();
    EXPECT_EQ(UserBaseFactory::getUserBaseInstance(), nullptr);
    UserBase* again = UserBaseMysql::getInstance();
    std::string name = "viafactory";
    EXPECT_EQ(again->checkUser(name.data()), id);
    delete again;
}

// The connection of a score is killed while its INSERT runs: the score is
// reported as not recorded, it is not sent again on a new connection, and
// the next operation gets a new connection.
TEST_F(UserBaseMysqlTest, WriteLostOnTheWayIsAFailureAndIsNeverSentAgain) {
    StoreCalls calls = openDefault();
    int id = calls.signUp("kim", "pw");
    ASSERT_NE(id, -1);
    exec(
        "CREATE TRIGGER slow_score BEFORE INSERT ON scorelog FOR EACH ROW "
        "SET NEW.score = NEW.score + SLEEP(3)");
    testing::internal::CaptureStdout();
    std::future<int> scored = std::async(std::launch::async, [&calls]() {
        return calls.score("kim", "pw", 7, "2026-01-01 00:00:00");
    });
    std::string inserting;
    bool seen = waitUntil(
        [this, &inserting]() {
            MysqlRows found = rows(
                "SELECT ID FROM information_schema.PROCESSLIST WHERE ID<>CONNECTION_ID() "
                "AND DB=DATABASE() AND INFO LIKE 'INSERT INTO scorelog%'");
            inserting = found.size() == 1 ? found[0][0] : "";
            return !inserting.empty();
        },
        LOST_WRITE_DEADLINE_MS);
    if (seen) {
        exec("KILL CONNECTION " + inserting);
    }
    int result = scored.get();
    std::string log = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(seen) << "the INSERT was never seen running: " << log;
    EXPECT_EQ(result, -1) << log;
    EXPECT_NE(log.find("ERROR: Error querying\n"), std::string::npos) << log;

    exec("DROP TRIGGER slow_score");
    EXPECT_EQ(calls.login("kim", "pw"), id);
    EXPECT_EQ(rows("SELECT COUNT(*) FROM scorelog")[0][0], "0") << "the score was sent again";
}

// One connection serves every operation; once the server has closed it
// for idleness the next operations make a new one, fail nothing, and send
// no statement twice.
TEST_F(UserBaseMysqlWaitTimeoutTest, ConnectionIsKeptAndReplacedAfterTheServerClosedIt) {
    StoreCalls calls = openDefault();
    int id = calls.signUp("wendy", "pw");
    ASSERT_NE(id, -1);
    ASSERT_EQ(calls.score("wendy", "pw", 10, "2026-01-01 00:00:00"), id);
    EXPECT_EQ(calls.login("wendy", "pw"), id);
    EXPECT_TRUE(oneStoreSession()) << "the connection is kept between operations";
    ASSERT_TRUE(waitUntil([this]() { return storeSessions() == 0; }, IDLE_CLOSE_DEADLINE_MS))
        << "the server did not close the idle connection";

    testing::internal::CaptureStdout();
    int scored = calls.score("wendy", "pw", 20, "2026-01-01 00:00:01");
    int login = calls.login("wendy", "pw");
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(scored, id);
    EXPECT_EQ(login, id);
    EXPECT_NE(log.find("INFO: Database connection lost, connecting again\n"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
    EXPECT_EQ(rows("SELECT score FROM scorelog ORDER BY id"),
              (MysqlRows{{"10"}, {"20"}}))
        << "each score recorded once";
    EXPECT_TRUE(oneStoreSession()) << storeSessions() << " sessions";
}

TEST_F(UserBaseMysqlTest, TcpConnectionWorksLikeTheSocket) {
    StoreCalls calls(openStore(db->configText("127.0.0.1")));
    int id = calls.signUp("tcp", "pw");
    ASSERT_NE(id, -1);
    EXPECT_EQ(calls.login("tcp", "pw"), id);
}

TEST_F(UserBaseMysqlTest, ConcurrentCallersGetTheirOwnResults) {
    StoreCalls calls = openDefault();
    const int threads = 4;
    const int rounds = 40;
    std::vector<std::thread> workers;
    std::vector<int> failures(threads, 0);
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&calls, &failures, t, rounds]() {
            for (int r = 0; r < rounds; r++) {
                std::string name = "t" + std::to_string(t) + "r" + std::to_string(r);
                int id = calls.signUp(name, name);
                bool ok = id != -1 && calls.login(name, name) == id && calls.check(name) == id &&
                          calls.userName(id) == name && calls.login(name, "x") == -1 &&
                          calls.score(name, name, t * 1000 + r, "2026-01-01 00:00:00") == id;
                std::vector<std::string> list = calls.copiedList();
                ok = ok && !list.empty() && list[0].compare(0, 5, "  1. ") == 0;
                failures[t] += ok ? 0 : 1;
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    for (int t = 0; t < threads; t++) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
    }
    EXPECT_EQ(rows("SELECT COUNT(*) FROM scorelog")[0][0], std::to_string(threads * rounds));
}

// Two server processes on one database: the same names signed up at the
// same time from both never give two rows, nor two successes.
TEST_F(UserBaseMysqlTest, RacingSignUpsFromTwoProcessesCreateOneAccount) {
    std::string config = db->configText(db->host());
    const int names = 30;
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        // A file of its own: the parent writes config.ini at the same time.
        StoreCalls childCalls(openStore(config, "child.ini"));
        std::string results;
        for (int i = 0; i < names; i++) {
            results += childCalls.signUp("race" + std::to_string(i), "child") != -1 ? "1" : "0";
        }
        writeFile(dir.file("child.txt"), results);
        _exit(0);
    }
    StoreCalls calls(openStore(config));
    std::string mine;
    for (int i = 0; i < names; i++) {
        mine += calls.signUp("race" + std::to_string(i), "parent") != -1 ? "1" : "0";
    }
    ASSERT_TRUE(waitForChild(child)) << "the other process did not finish in time";
    std::string theirs = readFile(dir.file("child.txt"));
    ASSERT_EQ(theirs.size(), static_cast<size_t>(names));
    for (int i = 0; i < names; i++) {
        std::string name = "race" + std::to_string(i);
        EXPECT_EQ(rows("SELECT COUNT(*) FROM user WHERE name='" + name + "'")[0][0], "1") << name;
        EXPECT_EQ((mine[i] == '1') + (theirs[i] == '1'), 1) << name;
        std::string winner = mine[i] == '1' ? "parent" : "child";
        EXPECT_NE(calls.login(name, winner), -1) << name;
    }
}

// Tests that stop, start or freeze a private server of their own.
class UserBaseMysqlRestartTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing = privateServerSkipReason();
        if (!missing.empty()) {
            GTEST_SKIP() << missing;
        }
    }
    // Starts the server and points the store's configuration at it through
    // host ("localhost": the socket; an address: TCP).
    bool startServer(const char* host) {
        if (!server.start()) {
            return false;
        }
        std::string path = dir.file("config.ini");
        writeFile(path, server.configText(host));
        Configuration::setConfigFile(path.data());
        return true;
    }

    TempDir dir;
    PrivateMariadb server{dir.file("mariadb")};
};

// The database restarts between two operations of a running store (that
// it fails while down and works again after is tested over the wire).
TEST_F(UserBaseMysqlRestartTest, KeptConnectionIsReplacedAfterARestartBetweenOperations) {
    ASSERT_TRUE(startServer("localhost")) << server.output();
    StoreCalls calls(UserBaseMysql::getInstance());
    int id = calls.signUp("rita", "pw");
    ASSERT_NE(id, -1);

    // Restarted between two operations: the kept connection is replaced
    // before the next one sends anything, which then just works.
    ASSERT_TRUE(server.down()) << server.output();
    ASSERT_TRUE(server.up()) << server.output();
    testing::internal::CaptureStdout();
    int afterRestart = calls.login("rita", "pw");
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(afterRestart, id);
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
}

}  // namespace

namespace {

// A database that takes connections but never answers holds an operation
// only for the client library's time-outs, not for ever.
TEST_F(UserBaseMysqlRestartTest, FrozenServerTimesOutAndIsUsedAgainAfter) {
    ASSERT_TRUE(startServer("127.0.0.1")) << server.output();
    StoreCalls calls(UserBaseMysql::getInstance());
    int id = calls.signUp("fred", "pw");
    ASSERT_NE(id, -1);

    ASSERT_TRUE(server.freeze());
    long long started = clockMonotonicMs();
    std::future<int> login =
        std::async(std::launch::async, [&calls]() { return calls.login("fred", "pw"); });
    // Past the deadline the server is let go, which ends a call that hangs.
    bool inTime =
        login.wait_for(std::chrono::milliseconds(FROZEN_DEADLINE_MS)) == std::future_status::ready;
    long long took = clockMonotonicMs() - started;
    ASSERT_TRUE(server.resume());
    EXPECT_TRUE(inTime) << "the operation still waited after " << took << " ms";
    EXPECT_EQ(login.get(), -1);
    EXPECT_EQ(calls.login("fred", "pw"), id);
}

}  // namespace
