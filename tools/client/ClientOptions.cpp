// ClientOptions.cpp - option parsing for CarvantaClient (getopt_long, so
// options may come before or after the command).
#include "ClientOptions.h"

#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "TextCopy.h"

const char CLIENTOPTIONS_PASSWORD_VARIABLE[] = "CARVANTA_PASSWORD";

namespace {

const char DEFAULT_HOST[] = "127.0.0.1";
const int PORT_MAX = 65535;
const int NAME_CHARS_MAX = PROTOCOL_NAME_SIZE - 1;

enum optionCode_t {
    OPTION_HOST = 'H',
    OPTION_PORT = 'p',
    OPTION_NAME = 'n',
    OPTION_PASSWORD = 'w',
    OPTION_PASSWORD_ENV = 'e',
    OPTION_SCRIPT = 's',
    OPTION_NO_COLOUR = 'c',
    OPTION_SEED = 'S',
    OPTION_OFFLINE = 'o',
    OPTION_HELP = 'h',
};

const struct option LONG_OPTIONS[] = {
    {"host", required_argument, nullptr, OPTION_HOST},
    {"port", required_argument, nullptr, OPTION_PORT},
    {"name", required_argument, nullptr, OPTION_NAME},
    {"password", required_argument, nullptr, OPTION_PASSWORD},
    {"password-env", required_argument, nullptr, OPTION_PASSWORD_ENV},
    {"script", required_argument, nullptr, OPTION_SCRIPT},
    {"no-color", no_argument, nullptr, OPTION_NO_COLOUR},
    {"seed", required_argument, nullptr, OPTION_SEED},
    {"offline", no_argument, nullptr, OPTION_OFFLINE},
    {"help", no_argument, nullptr, OPTION_HELP},
    {nullptr, 0, nullptr, 0},
};

const char HELP_TEXT[] =
    "Usage: CarvantaClient [OPTIONS] COMMAND [ARGUMENT]\n"
    "A command-line client of the Carvanta server.\n"
    "\n"
    "Options:\n"
    "  --host HOST          server address or host name (default 127.0.0.1)\n"
    "  --port PORT          server port (default 7777)\n"
    "  --name NAME          user name, at most 19 characters\n"
    "  --password PASSWORD  password, at most 19 characters; better left out of the\n"
    "                       shell history: without it the password is read from the\n"
    "                       environment variable CARVANTA_PASSWORD\n"
    "  --password-env VAR   read the password from the environment variable VAR\n"
    "  --script FILE        lobby: read the commands from FILE\n"
    "  --no-color           lobby, play: draw the cards without terminal colours\n"
    "  --seed N             play: deal the game of number N (0 to 4294967295) again\n"
    "  --offline            play: without a server; the score is only printed\n"
    "\n"
    "Commands (each prints one line and exits):\n"
    "  signup               create the account NAME with PASSWORD\n"
    "  check                tell whether the account NAME exists (no password)\n"
    "  login                check NAME and PASSWORD\n"
    "  delete               delete the account NAME (PASSWORD needed)\n"
    "  score N              record a finished single-player game of N points\n"
    "  highscores           print the single-player high-score list\n"
    "  players              print the players on the lobby's public list\n"
    "  lobby                enter the two-player lobby (below)\n"
    "  play                 play a single-player game (below); the score is\n"
    "                       recorded with your account\n"
    "  help                 this text\n"
    "\n"
    "Lobby: attaches to the lobby, puts you on the player list, prints every message\n"
    "of the server as it arrives, and reads commands, one per line:\n"
    "  invite NAME, cancel NAME    invite a listed player, or take it back\n"
    "  accept NAME, reject NAME    answer an invitation from NAME\n"
    "  stop                        end the running game for both players\n"
    "  list                        ask for the player list\n"
    "  add, remove                 put yourself on the list, or take yourself off\n"
    "  wait EVENT [SECONDS]        wait for the next invitation, cancel, accept,\n"
    "                              reject, countdown, start, cards or end (default\n"
    "                              30 seconds)\n"
    "  wait player NAME [SECONDS]  wait until NAME is on the player list\n"
    "  sleep SECONDS               pause\n"
    "  quit                        leave the lobby (also at the end of the input)\n"
    "After a game you are put back on the player list. Commands come from the\n"
    "terminal, from --script FILE, or from standard input when it is not a\n"
    "terminal; in the last two cases the first command that fails ends the client.\n"
    "\n"
    "Play: twelve cards are dealt; find three that are, in each of colour, symbol,\n"
    "number and filling, all alike or all different, and type their positions\n"
    "(a1 b3 c2, any order and case). A set scores 10 points plus 1 for every 3\n"
    "seconds faster than 30 since the table last changed; a wrong claim costs 5.\n"
    "  more    three more cards, only when the table holds no set (else costs 5)\n"
    "  hint    one card of a set (costs 3)\n"
    "  quit    end the game early; its score is not recorded\n"
    "The game ends when the deck is empty and no set is left. Positions come from\n"
    "the terminal or, one claim or command per line, from standard input.\n"
    "\n"
    "Exit status: 0 done; 2 wrong usage; 3 the server cannot be reached; 4 no\n"
    "answer within 3 seconds, or the connection was lost; 5 a lobby script's wait\n"
    "ran out; 6 an answer the client cannot read; 10 + the server's response code\n"
    "when the server refused: 11 the name is taken, 12 unknown user or wrong\n"
    "password, 15 the lobby did not take the player, 16 the lobby does not know\n"
    "the player or the invitation.\n";

int usageError(const char* text) {
    fprintf(stderr, "CarvantaClient: %s\nTry 'CarvantaClient --help'.\n", text);
    return CLIENTEXIT_USAGE;
}

// A name or password: 1 to 19 characters (a password may be empty).
int takeField(char* field, const char* value, const char* what, bool mayBeEmpty) {
    if (strlen(value) > static_cast<size_t>(NAME_CHARS_MAX)) {
        char text[128];
        snprintf(text, sizeof text, "the %s is longer than %d characters", what, NAME_CHARS_MAX);
        return usageError(text);
    }
    if (!mayBeEmpty && value[0] == '\0') {
        char text[128];
        snprintf(text, sizeof text, "the %s is empty", what);
        return usageError(text);
    }
    copyText(field, PROTOCOL_NAME_SIZE, value);
    return CLIENTEXIT_OK;
}

int takePort(clientOptions_t* options, const char* value) {
    char* end = nullptr;
    long port = strtol(value, &end, 10);
    if (end == value || *end != '\0' || port < 1 || port > PORT_MAX) {
        return usageError("the port must be a number from 1 to 65535");
    }
    options->port = static_cast<int>(port);
    return CLIENTEXIT_OK;
}

int takeSeed(clientOptions_t* options, const char* value) {
    char* end = nullptr;
    errno = 0;
    unsigned long long seed = strtoull(value, &end, 10);
    if (end == value || *end != '\0' || errno != 0 || value[0] == '-' || seed > UINT_MAX) {
        return usageError("the seed must be a whole number from 0 to 4294967295");
    }
    options->seed = static_cast<unsigned int>(seed);
    options->seedGiven = true;
    return CLIENTEXIT_OK;
}

int takePasswordFrom(clientOptions_t* options, const char* variable) {
    const char* value = getenv(variable);
    if (value == nullptr) {
        char text[CLIENTOPTIONS_HOST_MAX];
        snprintf(text, sizeof text, "the environment variable %s is not set", variable);
        return usageError(text);
    }
    options->passwordGiven = true;
    return takeField(options->password, value, "password", true);
}

int takeOption(clientOptions_t* options, int code, const char* value) {
    switch (code) {
        case OPTION_HOST:
            if (copyText(options->host, sizeof options->host, value) || value[0] == '\0') {
                return usageError("the host name is empty or too long");
            }
            return CLIENTEXIT_OK;
        case OPTION_PORT:
            return takePort(options, value);
        case OPTION_NAME:
            options->nameGiven = true;
            return takeField(options->name, value, "name", false);
        case OPTION_PASSWORD:
            options->passwordGiven = true;
            return takeField(options->password, value, "password", true);
        case OPTION_PASSWORD_ENV:
            return takePasswordFrom(options, value);
        case OPTION_SCRIPT:
            copyText(options->scriptFile, sizeof options->scriptFile, value);
            return CLIENTEXIT_OK;
        case OPTION_NO_COLOUR:
            options->noColour = true;
            return CLIENTEXIT_OK;
        case OPTION_SEED:
            return takeSeed(options, value);
        case OPTION_OFFLINE:
            options->offline = true;
            return CLIENTEXIT_OK;
        case OPTION_HELP:
            options->command = "help";
            return CLIENTEXIT_OK;
        default:
            return CLIENTEXIT_USAGE;  // getopt has said what is wrong
    }
}

void setDefaults(clientOptions_t* options) {
    memset(options, 0, sizeof *options);
    copyText(options->host, sizeof options->host, DEFAULT_HOST);
    options->port = CLIENTOPTIONS_DEFAULT_PORT;
}

}  // namespace

int ClientOptions::parse(int argc, char** argv, clientOptions_t* options) {
    setDefaults(options);
    optind = 1;
    int code = 0;
    while ((code = getopt_long(argc, argv, "", LONG_OPTIONS, nullptr)) != -1) {
        int result = takeOption(options, code, optarg);
        if (result != CLIENTEXIT_OK) {
            return result;
        }
    }
    if (!options->passwordGiven && getenv(CLIENTOPTIONS_PASSWORD_VARIABLE) != nullptr) {
        int result = takePasswordFrom(options, CLIENTOPTIONS_PASSWORD_VARIABLE);
        if (result != CLIENTEXIT_OK) {
            return result;
        }
    }
    if (options->command == nullptr && optind < argc) {
        options->command = argv[optind++];
    }
    if (optind < argc) {
        options->argument = argv[optind++];
    }
    if (optind < argc) {
        return usageError("too many words on the command line");
    }
    if (options->command == nullptr) {
        return usageError("no command given");
    }
    return CLIENTEXIT_OK;
}

void ClientOptions::printHelp() {
    fputs(HELP_TEXT, stdout);
}

int ClientOptions::requireCredentials(const clientOptions_t& options, bool needPassword) {
    if (!options.nameGiven) {
        return usageError("this command needs --name");
    }
    if (needPassword && !options.passwordGiven) {
        return usageError(
            "this command needs a password: --password, --password-env VAR, "
            "or the environment variable CARVANTA_PASSWORD");
    }
    return CLIENTEXIT_OK;
}
