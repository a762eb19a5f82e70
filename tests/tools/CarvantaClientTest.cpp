// CarvantaClientTest.cpp - the client program against the server binary on 127.0.0.1.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "Process.h"
#include "RawPeer.h"
#include "TestSupport.h"

namespace {

const int RUN_TIMEOUT_MS = 60000;

class CarvantaClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("CARVANTA_PASSWORD");
        ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
    }

    // The password is left out when empty.
    std::vector<std::string> args(const std::string& name, const std::string& password,
                                  const std::vector<std::string>& command) {
        std::vector<std::string> all = {"--port", std::to_string(port), "--name", name};
        if (!password.empty()) {
            all.insert(all.end(), {"--password", password});
        }
        all.insert(all.end(), command.begin(), command.end());
        return all;
    }

    // A lobby client of name (password "pw-" + name) running script.
    ToolRun lobby(ChildProcess* child, const std::string& name, const std::string& password,
                  const std::string& script) {
        writeFile(dir.file(name + ".script"), script);
        std::vector<std::string> command =
            args(name, password, {"--script", name + ".script", "lobby"});
        if (script.empty()) {
            command = args(name, password, {"lobby"});  // typed commands, none here
        }
        if (child == nullptr) {
            return runTool("CarvantaClient", command, dir.path(), "", RUN_TIMEOUT_MS);
        }
        EXPECT_TRUE(child->start(toolPath("CarvantaClient"), command, dir.path()));
        return {0, ""};
    }

    TempDir dir;
    int port = freePort();
    ServerProcess server;
};

void expectHas(const std::string& output, const std::string& text) {
    EXPECT_NE(std::string::npos, output.find(text)) << "missing \"" << text << "\" in:\n" << output;
}

TEST_F(CarvantaClientTest, OneShotCommandsPrintALineAndExitWithTheAnswer) {
    const struct {
        const char* name;
        const char* password;
        std::vector<std::string> command;
        int status;
        const char* output;
        const char* environment;  // NAME=VALUE set for this run
    } steps[] = {
        {"alice", "s3cret", {"signup"}, 0, "Signed up alice.\n", nullptr},
        {"alice",
         "other",
         {"signup"},
         11,
         "signup refused by the server: the name is taken (RES_USEREXISTS).",
         nullptr},
        {"alice", "", {"check"}, 0, "User alice exists.\n", nullptr},
        {"nobody",
         "",
         {"check"},
         12,
         "User nobody does not exist (RES_USERDOESNOTEXIST).\n",
         nullptr},
        {"alice",
         "s3cret",
         {"login"},
         0,
         "Login ok: alice exists and the password is right.\n",
         nullptr},
        {"alice",
         "wrong",
         {"login"},
         12,
         "unknown user or wrong password (RES_USERDOESNOTEXIST)",
         nullptr},
        {"bob", "pb", {"signup"}, 0, "", nullptr},
        {"bob", "wrong", {"delete"}, 12, "", nullptr},
        {"bob", "pb", {"login"}, 0, "", nullptr},
        {"bob", "pb", {"delete"}, 0, "Deleted the account bob.\n", nullptr},
        {"bob", "pb", {"login"}, 12, "", nullptr},
        {"carol", "pc", {"signup"}, 0, "", nullptr},
        {"dave", "pd", {"signup"}, 0, "", nullptr},
        {"alice", "s3cret", {"score", "40"}, 0, "Recorded a score of 40 for alice.\n", nullptr},
        {"alice", "s3cret", {"score", "75"}, 0, "", nullptr},
        {"carol", "pc", {"score", "95"}, 0, "", nullptr},
        {"carol", "wrong", {"score", "999"}, 12, "", nullptr},
        {"carol", "pc", {"score", "lots"}, 2, "", nullptr},
        {"carol", "pc", {"score"}, 2, "", nullptr},
        {"dave", "pd", {"highscores"}, 0, "  1.      carol ", nullptr},
        {"dave", "pd", {"highscores"}, 0, "   95\n  2.      alice ", nullptr},
        {"dave", "wrong", {"highscores"}, 12, "", nullptr},
        {"dave", "pd", {"players"}, 0, "Nobody is on the player list.\n", nullptr},
        {"dave", "wrong", {"players"}, 12, "", nullptr},
        {"dave", "", {"login"}, 0, "", "CARVANTA_PASSWORD=pd"},
        {"dave", "", {"--password-env", "MY_SECRET", "login"}, 0, "", "MY_SECRET=pd"},
        {"dave", "", {"login"}, 2, "this command needs a password", nullptr},
        {"dave",
         "",
         {"--password-env", "NOT_SET_ANYWHERE", "login"},
         2,
         "NOT_SET_ANYWHERE is not set",
         nullptr},
    };
    for (const auto& step : steps) {
        std::string variable = step.environment == nullptr ? "" : step.environment;
        size_t equals = variable.find('=');
        if (!variable.empty()) {
            setenv(variable.substr(0, equals).c_str(), variable.substr(equals + 1).c_str(), 1);
        }
        ToolRun run =
            runTool("CarvantaClient", args(step.name, step.password, step.command), dir.path());
        SCOPED_TRACE(std::string(step.name) + " " + step.command[0] + ":\n" + run.output);
        EXPECT_EQ(step.status, run.status);
        expectHas(run.output, step.output);
        if (!variable.empty()) {
            unsetenv(variable.substr(0, equals).c_str());
        }
    }
    ChildProcess daveInLobby;
    ASSERT_TRUE(
        daveInLobby.start(toolPath("CarvantaClient"), args("dave", "pd", {"lobby"}), dir.path()));
    ASSERT_TRUE(daveInLobby.waitForOutput("In the lobby as dave", RUN_TIMEOUT_MS))
        << daveInLobby.output();
    EXPECT_EQ("Players on the list (1):\n     Id  Name\n      3  dave\n",
              runTool("CarvantaClient", args("carol", "pc", {"players"}), dir.path()).output);
    daveInLobby.writeInput("quit\n");
    EXPECT_EQ(0, daveInLobby.waitExit(RUN_TIMEOUT_MS));
    EXPECT_EQ("Nobody is on the player list.\n",
              runTool("CarvantaClient", args("carol", "pc", {"players"}), dir.path()).output);

    // The inspector on the user.dat that the server wrote.
    ASSERT_EQ(0, server.stop());
    ToolRun verify = runTool("CarvantaUserData", {"verify"}, dir.path());
    EXPECT_EQ(0, verify.status);
    EXPECT_EQ("user.dat: layout 4.0, 3 accounts, 296 bytes\nuser.dat: sound\n", verify.output);
    ToolRun dump = runTool("CarvantaUserData", {"dump", "--csv", "--show-passwords"}, dir.path());
    EXPECT_EQ(0, dump.status);
    expectHas(dump.output, "\n1,alice,s3cret,75,");
    expectHas(dump.output, ",2,115,0,0\n");  // two games, sum 115
    expectHas(dump.output, "\n3,dave,pd,0,00-00-0000,0,0,0,0\n");
}

TEST_F(CarvantaClientTest, UsageErrorsAndServersThatFail) {
    const struct {
        const char* program;
        std::vector<std::string> args;
        int status;
        const char* output;
    } runs[] = {
        {"CarvantaClient", {}, 2, ""},
        {"CarvantaClient", {"fly"}, 2, ""},
        {"CarvantaClient", {"--bogus", "login"}, 2, ""},
        {"CarvantaClient", {"--port", "70000", "login"}, 2, ""},
        {"CarvantaClient", {"--password", "x", "login"}, 2, ""},
        {"CarvantaClient",
         {"--name", "abcdefghijklmnopqrstu", "check"},
         2,
         "the name is longer than 19 characters"},
        {"CarvantaClient", {"--name", "a", "check", "extra"}, 2, ""},
        {"CarvantaClient", {"play", "--offline", "--seed", "-1"}, 2, ""},
        {"CarvantaClient", {"play", "--offline", "--seed", "4294967296"}, 2, ""},
        {"CarvantaClient", {"play", "--offline", "--seed", "12x"}, 2, ""},
        {"CarvantaClient", {"play", "--offline", "--seed", ""}, 2, ""},
        {"CarvantaClient", {"play", "--offline", "now"}, 2, ""},
        {"CarvantaClient", {"--password", "x", "play"}, 2, ""},  // a recorded game needs a name
        {"CarvantaClient", {"--help"}, 0, "Exit status: 0 done"},
        {"CarvantaClient",
         {"--port", std::to_string(freePort()), "--name", "a", "--password", "b", "login"},
         3,
         "login failed: the server cannot be reached (127.0.0.1 port "},
        {"CarvantaBench", {"--help"}, 0, "usage: CarvantaBench"},
        {"CarvantaBench", {}, 2, "usage: CarvantaBench"},
        {"CarvantaBench", {"--count", "10"}, 2, "usage: CarvantaBench"},
        {"CarvantaBench", {"--scenario", "no-such"}, 2, "usage: CarvantaBench"},
        {"CarvantaBench", {"--scenario", "login", "--clients", "101"}, 2, "usage: CarvantaBench"},
        {"CarvantaBench", {"--scenario", "login", "--clients", "0"}, 2, "usage: CarvantaBench"},
        {"CarvantaBench", {"--scenario", "login", "--frobnicate", "1"}, 2, "usage: CarvantaBench"},
        {"CarvantaBench", {"--scenario"}, 2, "usage: CarvantaBench"},
    };
    for (const auto& r : runs) {
        ToolRun run = runTool(r.program, r.args, dir.path());
        std::string shown = r.program;
        for (const std::string& arg : r.args) {
            shown += " " + arg;
        }
        SCOPED_TRACE(shown);
        EXPECT_EQ(r.status, run.status) << run.output;
        expectHas(run.output, r.output);
        // A scenario that runs starts its report with a line "scenario NAME: ...".
        EXPECT_EQ(std::string::npos, ("\n" + run.output).find("\nscenario ")) << run.output;
    }
    RawPeer silent;
    ASSERT_TRUE(silent.listenOnFreePort());
    auto start = std::chrono::steady_clock::now();
    ToolRun run =
        runTool("CarvantaClient",
                {"--port", std::to_string(silent.port), "--name", "a", "--password", "b", "login"},
                dir.path());
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(4, run.status);
    expectHas(run.output, "login failed: no answer from the server within 3 seconds");
    EXPECT_GE(took, std::chrono::milliseconds(2900));
    EXPECT_LT(took, std::chrono::milliseconds(8000));
}

TEST_F(CarvantaClientTest, TwoLobbyPlayersPlayFromInvitationToStop) {
    for (const char* name : {"alice", "bob"}) {
        ASSERT_EQ(0, runTool("CarvantaClient", args(name, std::string("pw-") + name, {"signup"}),
                             dir.path())
                         .status);
    }
    ChildProcess alice;
    ChildProcess bob;
    lobby(&bob, "bob", "pw-bob",
          "wait invitation 20\naccept alice\nwait cards 20\n"
          "# the invitee is dealt second: both hold their cards now\n"
          "stop\nwait end 20\nwait player bob 10\nquit\n");
    lobby(&alice, "alice", "pw-alice",
          "wait player bob 20\ninvite bob\nwait accept 20\nwait start 20\nwait cards 20\n"
          "wait end 20\nquit\n");
    EXPECT_EQ(0, alice.waitExit(RUN_TIMEOUT_MS)) << alice.output();
    EXPECT_EQ(0, bob.waitExit(RUN_TIMEOUT_MS)) << bob.output();
    expectHas(alice.output(), "Invited bob; waiting for the answer.\n");
    expectHas(bob.output(), "Invitation from alice: type 'accept alice' or 'reject alice'.\n");
    expectHas(alice.output(), "bob accepted your invitation; the countdown follows.\n");
    std::string cards[2];
    for (ChildProcess* player : {&alice, &bob}) {
        std::string out = player->output();
        expectHas(out,
                  "Countdown: 3\nCountdown: 2\nCountdown: 1\nCountdown: 0 - go!\n"
                  "The game starts.\n");
        expectHas(out, "Cards on the table (12):\n");
        expectHas(out, "The game is over: stop was pressed.\n");
        expectHas(out, "Left the lobby.\n");
        size_t from = out.find("Cards on the table");
        cards[player == &bob] = out.substr(from, out.find("on the table", from + 20) - from);
    }
    EXPECT_EQ(cards[0], cards[1]) << "both players see the same cards";
    expectHas(bob.output(), "> stop\nStop sent.\n");
    expectHas(bob.output(), "You are back on the player list.\n");
    expectHas(server.output(), "Game created");
}

TEST_F(CarvantaClientTest, LobbyScriptsEndWithTheStatusThatSaysWhy) {
    for (const char* name : {"alice", "bob"}) {
        ASSERT_EQ(0, runTool("CarvantaClient", args(name, std::string("pw-") + name, {"signup"}),
                             dir.path())
                         .status);
    }
    ChildProcess alice;
    ChildProcess bob;
    lobby(&bob, "bob", "pw-bob", "wait invitation 20\nreject alice\nwait cancel 30\nquit\n");
    lobby(&alice, "alice", "pw-alice",
          "wait player bob 20\ninvite bob\nwait reject 20\nwait player bob 20\ninvite bob\n"
          "cancel bob\nquit\n");
    EXPECT_EQ(0, alice.waitExit(RUN_TIMEOUT_MS)) << alice.output();
    EXPECT_EQ(0, bob.waitExit(RUN_TIMEOUT_MS)) << bob.output();
    expectHas(alice.output(), "bob rejected your invitation.\n");
    expectHas(alice.output(), "Cancelled the invitation of bob.\n");
    expectHas(bob.output(), "Rejected the invitation of alice.\n");
    expectHas(bob.output(), "The invitation between you and alice is cancelled.\n");

    const struct {
        const char* password;
        const char* script;
        int status;
        const char* output;
    } failures[] = {
        {"pw-alice", "invite nobody\nquit\n", 16,
         "invite nobody refused: the lobby does not know that player or invitation "
         "(RES_MULTI_PLAYERNOTKNOWN).\nLeft the lobby.\n"},
        {"pw-alice", "wait invitation 1\n", 5, "wait invitation: nothing came within 1 seconds.\n"},
        {"pw-alice", "invitee bob\n", 2, ""},
        {"nope", "quit\n", 12, "Cannot enter the lobby: unknown user or wrong password"},
    };
    for (const auto& f : failures) {
        ToolRun run = lobby(nullptr, "alice", f.password, f.script);
        EXPECT_EQ(f.status, run.status) << f.script << run.output;
        expectHas(run.output, f.output);
    }
    ChildProcess lost;
    lobby(&lost, "bob", "pw-bob", "");
    ASSERT_TRUE(lost.waitForOutput("In the lobby as bob", RUN_TIMEOUT_MS)) << lost.output();
    server.kill9();
    EXPECT_EQ(4, lost.waitExit(RUN_TIMEOUT_MS));
    expectHas(lost.output(), "The connection to the server was lost.\n");
}

}  // namespace
