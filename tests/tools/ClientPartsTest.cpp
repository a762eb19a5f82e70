// ClientPartsTest.cpp - the client's card table, list texts and lobby event waits.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "CardTable.h"
#include "GameProtocol.h"
#include "ListFormat.h"
#include "LobbyEvents.h"
#include "LoopbackClient.h"
#include "UserFileImage.h"

namespace {

// A card message of (row, col, card) triples, drawn; "refused" when it is no table.
std::string draw(const std::vector<std::vector<int>>& cards, bool colours = false) {
    std::string payload(1, static_cast<char>(cards.size()));
    for (const std::vector<int>& placed : cards) {
        payload += {static_cast<char>(placed[0]), static_cast<char>(placed[1]),
                    static_cast<char>(placed[2])};
    }
    CardTable table;
    char text[4096] = "";
    bool loaded = table.load(payload.data(), static_cast<int>(payload.size()));
    table.format(text, sizeof text, colours);
    return loaded ? text : "refused";
}

TEST(CardTableTest, DrawsEachCardWithItsAttributesAndColours) {
    // 0 blue ellipse one solid; 13 red ellipse two open; 80 purple wave three half;
    // 27 blue rectangle one solid.
    std::string text = draw({{0, 1, 0}, {0, 2, 13}, {1, 1, 80}, {2, 4, 27}});
    std::string underC(55, ' ');
    EXPECT_NE(
        std::string::npos,
        text.find("Cards on the table (4):\n"
                  "    2                3                4                5\n"
                  "A   (#)              ( ) ( )          .                .\n"
                  "    1 blue           2 red\n"
                  "    solid ellipse    open ellipse\n"
                  "B   ~/~ ~/~ ~/~      .                .                .\n"
                  "    3 purple\n"
                  "    half wave\n"
                  "C   .                .                .                [#]\n" +
                  underC + "1 blue\n" + underC + "solid rectangle\n" + "Symbols: ( ) ellipse"))
        << text;
    text = draw({{0, 0, 1}}, true);  // red ellipse one solid
    EXPECT_NE(std::string::npos,
              text.find("\033[31m(#)\033[0m\n    \033[31m1 red\033[0m\n    solid"))
        << text;
}

TEST(CardTableTest, NamesEverySetInThePositionsOfTheMessage) {
    // Cards 0, 1, 2 and 0, 40, 80 are the sets; outer columns too, which the server does not
    // deal to: the play field lays cards out in its own order.
    EXPECT_NE(std::string::npos,
              draw({{2, 5, 0}, {0, 0, 1}, {1, 3, 2}, {0, 5, 40}, {2, 0, 80}, {1, 1, 3}})
                  .find("2 sets on the table: A1 B4 C6, A6 C1 C6\n"));
    EXPECT_NE(std::string::npos,
              draw({{0, 1, 0}, {0, 2, 1}, {0, 3, 3}}).find("No set on the table.\n"));
    const std::vector<std::vector<std::vector<int>>> refused = {
        {{3, 0, 5}}, {{0, 6, 5}}, {{0, 0, 81}}, {{0, 0, 5}, {0, 0, 6}}, {{0, 0, 5}, {1, 0, 5}}};
    for (const auto& cards : refused) {
        EXPECT_EQ("refused", draw(cards)) << cards.back()[0] << cards.back()[1] << cards.back()[2];
    }
    CardTable table;
    EXPECT_FALSE(table.load("\x02\x00\x01\x05\x00\x02", 6));  // too short for its count
    EXPECT_FALSE(table.load("", 0));
}

TEST(ListFormatTest, PartRecordsAndBytesThatCouldSteerTheTerminal) {
    char text[4096];
    std::string evil = "ev\033[2Jil\x01";
    evil.resize(PROTOCOL_NAME_SIZE, 'x');  // no terminator either
    std::string list = int32le(1) + evil + int32le(0x1020304) + nameField("bob");
    ListFormat::formatPlayers(text, sizeof text, list.data(), static_cast<int>(list.size()) - 1);
    EXPECT_STREQ("Players on the list (1):\n     Id  Name\n      1  ev?[2Jil?xxxxxxxxxx\n", text);
    list = highscoreSlot(1, "alice", " 3- 5-2024", 120) + highscoreSlot(2, "bo\x7f", "", 0);
    EXPECT_EQ(2, ListFormat::formatHighscores(text, sizeof text, list.data(), 100));
    EXPECT_EQ("High scores (2):\n" + highscoreEntryText(1, "alice", " 3- 5-2024", 120) + "\n" +
                  highscoreEntryText(2, "bo?", "", 0) + "\n",
              text);
    EXPECT_EQ(0, ListFormat::formatHighscores(text, sizeof text, "", 0));
    EXPECT_STREQ("The high-score list is empty.\n", text);
}

TEST(LobbyEventsTest, AWaitWakesWhenTheEventComesNotAtTheEndOfItsSlice) {
    LobbyEvents events;
    std::thread reader([&events] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the wait has begun
        events.record(LOBBYEVENT_CARDS);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LOBBYWAIT_DONE, events.waitFor(LOBBYEVENT_CARDS, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    reader.join();
}

}  // namespace
