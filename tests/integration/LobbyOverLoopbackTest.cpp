// LobbyOverLoopbackTest.cpp - the real server binary and clients that speak
// only the wire format: the lobby's requests and messages byte for byte, a
// whole game with rejection, cancellation and acceptance, departures at
// every stage of an invitation and a game, and a full house of 100 clients
// in 50 games. (Pairs stopping from either side while others play are the
// load test's pair workers.)
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "GameProtocol.h"
#include "LobbyPlayer.h"
#include "LoopbackClient.h"
#include "Process.h"
#include "SimpleOsa.h"

namespace {

class LobbyOverLoopbackTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start(dir.path(), freePort())) << server.output(); }
    void TearDown() override {
        int status = server.stop();
        EXPECT_EQ(status, 0) << server.output();
        EXPECT_EQ(server.output().find("ASSERTION FAILED"), std::string::npos);
    }
    // Signs the players up and connects them.
    void join(std::vector<LobbyPlayer*> players) {
        for (LobbyPlayer* player : players) {
            ASSERT_TRUE(signUpPlayer(server.port(), player->getName())) << player->getName();
            ASSERT_TRUE(player->connect(server.port())) << player->getName();
        }
    }

    TempDir dir;
    ServerProcess server;
};

std::string code(int value) {
    return std::string(1, static_cast<char>(value));
}

// Reads the survivor's messages until MSG_GAMEFINISHED; only the
// acceptance, countdown, start and card messages may come before it.
// Checks the finish payload: `finishState`, or `otherFinishState` where two
// outcomes are both right (-1: none).
bool expectEndSkippingGame(LobbyPlayer* survivor, int finishState, std::string* why,
                           int otherFinishState = -1) {
    for (;;) {
        Envelope message;
        if (!survivor->getReader().next(&message, LOBBY_MESSAGE_WAIT_MS)) {
            *why = survivor->getName() + ": no end of the game";
            return false;
        }
        if (message.id == MSG_GAMEFINISHED) {
            if (message.payload != int32le(finishState) &&
                (otherFinishState < 0 || message.payload != int32le(otherFinishState))) {
                *why = survivor->getName() + ": wrong finish state " +
                       (message.payload.size() == 4
                            ? std::to_string(readInt32le(message.payload, 0))
                            : "of " + std::to_string(message.payload.size()) + " bytes");
                return false;
            }
            return true;
        }
        if (message.id != MSG_COUNTDOWNFORPLAY && message.id != MSG_STARTGAMEMASTER &&
            message.id != MSG_RECEIVECARDS && message.id != MSG_ACCEPTINVITATION) {
            *why = survivor->getName() + ": message " + std::to_string(message.id);
            return false;
        }
    }
}

typedef enum {
    STAGE_INVITED,           // the invitee leaves after the invitation
    STAGE_INVITING,          // the invitor leaves after the invitation
    STAGE_ACCEPTED_INVITEE,  // the invitee leaves right after accepting
    STAGE_ACCEPTED_INVITOR,  // the invitor leaves right after the acceptance
    STAGE_COUNTDOWN,         // the invitor leaves after the first countdown
    STAGE_STARTED,           // the invitee leaves after the start, before the cards
} departureStage_t;

bool failWith(std::string* why, const std::string& text) {
    *why += text;
    return false;
}

// The invitee leaves right after accepting: before the acceptance went out
// this is a rejection; after it, the end of the game that was to start.
bool inviteeLeftAfterAccepting(LobbyPlayer* invitor, std::string* why) {
    Envelope message;
    if (!invitor->getReader().next(&message, LOBBY_MESSAGE_WAIT_MS)) {
        return failWith(why, "nothing after the invitee left");
    }
    if (message.id == MSG_REJECTINVITATION) {
        return invitor->ask(REQ_MULTI_ADDMULTIPLAYER) == RES_MULTI_PLAYERNOTACCEPTED ||
               failWith(why, "not back in the list after the rejection");
    }
    if (message.id != MSG_ACCEPTINVITATION) {
        return failWith(why, "message " + std::to_string(message.id));
    }
    return expectEndSkippingGame(invitor, 2, why) &&
           (invitor->ask(REQ_MULTI_ADDMULTIPLAYER) == RES_OK || failWith(why, "not attached"));
}

// The invitation is out; one of the two leaves before it is answered. The
// other is told and is back in the list (a second add is refused).
bool leaveInvitation(departureStage_t stage, LobbyPlayer* invitor, LobbyPlayer* invitee,
                     std::string* why) {
    LobbyPlayer* leaver = stage == STAGE_INVITED ? invitee : invitor;
    LobbyPlayer* survivor = stage == STAGE_INVITED ? invitor : invitee;
    int told = stage == STAGE_INVITED ? MSG_REJECTINVITATION : MSG_CANCELINVITATION;
    leaver->getClient().close();
    return survivor->expectPayload(told, nameField(leaver->getName()), why) &&
           (survivor->ask(REQ_MULTI_ADDMULTIPLAYER) == RES_MULTI_PLAYERNOTACCEPTED ||
            failWith(why, "not back in the list"));
}

// Plays one pair up to `stage`, lets one of them leave and checks what the
// other is told and where it is left.
bool departAt(departureStage_t stage, LobbyPlayer* invitor, LobbyPlayer* invitee,
              std::string* why) {
    if (!enterLobbyTogether(invitor, invitee, why)) {
        return false;
    }
    if (invitor->ask(REQ_MULTI_INVITEMULTIPLAYER, invitee->getName()) != RES_OK ||
        !invitee->expectPayload(MSG_INVITEMULTIPLAYER, nameField(invitor->getName()), why)) {
        return failWith(why, " (invitation)");
    }
    if (stage == STAGE_INVITED || stage == STAGE_INVITING) {
        return leaveInvitation(stage, invitor, invitee, why);
    }
    if (invitee->ask(REQ_MULTI_ACCEPTINVITATION, invitor->getName()) != RES_OK) {
        return failWith(why, "accept refused");
    }
    if (stage == STAGE_ACCEPTED_INVITEE) {
        invitee->getClient().close();
        return inviteeLeftAfterAccepting(invitor, why);
    }
    LobbyPlayer* leaver = invitor;
    LobbyPlayer* survivor = invitee;
    Envelope first;
    if (stage == STAGE_COUNTDOWN &&
        (!invitor->expectPayload(MSG_ACCEPTINVITATION, nameField(invitee->getName()), why) ||
         !invitor->expect(MSG_COUNTDOWNFORPLAY, &first, why))) {
        return false;
    }
    if (stage == STAGE_STARTED) {
        if (!invitee->expectCountdownAndStart(invitor->getName(), why)) {
            return false;
        }
        leaver = invitee;
        survivor = invitor;
    }
    leaver->getClient().close();
    // Told that the other player left; attached again, out of the list. A
    // player who leaves right after the start races the game's card message:
    // when that send to the leaver fails first, the game ends on the failed
    // send and the survivor is told a finished game (1), not a departure (2).
    int alsoRight = stage == STAGE_STARTED ? 1 : -1;
    return expectEndSkippingGame(survivor, 2, why, alsoRight) &&
           (survivor->ask(REQ_MULTI_ADDMULTIPLAYER) == RES_OK || failWith(why, "not attached"));
}

}  // namespace

TEST_F(LobbyOverLoopbackTest, AGameWithRejectionCancellationAndAcceptance) {
    LobbyPlayer ann("ann");
    LobbyPlayer bob("bob");
    join({&ann, &bob});
    std::string why;
    ASSERT_EQ(ann.ask(REQ_MULTI_ATTACHMULTIPLAYER), RES_OK);
    ASSERT_EQ(bob.ask(REQ_MULTI_ATTACHMULTIPLAYER), RES_OK);
    EXPECT_EQ(ann.ask(REQ_MULTI_ATTACHMULTIPLAYER), RES_MULTI_PLAYERNOTACCEPTED) << "twice";
    ASSERT_EQ(ann.ask(REQ_MULTI_ADDMULTIPLAYER), RES_OK);
    ASSERT_EQ(bob.ask(REQ_MULTI_ADDMULTIPLAYER), RES_OK);
    EXPECT_TRUE(ann.expectList({"ann", "bob"}, &why)) << why;
    EXPECT_TRUE(bob.expectList({"ann", "bob"}, &why)) << why;
    std::string list;
    ASSERT_TRUE(ann.getClient().request(REQ_MULTI_SENDPLAYERLIST, credentials("ann", "pw"), &list));
    EXPECT_EQ(list, code(RES_OK) + int32le(1) + nameField("ann") + int32le(2) + nameField("bob"));

    // Invite, reject.
    EXPECT_EQ(ann.ask(REQ_MULTI_INVITEMULTIPLAYER, "nobody"), RES_MULTI_PLAYERNOTKNOWN);
    ASSERT_EQ(ann.ask(REQ_MULTI_INVITEMULTIPLAYER, "bob"), RES_OK);
    ASSERT_TRUE(bob.expectPayload(MSG_INVITEMULTIPLAYER, nameField("ann"), &why)) << why;
    EXPECT_TRUE(ann.expectList({}, &why)) << why;
    EXPECT_TRUE(bob.expectList({}, &why)) << why;
    EXPECT_EQ(bob.ask(REQ_MULTI_ACCEPTINVITATION, "cat"), RES_MULTI_PLAYERNOTKNOWN);
    ASSERT_EQ(bob.ask(REQ_MULTI_REJECTINVITATION, "ann"), RES_OK);
    ASSERT_TRUE(ann.expectPayload(MSG_REJECTINVITATION, nameField("bob"), &why)) << why;
    EXPECT_TRUE(ann.expectList({"ann", "bob"}, &why)) << why;
    EXPECT_TRUE(bob.expectList({"ann", "bob"}, &why)) << why;

    // Invite, cancel: accepting the cancelled invitation is refused.
    ASSERT_EQ(ann.ask(REQ_MULTI_INVITEMULTIPLAYER, "bob"), RES_OK);
    ASSERT_TRUE(bob.expectPayload(MSG_INVITEMULTIPLAYER, nameField("ann"), &why)) << why;
    ASSERT_EQ(ann.ask(REQ_MULTI_CANCELINVITATION, "bob"), RES_OK);
    EXPECT_EQ(bob.ask(REQ_MULTI_ACCEPTINVITATION, "ann"), RES_MULTI_PLAYERNOTKNOWN);
    ASSERT_TRUE(bob.expectPayload(MSG_CANCELINVITATION, nameField("ann"), &why)) << why;
    EXPECT_TRUE(ann.expectList({"ann", "bob"}, &why)) << why;
    EXPECT_TRUE(bob.expectList({"ann", "bob"}, &why)) << why;

    // Invite, accept, countdown, start, cards; bob stops.
    std::string cards;
    ASSERT_TRUE(playUpToTheCards(&ann, &bob, &cards, &why)) << why;
    ASSERT_TRUE(bob.sendStop());
    std::string stopped = int32le(3);
    EXPECT_TRUE(ann.expectPayload(MSG_GAMEFINISHED, stopped, &why)) << why;
    EXPECT_TRUE(bob.expectPayload(MSG_GAMEFINISHED, stopped, &why)) << why;

    // Back to attached, out of the list; both may add themselves again. The
    // list that follows comes after anything the ended game could still send.
    ASSERT_EQ(ann.ask(REQ_MULTI_ADDMULTIPLAYER), RES_OK);
    EXPECT_TRUE(bob.expectList({"ann"}, &why)) << why;
    EXPECT_TRUE(ann.expectList({"ann"}, &why)) << why;
    EXPECT_FALSE(ann.getReader().anyMessageWithin(0)) << "a message after the end";
    EXPECT_TRUE(server.waitForOutput("SEND MESSAGE: invitation from ann ...Succeeded!\n", 1000));
    EXPECT_TRUE(
        server.waitForOutput("SEND MESSAGE: invitation rejected by bob ...Succeeded!\n", 10));
    EXPECT_TRUE(
        server.waitForOutput("SEND MESSAGE: cancel invitation from ann ...Succeeded!\n", 10));
    EXPECT_TRUE(server.waitForOutput(
        "SEND MESSAGE to bob: prepare 0 invitor ann, invitee bob. Succeeded!\n", 10));
    EXPECT_TRUE(server.waitForOutput(
        "SEND MESSAGE to ann: start game, invitor ann, invitee bob ...Succeeded!\n", 10));
    EXPECT_TRUE(server.waitForOutput("SEND MESSAGE to bob: finish game...Succeeded!\n", 10));
    EXPECT_TRUE(server.waitForOutput("SEND MESSAGE: Receive playlist to user  2\n", 10));
}

namespace {

void runDepartures(ServerProcess* server, const std::vector<departureStage_t>& stages) {
    std::vector<std::unique_ptr<LobbyPlayer>> players;
    for (size_t i = 0; i < 2 * stages.size(); i++) {
        players.emplace_back(new LobbyPlayer("leaver" + std::to_string(i)));
        ASSERT_TRUE(signUpPlayer(server->port(), players.back()->getName()));
    }
    for (std::unique_ptr<LobbyPlayer>& player : players) {
        ASSERT_TRUE(player->connect(server->port()));
    }
    std::vector<std::string> failures(stages.size());
    std::vector<int> outcomes(stages.size(), 0);
    std::vector<std::thread> threads;
    for (size_t p = 0; p < stages.size(); p++) {
        threads.emplace_back([&, p] {
            outcomes[p] =
                departAt(stages[p], players[2 * p].get(), players[2 * p + 1].get(), &failures[p])
                    ? 1
                    : -1;
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (size_t p = 0; p < stages.size(); p++) {
        EXPECT_EQ(outcomes[p], 1) << "stage " << stages[p] << ": " << failures[p];
    }
}

}  // namespace

TEST_F(LobbyOverLoopbackTest, DeparturesDuringTheInvitation) {
    runDepartures(&server, {STAGE_INVITED, STAGE_INVITING, STAGE_ACCEPTED_INVITEE});
}

TEST_F(LobbyOverLoopbackTest, DeparturesAfterTheAcceptanceDuringTheCountdownAndAtTheStart) {
    runDepartures(&server, {STAGE_ACCEPTED_INVITOR, STAGE_COUNTDOWN, STAGE_STARTED});
}

TEST_F(LobbyOverLoopbackTest, OutOfTurnRequestsAreRefusedAndTheServerStaysUp) {
    LobbyPlayer ann("ann");
    LobbyPlayer bob("bob");
    join({&ann, &bob});
    // Nobody is attached: every lobby request is refused, none ends the server.
    EXPECT_EQ(ann.ask(REQ_MULTI_INVITEMULTIPLAYER, "bob"), RES_MULTI_PLAYERNOTKNOWN);
    EXPECT_EQ(ann.ask(REQ_MULTI_CANCELINVITATION, "bob"), RES_MULTI_PLAYERNOTKNOWN);
    EXPECT_EQ(ann.ask(REQ_MULTI_ACCEPTINVITATION, "bob"), RES_MULTI_PLAYERNOTKNOWN);
    EXPECT_EQ(ann.ask(REQ_MULTI_REJECTINVITATION, "bob"), RES_MULTI_PLAYERNOTKNOWN);
    EXPECT_EQ(ann.ask(REQ_MULTI_ADDMULTIPLAYER), RES_MULTI_PLAYERNOTACCEPTED);
    EXPECT_EQ(ann.ask(REQ_MULTI_REMOVEMULTIPLAYER), RES_MULTI_PLAYERNOTKNOWN);
    EXPECT_EQ(ann.ask(REQ_MULTI_DETACHMULTIPLAYER), RES_MULTI_PLAYERNOTKNOWN);
    EXPECT_TRUE(ann.sendStop());
    EXPECT_EQ(ann.ask(REQ_MULTI_INVITEMULTIPLAYER, std::string(19, 'x')), RES_MULTI_PLAYERNOTKNOWN);
    // Attached, nobody invited: answers to invitations that do not exist.
    ASSERT_EQ(ann.ask(REQ_MULTI_ATTACHMULTIPLAYER), RES_OK);
    ASSERT_EQ(bob.ask(REQ_MULTI_ATTACHMULTIPLAYER), RES_OK);
    EXPECT_EQ(bob.ask(REQ_MULTI_ACCEPTINVITATION, "ann"), RES_MULTI_PLAYERNOTKNOWN);
    EXPECT_EQ(bob.ask(REQ_MULTI_REJECTINVITATION, "ann"), RES_MULTI_PLAYERNOTKNOWN);
    EXPECT_EQ(bob.ask(REQ_MULTI_CANCELINVITATION, "ann"), RES_MULTI_PLAYERNOTKNOWN)
        << "bob invited nobody";
    EXPECT_EQ(ann.ask(REQ_MULTI_INVITEMULTIPLAYER, "ann"), RES_MULTI_PLAYERNOTKNOWN);
    EXPECT_EQ(ann.ask(REQ_MULTI_INVITEMULTIPLAYER, "bob"), RES_MULTI_PLAYERNOTKNOWN)
        << "bob is not listed";
    EXPECT_TRUE(bob.sendStop());
    EXPECT_TRUE(server.waitForOutput("ERROR: Message for user 2 without game\n", 3000));
    EXPECT_TRUE(server.waitForOutput("ERROR: Message for non-attached player 1\n", 10));
    std::string list;
    ASSERT_TRUE(bob.getClient().request(REQ_MULTI_SENDPLAYERLIST, credentials("bob", "pw"), &list));
    EXPECT_EQ(list, code(RES_OK));
}

// The operator's console views while two play and one waits on the list.
TEST_F(LobbyOverLoopbackTest, ConsoleStatusAndPlayersShowTheLobby) {
    LobbyPlayer ann("ann");
    LobbyPlayer bob("bob");
    LobbyPlayer cat("cat");
    join({&ann, &bob, &cat});
    std::string why;
    ASSERT_TRUE(enterLobbyTogether(&ann, &bob, &why)) << why;
    std::string cards;
    ASSERT_TRUE(playUpToTheCards(&ann, &bob, &cards, &why)) << why;
    ASSERT_EQ(cat.ask(REQ_MULTI_ATTACHMULTIPLAYER), RES_OK);
    ASSERT_EQ(cat.ask(REQ_MULTI_ADDMULTIPLAYER), RES_OK);

    size_t before = server.output().size();
    ASSERT_TRUE(server.sendConsole("status\n"));
    ASSERT_TRUE(server.sendConsole("players\n"));
    ASSERT_TRUE(server.waitForOutput("3 players attached\n", 5000)) << server.output();
    std::string views = server.output().substr(before);
    for (const char* line : {
             "Store:     file\n",
             "Accounts:  3\n",
             "Clients:   3 connected of 8\n",
             "Players:   3 attached, 1 on the list, 0 inviting, 0 in a countdown, 2 playing\n",
             "Games:     1 running of 50\n",
             "|    1|       ann|playing        |       bob|\n",
             "|    2|       bob|playing        |       ann|\n",
             "|    3|       cat|on the list    |          |\n",
         }) {
        EXPECT_NE(views.find(line), std::string::npos) << line << "in:\n" << views;
    }
    // Three sign-ups on connections of their own; each player attached once.
    for (const char* type : {"REQ_SIGNUP", "REQ_MULTI_ATTACHMULTIPLAYER"}) {
        size_t at = views.find("  " + std::string(type) + " ");
        ASSERT_NE(at, std::string::npos) << type << " in:\n" << views;
        EXPECT_EQ(atol(views.c_str() + at + 2 + strlen(type)), 3) << type;
    }
}

namespace {

// Attach, add, invite, accept: each pair on its own, while 49 other pairs
// fill the player list, so the invitation is looked for among the lists.
bool pairUpAmongOthers(LobbyPlayer* invitor, LobbyPlayer* invitee, std::string* why) {
    if (invitor->ask(REQ_MULTI_ATTACHMULTIPLAYER) != RES_OK ||
        invitee->ask(REQ_MULTI_ATTACHMULTIPLAYER) != RES_OK ||
        invitee->ask(REQ_MULTI_ADDMULTIPLAYER) != RES_OK ||
        invitor->ask(REQ_MULTI_ADDMULTIPLAYER) != RES_OK) {
        return failWith(why, "attach or add refused");
    }
    if (invitor->ask(REQ_MULTI_INVITEMULTIPLAYER, invitee->getName()) != RES_OK ||
        !invitee->expectPayload(MSG_INVITEMULTIPLAYER, nameField(invitor->getName()), why) ||
        invitee->ask(REQ_MULTI_ACCEPTINVITATION, invitor->getName()) != RES_OK) {
        return failWith(why, " (invitation)");
    }
    return true;
}

}  // namespace

TEST(LobbyFullTableTest, HundredClientsPlayFiftyGamesAtOnceAndTheNextConnectionIsRefused) {
    const int pairs = 50;
    TempDir dir;
    ServerProcess server;
    ASSERT_TRUE(server.start(dir.path(), freePort(), "max_clients 100\n")) << server.output();
    ASSERT_TRUE(server.waitForOutput("INFO: Max clients       100\n", 0));
    std::vector<std::unique_ptr<LobbyPlayer>> players;
    for (int i = 0; i < 2 * pairs; i++) {
        players.emplace_back(new LobbyPlayer("full" + std::to_string(i)));
        ASSERT_TRUE(signUpPlayer(server.port(), players.back()->getName())) << i;
        ASSERT_TRUE(players.back()->connect(server.port())) << i;
    }
    // Each pair plays up to its cards, then waits for every other pair to
    // hold its own: at that moment all 50 games run.
    std::vector<std::string> failures(pairs);
    std::atomic<int> holdingCards{0};
    std::atomic<bool> allStarted{false};
    std::vector<std::thread> threads;
    for (int p = 0; p < pairs; p++) {
        threads.emplace_back([&, p] {
            LobbyPlayer* invitor = players[2 * p].get();
            LobbyPlayer* invitee = players[2 * p + 1].get();
            std::string* why = &failures[p];
            std::string cards;
            if (!pairUpAmongOthers(invitor, invitee, why) ||
                !followAcceptanceToTheCards(invitor, invitee, &cards, why)) {
                holdingCards += pairs;  // nobody waits for a pair that failed
                return;
            }
            holdingCards++;
            long long deadline = clockMonotonicMs() + 30000;
            while (!allStarted && clockMonotonicMs() < deadline) {
                threadSleep(10);
            }
            (p % 2 == 0 ? invitor : invitee)->sendStop();
            if (invitor->expectPayload(MSG_GAMEFINISHED, int32le(3), why) &&
                invitee->expectPayload(MSG_GAMEFINISHED, int32le(3), why) &&
                invitor->ask(REQ_MULTI_ADDMULTIPLAYER) != RES_OK) {
                failWith(why, "not back in the lobby");
            }
        });
    }
    long long deadline = clockMonotonicMs() + 60000;
    while (holdingCards < pairs && clockMonotonicMs() < deadline) {
        threadSleep(20);
    }
    EXPECT_EQ(holdingCards.load(), pairs) << "not every pair reached its cards in time";
    // The 101st connection is closed at once without a byte.
    LoopbackClient extra;
    ASSERT_TRUE(extra.connectTo(server.port()));
    EXPECT_EQ("", extra.receiveRaw(1000));
    EXPECT_TRUE(extra.waitClosed(3000));
    allStarted = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int p = 0; p < pairs; p++) {
        EXPECT_EQ(failures[p], "") << "pair " << p;
    }
    EXPECT_EQ(server.stop(), 0);
    std::string output = server.output();
    EXPECT_EQ(countOccurrences(output, "INFO: Client refused\n"), 1);
    EXPECT_EQ(countOccurrences(output, "Game created: id="), pairs);
    EXPECT_EQ(output.find("No free game"), std::string::npos);
    EXPECT_EQ(output.find("Failed bitterly!"), std::string::npos);
}
