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
#include "LoopbackClient.h"
#include "MultiPlayerGame.h"
#include "MultiPlayerGameListener.h"
#include "TestServer.h"
#include "TestSupport.h"

namespace {

const int WAIT_MS = 3000;

struct Report {
    gameError_t reported;
    bool accepted;
    gameError_t outcome;
};

class RecordingListener : public MultiPlayerGameListener {
public:
    void notifyGameFinished(MultiPlayerGame* game, gameError_t error) override {
        std::lock_guard<std::mutex> guard(mutex);
        Report report = {error, false, error};
        report.accepted = game->beginFinish(&report.outcome);
        if (report.accepted) {
            game->stopPlay();
        }
        reports.push_back(report);
    }
    std::vector<Report> taken() {
        std::lock_guard<std::mutex> guard(mutex);
        return reports;
    }
    bool waitForReport() {
        return waitUntil([&] { return !taken().empty(); }, WAIT_MS);
    }

private:
    std::mutex mutex;
    std::vector<Report> reports;
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
            players[i].invitationUserId = -1;
        }
    }
    void start(MultiPlayerGame* game) { game->startPlay(&players[0], &players[1], &listener); }
    // Both players receive one valid layout; its stack indices.
    std::vector<int> receiveBothLayouts() {
        Envelope cards[2];
        std::string why;
        for (int i = 0; i < 2; i++) {
            EXPECT_TRUE(clients[i].waitMessage(MSG_RECEIVECARDS, &cards[i], WAIT_MS)) << i;
        }
        EXPECT_EQ(cards[0].payload, cards[1].payload) << "the players see different layouts";
        EXPECT_TRUE(checkCardLayout(cards[0].payload, &why)) << why;
        std::vector<int> indices;
        for (size_t at = 3; at < cards[0].payload.size(); at += CARDMESSAGE_BYTES_PER_CARD) {
            indices.push_back(static_cast<unsigned char>(cards[0].payload[at]));
        }
        return indices;
    }

    TestServer server;
    LoopbackClient clients[2];
    multiplayUser_t players[2];
    RecordingListener listener;
};

TEST_F(MultiPlayerGameTest, EachStartDealsOneFreshIdenticalLayoutToBoth) {
    MultiPlayerGame game(&listener);
    EXPECT_FALSE(game.isActive());
    std::set<std::vector<int>> layouts;
    const int games = 8;
    for (int round = 0; round < games; round++) {
        SCOPED_TRACE(round);
        start(&game);
        EXPECT_TRUE(game.isActive());
        EXPECT_EQ(game.getInvitor(), &players[0]);
        EXPECT_EQ(game.getInvitee(), &players[1]);
        EXPECT_TRUE(game.servesPlayer(&players[1]));
        std::vector<int> layout = receiveBothLayouts();
        EXPECT_EQ(layout.size(), 12u);
        layouts.insert(layout);
        EXPECT_TRUE(game.isActive()) << "the game runs on after the deal";
        game.stopPlay();
        EXPECT_FALSE(game.isActive());
        EXPECT_FALSE(game.servesPlayer(&players[0]));
        EXPECT_EQ(game.getInvitor(), nullptr);
    }
    EXPECT_EQ(game.getDealCount(), games) << "one deal per start";
    EXPECT_GT(layouts.size(), static_cast<size_t>(games / 2)) << "the deck is not reshuffled";
    multiplayUser_t stranger = players[0];
    start(&game);
    EXPECT_FALSE(game.servesPlayer(&stranger));
    EXPECT_TRUE(listener.taken().empty());
}

TEST_F(MultiPlayerGameTest, StartSignalledRightAfterConstructionIsDealt) {
    for (int round = 0; round < 5; round++) {
        MultiPlayerGame game(&listener);
        start(&game);  // the thread may not wait yet
        EXPECT_EQ(receiveBothLayouts().size(), 12u) << round;
        EXPECT_EQ(game.getDealCount(), 1);
    }
}

TEST_F(MultiPlayerGameTest, OnlyAStopMessageEndsTheGameAndOnlyOnce) {
    MultiPlayerGame game(&listener);
    start(&game);
    receiveBothLayouts();
    for (msgType_t message :
         {MSG_SETFOUND, MSG_NOSETFOUND, MSG_PAUSEPRESSED, MSG_RESUMEPRESSED, MSG_RECEIVECARDS}) {
        game.processMessage(message, 1, nullptr, 0);
    }
    EXPECT_TRUE(game.isActive());
    EXPECT_TRUE(listener.taken().empty());
    game.processMessage(MSG_STOPPRESSED, 2, nullptr, 0);
    ASSERT_TRUE(listener.waitForReport());
    EXPECT_EQ(listener.taken()[0].reported, GAMEERROR_STOPPRESSED);
    EXPECT_TRUE(listener.taken()[0].accepted);
    EXPECT_FALSE(game.isActive());
    game.processMessage(MSG_STOPPRESSED, 1, nullptr, 0);
    EXPECT_EQ(listener.taken().size(), 1u) << "a stop for an idle game reported again";
}

// A failed send of the cards ends the game with that side's error; the invitee is sent
// nothing after a failure at the invitor, nor is the next client of the invitor's handler.
TEST_F(MultiPlayerGameTest, FailedCardSendEndsTheGameWithThatSidesError) {
    struct Case {
        const char* label;
        int failing;
        bool reuseHandler;
        gameError_t error;
    } cases[] = {
        {"invitor unconnected", 0, false, GAMEERROR_INVITORCOMMERROR},
        {"invitee unconnected", 1, false, GAMEERROR_INVITEECOMMERROR},
        {"invitor's handler serves a newcomer", 0, true, GAMEERROR_INVITORCOMMERROR},
    };
    GameClientHandler unconnected(nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        RecordingListener reports;
        multiplayUser_t sides[2] = {players[0], players[1]};
        LoopbackClient newcomer;
        if (c.reuseHandler) {
            clients[0].close();
            ASSERT_TRUE(waitUntil([&] { return !sides[0].commHandler->isBusy(); }, WAIT_MS));
            ASSERT_EQ(server.connectGame(&newcomer), sides[0].commHandler);
        } else {
            sides[c.failing].commHandler = &unconnected;
        }
        MultiPlayerGame game(&reports);
        game.startPlay(&sides[0], &sides[1], &reports);
        ASSERT_TRUE(reports.waitForReport());
        EXPECT_EQ(reports.taken()[0].reported, c.error);
        EXPECT_TRUE(reports.taken()[0].accepted);
        EXPECT_EQ(reports.taken()[0].outcome, c.error);
        EXPECT_FALSE(game.isActive());
        Envelope cards;
        EXPECT_EQ(clients[0].waitMessage(MSG_RECEIVECARDS, &cards, 0), c.failing == 1);
        EXPECT_EQ(clients[1].receiveRaw(0), "");
        EXPECT_EQ(newcomer.receiveRaw(0), "");
    }
}

TEST_F(MultiPlayerGameTest, EndReportsOfAnEarlierUseAreStale) {
    MultiPlayerGame game(&listener);
    gameError_t error = GAMEERROR_STOPPRESSED;
    EXPECT_FALSE(game.beginFinish(&error)) << "an idle game has nothing to end";
    start(&game);
    receiveBothLayouts();
    for (gameError_t failure : {GAMEERROR_INVITORCOMMERROR, GAMEERROR_INVITEECOMMERROR}) {
        error = failure;
        EXPECT_FALSE(game.beginFinish(&error)) << "a running game did not fail";
    }
    EXPECT_TRUE(game.isActive());
    error = GAMEERROR_STOPPRESSED;
    EXPECT_TRUE(game.beginFinish(&error));
    EXPECT_EQ(error, GAMEERROR_STOPPRESSED);
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
