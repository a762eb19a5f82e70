// ToolsTest.cpp - the client (card table, list texts, lobby waits, single-player game, the
// program on 127.0.0.1), the user.dat inspector as operators run it, the sample configurations.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CardTable.h"
#include "Configuration.h"
#include "GameProtocol.h"
#include "ListFormat.h"
#include "LobbyEvents.h"
#include "LoopbackClient.h"
#include "Process.h"
#include "RawPeer.h"
#include "SetRule.h"
#include "SoloGame.h"
#include "TestSupport.h"
#include "TextCopy.h"
#include "UserDataFile.h"
#include "UserDataSqlExport.h"
#include "UserFileImage.h"

namespace {

const int RUN_TIMEOUT_MS = 60000;

// A command line, its exit status, texts it shows (as expectHas takes them), a text it must not.
struct Step {
    std::string line;
    int status;
    std::string shown;
    std::string hidden = "";
};

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

// "A1,b3  c2": either case, a comma or blanks between the positions.
std::string typed(const Triple& t) {
    auto place = [&t](int n, char first) {
        return std::string(1, first + t.rows[n]) + std::to_string(t.cols[n] + 1);
    };
    return place(0, 'A') + "," + place(1, 'a') + "  " + place(2, 'a');
}

// Plays the game to its end, returns the lines typed: the first set (the first four at 12, 12,
// 41.9 and 101.9 s, then 6 s after the last move; a set earns 10 points and one more for every
// 3 s it came faster than 30 s after a change), `more` when there is none; after the fourth set
// a wrong claim, a refused `more` and a hint, which take no time.
std::string playWholeGame(SoloGame& game, std::string* hint) {
    const long long firstClaims[4][2] = {{12000, 16}, {12000, 20}, {41900, 10}, {101900, 10}};
    std::string script;
    long long nowMs = 0;
    int points = 0;
    int row = -1;
    int col = -1;
    for (int moves = 0; !game.isOver() && moves < 200; moves++) {
        std::vector<Triple> sets = triples(game, true);
        const int found = game.getSetsFound();
        if (sets.empty()) {
            EXPECT_FALSE(game.hint(&row, &col, &points));
            const int onTable = game.cardsOnTable();
            EXPECT_EQ(MORE_GRANTED, game.more(nowMs += 6000, &points));
            EXPECT_EQ(onTable + 3, game.cardsOnTable());
            script += "more\n";
            continue;
        }
        if (found == 4 && game.getWrongClaims() == 0) {
            Triple wrong = triples(game, false).at(0);
            claimOutcome_t outcome = game.claim(wrong.rows, wrong.cols, nowMs);
            EXPECT_EQ(CLAIM_NOT_A_SET, outcome.result);
            EXPECT_NE(nullptr, outcome.brokenAttribute);
            EXPECT_EQ(MORE_SET_ON_TABLE, game.more(nowMs, &points));
            EXPECT_TRUE(game.hint(&row, &col, &points));
            EXPECT_EQ(43, game.getScore()) << "56 less 5 (wrong claim), 5 (more refused), 3 (hint)";
            bool inASet = false;
            for (const Triple& t : sets) {
                for (int n = 0; n < 3; n++) {
                    inASet = inASet || (t.rows[n] == row && t.cols[n] == col);
                }
            }
            EXPECT_TRUE(inASet) << "hint " << row << "," << col;
            *hint = "Hint: " + std::string(1, 'A' + row) + std::to_string(col + 1) +
                    " belongs to a set. -3 points.\n";
            script += typed(wrong) + "\nmore\nhint\n";
        }
        nowMs = found < 4 ? firstClaims[found][0] : nowMs + 6000;
        EXPECT_EQ(found < 4 ? firstClaims[found][1] : 18,
                  game.claim(sets[0].rows, sets[0].cols, nowMs).points)
            << "set " << found;
        script += typed(sets[0]) + "\n";
    }
    return script;
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// The texts ('|' between them) each in the output, in this order.
void expectHas(const std::string& output, const std::string& texts) {
    std::istringstream in(texts);
    size_t at = 0;
    for (std::string text; std::getline(in, text, '|'); at += text.size()) {
        at = output.find(text, at);
        EXPECT_NE(std::string::npos, at) << "missing \"" << text << "\" in:\n" << output;
        at = at == std::string::npos ? 0 : at;
    }
}

void expectStep(const Step& step, const ToolRun& run) {
    SCOPED_TRACE(step.line);
    EXPECT_EQ(step.status, run.status) << run.output;
    // The time stamp of an SQL export reads NOW.
    std::string output =
        std::regex_replace(run.output, std::regex(", 1, '[-0-9: ]+'\\);"), ", 1, NOW);");
    expectHas(output, step.shown);
    if (!step.hidden.empty()) {
        EXPECT_EQ(std::string::npos, output.find(step.hidden)) << step.hidden << " in:\n" << output;
    }
}

class CarvantaClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("CARVANTA_PASSWORD");
        ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
    }

    // "NAME PASSWORD COMMAND...": a password "-" is left out.
    std::vector<std::string> args(const std::string& line) {
        std::vector<std::string> w = words(line);
        std::vector<std::string> all = {"--port", std::to_string(port), "--name", w[0]};
        if (w[1] != "-") {
            all.insert(all.end(), {"--password", w[1]});
        }
        all.insert(all.end(), w.begin() + 2, w.end());
        return all;
    }
    ToolRun client(const std::string& line, const std::string& input = "") {
        return runTool("CarvantaClient", args(line), dir.path(), input, RUN_TIMEOUT_MS);
    }
    // A lobby client of name (password "pw-" + name) with a script, or typed commands if none.
    void lobby(ChildProcess* child, const std::string& name, const std::string& script) {
        writeFile(dir.file(name + ".script"), script);
        std::string options = script.empty() ? " lobby" : " --script " + name + ".script lobby";
        ASSERT_TRUE(child->start(toolPath("CarvantaClient"), args(name + " pw-" + name + options),
                                 dir.path()));
    }

    TempDir dir;
    int port = freePort();
    ServerProcess server;
};

// A card message of (row, col, card) triples, drawn; "refused" when it is no table.
std::string draw(const std::vector<std::vector<int>>& cards, bool colours = false) {
    std::string payload(1, static_cast<char>(cards.size()));
    for (const std::vector<int>& placed : cards) {
        payload += std::string(placed.begin(), placed.end());
    }
    CardTable table;
    char text[4096] = "";
    bool loaded = table.load(payload.data(), static_cast<int>(payload.size()));
    table.format(text, sizeof text, colours);
    return loaded ? text : "refused";
}

TEST(CardTableTest, DrawsTheCardsAndNamesTheSetsOrRefusesWhatIsNoTable) {
    const std::string underC(55, ' ');
    const struct {
        std::vector<std::vector<int>> cards;
        std::string drawn;
        bool colours = false;
    } tables[] = {
        // 0 blue ellipse one solid; 13 red ellipse two open; 80 purple wave three half;
        // 27 blue rectangle one solid.
        {{{0, 1, 0}, {0, 2, 13}, {1, 1, 80}, {2, 4, 27}},
         "Cards on the table (4):\n"
         "    2                3                4                5\n"
         "A   (#)              ( ) ( )          .                .\n"
         "    1 blue           2 red\n"
         "    solid ellipse    open ellipse\n"
         "B   ~/~ ~/~ ~/~      .                .                .\n"
         "    3 purple\n"
         "    half wave\n"
         "C   .                .                .                [#]\n" +
             underC + "1 blue\n" + underC + "solid rectangle\n" + "Symbols: ( ) ellipse"},
        // Cards 0, 1, 2 and 0, 40, 80 are the sets; outer columns too, which the server does not
        // deal to: the play field lays cards out in its own order.
        {{{2, 5, 0}, {0, 0, 1}, {1, 3, 2}, {0, 5, 40}, {2, 0, 80}, {1, 1, 3}},
         "2 sets on the table: A1 B4 C6, A6 C1 C6\n"},
        {{{0, 1, 0}, {0, 2, 1}, {0, 3, 3}}, "No set on the table.\n"},
        {{{0, 0, 1}}, "\033[31m(#)\033[0m\n    \033[31m1 red\033[0m\n    solid", true},  // red, one
        {{{3, 0, 5}}, "refused"},
        {{{0, 6, 5}}, "refused"},
        {{{0, 0, 81}}, "refused"},
        {{{0, 0, 5}, {0, 0, 6}}, "refused"},
        {{{0, 0, 5}, {1, 0, 5}}, "refused"}};
    for (const auto& t : tables) {
        std::string text = draw(t.cards, t.colours);
        EXPECT_NE(std::string::npos, text.find(t.drawn)) << t.drawn << "\nin:\n" << text;
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

// Each event is recorded only once the last one was taken, so most waits are asleep when it
// comes; a wait that is not woken sleeps out its 5 s slice.
TEST(LobbyEventsTest, AWaitWakesWhenTheEventComesNotAtTheEndOfItsSlice) {
    const int rounds = 50;
    LobbyEvents events;
    std::atomic<int> takenCount(0);
    std::thread reader([&] {
        for (int i = 0; i < rounds; i++) {
            while (takenCount < i) {
                std::this_thread::yield();
            }
            events.record(LOBBYEVENT_CARDS);
        }
    });
    bool woken = true;
    for (int i = 0; i < rounds && woken; i++) {
        auto start = std::chrono::steady_clock::now();
        woken = events.waitFor(LOBBYEVENT_CARDS, 5000) == LOBBYWAIT_DONE &&
                std::chrono::steady_clock::now() - start < std::chrono::milliseconds(2000);
        takenCount++;
    }
    takenCount = rounds;  // a failed wait must not leave the reader waiting
    reader.join();
    EXPECT_TRUE(woken) << "a wait ran out its slice or missed the event";
}

TEST_F(CarvantaClientTest, CommandLinesExitWithTheirStatusAndSayWhy) {
    const std::string bench = "usage: CarvantaBench";
    // "NAME PASSWORD COMMAND..." goes to the test server; a line naming a program runs as it is.
    const Step runs[] = {
        {"alice s3cret signup", 0, "Signed up alice.\n"},
        {"alice other signup", 11,
         "signup refused by the server: the name is taken (RES_USEREXISTS)."},
        {"alice - check", 0, "User alice exists.\n"},
        {"nobody - check", 12, "User nobody does not exist (RES_USERDOESNOTEXIST).\n"},
        {"alice s3cret login", 0, "Login ok: alice exists and the password is right.\n"},
        {"alice wrong login", 12, "unknown user or wrong password (RES_USERDOESNOTEXIST)"},
        {"bob pb signup", 0, ""},
        {"bob pb delete", 0, "Deleted the account bob.\n"},
        {"bob - check", 12, "User bob does not exist"},
        {"carol pc signup", 0, ""},
        {"dave pw-dave signup", 0, ""},
        {"alice s3cret score 40", 0, "Recorded a score of 40 for alice.\n"},
        {"carol pc score 95", 0, ""},
        {"carol pc score lots", 2, ""},
        {"carol pc score", 2, ""},
        {"dave pw-dave highscores", 0, "  1.      carol |   95\n  2.      alice "},
        {"dave pw-dave players", 0, "Nobody is on the player list.\n"},
        {"dave wrong players", 12, ""},
        {"dave - login", 2, "this command needs a password"},
        {"alice nope lobby", 12, "Cannot enter the lobby: unknown user or wrong password"},
        {"dave - --password-env NOT_SET_ANYWHERE login", 2, "NOT_SET_ANYWHERE is not set"},
        {"CarvantaClient", 2, ""},
        {"CarvantaClient fly", 2, ""},
        {"CarvantaClient --bogus login", 2, ""},
        {"CarvantaClient --port 70000 login", 2, ""},
        {"CarvantaClient --password x login", 2, ""},
        {"CarvantaClient --name abcdefghijklmnopqrstu check", 2,
         "the name is longer than 19 characters"},
        {"CarvantaClient --name a check extra", 2, ""},
        {"CarvantaClient play --offline --seed -1", 2, ""},
        {"CarvantaClient play --offline --seed 4294967296", 2, ""},
        {"CarvantaClient play --offline --seed 12x", 2, ""},
        {"CarvantaClient play --offline --seed=", 2, ""},
        {"CarvantaClient play --offline now", 2, ""},
        {"CarvantaClient --password x play", 2, ""},  // a recorded game needs a name
        {"CarvantaClient --help", 0, "Exit status: 0 done"},
        {"CarvantaClient --port " + std::to_string(freePort()) + " --name a --password b login", 3,
         "login failed: the server cannot be reached (127.0.0.1 port "},
        {"CarvantaBench --help", 0, bench},
        {"CarvantaBench", 2, bench},
        {"CarvantaBench --count 10", 2, bench},
        {"CarvantaBench --scenario no-such", 2, bench},
        {"CarvantaBench --scenario login --clients 101", 2, bench},
        {"CarvantaBench --scenario login --clients 0", 2, bench},
        {"CarvantaBench --scenario login --frobnicate 1", 2, bench},
        {"CarvantaBench --scenario", 2, bench},
    };
    for (const Step& r : runs) {
        std::vector<std::string> w = words(r.line);
        ToolRun run =
            w[0].compare(0, 8, "Carvanta") != 0
                ? client(r.line)
                : runTool(w[0], std::vector<std::string>(w.begin() + 1, w.end()), dir.path());
        expectStep(r, run);
        // A scenario that runs starts its report with a line "scenario NAME: ...".
        EXPECT_EQ(std::string::npos, ("\n" + run.output).find("\nscenario ")) << r.line;
    }
    setenv("CARVANTA_PASSWORD", "pw-dave", 1);
    EXPECT_EQ(0, client("dave - login").status);
    unsetenv("CARVANTA_PASSWORD");
    setenv("MY_SECRET", "pw-dave", 1);
    EXPECT_EQ(0, client("dave - --password-env MY_SECRET login").status);
    RawPeer silent;
    ASSERT_TRUE(silent.listenOnFreePort());
    port = silent.port;
    ToolRun run = client("a b login");
    EXPECT_EQ(4, run.status);
    expectHas(run.output, "login failed: no answer from the server within 3 seconds");
}

TEST_F(CarvantaClientTest, TwoLobbyPlayersFromInvitationToStop) {
    ASSERT_EQ(0, client("alice pw-alice signup").status);
    ASSERT_EQ(0, client("bob pw-bob signup").status);
    ChildProcess alice;
    ChildProcess bob;
    // Bob's script: CRLF line ends, an over-long comment, lines across the 512-byte reads.
    lobby(&bob, "bob",
          "#" + std::string(1000, '-') +
              "\r\nwait list 20\r\nwait invitation 20\r\nreject alice\r\n"
              "wait invitation 20\r\naccept alice\r\nwait cards 20\r\n"
              "# the invitee is dealt second: both hold their cards now\r\n"
              "stop\r\nwait end 20\r\nwait player bob 10\r\nwait cancel 30\r\nquit\r\n");
    lobby(&alice, "alice",
          "wait player bob 20\ninvite bob\nwait reject 20\nwait player bob 20\ninvite bob\n"
          "wait accept 20\nwait start 20\nwait cards 20\nwait end 20\nwait player alice 20\n"
          "wait player bob 20\ninvite bob\ncancel bob\nquit\n");
    EXPECT_EQ(0, alice.waitExit(RUN_TIMEOUT_MS)) << alice.output();
    EXPECT_EQ(0, bob.waitExit(RUN_TIMEOUT_MS)) << bob.output();
    expectHas(alice.output(),
              "Invited bob; waiting for the answer.\n|bob rejected your invitation.\n|"
              "bob accepted your invitation; the countdown follows.\n|"
              "Cancelled the invitation of bob.\n");
    expectHas(bob.output(),
              "Invitation from alice: type 'accept alice' or 'reject alice'.\n|"
              "Rejected the invitation of alice.\n|> stop\nStop sent.\n|"
              "The invitation between you and alice is cancelled.\n");
    for (ChildProcess* player : {&alice, &bob}) {
        expectHas(
            player->output(),
            "Countdown: 3\nCountdown: 2\nCountdown: 1\nCountdown: 0 - go!\nThe game starts.\n|"
            "Cards on the table (12):\n|The game is over: stop was pressed.\n|Left the lobby.\n");
    }
    EXPECT_EQ(1, countOccurrences(bob.output(), "You are back on the player list.\n"));
    ChildProcess lost;
    lobby(&lost, "bob", "");
    ASSERT_TRUE(lost.waitForOutput("In the lobby as bob", RUN_TIMEOUT_MS)) << lost.output();
    expectHas(client("alice pw-alice players").output,
              "Players on the list (1):\n     Id  Name\n      2  bob\n");
    const Step failures[] = {
        // a script whose last line has no line feed
        {"invite nobody", 16,
         "invite nobody refused: the lobby does not know that player or invitation "
         "(RES_MULTI_PLAYERNOTKNOWN).\nLeft the lobby.\n"},
        {"wait player bob 20\nwait player bo 1", 5,
         "wait player bo: nothing came within 1 seconds.\n"},
        {"invitee bob", 2, ""},
    };
    for (const Step& f : failures) {
        writeFile(dir.file("alice.script"), f.line);
        expectStep(f, client("alice pw-alice --script alice.script lobby"));
    }
    server.kill9();
    EXPECT_EQ(4, lost.waitExit(RUN_TIMEOUT_MS));
    expectHas(lost.output(), "The connection to the server was lost.\n");
}

TEST_F(CarvantaClientTest, AScriptedGameIsPlayedToTheEndAndItsScoreRecorded) {
    SoloGame game(7, 0);
    std::string hint;
    // Unreadable lines, an empty place (the outer columns start empty), a place named twice.
    const std::string script =
        "a1 b2\na1 b2 c3 a4\nd1 b2 c3\na0 b2 c3\na7 b2 c3\na12 b2 c3\n"
        "a1b2c3\na1 b2 c3\nb2 b2 c3\n" +
        playWholeGame(game, &hint);
    const int sets = game.getSetsFound();
    EXPECT_TRUE(game.isOver() && triples(game, true).empty());
    EXPECT_EQ(81, sets * 3 + game.cardsOnTable()) << "the deck is empty";
    EXPECT_EQ(43 + 18 * (sets - 4), game.getScore());
    ASSERT_EQ(0, client("carol pw signup").status);
    EXPECT_EQ(12, client("carol wrong play", script).status) << "the account is checked first";
    ToolRun result = client("carol pw play --seed 7", script);
    ASSERT_EQ(0, result.status) << result.output;
    EXPECT_EQ(7, countOccurrences(result.output, "Not understood. ")) << result.output;
    expectHas(result.output,
              "Game 7 (deal it again with --seed 7).|No card at one of A1 B2 C3.|Three different "
              "positions, please.|Set! |Not a set: the |" +
                  hint + "|No set on the table: three more cards.|" + std::to_string(sets) +
                  " sets found, 1 wrong claim");
    std::string score =
        std::to_string(atoi(result.output.c_str() + result.output.find("Final score: ") + 13));
    expectHas(result.output,
              "Recorded a score of " + score + " for carol.|" + score + "  <- you\n");
    ASSERT_EQ(0, server.stop());
    result = client("carol - play --offline --seed 7", script);
    EXPECT_EQ(0, result.status) << result.output;
    expectHas(result.output, "Offline: the score is not recorded.");
}

UserRecord account(const std::string& name, int id, int best = 0) {
    return {name, "pw-" + name, id, best};
}

std::vector<UserRecord> threeAccounts() {
    return {{"alice", "pw-alice", 1, 120, 4, 300, " 3- 5-2024", 7, 2},
            account("bob, jr", 2, 80),
            account("carol", 5)};
}

TEST(CarvantaUserDataTest, CommandsShowEveryAccountAndNameEveryFault) {
    TempDir dir;
    // A password and its date in the file, then the SQL literal and date they are exported as.
    const char* exported[][4] = {
        {"o'neil", " 3- 5-2024", "'o''neil'", "2024-05-03 00:00:00"},
        {"", "31-12-1999", "''", "1999-12-31 00:00:00"},
        {"say \"hi\"; --", "00-00-0000", "'say \"hi\"; --'", SQL_UNKNOWN_DATE},
        {"a\\b", "32- 1-2024", "X'615C62'", SQL_UNKNOWN_DATE},  // a backslash: hex in any mode
        {"\xC3\xA9", " 1-13-2024", "X'C3A9'", SQL_UNKNOWN_DATE},
        {"a\nb", " 1- 1-2024x", "X'610A62'", SQL_UNKNOWN_DATE},
        {"plain", "", "'plain'", SQL_UNKNOWN_DATE},
    };
    std::vector<UserRecord> sqlAccounts;
    std::string sql = "export-sql: account 30 left out|START TRANSACTION;\n";
    for (const auto& a : exported) {
        int n = static_cast<int>(sqlAccounts.size());
        sqlAccounts.push_back({"u" + std::to_string(n), a[0], 10 + n, n * 7, 0, 0, a[1]});
        sql += std::string("|INSERT INTO user (name, password, is_active, subscribed) VALUES ('u") +
               std::to_string(n) + "', MD5(" + a[2] + "), 1, NOW);\n" +
               "INSERT INTO scorelog (user_id, score, date) VALUES (LAST_INSERT_ID(), " +
               std::to_string(n * 7) + ", '" + a[3] + "');\n";
    }
    sqlAccounts.push_back(account("u1", 30));  // a repeated name

    std::string current = currentFileImage(threeAccounts());
    std::string old21 = version21FileImage(threeAccounts());
    std::vector<UserRecord> many;
    for (int i = 1; i <= USERDATA_MAX_RECORDS + 2; i++) {
        many.push_back(account("user" + std::to_string(i), i));
    }
    std::vector<UserRecord> clashes = threeAccounts();
    clashes[1].id = 0;
    clashes[2].name = "alice";
    clashes.push_back(account("dave", 1));
    std::string unterminated = recordData(account("erin", 9));
    memset(&unterminated[0], 'n', USERDATA_FIELD_SIZE);  // a name without its NUL
    std::string files[][2] = {
        {"user.dat", current},
        {"old.dat", old21},
        {"sum.dat", current},  // the checksum of the third record fails
        {"header.dat", current},
        {"version.dat", current},
        {"bad21.dat", old21},
        {"29.dat", currentFileImage(threeAccounts(), "Version 02.9")},
        {"tail.dat", current + "0123456789"},
        {"many.dat", currentFileImage(many)},
        {"short.dat", std::string(25, '\0')},
        {"clash.dat", currentFileImage(clashes) + obfuscatedBlock(unterminated)},
        {"sql.dat", currentFileImage(sqlAccounts)},
    };
    // A 26-byte version block, then records of 90 bytes (86 in layout 2.1).
    files[2][1][26 + 2 * 90 + 10] ^= 0x01;
    files[3][1][26 + 90 + 3] = 40;  // window length of key 1
    files[4][1][8] ^= 0x20;
    files[5][1][86 + 20] ^= 0x40;
    for (const auto& file : files) {
        writeFile(dir.file(file[0]), file[1]);
    }
    const Step runs[] = {
        {"dump", 0,
         "3 accounts, 296 bytes\n|    1  alice                ********               120   "
         "3- 5-2024      4     300    75         7       2\n    2  bob, jr |  5  carol ",
         "pw-"},
        {"dump --show-passwords user.dat", 0, "alice                pw-alice ", "****"},
        {"dump --csv --show-passwords", 0,
         "id,name,password,best_score,best_score_date,games_played,score_sum,two_player_games_"
         "played,two_player_games_won\n1,alice,pw-alice,120,\" 3- 5-2024\",4,300,7,2\n2,\"bob, "
         "jr\",\"pw-bob, jr\",80,00-00-0000,0,0,0,0\n5,carol,pw-carol,0,00-00-0000,0,0,0,0\n",
         "layout"},
        {"verify", 0, "user.dat: layout 4.0, 3 accounts, 296 bytes\nuser.dat: sound\n", "NOT"},
        {"verify old.dat", 0, "layout 2.1, 3 accounts, 258 bytes\nold.dat: sound (layout 2.1",
         "NOT"},
        {"dump --csv old.dat", 0, "\n1,alice,120,\" 3- 5-2024\",4,,7,2\n", "pw-"},
        {"verify sum.dat", 1,
         "2 accounts|sum.dat: NOT SOUND: block 3 at offset 206 (record of account 3): checksum "
         "mismatch; the server stops reading here and loads only the 2 account(s) before it\n"},
        {"dump sum.dat", 1, "NOT SOUND: block 3 at offset 206|    2  bob, jr ", "carol"},
        {"export-sql sum.dat", 1, "nothing exported; --force exports the 2 account(s)", "INSERT"},
        {"export-sql --force sum.dat", 0, "MD5('pw-alice')|MD5('pw-bob, jr')|COMMIT;", "pw-carol"},
        {"verify header.dat", 1,
         "1 account,|block 2 at offset 116 (record of account 2): header "
         "names key windows outside the keys"},
        {"verify version.dat", 1,
         "layout ?, 0|block 0 at offset 0 (version block): does not decode"},
        {"verify bad21.dat", 1,
         "2.1, 1 account|block 1 at offset 86 (record of account 2): checksum"},
        {"verify 29.dat", 1, "block 0 at offset 0 (version block): version 2.9 is older than 3.0"},
        {"verify tail.dat", 1,
         "3 accounts|block 4 at offset 296 (record of account 4): a partial "
         "block ends the file (10 bytes, whole blocks are 90)"},
        {"verify many.dat", 1,
         "100 accounts|block 101 at offset 9026 (record of account 101): the "
         "file holds more than 100 records"},
        {"verify short.dat", 1, "the file holds 25 bytes, fewer than the 26"},
        {"verify clash.dat", 1,
         "5 accounts|block 2 at offset 116 (record of account 2): user id 0 is below 1|block 3 at "
         "offset 206 (record of account 3): user name \"alice\" is taken by block 1|block 4 at "
         "offset 296 (record of account 4): user id 1 is taken by block 1|block 5 at offset 386 "
         "(record of account 5): the user name fills its 20 bytes"},
        {"dump clash.dat", 1, "    9  nnnnnnnnnnnnnnnnnnn  ***"},
        {"verify missing.dat", 3, "cannot read missing.dat: No such file or directory", "sound"},
        {"", 2, ""},
        {"frobnicate", 2, ""},
        {"verify --csv", 2, ""},
        {"dump a.dat b.dat", 2, ""},
        {"help", 0, "Cannot be carried over"},
        {"export-sql --force sql.dat", 4, sql + "|COMMIT;\n", "pw-u1"},
    };
    for (const Step& step : runs) {
        expectStep(step, runTool("CarvantaUserData", words(step.line), dir.path()));
    }
    EXPECT_EQ(files[2][1], readFile(dir.file("sum.dat"))) << "no command changes the file";
}

TEST(ConfigSamplesTest, TheSamplesSayWhatTheirCommentsPromise) {
    // The number of settings, then what the parser made of them; the second sample is read over
    // the first, so every setting is made again.
    const std::string samples[][2] = {
        {"config-file.ini",
         "5 7777 100 file /run/carvanta/carvanta.pid /var/log/carvanta/carvanta.log "},
        {"config-mysql.ini",
         "9 7777 100 mysql /run/carvanta/carvanta.pid /var/log/carvanta/carvanta.log localhost "
         "carvanta carvanta change-me"}};
    Configuration* c = Configuration::getInstance();
    for (const auto& sample : samples) {
        std::ifstream in(std::string(CARVANTA_SOURCE_DIR) + "/config/" + sample[0]);
        int settings = 0;
        for (std::string line; std::getline(in, line);) {
            settings += !line.empty() && line[0] != '#';
            char buffer[CONFIG_LINE_MAX + 1];
            copyText(buffer, sizeof buffer, line.c_str());
            c->parseLine(buffer);
        }
        std::string read = std::to_string(settings) + " " + std::to_string(c->getServerPort()) +
                           " " + std::to_string(c->getMaxClients()) + " " + c->getDatabaseType() +
                           " " + c->getPidFileName() + " " + c->getLogFileName() + " " +
                           c->getDatabaseHost() + " " + c->getDatabaseName() + " " +
                           c->getDatabaseUser() + " " + c->getDatabasePassword();
        EXPECT_EQ(0u, read.find(sample[1])) << read;
    }
}

}  // namespace
