// MysqlServerTest.cpp - the server binary with its accounts in MariaDB, over the wire.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "GameProtocol.h"
#include "LobbyPlayer.h"
#include "MysqlTestDatabase.h"
#include "Process.h"
#include "TestSupport.h"
#include "UserBase.h"

namespace {

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

// Two server processes on one database: what a client does on one, a client of the other sees;
// the lobby lists the database's ids and names.
TEST_F(MysqlServer, TwoServersShareTheAccountsAndTheLobbyUsesTheDatabasesIdsAndNames) {
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
    // Code, then one 50-byte slot dated by the server.
    std::string entry = "  1. 1234 " + one("SELECT LEFT(MIN(date), 10) FROM scorelog") + "  ann";
    std::string list = said(ann, REQ_SENDSINGLEPLAYERHIGHSCORES);
    EXPECT_EQ(list, code(RES_OK) + entry + std::string(USERBASE_ENTRY_SIZE - entry.size(), '\0'));
    EXPECT_EQ(said(annThere, REQ_SENDSINGLEPLAYERHIGHSCORES), list);
    ASSERT_TRUE(server.sendConsole("status\n"));
    EXPECT_TRUE(server.waitForOutput(
        "Store:     MySQL, last operation reached the database\nAccounts:  1\n", 5000))
        << server.output();

    LobbyPlayer bob("bob", "b");
    LobbyPlayer cat("cat", "c");
    const std::vector<LobbyPlayer*> players = {&ann, &bob, &cat};
    for (LobbyPlayer* player : players) {
        ASSERT_TRUE(player == &ann || player->connect(server.port()));
        EXPECT_EQ(said(*player, REQ_SIGNUP), code(player == &ann ? RES_USEREXISTS : RES_OK));
        EXPECT_EQ(player->ask(REQ_MULTI_ATTACHMULTIPLAYER), RES_OK);
        EXPECT_EQ(player->ask(REQ_MULTI_ADDMULTIPLAYER), RES_OK);
    }
    std::string lobby = said(cat, REQ_MULTI_SENDPLAYERLIST);
    std::vector<ListedPlayer> listed;
    ASSERT_EQ(lobby.substr(0, 1), code(RES_OK));
    ASSERT_TRUE(parsePlayerList(lobby.substr(1), &listed));
    ASSERT_EQ(listed.size(), players.size());
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
    EXPECT_EQ(bob.ask(REQ_MULTI_ACCEPTINVITATION, "ann"), RES_OK);
    EXPECT_TRUE(ann.expectPayload(MSG_ACCEPTINVITATION, nameField("bob"), &why)) << why;
    EXPECT_TRUE(bob.expectCountdownAndStart("ann", &why)) << why;

    EXPECT_EQ(said(annThere, REQ_DELETEUSER), code(RES_OK));
    EXPECT_EQ(said(annThere, REQ_CHECKUSER), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(other.stop(), 0) << other.output();
    EXPECT_EQ(server.stop(), 0) << server.output();
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
    for (bool up : {false, true}) {
        SCOPED_TRACE(up ? "up again" : "down");
        ASSERT_TRUE(up ? database.up() : database.down()) << database.output();
        std::string answer = code(up ? RES_OK : RES_USERDOESNOTEXIST);
        EXPECT_EQ(said(rita, REQ_CHECKUSERANDPASSWORD), answer);
        EXPECT_EQ(said(rita, REQ_STORESINGLEPLAYERSCORE, int32le(5)), answer);
        // Down, an empty list; up again, the one score.
        EXPECT_EQ(said(rita, REQ_SENDSINGLEPLAYERHIGHSCORES).size(),
                  up ? 1u + USERBASE_ENTRY_SIZE : 1u);
    }
    EXPECT_EQ(server.stop(), 0) << server.output();
}

}  // namespace
