// ToolsTest.cpp - the client (card table, list texts, lobby waits, single-player game, the
// program on 127.0.0.1), the user.dat inspector as operators run it, the sample configurations.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "CardTable.h"
#include "Configuration.h"
#include "ListFormat.h"
#include "Process.h"
#include "SetRule.h"
#include "SoloGame.h"
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
    const int w = PLAYFIELD_COLUMNS;
    auto card = [&game, w](int at) { return game.cardAt(at / w, at % w); };
    for (int i = 0; i < PLAYFIELD_POSITIONS; i++) {
        for (int j = i + 1; j < PLAYFIELD_POSITIONS; j++) {
            for (int k = j + 1; k < PLAYFIELD_POSITIONS; k++) {
                if (card(i) && card(j) && card(k) && formSet(card(i), card(j), card(k)) == sets) {
                    found.push_back({{i / w, j / w, k / w}, {i % w, j % w, k % w}});
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
// 41.9 and 101.9 s, then 6 s after the last move: 10 points, 1 more for every 3 s under 30 s
// since a change), `more` when there is none; after the fourth set a wrong claim, a refused
// `more` and a hint, which take no time.
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
            EXPECT_EQ(CLAIM_NOT_A_SET, game.claim(wrong.rows, wrong.cols, nowMs).result);
            EXPECT_EQ(MORE_SET_ON_TABLE, game.more(nowMs, &points));
            EXPECT_TRUE(game.hint(&row, &col, &points));
            EXPECT_EQ(43, game.getScore()) << "56 less 5 (wrong claim), 5 (more refused), 3 (hint)";
            auto holdsHint = [&](const Triple& t) {
                return (t.rows[0] == row && t.cols[0] == col) ||
                       (t.rows[1] == row && t.cols[1] == col) ||
                       (t.rows[2] == row && t.cols[2] == col);
            };
            EXPECT_TRUE(std::any_of(sets.begin(), sets.end(), holdsHint)) << row << "," << col;
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
    expectHas(run.output, step.shown);
    if (!step.hidden.empty()) {
        EXPECT_EQ(std::string::npos, run.output.find(step.hidden)) << step.hidden;
    }
}

class CarvantaClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("CARVANTA_PASSWORD");
        ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
    }

    // The client's options and command after the test server's port (a later --port wins).
    std::vector<std::string> args(const std::string& line) {
        return words("--port " + std::to_string(port) + " " + line);
    }
    ToolRun client(const std::string& line, const std::string& input = "") {
        return runTool("CarvantaClient", args(line), dir.path(), input, RUN_TIMEOUT_MS);
    }
    // A lobby client of name (password "pw-" + name) with a script, or typed commands if none.
    void lobby(ChildProcess* child, const std::string& name, const std::string& script) {
        writeFile(dir.file(name + ".script"), script);
        std::string line = "--name " + name + " --password pw-" + name +
                           (script.empty() ? " lobby" : " --script " + name + ".script lobby");
        ASSERT_TRUE(child->start(toolPath("CarvantaClient"), args(line), dir.path()));
    }

    TempDir dir;
    int port = freePort();
    ServerProcess server;
};

// A card message of (row, col, card) triples, drawn; "refused" when it is no table.
std::string draw(const std::vector<std::vector<int>>& cards) {
    std::string payload(1, static_cast<char>(cards.size()));
    for (const std::vector<int>& placed : cards) {
        payload += std::string(placed.begin(), placed.end());
    }
    CardTable table;
    char text[4096] = "";
    bool loaded = table.load(payload.data(), static_cast<int>(payload.size()));
    table.format(text, sizeof text, false);
    return loaded ? text : "refused";
}

TEST(CardTableTest, DrawsTheCardsAndNamesTheSetsOrRefusesWhatIsNoTable) {
    const struct {
        std::vector<std::vector<int>> cards;
        std::string drawn;
    } tables[] = {
        // 0 blue ellipse one solid; 13 red ellipse two open; 80 purple wave three half.
        {{{0, 1, 0}, {0, 2, 13}, {0, 3, 80}},
         "A   (#)              ( ) ( )          ~/~ ~/~ ~/~\n"
         "    1 blue           2 red            3 purple\n"
         "    solid ellipse    open ellipse     half wave\n"},
        // Cards 0, 1, 2 and 0, 40, 80 are the sets, also on the outer columns.
        {{{2, 5, 0}, {0, 0, 1}, {1, 3, 2}, {0, 5, 40}, {2, 0, 80}, {1, 1, 3}},
         "2 sets on the table: A1 B4 C6, A6 C1 C6\n"},
        {{{0, 1, 0}, {0, 2, 1}, {0, 3, 3}}, "No set on the table.\n"},
        {{{3, 0, 5}}, "refused"},
        {{{0, 6, 5}}, "refused"},
        {{{0, 0, 81}}, "refused"},
        {{{0, 0, 5}, {0, 0, 6}}, "refused"},
        {{{0, 0, 5}, {1, 0, 5}}, "refused"},
    };
    for (const auto& t : tables) {
        std::string text = draw(t.cards);
        EXPECT_NE(std::string::npos, text.find(t.drawn)) << t.drawn << "\nin:\n" << text;
    }
    CardTable table;
    EXPECT_FALSE(table.load("\x02\x00\x01\x05\x00\x02", 6));  // too short for its count
}

TEST(ListFormatTest, APartRecordAndBytesThatCouldSteerTheTerminalAreNotShown) {
    char text[4096];
    std::string evil = "ev\033[2Jil\x01";
    evil.resize(PROTOCOL_NAME_SIZE, 'x');  // no terminator either
    std::string list = int32le(1) + evil + int32le(0x1020304) + nameField("bob");
    ListFormat::formatPlayers(text, sizeof text, list.data(), static_cast<int>(list.size()) - 1);
    EXPECT_STREQ("Players on the list (1):\n     Id  Name\n      1  ev?[2Jil?xxxxxxxxxx\n", text);
}

TEST_F(CarvantaClientTest, CommandLinesExitWithTheirStatusAndSayWhy) {
    const Step runs[] = {
        {"--name alice --password s3cret signup", 0, "Signed up alice.\n"},
        {"--name alice --password other signup", 11, "the name is taken (RES_USEREXISTS)"},
        {"--name alice check", 0, "User alice exists.\n"},
        {"--name alice --password s3cret login", 0, "Login ok: alice exists"},
        {"--name bob --password pb signup", 0, ""},
        {"--name bob --password pb delete", 0, "Deleted the account bob.\n"},
        {"--name bob check", 12, "User bob does not exist (RES_USERDOESNOTEXIST).\n"},
        {"--name carol --password pc signup", 0, ""},
        {"--name dave --password pd signup", 0, ""},
        {"--name alice --password s3cret score 40", 0, "Recorded a score of 40 for alice.\n"},
        {"--name carol --password pc score 95", 0, ""},
        {"--name carol --password pc score lots", 2, ""},
        {"--name dave --password pd highscores", 0, "  1.      carol |   95\n  2.      alice "},
        {"--name dave --password pd players", 0, "Nobody is on the player list.\n"},
        {"--name dave login", 2, "this command needs a password"},
        {"--name alice --password nope lobby", 12, "Cannot enter the lobby: unknown user or"},
        {"--name dave --password-env NOT_SET_ANYWHERE login", 2, "NOT_SET_ANYWHERE is not set"},
        {"--name a --password b --port 70000 login", 2, ""},
        {"--name abcdefghijklmnopqrstu check", 2, "longer than 19 characters"},
        {"play --offline --seed 4294967296", 2, ""},
        {"--password x play", 2, ""},  // a recorded game needs a name
        {"--help", 0, "Exit status: 0 done"},
        {"--name a --password b --port " + std::to_string(freePort()) + " login", 3,
         "login failed: the server cannot be reached (127.0.0.1 port "},
    };
    for (const Step& r : runs) {
        expectStep(r, client(r.line));
    }
    setenv("CARVANTA_PASSWORD", "pd", 1);
    EXPECT_EQ(0, client("--name dave login").status);
    unsetenv("CARVANTA_PASSWORD");
    int silent = boundLoopbackSocket(&port, 1);
    ASSERT_GE(silent, 0);
    Step unanswered = {"--name a --password b login", 4, "no answer from the server within 3 s"};
    expectStep(unanswered, client(unanswered.line));
    close(silent);
}

TEST_F(CarvantaClientTest, TwoLobbyPlayersFromInvitationToStop) {
    ASSERT_EQ(0, client("--name alice --password pw-alice signup").status);
    ASSERT_EQ(0, client("--name bob --password pw-bob signup").status);
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
    const std::string game =
        "Countdown: 3\nCountdown: 2\nCountdown: 1\nCountdown: 0 - go!\n"
        "The game starts.\n|Cards on the table (12):\n|";
    const std::string over = "The game is over: stop was pressed.\n|";
    expectHas(alice.output(),
              "Invited bob; waiting for the answer.\n|bob rejected your invitation.\n|bob "
              "accepted your invitation; the countdown follows.\n|" +
                  game + over + "Cancelled the invitation of bob.\n|Left the lobby.\n");
    expectHas(bob.output(),
              "Invitation from alice: type 'accept alice' or 'reject alice'.\n|Rejected the "
              "invitation of alice.\n|" +
                  game + "> stop\nStop sent.\n|" + over +
                  "The invitation between you and alice is cancelled.\n|Left the lobby.\n");
    EXPECT_EQ(1, countOccurrences(bob.output(), "You are back on the player list.\n"));
    ChildProcess lost;
    lobby(&lost, "bob", "");
    ASSERT_TRUE(lost.waitForOutput("In the lobby as bob", RUN_TIMEOUT_MS)) << lost.output();
    const Step failures[] = {
        // a script whose last line has no line feed
        {"invite nobody", 16, "refused: the lobby does not know that player or invitation"},
        {"wait player bob 20\nwait player bo 1", 5, "wait player bo: nothing came within 1"},
    };
    for (const Step& f : failures) {
        writeFile(dir.file("alice.script"), f.line);
        expectStep(f, client("--name alice --password pw-alice --script alice.script lobby"));
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
    ASSERT_EQ(0, client("--name carol --password pw signup").status);
    ToolRun result = client("--name carol --password pw play --seed 7", script);
    ASSERT_EQ(0, result.status) << result.output;
    EXPECT_EQ(7, countOccurrences(result.output, "Not understood. ")) << result.output;
    std::string score =
        std::to_string(atoi(result.output.c_str() + result.output.find("Final score: ") + 13));
    expectHas(result.output,
              "Game 7 (deal it again with --seed 7).|No card at one of A1 B2 C3.|Three different "
              "positions, please.|Set! |Not a set: the |" +
                  hint + "|No set on the table: three more cards.|" + std::to_string(sets) +
                  " sets found, 1 wrong claim|Recorded a score of " + score + " for carol.|" +
                  score + "  <- you\n");
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
        {"a\\b", "32- 1-2024", "X'615C62'", SQL_UNKNOWN_DATE},  // a backslash: hex in any mode
        {"\xC3\xA9", " 1-13-2024", "X'C3A9'", SQL_UNKNOWN_DATE},
    };
    std::vector<UserRecord> sqlAccounts;
    std::string sql = "export-sql: account 30 left out|START TRANSACTION;\n";
    for (const auto& a : exported) {
        int n = static_cast<int>(sqlAccounts.size());
        sqlAccounts.push_back({"u" + std::to_string(n), a[0], 10 + n, n * 7, 0, 0, a[1]});
        sql += "|INSERT INTO user (name, password, is_active, subscribed) VALUES ('u" +
               std::to_string(n) + "', MD5(" + a[2] +
               "), 1, '|');\nINSERT INTO scorelog (user_id, "
               "score, date) VALUES (LAST_INSERT_ID(), " +
               std::to_string(n * 7) + ", '" + a[3] + "');\n";
    }
    sqlAccounts.push_back(account("u1", 30));  // a repeated name
    std::string current = currentFileImage(threeAccounts());
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
        {"old.dat", version21FileImage(threeAccounts())},
        {"sum.dat", current},
        {"tail.dat", current + "0123456789"},
        {"many.dat", currentFileImage(many)},
        {"short.dat", std::string(25, '\0')},
        {"clash.dat", currentFileImage(clashes) + obfuscatedBlock(unterminated)},
        {"sql.dat", currentFileImage(sqlAccounts)},
    };
    files[2][1][26 + 2 * 90 + 10] ^= 0x01;  // the third record's checksum fails
    for (const auto& file : files) {
        writeFile(dir.file(file[0]), file[1]);
    }
    const Step runs[] = {
        {"dump", 0, "3 accounts, 296 bytes\n|1  alice                ********     |5  carol ",
         "pw-"},
        {"dump --csv --show-passwords", 0,
         "\n2,\"bob, jr\",\"pw-bob, jr\",80,00-00-0000,0,0,0,0\n"},
        {"verify", 0, "user.dat: layout 4.0, 3 accounts, 296 bytes\nuser.dat: sound\n", "NOT"},
        {"dump --csv old.dat", 0, "\n1,alice,120,\" 3- 5-2024\",4,,7,2\n", "pw-"},
        {"verify sum.dat", 1,
         "2 accounts|sum.dat: NOT SOUND: block 3 at offset 206 (record of account 3): checksum "
         "mismatch; the server stops reading here and loads only the 2 account(s) before it\n"},
        {"export-sql sum.dat", 1, "nothing exported; --force exports the 2 account(s)", "INSERT"},
        {"export-sql --force sum.dat", 0, "MD5('pw-alice')|MD5('pw-bob, jr')|COMMIT;", "pw-carol"},
        {"verify tail.dat", 1, "3 accounts|offset 296 (record of account 4): a partial block"},
        {"verify many.dat", 1, "100 accounts|offset 9026 (record of account 101): the file holds"},
        {"verify short.dat", 1, "the file holds 25 bytes, fewer than the 26"},
        {"verify clash.dat", 1,
         "5 accounts|offset 116 (record of account 2): user id 0 is below 1|offset 206 (record of "
         "account 3): user name \"alice\" is taken by block 1|offset 296 (record of account 4): "
         "user id 1 is taken by block 1|offset 386 (record of account 5): the user name fills"},
        {"dump clash.dat", 1, "    9  nnnnnnnnnnnnnnnnnnn  ***"},
        {"verify missing.dat", 3, "cannot read missing.dat: No such file or directory", "sound"},
        {"dump a.dat b.dat", 2, ""},
        {"export-sql --force sql.dat", 4, sql + "|COMMIT;\n", "pw-u1"},
    };
    for (const Step& step : runs) {
        expectStep(step, runTool("CarvantaUserData", words(step.line), dir.path()));
    }
    EXPECT_EQ(files[2][1], readFile(dir.file("sum.dat"))) << "no command changes the file";
}

// The second sample is read over the first, so it has to make every setting again.
TEST(ConfigSamplesTest, TheSamplesSayWhatTheirCommentsPromise) {
    const std::string both = "7777 100 /run/carvanta/carvanta.pid /var/log/carvanta/carvanta.log ";
    const std::string samples[][2] = {
        {"file", both + "file "}, {"mysql", both + "mysql localhost carvanta carvanta change-me"}};
    Configuration* c = Configuration::getInstance();
    for (const auto& sample : samples) {
        std::ifstream in(std::string(CARVANTA_SOURCE_DIR) + "/config/config-" + sample[0] + ".ini");
        for (std::string line; std::getline(in, line);) {
            c->parseLine(&line[0]);
        }
        std::string read = std::to_string(c->getServerPort()) + " " +
                           std::to_string(c->getMaxClients()) + " " + c->getPidFileName() + " " +
                           c->getLogFileName() + " " + c->getDatabaseType() + " " +
                           c->getDatabaseHost() + " " + c->getDatabaseName() + " " +
                           c->getDatabaseUser() + " " + c->getDatabasePassword();
        EXPECT_EQ(0u, read.find(sample[1])) << read;
    }
}

}  // namespace
