// LobbyOverLoopbackTest.cpp - the real server binary and clients that speak
// only the wire format: the lobby's requests and messages byte for byte, a
// whole game with rejection, cancellation and acceptance, stops from either
// side, departures at every stage of an invitation and a game, and several
// pairs playing at once.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FreePort.h"
#include "GameProtocol.h"
#include "LobbyPlayer.h"
#include "LoopbackClient.h"
#include "ServerProcess.h"
#include "TempDir.h"

namespace {

const int QUIET_MS = 1500;

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
    EXPECT_FALSE(ann.getReader().anyMessageWithin(QUIET_MS));

    // Back to attached, out of the list; both may add themselves again.
    ASSERT_EQ(ann.ask(REQ_MULTI_ADDMULTIPLAYER), RES_OK);
    EXPECT_TRUE(bob.expectList({"ann"}, &why)) << why;
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

TEST_F(LobbyOverLoopbackTest, ThreePairsPlayAtOnceAndEitherSideEndsTheGame) {
    // Pair 0: the invitor stops; pair 1: the invitee stops; pair 2: the
    // invitee leaves during the game.
    const int pairs = 3;
    std::vector<std::unique_ptr<LobbyPlayer>> players;
    for (int i = 0; i < 2 * pairs; i++) {
        players.emplace_back(new LobbyPlayer("player" + std::to_string(i)));
        ASSERT_TRUE(signUpPlayer(server.port(), players.back()->getName()));
        ASSERT_TRUE(players.back()->connect(server.port()));
    }
    std::vector<std::string> failures(pairs);
    std::vector<std::string> layouts(pairs);
    std::vector<std::thread> threads;
    for (int p = 0; p < pairs; p++) {
        threads.emplace_back([&, p] {
            LobbyPlayer* invitor = players[2 * p].get();
            LobbyPlayer* invitee = players[2 * p + 1].get();
            std::string* why = &failures[p];
            if (!enterLobbyTogether(invitor, invitee, why) ||
                !playUpToTheCards(invitor, invitee, &layouts[p], why)) {
                return;
            }
            std::string expected = int32le(p == 2 ? 2 : 3);
            if (p == 0) {
                invitor->sendStop();
            } else if (p == 1) {
                invitee->sendStop();
            } else {
                invitee->getClient().close();
            }
            if (!invitor->expectPayload(MSG_GAMEFINISHED, expected, why)) {
                return;
            }
            if (p != 2) {
                invitee->expectPayload(MSG_GAMEFINISHED, expected, why);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int p = 0; p < pairs; p++) {
        EXPECT_EQ(failures[p], "") << "pair " << p;
    }
    EXPECT_EQ(server.output().find("Failed bitterly!"), std::string::npos);
}
