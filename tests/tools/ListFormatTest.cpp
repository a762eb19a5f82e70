// ListFormatTest.cpp - the player list and the high-score list as the
// client prints them: records and slots read at their offsets, a trailing
// part ignored, and bytes that could steer a terminal replaced.
#include <gtest/gtest.h>

#include <string>

#include "GameProtocol.h"
#include "ListFormat.h"
#include "LoopbackClient.h"

namespace {

std::string slot(const std::string& text) {
    std::string bytes = text;
    bytes.resize(HIGHSCORE_SLOT_SIZE, '\0');
    return bytes;
}

std::string players(const std::string& list) {
    char text[4096];
    ListFormat::formatPlayers(text, sizeof text, list.data(), static_cast<int>(list.size()));
    return text;
}

TEST(ListFormatTest, PlayerListAsATable) {
    std::string list = int32le(7) + nameField("alice") + int32le(12) + nameField("bob");
    EXPECT_EQ("Players on the list (2):\n     Id  Name\n      7  alice\n     12  bob\n",
              players(list));
    EXPECT_EQ("Players on the list (1):\n     Id  Name\n      7  alice\n",
              players(list.substr(0, 30)));  // a part record is not shown
    EXPECT_EQ("Nobody is on the player list.\n", players(""));
    EXPECT_TRUE(ListFormat::listHolds(list.data(), static_cast<int>(list.size()), "bob"));
    EXPECT_FALSE(ListFormat::listHolds(list.data(), static_cast<int>(list.size()), "bo"));
}

TEST(ListFormatTest, NamesCannotSteerTheTerminal) {
    std::string field = "ev\033[2Jil";
    field.resize(PROTOCOL_NAME_SIZE, 'x');  // no terminator either
    std::string list = int32le(1) + field;
    EXPECT_EQ("Players on the list (1):\n     Id  Name\n      1  ev?[2Jilxxxxxxxxxxx\n",
              players(list));
}

TEST(ListFormatTest, HighScoreSlotsAreLines) {
    std::string list =
        slot("  1.      alice  3- 5-2024  120") + slot("  2.        bob 00-00-0000    0");
    char text[4096];
    EXPECT_EQ(2, ListFormat::formatHighscores(text, sizeof text, list.data(),
                                              static_cast<int>(list.size())));
    EXPECT_EQ(std::string("High scores (2):\n  1.      alice  3- 5-2024  120\n"
                          "  2.        bob 00-00-0000    0\n"),
              text);
    EXPECT_EQ(0, ListFormat::formatHighscores(text, sizeof text, "", 0));
    EXPECT_EQ(std::string("The high-score list is empty.\n"), text);
}

}  // namespace
