// MysqlServerTest.cpp - the server binary with its accounts in MariaDB, over the wire.
#include <gtest/gtest.h>

#include <string>

#include "GameProtocol.h"
#include "LobbyPlayer.h"
#include "MysqlTestDatabase.h"
#include "Process.h"
#include "TestSupport.h"
#include "UserBase.h"

namespace {

// The database stops and starts again under a running server (over TCP this time): requests
// fail cleanly, the console's status says whether the database was reached, and all recovers.
TEST(MysqlServer, RequestsFailCleanlyWhileTheDatabaseIsDownAndRecoverAfter) {
    std::string missing = privateServerSkipReason();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    TempDir dir;
    PrivateMariadb database(dir.file("mariadb"));
    ASSERT_TRUE(database.start()) << database.output();
    ServerProcess server;
    ASSERT_TRUE(server.start(dir.path(), freePort(), database.configText("127.0.0.1")));
    LobbyPlayer rita("rita", "pw");
    ASSERT_TRUE(rita.connect(server.port()));
    ASSERT_EQ(rita.ask(REQ_SIGNUP), RES_OK);
    auto said = [&rita](int reqType, const std::string& extra) {
        Answer answer = ask(&rita.getClient(), reqType, credentials("rita", "pw") + extra);
        return answer.outcome == OUTCOME_ANSWERED ? answer.payload : "<no response>";
    };
    for (bool up : {false, true}) {
        SCOPED_TRACE(up ? "up again" : "down");
        ASSERT_TRUE(up ? database.up() : database.down()) << database.output();
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
    EXPECT_EQ(server.stop(), 0) << server.output();
}

}  // namespace
