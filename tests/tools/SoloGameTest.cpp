// SoloGameTest.cpp - the rules of the single-player game played through
// the game object with a fixed seed and a clock of the test's choosing:
// claims right and wrong, more cards granted or refused, hints, the points
// of each, and the end of a whole game; and the reading of typed positions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PlayConsole.h"
#include "SetRule.h"
#include "SoloGame.h"

namespace {

struct Triple {
    int rows[3];
    int cols[3];
};

// Every triple of cards on the table, with the rule checked here, not by
// the play field's own search.
std::vector<Triple> triplesOnTable(SoloGame* game, bool wantSets) {
    std::vector<Triple> found;
    for (int i = 0; i < PLAYFIELD_POSITIONS; i++) {
        for (int j = i + 1; j < PLAYFIELD_POSITIONS; j++) {
            for (int k = j + 1; k < PLAYFIELD_POSITIONS; k++) {
                int at[3] = {i, j, k};
                Triple triple;
                card_t* cards[3];
                bool allThere = true;
                for (int t = 0; t < 3; t++) {
                    triple.rows[t] = at[t] / PLAYFIELD_COLUMNS;
                    triple.cols[t] = at[t] % PLAYFIELD_COLUMNS;
                    cards[t] = game->cardAt(triple.rows[t], triple.cols[t]);
                    allThere = allThere && cards[t] != nullptr;
                }
                if (!allThere) {
                    continue;
                }
                if (formSet(cards[0], cards[1], cards[2]) == wantSets) {
                    found.push_back(triple);
                }
            }
        }
    }
    return found;
}

// The value of the named attribute on three cards is neither all equal nor
// all different.
bool attributeBreaks(SoloGame* game, const Triple& t, const std::string& name) {
    int v[3];
    for (int k = 0; k < 3; k++) {
        card_t* card = game->cardAt(t.rows[k], t.cols[k]);
        int values[4] = {card->color, card->symbol, card->number, card->filling};
        v[k] = values[name == "colour" ? 0 : name == "symbol" ? 1 : name == "number" ? 2 : 3];
    }
    return (v[0] + v[1] + v[2]) % 3 != 0;
}

// Takes sets (the first found) until the table holds none; false if the
// game ended first.
bool playUntilNoSet(SoloGame* game, long long* nowMs) {
    while (!game->isOver()) {
        std::vector<Triple> sets = triplesOnTable(game, true);
        if (sets.empty()) {
            return true;
        }
        *nowMs += 1000;
        game->claim(sets[0].rows, sets[0].cols, *nowMs);
    }
    return false;
}

typedef enum { MOVE_SET, MOVE_NOT_A_SET, MOVE_EMPTY_PLACE, MOVE_MORE, MOVE_HINT } move_t;

struct RuleCase {
    const char* name;
    bool tableWithoutSet;  // play on until the table holds no set first
    move_t move;
    long afterMs;  // time of the move since the table last changed
    int result;    // claimResult_t, moreResult_t, or hint found (1/0)
    int points;    // change of the score
    int cardsOnTableAfter;
};

}  // namespace

TEST(SoloGameTest, RulesOfPlay) {
    const unsigned int seed = 7;
    const RuleCase cases[] = {
        {"a set at once earns the full bonus", false, MOVE_SET, 0, CLAIM_SET, 20, 12},
        {"a set after 12 s", false, MOVE_SET, 12000, CLAIM_SET, 16, 12},
        {"a set after 29.9 s", false, MOVE_SET, 29900, CLAIM_SET, 10, 12},
        {"a set after a minute", false, MOVE_SET, 60000, CLAIM_SET, 10, 12},
        {"a wrong claim names the attribute", false, MOVE_NOT_A_SET, 0, CLAIM_NOT_A_SET, -5, 12},
        {"an empty place is no claim", false, MOVE_EMPTY_PLACE, 0, CLAIM_NO_CARD, 0, 12},
        {"more refused while a set lies", false, MOVE_MORE, 0, MORE_SET_ON_TABLE, -5, 12},
        {"more granted without a set", true, MOVE_MORE, 0, MORE_GRANTED, 0, 15},
        {"a hint shows a card of a set", false, MOVE_HINT, 0, 1, -3, 12},
        {"no hint without a set", true, MOVE_HINT, 0, 0, 0, 12},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.name);
        SoloGame game(seed, 0);
        long long nowMs = 0;
        if (c.tableWithoutSet) {
            ASSERT_TRUE(playUntilNoSet(&game, &nowMs)) << "seed " << seed << " never lacks a set";
        } else {
            // Points above zero, so that a penalty shows in full.
            std::vector<Triple> sets = triplesOnTable(&game, true);
            ASSERT_FALSE(sets.empty());
            game.claim(sets[0].rows, sets[0].cols, nowMs);
        }
        int scoreBefore = game.getScore();
        int deckBefore = game.cardsInDeck();
        long long moveAt = nowMs + c.afterMs;
        int result = -1;
        int points = 0;
        switch (c.move) {
            case MOVE_SET: {
                std::vector<Triple> sets = triplesOnTable(&game, true);
                ASSERT_FALSE(sets.empty());
                claimOutcome_t outcome = game.claim(sets[0].rows, sets[0].cols, moveAt);
                result = outcome.result;
                points = outcome.points;
                EXPECT_EQ(deckBefore - 3, game.cardsInDeck()) << "replaced from the deck";
                break;
            }
            case MOVE_NOT_A_SET: {
                Triple wrong = triplesOnTable(&game, false).at(0);
                claimOutcome_t outcome = game.claim(wrong.rows, wrong.cols, moveAt);
                result = outcome.result;
                points = outcome.points;
                ASSERT_NE(nullptr, outcome.brokenAttribute);
                EXPECT_TRUE(attributeBreaks(&game, wrong, outcome.brokenAttribute))
                    << outcome.brokenAttribute;
                EXPECT_EQ(1, game.getWrongClaims());
                break;
            }
            case MOVE_EMPTY_PLACE: {
                // The opening deal leaves the outer columns empty.
                Triple t = triplesOnTable(&game, true).at(0);
                t.cols[0] = 0;
                t.rows[0] = 0;
                result = game.claim(t.rows, t.cols, moveAt).result;
                break;
            }
            case MOVE_MORE:
                result = game.more(moveAt, &points);
                break;
            case MOVE_HINT: {
                int row = -1;
                int col = -1;
                result = game.hint(&row, &col, &points) ? 1 : 0;
                if (result == 1) {
                    bool inASet = false;
                    for (const Triple& t : triplesOnTable(&game, true)) {
                        for (int k = 0; k < 3; k++) {
                            inASet = inASet || (t.rows[k] == row && t.cols[k] == col);
                        }
                    }
                    EXPECT_TRUE(inASet) << "hint " << row << "," << col;
                }
                break;
            }
        }
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.points, points);
        EXPECT_EQ(scoreBefore + c.points, game.getScore());
        EXPECT_EQ(c.cardsOnTableAfter, game.cardsOnTable());
    }
}

TEST(SoloGameTest, AWholeGameEndsWithTheDeckEmptyAndNoSetLeft) {
    // Several deals: each is played to its end with sets taken at once and
    // more cards asked for whenever the table holds no set.
    for (unsigned int seed = 1; seed <= 5; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        SoloGame game(seed, 0);
        long long nowMs = 0;
        int expectedScore = 0;
        int moves = 0;
        while (!game.isOver()) {
            ASSERT_LT(++moves, 200) << "the game does not end";
            nowMs += 6000;  // 8 bonus points: 10 + (30 - 6) / 3
            std::vector<Triple> sets = triplesOnTable(&game, true);
            if (sets.empty()) {
                int points = 0;
                ASSERT_EQ(MORE_GRANTED, game.more(nowMs, &points));
                continue;
            }
            ASSERT_EQ(CLAIM_SET, game.claim(sets[0].rows, sets[0].cols, nowMs).result);
            expectedScore += 18;
        }
        EXPECT_TRUE(triplesOnTable(&game, true).empty());
        EXPECT_EQ(0, game.cardsInDeck());
        EXPECT_EQ(expectedScore, game.getScore());
        EXPECT_EQ(expectedScore / 18, game.getSetsFound());
        EXPECT_EQ(81, game.getSetsFound() * 3 + game.cardsOnTable());
    }
}

TEST(SoloGameTest, TypedPositions) {
    struct {
        const char* line;
        bool valid;
        int rows[3];
        int cols[3];
    } const cases[] = {
        {"a1 b3 c2", true, {0, 1, 2}, {0, 2, 1}},
        {"C6,a1  B4", true, {2, 0, 1}, {5, 0, 3}},
        {"b2 b2 b2", true, {1, 1, 1}, {1, 1, 1}},  // read; the game refuses it
        {"a1 b2", false, {}, {}},
        {"a1 b2 c3 a4", false, {}, {}},
        {"d1 b2 c3", false, {}, {}},
        {"a0 b2 c3", false, {}, {}},
        {"a7 b2 c3", false, {}, {}},
        {"a12 b2 c3", false, {}, {}},
        {"a1b2c3", false, {}, {}},
        {"", false, {}, {}},
    };
    for (const auto& c : cases) {
        int rows[3] = {-1, -1, -1};
        int cols[3] = {-1, -1, -1};
        ASSERT_EQ(c.valid, parsePositions(c.line, rows, cols)) << c.line;
        if (c.valid) {
            for (int t = 0; t < 3; t++) {
                EXPECT_EQ(c.rows[t], rows[t]) << c.line;
                EXPECT_EQ(c.cols[t], cols[t]) << c.line;
            }
        }
    }
    SoloGame game(3, 0);
    int rows[3] = {1, 1, 2};
    int cols[3] = {1, 1, 2};
    EXPECT_EQ(CLAIM_TWICE, game.claim(rows, cols, 0).result);
}
