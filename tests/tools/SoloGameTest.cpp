// SoloGameTest.cpp - the single-player game: its rules on a clock of the test's choosing,
// typed positions, and whole games played offline and against the server binary.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "PlayConsole.h"
#include "Process.h"
#include "SetRule.h"
#include "SoloGame.h"
#include "TestSupport.h"

namespace {

struct Triple {
    int rows[3];
    int cols[3];
};

// Every triple on the table that is (or is not) a set by the rule worked out here.
std::vector<Triple> triples(SoloGame& game, bool sets) {
    std::vector<Triple> found;
    const int columns = PLAYFIELD_COLUMNS;
    for (int i = 0; i < PLAYFIELD_POSITIONS; i++) {
        for (int j = i + 1; j < PLAYFIELD_POSITIONS; j++) {
            for (int k = j + 1; k < PLAYFIELD_POSITIONS; k++) {
                Triple t = {{i / columns, j / columns, k / columns},
                            {i % columns, j % columns, k % columns}};
                card_t* a = game.cardAt(t.rows[0], t.cols[0]);
                card_t* b = game.cardAt(t.rows[1], t.cols[1]);
                card_t* c = game.cardAt(t.rows[2], t.cols[2]);
                if (a != nullptr && b != nullptr && c != nullptr && formSet(a, b, c) == sets) {
                    found.push_back(t);
                }
            }
        }
    }
    return found;
}

std::string typed(const int* rows, const int* cols) {
    std::string text;
    for (int n = 0; n < 3; n++) {
        text += (n == 0 ? "" : " ") + std::string(1, 'a' + rows[n]) + std::to_string(cols[n] + 1);
    }
    return text;
}

// Plays the game to its end, one move every stepMs: the first set on the table, `more` when
// there is none, and (if asked) one wrong claim after the first set. Returns the lines typed.
std::string playWholeGame(SoloGame& game, long stepMs, bool oneWrongClaim) {
    std::string script;
    long long nowMs = 0;
    for (int moves = 0; !game.isOver() && moves < 200; moves++) {
        nowMs += stepMs;
        std::vector<Triple> sets = triples(game, true);
        if (oneWrongClaim && game.getSetsFound() == 1 && game.getWrongClaims() == 0) {
            Triple wrong = triples(game, false).at(0);
            EXPECT_EQ(CLAIM_NOT_A_SET, game.claim(wrong.rows, wrong.cols, nowMs).result);
            script += typed(wrong.rows, wrong.cols) + "\n";
        } else if (sets.empty()) {
            int points = 0;
            EXPECT_EQ(MORE_GRANTED, game.more(nowMs, &points));
            script += "more\n";
        } else {
            EXPECT_EQ(CLAIM_SET, game.claim(sets[0].rows, sets[0].cols, nowMs).result);
            script += typed(sets[0].rows, sets[0].cols) + "\n";
        }
    }
    return script;
}

TEST(SoloGameTest, RulesOfPlay) {
    const unsigned int seed = 7;
    SCOPED_TRACE("seed " + std::to_string(seed));
    // A set is worth 10 points and one more for every 3 s it came faster than 30 s.
    for (const auto& timed :
         std::vector<std::pair<long, int>>{{0, 20}, {12000, 16}, {29900, 10}, {60000, 10}}) {
        SoloGame game(seed, 0);
        Triple set = triples(game, true).at(0);
        claimOutcome_t outcome = game.claim(set.rows, set.cols, timed.first);
        EXPECT_EQ(CLAIM_SET, outcome.result);
        EXPECT_EQ(timed.second, outcome.points) << timed.first << " ms";
        EXPECT_EQ(timed.second, game.getScore());
        EXPECT_EQ(12, game.cardsOnTable());
        EXPECT_EQ(81 - 15, game.cardsInDeck()) << "replaced from the deck";
    }
    SoloGame game(seed, 0);
    Triple set = triples(game, true).at(0);
    game.claim(set.rows, set.cols, 0);
    Triple wrong = triples(game, false).at(0);
    claimOutcome_t outcome = game.claim(wrong.rows, wrong.cols, 0);
    EXPECT_EQ(CLAIM_NOT_A_SET, outcome.result);
    EXPECT_EQ(15, game.getScore());
    EXPECT_EQ(1, game.getWrongClaims());
    EXPECT_NE(nullptr, outcome.brokenAttribute);
    set = triples(game, true).at(0);
    int outer[3] = {0, set.cols[1], set.cols[2]};  // the outer columns start empty
    EXPECT_EQ(CLAIM_NO_CARD, game.claim(set.rows, outer, 0).result);
    int twiceRows[3] = {set.rows[1], set.rows[1], set.rows[2]};
    int twiceCols[3] = {set.cols[1], set.cols[1], set.cols[2]};
    EXPECT_EQ(CLAIM_TWICE, game.claim(twiceRows, twiceCols, 0).result);
    int points = 0;
    EXPECT_EQ(MORE_SET_ON_TABLE, game.more(0, &points));
    EXPECT_EQ(-5, points);
    int row = -1;
    int col = -1;
    EXPECT_TRUE(game.hint(&row, &col, &points));
    EXPECT_EQ(-3, points);
    EXPECT_EQ(7, game.getScore());
    bool inASet = false;
    for (const Triple& t : triples(game, true)) {
        for (int n = 0; n < 3; n++) {
            inASet = inASet || (t.rows[n] == row && t.cols[n] == col);
        }
    }
    EXPECT_TRUE(inASet) << "hint " << row << "," << col;
    while (!triples(game, true).empty()) {
        game.claim(triples(game, true)[0].rows, triples(game, true)[0].cols, 0);
    }
    ASSERT_FALSE(game.isOver()) << "the table lacks a set before the deck is empty";
    int score = game.getScore();
    EXPECT_FALSE(game.hint(&row, &col, &points));
    EXPECT_EQ(MORE_GRANTED, game.more(0, &points));
    EXPECT_EQ(15, game.cardsOnTable());
    EXPECT_EQ(score, game.getScore());
}

TEST(SoloGameTest, AWholeGameEndsWithTheDeckEmptyAndNoSetLeft) {
    for (unsigned int seed = 1; seed <= 5; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        SoloGame game(seed, 0);
        playWholeGame(game, 6000, false);  // each set 10 + (30 - 6) / 3 points
        EXPECT_TRUE(game.isOver());
        EXPECT_TRUE(triples(game, true).empty());
        EXPECT_EQ(0, game.cardsInDeck());
        EXPECT_EQ(18 * game.getSetsFound(), game.getScore());
        EXPECT_EQ(81, game.getSetsFound() * 3 + game.cardsOnTable());
    }
}

TEST(SoloGameTest, TypedPositions) {
    int rows[3];
    int cols[3];
    ASSERT_TRUE(parsePositions("C6,a1  B4", rows, cols));
    EXPECT_EQ("c6 a1 b4", typed(rows, cols));
    ASSERT_TRUE(parsePositions("b2 b2 b2", rows, cols));  // read; the game refuses it
    EXPECT_EQ("b2 b2 b2", typed(rows, cols));
    for (const char* line :
         {"a1 b2", "a1 b2 c3 a4", "d1 b2 c3", "a0 b2 c3", "a7 b2 c3", "a12 b2 c3", "a1b2c3", ""}) {
        EXPECT_FALSE(parsePositions(line, rows, cols)) << line;
    }
}

TEST(SoloGameTest, AScriptedGameIsPlayedToTheEndAndItsScoreRecorded) {
    const unsigned int seed = 11;
    SoloGame game(seed, 0);
    std::string script = playWholeGame(game, 0, true);
    int fastest = game.getScore();
    ASSERT_NE(std::string::npos, script.find("more\n")) << "this deal needs more cards once";
    TempDir dir;
    ServerProcess server;
    int port = freePort();
    ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
    auto client = [&](const std::string& password, std::vector<std::string> command) {
        std::vector<std::string> args = {"--port", std::to_string(port), "--name",
                                         "carol",  "--password",         password};
        args.insert(args.end(), command.begin(), command.end());
        return runTool("CarvantaClient", args, dir.path(), script, 30000);
    };
    ASSERT_EQ(0, client("pw", {"signup"}).status);
    EXPECT_EQ(12, client("wrong", {"play"}).status) << "the account is checked first";
    ToolRun result = client("pw", {"play", "--seed", std::to_string(seed)});
    ASSERT_EQ(0, result.status) << result.output;
    for (const char* line : {"Game 11 (deal it again with --seed 11).", "Not a set: the ", "Set! ",
                             "No set on the table: three more cards."}) {
        EXPECT_NE(std::string::npos, result.output.find(line)) << line;
    }
    size_t at = result.output.find("Final score: ");
    ASSERT_NE(std::string::npos, at) << result.output;
    int score = atoi(result.output.c_str() + at + 13);
    // The bonus depends on how fast the client read the lines: at most the score of
    // instant play, at least 10 per set less the penalties.
    EXPECT_LE(score, fastest);
    EXPECT_GE(score, fastest - 10 * 27);
    EXPECT_NE(std::string::npos,
              result.output.find("Recorded a score of " + std::to_string(score) + " for carol."));
    EXPECT_NE(std::string::npos, result.output.find(std::to_string(score) + "  <- you\n"));
    result = runTool(
        "CarvantaClient",
        {"--port", std::to_string(freePort()), "play", "--offline", "--seed", std::to_string(seed)},
        dir.path(), script, 30000);
    EXPECT_EQ(0, result.status) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("Offline: the score is not recorded."));
}

}  // namespace
