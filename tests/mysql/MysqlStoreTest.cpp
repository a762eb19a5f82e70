// MysqlStoreTest.cpp - the MySQL user store in process against a real MariaDB server, and the
// server binary over the wire with its database going down and up.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Configuration.h"
#include "GameProtocol.h"
#include "LobbyPlayer.h"
#include "MysqlTestDatabase.h"
#include "Process.h"
#include "TestSupport.h"
#include "UserBaseFactory.h"
#include "UserBaseMysql.h"

namespace {

const char* const DATE = "2026-03-04 05:06:07";

std::string env(const char* key) {
    const char* value = getenv(key);
    return value != nullptr ? value : "";
}

template <typename Calls>
std::string logOf(Calls calls) {
    testing::internal::CaptureStdout();
    calls();
    return testing::internal::GetCapturedStdout();
}

// The store's char* calls on strings, and its list and statistics as texts.
struct Store {
    UserBaseMysql* store;

    int signUp(std::string name, std::string pw) { return store->addUser(&name[0], &pw[0]); }
    int check(std::string name) { return store->checkUser(&name[0]); }
    int login(std::string user, std::string pw) {
        return store->checkCredentials(&user[0], &pw[0]);
    }
    int remove(std::string name, std::string pw) { return store->deleteUser(&name[0], &pw[0]); }
    int score(std::string name, std::string pw, int points, std::string date = DATE) {
        return date.empty() ? store->addSinglePlayerScore(&name[0], &pw[0], points)
                            : store->addSinglePlayerScore(&name[0], &pw[0], points, &date[0]);
    }
    std::vector<std::string> list() {
        char anyone[] = "anyone";
        std::vector<char> buffer(USERBASE_LIST_SIZE, 'x');
        int length = store->copySinglePlayerHighscoreList(anyone, anyone, buffer.data());
        EXPECT_EQ(length % USERBASE_ENTRY_SIZE, 0);
        std::vector<std::string> entries;
        for (int at = 0; at < length; at += USERBASE_ENTRY_SIZE) {
            EXPECT_NE(memchr(&buffer[at], '\0', USERBASE_ENTRY_SIZE), nullptr);
            entries.push_back(std::string(&buffer[at], strnlen(&buffer[at], USERBASE_ENTRY_SIZE)));
        }
        return entries;
    }
    std::string userName(int id) {
        char buffer[USERBASE_NAME_SIZE];
        memset(buffer, 'x', sizeof buffer);
        store->getUserName(buffer, id);
        size_t length = strnlen(buffer, sizeof buffer);
        for (size_t i = length; length > 0 && i < sizeof buffer; i++) {
            EXPECT_EQ(buffer[i], '\0') << "a found name is NUL-padded, at " << i;
        }
        return std::string(buffer, length);
    }
    // The table's lines; all that was printed is added to *output.
    std::vector<std::string> statistics(std::string* output = nullptr) {
        std::string printed = logOf([this] { store->dumpStatistics(); });
        std::vector<std::string> table;
        std::istringstream lines(printed);
        for (std::string line; std::getline(lines, line);) {
            if (line[0] == '|' || line[0] == '#') {
                table.push_back(line);
            }
        }
        if (output != nullptr) {
            *output += printed;
        }
        return table;
    }
};

// Each test is a process of its own with a database of its own made from sql/schema.sql, on the
// private server that CARVANTA_MYSQL_* names or on a server of the test's own.
class MysqlStore : public ::testing::Test {
protected:
    void SetUp() override {
        if (env("CARVANTA_MYSQL_USER").empty() || env("CARVANTA_MYSQL_DB").empty()) {
            GTEST_SKIP() << "no private MariaDB server: CARVANTA_MYSQL_* is not set (source the "
                            "env file of 'scripts/mariadb-private.sh start' before running the "
                            "MySQL tests)";
        }
        if (serverOptions() != nullptr) {
            ASSERT_TRUE(ownServer("start")) << readFile(dir.file("mariadb.log"));
            // Each line of the env file reads "export KEY='value'". The client library reads
            // MYSQL_UNIX_PORT and MYSQL_TCP_PORT once, at its first use in the process.
            std::istringstream lines(readFile(dir.file("mariadb/env")));
            for (std::string line; std::getline(lines, line);) {
                size_t equals = line.find("='");
                if (line.compare(0, 7, "export ") == 0 && equals != std::string::npos) {
                    std::string value = line.substr(equals + 2, line.size() - equals - 3);
                    setenv(line.substr(7, equals - 7).c_str(), value.c_str(), 1);
                }
            }
        }
        std::string name = env("CARVANTA_MYSQL_DB") + "_" + std::to_string(getpid());
        ASSERT_TRUE(execute("CREATE DATABASE " + name)) << error;
        database = name;
        ASSERT_TRUE(execute(readFile(CARVANTA_SOURCE_DIR "/sql/schema.sql"))) << error;
    }
    void TearDown() override {
        if (!database.empty()) {
            execute("DROP DATABASE " + database);
        }
        if (serverOptions() != nullptr) {
            ownServer("stop");
        }
    }
    // Null: the shared server; else the options of a server of the test's own.
    virtual const char* serverOptions() const { return nullptr; }
    // The script's action on the test's own server, bounded here and by the script's own
    // deadlines; its output in mariadb.log.
    bool ownServer(const std::string& action) {
        std::string command = "CARVANTA_MYSQL_DIR='" + dir.file("mariadb") +
                              "' CARVANTA_MYSQL_SERVER_OPTIONS='" + serverOptions() +
                              "' timeout 150 bash '" CARVANTA_SOURCE_DIR
                              "/scripts/mariadb-private.sh' " +
                              action + " >'" + dir.file("mariadb.log") + "' 2>&1";
        return system(command.c_str()) == 0;
    }
    // SIGSTOP: connections are accepted but nothing is answered; SIGCONT resumes. The server is
    // the process the script launched last (its own pid file can be left by an earlier start
    // attempt).
    bool signalOwnServer(int signalNumber) {
        pid_t pid = static_cast<pid_t>(atoi(readFile(dir.file("mariadb/launcher.pid")).c_str()));
        bool stop = signalNumber == SIGSTOP;
        return pid > 1 && kill(pid, signalNumber) == 0 &&
               waitUntil([&] { return (procStatFromState(pid)[0] == 'T') == stop; }, 5000);
    }

    bool execute(const std::string& statements, std::string* value = nullptr) {
        return executeMysql(database, statements, value, &error);
    }
    std::string one(const std::string& statement) {
        std::string value;
        EXPECT_TRUE(execute(statement, &value)) << statement << ": " << error;
        return value;
    }
    // config.ini lines; an empty host or password stands for the server's own.
    std::string configText(const std::string& host = "", const std::string& pw = "") {
        return "database_type mysql\ndatabase_host " +
               (host.empty() ? env("CARVANTA_MYSQL_HOST") : host) + "\ndatabase_name " + database +
               "\ndatabase_user " + env("CARVANTA_MYSQL_USER") + "\ndatabase_password " +
               (pw.empty() ? env("CARVANTA_MYSQL_PASSWORD") : pw) + "\n";
    }
    // The store is made once, from this config.
    Store open(const std::string& config = "", const std::string& fileName = "config.ini") {
        writeFile(dir.file(fileName), config.empty() ? configText() : config);
        Configuration::setConfigFile(dir.file(fileName).data());
        return Store{UserBaseMysql::getInstance()};
    }

    TempDir dir;
    std::string database;
    std::string error;
};

TEST_F(MysqlStore, AccountsGoByTheirExactNameScoresNeedThePasswordAndDeleteIsSoft) {
    Store s = open();
    ASSERT_EQ(UserBaseFactory::getUserBaseInstance(), s.store) << "database_type mysql";
    int alice = s.signUp("alice", "secret");
    int bob = s.signUp("bob", "pw2");
    ASSERT_TRUE(alice != -1 && bob != -1 && alice != bob) << alice << ", " << bob;
    EXPECT_EQ(s.check("alice"), alice);
    EXPECT_EQ(s.login("alice", "secret"), alice);
    for (const char* name : {"carol", "Alice", "alice "}) {
        EXPECT_EQ(s.check(name), -1) << name;
    }
    EXPECT_EQ(s.login("alice", "pw2"), -1);
    EXPECT_EQ(s.login("carol", "secret"), -1);
    EXPECT_EQ(s.signUp("alice", "secret"), -1);
    // The sign-up dates the account with the local time "%Y-%m-%d %X".
    EXPECT_EQ(one("SELECT CONCAT_WS(',', id, password=MD5('secret'), is_active, subscribed REGEXP "
                  "'^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}$') FROM user WHERE name='alice'"),
              std::to_string(alice) + ",1,1,1");

    // Names and passwords are cut at 19 characters.
    int id = s.signUp(std::string(25, 'n'), std::string(30, 'p'));
    ASSERT_NE(id, -1);
    EXPECT_EQ(one("SELECT name FROM user WHERE id=" + std::to_string(id)), std::string(19, 'n'));
    EXPECT_EQ(s.login(std::string(19, 'n'), std::string(19, 'p') + "zzz"), id);
    EXPECT_EQ(s.login(std::string(25, 'n'), std::string(18, 'p')), -1);
    // Scores need the password; delete is soft until the same password returns.
    id = s.signUp("dora", "pw");
    EXPECT_EQ(s.score("dora", "nope", 50), -1);
    EXPECT_EQ(s.score("dora", "pw", 20, "2026-01-01 11:00:00"), id);
    EXPECT_EQ(s.score("dora", "pw", -3), id);
    EXPECT_EQ(s.score("dora", "pw", 7, ""), id);
    EXPECT_EQ(one("SELECT GROUP_CONCAT(user_id, ' ', score, ' ', date ORDER BY id) FROM scorelog "
                  "WHERE score<>7"),
              std::to_string(id) + " 20 2026-01-01 11:00:00," + std::to_string(id) + " -3 " + DATE);
    EXPECT_EQ(one("SELECT LENGTH(date) FROM scorelog WHERE score=7"), "19") << "the time as text";
    EXPECT_EQ(s.remove("dora", "wrong"), -1);
    EXPECT_EQ(s.remove("dora", "pw"), id);
    EXPECT_EQ(s.check("dora"), -1);
    EXPECT_EQ(s.login("dora", "pw"), -1);
    EXPECT_EQ(s.userName(id), "");
    EXPECT_TRUE(s.list().empty());
    EXPECT_EQ(s.signUp("dora", "thief"), -1);
    EXPECT_EQ(s.signUp("dora", "pw"), id);
    EXPECT_EQ(s.list(), std::vector<std::string>{"  1.   20 2026-01-01  dora"});
}

TEST_F(MysqlStore, HighscoreListAndStatisticsShowEachActiveAccountsBestCutToTheirFields) {
    Store s = open();
    for (const char* name : {"ann", "ben", "cy", "noscore", "gone"}) {
        ASSERT_NE(s.signUp(name, "p"), -1);
    }
    s.score("ann", "p", 15, "2026-01-02 03:04:05");
    s.score("ann", "p", 9, "2026-01-02 13:14:15");
    s.score("ben", "p", 1234, "2025-12-31 23:59:59");
    s.score("cy", "p", 7, "2026-02-02 10:10:10");
    s.score("gone", "p", 5000, "2026-02-02 10:10:10");
    ASSERT_NE(s.remove("gone", "p"), -1);
    EXPECT_EQ(s.list(),
              (std::vector<std::string>{"  1. 1234 2025-12-31  ben", "  2.   15 2026-01-02  ann",
                                        "  3.    7 2026-02-02  cy"}));
    std::vector<std::string> expected = {
        "###########################################################",
        "|Id   |User      |***  SINGLE PLAYER GAME ***             |",
        "|     |          |Played|  High|   Ave|     HSDate        |",
        "|_________________________________________________________|",
        "|    2|       ben|     1|  1234|  1234|2025-12-31 23:59:59|",
        "|    1|       ann|     2|    15|    12|2026-01-02 03:04:05|",
        "|    3|        cy|     1|     7|     7|2026-02-02 10:10:10|",
        "|_________________________________________________________|",
        "###########################################################"};
    EXPECT_EQ(s.statistics(), expected);
    // A second call builds the list afresh (all of cy's games share one day: which game
    // dates an entry is the database's choice).
    s.score("cy", "p", 2000, "2026-02-02 11:11:11");
    EXPECT_EQ(s.list().at(0), "  1. 2000 2026-02-02  cy");

    // Rows made by hand: an overlong name, a NULL date, the int extremes.
    std::string cut(19, 'L');
    one("DELETE FROM scorelog; ALTER TABLE scorelog MODIFY date VARCHAR(32) NULL; "
        "INSERT INTO user (id, name, password, is_active) VALUES (900, '" +
        cut +
        "xxx', 'x', 1); "
        "INSERT INTO scorelog (user_id, score, date) VALUES (900, 2147483647, NULL), "
        "(1, -2147483647, '2026-01-01 00:00:00')");
    EXPECT_EQ(s.userName(900), cut);
    EXPECT_EQ(s.userName(901), "");
    EXPECT_EQ(s.list(), (std::vector<std::string>{"  1. 2147483647            " + cut,
                                                  "  2. -2147483647 2026-01-01  ann"}));
    EXPECT_EQ(s.statistics().at(4), "|  900|" + cut + "|     1|2147483647|2147483647|           |");

    // 150 accounts straight into the tables: the list stops at 100.
    const std::string upTo150 =
        " WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 150) ";
    one("DELETE FROM user; DELETE FROM scorelog; INSERT INTO user (id, name, password, is_active, "
        "subscribed)" +
        upTo150 +
        "SELECT i, CONCAT('p', i), MD5('x'), i < 150, '' FROM n; "
        "INSERT INTO scorelog (user_id, score, date)" +
        upTo150 + "SELECT i, i * 10, '2026-01-01 00:00:00' FROM n");
    std::vector<std::string> list = s.list();
    ASSERT_EQ(list.size(), 100u);
    EXPECT_EQ(list[99], "100.  500 2026-01-01  p50");
}

TEST_F(MysqlStore, RefusedOrLostStatementsAreFailuresThatAreLoggedAndNeverSentAgain) {
    Store s = open();
    int id = s.signUp("fay", "pw");
    ASSERT_NE(id, -1);
    // The connection of a score is killed while its INSERT runs: the score is reported as not
    // recorded and is never sent again on the next connection.
    one("CREATE TRIGGER slow BEFORE INSERT ON scorelog FOR EACH ROW "
        "SET NEW.score = NEW.score + SLEEP(3)");
    std::string inserting;
    std::string log = logOf([&] {
        std::future<int> scored =
            std::async(std::launch::async, [&] { return s.score("fay", "pw", 7); });
        waitUntil(
            [&] {
                inserting =
                    one("SELECT IFNULL(MAX(ID), '') FROM information_schema.PROCESSLIST WHERE "
                        "DB=DATABASE() AND INFO LIKE 'INSERT INTO scorelog%'");
                return !inserting.empty() && execute("KILL CONNECTION " + inserting);
            },
            10000);
        EXPECT_EQ(scored.get(), -1);
    });
    EXPECT_NE(log.find("ERROR: Error querying\n"), std::string::npos) << log;
    one("DROP TRIGGER slow");
    EXPECT_EQ(s.login("fay", "pw"), id);
    EXPECT_EQ(one("SELECT COUNT(*) FROM scorelog"), "0") << "the score was sent again";

    // Updates the database refuses: a delete and a reactivation.
    int gil = s.signUp("gil", "pw");
    one("UPDATE user SET is_active=0 WHERE name='fay'; CREATE TRIGGER no_update BEFORE UPDATE ON "
        "user FOR EACH ROW SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT='refused'");
    EXPECT_EQ(s.remove("gil", "pw"), -1);
    EXPECT_EQ(s.login("gil", "pw"), gil);
    EXPECT_EQ(s.signUp("fay", "pw"), -1) << "the reactivation was refused";

    // A list or table that cannot be read is answered empty, but the log says so.
    one("RENAME TABLE scorelog TO scorelog_away");
    log = logOf([&s] { EXPECT_TRUE(s.list().empty()); });
    EXPECT_EQ(s.statistics(&log).size(), 6u);
    EXPECT_NE(log.find("ERROR: Highscore list could not be read\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR: Statistics could not be read\n"), std::string::npos) << log;
}

// Two server processes, each with two threads on its one store, sign the same names up at
// once: one row and one success each, and every caller gets its own results. Every other name
// comes with the same password from both: one success all the same.
TEST_F(MysqlStore, RacingSignUpsFromTwoProcessesCreateOneAccountAndAnswerTheirOwnCaller) {
    const int names = 60;
    // Per name '1' for a success whose account then answers as its own, '0' for a refusal.
    auto race = [&](const char* own) {
        Store s = open("", std::string(own) + ".ini");
        std::string results(names, '?');
        auto signUps = [&](int first) {
            for (int i = first; i < names; i += 2) {
                std::string name = "race" + std::to_string(i);
                std::string pw = i % 2 == 0 ? "same" : own;
                int id = s.signUp(name, pw);
                bool answers = s.login(name, pw) == id && s.userName(id) == name &&
                               s.login(name, "x") == -1 && s.score(name, pw, i) == id;
                std::vector<std::string> list = s.list();
                answers = answers && !list.empty() && list[0].compare(0, 5, "  1. ") == 0;
                results[i] = id == -1 ? '0' : answers ? '1' : 'x';
            }
        };
        std::thread other(signUps, 1);
        signUps(0);
        other.join();
        return results;
    };
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        writeFile(dir.file("child.txt"), race("child"));
        _exit(0);
    }
    std::string mine = race("parent");
    int status = -1;
    if (!waitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, 60000)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string theirs = readFile(dir.file("child.txt"));
    ASSERT_EQ(theirs.size(), static_cast<size_t>(names));
    for (int i = 0; i < names; i++) {
        std::string pair = {mine[i], theirs[i]};
        EXPECT_TRUE(pair == "10" || pair == "01") << "race" << i << ": " << pair;
    }
    EXPECT_EQ(one("SELECT CONCAT((SELECT COUNT(*) FROM user), ' ', COUNT(*)) FROM scorelog"),
              "60 60");
}

// A server of the test's own: its sql_mode would change the statements' meaning (double quotes
// naming columns, backslashes taken literally, grouping by user alone refused), it closes idle
// connections after 2 s, and it is frozen at the end.
class MysqlStoreOwnServer : public MysqlStore {
protected:
    const char* serverOptions() const override {
        return "--sql-mode=ANSI_QUOTES,NO_BACKSLASH_ESCAPES,ONLY_FULL_GROUP_BY --wait-timeout=2";
    }
    // The ids of the store's sessions once there are this many ("none" after 30 s): the test's
    // own closed connections leave the list within 1 s.
    std::string storeSessions(long count) {
        std::string ids;
        auto counted = [&] {
            ids =
                one("SELECT IFNULL(GROUP_CONCAT(ID), '') FROM information_schema.PROCESSLIST "
                    "WHERE ID<>CONNECTION_ID() AND DB=DATABASE()");
            return std::count(ids.begin(), ids.end(), ',') + (ids.empty() ? 0 : 1) == count;
        };
        return waitUntil(counted, 30000) ? ids : "none";
    }
};

TEST_F(MysqlStoreOwnServer, HostileNamesStayLiteralAnIdleConnectionIsReplacedAFrozenOneTimesOut) {
    Store s = open();
    // Hostile names are stored literally and open no other account.
    int victim = s.signUp("victim", "victimpw");
    ASSERT_NE(victim, -1);
    const std::vector<std::string> hostile = {
        "a\"b", "back\\slash", "it's", "100%", "\" OR \"1\"=\"1", "victim\" -- ", "x\\\"y", "_%"};
    for (size_t i = 0; i < hostile.size(); i++) {
        SCOPED_TRACE(hostile[i]);
        int id = s.signUp(hostile[i], "pw" + std::to_string(i));
        EXPECT_EQ(s.login(hostile[i], "pw" + std::to_string(i)), id);
        EXPECT_EQ(s.check(hostile[i]), id);
        EXPECT_EQ(s.userName(id), hostile[i]);
    }
    EXPECT_EQ(s.login("victim", "\" OR \"1\"=\"1"), -1);
    EXPECT_EQ(s.login("victim\" AND \"1\"=\"1", "x"), -1);
    EXPECT_EQ(one("SELECT COUNT(*) FROM user WHERE is_active=1"), "9");
    EXPECT_EQ(s.score("it's", "pw2", 3, "\"); DROP TABLE user; --"), s.check("it's"));
    EXPECT_EQ(one("SELECT date FROM scorelog"), "\"); DROP TABLE user; --");
    s.score("victim", "victimpw", 15, "2026-01-02 03:04:05");
    s.score("victim", "victimpw", 9, "2026-01-02 13:14:15");
    std::string log;
    std::vector<std::string> table = s.statistics(&log);
    EXPECT_EQ(s.list(), (std::vector<std::string>{"  1.   15 2026-01-02  victim",
                                                  "  2.    3 \"); DROP TA it's"}));
    ASSERT_EQ(table.size(), 8u) << log;
    EXPECT_EQ(table[4], "|    1|    victim|     2|    15|    12|2026-01-02 03:04:05|");
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;

    // One connection serves every operation; after the server closed it for idleness the next
    // operations make a new one, fail nothing and send no statement twice.
    std::string kept = storeSessions(1);
    EXPECT_EQ(s.login("victim", "victimpw"), victim);
    EXPECT_EQ(storeSessions(1), kept) << "the connection is kept between operations";
    ASSERT_EQ(storeSessions(0), "") << "the server did not close the idle connection";
    log = logOf([&s, victim] {
        EXPECT_EQ(s.score("victim", "victimpw", 20), victim);
        EXPECT_EQ(s.login("victim", "victimpw"), victim);
    });
    EXPECT_NE(log.find("INFO: Database connection lost, connecting again\n"), std::string::npos);
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
    EXPECT_EQ(one("SELECT GROUP_CONCAT(score ORDER BY id) FROM scorelog WHERE user_id=" +
                  std::to_string(victim)),
              "15,9,20");

    // A database that takes connections but never answers holds an operation only for the
    // client library's time-outs; past the deadline the server is let go, which ends a call
    // that hangs.
    ASSERT_TRUE(signalOwnServer(SIGSTOP));
    std::future<int> login =
        std::async(std::launch::async, [&s] { return s.login("victim", "victimpw"); });
    bool inTime = login.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    ASSERT_TRUE(signalOwnServer(SIGCONT));
    EXPECT_TRUE(inTime) << "the operation still waited after 20 s";
    EXPECT_EQ(login.get(), -1);
    EXPECT_EQ(s.login("victim", "victimpw"), victim);
}

// A server of the test's own that goes down and up again under the server binary (over TCP
// this time): requests fail cleanly, the console's status says whether the database was
// reached, and all recovers.
class MysqlServer : public MysqlStore {
protected:
    const char* serverOptions() const override { return ""; }
};

TEST_F(MysqlServer, RequestsFailCleanlyWhileTheDatabaseIsDownAndRecoverAfter) {
    ServerProcess server;
    ASSERT_TRUE(server.start(dir.path(), freePort(), configText("127.0.0.1")));
    LobbyPlayer rita("rita", "pw");
    ASSERT_TRUE(rita.connect(server.port()));
    ASSERT_EQ(rita.ask(REQ_SIGNUP), RES_OK);
    auto said = [&rita](int reqType, const std::string& extra) {
        Answer answer = ask(&rita.getClient(), reqType, credentials("rita", "pw") + extra);
        return answer.outcome == OUTCOME_ANSWERED ? answer.payload : "<no response>";
    };
    for (bool up : {false, true}) {
        SCOPED_TRACE(up ? "up again" : "down");
        ASSERT_TRUE(ownServer(up ? "up" : "down")) << readFile(dir.file("mariadb.log"));
        std::string answer(1, static_cast<char>(up ? RES_OK : RES_USERDOESNOTEXIST));
        EXPECT_EQ(said(REQ_CHECKUSERANDPASSWORD, ""), answer);
        EXPECT_EQ(said(REQ_STORESINGLEPLAYERSCORE, int32le(5)), answer);
        // Down, an empty list; up again, the one score.
        EXPECT_EQ(said(REQ_SENDSINGLEPLAYERHIGHSCORES, "").size(),
                  up ? 1u + USERBASE_ENTRY_SIZE : 1u);
        ASSERT_TRUE(server.sendConsole("status\n"));
        EXPECT_TRUE(server.waitForOutput(
            up ? "Store:     MySQL, last operation reached the database\nAccounts:  1\n"
               : "Store:     MySQL, last operation did not reach the database\n"
                 "Accounts:  unknown (the store cannot be read)\n",
            5000))
            << server.output();
    }
    // A second server on the same database serves the same accounts: rita, signed up on the
    // first, logs in there and sees her score; her deletion there reaches the first.
    TempDir otherDir;
    ServerProcess other;
    ASSERT_TRUE(other.start(otherDir.path(), freePort(), configText("127.0.0.1")))
        << other.output();
    LobbyPlayer ritaThere("rita", "pw");
    ASSERT_TRUE(ritaThere.connect(other.port()));
    EXPECT_EQ(ritaThere.ask(REQ_CHECKUSERANDPASSWORD), RES_OK);
    EXPECT_EQ(ritaThere.ask(REQ_SIGNUP), RES_USEREXISTS);
    std::string list =
        ask(&ritaThere.getClient(), REQ_SENDSINGLEPLAYERHIGHSCORES, credentials("rita", "pw"))
            .payload;
    ASSERT_EQ(list.size(), 1u + USERBASE_ENTRY_SIZE);
    std::string entry(list.c_str() + 1);  // "  1.    5 <date>  rita"
    EXPECT_EQ(entry.substr(0, 10), "  1.    5 ") << entry;
    EXPECT_EQ(entry.substr(entry.size() - 6), "  rita") << entry;
    EXPECT_EQ(ritaThere.ask(REQ_DELETEUSER), RES_OK);
    EXPECT_EQ(said(REQ_CHECKUSERANDPASSWORD, ""), std::string(1, RES_USERDOESNOTEXIST));
    EXPECT_EQ(other.stop(), 0) << other.output();
    // While down, the log said the database could not be opened and no statement ran.
    std::string log = server.output();
    size_t another =
        log.find("ERROR: Another handle\n", log.find("ERROR: Error opening database\n"));
    EXPECT_NE(log.find("ERROR: Database not open when querying\n", another), std::string::npos)
        << log;
    EXPECT_EQ(server.stop(), 0) << server.output();
}

}  // namespace
