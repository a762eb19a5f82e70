// CardTableTest.cpp - the client's card table: card messages read or
// refused, the drawing of each card, and every set found on the table in
// the positions of the message, checked against a search of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "CardTable.h"
#include "SetRule.h"

namespace {

struct Placed {
    int row;
    int col;
    int card;
};

std::string message(const std::vector<Placed>& cards) {
    std::string payload(1, static_cast<char>(cards.size()));
    for (const Placed& placed : cards) {
        payload.push_back(static_cast<char>(placed.row));
        payload.push_back(static_cast<char>(placed.col));
        payload.push_back(static_cast<char>(placed.card));
    }
    return payload;
}

// The twelve positions the server deals to, with the given cards.
std::vector<Placed> deal(const std::vector<int>& cards) {
    std::vector<Placed> placed;
    for (size_t k = 0; k < cards.size(); k++) {
        placed.push_back({static_cast<int>(k) / 4, 1 + static_cast<int>(k) % 4, cards[k]});
    }
    return placed;
}

bool load(CardTable& table, const std::vector<Placed>& cards) {
    std::string payload = message(cards);
    return table.load(payload.data(), static_cast<int>(payload.size()));
}

std::string format(CardTable& table) {
    char text[4096] = "";
    table.format(text, sizeof text, false);
    return text;
}

typedef std::tuple<int, int, int, int, int, int> SetKey;

// Every triple of cards on the table that the set rule accepts, by
// attribute arithmetic: for each attribute the three values sum to a
// multiple of 3 exactly when they are all equal or all different.
std::set<SetKey> setsByArithmetic(const CardTable& table) {
    std::vector<std::pair<int, int>> cells;
    for (int row = 0; row < PLAYFIELD_ROWS; row++) {
        for (int col = 0; col < PLAYFIELD_COLUMNS; col++) {
            if (table.cardAt(row, col) != nullptr) {
                cells.push_back({row, col});
            }
        }
    }
    std::set<SetKey> sets;
    for (size_t i = 0; i < cells.size(); i++) {
        for (size_t j = i + 1; j < cells.size(); j++) {
            for (size_t k = j + 1; k < cells.size(); k++) {
                const card_t* a = table.cardAt(cells[i].first, cells[i].second);
                const card_t* b = table.cardAt(cells[j].first, cells[j].second);
                const card_t* c = table.cardAt(cells[k].first, cells[k].second);
                if (formSet(a, b, c)) {
                    sets.insert(SetKey(cells[i].first, cells[i].second, cells[j].first,
                                       cells[j].second, cells[k].first, cells[k].second));
                }
            }
        }
    }
    return sets;
}

std::set<SetKey> setsFound(CardTable& table) {
    set_t sets[PLAYFIELD_MAX_SETS];
    int found = table.findSets(sets);
    std::set<SetKey> keys;
    for (int s = 0; s < found; s++) {
        std::vector<std::pair<int, int>> cells;
        for (int t = 0; t < SET_CARD_COUNT; t++) {
            cells.push_back({sets[s].row[t], sets[s].col[t]});
        }
        std::sort(cells.begin(), cells.end());
        keys.insert(SetKey(cells[0].first, cells[0].second, cells[1].first, cells[1].second,
                           cells[2].first, cells[2].second));
    }
    EXPECT_EQ(static_cast<size_t>(found), keys.size()) << "a set reported twice";
    return keys;
}

TEST(CardTableTest, DrawsEachCardWithItsFourAttributes) {
    CardTable table;
    // 0: blue ellipse one solid; 13: red ellipse two open; 80: purple wave
    // three half; 27: blue rectangle one solid.
    ASSERT_TRUE(load(table, {{0, 1, 0}, {0, 2, 13}, {1, 1, 80}, {2, 4, 27}}));
    EXPECT_EQ(4, table.getCardCount());
    std::string text = format(table);
    std::string underC(55, ' ');  // the label and three empty cells
    std::string expected =
        "Cards on the table (4):\n"
        "    2                3                4                5\n"
        "A   (#)              ( ) ( )          .                .\n"
        "    1 blue           2 red\n"
        "    solid ellipse    open ellipse\n"
        "B   ~/~ ~/~ ~/~      .                .                .\n"
        "    3 purple\n"
        "    half wave\n"
        "C   .                .                .                [#]\n" +
        underC + "1 blue\n" + underC + "solid rectangle\n";
    EXPECT_NE(std::string::npos, text.find(expected)) << text;
    EXPECT_NE(std::string::npos, text.find("Symbols: ( ) ellipse"));
}

TEST(CardTableTest, ColoursWrapOnlyTheColouredLines) {
    CardTable table;
    ASSERT_TRUE(load(table, {{0, 0, 1}}));  // red ellipse one solid
    char text[4096] = "";
    table.format(text, sizeof text, true);
    EXPECT_NE(std::string::npos, std::string(text).find("\033[31m(#)\033[0m"));
    EXPECT_NE(std::string::npos, std::string(text).find("\033[31m1 red\033[0m"));
    EXPECT_EQ(std::string::npos, std::string(text).find("\033[31msolid"));
}

TEST(CardTableTest, FindsEverySetOfManyDeals) {
    // Deterministic pseudo-random deals, including the position patterns
    // the server does not use (cards in the outer columns).
    unsigned int seed = 12345;
    for (int deal = 0; deal < 200; deal++) {
        std::vector<Placed> cards;
        std::set<int> used;
        int count = 3 + deal % 16;
        std::vector<int> positions;
        for (int p = 0; p < PLAYFIELD_POSITIONS; p++) {
            positions.push_back(p);
        }
        for (int k = 0; k < count; k++) {
            seed = seed * 1103515245u + 12345u;
            int pick = k + static_cast<int>((seed >> 8) % (PLAYFIELD_POSITIONS - k));
            std::swap(positions[k], positions[pick]);
            int card = 0;
            do {
                seed = seed * 1103515245u + 12345u;
                card = static_cast<int>((seed >> 8) % DECK_CARD_COUNT);
            } while (used.count(card) != 0);
            used.insert(card);
            cards.push_back(
                {positions[k] / PLAYFIELD_COLUMNS, positions[k] % PLAYFIELD_COLUMNS, card});
        }
        CardTable table;
        ASSERT_TRUE(load(table, cards));
        EXPECT_EQ(setsByArithmetic(table), setsFound(table)) << "deal " << deal;
    }
}

TEST(CardTableTest, NamesTheSetsInTheSummaryLine) {
    CardTable table;
    // 0, 1, 2: one solid ellipse in each colour, a set; 3 is blue open.
    ASSERT_TRUE(load(table, deal({0, 1, 2, 3})));
    EXPECT_NE(std::string::npos, format(table).find("1 set on the table: A2 A3 A4\n"));
    ASSERT_TRUE(load(table, deal({0, 1, 3})));
    EXPECT_NE(std::string::npos, format(table).find("No set on the table.\n"));
}

TEST(CardTableTest, RefusesWhatIsNoTable) {
    CardTable table;
    std::string shortPayload = message(deal({0, 1, 2}));
    shortPayload.pop_back();
    EXPECT_FALSE(table.load(shortPayload.data(), static_cast<int>(shortPayload.size())));
    EXPECT_FALSE(table.load("", 0));
    EXPECT_FALSE(load(table, {{3, 0, 5}}));             // no row 3
    EXPECT_FALSE(load(table, {{0, 6, 5}}));             // no column 6
    EXPECT_FALSE(load(table, {{0, 0, 81}}));            // no card 81
    EXPECT_FALSE(load(table, {{0, 0, 5}, {0, 0, 6}}));  // one position twice
    EXPECT_FALSE(load(table, {{0, 0, 5}, {1, 0, 5}}));  // one card twice
    EXPECT_EQ(0, table.getCardCount());
    ASSERT_TRUE(load(table, deal({0, 1, 2})));
    EXPECT_EQ(3, table.getCardCount());
    EXPECT_EQ(nullptr, table.cardAt(-1, 0));
    EXPECT_EQ(nullptr, table.cardAt(0, 6));
}

}  // namespace
