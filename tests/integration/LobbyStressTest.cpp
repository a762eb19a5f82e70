// LobbyStressTest.cpp - pairs of clients play, stop, leave and come back in
// a loop for a bounded time against the real server binary, while another
// client keeps asking for the player list and checking accounts. Every game
// must end as its players were told; the server must stay up, answer, and
// stop cleanly without an assertion (under ThreadSanitizer: without a
// report).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SimpleOsa.h"
#include "TestSupport.h"
#include "GameProtocol.h"
#include "LobbyPlayer.h"
#include "LoopbackClient.h"
#include "Process.h"

namespace {

const int PAIRS = 3;
const long long STRESS_MS = 24000;

// How one round of a pair ends.
typedef enum {
    END_INVITOR_STOPS,
    END_INVITEE_STOPS,
    END_INVITEE_LEAVES_IN_GAME,
    END_INVITOR_LEAVES_IN_COUNTDOWN,
    END_INVITEE_LEAVES_AFTER_ACCEPTING,
    END_INVITOR_STOPS_AT_THE_START,
    END_KINDS,
} roundEnd_t;

bool failWith(std::string* why, const std::string& text) {
    *why += text;
    return false;
}

// Messages until MSG_GAMEFINISHED, skipping what a game sends before it.
bool awaitEnd(LobbyPlayer* player, int finishState, std::string* why) {
    for (;;) {
        Envelope message;
        if (!player->getReader().next(&message, LOBBY_MESSAGE_WAIT_MS)) {
            return failWith(why, player->getName() + ": no end");
        }
        if (message.id == MSG_GAMEFINISHED) {
            return message.payload == int32le(finishState) ||
                   failWith(why, player->getName() + ": finish state");
        }
        if (message.id != MSG_COUNTDOWNFORPLAY && message.id != MSG_STARTGAMEMASTER &&
            message.id != MSG_RECEIVECARDS && message.id != MSG_ACCEPTINVITATION) {
            return failWith(why, player->getName() + ": message " + std::to_string(message.id));
        }
    }
}

// A player that left comes back on a new connection and attaches again.
bool comeBack(LobbyPlayer* player, int port, std::string* why) {
    return (player->reconnect(port) && player->ask(REQ_MULTI_ATTACHMULTIPLAYER) == RES_OK) ||
           failWith(why, player->getName() + ": could not come back");
}

bool stopAtTheStart(LobbyPlayer* invitor, LobbyPlayer* invitee, std::string* why) {
    if (!invitor->expectPayload(MSG_ACCEPTINVITATION, nameField(invitee->getName()), why) ||
        !invitor->expectCountdownAndStart(invitee->getName(), why)) {
        return false;
    }
    invitor->sendStop();  // the cards may or may not have been dealt yet
    return awaitEnd(invitor, 3, why) && awaitEnd(invitee, 3, why);
}

bool stopInGame(LobbyPlayer* invitor, LobbyPlayer* invitee, bool invitorStops, std::string* why) {
    std::string cards;
    if (!followAcceptanceToTheCards(invitor, invitee, &cards, why)) {
        return false;
    }
    (invitorStops ? invitor : invitee)->sendStop();
    return invitor->expectPayload(MSG_GAMEFINISHED, int32le(3), why) &&
           invitee->expectPayload(MSG_GAMEFINISHED, int32le(3), why);
}

// One round after the accept: the game or its preparation ends as `end` says.
bool finishRound(roundEnd_t end, LobbyPlayer* invitor, LobbyPlayer* invitee, int port,
                 std::string* why) {
    Envelope message;
    switch (end) {
        case END_INVITOR_STOPS:
        case END_INVITEE_STOPS:
            return stopInGame(invitor, invitee, end == END_INVITOR_STOPS, why);
        case END_INVITOR_STOPS_AT_THE_START:
            return stopAtTheStart(invitor, invitee, why);
        case END_INVITEE_LEAVES_IN_GAME:
            if (!invitee->expectCountdownAndStart(invitor->getName(), why) ||
                !invitee->expect(MSG_RECEIVECARDS, &message, why)) {
                return false;
            }
            invitee->getClient().close();
            return awaitEnd(invitor, 2, why) && comeBack(invitee, port, why);
        case END_INVITOR_LEAVES_IN_COUNTDOWN:
            if (!invitee->expect(MSG_COUNTDOWNFORPLAY, &message, why)) {
                return false;
            }
            invitor->getClient().close();
            return awaitEnd(invitee, 2, why) && comeBack(invitor, port, why);
        default:
            invitee->getClient().close();
            if (!invitor->getReader().next(&message, LOBBY_MESSAGE_WAIT_MS)) {
                return failWith(why, "nothing after the invitee left");
            }
            if (message.id != MSG_REJECTINVITATION && !awaitEnd(invitor, 2, why)) {
                return false;
            }
            // Rejected: the invitor is listed again; take it off for the next round.
            return (message.id != MSG_REJECTINVITATION ||
                    invitor->ask(REQ_MULTI_REMOVEMULTIPLAYER) == RES_OK) &&
                   comeBack(invitee, port, why);
    }
}

bool playRound(roundEnd_t end, LobbyPlayer* invitor, LobbyPlayer* invitee, int port,
               std::string* why) {
    if (invitor->ask(REQ_MULTI_ADDMULTIPLAYER) != RES_OK ||
        invitee->ask(REQ_MULTI_ADDMULTIPLAYER) != RES_OK) {
        return failWith(why, "add refused");
    }
    if (invitor->ask(REQ_MULTI_INVITEMULTIPLAYER, invitee->getName()) != RES_OK ||
        !invitee->expectPayload(MSG_INVITEMULTIPLAYER, nameField(invitor->getName()), why) ||
        invitee->ask(REQ_MULTI_ACCEPTINVITATION, invitor->getName()) != RES_OK) {
        return failWith(why, " (invitation)");
    }
    return finishRound(end, invitor, invitee, port, why);
}

}  // namespace

TEST(LobbyStressTest, PairsPlayStopLeaveAndReturnInALoop) {
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.start(dir.path(), freePort())) << server.output();
    int port = server.port();
    std::vector<std::unique_ptr<LobbyPlayer>> players;
    for (int i = 0; i < 2 * PAIRS; i++) {
        players.emplace_back(new LobbyPlayer("stress" + std::to_string(i)));
        ASSERT_TRUE(signUpPlayer(port, players.back()->getName()));
    }
    ASSERT_TRUE(signUpPlayer(port, "watcher"));
    for (std::unique_ptr<LobbyPlayer>& player : players) {
        ASSERT_TRUE(player->connect(port));
        ASSERT_EQ(player->ask(REQ_MULTI_ATTACHMULTIPLAYER), RES_OK);
    }
    long long deadline = clockMonotonicMs() + STRESS_MS;
    std::vector<std::string> failures(PAIRS);
    std::vector<int> rounds(PAIRS, 0);
    std::vector<std::thread> threads;
    for (int p = 0; p < PAIRS; p++) {
        threads.emplace_back([&, p] {
            LobbyPlayer* invitor = players[2 * p].get();
            LobbyPlayer* invitee = players[2 * p + 1].get();
            while (clockMonotonicMs() < deadline && failures[p].empty()) {
                roundEnd_t end = static_cast<roundEnd_t>((rounds[p] + 2 * p) % END_KINDS);
                if (!playRound(end, invitor, invitee, port, &failures[p])) {
                    failures[p] +=
                        " in round " + std::to_string(rounds[p]) + ", end " + std::to_string(end);
                }
                rounds[p]++;
            }
        });
    }
    // A seventh client asks for the list and checks an account meanwhile.
    int watcherAnswers = 0;
    int watcherFailures = 0;
    LobbyPlayer watcher("watcher");
    ASSERT_TRUE(watcher.connect(port));
    while (clockMonotonicMs() < deadline) {
        bool listed = watcher.ask(REQ_MULTI_SENDPLAYERLIST) == RES_OK;
        bool checked = watcher.askRaw(REQ_CHECKUSER, credentials("stress0", "")) == RES_OK;
        (listed && checked ? watcherAnswers : watcherFailures)++;
        usleep(20000);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    int totalRounds = 0;
    for (int p = 0; p < PAIRS; p++) {
        EXPECT_EQ(failures[p], "") << "pair " << p << " after " << rounds[p] << " rounds";
        totalRounds += rounds[p];
    }
    EXPECT_GE(totalRounds, 2 * PAIRS) << "the lobby hardly moved";
    EXPECT_EQ(watcherFailures, 0);
    EXPECT_GT(watcherAnswers, 100);
    EXPECT_EQ(server.stop(), 0) << server.output().substr(0, 4000);
    std::string output = server.output();
    EXPECT_EQ(output.find("ASSERTION FAILED"), std::string::npos);
    EXPECT_EQ(output.find("ThreadSanitizer"), std::string::npos) << output.substr(
        output.find("ThreadSanitizer") > 2000 ? output.find("ThreadSanitizer") - 2000 : 0, 8000);
    printf("stress rounds: %d, watcher answers: %d\n", totalRounds, watcherAnswers);
}
