// LobbyOverLoopbackTest.cpp - the lobby and two-player games of the server binary, byte for byte.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "LobbyPlayer.h"
#include "Process.h"

namespace {

enum Stage {
    INVITED,           // the invitee leaves after the invitation
    INVITING,          // the invitor leaves after the invitation
    ACCEPTED_INVITEE,  // the invitee leaves right after accepting
    ACCEPTED_INVITOR,  // the invitor leaves right after the acceptance
    COUNTDOWN,         // the invitor leaves after the first countdown
    STARTED,           // the invitee leaves after the start, before the cards
};

class LobbyOverLoopbackTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(server.stop(), 0) << server.output();
        EXPECT_EQ(server.output().find("ASSERTION FAILED"), std::string::npos);
    }
    std::vector<std::unique_ptr<LobbyPlayer>> join(int count, const std::string& config = "") {
        EXPECT_TRUE(server.start(dir.path(), freePort(), config)) << server.output();
        std::vector<std::unique_ptr<LobbyPlayer>> players;
        for (int i = 0; i < count; i++) {
            const char* const small[] = {"ann", "bob", "cat"};
            std::string name = count <= 3 ? small[i] : "p" + std::to_string(i);
            players.emplace_back(new LobbyPlayer(name));
            EXPECT_TRUE(signUpPlayer(server.port(), name) && players[i]->connect(server.port()));
        }
        return players;
    }

    TempDir dir;
    ServerProcess server;
};

// Plays a pair up to `stage`, lets one leave, and checks what the other is told and where it
// is left: back on the list after an invitation (a second add is refused), attached after a game.
bool departAt(Stage stage, LobbyPlayer* invitor, LobbyPlayer* invitee, std::string* why) {
    bool inviteeLeaves = stage == INVITED || stage == ACCEPTED_INVITEE || stage == STARTED;
    LobbyPlayer* leaver = inviteeLeaves ? invitee : invitor;
    LobbyPlayer* survivor = inviteeLeaves ? invitor : invitee;
    bool accepted = stage != INVITED && stage != INVITING;
    Envelope message{};
    if (!enterLobbyTogether(invitor, invitee, why) ||
        invitor->ask(REQ_MULTI_INVITEMULTIPLAYER, invitee->getName()) != RES_OK ||
        !invitee->expectPayload(MSG_INVITEMULTIPLAYER, nameField(invitor->getName()), why) ||
        (accepted && invitee->ask(REQ_MULTI_ACCEPTINVITATION, invitor->getName()) != RES_OK) ||
        (stage == COUNTDOWN &&
         (!invitor->expectPayload(MSG_ACCEPTINVITATION, nameField(invitee->getName()), why) ||
          !invitor->expect(MSG_COUNTDOWNFORPLAY, &message, why))) ||
        (stage == STARTED && !invitee->expectCountdownAndStart(invitor->getName(), why))) {
        return lobbyStepFailed(why, *why + " (before leaving)");
    }
    leaver->getClient().close();
    // An invitee leaving right after its accept rejects while the acceptance is not out yet.
    bool rejecting = stage == ACCEPTED_INVITEE &&
                     survivor->getReader().next(&message, LOBBY_MESSAGE_WAIT_MS) &&
                     message.id == MSG_REJECTINVITATION;
    if (!accepted || rejecting) {
        int told = stage == INVITING ? MSG_CANCELINVITATION : MSG_REJECTINVITATION;
        return ((rejecting || survivor->expect(told, &message, why)) &&
                message.payload == nameField(leaver->getName()) &&
                survivor->ask(REQ_MULTI_ADDMULTIPLAYER) == RES_MULTI_PLAYERNOTACCEPTED) ||
               lobbyStepFailed(why, *why + " (not told and back in the list)");
    }
    if (stage == ACCEPTED_INVITEE && message.id != MSG_ACCEPTINVITATION) {
        return lobbyStepFailed(why, "message " + std::to_string(message.id) + " after the accept");
    }
    // Only the game's own messages come before its end. A leaver right after the start races the
    // cards: when that send fails first, the game ends on the failed send and the survivor is
    // told a finished game (1), not a departure (2).
    while (survivor->getReader().next(&message, LOBBY_MESSAGE_WAIT_MS) &&
           message.id != MSG_GAMEFINISHED) {
        if (message.id != MSG_COUNTDOWNFORPLAY && message.id != MSG_STARTGAMEMASTER &&
            message.id != MSG_RECEIVECARDS && message.id != MSG_ACCEPTINVITATION) {
            return lobbyStepFailed(why, "message " + std::to_string(message.id) + " in the game");
        }
    }
    bool departure =
        message.payload == int32le(2) || (stage == STARTED && message.payload == int32le(1));
    return (message.id == MSG_GAMEFINISHED && departure &&
            survivor->ask(REQ_MULTI_ADDMULTIPLAYER) == RES_OK) ||
           lobbyStepFailed(why, "no end as a departure, or not attached after it");
}

TEST_F(LobbyOverLoopbackTest, OutOfTurnRequestsThenAGameWithRejectionCancellationAndAcceptance) {
    auto players = join(3);
    LobbyPlayer& ann = *players[0];
    LobbyPlayer& bob = *players[1];
    std::string why;
    const struct {
        LobbyPlayer* player;
        int type;
        std::string other;
        int expected;
    } cases[] = {
        // Nobody is attached.
        {&ann, REQ_MULTI_INVITEMULTIPLAYER, "bob", RES_MULTI_PLAYERNOTKNOWN},
        {&ann, REQ_MULTI_CANCELINVITATION, "bob", RES_MULTI_PLAYERNOTKNOWN},
        {&ann, REQ_MULTI_ACCEPTINVITATION, "bob", RES_MULTI_PLAYERNOTKNOWN},
        {&ann, REQ_MULTI_REJECTINVITATION, "bob", RES_MULTI_PLAYERNOTKNOWN},
        {&ann, REQ_MULTI_ADDMULTIPLAYER, "", RES_MULTI_PLAYERNOTACCEPTED},
        {&ann, REQ_MULTI_REMOVEMULTIPLAYER, "", RES_MULTI_PLAYERNOTKNOWN},
        {&ann, REQ_MULTI_DETACHMULTIPLAYER, "", RES_MULTI_PLAYERNOTKNOWN},
        {&ann, REQ_MULTI_INVITEMULTIPLAYER, std::string(19, 'x'), RES_MULTI_PLAYERNOTKNOWN},
        // Both attached (a second attach is refused), nobody invited, nobody listed.
        {&ann, REQ_MULTI_ATTACHMULTIPLAYER, "", RES_OK},
        {&ann, REQ_MULTI_ATTACHMULTIPLAYER, "", RES_MULTI_PLAYERNOTACCEPTED},
        {&bob, REQ_MULTI_ATTACHMULTIPLAYER, "", RES_OK},
        {&bob, REQ_MULTI_ACCEPTINVITATION, "ann", RES_MULTI_PLAYERNOTKNOWN},
        {&bob, REQ_MULTI_REJECTINVITATION, "ann", RES_MULTI_PLAYERNOTKNOWN},
        {&bob, REQ_MULTI_CANCELINVITATION, "ann", RES_MULTI_PLAYERNOTKNOWN},
        {&ann, REQ_MULTI_INVITEMULTIPLAYER, "ann", RES_MULTI_PLAYERNOTKNOWN},
        {&ann, REQ_MULTI_INVITEMULTIPLAYER, "bob", RES_MULTI_PLAYERNOTKNOWN},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        EXPECT_EQ(cases[i].player->ask(cases[i].type, cases[i].other), cases[i].expected)
            << "case " << i;
    }
    ASSERT_EQ(ann.ask(REQ_MULTI_ADDMULTIPLAYER), RES_OK);
    ASSERT_EQ(bob.ask(REQ_MULTI_ADDMULTIPLAYER), RES_OK);
    const std::vector<ListedPlayer> both = {{1, "ann"}, {2, "bob"}};
    EXPECT_TRUE(bob.getReader().waitForLatest(both, LOBBY_MESSAGE_WAIT_MS));
    Answer list = ask(&ann.getClient(), REQ_MULTI_SENDPLAYERLIST, credentials("ann", "pw"));
    EXPECT_EQ(list.payload, std::string(1, RES_OK) + int32le(1) + nameField("ann") + int32le(2) +
                                nameField("bob"));

    // Invite and reject, then invite and cancel: accepting an invitation gone is refused.
    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancel" : "reject");
        LobbyPlayer& answering = cancel ? ann : bob;
        LobbyPlayer& told = cancel ? bob : ann;
        ASSERT_EQ(ann.ask(REQ_MULTI_INVITEMULTIPLAYER, "bob"), RES_OK);
        ASSERT_TRUE(bob.expectPayload(MSG_INVITEMULTIPLAYER, nameField("ann"), &why)) << why;
        EXPECT_TRUE(ann.getReader().waitForLatest({}, LOBBY_MESSAGE_WAIT_MS));
        EXPECT_EQ(bob.ask(REQ_MULTI_ACCEPTINVITATION, "cat"), RES_MULTI_PLAYERNOTKNOWN);
        int type = cancel ? REQ_MULTI_CANCELINVITATION : REQ_MULTI_REJECTINVITATION;
        ASSERT_EQ(answering.ask(type, told.getName()), RES_OK);
        EXPECT_EQ(bob.ask(REQ_MULTI_ACCEPTINVITATION, "ann"), RES_MULTI_PLAYERNOTKNOWN);
        int message = cancel ? MSG_CANCELINVITATION : MSG_REJECTINVITATION;
        ASSERT_TRUE(told.expectPayload(message, nameField(answering.getName()), &why)) << why;
        EXPECT_TRUE(ann.getReader().waitForLatest(both, LOBBY_MESSAGE_WAIT_MS));
    }

    // Invite, accept, countdown, start, cards; bob stops; both are attached, out of the list.
    std::string cards;
    ASSERT_TRUE(playUpToTheCards(&ann, &bob, &cards, &why)) << why;
    // The operator's views while ann and bob play and cat waits on the list.
    ASSERT_EQ(players[2]->ask(REQ_MULTI_ATTACHMULTIPLAYER), RES_OK);
    ASSERT_EQ(players[2]->ask(REQ_MULTI_ADDMULTIPLAYER), RES_OK);
    size_t before = server.output().size();
    ASSERT_TRUE(server.sendConsole("status\nplayers\n"));
    ASSERT_TRUE(server.waitForOutput("3 players attached\n", 5000)) << server.output();
    std::string views = server.output().substr(before);
    for (const char* line : {
             "Store:     file\n",
             "Accounts:  3\n",
             "Clients:   3 connected of 8\n",
             "Players:   3 attached, 1 on the list, 0 inviting, 0 in a countdown, 2 playing\n",
             "Games:     1 running of 50\n",
             "  REQ_SIGNUP                            3\n",
             "  REQ_MULTI_ATTACHMULTIPLAYER           4\n",
             "|    1|       ann|playing        |       bob|\n",
             "|    2|       bob|playing        |       ann|\n",
             "|    3|       cat|on the list    |          |\n",
         }) {
        EXPECT_NE(views.find(line), std::string::npos) << line << "in:\n" << views;
    }
    ASSERT_TRUE(bob.sendStop());
    EXPECT_TRUE(ann.expectPayload(MSG_GAMEFINISHED, int32le(3), &why)) << why;
    EXPECT_TRUE(bob.expectPayload(MSG_GAMEFINISHED, int32le(3), &why)) << why;
    ASSERT_EQ(ann.ask(REQ_MULTI_ADDMULTIPLAYER), RES_OK);
    // This list comes after anything the ended game could still send.
    EXPECT_TRUE(ann.getReader().waitForLatest({{1, "ann"}, {3, "cat"}}, LOBBY_MESSAGE_WAIT_MS));
    EXPECT_FALSE(ann.getReader().anyMessageWithin(0)) << "a message after the end";
    for (const char* line : {
             "SEND MESSAGE: invitation from ann ...Succeeded!\n",
             "SEND MESSAGE: invitation rejected by bob ...Succeeded!\n",
             "SEND MESSAGE: cancel invitation from ann ...Succeeded!\n",
             "SEND MESSAGE to bob: prepare 0 invitor ann, invitee bob. Succeeded!\n",
             "SEND MESSAGE to ann: start game, invitor ann, invitee bob ...Succeeded!\n",
             "SEND MESSAGE to bob: finish game...Succeeded!\n",
             "SEND MESSAGE: Receive playlist to user  2\n",
         }) {
        EXPECT_TRUE(server.waitForOutput(line, 1000)) << line;
    }
}

TEST_F(LobbyOverLoopbackTest, DeparturesAtEveryStageOfAnInvitationAndAGame) {
    auto players = join(12, "max_clients 12\n");
    std::vector<std::string> failures(6);
    std::vector<std::thread> threads;
    for (int stage = INVITED; stage <= STARTED; stage++) {
        threads.emplace_back([&, stage] {
            departAt(static_cast<Stage>(stage), players[2 * stage].get(),
                     players[2 * stage + 1].get(), &failures[stage]);
        });
    }
    for (int stage = INVITED; stage <= STARTED; stage++) {
        threads[stage].join();
        EXPECT_EQ(failures[stage], "") << "stage " << stage;
    }
}

// All 50 games run at once among 100 clients; the 101st connection is closed without a byte.
TEST_F(LobbyOverLoopbackTest, HundredClientsPlayFiftyGamesAtOnceAndTheNextConnectionIsRefused) {
    auto players = join(100, "max_clients 100\n");
    std::vector<std::string> failures(50);
    std::vector<std::thread> threads;
    for (int p = 0; p < 50; p++) {
        threads.emplace_back([&, p] {
            LobbyPlayer* invitor = players[2 * p].get();
            LobbyPlayer* invitee = players[2 * p + 1].get();
            std::string cards;
            // The invitation is looked for among the lists of the 49 other pairs.
            if (enterLobbyTogether(invitee, invitor, &failures[p])) {
                playUpToTheCards(invitor, invitee, &cards, &failures[p]);
            }
        });
    }
    for (int p = 0; p < 50; p++) {
        threads[p].join();
        EXPECT_EQ(failures[p], "") << "pair " << p;
    }
    LoopbackClient extra;
    ASSERT_TRUE(extra.connectTo(server.port()));
    EXPECT_EQ(extra.receiveRaw(1000), "");
    EXPECT_TRUE(extra.waitClosed(3000));
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(countOccurrences(server.output(), "INFO: Client refused\n"), 1);
    EXPECT_EQ(countOccurrences(server.output(), "Game created: id="), 50);
    EXPECT_EQ(server.output().find("Failed bitterly!"), std::string::npos);
}

}  // namespace
