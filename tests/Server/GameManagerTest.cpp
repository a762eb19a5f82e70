// GameManagerTest.cpp - the lobby's slot table and its manager thread,
// driven through the manager's public operations. Connections are real:
// "unconnected" handlers make every send fail, so the slots stay where the
// requests put them; LoopbackClients behind the in-process test server see
// what the manager thread sends, in order.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "SimpleOsa.h"
#include "GameClientHandler.h"
#include "GameManager.h"
#include "LobbyPlayer.h"
#include "TestServer.h"
#include "LoopbackClient.h"
#include "MultiPlayerGame.h"
#include "TestSupport.h"
#include "UserBase.h"
#include "UserBaseFactory.h"

namespace {

// Two passes of the manager thread and some slack.
const int MESSAGE_WAIT_MS = 3500;
const int QUIET_MS = 1500;

class GameManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(dir.file("config.ini"), "server_port 4711\n");
        dir.enter();
        store = UserBaseFactory::getUserBaseInstance();
        manager = GameManager::getInstance();
    }
    void TearDown() override {
        if (server) {
            server->stopServer();
        }
        delete manager;  // its thread sends to the handlers below: it goes first
        server.reset();
        unconnected.clear();
        UserBaseFactory::destroyUserBaseInstance();
    }

    int account(const std::string& name) {
        std::vector<char> user(name.begin(), name.end());
        user.push_back('\0');
        char password[] = "pw";
        int id = store->addUser(user.data(), password);
        EXPECT_NE(id, -1) << name;
        return id;
    }
    GameClientHandler* deaf() {
        unconnected.emplace_back(new GameClientHandler(nullptr));
        return unconnected.back().get();
    }
    multiplayUser_t slot(int userId) {
        multiplayUser_t copy = {};
        copy.userId = -1;
        copy.state = PLAYERSTATE_NOTUSED;
        manager->copyPlayerSlot(userId, &copy);
        return copy;
    }
    playerState_t state(int userId) { return slot(userId).state; }
    std::vector<char> name(const std::string& text) {
        std::vector<char> field(text.begin(), text.end());
        field.push_back('\0');
        return field;
    }
    gameManErr_t invite(int from, GameClientHandler* handler, const std::string& to) {
        return manager->invitePlayerForMultiplay(from, handler, name(to).data());
    }
    gameManErr_t cancel(int from, GameClientHandler* handler, const std::string& to) {
        return manager->cancelInvitationForMultiplay(from, handler, name(to).data());
    }
    gameManErr_t accept(int from, GameClientHandler* handler, const std::string& to) {
        return manager->acceptInvitationForMultiplay(from, handler, name(to).data());
    }
    gameManErr_t reject(int from, GameClientHandler* handler, const std::string& to) {
        return manager->rejectInvitationForMultiplay(from, handler, name(to).data());
    }
    std::vector<ListedPlayer> list(int maxListSize = PLAYERLIST_MAX_SIZE) {
        std::vector<char> buffer(PLAYERLIST_MAX_SIZE + 24, 0x55);
        int size = -1;
        EXPECT_EQ(manager->createMultiplayerList(buffer.data(), &size, maxListSize), GAMEMANERR_OK);
        std::vector<ListedPlayer> players;
        EXPECT_TRUE(parsePlayerList(std::string(buffer.data(), size < 0 ? 0 : size), &players));
        return players;
    }
    // Waits until the slot of userId is in `wanted` (the manager thread moves
    // slots on right after its sends).
    bool waitForState(int userId, playerState_t wanted) {
        return waitUntil([&] { return state(userId) == wanted; }, MESSAGE_WAIT_MS);
    }
    TestServer* liveServer() {
        if (!server) {
            server.reset(new TestServer());
            server->useGameHandlers(true);
            EXPECT_GT(server->start(), 0);
        }
        return server.get();
    }

    TempDir dir;
    UserBase* store = nullptr;
    GameManager* manager = nullptr;
    std::unique_ptr<TestServer> server;
    std::vector<std::unique_ptr<GameClientHandler>> unconnected;
};

// A player with an account and a live connection to the test server; the
// test makes its requests straight to the manager with the handler.
struct Player : LobbyPlayer {
    Player(TestServer* server, int userId, const std::string& playerName)
        : LobbyPlayer(playerName), id(userId), handler(server->connectGame(&getClient())) {}
    int id;
    GameClientHandler* handler;
};

}  // namespace

TEST_F(GameManagerTest, AttachTakesOneSlotPerUserAndAtMostAHundred) {
    GameClientHandler* first = deaf();
    GameClientHandler* second = deaf();
    ASSERT_EQ(manager->attachMultiplayer(7, first), GAMEMANERR_OK);
    multiplayUser_t attached = slot(7);
    EXPECT_EQ(attached.state, PLAYERSTATE_ATTACHED);
    EXPECT_EQ(attached.commHandler, first);
    EXPECT_EQ(attached.invitationUserId, -1);
    EXPECT_EQ(attached.game, nullptr);
    EXPECT_EQ(attached.finishState, FINISHSTATE_UNDEFINED);
    EXPECT_EQ(attached.uniqueId, 0);

    EXPECT_EQ(manager->attachMultiplayer(7, second), GAMEMANERR_PLAYERNOTADDED);
    EXPECT_EQ(slot(7).commHandler, first) << "a second attach changed the first slot";
    EXPECT_EQ(slot(7).uniqueId, 0);

    for (int id = 100; id < 100 + GAMEMANAGER_SLOT_COUNT - 1; id++) {
        ASSERT_EQ(manager->attachMultiplayer(id, second), GAMEMANERR_OK) << id;
    }
    EXPECT_EQ(slot(100).uniqueId, 1);
    EXPECT_EQ(manager->attachMultiplayer(500, second), GAMEMANERR_PLAYERNOTADDED);
    EXPECT_EQ(manager->detachMultiplayer(150, second), GAMEMANERR_OK);
    EXPECT_EQ(state(150), PLAYERSTATE_NOTUSED);
    EXPECT_EQ(manager->attachMultiplayer(500, second), GAMEMANERR_OK) << "the freed slot";
}

TEST_F(GameManagerTest, AddRemoveAndDetachResults) {
    GameClientHandler* own = deaf();
    GameClientHandler* other = deaf();
    EXPECT_EQ(manager->addPlayerForMultiplay(3, own), GAMEMANERR_PLAYERNOTADDED);
    EXPECT_EQ(manager->removePlayerForMultiplay(3, own), GAMEMANERR_PLAYERNOTREMOVED);
    EXPECT_EQ(manager->detachMultiplayer(3, own), GAMEMANERR_PLAYERNOTREMOVED);
    ASSERT_EQ(manager->attachMultiplayer(3, own), GAMEMANERR_OK);
    EXPECT_EQ(manager->addPlayerForMultiplay(3, other), GAMEMANERR_PLAYERNOTADDED)
        << "add from another connection";
    EXPECT_EQ(state(3), PLAYERSTATE_ATTACHED);
    EXPECT_EQ(manager->addPlayerForMultiplay(3, own), GAMEMANERR_OK);
    EXPECT_EQ(state(3), PLAYERSTATE_ADDED);
    EXPECT_EQ(manager->addPlayerForMultiplay(3, own), GAMEMANERR_PLAYERNOTADDED) << "twice";
    EXPECT_EQ(manager->removePlayerForMultiplay(3, other), GAMEMANERR_OK);
    EXPECT_EQ(state(3), PLAYERSTATE_ATTACHED);
    EXPECT_EQ(manager->addPlayerForMultiplay(3, own), GAMEMANERR_OK);
    EXPECT_EQ(manager->detachMultiplayer(3, other), GAMEMANERR_OK);
    multiplayUser_t gone;
    EXPECT_FALSE(manager->copyPlayerSlot(3, &gone));
    EXPECT_TRUE(list().empty());
}

TEST_F(GameManagerTest, PlayerListHoldsTheAddedPlayersInSlotOrder) {
    int ann = account("ann");
    int bob = account("bob");
    int longest = account("nineteencharacters1");
    GameClientHandler* handler = deaf();
    EXPECT_TRUE(list().empty()) << "no one added: 0 bytes";
    ASSERT_EQ(manager->attachMultiplayer(ann, handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(bob, handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(longest, handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(99, handler), GAMEMANERR_OK);  // no account
    EXPECT_TRUE(list().empty()) << "attached is not listed";
    ASSERT_EQ(manager->addPlayerForMultiplay(longest, handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->addPlayerForMultiplay(99, handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->addPlayerForMultiplay(ann, handler), GAMEMANERR_OK);
    std::vector<ListedPlayer> expected = {{ann, "ann"}, {longest, "nineteencharacters1"}, {99, ""}};
    EXPECT_EQ(list(), expected);

    // The record bytes are checked over the wire; here the cut.
    EXPECT_EQ(list(2 * PLAYERLIST_RECORD_SIZE + 5).size(), 2u) << "cut to whole records";
}

TEST_F(GameManagerTest, InvitationsAreRefusedOutOfTurn) {
    int ann = account("ann");
    int bob = account("bob");
    int cat = account("cat");
    account("dan");  // an account without a slot
    GameClientHandler* a = deaf();
    GameClientHandler* b = deaf();
    GameClientHandler* c = deaf();
    ASSERT_EQ(manager->attachMultiplayer(ann, a), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(bob, b), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(cat, c), GAMEMANERR_OK);
    EXPECT_EQ(invite(ann, a, "dan"), GAMEMANERR_PLAYERNOTINVITED) << "not attached";
    EXPECT_EQ(invite(ann, a, "bob"), GAMEMANERR_PLAYERNOTINVITED) << "attached, not added";
    ASSERT_EQ(manager->addPlayerForMultiplay(bob, b), GAMEMANERR_OK);
    ASSERT_EQ(manager->addPlayerForMultiplay(ann, a), GAMEMANERR_OK);
    EXPECT_EQ(accept(99, b, "ann"), GAMEMANERR_PLAYERNOTINVITED) << "accept without slot";

    // An attached (unlisted) player may invite a listed one.
    ASSERT_EQ(invite(cat, c, "bob"), GAMEMANERR_OK);
    EXPECT_EQ(state(bob), PLAYERSTATE_PROCESSINGINVITATION);
    EXPECT_EQ(slot(bob).invitationUserId, cat);
    EXPECT_EQ(state(cat), PLAYERSTATE_INVITING);
    EXPECT_EQ(slot(cat).invitationUserId, bob);
    EXPECT_EQ(list(), (std::vector<ListedPlayer>{{ann, "ann"}})) << "both left the list";

    EXPECT_EQ(invite(ann, a, "bob"), GAMEMANERR_PLAYERNOTINVITED) << "already invited";
    EXPECT_EQ(invite(cat, c, "ann"), GAMEMANERR_PLAYERNOTINVITED) << "second invitation";
    EXPECT_EQ(invite(bob, b, "ann"), GAMEMANERR_PLAYERNOTINVITED) << "invited player invites";
    EXPECT_EQ(state(ann), PLAYERSTATE_ADDED);
    // Not delivered yet (every send fails here): not acceptable yet either.
    EXPECT_EQ(accept(bob, b, "cat"), GAMEMANERR_PLAYERNOTINVITED);
    EXPECT_EQ(state(cat), PLAYERSTATE_INVITING);
}

TEST_F(GameManagerTest, CancelBeforeDeliveryAndCancelRefusals) {
    int ann = account("ann");
    int bob = account("bob");
    int cat = account("cat");
    account("dan");
    GameClientHandler* a = deaf();
    GameClientHandler* b = deaf();
    GameClientHandler* c = deaf();
    EXPECT_EQ(cancel(ann, a, "bob"), GAMEMANERR_INVITATIONCANCELERROR) << "caller without slot";
    ASSERT_EQ(manager->attachMultiplayer(ann, a), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(bob, b), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(cat, c), GAMEMANERR_OK);
    ASSERT_EQ(manager->addPlayerForMultiplay(bob, b), GAMEMANERR_OK);
    ASSERT_EQ(invite(ann, a, "bob"), GAMEMANERR_OK);

    EXPECT_EQ(cancel(ann, a, "nobody"), GAMEMANERR_INVITATIONCANCELERROR) << "no account";
    EXPECT_EQ(cancel(ann, a, "cat"), GAMEMANERR_INVITATIONCANCELERROR) << "another partner";
    EXPECT_EQ(state(ann), PLAYERSTATE_INVITING) << "a refused cancel changed the invitor";
    EXPECT_EQ(cancel(cat, c, "bob"), GAMEMANERR_INVITATIONCANCELERROR) << "bob is not cat's";
    EXPECT_EQ(state(bob), PLAYERSTATE_PROCESSINGINVITATION);

    // The invitation was never delivered: bob is told of a cancellation.
    EXPECT_EQ(cancel(ann, a, "bob"), GAMEMANERR_OK);
    EXPECT_EQ(state(ann), PLAYERSTATE_ADDED);
    EXPECT_EQ(slot(ann).invitationUserId, -1);
    EXPECT_EQ(state(bob), PLAYERSTATE_PROCESSINGCANCELATION);
    EXPECT_EQ(cancel(ann, a, "bob"), GAMEMANERR_OK) << "a repeated cancel changes nothing";
    EXPECT_EQ(state(bob), PLAYERSTATE_PROCESSINGCANCELATION);

    // A cancel naming a player that has left is refused; the invitor is
    // already to be told of the rejection.
    ASSERT_EQ(manager->addPlayerForMultiplay(cat, c), GAMEMANERR_OK);
    ASSERT_EQ(invite(ann, a, "cat"), GAMEMANERR_OK);
    ASSERT_EQ(manager->detachMultiplayer(cat, c), GAMEMANERR_OK);
    EXPECT_EQ(cancel(ann, a, "cat"), GAMEMANERR_INVITATIONCANCELERROR);
    EXPECT_EQ(state(ann), PLAYERSTATE_PROCESSINGREJECTION);
}

TEST_F(GameManagerTest, LeavingPlayersMoveTheirPartners) {
    int ann = account("ann");
    int bob = account("bob");
    int cat = account("cat");
    int dan = account("dan");
    GameClientHandler* a = deaf();
    GameClientHandler* b = deaf();
    GameClientHandler* c = deaf();
    GameClientHandler* d = deaf();
    for (int id : {ann, bob, cat, dan}) {
        GameClientHandler* h = id == ann ? a : id == bob ? b : id == cat ? c : d;
        ASSERT_EQ(manager->attachMultiplayer(id, h), GAMEMANERR_OK);
        ASSERT_EQ(manager->addPlayerForMultiplay(id, h), GAMEMANERR_OK);
    }
    ASSERT_EQ(invite(ann, a, "bob"), GAMEMANERR_OK);
    ASSERT_EQ(invite(cat, c, "dan"), GAMEMANERR_OK);

    // The invitee leaves: its invitor is told of a rejection.
    EXPECT_EQ(manager->detachMultiplayer(bob, b), GAMEMANERR_OK);
    EXPECT_EQ(state(ann), PLAYERSTATE_PROCESSINGREJECTION);
    // An invitee that takes itself off the list rejects, and stays attached.
    // (Lost connections of either side are tested over the wire.)
    EXPECT_EQ(manager->removePlayerForMultiplay(dan, d), GAMEMANERR_OK);
    EXPECT_EQ(state(dan), PLAYERSTATE_ATTACHED);
    EXPECT_EQ(state(cat), PLAYERSTATE_PROCESSINGREJECTION);
}

TEST_F(GameManagerTest, DisconnectFreesEverySlotOfTheConnection) {
    GameClientHandler* shared = deaf();
    GameClientHandler* other = deaf();
    ASSERT_EQ(manager->attachMultiplayer(1, shared), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(2, other), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(3, shared), GAMEMANERR_OK);
    ASSERT_EQ(manager->addPlayerForMultiplay(3, shared), GAMEMANERR_OK);
    EXPECT_EQ(manager->notifyDisconnected(shared), GAMEMANERR_OK);
    EXPECT_EQ(state(1), PLAYERSTATE_NOTUSED);
    EXPECT_EQ(state(3), PLAYERSTATE_NOTUSED);
    EXPECT_EQ(state(2), PLAYERSTATE_ATTACHED);
    EXPECT_TRUE(list().empty());
}

namespace {

// Attaches and adds both players and waits until each sees both listed.
void enterLobby(GameManager* manager, std::vector<Player*> players) {
    std::vector<ListedPlayer> expected;
    for (Player* player : players) {
        ASSERT_NE(player->handler, nullptr) << player->getName();
        ASSERT_EQ(manager->attachMultiplayer(player->id, player->handler), GAMEMANERR_OK);
        ASSERT_EQ(manager->addPlayerForMultiplay(player->id, player->handler), GAMEMANERR_OK);
        expected.push_back({player->id, player->getName()});
    }
    for (Player* player : players) {
        ASSERT_TRUE(player->getReader().waitForList(expected, MESSAGE_WAIT_MS)) << player->getName();
    }
}

// The invitation, seen by the invitee and answered at once (the slot is
// ready before the message goes out).
void inviteAndAccept(GameManager* manager, Player* invitor, Player* invitee) {
    std::string why;
    ASSERT_EQ(manager->invitePlayerForMultiplay(invitor->id, invitor->handler,
                                                &std::string(invitee->getName())[0]),
              GAMEMANERR_OK);
    ASSERT_TRUE(invitee->expectPayload(MSG_INVITEMULTIPLAYER, nameField(invitor->getName()), &why))
        << why;
    ASSERT_EQ(manager->acceptInvitationForMultiplay(invitee->id, invitee->handler,
                                                    &std::string(invitor->getName())[0]),
              GAMEMANERR_OK);
}

// The invitation and everything up to the cards.
void playUpToTheCards(GameManager* manager, Player* invitor, Player* invitee) {
    ASSERT_NO_FATAL_FAILURE(inviteAndAccept(manager, invitor, invitee));
    std::string why;
    std::string cards;
    ASSERT_TRUE(followAcceptanceToTheCards(invitor, invitee, &cards, &why)) << why;
}

// The next message other than a player list must be the end of the game;
// its payload.
std::string finishPayload(Player* player) {
    Envelope message = {};
    std::string why;
    EXPECT_TRUE(player->expect(MSG_GAMEFINISHED, &message, &why)) << why;
    return message.payload;
}

}  // namespace


// A pair whose countdown ends while every game of the pool runs is told
// the end of a game and goes back to the lobby; the running game goes on.
TEST_F(GameManagerTest, AFullPoolSendsTheNextPairBackAndLeavesTheRunningGameAlone) {
    manager->setPoolLimit(1);
    TestServer* live = liveServer();
    Player ann(live, account("ann"), "ann");
    Player bob(live, account("bob"), "bob");
    Player cat(live, account("cat"), "cat");
    Player dan(live, account("dan"), "dan");
    enterLobby(manager, {&ann, &bob, &cat, &dan});
    playUpToTheCards(manager, &ann, &bob);

    ASSERT_NO_FATAL_FAILURE(inviteAndAccept(manager, &cat, &dan));
    std::string why;
    ASSERT_TRUE(cat.expectPayload(MSG_ACCEPTINVITATION, nameField("dan"), &why)) << why;
    ASSERT_TRUE(cat.expectCountdownAndStart("dan", &why)) << why;
    ASSERT_TRUE(dan.expectCountdownAndStart("cat", &why)) << why;
    EXPECT_EQ(finishPayload(&cat), int32le(FINISHSTATE_GAMEFINISHED));
    EXPECT_EQ(finishPayload(&dan), int32le(FINISHSTATE_GAMEFINISHED));
    EXPECT_TRUE(waitForState(cat.id, PLAYERSTATE_ATTACHED));
    EXPECT_TRUE(waitForState(dan.id, PLAYERSTATE_ATTACHED));
    EXPECT_EQ(slot(cat.id).game, nullptr);
    EXPECT_EQ(manager->addPlayerForMultiplay(cat.id, cat.handler), GAMEMANERR_OK);

    EXPECT_EQ(state(ann.id), PLAYERSTATE_PLAYINGINVITOR);
    EXPECT_EQ(state(bob.id), PLAYERSTATE_PLAYINGINVITEE);
    manager->processGameMessage(MSG_STOPPRESSED, ann.id, nullptr, 0);
    EXPECT_EQ(finishPayload(&ann), int32le(FINISHSTATE_STOPPRESSED));
    EXPECT_EQ(finishPayload(&bob), int32le(FINISHSTATE_STOPPRESSED));
}

TEST_F(GameManagerTest, EveryAttachedPlayerGetsOneListPerChange) {
    TestServer* live = liveServer();
    Player ann(live, account("ann"), "ann");
    Player bob(live, account("bob"), "bob");
    Player cat(live, account("cat"), "cat");
    ASSERT_EQ(manager->attachMultiplayer(cat.id, cat.handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(ann.id, ann.handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(bob.id, bob.handler), GAMEMANERR_OK);
    // Two changes within one pass: one broadcast, to the unlisted cat too.
    // The stream is ordered, so the counts below also show that attaching
    // sent no list and that no list came twice.
    ASSERT_EQ(manager->addPlayerForMultiplay(ann.id, ann.handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->addPlayerForMultiplay(bob.id, bob.handler), GAMEMANERR_OK);
    std::vector<ListedPlayer> both = {{ann.id, "ann"}, {bob.id, "bob"}};
    ASSERT_TRUE(cat.getReader().waitForList(both, MESSAGE_WAIT_MS));
    ASSERT_TRUE(ann.getReader().waitForList(both, MESSAGE_WAIT_MS));
    EXPECT_EQ(cat.getReader().listsSeen(), 1);
    ASSERT_EQ(manager->removePlayerForMultiplay(ann.id, ann.handler), GAMEMANERR_OK);
    ASSERT_TRUE(cat.getReader().waitForList({{bob.id, "bob"}}, MESSAGE_WAIT_MS));
    ASSERT_TRUE(bob.getReader().waitForList({{bob.id, "bob"}}, MESSAGE_WAIT_MS));
    EXPECT_EQ(cat.getReader().listsSeen(), 2);
}

TEST_F(GameManagerTest, StopFromAFinishedGameLeavesTheNextPairsGameAlone) {
    TestServer* live = liveServer();
    Player ann(live, account("ann"), "ann");
    Player bob(live, account("bob"), "bob");
    Player cat(live, account("cat"), "cat");
    Player dan(live, account("dan"), "dan");
    enterLobby(manager, {&ann, &bob});
    playUpToTheCards(manager, &ann, &bob);
    MultiPlayerGame* firstGame = slot(ann.id).game;
    manager->processGameMessage(MSG_STOPPRESSED, ann.id, nullptr, 0);
    finishPayload(&ann);
    finishPayload(&bob);

    enterLobby(manager, {&cat, &dan});
    playUpToTheCards(manager, &cat, &dan);
    ASSERT_EQ(slot(cat.id).game, firstGame) << "the idle game is taken again";
    EXPECT_EQ(slot(ann.id).game, firstGame) << "ann keeps her last game";

    // ann's game now serves cat and dan: her stop and her leaving end nothing.
    testing::internal::CaptureStdout();
    manager->processGameMessage(MSG_STOPPRESSED, ann.id, nullptr, 0);
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find("without game"), std::string::npos) << output;
    EXPECT_EQ(manager->detachMultiplayer(ann.id, ann.handler), GAMEMANERR_OK);
    EXPECT_FALSE(cat.getReader().anyMessageWithin(QUIET_MS));
    EXPECT_EQ(state(cat.id), PLAYERSTATE_PLAYINGINVITOR);
    EXPECT_TRUE(firstGame->isActive());

    // dan's own stop ends it for both.
    manager->processGameMessage(MSG_STOPPRESSED, dan.id, nullptr, 0);
    EXPECT_EQ(finishPayload(&cat), int32le(FINISHSTATE_STOPPRESSED));
    EXPECT_EQ(finishPayload(&dan), int32le(FINISHSTATE_STOPPRESSED));
}

TEST_F(GameManagerTest, StopBeforeAStartThatNeverCameDoesNotEndTheNextGame) {
    TestServer* live = liveServer();
    Player ann(live, account("ann"), "ann");
    Player bob(live, account("bob"), "bob");
    Player cat(live, account("cat"), "cat");
    enterLobby(manager, {&ann, &bob});
    ASSERT_NO_FATAL_FAILURE(inviteAndAccept(manager, &ann, &bob));
    std::string why;
    Envelope countdown;
    for (int value = 3; value >= 0; value--) {
        ASSERT_TRUE(bob.expect(MSG_COUNTDOWNFORPLAY, &countdown, &why)) << why;
    }
    // Between the last countdown and the start: ann presses stop, then bob
    // leaves, so this start never happens.
    ASSERT_TRUE(waitForState(ann.id, PLAYERSTATE_STARTINGGAMEINVITOR));
    manager->processGameMessage(MSG_STOPPRESSED, ann.id, nullptr, 0);
    ASSERT_EQ(manager->notifyDisconnected(bob.handler), GAMEMANERR_OK);
    Envelope message = {};
    bool finished = false;
    while (!finished && ann.getReader().next(&message, MESSAGE_WAIT_MS)) {
        finished = message.id == MSG_GAMEFINISHED;
    }
    ASSERT_TRUE(finished);
    EXPECT_EQ(message.payload, int32le(FINISHSTATE_OTHERPLAYERLEFT));
    ASSERT_TRUE(waitForState(ann.id, PLAYERSTATE_ATTACHED));

    // ann's next game starts and deals as usual.
    ASSERT_EQ(manager->addPlayerForMultiplay(ann.id, ann.handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(cat.id, cat.handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->addPlayerForMultiplay(cat.id, cat.handler), GAMEMANERR_OK);
    ASSERT_TRUE(cat.getReader().waitForList({{ann.id, "ann"}, {cat.id, "cat"}}, MESSAGE_WAIT_MS));
    playUpToTheCards(manager, &ann, &cat);
    EXPECT_EQ(state(ann.id), PLAYERSTATE_PLAYINGINVITOR);
}

namespace {

enum class Departure { DETACH, REMOVE, DISCONNECT };

gameManErr_t depart(GameManager* manager, Departure how, int userId, GameClientHandler* handler) {
    switch (how) {
        case Departure::DETACH:
            return manager->detachMultiplayer(userId, handler);
        case Departure::REMOVE:
            return manager->removePlayerForMultiplay(userId, handler);
        case Departure::DISCONNECT:
            return manager->notifyDisconnected(handler);
    }
    return GAMEMANERR_PLAYERNOTREMOVED;
}

}  // namespace

// bob rejects ann's invitation, and ann leaves before the rejection has
// reached her: still pending, or its send to her failed (a deaf invitor).
// bob must be back on the list, invitable, as the rejection would have left
// him.
TEST_F(GameManagerTest, InviteeIsListedAgainWhenTheInvitorLeavesBeforeHearingTheRejection) {
    struct Case {
        const char* label;
        Departure how;
        bool invitorHears;
    };
    const Case cases[] = {
        {"pending, detach", Departure::DETACH, true},
        {"pending, remove", Departure::REMOVE, true},
        {"pending, disconnect", Departure::DISCONNECT, true},
        {"send failed, detach", Departure::DETACH, false},
        {"send failed, remove", Departure::REMOVE, false},
        {"send failed, disconnect", Departure::DISCONNECT, false},
    };
    TestServer* live = liveServer();
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string suffix = std::to_string(round++);
        Player bob(live, account("bob" + suffix), "bob" + suffix);
        std::unique_ptr<Player> annLive;
        int ann = account("ann" + suffix);
        GameClientHandler* annHandler = deaf();
        if (c.invitorHears) {
            annLive.reset(new Player(live, ann, "ann" + suffix));
            annHandler = annLive->handler;
        }
        int cat = account("cat" + suffix);
        GameClientHandler* catHandler = deaf();
        ASSERT_NE(bob.handler, nullptr);
        ASSERT_NE(annHandler, nullptr);
        ASSERT_EQ(manager->attachMultiplayer(ann, annHandler), GAMEMANERR_OK);
        ASSERT_EQ(manager->attachMultiplayer(bob.id, bob.handler), GAMEMANERR_OK);
        ASSERT_EQ(manager->attachMultiplayer(cat, catHandler), GAMEMANERR_OK);
        ASSERT_EQ(manager->addPlayerForMultiplay(bob.id, bob.handler), GAMEMANERR_OK);
        ASSERT_EQ(invite(ann, annHandler, bob.getName()), GAMEMANERR_OK);
        Envelope invitation;
        std::string why;
        ASSERT_TRUE(bob.expect(MSG_INVITEMULTIPLAYER, &invitation, &why)) << why;
        ASSERT_TRUE(waitForState(bob.id, PLAYERSTATE_INVITED));
        int listsBefore = bob.getReader().listsSeen();
        ASSERT_EQ(reject(bob.id, bob.handler, "ann" + suffix), GAMEMANERR_OK);
        if (!c.invitorHears) {
            // The failed send puts both slots back and has the list sent
            // again: once bob has it, the send has been tried.
            ASSERT_TRUE(waitUntil(
                [&] {
                    bob.getReader().anyMessageWithin(0);
                    return bob.getReader().listsSeen() > listsBefore;
                },
                MESSAGE_WAIT_MS));
        }
        ASSERT_EQ(depart(manager, c.how, ann, annHandler), GAMEMANERR_OK);

        EXPECT_EQ(state(bob.id), PLAYERSTATE_ADDED);
        EXPECT_EQ(list(), (std::vector<ListedPlayer>{{bob.id, bob.getName()}}));
        EXPECT_TRUE(bob.getReader().waitForList({{bob.id, bob.getName()}}, MESSAGE_WAIT_MS))
            << "the list flag was not set";
        EXPECT_EQ(invite(cat, catHandler, bob.getName()), GAMEMANERR_OK) << "bob cannot be invited";
        for (int id : {ann, bob.id, cat}) {
            manager->detachMultiplayer(id, catHandler);
        }
    }
}

// After shutdown has destroyed the store, the manager's name look-ups find
// nothing instead of bringing up a new store.
TEST_F(GameManagerTest, WithoutAStoreNamesAreEmptyAndInvitationsRefused) {
    TestServer* live = liveServer();
    Player bob(live, account("bob"), "bob");
    int ann = account("ann");
    UserBaseFactory::destroyUserBaseInstance();
    ASSERT_EQ(manager->attachMultiplayer(ann, deaf()), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(bob.id, bob.handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->addPlayerForMultiplay(bob.id, bob.handler), GAMEMANERR_OK);
    EXPECT_TRUE(bob.getReader().waitForList({{bob.id, ""}}, MESSAGE_WAIT_MS));
    EXPECT_EQ(invite(ann, deaf(), "bob"), GAMEMANERR_PLAYERNOTINVITED);
    EXPECT_EQ(UserBaseFactory::getUserBaseInstance(), nullptr);
}

// ann's connection is lost, and before the manager hears of it her handler
// is given to a new client: nothing meant for ann (the player list, the
// invitation) may reach that client.
TEST_F(GameManagerTest, AHandlerGivenToANewClientGetsNothingMeantForTheOldOne) {
    server.reset(new TestServer());
    server->useGameHandlers(false);  // the loss stays unreported
    ASSERT_GT(server->start(), 0);
    Player ann(server.get(), account("ann"), "ann");
    Player bob(server.get(), account("bob"), "bob");
    enterLobby(manager, {&ann, &bob});

    ann.getClient().close();
    ASSERT_TRUE(waitUntil([&] { return !ann.handler->isBusy(); }, MESSAGE_WAIT_MS));
    LoopbackClient newcomer;
    MessageReader newcomerReader(&newcomer);
    ASSERT_EQ(server->connectGame(&newcomer), ann.handler) << "the freed handler is reused";

    ASSERT_EQ(invite(bob.id, bob.handler, "ann"), GAMEMANERR_OK);
    // The pass that broadcasts this list then tries the invitation.
    ASSERT_TRUE(bob.getReader().waitForList({}, MESSAGE_WAIT_MS));
    EXPECT_FALSE(newcomerReader.anyMessageWithin(QUIET_MS)) << "got ann's invitation";
    EXPECT_EQ(newcomerReader.listsSeen(), 0) << "got ann's player list";
    EXPECT_EQ(state(ann.id), PLAYERSTATE_PROCESSINGINVITATION) << "a refused send is retried";
}
