// UserDataMigrationTest.cpp - moving a file store to MySQL as an operator
// does it: accounts and scores made through the client on the server's
// file store, export-sql on the user.dat it wrote, the SQL loaded with the
// mariadb client into a fresh database of the private MariaDB, and the
// server restarted on that database: every account logs in with its old
// password and is in the high-score list with its best score. A second
// import of the same SQL is refused as a whole. Skipped without a private
// MariaDB (the CARVANTA_MYSQL_* variables of scripts/mariadb-private.sh).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Process.h"
#include "TestSupport.h"
#include "MysqlTestDatabase.h"

namespace {

const int IMPORT_TIMEOUT_MS = 30000;

struct Account {
    std::string name;
    std::string password;
    std::vector<int> scores;
    int best;
};

// Names and passwords that need care in SQL: quotes, a backslash, blanks.
const std::vector<Account> ACCOUNTS = {
    {"alice", "s3cret", {40, 75}, 75},
    {"o'neil", "pa\"ss\\word", {120}, 120},
    {"carol", "pw with blanks", {5}, 5},
    {"dave", "never-played", {}, 0},
};

std::string mariadbClient() {
    for (const char* path : {"/usr/bin/mariadb", "/usr/bin/mysql"}) {
        if (access(path, X_OK) == 0) {
            return path;
        }
    }
    return "";
}

class UserDataMigrationTest : public ::testing::Test {
protected:
    std::vector<std::string> login(int port, const Account& account,
                                   const std::vector<std::string>& command) {
        std::vector<std::string> args = {"--port",     std::to_string(port), "--name",
                                         account.name, "--password",         account.password};
        args.insert(args.end(), command.begin(), command.end());
        return args;
    }

    // Plays the accounts into a file store and returns export-sql's output.
    std::string exportFromFileStore() {
        TempDir fileDir;
        ServerProcess server;
        int port = freePort();
        EXPECT_TRUE(server.start(fileDir.path(), port)) << server.output();
        for (const Account& account : ACCOUNTS) {
            EXPECT_EQ(
                0,
                runTool("CarvantaClient", login(port, account, {"signup"}), fileDir.path()).status);
            for (int score : account.scores) {
                EXPECT_EQ(0, runTool("CarvantaClient",
                                     login(port, account, {"score", std::to_string(score)}),
                                     fileDir.path())
                                 .status);
            }
        }
        EXPECT_EQ(0, server.stop());
        ToolRun exported = runTool("CarvantaUserData", {"export-sql"}, fileDir.path());
        EXPECT_EQ(0, exported.status) << exported.output;
        return exported.output;
    }

    // The mariadb client, as an operator runs it, with the SQL on its input.
    int import(const std::string& sql, std::string* output) {
        std::vector<std::string> args = {
            "--no-defaults", "--host=" + database.host(),
            "--user=" + std::string(getenv("CARVANTA_MYSQL_USER")),
            "--password=" + std::string(getenv("CARVANTA_MYSQL_PASSWORD")), database.name()};
        const char* socket = getenv("MYSQL_UNIX_PORT");
        if (socket != nullptr) {
            args.insert(args.begin() + 1, std::string("--socket=") + socket);
        }
        ChildProcess client;
        if (!client.start(mariadbClient(), args, sqlDir.path())) {
            return -1;
        }
        client.writeInput(sql);
        client.closeInput();
        int status = client.waitExit(IMPORT_TIMEOUT_MS);
        *output = client.output();
        return status;
    }

    int rowCount(const std::string& table) {
        MysqlRows rows;
        EXPECT_TRUE(database.execute("SELECT COUNT(*) FROM " + table, &rows))
            << database.lastError();
        return rows.empty() ? -1 : std::stoi(rows[0][0]);
    }

    MysqlTestDatabase database;
    TempDir sqlDir;
};

TEST_F(UserDataMigrationTest, EveryAccountLogsInOnTheMysqlStoreWithItsBestScore) {
    if (!database.skipReason().empty()) {
        GTEST_SKIP() << database.skipReason();
    }
    if (mariadbClient().empty()) {
        GTEST_SKIP() << "the mariadb command-line client is not installed";
    }
    ASSERT_TRUE(database.create()) << database.lastError();
    std::string sql = exportFromFileStore();
    ASSERT_NE(std::string::npos, sql.find("COMMIT;"));
    std::string output;
    ASSERT_EQ(0, import(sql, &output)) << output;
    EXPECT_EQ(4, rowCount("user"));
    EXPECT_EQ(4, rowCount("scorelog"));

    ServerProcess server;
    TempDir mysqlDir;
    int port = freePort();
    ASSERT_TRUE(server.start(mysqlDir.path(), port, database.configText(database.host())))
        << server.output();
    for (const Account& account : ACCOUNTS) {
        ToolRun result =
            runTool("CarvantaClient", login(port, account, {"login"}), mysqlDir.path());
        EXPECT_EQ(0, result.status) << account.name << ": " << result.output;
        Account wrong = account;
        wrong.password = "not-" + account.password.substr(0, 10);
        EXPECT_EQ(12,
                  runTool("CarvantaClient", login(port, wrong, {"login"}), mysqlDir.path()).status);
    }
    ToolRun list =
        runTool("CarvantaClient", login(port, ACCOUNTS[0], {"highscores"}), mysqlDir.path());
    EXPECT_EQ(0, list.status) << list.output;
    EXPECT_NE(std::string::npos, list.output.find("High scores (4):")) << list.output;
    for (const Account& account : ACCOUNTS) {
        char entry[64];
        snprintf(entry, sizeof entry, " %4d ", account.best);
        size_t line = list.output.find(entry);
        ASSERT_NE(std::string::npos, line) << account.name << " in\n" << list.output;
        size_t end = list.output.find('\n', line);
        EXPECT_NE(std::string::npos, list.output.substr(line, end - line).find(account.name))
            << list.output;
    }
    EXPECT_EQ(0, server.stop());

    // The same SQL again: the names are taken, and nothing is stored.
    EXPECT_NE(0, import(sql, &output));
    EXPECT_NE(std::string::npos, output.find("Duplicate")) << output;
    EXPECT_EQ(4, rowCount("user"));
    EXPECT_EQ(4, rowCount("scorelog"));
}

}  // namespace
