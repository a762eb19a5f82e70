// LobbyConsoleTest.cpp - the client's lobby as two players use it, each a
// client process with a script, on the real server binary: a game from
// the invitation to the stop, a rejection and a cancellation, scripts that
// fail with the status that says why, and a server that goes away.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Process.h"
#include "TestSupport.h"

namespace {

const int SESSION_TIMEOUT_MS = 60000;
const int OUTPUT_TIMEOUT_MS = 15000;

void expectContains(const std::string& output, const std::string& text) {
    EXPECT_NE(std::string::npos, output.find(text)) << "missing \"" << text << "\" in:\n" << output;
}

// The part of a client's output from the card table to its set line.
std::string cardBlock(const std::string& output) {
    size_t start = output.find("Cards on the table");
    size_t setLine = output.find("on the table", start + 20);
    if (start == std::string::npos || setLine == std::string::npos) {
        return "";
    }
    return output.substr(start, output.find('\n', setLine) - start);
}

class LobbyConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        port = freePort();
        ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
        for (const char* name : {"alice", "bob"}) {
            ToolRun signup = runTool("CarvantaClient", args(name, {"signup"}), dir.path());
            ASSERT_EQ(0, signup.status) << signup.output;
        }
    }

    // The player's password is "pw-" and the name.
    std::vector<std::string> args(const std::string& name, const std::vector<std::string>& rest) {
        std::vector<std::string> all = {"--port", std::to_string(port), "--name",
                                        name,     "--password",         "pw-" + name};
        all.insert(all.end(), rest.begin(), rest.end());
        return all;
    }

    // Starts a lobby client that runs script (written to a file).
    void startLobby(ChildProcess* child, const std::string& name, const std::string& script) {
        writeFile(dir.file(name + ".script"), script);
        ASSERT_TRUE(child->start(toolPath("CarvantaClient"),
                                 args(name, {"--script", name + ".script", "lobby"}), dir.path()));
    }

    TempDir dir;
    ServerProcess server;
    int port = 0;
};

TEST_F(LobbyConsoleTest, TwoPlayersPlayFromInvitationToStop) {
    ChildProcess alice;
    ChildProcess bob;
    startLobby(&bob, "bob",
               "wait invitation 20\n"
               "accept alice\n"
               "wait cards 20\n"
               "# the invitee is dealt second: both hold their cards now\n"
               "stop\n"
               "wait end 20\n"
               "wait player bob 10\n"  // put back on the list after the game
               "quit\n");
    startLobby(&alice, "alice",
               "# alice invites as soon as bob is listed\n"
               "wait player bob 20\n"
               "invite bob\n"
               "wait accept 20\n"
               "wait start 20\n"
               "wait cards 20\n"
               "wait end 20\n"
               "quit\n");
    int aliceStatus = alice.waitExit(SESSION_TIMEOUT_MS);
    int bobStatus = bob.waitExit(SESSION_TIMEOUT_MS);
    std::string aliceOut = alice.output();
    std::string bobOut = bob.output();
    EXPECT_EQ(0, aliceStatus) << aliceOut;
    EXPECT_EQ(0, bobStatus) << bobOut;

    expectContains(aliceOut, "Invited bob; waiting for the answer.\n");
    expectContains(bobOut, "Invitation from alice: type 'accept alice' or 'reject alice'.\n");
    expectContains(aliceOut, "bob accepted your invitation; the countdown follows.\n");
    for (const std::string* out : {&aliceOut, &bobOut}) {
        expectContains(*out,
                       "Countdown: 3\nCountdown: 2\nCountdown: 1\nCountdown: 0 - go!\n"
                       "The game starts.\n");
        expectContains(*out, "Cards on the table (12):\n");
        expectContains(*out, "Left the lobby.\n");
    }
    // Both players see the same twelve cards and the same sets.
    EXPECT_NE("", cardBlock(aliceOut));
    EXPECT_EQ(cardBlock(aliceOut), cardBlock(bobOut));
    expectContains(bobOut, "> stop\nStop sent.\n");
    expectContains(bobOut, "The game is over: stop was pressed.\n");
    expectContains(aliceOut, "The game is over: stop was pressed.\n");
    expectContains(bobOut, "You are back on the player list.\n");
    expectContains(server.output(), "Game created");
}

TEST_F(LobbyConsoleTest, RejectionAndCancellationReachTheOtherPlayer) {
    ChildProcess alice;
    ChildProcess bob;
    startLobby(&bob, "bob",
               "wait invitation 20\n"
               "reject alice\n"
               "wait cancel 30\n"  // whether or not the second invitation came first
               "quit\n");
    startLobby(&alice, "alice",
               "wait player bob 20\n"
               "invite bob\n"
               "wait reject 20\n"
               "wait player bob 20\n"
               "invite bob\n"
               "sleep 2\n"
               "cancel bob\n"
               "sleep 2\n"
               "quit\n");
    EXPECT_EQ(0, alice.waitExit(SESSION_TIMEOUT_MS)) << alice.output();
    EXPECT_EQ(0, bob.waitExit(SESSION_TIMEOUT_MS)) << bob.output();
    expectContains(alice.output(), "bob rejected your invitation.\n");
    expectContains(alice.output(), "Cancelled the invitation of bob.\n");
    expectContains(bob.output(), "Rejected the invitation of alice.\n");
    expectContains(bob.output(), "The invitation between you and alice is cancelled.\n");
}

TEST_F(LobbyConsoleTest, AFailingScriptEndsWithTheStatusThatSaysWhy) {
    ChildProcess alice;
    startLobby(&alice, "alice", "invite nobody\nquit\n");
    EXPECT_EQ(16, alice.waitExit(SESSION_TIMEOUT_MS));
    expectContains(alice.output(),
                   "invite nobody refused: the lobby does not know that player "
                   "or invitation (RES_MULTI_PLAYERNOTKNOWN).\n");
    expectContains(alice.output(), "Left the lobby.\n");  // leaves in order all the same

    ChildProcess waiting;
    startLobby(&waiting, "alice", "wait invitation 1\n");
    EXPECT_EQ(5, waiting.waitExit(SESSION_TIMEOUT_MS));
    expectContains(waiting.output(), "wait invitation: nothing came within 1 seconds.\n");

    ChildProcess typo;
    startLobby(&typo, "alice", "invitee bob\n");
    EXPECT_EQ(2, typo.waitExit(SESSION_TIMEOUT_MS));

    ToolRun wrong = runTool(
        "CarvantaClient",
        {"--port", std::to_string(port), "--name", "bob", "--password", "nope", "lobby"},
        dir.path(), "quit\n");
    EXPECT_EQ(12, wrong.status);
    expectContains(wrong.output, "Cannot enter the lobby: unknown user or wrong password");
}

TEST_F(LobbyConsoleTest, ALostServerEndsTheLobby) {
    ChildProcess bob;
    ASSERT_TRUE(bob.start(toolPath("CarvantaClient"), args("bob", {"lobby"}), dir.path()));
    ASSERT_TRUE(bob.waitForOutput("In the lobby as bob", OUTPUT_TIMEOUT_MS)) << bob.output();
    server.kill9();
    EXPECT_EQ(4, bob.waitExit(OUTPUT_TIMEOUT_MS));
    expectContains(bob.output(), "The connection to the server was lost.\n");
}

}  // namespace
