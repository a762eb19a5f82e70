// LobbyEventsTest.cpp - the rendezvous between the client's reader thread
// and its scripted waits: each wait takes one arrival (also one that came
// before the wait began), waits for a listed player see the latest list,
// and the re-add request after a game is taken once.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "LobbyEvents.h"
#include "LoopbackClient.h"

namespace {

std::string record(int id, const std::string& name) {
    return int32le(id) + nameField(name);
}

TEST(LobbyEventsTest, EachWaitTakesOneArrival) {
    LobbyEvents events;
    EXPECT_EQ(LOBBYWAIT_PENDING, events.waitFor(LOBBYEVENT_COUNTDOWN, 10));
    events.record(LOBBYEVENT_COUNTDOWN);
    events.record(LOBBYEVENT_COUNTDOWN);
    EXPECT_EQ(LOBBYWAIT_PENDING, events.waitFor(LOBBYEVENT_START, 10));
    EXPECT_EQ(LOBBYWAIT_DONE, events.waitFor(LOBBYEVENT_COUNTDOWN, 10));
    EXPECT_EQ(LOBBYWAIT_DONE, events.waitFor(LOBBYEVENT_COUNTDOWN, 10));
    EXPECT_EQ(LOBBYWAIT_PENDING, events.waitFor(LOBBYEVENT_COUNTDOWN, 10));
}

TEST(LobbyEventsTest, AWaitWakesWhenTheEventArrives) {
    LobbyEvents events;
    std::thread reader([&events] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        events.record(LOBBYEVENT_CARDS);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LOBBYWAIT_DONE, events.waitFor(LOBBYEVENT_CARDS, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    reader.join();
}

TEST(LobbyEventsTest, PlayerWaitsSeeTheLatestList) {
    LobbyEvents events;
    EXPECT_EQ(LOBBYWAIT_PENDING, events.waitForPlayer("bob", 10));
    std::string list = record(1, "alice") + record(2, "bob");
    events.recordPlayerList(list.data(), static_cast<int>(list.size()));
    EXPECT_EQ(LOBBYWAIT_DONE, events.waitForPlayer("bob", 10));
    EXPECT_EQ(LOBBYWAIT_PENDING, events.waitForPlayer("bo", 10));
    list = record(1, "alice");
    events.recordPlayerList(list.data(), static_cast<int>(list.size()));
    EXPECT_EQ(LOBBYWAIT_PENDING, events.waitForPlayer("bob", 10));
    EXPECT_EQ(LOBBYWAIT_DONE, events.waitFor(LOBBYEVENT_LIST, 10));
}

TEST(LobbyEventsTest, AReaddRequestIsTakenOnce) {
    LobbyEvents events;
    EXPECT_FALSE(events.takeReaddRequest());
    events.requestReadd();
    EXPECT_TRUE(events.takeReaddRequest());
    EXPECT_FALSE(events.takeReaddRequest());
}

TEST(LobbyEventsTest, KnowsTheEventWordsOfScripts) {
    lobbyEvent_t event = LOBBYEVENT_LIST;
    EXPECT_TRUE(LobbyEvents::eventByName("invitation", &event));
    EXPECT_EQ(LOBBYEVENT_INVITATION, event);
    EXPECT_TRUE(LobbyEvents::eventByName("end", &event));
    EXPECT_EQ(LOBBYEVENT_END, event);
    EXPECT_FALSE(LobbyEvents::eventByName("Invitation", &event));
    EXPECT_FALSE(LobbyEvents::eventByName("player", &event));
}

}  // namespace
