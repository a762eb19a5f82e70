// MultiPlayerGameTest.cpp - one game object over real loopback connections:
// the opening layout each player receives, reuse of a game, the end by a
// stop message and by failed sends, and the rule that tells a stale end
// report from a current one. A recording listener stands in for the game
// manager and answers as the manager does (beginFinish, then stopPlay).
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "GameClientHandler.h"
#include "LobbyPlayer.h"
#include "TestServer.h"
#include "TestSupport.h"
#include "LoopbackClient.h"
#include "MultiPlayerGame.h"
#include "MultiPlayerGameListener.h"
#include "MutexGuard.h"
#include "SimpleOsa.h"

namespace {

const int WAIT_MS = 3000;

struct Report {
    gameError_t reported;
    bool accepted;
    gameError_t outcome;
};

class RecordingListener : public MultiPlayerGameListener {
public:
    RecordingListener() {
        mutexCreate(&mutex);
        threadConditionCreate(&condition);
    }
    ~RecordingListener() override {
        threadConditionDestroy(&condition);
        mutexDestroy(&mutex);
    }
    void notifyGameFinished(MultiPlayerGame* game, gameError_t error) override {
        MutexGuard guard(&mutex);
        Report report;
        report.reported = error;
        report.outcome = error;
        report.accepted = game->beginFinish(&report.outcome);
        if (report.accepted) {
            game->stopPlay();
        }
        reports.push_back(report);
        threadCondBroadcast(&condition);
    }
    bool waitForReports(size_t count, int timeoutMs) {
        long long deadline = clockMonotonicMs() + timeoutMs;
        MutexGuard guard(&mutex);
        while (reports.size() < count) {
            long long left = deadline - clockMonotonicMs();
            if (left <= 0) {
                return false;
            }
            threadCondTimedWait(&condition, &mutex, static_cast<long>(left));
        }
        return true;
    }
    std::vector<Report> taken() {
        MutexGuard guard(&mutex);
        return reports;
    }

private:
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    std::vector<Report> reports;
};

multiplayUser_t slotFor(int userId, GameClientHandler* handler) {
    multiplayUser_t slot = {};
    slot.uniqueId = userId;
    slot.userId = userId;
    slot.commHandler = handler;
    slot.commConnection = handler->getConnectionCount();
    slot.state = PLAYERSTATE_PLAYINGINVITOR;
    slot.invitationUserId = -1;
    return slot;
}

// Checks one card message and returns its stackIndex sequence.
std::vector<int> checkLayout(const Envelope& cards) {
    std::string why;
    EXPECT_TRUE(checkCardLayout(cards.payload, &why)) << why;
    std::vector<int> indices;
    for (size_t at = 3; at < cards.payload.size(); at += CARDMESSAGE_BYTES_PER_CARD) {
        indices.push_back(static_cast<unsigned char>(cards.payload[at]));
    }
    return indices;
}

class MultiPlayerGameTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.useGameHandlers(false);
        ASSERT_GT(server.start(), 0);
        invitorHandler = server.connectGame(&invitorClient);
        inviteeHandler = server.connectGame(&inviteeClient);
        ASSERT_NE(invitorHandler, nullptr);
        ASSERT_NE(inviteeHandler, nullptr);
        invitor = slotFor(1, invitorHandler);
        invitee = slotFor(2, inviteeHandler);
        invitee.state = PLAYERSTATE_PLAYINGINVITEE;
    }

    // Both players receive the layout; returns it after checking they match.
    std::vector<int> receiveBothLayouts() {
        Envelope first;
        Envelope second;
        EXPECT_TRUE(invitorClient.waitMessage(MSG_RECEIVECARDS, &first, WAIT_MS));
        EXPECT_TRUE(inviteeClient.waitMessage(MSG_RECEIVECARDS, &second, WAIT_MS));
        EXPECT_EQ(first.payload, second.payload) << "the players see different layouts";
        return checkLayout(first);
    }

    TestServer server;
    LoopbackClient invitorClient;
    LoopbackClient inviteeClient;
    GameClientHandler* invitorHandler = nullptr;
    GameClientHandler* inviteeHandler = nullptr;
    multiplayUser_t invitor;
    multiplayUser_t invitee;
    RecordingListener listener;
};

}  // namespace

TEST_F(MultiPlayerGameTest, DealsOneIdenticalLayoutToBothPlayers) {
    MultiPlayerGame game(&listener);
    EXPECT_FALSE(game.isActive());
    game.startPlay(&invitor, &invitee, &listener);
    EXPECT_TRUE(game.isActive());
    EXPECT_EQ(game.getInvitor(), &invitor);
    EXPECT_EQ(game.getInvitee(), &invitee);
    std::vector<int> layout = receiveBothLayouts();
    EXPECT_EQ(layout.size(), 12u);
    EXPECT_EQ(game.getDealCount(), 1);
    EXPECT_TRUE(game.isActive()) << "the game runs on after the deal";
    EXPECT_TRUE(game.servesPlayer(&invitor));
    EXPECT_TRUE(game.servesPlayer(&invitee));
    multiplayUser_t stranger = slotFor(3, invitorHandler);
    EXPECT_FALSE(game.servesPlayer(&stranger));
    EXPECT_TRUE(listener.taken().empty());
}

TEST_F(MultiPlayerGameTest, ReusedGameDealsFromAFreshShuffledDeckEachTime) {
    MultiPlayerGame game(&listener);
    std::set<std::vector<int>> layouts;
    const int games = 8;
    for (int round = 0; round < games; round++) {
        game.startPlay(&invitor, &invitee, &listener);
        std::vector<int> layout = receiveBothLayouts();
        ASSERT_EQ(layout.size(), 12u) << "round " << round;
        layouts.insert(layout);
        game.stopPlay();
        EXPECT_FALSE(game.isActive());
        EXPECT_EQ(game.getInvitor(), nullptr);
        EXPECT_EQ(game.getInvitee(), nullptr);
    }
    EXPECT_EQ(game.getDealCount(), games) << "one deal per start, no more";
    EXPECT_GT(layouts.size(), static_cast<size_t>(games / 2)) << "the deck is not reshuffled";
}

TEST_F(MultiPlayerGameTest, StartSignalledRightAfterConstructionIsDealt) {
    for (int round = 0; round < 5; round++) {
        MultiPlayerGame game(&listener);
        game.startPlay(&invitor, &invitee, &listener);  // the thread may not wait yet
        EXPECT_EQ(receiveBothLayouts().size(), 12u) << "round " << round;
        EXPECT_EQ(game.getDealCount(), 1);
    }
}

TEST_F(MultiPlayerGameTest, StopMessageEndsTheGameOnceOtherMessagesDoNothing) {
    MultiPlayerGame game(&listener);
    game.startPlay(&invitor, &invitee, &listener);
    receiveBothLayouts();
    const msgType_t ignored[] = {MSG_SETFOUND, MSG_NOSETFOUND, MSG_PAUSEPRESSED, MSG_RESUMEPRESSED,
                                 MSG_RECEIVECARDS};
    for (msgType_t message : ignored) {
        game.processMessage(message, 1, nullptr, 0);
    }
    EXPECT_TRUE(game.isActive());
    EXPECT_TRUE(listener.taken().empty());

    game.processMessage(MSG_STOPPRESSED, 2, nullptr, 0);
    ASSERT_TRUE(listener.waitForReports(1, WAIT_MS));
    std::vector<Report> reports = listener.taken();
    EXPECT_EQ(reports[0].reported, GAMEERROR_STOPPRESSED);
    EXPECT_TRUE(reports[0].accepted);
    EXPECT_FALSE(game.isActive());
    game.processMessage(MSG_STOPPRESSED, 1, nullptr, 0);
    EXPECT_EQ(listener.taken().size(), 1u) << "a stop for an idle game reported again";
}

TEST_F(MultiPlayerGameTest, FailedSendToInvitorEndsTheGameAndInviteeGetsNothing) {
    GameClientHandler unconnected(nullptr);
    invitor.commHandler = &unconnected;
    MultiPlayerGame game(&listener);
    game.startPlay(&invitor, &invitee, &listener);
    ASSERT_TRUE(listener.waitForReports(1, WAIT_MS));
    Report report = listener.taken()[0];
    EXPECT_EQ(report.reported, GAMEERROR_INVITORCOMMERROR);
    EXPECT_TRUE(report.accepted);
    EXPECT_EQ(report.outcome, GAMEERROR_INVITORCOMMERROR);
    EXPECT_FALSE(game.isActive());
    // The cards would have gone to the invitee before the failure was reported.
    EXPECT_EQ("", inviteeClient.receiveRaw(0));
}

TEST_F(MultiPlayerGameTest, FailedSendToInviteeEndsTheGameAfterTheInvitorsCards) {
    GameClientHandler unconnected(nullptr);
    invitee.commHandler = &unconnected;
    MultiPlayerGame game(&listener);
    game.startPlay(&invitor, &invitee, &listener);
    Envelope cards;
    ASSERT_TRUE(invitorClient.waitMessage(MSG_RECEIVECARDS, &cards, WAIT_MS));
    checkLayout(cards);
    ASSERT_TRUE(listener.waitForReports(1, WAIT_MS));
    Report report = listener.taken()[0];
    EXPECT_EQ(report.reported, GAMEERROR_INVITEECOMMERROR);
    EXPECT_EQ(report.outcome, GAMEERROR_INVITEECOMMERROR);
    EXPECT_FALSE(game.isActive());
}

TEST_F(MultiPlayerGameTest, EndReportsOfAnEarlierUseAreStale) {
    MultiPlayerGame game(&listener);
    gameError_t error = GAMEERROR_STOPPRESSED;
    EXPECT_FALSE(game.beginFinish(&error)) << "an idle game has nothing to end";
    game.startPlay(&invitor, &invitee, &listener);
    receiveBothLayouts();
    error = GAMEERROR_INVITORCOMMERROR;
    EXPECT_FALSE(game.beginFinish(&error)) << "a running game did not fail";
    error = GAMEERROR_INVITEECOMMERROR;
    EXPECT_FALSE(game.beginFinish(&error));
    EXPECT_TRUE(game.isActive());
    error = GAMEERROR_STOPPRESSED;
    EXPECT_TRUE(game.beginFinish(&error));
    EXPECT_EQ(error, GAMEERROR_STOPPRESSED);
}

TEST_F(MultiPlayerGameTest, CardsAreNotDealtToTheNextClientOfAReusedHandler) {
    // The invitor's connection is lost (the manager has not heard yet) and
    // its handler serves a newcomer before the game deals.
    invitorClient.close();
    ASSERT_TRUE(waitUntil([&] { return !invitorHandler->isBusy(); }, WAIT_MS));
    LoopbackClient newcomer;
    ASSERT_EQ(server.connectGame(&newcomer), invitorHandler) << "the freed handler is reused";
    MultiPlayerGame game(&listener);
    game.startPlay(&invitor, &invitee, &listener);
    ASSERT_TRUE(listener.waitForReports(1, WAIT_MS));
    EXPECT_EQ(listener.taken()[0].reported, GAMEERROR_INVITORCOMMERROR);
    // Cards sent anyway would have gone out before the failure was reported.
    EXPECT_EQ("", newcomer.receiveRaw(0)) << "cards of another game";
    EXPECT_EQ("", inviteeClient.receiveRaw(0));
}

// No thread stack fits the address space, so the game thread cannot be
// created. A game is made on the manager thread under the manager's lock:
// the process ends at once with a failure status after one ERROR line.
TEST(MultiPlayerGameDeathTest, AGameThreadThatCannotBeCreatedEndsTheProcessAsAFailure) {
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);  // the log line, where the check reads
            pthread_attr_t unplaceable;
            pthread_attr_init(&unplaceable);
            pthread_attr_setstacksize(&unplaceable, static_cast<size_t>(1) << 50);
            pthread_setattr_default_np(&unplaceable);
            RecordingListener listener;
            new MultiPlayerGame(&listener);
        },
        testing::ExitedWithCode(1), "ERROR: Error initialising thread\n");
}
