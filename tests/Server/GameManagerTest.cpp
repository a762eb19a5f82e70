// GameManagerTest.cpp - the lobby's slot table and its manager thread,
// driven through the manager's public operations. Connections are real:
// "unconnected" handlers make every send fail, so the slots stay where the
// requests put them; LoopbackClients behind the in-process test server see
// what the manager thread sends, in order.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "GameClientHandler.h"
#include "GameManager.h"
#include "LobbyMessages.h"
#include "LobbyTestServer.h"
#include "LoopbackClient.h"
#include "MultiPlayerGame.h"
#include "TempDir.h"
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
            server->stop();
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
    bool waitForState(int userId, playerState_t wanted, int timeoutMs = MESSAGE_WAIT_MS) {
        long long deadline = monotonicMs() + timeoutMs;
        while (state(userId) != wanted) {
            if (monotonicMs() > deadline) {
                return false;
            }
            usleep(5000);
        }
        return true;
    }
    LobbyTestServer* liveServer() {
        if (!server) {
            server.reset(new LobbyTestServer());
            EXPECT_TRUE(server->start());
        }
        return server.get();
    }

    TempDir dir;
    UserBase* store = nullptr;
    GameManager* manager = nullptr;
    std::unique_ptr<LobbyTestServer> server;
    std::vector<std::unique_ptr<GameClientHandler>> unconnected;
};

// A player with an account and a live connection to the test server.
struct Player {
    Player(GameManagerTest* test, LobbyTestServer* server, int userId, const std::string& n)
        : id(userId), name(n), reader(&client) {
        (void)test;
        handler = server->connect(&client);
    }
    int id;
    std::string name;
    LoopbackClient client;
    MessageReader reader;
    GameClientHandler* handler = nullptr;

    // The next message other than a player list; checks its type.
    Envelope expect(int msgType, int timeoutMs = MESSAGE_WAIT_MS) {
        Envelope message = {};
        EXPECT_TRUE(reader.next(&message, timeoutMs)) << name << " waited for " << msgType;
        EXPECT_EQ(message.commType, COMMTYPE_MESSAGE) << name;
        EXPECT_EQ(message.id, msgType) << name;
        return message;
    }
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

    // Record layout: id little-endian, name NUL-padded to 20 bytes.
    std::vector<char> buffer(PLAYERLIST_MAX_SIZE, 0x55);
    int size = 0;
    manager->createMultiplayerList(buffer.data(), &size, PLAYERLIST_MAX_SIZE);
    ASSERT_EQ(size, 3 * PLAYERLIST_RECORD_SIZE);
    std::string records(buffer.data(), size);
    EXPECT_EQ(records.substr(0, 24), int32le(ann) + nameField("ann"));
    EXPECT_EQ(records.substr(24, 24), int32le(longest) + nameField("nineteencharacters1"));
    EXPECT_EQ(records[47], '\0');
    EXPECT_EQ(records.substr(48, 24), int32le(99) + std::string(20, '\0'));

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
    EXPECT_EQ(invite(ann, a, "bob"), GAMEMANERR_PLAYERNOTINVITED) << "caller without slot";
    ASSERT_EQ(manager->attachMultiplayer(ann, a), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(bob, b), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(cat, c), GAMEMANERR_OK);
    EXPECT_EQ(invite(ann, a, "nobody"), GAMEMANERR_PLAYERNOTINVITED) << "no such account";
    EXPECT_EQ(invite(ann, a, "dan"), GAMEMANERR_PLAYERNOTINVITED) << "not attached";
    EXPECT_EQ(invite(ann, a, "bob"), GAMEMANERR_PLAYERNOTINVITED) << "attached, not added";
    ASSERT_EQ(manager->addPlayerForMultiplay(bob, b), GAMEMANERR_OK);
    ASSERT_EQ(manager->addPlayerForMultiplay(ann, a), GAMEMANERR_OK);
    EXPECT_EQ(invite(ann, a, "ann"), GAMEMANERR_PLAYERNOTINVITED) << "oneself";
    EXPECT_EQ(accept(bob, b, "ann"), GAMEMANERR_PLAYERNOTINVITED) << "accept, not invited";
    EXPECT_EQ(reject(bob, b, "ann"), GAMEMANERR_PLAYERNOTINVITED);
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
    // The invitor's connection is lost: its invitee is told of a cancellation.
    EXPECT_EQ(manager->notifyDisconnected(c), GAMEMANERR_OK);
    EXPECT_EQ(state(cat), PLAYERSTATE_NOTUSED);
    EXPECT_EQ(state(dan), PLAYERSTATE_PROCESSINGCANCELATION);

    // An invitee that takes itself off the list rejects, and stays attached.
    ASSERT_EQ(manager->attachMultiplayer(cat, c), GAMEMANERR_OK);
    ASSERT_EQ(manager->removePlayerForMultiplay(dan, d), GAMEMANERR_OK);
    ASSERT_EQ(manager->addPlayerForMultiplay(dan, d), GAMEMANERR_OK);
    ASSERT_EQ(invite(cat, c, "dan"), GAMEMANERR_OK);
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

TEST_F(GameManagerTest, GameMessagesWithoutSlotOrGameAreDropped) {
    ASSERT_EQ(manager->attachMultiplayer(4, deaf()), GAMEMANERR_OK);
    testing::internal::CaptureStdout();
    manager->processGameMessage(MSG_STOPPRESSED, 77, nullptr, 0);
    manager->processGameMessage(MSG_STOPPRESSED, 4, nullptr, 0);
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find("ERROR: Message for non-attached player 77\n"), std::string::npos)
        << output;
    EXPECT_NE(output.find("ERROR: Message for user 4 without game\n"), std::string::npos) << output;
    EXPECT_EQ(state(4), PLAYERSTATE_ATTACHED);
}

namespace {

// Attaches and adds both players and waits until each sees both listed.
void enterLobby(GameManager* manager, std::vector<Player*> players) {
    std::vector<ListedPlayer> expected;
    for (Player* player : players) {
        ASSERT_NE(player->handler, nullptr) << player->name;
        ASSERT_EQ(manager->attachMultiplayer(player->id, player->handler), GAMEMANERR_OK);
        ASSERT_EQ(manager->addPlayerForMultiplay(player->id, player->handler), GAMEMANERR_OK);
        expected.push_back({player->id, player->name});
    }
    for (Player* player : players) {
        ASSERT_TRUE(player->reader.waitForList(expected, MESSAGE_WAIT_MS)) << player->name;
    }
}

// Countdown 3, 2, 1, 0 and the start, each with the other player's name.
void expectCountdownAndStart(Player* player, const std::string& otherName) {
    for (int value = 3; value >= 0; value--) {
        Envelope countdown = player->expect(MSG_COUNTDOWNFORPLAY);
        EXPECT_EQ(countdown.payload, nameField(otherName) + std::string(1, char(value)))
            << player->name << " countdown " << value;
    }
    Envelope start = player->expect(MSG_STARTGAMEMASTER);
    EXPECT_EQ(start.payload, nameField(otherName)) << player->name;
}

// Both receive the same twelve cards at rows 0-2, columns 1-4.
void expectSameCards(Player* invitor, Player* invitee) {
    Envelope first = invitor->expect(MSG_RECEIVECARDS);
    Envelope second = invitee->expect(MSG_RECEIVECARDS);
    ASSERT_EQ(first.payload.size(), 37u);
    EXPECT_EQ(first.payload, second.payload);
    EXPECT_EQ(first.payload[0], 12);
    for (int k = 0; k < 12; k++) {
        EXPECT_EQ(first.payload[1 + 3 * k], k / 4);
        EXPECT_EQ(first.payload[2 + 3 * k], 1 + k % 4);
    }
}

// The invitation and its acceptance, each seen by the other player.
void inviteAndAccept(GameManager* manager, Player* invitor, Player* invitee) {
    ASSERT_EQ(manager->invitePlayerForMultiplay(invitor->id, invitor->handler,
                                                &std::string(invitee->name)[0]),
              GAMEMANERR_OK);
    Envelope invitation = invitee->expect(MSG_INVITEMULTIPLAYER);
    EXPECT_EQ(invitation.payload, nameField(invitor->name));
    // Answered at once: the slot is ready before the message goes out.
    ASSERT_EQ(manager->acceptInvitationForMultiplay(invitee->id, invitee->handler,
                                                    &std::string(invitor->name)[0]),
              GAMEMANERR_OK);
    Envelope accepted = invitor->expect(MSG_ACCEPTINVITATION);
    EXPECT_EQ(accepted.payload, nameField(invitee->name));
}

// Invitation, acceptance, countdown and start up to the cards.
void playUpToTheCards(GameManager* manager, Player* invitor, Player* invitee) {
    inviteAndAccept(manager, invitor, invitee);
    expectCountdownAndStart(invitor, invitee->name);
    expectCountdownAndStart(invitee, invitor->name);
    expectSameCards(invitor, invitee);
}

}  // namespace

TEST_F(GameManagerTest, FullGameRunsThroughTheManagerThread) {
    LobbyTestServer* live = liveServer();
    Player ann(this, live, account("ann"), "ann");
    Player bob(this, live, account("bob"), "bob");
    enterLobby(manager, {&ann, &bob});

    long long started = monotonicMs();
    playUpToTheCards(manager, &ann, &bob);
    long long elapsed = monotonicMs() - started;
    // Invitation, acceptance, four countdown passes and the start: 6 passes.
    EXPECT_GE(elapsed, 4000);
    EXPECT_LE(elapsed, 8500);
    EXPECT_EQ(state(ann.id), PLAYERSTATE_PLAYINGINVITOR);
    EXPECT_EQ(state(bob.id), PLAYERSTATE_PLAYINGINVITEE);
    ASSERT_NE(slot(ann.id).game, nullptr);
    EXPECT_EQ(slot(ann.id).game, slot(bob.id).game);

    manager->processGameMessage(MSG_STOPPRESSED, bob.id, nullptr, 0);
    EXPECT_EQ(ann.expect(MSG_GAMEFINISHED).payload, int32le(FINISHSTATE_STOPPRESSED));
    EXPECT_EQ(bob.expect(MSG_GAMEFINISHED).payload, int32le(FINISHSTATE_STOPPRESSED));
    // Re-adding at once works: the slot was ready before the message left.
    EXPECT_EQ(manager->addPlayerForMultiplay(ann.id, ann.handler), GAMEMANERR_OK);
    EXPECT_TRUE(waitForState(bob.id, PLAYERSTATE_ATTACHED));
    EXPECT_FALSE(ann.reader.anyMessageWithin(QUIET_MS)) << "nothing after the end";
    EXPECT_FALSE(bob.reader.anyMessageWithin(10));
}

// A pair whose countdown ends while every game of the pool runs is told
// the end of a game and goes back to the lobby; the running game goes on.
TEST_F(GameManagerTest, AFullPoolSendsTheNextPairBackAndLeavesTheRunningGameAlone) {
    manager->setPoolLimit(1);
    LobbyTestServer* live = liveServer();
    Player ann(this, live, account("ann"), "ann");
    Player bob(this, live, account("bob"), "bob");
    Player cat(this, live, account("cat"), "cat");
    Player dan(this, live, account("dan"), "dan");
    enterLobby(manager, {&ann, &bob, &cat, &dan});
    playUpToTheCards(manager, &ann, &bob);

    inviteAndAccept(manager, &cat, &dan);
    expectCountdownAndStart(&cat, dan.name);
    expectCountdownAndStart(&dan, cat.name);
    EXPECT_EQ(cat.expect(MSG_GAMEFINISHED).payload, int32le(FINISHSTATE_GAMEFINISHED));
    EXPECT_EQ(dan.expect(MSG_GAMEFINISHED).payload, int32le(FINISHSTATE_GAMEFINISHED));
    EXPECT_TRUE(waitForState(cat.id, PLAYERSTATE_ATTACHED));
    EXPECT_TRUE(waitForState(dan.id, PLAYERSTATE_ATTACHED));
    EXPECT_EQ(slot(cat.id).game, nullptr);
    EXPECT_EQ(manager->addPlayerForMultiplay(cat.id, cat.handler), GAMEMANERR_OK);

    EXPECT_EQ(state(ann.id), PLAYERSTATE_PLAYINGINVITOR);
    EXPECT_EQ(state(bob.id), PLAYERSTATE_PLAYINGINVITEE);
    manager->processGameMessage(MSG_STOPPRESSED, ann.id, nullptr, 0);
    EXPECT_EQ(ann.expect(MSG_GAMEFINISHED).payload, int32le(FINISHSTATE_STOPPRESSED));
    EXPECT_EQ(bob.expect(MSG_GAMEFINISHED).payload, int32le(FINISHSTATE_STOPPRESSED));
}

TEST_F(GameManagerTest, EveryAttachedPlayerGetsOneListPerChange) {
    LobbyTestServer* live = liveServer();
    Player ann(this, live, account("ann"), "ann");
    Player bob(this, live, account("bob"), "bob");
    Player cat(this, live, account("cat"), "cat");
    ASSERT_EQ(manager->attachMultiplayer(cat.id, cat.handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(ann.id, ann.handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(bob.id, bob.handler), GAMEMANERR_OK);
    EXPECT_FALSE(cat.reader.anyMessageWithin(QUIET_MS)) << "attaching broadcasts nothing";
    EXPECT_EQ(cat.reader.listsSeen(), 0);
    // Two changes within one pass: one broadcast, to the unlisted cat too.
    ASSERT_EQ(manager->addPlayerForMultiplay(ann.id, ann.handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->addPlayerForMultiplay(bob.id, bob.handler), GAMEMANERR_OK);
    std::vector<ListedPlayer> both = {{ann.id, "ann"}, {bob.id, "bob"}};
    ASSERT_TRUE(cat.reader.waitForList(both, MESSAGE_WAIT_MS));
    ASSERT_TRUE(ann.reader.waitForList(both, MESSAGE_WAIT_MS));
    EXPECT_FALSE(cat.reader.anyMessageWithin(QUIET_MS));
    EXPECT_EQ(cat.reader.listsSeen(), 1);
    ASSERT_EQ(manager->removePlayerForMultiplay(ann.id, ann.handler), GAMEMANERR_OK);
    ASSERT_TRUE(cat.reader.waitForList({{bob.id, "bob"}}, MESSAGE_WAIT_MS));
    ASSERT_TRUE(bob.reader.waitForList({{bob.id, "bob"}}, MESSAGE_WAIT_MS));
}

TEST_F(GameManagerTest, DepartureDuringTheCountdownEndsItForThePartner) {
    LobbyTestServer* live = liveServer();
    Player ann(this, live, account("ann"), "ann");
    Player bob(this, live, account("bob"), "bob");
    enterLobby(manager, {&ann, &bob});
    ASSERT_NO_FATAL_FAILURE(inviteAndAccept(manager, &ann, &bob));
    Envelope first = bob.expect(MSG_COUNTDOWNFORPLAY);
    EXPECT_EQ(first.payload[20], 3);
    bob.client.close();  // the server finds the loss and tells the manager
    Envelope message = {};
    bool finished = false;
    while (!finished && ann.reader.next(&message, MESSAGE_WAIT_MS)) {
        if (message.id == MSG_GAMEFINISHED) {
            finished = true;
        } else {
            EXPECT_EQ(message.id, MSG_COUNTDOWNFORPLAY) << "only countdown before the end";
        }
    }
    ASSERT_TRUE(finished);
    EXPECT_EQ(message.payload, int32le(FINISHSTATE_OTHERPLAYERLEFT));
    EXPECT_TRUE(waitForState(ann.id, PLAYERSTATE_ATTACHED));
    EXPECT_EQ(state(bob.id), PLAYERSTATE_NOTUSED);
    EXPECT_FALSE(ann.reader.anyMessageWithin(QUIET_MS)) << "no start after the end";
}

TEST_F(GameManagerTest, StopFromAFinishedGameLeavesTheNextPairsGameAlone) {
    LobbyTestServer* live = liveServer();
    Player ann(this, live, account("ann"), "ann");
    Player bob(this, live, account("bob"), "bob");
    Player cat(this, live, account("cat"), "cat");
    Player dan(this, live, account("dan"), "dan");
    enterLobby(manager, {&ann, &bob});
    playUpToTheCards(manager, &ann, &bob);
    MultiPlayerGame* firstGame = slot(ann.id).game;
    manager->processGameMessage(MSG_STOPPRESSED, ann.id, nullptr, 0);
    ann.expect(MSG_GAMEFINISHED);
    bob.expect(MSG_GAMEFINISHED);

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
    EXPECT_FALSE(cat.reader.anyMessageWithin(QUIET_MS));
    EXPECT_FALSE(dan.reader.anyMessageWithin(10));
    EXPECT_EQ(state(cat.id), PLAYERSTATE_PLAYINGINVITOR);
    EXPECT_TRUE(firstGame->isActive());

    // dan's own stop ends it for both.
    manager->processGameMessage(MSG_STOPPRESSED, dan.id, nullptr, 0);
    EXPECT_EQ(cat.expect(MSG_GAMEFINISHED).payload, int32le(FINISHSTATE_STOPPRESSED));
    EXPECT_EQ(dan.expect(MSG_GAMEFINISHED).payload, int32le(FINISHSTATE_STOPPRESSED));
}

TEST_F(GameManagerTest, StopBeforeAStartThatNeverCameDoesNotEndTheNextGame) {
    LobbyTestServer* live = liveServer();
    Player ann(this, live, account("ann"), "ann");
    Player bob(this, live, account("bob"), "bob");
    Player cat(this, live, account("cat"), "cat");
    enterLobby(manager, {&ann, &bob});
    ASSERT_NO_FATAL_FAILURE(inviteAndAccept(manager, &ann, &bob));
    for (int value = 3; value >= 0; value--) {
        bob.expect(MSG_COUNTDOWNFORPLAY);
    }
    // Between the last countdown and the start: ann presses stop, then bob
    // leaves, so this start never happens.
    ASSERT_TRUE(waitForState(ann.id, PLAYERSTATE_STARTINGGAMEINVITOR));
    manager->processGameMessage(MSG_STOPPRESSED, ann.id, nullptr, 0);
    ASSERT_EQ(manager->notifyDisconnected(bob.handler), GAMEMANERR_OK);
    Envelope message = {};
    bool finished = false;
    while (!finished && ann.reader.next(&message, MESSAGE_WAIT_MS)) {
        finished = message.id == MSG_GAMEFINISHED;
    }
    ASSERT_TRUE(finished);
    EXPECT_EQ(message.payload, int32le(FINISHSTATE_OTHERPLAYERLEFT));
    ASSERT_TRUE(waitForState(ann.id, PLAYERSTATE_ATTACHED));

    // ann's next game starts and deals as usual.
    ASSERT_EQ(manager->addPlayerForMultiplay(ann.id, ann.handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(cat.id, cat.handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->addPlayerForMultiplay(cat.id, cat.handler), GAMEMANERR_OK);
    ASSERT_TRUE(cat.reader.waitForList({{ann.id, "ann"}, {cat.id, "cat"}}, MESSAGE_WAIT_MS));
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
    LobbyTestServer* live = liveServer();
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string suffix = std::to_string(round++);
        Player bob(this, live, account("bob" + suffix), "bob" + suffix);
        std::unique_ptr<Player> annLive;
        int ann = account("ann" + suffix);
        GameClientHandler* annHandler = deaf();
        if (c.invitorHears) {
            annLive.reset(new Player(this, live, ann, "ann" + suffix));
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
        ASSERT_EQ(invite(ann, annHandler, bob.name), GAMEMANERR_OK);
        bob.expect(MSG_INVITEMULTIPLAYER);
        ASSERT_TRUE(waitForState(bob.id, PLAYERSTATE_INVITED));
        int listsBefore = bob.reader.listsSeen();
        ASSERT_EQ(reject(bob.id, bob.handler, "ann" + suffix), GAMEMANERR_OK);
        if (!c.invitorHears) {
            // The failed send puts both slots back and has the list sent
            // again: once bob has it, the send has been tried.
            long long deadline = monotonicMs() + MESSAGE_WAIT_MS;
            while (bob.reader.listsSeen() == listsBefore && monotonicMs() < deadline) {
                bob.reader.anyMessageWithin(50);
            }
            ASSERT_GT(bob.reader.listsSeen(), listsBefore);
        }
        ASSERT_EQ(depart(manager, c.how, ann, annHandler), GAMEMANERR_OK);

        EXPECT_EQ(state(bob.id), PLAYERSTATE_ADDED);
        EXPECT_EQ(list(), (std::vector<ListedPlayer>{{bob.id, bob.name}}));
        EXPECT_TRUE(bob.reader.waitForList({{bob.id, bob.name}}, MESSAGE_WAIT_MS))
            << "the list flag was not set";
        EXPECT_EQ(invite(cat, catHandler, bob.name), GAMEMANERR_OK) << "bob cannot be invited";
        for (int id : {ann, bob.id, cat}) {
            manager->detachMultiplayer(id, catHandler);
        }
    }
}

// After shutdown has destroyed the store, the manager's name look-ups find
// nothing instead of bringing up a new store.
TEST_F(GameManagerTest, WithoutAStoreNamesAreEmptyAndInvitationsRefused) {
    LobbyTestServer* live = liveServer();
    Player bob(this, live, account("bob"), "bob");
    int ann = account("ann");
    UserBaseFactory::destroyUserBaseInstance();
    ASSERT_EQ(manager->attachMultiplayer(ann, deaf()), GAMEMANERR_OK);
    ASSERT_EQ(manager->attachMultiplayer(bob.id, bob.handler), GAMEMANERR_OK);
    ASSERT_EQ(manager->addPlayerForMultiplay(bob.id, bob.handler), GAMEMANERR_OK);
    EXPECT_TRUE(bob.reader.waitForList({{bob.id, ""}}, MESSAGE_WAIT_MS));
    EXPECT_EQ(invite(ann, deaf(), "bob"), GAMEMANERR_PLAYERNOTINVITED);
    EXPECT_EQ(UserBaseFactory::getUserBaseInstance(), nullptr);
}

// ann's connection is lost, and before the manager hears of it her handler
// is given to a new client: nothing meant for ann (the player list, the
// invitation) may reach that client.
TEST_F(GameManagerTest, AHandlerGivenToANewClientGetsNothingMeantForTheOldOne) {
    server.reset(new LobbyTestServer());
    server->setReportToManager(false);  // the loss stays unreported
    ASSERT_TRUE(server->start());
    Player ann(this, server.get(), account("ann"), "ann");
    Player bob(this, server.get(), account("bob"), "bob");
    enterLobby(manager, {&ann, &bob});

    ann.client.close();
    long long deadline = monotonicMs() + MESSAGE_WAIT_MS;
    while (ann.handler->isBusy() && monotonicMs() < deadline) {
        usleep(5000);
    }
    LoopbackClient newcomer;
    MessageReader newcomerReader(&newcomer);
    ASSERT_EQ(server->connect(&newcomer), ann.handler) << "the freed handler is reused";

    ASSERT_EQ(invite(bob.id, bob.handler, "ann"), GAMEMANERR_OK);
    // The pass that broadcasts this list then tries the invitation.
    ASSERT_TRUE(bob.reader.waitForList({}, MESSAGE_WAIT_MS));
    EXPECT_FALSE(newcomerReader.anyMessageWithin(QUIET_MS)) << "got ann's invitation";
    EXPECT_EQ(newcomerReader.listsSeen(), 0) << "got ann's player list";
    EXPECT_EQ(state(ann.id), PLAYERSTATE_PROCESSINGINVITATION) << "a refused send is retried";
}
