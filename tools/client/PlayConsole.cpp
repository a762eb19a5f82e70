// PlayConsole.cpp - see PlayConsole.h. The game's rules are in SoloGame;
// this file turns lines into moves and moves into text.
#include "PlayConsole.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "CardTable.h"
#include "ClientOutput.h"
#include "ClientSession.h"
#include "LineReader.h"
#include "ListFormat.h"
#include "ResponseText.h"
#include "SimpleOsa.h"
#include "TextBuffer.h"

namespace {

const int OUTPUT_LINE_MAX = 512;
const long READ_STEP_MS = 1000;
const char ROW_LETTERS[] = "ABC";
// The high-score list holds up to 100 slots of 50 bytes.
const int HIGHSCORE_TEXT_MAX = 8192;

const char PLAY_COMMANDS[] =
    "Type three positions for a set (a1 b3 c2), or: more, hint, table, help, quit.\n";

void say(const char* text) {
    ClientOutput::print(text);
}

void positionName(char* out, size_t size, int row, int col) {
    snprintf(out, size, "%c%d", ROW_LETTERS[row], col + 1);
}

}  // namespace

bool parsePositions(const char* line, int* rows, int* cols) {
    int found = 0;
    const char* c = line;
    while (*c != '\0') {
        if (isspace(static_cast<unsigned char>(*c)) || *c == ',') {
            c++;
            continue;
        }
        char letter = static_cast<char>(tolower(static_cast<unsigned char>(c[0])));
        if (found == SET_CARD_COUNT || letter < 'a' || letter > 'c' || c[1] < '1' ||
            c[1] > '0' + PLAYFIELD_COLUMNS) {
            return false;
        }
        rows[found] = letter - 'a';
        cols[found] = c[1] - '1';
        found++;
        c += 2;
        if (*c != '\0' && !isspace(static_cast<unsigned char>(*c)) && *c != ',') {
            return false;  // "a12", "a1b"
        }
    }
    return found == SET_CARD_COUNT;
}

PlayConsole::PlayConsole(const clientOptions_t& chosen)
    : options(chosen), startMs(0), interactive(false) {}

long long PlayConsole::elapsedMs() {
    return clockMonotonicMs() - startMs;
}

int PlayConsole::checkAccount() {
    int status = ClientOptions::requireCredentials(options, true);
    if (status != CLIENTEXIT_OK) {
        return status;
    }
    ClientSession session(options.name, options.password);
    clientReply_t reply;
    memset(&reply, 0, sizeof reply);
    clientErr_t err = session.connect(options.host, options.port, nullptr);
    if (err == CLIENTERR_OK) {
        err = session.request(REQ_CHECKUSERANDPASSWORD, nullptr, 0, &reply);
    }
    status = exitStatusFor(err, reply);
    if (status != CLIENTEXIT_OK) {
        char line[OUTPUT_LINE_MAX];
        if (err == CLIENTERR_OK) {
            snprintf(line, sizeof line,
                     "Cannot play as %s: %s (%s). Sign up first, or play with --offline.\n",
                     options.name, responseMeaning(reply.code), responseName(reply.code));
        } else {
            snprintf(line, sizeof line,
                     "Cannot reach the server: %s (%s port %d). Play with --offline?\n",
                     clientErrorText(err), options.host, options.port);
        }
        ClientOutput::printError(line);
    }
    return status;
}

void PlayConsole::showTable(SoloGame* game) {
    char payload[1 + CARDTABLE_BYTES_PER_CARD * PLAYFIELD_POSITIONS];
    int length = game->tableMessage(payload, sizeof payload);
    CardTable table;
    char text[CLIENTOUTPUT_BLOCK_MAX];
    text[0] = '\0';
    if (table.load(payload, length)) {
        table.formatTable(text, sizeof text, ClientOutput::coloursEnabled());
    }
    say(text);
}

void PlayConsole::showState(SoloGame* game) {
    long long seconds = elapsedMs() / 1000;
    char line[OUTPUT_LINE_MAX];
    snprintf(line, sizeof line,
             "Score %d | time %lld:%02lld | %d cards in the deck, %d on the table | %d sets "
             "found\n%s",
             game->getScore(), seconds / 60, seconds % 60, game->cardsInDeck(),
             game->cardsOnTable(), game->getSetsFound(), interactive ? "> " : "");
    say(line);
}

void PlayConsole::playClaim(SoloGame* game, const int* rows, const int* cols) {
    claimOutcome_t outcome = game->claim(rows, cols, elapsedMs());
    char names[SET_CARD_COUNT][8];
    for (int t = 0; t < SET_CARD_COUNT; t++) {
        positionName(names[t], sizeof names[t], rows[t], cols[t]);
    }
    char line[OUTPUT_LINE_MAX];
    switch (outcome.result) {
        case CLAIM_SET:
            snprintf(line, sizeof line, "Set! %s %s %s: +%d points.\n", names[0], names[1],
                     names[2], outcome.points);
            say(line);
            if (!game->isOver()) {
                showTable(game);
            }
            return;
        case CLAIM_NOT_A_SET:
            snprintf(line, sizeof line,
                     "Not a set: the %s is neither the same on all three nor different on "
                     "each. %d points.\n",
                     outcome.brokenAttribute, outcome.points);
            break;
        case CLAIM_NO_CARD:
            snprintf(line, sizeof line, "No card at one of %s %s %s.\n", names[0], names[1],
                     names[2]);
            break;
        case CLAIM_TWICE:
            snprintf(line, sizeof line, "Three different positions, please.\n");
            break;
    }
    say(line);
}

void PlayConsole::playMore(SoloGame* game) {
    int points = 0;
    char line[OUTPUT_LINE_MAX];
    switch (game->more(elapsedMs(), &points)) {
        case MORE_GRANTED:
            say("No set on the table: three more cards.\n");
            showTable(game);
            return;
        case MORE_SET_ON_TABLE:
            snprintf(line, sizeof line, "There is a set on the table: no more cards. %d points.\n",
                     points);
            say(line);
            return;
        case MORE_DECK_EMPTY:
            say("The deck is empty.\n");
            return;
        case MORE_TABLE_FULL:
            say("The table is full.\n");
            return;
    }
}

void PlayConsole::playHint(SoloGame* game) {
    int row = 0;
    int col = 0;
    int points = 0;
    if (!game->hint(&row, &col, &points)) {
        say("No set on the table: type more.\n");
        return;
    }
    char name[8];
    positionName(name, sizeof name, row, col);
    char line[OUTPUT_LINE_MAX];
    snprintf(line, sizeof line, "Hint: %s belongs to a set. %d points.\n", name, points);
    say(line);
}

bool PlayConsole::playLine(SoloGame* game, char* line) {
    for (char* c = line; *c != '\0'; c++) {
        *c = static_cast<char>(tolower(static_cast<unsigned char>(*c)));
    }
    char word[LINEREADER_LINE_MAX] = "";
    sscanf(line, "%511s", word);
    int rows[SET_CARD_COUNT];
    int cols[SET_CARD_COUNT];
    if (word[0] == '\0') {
        return true;
    } else if (strcmp(word, "quit") == 0) {
        return false;
    } else if (strcmp(word, "more") == 0) {
        playMore(game);
    } else if (strcmp(word, "hint") == 0) {
        playHint(game);
    } else if (strcmp(word, "table") == 0) {
        showTable(game);
    } else if (strcmp(word, "help") == 0) {
        say(PLAY_COMMANDS);
    } else if (parsePositions(line, rows, cols)) {
        playClaim(game, rows, cols);
    } else {
        say("Not understood. ");
        say(PLAY_COMMANDS);
    }
    return !game->isOver();
}

int PlayConsole::recordScore(int score) {
    ClientSession session(options.name, options.password);
    clientReply_t reply;
    memset(&reply, 0, sizeof reply);
    clientErr_t err = session.connect(options.host, options.port, nullptr);
    if (err == CLIENTERR_OK) {
        err = session.requestWithScore(score, &reply);
    }
    int status = exitStatusFor(err, reply);
    char line[OUTPUT_LINE_MAX];
    if (status != CLIENTEXIT_OK) {
        snprintf(line, sizeof line, "The score of %d could not be recorded: %s.\n", score,
                 err == CLIENTERR_OK ? responseMeaning(reply.code) : clientErrorText(err));
        ClientOutput::printError(line);
        return status;
    }
    snprintf(line, sizeof line, "Recorded a score of %d for %s.\n", score, options.name);
    say(line);
    err = session.request(REQ_SENDSINGLEPLAYERHIGHSCORES, nullptr, 0, &reply);
    if (exitStatusFor(err, reply) != CLIENTEXIT_OK) {
        ClientOutput::printError("The high-score list could not be fetched.\n");
        return exitStatusFor(err, reply);
    }
    static char text[HIGHSCORE_TEXT_MAX];
    ListFormat::formatHighscores(text, sizeof text, reply.list, reply.listLength, options.name);
    say(text);
    return CLIENTEXIT_OK;
}

int PlayConsole::run() {
    if (options.argument != nullptr) {
        ClientOutput::printError(
            "CarvantaClient: play takes no argument\nTry 'CarvantaClient --help'.\n");
        return CLIENTEXIT_USAGE;
    }
    if (!options.offline) {
        int status = checkAccount();
        if (status != CLIENTEXIT_OK) {
            return status;
        }
    }
    unsigned int seed = options.seedGiven ? options.seed
                                          : static_cast<unsigned int>(time(nullptr)) ^
                                                static_cast<unsigned int>(getpid() << 16);
    interactive = isatty(STDIN_FILENO);
    startMs = clockMonotonicMs();
    SoloGame game(seed, 0);
    char line[OUTPUT_LINE_MAX];
    snprintf(line, sizeof line, "Game %u (deal it again with --seed %u).\n", seed, seed);
    say(line);
    say(PLAY_COMMANDS);
    showTable(&game);
    showState(&game);
    LineReader reader(STDIN_FILENO);
    bool playing = !game.isOver();
    while (playing) {
        char input[LINEREADER_LINE_MAX];
        lineRead_t read = reader.readLine(input, sizeof input, READ_STEP_MS);
        if (read == LINEREAD_NONE) {
            continue;
        }
        if (read == LINEREAD_END) {
            break;
        }
        playing = playLine(&game, input);
        if (playing) {
            showState(&game);
        }
    }
    long long seconds = elapsedMs() / 1000;
    if (!game.isOver()) {
        snprintf(line, sizeof line, "Game ended early with %d points; the score is not recorded.\n",
                 game.getScore());
        say(line);
        return CLIENTEXIT_OK;
    }
    snprintf(line, sizeof line,
             "Game over: no set is left and the deck is empty. %d set%s found, %d wrong "
             "claim%s, in %lld:%02lld. Final score: %d.\n",
             game.getSetsFound(), game.getSetsFound() == 1 ? "" : "s", game.getWrongClaims(),
             game.getWrongClaims() == 1 ? "" : "s", seconds / 60, seconds % 60, game.getScore());
    say(line);
    if (options.offline) {
        say("Offline: the score is not recorded.\n");
        return CLIENTEXIT_OK;
    }
    return recordScore(game.getScore());
}
