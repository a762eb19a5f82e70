// CarvantaClientTest.cpp - the client's one-shot commands against the real
// server binary on 127.0.0.1: the line each prints and the exit status that
// names the server's answer; the password from the environment; a server
// that cannot be reached or does not answer; usage errors; and the
// inspector on the user.dat that the server wrote from these commands.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "Process.h"
#include "TestSupport.h"
#include "RawPeer.h"
#include "SoloGame.h"

namespace {

const int LOBBY_TIMEOUT_MS = 15000;

void expectContains(const ToolRun& result, const std::string& text) {
    EXPECT_NE(std::string::npos, result.output.find(text)) << "missing \"" << text << "\" in:\n"
                                                           << result.output;
}

std::string positionText(const int* rows, const int* cols) {
    std::string text;
    for (int t = 0; t < 3; t++) {
        text += std::string(t == 0 ? "" : " ") + static_cast<char>('a' + rows[t]) +
                std::to_string(cols[t] + 1);
    }
    return text;
}

// The lines of a whole game of `seed`, worked out on the same rules: one
// wrong claim first, then the first set found each time, and `more`
// whenever the table holds none. *fastest is the score when every set is
// found at once.
std::string wholeGameScript(unsigned int seed, int* fastest) {
    SoloGame game(seed, 0);
    std::string script;
    bool wrongDone = false;
    while (!game.isOver()) {
        int found[3][3] = {};
        bool haveSet = false;
        bool haveWrong = false;
        int wrong[2][3] = {};
        for (int i = 0; i < PLAYFIELD_POSITIONS && !(haveSet && haveWrong); i++) {
            for (int j = i + 1; j < PLAYFIELD_POSITIONS; j++) {
                for (int k = j + 1; k < PLAYFIELD_POSITIONS; k++) {
                    int rows[3] = {i / 6, j / 6, k / 6};
                    int cols[3] = {i % 6, j % 6, k % 6};
                    card_t* cards[3] = {game.cardAt(rows[0], cols[0]),
                                        game.cardAt(rows[1], cols[1]),
                                        game.cardAt(rows[2], cols[2])};
                    if (!cards[0] || !cards[1] || !cards[2]) {
                        continue;
                    }
                    bool isSet = VirtualPlayField::isSet(cards);
                    int(*target)[3] = isSet ? found : wrong;
                    bool* have = isSet ? &haveSet : &haveWrong;
                    if (!*have) {
                        std::copy(rows, rows + 3, target[0]);
                        std::copy(cols, cols + 3, target[1]);
                        *have = true;
                    }
                }
            }
        }
        if (!wrongDone && haveWrong && game.getSetsFound() > 0) {
            game.claim(wrong[0], wrong[1], 0);
            script += positionText(wrong[0], wrong[1]) + "\n";
            wrongDone = true;
        } else if (haveSet) {
            game.claim(found[0], found[1], 0);
            script += positionText(found[0], found[1]) + "\n";
        } else {
            int points = 0;
            game.more(0, &points);
            script += "more\n";
        }
    }
    *fastest = game.getScore();
    return script;
}

class CarvantaClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("CARVANTA_PASSWORD");
        port = freePort();
        ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
    }

    // The client for one player, on this test's server.
    ToolRun client(const std::string& name, const std::string& password,
                   const std::vector<std::string>& command) {
        std::vector<std::string> args = {"--port", std::to_string(port), "--name", name};
        if (!password.empty()) {
            args.push_back("--password");
            args.push_back(password);
        }
        args.insert(args.end(), command.begin(), command.end());
        return runTool("CarvantaClient", args, dir.path());
    }

    TempDir dir;
    ServerProcess server;
    int port = 0;
};

TEST_F(CarvantaClientTest, AccountCommandsPrintALineAndExitWithTheAnswer) {
    ToolRun result = client("alice", "s3cret", {"signup"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("Signed up alice.\n", result.output);
    result = client("alice", "other", {"signup"});
    EXPECT_EQ(11, result.status);
    expectContains(result, "signup refused by the server: the name is taken (RES_USEREXISTS).");

    result = client("alice", "", {"check"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("User alice exists.\n", result.output);
    result = client("nobody", "", {"check"});
    EXPECT_EQ(12, result.status);
    EXPECT_EQ("User nobody does not exist (RES_USERDOESNOTEXIST).\n", result.output);

    result = client("alice", "s3cret", {"login"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("Login ok: alice exists and the password is right.\n", result.output);
    result = client("alice", "wrong", {"login"});
    EXPECT_EQ(12, result.status);
    expectContains(result, "unknown user or wrong password (RES_USERDOESNOTEXIST)");

    result = client("alice", "wrong", {"delete"});
    EXPECT_EQ(12, result.status);
    EXPECT_EQ(0, client("alice", "s3cret", {"login"}).status);  // still there
    result = client("alice", "s3cret", {"delete"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("Deleted the account alice.\n", result.output);
    EXPECT_EQ(12, client("alice", "s3cret", {"login"}).status);
}

TEST_F(CarvantaClientTest, ScoresReachTheHighScoreList) {
    ASSERT_EQ(0, client("alice", "pa", {"signup"}).status);
    ASSERT_EQ(0, client("bob", "pb", {"signup"}).status);
    ToolRun result = client("alice", "pa", {"score", "120"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("Recorded a score of 120 for alice.\n", result.output);
    EXPECT_EQ(0, client("bob", "pb", {"score", "95"}).status);
    EXPECT_EQ(12, client("bob", "wrong", {"score", "999"}).status);
    EXPECT_EQ(2, client("bob", "pb", {"score", "lots"}).status);
    EXPECT_EQ(2, client("bob", "pb", {"score"}).status);

    result = client("bob", "pb", {"highscores"});
    EXPECT_EQ(0, result.status);
    expectContains(result, "High scores (2):\n  1.      alice ");
    expectContains(result, "  120\n  2.        bob ");
    expectContains(result, "   95\n");
    EXPECT_EQ(12, client("bob", "wrong", {"highscores"}).status);
}

TEST_F(CarvantaClientTest, AScriptedGameIsPlayedToTheEndAndItsScoreRecorded) {
    const unsigned int seed = 11;
    int fastest = 0;
    std::string script = wholeGameScript(seed, &fastest);
    ASSERT_NE(std::string::npos, script.find("more\n")) << "this deal needs more cards once";
    ASSERT_EQ(0, client("carol", "pw", {"signup"}).status);
    EXPECT_EQ(12, client("carol", "wrong", {"play"}).status) << "the account is checked first";

    ToolRun result = runTool("CarvantaClient",
                                      {"--port", std::to_string(port), "--name", "carol",
                                       "--password", "pw", "play", "--seed", std::to_string(seed)},
                                      dir.path(), script, 30000);
    ASSERT_EQ(0, result.status) << result.output;
    expectContains(result, "Game 11 (deal it again with --seed 11).");
    expectContains(result, "Not a set: the ");
    expectContains(result, "Set! ");
    expectContains(result, "No set on the table: three more cards.");
    size_t at = result.output.find("Final score: ");
    ASSERT_NE(std::string::npos, at) << result.output;
    int score = atoi(result.output.c_str() + at + 13);
    // The bonus depends on how fast the client read the lines: at most the
    // score of instant play, at least 10 per set less the penalties.
    EXPECT_LE(score, fastest);
    EXPECT_GE(score, fastest - 10 * 27);
    expectContains(result, "Recorded a score of " + std::to_string(score) + " for carol.");
    std::string ownLine = std::to_string(score) + "  <- you\n";
    expectContains(result, ownLine);
    ToolRun list = client("carol", "pw", {"highscores"});
    expectContains(list, "carol");
    expectContains(list, std::to_string(score));

    // The same deal offline: the same moves, nothing recorded, no server needed.
    result = runTool(
        "CarvantaClient",
        {"--port", std::to_string(freePort()), "play", "--offline", "--seed", std::to_string(seed)},
        dir.path(), script, 30000);
    EXPECT_EQ(0, result.status) << result.output;
    expectContains(result, "Offline: the score is not recorded.");
}

TEST_F(CarvantaClientTest, ThePasswordMayComeFromTheEnvironment) {
    ASSERT_EQ(0, client("carol", "fromenv", {"signup"}).status);
    setenv("CARVANTA_PASSWORD", "fromenv", 1);
    EXPECT_EQ(0, client("carol", "", {"login"}).status);
    setenv("MY_SECRET", "fromenv", 1);
    unsetenv("CARVANTA_PASSWORD");
    ToolRun result = client("carol", "", {"--password-env", "MY_SECRET", "login"});
    EXPECT_EQ(0, result.status) << result.output;
    result = client("carol", "", {"login"});
    EXPECT_EQ(2, result.status);  // no password anywhere
    expectContains(result, "this command needs a password");
    result = client("carol", "", {"--password-env", "NOT_SET_ANYWHERE", "login"});
    EXPECT_EQ(2, result.status);
    expectContains(result, "NOT_SET_ANYWHERE is not set");
}

TEST_F(CarvantaClientTest, PlayersListsWhoIsInTheLobby) {
    ASSERT_EQ(0, client("dave", "pd", {"signup"}).status);
    ASSERT_EQ(0, client("erin", "pe", {"signup"}).status);
    ToolRun result = client("dave", "pd", {"players"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("Nobody is on the player list.\n", result.output);

    ChildProcess lobby;
    ASSERT_TRUE(
        lobby.start(toolPath("CarvantaClient"),
                    {"--port", std::to_string(port), "--name", "erin", "--password", "pe", "lobby"},
                    dir.path()));
    ASSERT_TRUE(lobby.waitForOutput("In the lobby as erin", LOBBY_TIMEOUT_MS)) << lobby.output();
    result = client("dave", "pd", {"players"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("Players on the list (1):\n     Id  Name\n      2  erin\n", result.output);
    EXPECT_EQ(12, client("dave", "wrong", {"players"}).status);

    lobby.writeInput("quit\n");
    EXPECT_EQ(0, lobby.waitExit(LOBBY_TIMEOUT_MS));
    EXPECT_EQ("Nobody is on the player list.\n", client("dave", "pd", {"players"}).output);
}

// The user.dat that the server wrote from the client's commands, as the
// inspector reads it after the server has stopped.
TEST_F(CarvantaClientTest, TheInspectorReadsWhatTheServerWrote) {
    ASSERT_EQ(0, client("alice", "pa", {"signup"}).status);
    ASSERT_EQ(0, client("bob", "pb", {"signup"}).status);
    ASSERT_EQ(0, client("carol", "pc", {"signup"}).status);
    ASSERT_EQ(0, client("alice", "pa", {"score", "40"}).status);
    ASSERT_EQ(0, client("alice", "pa", {"score", "75"}).status);
    ASSERT_EQ(0, client("bob", "pb", {"delete"}).status);
    ASSERT_EQ(0, server.stop());

    ToolRun verify = runTool("CarvantaUserData", {"verify"}, dir.path());
    EXPECT_EQ(0, verify.status) << verify.output;
    EXPECT_EQ("user.dat: layout 4.0, 2 accounts, 206 bytes\nuser.dat: sound\n", verify.output);
    ToolRun dump = runTool("CarvantaUserData", {"dump", "--csv", "--show-passwords"}, dir.path());
    EXPECT_EQ(0, dump.status);
    expectContains(dump, "\n1,alice,pa,75,");
    expectContains(dump, ",2,115,0,0\n");  // two games, sum 115
    expectContains(dump, "\n3,carol,pc,0,00-00-0000,0,0,0,0\n");
}

TEST(CarvantaClientAloneTest, AServerThatCannotBeReached) {
    TempDir dir;
    int port = freePort();
    ToolRun result = runTool(
        "CarvantaClient",
        {"--port", std::to_string(port), "--name", "a", "--password", "b", "login"}, dir.path());
    EXPECT_EQ(3, result.status);
    expectContains(result, "login failed: the server cannot be reached (127.0.0.1 port ");
}

TEST(CarvantaClientAloneTest, AServerThatDoesNotAnswer) {
    TempDir dir;
    RawPeer silent;
    ASSERT_TRUE(silent.listenOnFreePort());
    auto start = std::chrono::steady_clock::now();
    ToolRun result =
        runTool("CarvantaClient",
                {"--port", std::to_string(silent.port), "--name", "a", "--password", "b", "login"},
                dir.path());
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(4, result.status);
    expectContains(result, "login failed: no answer from the server within 3 seconds");
    EXPECT_GE(took, std::chrono::milliseconds(2900));
    EXPECT_LT(took, std::chrono::milliseconds(8000));
}

TEST(CarvantaClientAloneTest, UsageErrors) {
    TempDir dir;
    EXPECT_EQ(2, runTool("CarvantaClient", {}, dir.path()).status);
    EXPECT_EQ(2, runTool("CarvantaClient", {"fly"}, dir.path()).status);
    EXPECT_EQ(2, runTool("CarvantaClient", {"--bogus", "login"}, dir.path()).status);
    EXPECT_EQ(2, runTool("CarvantaClient", {"--port", "70000", "login"}, dir.path()).status);
    EXPECT_EQ(2, runTool("CarvantaClient", {"--password", "x", "login"}, dir.path()).status);
    ToolRun result =
        runTool("CarvantaClient", {"--name", "abcdefghijklmnopqrstu", "check"}, dir.path());
    EXPECT_EQ(2, result.status);
    expectContains(result, "the name is longer than 19 characters");
    EXPECT_EQ(2, runTool("CarvantaClient", {"--name", "a", "check", "extra"}, dir.path()).status);
    for (const char* seed : {"-1", "4294967296", "12x", ""}) {
        EXPECT_EQ(
            2, runTool("CarvantaClient", {"play", "--offline", "--seed", seed}, dir.path()).status)
            << seed;
    }
    EXPECT_EQ(2, runTool("CarvantaClient", {"play", "--offline", "now"}, dir.path()).status);
    EXPECT_EQ(2, runTool("CarvantaClient", {"--password", "x", "play"}, dir.path()).status)
        << "a recorded game needs a name";
    result = runTool("CarvantaClient", {"--help"}, dir.path());
    EXPECT_EQ(0, result.status);
    expectContains(result, "Exit status: 0 done");
}

}  // namespace
