// GameRequestHandlerMysqlTest.cpp - every request over the wire to a real
// server process whose accounts live in MariaDB: account requests, scores
// and the high-score list, the lobby requests (whose names come from the
// database), and the database restarted while the game
// server runs on.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "GameProtocol.h"
#include "GameManager.h"
#include "LobbyPlayer.h"
#include "LoopbackClient.h"
#include "MysqlTestDatabase.h"
#include "Process.h"

namespace {

const int MESSAGE_DEADLINE_MS = 5000;

std::string code(int resType) {
    return std::string(1, static_cast<char>(resType));
}

// The response payload to a request with the player's credentials and
// extra behind them, or "<no response>".
std::string said(LobbyPlayer& player, int reqType, const std::string& extra = "") {
    Answer answer = ask(&player.getClient(), reqType,
                        credentials(player.getName(), player.getPassword()) + extra);
    return answer.outcome == OUTCOME_ANSWERED ? answer.payload : "<no response>";
}

// The player's next message (player lists aside) is msgType.
bool arrives(LobbyPlayer& player, int msgType) {
    Envelope message;
    std::string why;
    return player.expect(msgType, &message, &why, MESSAGE_DEADLINE_MS);
}

class GameRequestHandlerMysqlTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!db.skipReason().empty()) {
            GTEST_SKIP() << db.skipReason();
        }
        ASSERT_TRUE(db.create()) << db.lastError();
        port = freePort();
        ASSERT_GT(port, 0);
        ASSERT_TRUE(server.start(dir.path(), port, db.configText(db.host()))) << server.output();
    }
    void TearDown() override {
        if (server.isRunning()) {
            EXPECT_EQ(server.stop(), 0) << server.output();
        }
    }

    MysqlRows rows(const std::string& statement) {
        MysqlRows result;
        EXPECT_TRUE(db.execute(statement, &result)) << statement << ": " << db.lastError();
        return result;
    }
    std::string idOf(const std::string& name) {
        MysqlRows found = rows("SELECT id FROM user WHERE name='" + name + "'");
        return found.size() == 1 ? found[0][0] : "";
    }

    TempDir dir;
    MysqlTestDatabase db;
    ServerProcess server;
    int port = 0;
};

TEST_F(GameRequestHandlerMysqlTest, AccountRequestsReachTheDatabase) {
    LobbyPlayer ann("ann", "pw");
    ASSERT_TRUE(ann.connect(port));
    EXPECT_EQ(said(ann, REQ_CHECKUSER), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(said(ann, REQ_SIGNUP), code(RES_OK));
    EXPECT_EQ(said(ann, REQ_SIGNUP), code(RES_USEREXISTS));
    ASSERT_NE(idOf("ann"), "");
    EXPECT_EQ(rows("SELECT is_active, password=MD5('pw') FROM user WHERE name='ann'")[0],
              (std::vector<std::string>{"1", "1"}));
    EXPECT_EQ(said(ann, REQ_CHECKUSER), code(RES_OK));
    EXPECT_EQ(said(ann, REQ_CHECKUSERANDPASSWORD), code(RES_OK));

    LobbyPlayer wrong("ann", "nope");
    ASSERT_TRUE(wrong.connect(port));
    EXPECT_EQ(said(wrong, REQ_CHECKUSER), code(RES_OK)) << "only the name is checked";
    EXPECT_EQ(said(wrong, REQ_CHECKUSERANDPASSWORD), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(said(wrong, REQ_DELETEUSER), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(said(wrong, REQ_STORESINGLEPLAYERSCORE, int32le(99)), code(RES_USERDOESNOTEXIST));

    EXPECT_EQ(said(ann, REQ_STORESINGLEPLAYERSCORE, int32le(1234)), code(RES_OK));
    EXPECT_EQ(said(ann, REQ_STORESINGLEPLAYERSCORE, int32le(77)), code(RES_OK));
    MysqlRows scores = rows("SELECT user_id, score FROM scorelog ORDER BY id");
    ASSERT_EQ(scores.size(), 2u);
    EXPECT_EQ(scores[0], (std::vector<std::string>{idOf("ann"), "1234"}));

    // The list: code, then one 50-byte slot; wrong credentials get it too.
    std::string list = said(wrong, REQ_SENDSINGLEPLAYERHIGHSCORES);
    ASSERT_EQ(list.size(), 51u);
    EXPECT_EQ(list[0], RES_OK);
    std::string entry(list.c_str() + 1);
    EXPECT_EQ(entry.substr(0, 10), "  1. 1234 ");
    EXPECT_EQ(entry.substr(entry.size() - 5), "  ann");
    EXPECT_EQ(entry.size(), strlen("  1. 1234 2026-01-01  ann")) << entry;

    // Delete is a soft delete; the same password brings the account back.
    EXPECT_EQ(said(ann, REQ_DELETEUSER), code(RES_OK));
    EXPECT_EQ(rows("SELECT is_active FROM user WHERE name='ann'")[0][0], "0");
    EXPECT_EQ(said(ann, REQ_CHECKUSER), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(said(ann, REQ_SENDSINGLEPLAYERHIGHSCORES), code(RES_OK)) << "an empty list";
    std::string oldId = idOf("ann");
    EXPECT_EQ(said(ann, REQ_SIGNUP), code(RES_OK));
    EXPECT_EQ(idOf("ann"), oldId);
    EXPECT_EQ(said(ann, REQ_SENDSINGLEPLAYERHIGHSCORES).size(), 51u) << "the old scores are back";

    // The console's "stats" prints the table from the database.
    ASSERT_TRUE(server.sendConsole("stats\n"));
    EXPECT_TRUE(server.waitForOutput(
        "|Id   |User      |***  SINGLE PLAYER GAME ***             |\n", MESSAGE_DEADLINE_MS));
    char row[64];
    snprintf(row, sizeof row, "|%5s|       ann|     2|  1234|   655|", oldId.c_str());
    EXPECT_TRUE(server.waitForOutput(row, MESSAGE_DEADLINE_MS)) << server.output();

    // "status" names the store, says the last statement reached it and
    // counts the active accounts there.
    ASSERT_TRUE(server.sendConsole("status\n"));
    EXPECT_TRUE(server.waitForOutput("Store:     MySQL, last operation reached the database\n",
                                     MESSAGE_DEADLINE_MS))
        << server.output();
    std::string accounts =
        "Accounts:  " + rows("SELECT COUNT(*) FROM user WHERE is_active=1")[0][0];
    EXPECT_TRUE(server.waitForOutput(accounts + "\n", MESSAGE_DEADLINE_MS)) << server.output();
}

TEST_F(GameRequestHandlerMysqlTest, LobbyRequestsUseTheDatabasesIdsAndNames) {
    LobbyPlayer ann("ann", "a");
    LobbyPlayer bob("bob", "b");
    LobbyPlayer cat("cat", "c");
    LobbyPlayer dan("dan", "d");
    for (LobbyPlayer* player : {&ann, &bob, &cat, &dan}) {
        ASSERT_TRUE(player->connect(port));
        ASSERT_EQ(said(*player, REQ_SIGNUP), code(RES_OK));
    }
    for (LobbyPlayer* player : {&ann, &bob, &cat, &dan}) {
        EXPECT_EQ(said(*player, REQ_MULTI_ATTACHMULTIPLAYER), code(RES_OK)) << player->getName();
    }
    EXPECT_EQ(said(ann, REQ_MULTI_ADDMULTIPLAYER), code(RES_OK));
    EXPECT_EQ(said(bob, REQ_MULTI_ADDMULTIPLAYER), code(RES_OK));

    // The list records carry the database's id and name of each player.
    std::string list = said(cat, REQ_MULTI_SENDPLAYERLIST);
    ASSERT_EQ(list.size(), 1u + 2 * PLAYERLIST_RECORD_SIZE);
    EXPECT_EQ(list[0], RES_OK);
    std::vector<std::string> seen;
    for (int record = 0; record < 2; record++) {
        const char* at = list.data() + 1 + record * PLAYERLIST_RECORD_SIZE;
        int id = readInt32le(list, 1 + record * PLAYERLIST_RECORD_SIZE);
        std::string name(at + 4, strnlen(at + 4, PROTOCOL_NAME_SIZE));
        EXPECT_EQ(std::to_string(id), idOf(name)) << name;
        seen.push_back(name);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"ann", "bob"}));

    // Invite of a name the database does not know.
    EXPECT_EQ(said(ann, REQ_MULTI_INVITEMULTIPLAYER, nameField("nobody")),
              code(RES_MULTI_PLAYERNOTKNOWN));
    // ann invites bob, bob rejects.
    EXPECT_EQ(said(ann, REQ_MULTI_INVITEMULTIPLAYER, nameField("bob")), code(RES_OK));
    ASSERT_TRUE(arrives(bob, MSG_INVITEMULTIPLAYER));
    EXPECT_EQ(said(bob, REQ_MULTI_REJECTINVITATION, nameField("ann")), code(RES_OK));
    ASSERT_TRUE(arrives(ann, MSG_REJECTINVITATION));

    // cat and dan join; ann invites cat and takes it back.
    EXPECT_EQ(said(cat, REQ_MULTI_ADDMULTIPLAYER), code(RES_OK));
    EXPECT_EQ(said(dan, REQ_MULTI_ADDMULTIPLAYER), code(RES_OK));
    EXPECT_EQ(said(ann, REQ_MULTI_INVITEMULTIPLAYER, nameField("cat")), code(RES_OK));
    EXPECT_EQ(said(ann, REQ_MULTI_CANCELINVITATION, nameField("cat")), code(RES_OK));

    // bob invites dan, dan accepts: the countdown begins for both.
    EXPECT_EQ(said(bob, REQ_MULTI_INVITEMULTIPLAYER, nameField("dan")), code(RES_OK));
    ASSERT_TRUE(arrives(dan, MSG_INVITEMULTIPLAYER));
    EXPECT_EQ(said(dan, REQ_MULTI_ACCEPTINVITATION, nameField("bob")), code(RES_OK));
    EXPECT_TRUE(arrives(bob, MSG_ACCEPTINVITATION));
    EXPECT_TRUE(arrives(dan, MSG_COUNTDOWNFORPLAY));

    // A player who only listed himself leaves the list and the lobby.
    LobbyPlayer eve("eve", "e");
    ASSERT_TRUE(eve.connect(port));
    ASSERT_EQ(said(eve, REQ_SIGNUP), code(RES_OK));
    EXPECT_EQ(said(eve, REQ_MULTI_ATTACHMULTIPLAYER), code(RES_OK));
    EXPECT_EQ(said(eve, REQ_MULTI_ADDMULTIPLAYER), code(RES_OK));
    EXPECT_EQ(said(eve, REQ_MULTI_REMOVEMULTIPLAYER), code(RES_OK));
    EXPECT_EQ(said(eve, REQ_MULTI_DETACHMULTIPLAYER), code(RES_OK));
    EXPECT_EQ(said(eve, REQ_MULTI_DETACHMULTIPLAYER), code(RES_MULTI_PLAYERNOTKNOWN));
}

// A second server process on the same database serves the same accounts:
// what a client does on one is what a client of the other sees.
TEST_F(GameRequestHandlerMysqlTest, TwoServersOnOneDatabaseShareAccountsAndScores) {
    TempDir otherDir;
    ServerProcess other;
    int otherPort = freePort();
    ASSERT_GT(otherPort, 0);
    ASSERT_TRUE(other.start(otherDir.path(), otherPort, db.configText(db.host())))
        << other.output();
    LobbyPlayer onFirst("mia", "pw");
    LobbyPlayer onSecond("mia", "pw");
    ASSERT_TRUE(onFirst.connect(port));
    ASSERT_TRUE(onSecond.connect(otherPort));

    EXPECT_EQ(said(onFirst, REQ_SIGNUP), code(RES_OK));
    EXPECT_EQ(said(onSecond, REQ_CHECKUSERANDPASSWORD), code(RES_OK));
    EXPECT_EQ(said(onSecond, REQ_SIGNUP), code(RES_USEREXISTS));

    EXPECT_EQ(said(onFirst, REQ_STORESINGLEPLAYERSCORE, int32le(321)), code(RES_OK));
    std::string list = said(onSecond, REQ_SENDSINGLEPLAYERHIGHSCORES);
    ASSERT_EQ(list.size(), 51u) << "one entry";
    std::string entry(list.c_str() + 1);
    EXPECT_EQ(entry.substr(0, 10), "  1.  321 ");
    EXPECT_EQ(entry.substr(entry.size() - 5), "  mia");

    EXPECT_EQ(said(onSecond, REQ_DELETEUSER), code(RES_OK));
    EXPECT_EQ(said(onFirst, REQ_CHECKUSERANDPASSWORD), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(said(onFirst, REQ_CHECKUSER), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(said(onFirst, REQ_SENDSINGLEPLAYERHIGHSCORES), code(RES_OK)) << "an empty list";
    EXPECT_EQ(other.stop(), 0) << other.output();
}

// The database stops and starts again while the game server runs on:
// requests fail cleanly meanwhile and work again afterwards.
TEST(GameRequestHandlerMysqlRestartTest, RequestsRecoverAfterTheDatabaseRestarts) {
    std::string missing = privateServerSkipReason();
    if (!missing.empty()) {
        GTEST_SKIP() << missing;
    }
    TempDir dir;
    PrivateMariadb database(dir.file("mariadb"));
    ASSERT_TRUE(database.start()) << database.output();
    ServerProcess server;
    int port = freePort();
    ASSERT_GT(port, 0);
    // Over TCP this time; the server inherits MYSQL_TCP_PORT of the database.
    ASSERT_TRUE(server.start(dir.path(), port, database.configText("127.0.0.1")))
        << server.output();
    LobbyPlayer rita("rita", "pw");
    ASSERT_TRUE(rita.connect(port));
    ASSERT_EQ(said(rita, REQ_SIGNUP), code(RES_OK));
    ASSERT_EQ(said(rita, REQ_CHECKUSERANDPASSWORD), code(RES_OK));

    ASSERT_TRUE(database.down()) << database.output();
    EXPECT_EQ(said(rita, REQ_CHECKUSERANDPASSWORD), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(said(rita, REQ_STORESINGLEPLAYERSCORE, int32le(5)), code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(said(rita, REQ_SENDSINGLEPLAYERHIGHSCORES), code(RES_OK)) << "an empty list";
    EXPECT_TRUE(server.waitForOutput("ERROR: Error opening database\n", MESSAGE_DEADLINE_MS));
    EXPECT_TRUE(server.waitForOutput("ERROR: Another handle\n", MESSAGE_DEADLINE_MS));
    EXPECT_TRUE(
        server.waitForOutput("ERROR: Database not open when querying\n", MESSAGE_DEADLINE_MS));
    EXPECT_TRUE(server.isRunning());

    ASSERT_TRUE(database.up()) << database.output();
    EXPECT_EQ(said(rita, REQ_CHECKUSERANDPASSWORD), code(RES_OK));
    EXPECT_EQ(said(rita, REQ_STORESINGLEPLAYERSCORE, int32le(5)), code(RES_OK));
    EXPECT_EQ(said(rita, REQ_SENDSINGLEPLAYERHIGHSCORES).size(), 51u);
    EXPECT_EQ(server.stop(), 0) << server.output();
}

}  // namespace
