// MysqlServerTest.cpp - the server binary with its accounts in MariaDB, over the wire.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "GameProtocol.h"
#include "LobbyPlayer.h"
#include "MysqlTestDatabase.h"
#include "Process.h"
#include "TestSupport.h"
#include "UserBase.h"

namespace {

const int WAIT_MS = 5000;

// The whole response payload to a request with the player's credentials and extra behind.
std::string said(LobbyPlayer& player, int reqType, const std::string& extra = "") {
    Answer answer = ask(&player.getClient(), reqType,
                        credentials(player.getName(), player.getPassword()) + extra);
    return answer.outcome == OUTCOME_ANSWERED ? answer.payload : "<no response>";
}

std::string code(int resType) {
    return std::string(1, static_cast<char>(resType));
}

class MysqlServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!db.skipReason().empty()) {
            GTEST_SKIP() << db.skipReason();
        }
        ASSERT_TRUE(db.create()) << db.lastError();
        ASSERT_TRUE(server.start(dir.path(), freePort(), db.configText(db.host())))
            << server.output();
    }
    std::string one(const std::string& statement) {
        MysqlRows result;
        EXPECT_TRUE(db.execute(statement, &result)) << statement << ": " << db.lastError();
        return result.size() == 1 && result[0].size() == 1 ? result[0][0] : "<not one value>";
    }

    TempDir dir;
    MysqlTestDatabase db;
    ServerProcess server;
};

// Two server processes on one database: what a client does on one, a client of the other sees.
TEST_F(MysqlServer, AccountRequestsOfTwoServersShareTheDatabase) {
    TempDir otherDir;
    ServerProcess other;
    ASSERT_TRUE(other.start(otherDir.path(), freePort(), db.configText(db.host())));
    LobbyPlayer ann("ann", "pw");
    LobbyPlayer annThere("ann", "pw");
    ASSERT_TRUE(ann.connect(server.port()));
    ASSERT_TRUE(annThere.connect(other.port()));
    EXPECT_EQ(said(ann, REQ_CHECKUSER), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(said(ann, REQ_SIGNUP), code(RES_OK));
    std::string id = one("SELECT id FROM user WHERE name='ann'");
    EXPECT_EQ(said(annThere, REQ_SIGNUP), code(RES_USEREXISTS));
    EXPECT_EQ(said(annThere, REQ_CHECKUSER), code(RES_OK));
    EXPECT_EQ(said(annThere, REQ_CHECKUSERANDPASSWORD), code(RES_OK));
    EXPECT_EQ(said(ann, REQ_STORESINGLEPLAYERSCORE, int32le(1234)), code(RES_OK));
    EXPECT_EQ(said(annThere, REQ_STORESINGLEPLAYERSCORE, int32le(77)), code(RES_OK));
    EXPECT_EQ(one("SELECT GROUP_CONCAT(user_id, ':', score ORDER BY id) FROM scorelog"),
              id + ":1234," + id + ":77");
    // Code, then one 50-byte slot.
    std::string list = said(ann, REQ_SENDSINGLEPLAYERHIGHSCORES);
    ASSERT_EQ(list.size(), 1u + USERBASE_ENTRY_SIZE);
    EXPECT_EQ(list.substr(0, 11), code(RES_OK) + "  1. 1234 ");
    EXPECT_EQ(list.find('\0', 1), 1 + strlen("  1. 1234 2026-01-01  ann")) << list;
    EXPECT_EQ(list.substr(list.find('\0', 1) - 5, 5), "  ann");
    EXPECT_EQ(said(annThere, REQ_SENDSINGLEPLAYERHIGHSCORES), list);

    ASSERT_TRUE(server.sendConsole("stats\n"));
    std::string row =
        "|" + std::string(5 - id.size(), ' ') + id + "|       ann|     2|  1234|   655|";
    EXPECT_TRUE(server.waitForOutput(row, WAIT_MS)) << server.output();
    ASSERT_TRUE(server.sendConsole("status\n"));
    EXPECT_TRUE(
        server.waitForOutput("Store:     MySQL, last operation reached the database\n"
                             "Accounts:  1\n",
                             WAIT_MS))
        << server.output();

    // Deleted on one server, gone on the other; the same password brings it back.
    EXPECT_EQ(said(annThere, REQ_DELETEUSER), code(RES_OK));
    EXPECT_EQ(said(ann, REQ_CHECKUSER), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(said(ann, REQ_CHECKUSERANDPASSWORD), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(said(ann, REQ_SENDSINGLEPLAYERHIGHSCORES), code(RES_OK)) << "an empty list";
    EXPECT_EQ(said(ann, REQ_SIGNUP), code(RES_OK));
    EXPECT_EQ(one("SELECT id FROM user WHERE name='ann'"), id);
    EXPECT_EQ(said(annThere, REQ_SENDSINGLEPLAYERHIGHSCORES), list) << "the old scores are back";
    EXPECT_EQ(other.stop(), 0) << other.output();
    EXPECT_EQ(server.stop(), 0) << server.output();
}

TEST_F(MysqlServer, LobbyUsesTheDatabasesIdsAndNames) {
    LobbyPlayer ann("ann", "a");
    LobbyPlayer bob("bob", "b");
    LobbyPlayer cat("cat", "c");
    LobbyPlayer dan("dan", "d");
    const std::vector<LobbyPlayer*> players = {&ann, &bob, &cat, &dan};
    for (LobbyPlayer* player : players) {
        ASSERT_TRUE(player->connect(server.port()));
        ASSERT_EQ(player->ask(REQ_SIGNUP), RES_OK);
        EXPECT_EQ(player->ask(REQ_MULTI_ATTACHMULTIPLAYER), RES_OK);
        EXPECT_EQ(player->ask(REQ_MULTI_ADDMULTIPLAYER), RES_OK);
    }
    std::string list = said(cat, REQ_MULTI_SENDPLAYERLIST);
    std::vector<ListedPlayer> listed;
    ASSERT_EQ(list.substr(0, 1), code(RES_OK));
    ASSERT_TRUE(parsePlayerList(list.substr(1), &listed));
    ASSERT_EQ(listed.size(), 4u);
    for (size_t i = 0; i < listed.size(); i++) {
        std::string name = players[i]->getName();
        EXPECT_EQ(listed[i].name, name);
        EXPECT_EQ(std::to_string(listed[i].userId),
                  one("SELECT id FROM user WHERE name='" + name + "'"));
    }
    std::string why;
    EXPECT_EQ(ann.ask(REQ_MULTI_INVITEMULTIPLAYER, "nobody"), RES_MULTI_PLAYERNOTKNOWN);
    EXPECT_EQ(ann.ask(REQ_MULTI_INVITEMULTIPLAYER, "bob"), RES_OK);
    EXPECT_TRUE(bob.expectPayload(MSG_INVITEMULTIPLAYER, nameField("ann"), &why)) << why;
    EXPECT_EQ(bob.ask(REQ_MULTI_REJECTINVITATION, "ann"), RES_OK);
    EXPECT_TRUE(ann.expectPayload(MSG_REJECTINVITATION, nameField("bob"), &why)) << why;
    EXPECT_EQ(ann.ask(REQ_MULTI_INVITEMULTIPLAYER, "cat"), RES_OK);
    EXPECT_EQ(ann.ask(REQ_MULTI_CANCELINVITATION, "cat"), RES_OK);
    EXPECT_EQ(bob.ask(REQ_MULTI_INVITEMULTIPLAYER, "dan"), RES_OK);
    EXPECT_TRUE(dan.expectPayload(MSG_INVITEMULTIPLAYER, nameField("bob"), &why)) << why;
    EXPECT_EQ(dan.ask(REQ_MULTI_ACCEPTINVITATION, "bob"), RES_OK);
    EXPECT_TRUE(bob.expectPayload(MSG_ACCEPTINVITATION, nameField("dan"), &why)) << why;
    EXPECT_TRUE(dan.expectCountdownAndStart("bob", &why)) << why;
    EXPECT_EQ(cat.ask(REQ_MULTI_REMOVEMULTIPLAYER), RES_OK);
    EXPECT_EQ(cat.ask(REQ_MULTI_DETACHMULTIPLAYER), RES_OK);
    EXPECT_EQ(cat.ask(REQ_MULTI_DETACHMULTIPLAYER), RES_MULTI_PLAYERNOTKNOWN);
}

// The database stops and starts again under a running server (over TCP this time).
TEST(MysqlServerRestart, RequestsFailCleanlyWhileTheDatabaseIsDownAndRecoverAfter) {
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
    ASSERT_TRUE(database.down()) << database.output();
    EXPECT_EQ(rita.ask(REQ_CHECKUSERANDPASSWORD), RES_USERDOESNOTEXIST);
    EXPECT_EQ(
        ask(&rita.getClient(), REQ_STORESINGLEPLAYERSCORE, scorePayload("rita", "pw", 5)).code,
        RES_USERDOESNOTEXIST);
    EXPECT_EQ(said(rita, REQ_SENDSINGLEPLAYERHIGHSCORES), code(RES_OK)) << "an empty list";
    ASSERT_TRUE(database.up()) << database.output();
    EXPECT_EQ(rita.ask(REQ_CHECKUSERANDPASSWORD), RES_OK);
    EXPECT_EQ(
        ask(&rita.getClient(), REQ_STORESINGLEPLAYERSCORE, scorePayload("rita", "pw", 5)).code,
        RES_OK);
    EXPECT_EQ(said(rita, REQ_SENDSINGLEPLAYERHIGHSCORES).size(), 1u + USERBASE_ENTRY_SIZE);
    EXPECT_EQ(server.stop(), 0) << server.output();
}

}  // namespace
