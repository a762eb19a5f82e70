// MultiPlayerGameTest.cpp - one game object over loopback connections; a recording listener
// answers its end reports as the manager does (beginFinish, then stopPlay).
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "GameClientHandler.h"
#include "LobbyPlayer.h"
#include "MultiPlayerGame.h"
#include "MultiPlayerGameListener.h"
#include "TestServer.h"
#include "TestSupport.h"

namespace {

const int WAIT_MS = 3000;

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

// Each start deals one fresh layout to both and the game runs on until a stop message. Reports of
// a failure met by an earlier use of the game are stale while it runs.
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
        EXPECT_FALSE(game.isActive());
        EXPECT_FALSE(game.servesPlayer(&players[0]));
    }
    EXPECT_GT(layouts.size(), static_cast<size_t>(games / 2)) << "the deck is not reshuffled";
    EXPECT_TRUE(listener.taken().empty());
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
    EXPECT_TRUE(game.isActive());
    game.processMessage(MSG_STOPPRESSED, 2, nullptr, 0);
    ASSERT_TRUE(listener.waitForReport());
    EXPECT_FALSE(game.isActive());
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
        EXPECT_FALSE(game.isActive());
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
