// LobbyAndGameTest.cpp - the lobby's slots and manager thread, and one game over loopback.
// Unconnected ("deaf") handlers fail every send; live players see what the threads send.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "GameClientHandler.h"
#include "GameManager.h"
#include "LobbyPlayer.h"
#include "MultiPlayerGame.h"
#include "MultiPlayerGameListener.h"
#include "TestServer.h"
#include "TestSupport.h"
#include "UserBase.h"
#include "UserBaseFactory.h"

namespace {

const int WAIT_MS = 3500;
using Handler = GameClientHandler*;

struct Player : LobbyPlayer {
    Player(TestServer* server, int userId, const std::string& playerName)
        : LobbyPlayer(playerName), id(userId), handler(server->connectGame(&getClient())) {}
    int id;
    Handler handler;
};
using PlayerPtr = std::unique_ptr<Player>;

class GameManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.enter();
        manager = GameManager::getInstance();
    }
    void TearDown() override {
        if (server) {
            server->stopServer();
        }
        delete manager;  // its thread sends to the handlers below
        server.reset();
        unconnected.clear();
        UserBaseFactory::destroyUserBaseInstance();
    }

    int account(std::string name) {
        std::string password = "pw";
        return UserBaseFactory::getUserBaseInstance()->addUser(&name[0], &password[0]);
    }
    Handler deaf() {
        unconnected.emplace_back(new GameClientHandler(nullptr));
        return unconnected.back().get();
    }
    multiplayUser_t slot(int userId) {
        multiplayUser_t copy = {};
        copy.state = PLAYERSTATE_NOTUSED;
        manager->copyPlayerSlot(userId, &copy);
        return copy;
    }
    playerState_t state(int userId) { return slot(userId).state; }
    gameManErr_t attach(int id, Handler h) { return manager->attachMultiplayer(id, h); }
    gameManErr_t add(int id, Handler h) { return manager->addPlayerForMultiplay(id, h); }
    gameManErr_t remove(int id, Handler h) { return manager->removePlayerForMultiplay(id, h); }
    gameManErr_t detach(int id, Handler h) { return manager->detachMultiplayer(id, h); }
    gameManErr_t invite(int from, Handler h, std::string to) {
        return manager->invitePlayerForMultiplay(from, h, &to[0]);
    }
    gameManErr_t cancel(int from, Handler h, std::string to) {
        return manager->cancelInvitationForMultiplay(from, h, &to[0]);
    }
    void stop(int id) { manager->processGameMessage(MSG_STOPPRESSED, id, nullptr, 0); }
    void join(int id, Handler h) {
        ASSERT_EQ(attach(id, h), GAMEMANERR_OK) << id;
        ASSERT_EQ(add(id, h), GAMEMANERR_OK) << id;
    }
    bool waitForState(int userId, playerState_t wanted, int timeoutMs = WAIT_MS) {
        return waitUntil([&] { return state(userId) == wanted; }, timeoutMs);
    }
    PlayerPtr player(const std::string& name, bool reportLosses = true) {
        if (!server) {
            server.reset(new TestServer());
            server->useGameHandlers(reportLosses);
            EXPECT_GT(server->start(), 0);
        }
        PlayerPtr made(new Player(server.get(), account(name), name));
        EXPECT_NE(made->handler, nullptr);
        return made;
    }
    void enterLobby(std::vector<Player*> players) {
        std::vector<ListedPlayer> expected;
        for (Player* p : players) {
            join(p->id, p->handler);
            expected.push_back({p->id, p->getName()});
        }
        for (Player* p : players) {
            ASSERT_TRUE(p->getReader().waitForList(expected, WAIT_MS)) << p->getName();
        }
    }
    void inviteAndAccept(Player* invitor, Player* invitee) {
        std::string why;
        std::string name = invitor->getName();
        ASSERT_EQ(invite(invitor->id, invitor->handler, invitee->getName()), GAMEMANERR_OK);
        ASSERT_TRUE(invitee->expectPayload(MSG_INVITEMULTIPLAYER, nameField(name), &why)) << why;
        ASSERT_EQ(manager->acceptInvitationForMultiplay(invitee->id, invitee->handler, &name[0]),
                  GAMEMANERR_OK);
    }
    void playUpToTheCards(Player* invitor, Player* invitee) {
        ASSERT_NO_FATAL_FAILURE(inviteAndAccept(invitor, invitee));
        std::string why;
        std::string cards;
        ASSERT_TRUE(followAcceptanceToTheCards(invitor, invitee, &cards, &why)) << why;
    }
    // Each player's next message other than a player list ends the game as stopped.
    void stopAndSeeBothFinish(Player* stopper, Player* other) {
        stop(stopper->id);
        for (Player* p : {stopper, other}) {
            std::string why;
            EXPECT_TRUE(p->expectPayload(MSG_GAMEFINISHED, int32le(FINISHSTATE_STOPPRESSED), &why))
                << why;
        }
    }

    TempDir dir;
    GameManager* manager = nullptr;
    std::unique_ptr<TestServer> server;
    std::vector<std::unique_ptr<GameClientHandler>> unconnected;
};

TEST_F(GameManagerTest, SlotsAreTakenOncePerUserAndFreedByTheirConnection) {
    Handler own = deaf();
    Handler other = deaf();
    ASSERT_EQ(attach(7, own), GAMEMANERR_OK);
    multiplayUser_t fresh = slot(7);
    EXPECT_EQ(attach(7, other), GAMEMANERR_PLAYERNOTADDED);
    EXPECT_EQ(slot(7).commHandler, own) << "a second attach changed the slot";
    EXPECT_EQ(add(7, other), GAMEMANERR_PLAYERNOTADDED) << "add from another connection";
    EXPECT_EQ(add(7, own), GAMEMANERR_OK);
    EXPECT_EQ(state(7), PLAYERSTATE_ADDED);
    EXPECT_EQ(remove(7, other), GAMEMANERR_OK);
    EXPECT_EQ(state(7), PLAYERSTATE_ATTACHED);
    EXPECT_EQ(detach(7, other), GAMEMANERR_OK);
    EXPECT_EQ(state(7), PLAYERSTATE_NOTUSED);

    join(2, own);
    join(3, own);
    EXPECT_EQ(slot(2).uniqueId, fresh.uniqueId + 1) << "a refused attach took a number";
    char list[PLAYERLIST_MAX_SIZE];
    int size = 0;
    ASSERT_EQ(manager->createMultiplayerList(list, &size, PLAYERLIST_RECORD_SIZE + 5),
              GAMEMANERR_OK);
    EXPECT_EQ(std::string(list, size), int32le(2) + nameField(""))
        << "cut to whole records; no account, an empty name";
    for (int id = 100; id < 100 + GAMEMANAGER_SLOT_COUNT - 2; id++) {
        ASSERT_EQ(attach(id, other), GAMEMANERR_OK) << id;
    }
    EXPECT_EQ(attach(500, other), GAMEMANERR_PLAYERNOTADDED) << "all slots taken";
    EXPECT_EQ(detach(150, other), GAMEMANERR_OK);
    EXPECT_EQ(attach(500, other), GAMEMANERR_OK) << "the freed slot";
    EXPECT_EQ(manager->notifyDisconnected(own), GAMEMANERR_OK);
    EXPECT_EQ(state(2), PLAYERSTATE_NOTUSED);
    EXPECT_EQ(state(3), PLAYERSTATE_NOTUSED);
    EXPECT_EQ(state(500), PLAYERSTATE_ATTACHED);
}

TEST_F(GameManagerTest, InvitationsAndCancelsOutOfTurnAreRefused) {
    int ann = account("ann"), bob = account("bob"), cat = account("cat"), dan = account("dan");
    Handler a = deaf(), b = deaf(), c = deaf(), d = deaf();
    ASSERT_EQ(attach(cat, c), GAMEMANERR_OK);
    join(bob, b);
    ASSERT_EQ(invite(cat, c, "bob"), GAMEMANERR_OK) << "an unlisted player invites";
    join(ann, a);
    join(dan, d);
    EXPECT_EQ(invite(ann, a, "bob"), GAMEMANERR_PLAYERNOTINVITED) << "already invited";
    EXPECT_EQ(invite(cat, c, "ann"), GAMEMANERR_PLAYERNOTINVITED) << "second invitation";
    EXPECT_EQ(invite(bob, b, "ann"), GAMEMANERR_PLAYERNOTINVITED) << "invited player invites";
    EXPECT_EQ(cancel(cat, c, "nobody"), GAMEMANERR_INVITATIONCANCELERROR) << "no account";
    EXPECT_EQ(cancel(cat, c, "ann"), GAMEMANERR_INVITATIONCANCELERROR) << "another partner";
    EXPECT_EQ(cancel(ann, a, "bob"), GAMEMANERR_INVITATIONCANCELERROR) << "bob is not ann's";
    EXPECT_EQ(state(cat), PLAYERSTATE_INVITING) << "a refused cancel changed the invitor";
    EXPECT_EQ(state(bob), PLAYERSTATE_PROCESSINGINVITATION) << "delivery fails and is retried";
    EXPECT_EQ(cancel(cat, c, "bob"), GAMEMANERR_OK);
    EXPECT_EQ(cancel(cat, c, "bob"), GAMEMANERR_OK) << "a repeated cancel";
    EXPECT_EQ(slot(cat).invitationUserId, -1);
    EXPECT_EQ(state(bob), PLAYERSTATE_PROCESSINGCANCELATION);
    ASSERT_EQ(invite(ann, a, "dan"), GAMEMANERR_OK);
    EXPECT_EQ(detach(dan, d), GAMEMANERR_OK);
    EXPECT_EQ(state(ann), PLAYERSTATE_PROCESSINGREJECTION) << "the invitee left the list";
    EXPECT_EQ(cancel(ann, a, "dan"), GAMEMANERR_INVITATIONCANCELERROR) << "dan has left";
}

// With a pool of one game: a stop before a start that never came does not end the pair's next
// game; a pair whose countdown ends while the pool's game runs is sent back to the lobby and
// leaves that game alone; a stop from a finished game leaves the next pair's game in the same,
// idle again, object alone.
TEST_F(GameManagerTest, EarlyAndStaleStopsAndAFullPoolLeaveTheRunningGameAlone) {
    manager->setPoolLimit(1);
    PlayerPtr ann = player("ann"), bob = player("bob"), cat = player("cat"), dan = player("dan"),
              eve = player("eve");
    enterLobby({ann.get(), bob.get()});
    ASSERT_NO_FATAL_FAILURE(inviteAndAccept(ann.get(), bob.get()));
    // Between the last countdown and the start ann stops, then bob leaves.
    ASSERT_TRUE(waitForState(ann->id, PLAYERSTATE_STARTINGGAMEINVITOR, 5 * WAIT_MS));
    Envelope message = {};
    stop(ann->id);
    ASSERT_EQ(manager->notifyDisconnected(bob->handler), GAMEMANERR_OK);
    while (message.id != MSG_GAMEFINISHED && ann->getReader().next(&message, WAIT_MS)) {
    }
    EXPECT_EQ(message.payload, int32le(FINISHSTATE_OTHERPLAYERLEFT));
    ASSERT_TRUE(waitForState(ann->id, PLAYERSTATE_ATTACHED));
    ASSERT_EQ(add(ann->id, ann->handler), GAMEMANERR_OK);
    join(cat->id, cat->handler);
    ASSERT_TRUE(cat->getReader().waitForList({{ann->id, "ann"}, {cat->id, "cat"}}, WAIT_MS));
    playUpToTheCards(ann.get(), cat.get());
    MultiPlayerGame* onlyGame = slot(ann->id).game;
    // The pool's one game runs: dan and eve are told their game ended and are back attached.
    enterLobby({dan.get(), eve.get()});
    ASSERT_NO_FATAL_FAILURE(inviteAndAccept(dan.get(), eve.get()));
    std::string why;
    ASSERT_TRUE(dan->expectPayload(MSG_ACCEPTINVITATION, nameField("eve"), &why)) << why;
    ASSERT_TRUE(dan->expectCountdownAndStart("eve", &why)) << why;
    ASSERT_TRUE(eve->expectCountdownAndStart("dan", &why)) << why;
    for (Player* p : {dan.get(), eve.get()}) {
        EXPECT_TRUE(p->expectPayload(MSG_GAMEFINISHED, int32le(FINISHSTATE_GAMEFINISHED), &why))
            << why;
        EXPECT_TRUE(waitForState(p->id, PLAYERSTATE_ATTACHED));
    }
    EXPECT_EQ(state(ann->id), PLAYERSTATE_PLAYINGINVITOR);
    stopAndSeeBothFinish(ann.get(), cat.get());
    for (Player* p : {dan.get(), eve.get()}) {
        ASSERT_EQ(add(p->id, p->handler), GAMEMANERR_OK);
    }
    playUpToTheCards(dan.get(), eve.get());
    ASSERT_EQ(slot(dan->id).game, onlyGame) << "the idle game is taken again";
    testing::internal::CaptureStdout();
    stop(ann->id);
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find("without game"), std::string::npos) << output;
    EXPECT_EQ(detach(ann->id, ann->handler), GAMEMANERR_OK);
    EXPECT_FALSE(dan->getReader().anyMessageWithin(1500));
    EXPECT_EQ(state(dan->id), PLAYERSTATE_PLAYINGINVITOR);
    stopAndSeeBothFinish(eve.get(), dan.get());
}

// bob rejects ann, whose connection fails the rejection's send, and ann leaves: bob must be
// listed and invitable again, as the delivered rejection would have left him.
TEST_F(GameManagerTest, InviteeIsListedAgainWhenTheInvitorLeavesBeforeHearingTheRejection) {
    PlayerPtr bob = player("bob");
    int ann = account("ann");
    int cat = account("cat");
    Handler annHandler = deaf();
    ASSERT_EQ(attach(ann, annHandler), GAMEMANERR_OK);
    join(bob->id, bob->handler);
    ASSERT_EQ(attach(cat, deaf()), GAMEMANERR_OK);
    ASSERT_EQ(invite(ann, annHandler, "bob"), GAMEMANERR_OK);
    ASSERT_TRUE(waitForState(bob->id, PLAYERSTATE_INVITED));
    int listsBefore = bob->getReader().listsSeen();
    std::string annName = "ann";
    ASSERT_EQ(manager->rejectInvitationForMultiplay(bob->id, bob->handler, &annName[0]),
              GAMEMANERR_OK);
    // The failed send has the list sent again: once bob has it, the send was tried.
    auto listSentAgain = [&] {
        bob->getReader().anyMessageWithin(0);
        return bob->getReader().listsSeen() > listsBefore;
    };
    ASSERT_TRUE(waitUntil(listSentAgain, WAIT_MS));
    ASSERT_EQ(remove(ann, annHandler), GAMEMANERR_OK);
    EXPECT_TRUE(bob->getReader().waitForList({{bob->id, "bob"}}, WAIT_MS)) << "not listed again";
    EXPECT_EQ(invite(cat, deaf(), "bob"), GAMEMANERR_OK);
}

// ann's connection is lost and her handler serves a newcomer before the manager hears of it.
TEST_F(GameManagerTest, AReusedHandlerGetsNothingMeantForTheOldClient) {
    PlayerPtr ann = player("ann", false), bob = player("bob");
    enterLobby({ann.get(), bob.get()});
    ann->getClient().close();
    ASSERT_TRUE(waitUntil([&] { return !ann->handler->isBusy(); }, WAIT_MS));
    LoopbackClient newcomer;
    MessageReader newcomerReader(&newcomer);
    ASSERT_EQ(server->connectGame(&newcomer), ann->handler) << "the freed handler is reused";
    StdoutCapture output;
    ASSERT_EQ(invite(bob->id, bob->handler, "ann"), GAMEMANERR_OK);
    ASSERT_TRUE(output.waitFor("invitation from bob ...Failed bitterly!\n", WAIT_MS));
    // Sent after the refused send, this finish comes after anything that send let through.
    std::string marker = int32le(0);
    ASSERT_EQ(ann->handler->sendMessage(MSG_GAMEFINISHED, &marker[0], 4), SOCKERR_OK);
    Envelope first = {};
    ASSERT_TRUE(newcomerReader.next(&first, WAIT_MS));
    EXPECT_EQ(first.id, MSG_GAMEFINISHED) << "got ann's invitation";
    EXPECT_EQ(state(ann->id), PLAYERSTATE_PROCESSINGINVITATION) << "a refused send is retried";
}

// Each report as {reported, outcome}; the outcome is -1 where beginFinish refused it.
class RecordingListener : public MultiPlayerGameListener {
public:
    void notifyGameFinished(MultiPlayerGame* game, gameError_t error) override {
        std::lock_guard<std::mutex> guard(mutex);
        gameError_t outcome = error;
        bool accepted = game->beginFinish(&outcome);
        if (accepted) {
            game->stopPlay();
        }
        reports.push_back({error, accepted ? outcome : -1});
    }
    std::vector<std::vector<int>> taken() {
        std::lock_guard<std::mutex> guard(mutex);
        return reports;
    }
    bool waitForReport() {
        return waitUntil([&] { return !taken().empty(); }, WAIT_MS);
    }

private:
    std::mutex mutex;
    std::vector<std::vector<int>> reports;
};

class MultiPlayerGameTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.useGameHandlers(false);
        ASSERT_GT(server.start(), 0);
        for (int i = 0; i < 2; i++) {
            GameClientHandler* handler = server.connectGame(&clients[i]);
            ASSERT_NE(handler, nullptr);
            players[i] = {};
            players[i].uniqueId = players[i].userId = i + 1;
            players[i].commHandler = handler;
            players[i].commConnection = handler->getConnectionCount();
            players[i].state = i == 0 ? PLAYERSTATE_PLAYINGINVITOR : PLAYERSTATE_PLAYINGINVITEE;
        }
    }
    void start(MultiPlayerGame* game) { game->startPlay(&players[0], &players[1], &listener); }
    // Both players receive one valid layout; its bytes.
    std::string receiveBothLayouts() {
        Envelope cards[2];
        std::string why;
        EXPECT_TRUE(clients[0].waitMessage(MSG_RECEIVECARDS, &cards[0], WAIT_MS));
        EXPECT_TRUE(clients[1].waitMessage(MSG_RECEIVECARDS, &cards[1], WAIT_MS));
        EXPECT_EQ(cards[0].payload, cards[1].payload) << "the players see different layouts";
        EXPECT_TRUE(checkCardLayout(cards[0].payload, &why)) << why;
        return cards[0].payload;
    }

    TestServer server;
    LoopbackClient clients[2];
    multiplayUser_t players[2];
    RecordingListener listener;
};

// Reports of a failure met by an earlier use of the game are stale while it runs.
TEST_F(MultiPlayerGameTest, EachStartDealsAFreshLayoutAndOnlyAStopMessageEndsTheGameOnce) {
    for (int round = 0; round < 5; round++) {
        MultiPlayerGame fresh(&listener);
        fresh.startPlay(&players[0], &players[1], &listener);  // its thread may not wait yet
        receiveBothLayouts();
    }
    MultiPlayerGame game(&listener);
    gameError_t error = GAMEERROR_STOPPRESSED;
    EXPECT_FALSE(game.beginFinish(&error)) << "an idle game has nothing to end";
    std::set<std::string> layouts;
    multiplayUser_t stranger = players[0];
    const int games = 8;
    for (int round = 0; round < games; round++) {
        start(&game);
        EXPECT_TRUE(game.servesPlayer(&players[1]));
        EXPECT_FALSE(game.servesPlayer(&stranger));
        layouts.insert(receiveBothLayouts());
        EXPECT_TRUE(game.isActive()) << "the game runs on after the deal";
        game.stopPlay();
        EXPECT_FALSE(game.servesPlayer(&players[0]));
    }
    EXPECT_GT(layouts.size(), static_cast<size_t>(games / 2)) << "the deck is not reshuffled";
    start(&game);
    receiveBothLayouts();
    for (msgType_t message :
         {MSG_SETFOUND, MSG_NOSETFOUND, MSG_PAUSEPRESSED, MSG_RESUMEPRESSED, MSG_RECEIVECARDS}) {
        game.processMessage(message, 1, nullptr, 0);
    }
    for (gameError_t failure : {GAMEERROR_INVITORCOMMERROR, GAMEERROR_INVITEECOMMERROR}) {
        error = failure;
        EXPECT_FALSE(game.beginFinish(&error)) << "a running game did not fail";
    }
    game.processMessage(MSG_STOPPRESSED, 2, nullptr, 0);
    ASSERT_TRUE(listener.waitForReport());
    game.processMessage(MSG_STOPPRESSED, 1, nullptr, 0);
    EXPECT_EQ(listener.taken(),
              (std::vector<std::vector<int>>{{GAMEERROR_STOPPRESSED, GAMEERROR_STOPPRESSED}}));
}

// A failed send of the cards ends the game once with that side's error: after a failure at
// the invitor the invitee gets nothing, nor does the next client of the invitor's handler.
TEST_F(MultiPlayerGameTest, FailedCardSendEndsTheGameWithThatSidesError) {
    GameClientHandler unconnected(nullptr);
    for (int failing : {1, 0, 2}) {
        SCOPED_TRACE(failing);
        RecordingListener reports;
        multiplayUser_t sides[2] = {players[0], players[1]};
        LoopbackClient newcomer;
        if (failing == 2) {  // the invitor's connection is lost and its handler serves anew
            clients[0].close();
            ASSERT_TRUE(waitUntil([&] { return !sides[0].commHandler->isBusy(); }, WAIT_MS));
            ASSERT_EQ(server.connectGame(&newcomer), sides[0].commHandler);
        } else {
            sides[failing].commHandler = &unconnected;
        }
        MultiPlayerGame game(&reports);
        game.startPlay(&sides[0], &sides[1], &reports);
        ASSERT_TRUE(reports.waitForReport());
        int error = failing == 1 ? GAMEERROR_INVITEECOMMERROR : GAMEERROR_INVITORCOMMERROR;
        EXPECT_EQ(reports.taken(), (std::vector<std::vector<int>>{{error, error}}));
        Envelope cards;
        EXPECT_EQ(clients[0].waitMessage(MSG_RECEIVECARDS, &cards, 0), failing == 1);
        EXPECT_EQ(clients[1].receiveRaw(0), "");
        EXPECT_EQ(newcomer.receiveRaw(0), "");
    }
}

// Games are made on the manager thread under its lock: a game thread that cannot be created
// ends the process at once as a failure, after one ERROR line.
TEST(MultiPlayerGameDeathTest, AGameThreadThatCannotBeCreatedEndsTheProcessAsAFailure) {
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            pthread_attr_t unplaceable;
            pthread_attr_init(&unplaceable);
            pthread_attr_setstacksize(&unplaceable, static_cast<size_t>(1) << 50);
            pthread_setattr_default_np(&unplaceable);
            RecordingListener listener;
            new MultiPlayerGame(&listener);
        },
        testing::ExitedWithCode(1), "ERROR: Error initialising thread\n");
}

}  // namespace
