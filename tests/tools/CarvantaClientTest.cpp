// CarvantaClientTest.cpp - the client program against the server binary on 127.0.0.1.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "Process.h"
#include "RawPeer.h"
#include "TestSupport.h"

namespace {

const int RUN_TIMEOUT_MS = 60000;

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

void expectHas(const std::string& output, const std::string& text) {
    EXPECT_NE(std::string::npos, output.find(text)) << "missing \"" << text << "\" in:\n" << output;
}

class CarvantaClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("CARVANTA_PASSWORD");
        ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
    }

    // "NAME PASSWORD COMMAND...": a password "-" is left out.
    std::vector<std::string> args(const std::string& line) {
        std::vector<std::string> w = words(line);
        std::vector<std::string> all = {"--port", std::to_string(port), "--name", w[0]};
        if (w[1] != "-") {
            all.insert(all.end(), {"--password", w[1]});
        }
        all.insert(all.end(), w.begin() + 2, w.end());
        return all;
    }
    ToolRun client(const std::string& line, const std::string& input = "") {
        return runTool("CarvantaClient", args(line), dir.path(), input, RUN_TIMEOUT_MS);
    }
    // A lobby client of name (password "pw-" + name) with a script, or typed commands if none.
    void lobby(ChildProcess* child, const std::string& name, const std::string& script) {
        writeFile(dir.file(name + ".script"), script);
        std::string options = script.empty() ? " lobby" : " --script " + name + ".script lobby";
        ASSERT_TRUE(child->start(toolPath("CarvantaClient"), args(name + " pw-" + name + options),
                                 dir.path()));
    }

    TempDir dir;
    int port = freePort();
    ServerProcess server;
};

TEST_F(CarvantaClientTest, OneShotCommandsPrintALineAndExitWithTheAnswer) {
    const struct {
        const char* line;
        int status;
        const char* output;
    } steps[] = {
        {"alice s3cret signup", 0, "Signed up alice.\n"},
        {"alice other signup", 11,
         "signup refused by the server: the name is taken (RES_USEREXISTS)."},
        {"alice - check", 0, "User alice exists.\n"},
        {"nobody - check", 12, "User nobody does not exist (RES_USERDOESNOTEXIST).\n"},
        {"alice s3cret login", 0, "Login ok: alice exists and the password is right.\n"},
        {"alice wrong login", 12, "unknown user or wrong password (RES_USERDOESNOTEXIST)"},
        {"bob pb signup", 0, ""},
        {"bob wrong delete", 12, ""},
        {"bob pb login", 0, ""},
        {"bob pb delete", 0, "Deleted the account bob.\n"},
        {"bob pb login", 12, ""},
        {"carol pc signup", 0, ""},
        {"dave pw-dave signup", 0, ""},
        {"alice s3cret score 40", 0, "Recorded a score of 40 for alice.\n"},
        {"alice s3cret score 75", 0, ""},
        {"carol pc score 95", 0, ""},
        {"carol wrong score 999", 12, ""},
        {"carol pc score lots", 2, ""},
        {"carol pc score", 2, ""},
        {"dave pw-dave highscores", 0, "  1.      carol "},
        {"dave pw-dave highscores", 0, "   95\n  2.      alice "},
        {"dave wrong highscores", 12, ""},
        {"dave pw-dave players", 0, "Nobody is on the player list.\n"},
        {"dave wrong players", 12, ""},
        {"dave - login", 2, "this command needs a password"},
        {"dave - --password-env NOT_SET_ANYWHERE login", 2, "NOT_SET_ANYWHERE is not set"},
    };
    for (const auto& step : steps) {
        ToolRun run = client(step.line);
        EXPECT_EQ(step.status, run.status) << step.line << ":\n" << run.output;
        expectHas(run.output, step.output);
    }
    setenv("CARVANTA_PASSWORD", "pw-dave", 1);
    EXPECT_EQ(0, client("dave - login").status);
    unsetenv("CARVANTA_PASSWORD");
    setenv("MY_SECRET", "pw-dave", 1);
    EXPECT_EQ(0, client("dave - --password-env MY_SECRET login").status);
    ChildProcess dave;
    lobby(&dave, "dave", "");
    ASSERT_TRUE(dave.waitForOutput("In the lobby as dave", RUN_TIMEOUT_MS)) << dave.output();
    EXPECT_EQ("Players on the list (1):\n     Id  Name\n      3  dave\n",
              client("carol pc players").output);
    dave.writeInput("quit\n");
    EXPECT_EQ(0, dave.waitExit(RUN_TIMEOUT_MS));
    EXPECT_EQ("Nobody is on the player list.\n", client("carol pc players").output);

    // The inspector on the user.dat that the server wrote.
    ASSERT_EQ(0, server.stop());
    ToolRun verify = runTool("CarvantaUserData", {"verify"}, dir.path());
    EXPECT_EQ(0, verify.status);
    EXPECT_EQ("user.dat: layout 4.0, 3 accounts, 296 bytes\nuser.dat: sound\n", verify.output);
    ToolRun dump = runTool("CarvantaUserData", {"dump", "--csv", "--show-passwords"}, dir.path());
    expectHas(dump.output, "\n1,alice,s3cret,75,");
    expectHas(dump.output, ",2,115,0,0\n");  // two games, sum 115
    expectHas(dump.output, "\n3,dave,pw-dave,0,00-00-0000,0,0,0,0\n");
}

TEST_F(CarvantaClientTest, UsageErrorsAndServersThatFail) {
    const std::string bench = "usage: CarvantaBench";
    const struct {
        std::string line;
        int status;
        std::string output;
    } runs[] = {
        {"CarvantaClient", 2, ""},
        {"CarvantaClient fly", 2, ""},
        {"CarvantaClient --bogus login", 2, ""},
        {"CarvantaClient --port 70000 login", 2, ""},
        {"CarvantaClient --password x login", 2, ""},
        {"CarvantaClient --name abcdefghijklmnopqrstu check", 2,
         "the name is longer than 19 characters"},
        {"CarvantaClient --name a check extra", 2, ""},
        {"CarvantaClient play --offline --seed -1", 2, ""},
        {"CarvantaClient play --offline --seed 4294967296", 2, ""},
        {"CarvantaClient play --offline --seed 12x", 2, ""},
        {"CarvantaClient play --offline --seed=", 2, ""},
        {"CarvantaClient play --offline now", 2, ""},
        {"CarvantaClient --password x play", 2, ""},  // a recorded game needs a name
        {"CarvantaClient --help", 0, "Exit status: 0 done"},
        {"CarvantaClient --port " + std::to_string(freePort()) + " --name a --password b login", 3,
         "login failed: the server cannot be reached (127.0.0.1 port "},
        {"CarvantaBench --help", 0, bench},
        {"CarvantaBench", 2, bench},
        {"CarvantaBench --count 10", 2, bench},
        {"CarvantaBench --scenario no-such", 2, bench},
        {"CarvantaBench --scenario login --clients 101", 2, bench},
        {"CarvantaBench --scenario login --clients 0", 2, bench},
        {"CarvantaBench --scenario login --frobnicate 1", 2, bench},
        {"CarvantaBench --scenario", 2, bench},
    };
    for (const auto& r : runs) {
        std::vector<std::string> w = words(r.line);
        ToolRun run = runTool(w[0], std::vector<std::string>(w.begin() + 1, w.end()), dir.path());
        EXPECT_EQ(r.status, run.status) << r.line << ":\n" << run.output;
        expectHas(run.output, r.output);
        // A scenario that runs starts its report with a line "scenario NAME: ...".
        EXPECT_EQ(std::string::npos, ("\n" + run.output).find("\nscenario ")) << r.line;
    }
    RawPeer silent;
    ASSERT_TRUE(silent.listenOnFreePort());
    auto start = std::chrono::steady_clock::now();
    port = silent.port;
    ToolRun run = client("a b login");
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(4, run.status);
    expectHas(run.output, "login failed: no answer from the server within 3 seconds");
    EXPECT_GE(took, std::chrono::milliseconds(2900));
    EXPECT_LT(took, std::chrono::milliseconds(8000));
}

TEST_F(CarvantaClientTest, TwoLobbyPlayersFromInvitationToStop) {
    ASSERT_EQ(0, client("alice pw-alice signup").status);
    ASSERT_EQ(0, client("bob pw-bob signup").status);
    ChildProcess alice;
    ChildProcess bob;
    lobby(&bob, "bob",
          "wait invitation 20\nreject alice\nwait invitation 20\naccept alice\nwait cards 20\n"
          "# the invitee is dealt second: both hold their cards now\n"
          "stop\nwait end 20\nwait player bob 10\nwait cancel 30\nquit\n");
    lobby(&alice, "alice",
          "wait player bob 20\ninvite bob\nwait reject 20\nwait player bob 20\ninvite bob\n"
          "wait accept 20\nwait start 20\nwait cards 20\nwait end 20\nwait player alice 20\n"
          "wait player bob 20\ninvite bob\ncancel bob\nquit\n");
    EXPECT_EQ(0, alice.waitExit(RUN_TIMEOUT_MS)) << alice.output();
    EXPECT_EQ(0, bob.waitExit(RUN_TIMEOUT_MS)) << bob.output();
    expectHas(alice.output(), "Invited bob; waiting for the answer.\n");
    expectHas(bob.output(), "Invitation from alice: type 'accept alice' or 'reject alice'.\n");
    expectHas(bob.output(), "Rejected the invitation of alice.\n");
    expectHas(alice.output(), "bob rejected your invitation.\n");
    expectHas(alice.output(), "Cancelled the invitation of bob.\n");
    expectHas(bob.output(), "The invitation between you and alice is cancelled.\n");
    expectHas(alice.output(), "bob accepted your invitation; the countdown follows.\n");
    std::string cards[2];
    for (ChildProcess* player : {&alice, &bob}) {
        std::string out = player->output();
        expectHas(out,
                  "Countdown: 3\nCountdown: 2\nCountdown: 1\nCountdown: 0 - go!\n"
                  "The game starts.\n");
        expectHas(out, "The game is over: stop was pressed.\n");
        expectHas(out, "Left the lobby.\n");
        size_t from = out.find("Cards on the table (12):\n");
        ASSERT_NE(std::string::npos, from) << out;
        cards[player == &bob] = out.substr(from, out.find("on the table", from + 20) - from);
    }
    EXPECT_EQ(cards[0], cards[1]) << "both players see the same cards";
    expectHas(bob.output(), "> stop\nStop sent.\n");
    expectHas(bob.output(), "You are back on the player list.\n");
    expectHas(server.output(), "Game created");

    const struct {
        const char* script;
        int status;
        const char* output;
    } failures[] = {
        {"invite nobody\nquit\n", 16,
         "invite nobody refused: the lobby does not know that player or invitation "
         "(RES_MULTI_PLAYERNOTKNOWN).\nLeft the lobby.\n"},
        {"wait invitation 1\n", 5, "wait invitation: nothing came within 1 seconds.\n"},
        {"invitee bob\n", 2, ""},
    };
    for (const auto& f : failures) {
        writeFile(dir.file("alice.script"), f.script);
        ToolRun run = client("alice pw-alice --script alice.script lobby");
        EXPECT_EQ(f.status, run.status) << f.script << run.output;
        expectHas(run.output, f.output);
    }
    ToolRun wrong = client("bob nope lobby", "quit\n");
    EXPECT_EQ(12, wrong.status);
    expectHas(wrong.output, "Cannot enter the lobby: unknown user or wrong password");
    ChildProcess lost;
    lobby(&lost, "bob", "");
    ASSERT_TRUE(lost.waitForOutput("In the lobby as bob", RUN_TIMEOUT_MS)) << lost.output();
    server.kill9();
    EXPECT_EQ(4, lost.waitExit(RUN_TIMEOUT_MS));
    expectHas(lost.output(), "The connection to the server was lost.\n");
}

}  // namespace
