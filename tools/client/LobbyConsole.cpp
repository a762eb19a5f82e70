// LobbyConsole.cpp - the lobby session on the main thread: one command per
// input line; between lines (and while a command waits) it checks the
// connection and puts the player back on the list after a game.
#include "LobbyConsole.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ClientOutput.h"
#include "ListFormat.h"
#include "ResponseText.h"
#include "SimpleOsa.h"
#include "TextBuffer.h"

namespace {

const long POLL_MS = 200;
const int DEFAULT_WAIT_SECONDS = 30;
const int MAX_WAIT_SECONDS = 3600;
const long MS_PER_SECOND = 1000;
// The server marks the player as back in the lobby just after it has sent
// the end of the game, so the first try waits a little, and a refused try
// is repeated a few times.
const long READD_FIRST_DELAY_MS = 300;
const long READD_RETRY_MS = 1000;
const int READD_TRIES = 5;
const int OUTPUT_LINE_MAX = 512;

const char COMMANDS_TEXT[] =
    "Commands: invite NAME, cancel NAME, accept NAME, reject NAME, stop, list, add, remove,\n"
    "wait EVENT [SECONDS], wait player NAME [SECONDS], sleep SECONDS, help, quit.\n";

void say(const char* text) {
    ClientOutput::print(text);
}

void complain(const char* text) {
    ClientOutput::printError(text);
}

// Seconds for wait and sleep: 1 to 3600.
bool parseSeconds(const char* text, int* seconds) {
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > MAX_WAIT_SECONDS) {
        return false;
    }
    *seconds = static_cast<int>(value);
    return true;
}

// Scripted input is echoed, so the output reads like a session.
void echoCommand(const lobbyCommand_t& command) {
    char echo[OUTPUT_LINE_MAX] = ">";
    for (int i = 0; i < command.count; i++) {
        appendText(echo, sizeof echo, " %s", command.words[i]);
    }
    appendText(echo, sizeof echo, "\n");
    say(echo);
}

// The commands that name the other player: the request and the words of
// the line printed when the server has taken it.
typedef struct {
    const char* verb;
    reqType_t request;
    const char* doneText;
    const char* doneTail;
} namedCommand_t;

const int NAMED_COMMANDS = 4;
const namedCommand_t NAMED[NAMED_COMMANDS] = {
    {"invite", REQ_MULTI_INVITEMULTIPLAYER, "Invited", "; waiting for the answer."},
    {"cancel", REQ_MULTI_CANCELINVITATION, "Cancelled the invitation of", "."},
    {"accept", REQ_MULTI_ACCEPTINVITATION, "Accepted the invitation of", "."},
    {"reject", REQ_MULTI_REJECTINVITATION, "Rejected the invitation of", "."},
};

const namedCommand_t* findNamedCommand(const char* verb) {
    for (int i = 0; i < NAMED_COMMANDS; i++) {
        if (strcmp(NAMED[i].verb, verb) == 0) {
            return &NAMED[i];
        }
    }
    return nullptr;
}

bool validName(const char* name) {
    size_t length = strlen(name);
    return length > 0 && length < static_cast<size_t>(PROTOCOL_NAME_SIZE);
}

}  // namespace

LobbyConsole::LobbyConsole(const clientOptions_t& clientOptions)
    : options(clientOptions),
      scripted(false),
      inputDescriptor(STDIN_FILENO),
      events(),
      listener(&events, ClientOutput::coloursEnabled()),
      session(clientOptions.name, clientOptions.password),
      readdTriesLeft(0),
      readdDueMs(0) {}

int LobbyConsole::run() {
    int status = ClientOptions::requireCredentials(options, true);
    if (status == CLIENTEXIT_OK) {
        status = openInput();
    }
    if (status != CLIENTEXIT_OK) {
        return status;
    }
    clientErr_t err = session.connect(options.host, options.port, &listener);
    if (err != CLIENTERR_OK) {
        char line[OUTPUT_LINE_MAX];
        snprintf(line, sizeof line, "Cannot enter the lobby: %s (%s port %d).\n",
                 clientErrorText(err), options.host, options.port);
        complain(line);
        return CLIENTEXIT_CONNECT;
    }
    status = enter();
    if (status == CLIENTEXIT_OK) {
        LineReader reader(inputDescriptor);
        status = commandLoop(&reader);
        leave();
    }
    session.close();
    if (inputDescriptor != STDIN_FILENO) {
        close(inputDescriptor);
    }
    return status;
}

int LobbyConsole::openInput() {
    if (options.scriptFile[0] == '\0') {
        scripted = !isatty(STDIN_FILENO);
        return CLIENTEXIT_OK;
    }
    inputDescriptor = open(options.scriptFile, O_RDONLY | O_CLOEXEC);
    if (inputDescriptor < 0) {
        char line[OUTPUT_LINE_MAX];
        snprintf(line, sizeof line, "CarvantaClient: cannot open the script %s: %s\n",
                 options.scriptFile, strerror(errno));
        complain(line);
        return CLIENTEXIT_USAGE;
    }
    scripted = true;
    return CLIENTEXIT_OK;
}

int LobbyConsole::enter() {
    clientReply_t reply;
    clientErr_t err = session.request(REQ_MULTI_ATTACHMULTIPLAYER, nullptr, 0, &reply);
    if (err == CLIENTERR_OK && reply.code == RES_OK) {
        err = session.request(REQ_MULTI_ADDMULTIPLAYER, nullptr, 0, &reply);
    }
    int status = exitStatusFor(err, reply);
    char line[OUTPUT_LINE_MAX];
    if (status != CLIENTEXIT_OK) {
        snprintf(line, sizeof line, "Cannot enter the lobby: %s (%s).\n",
                 err == CLIENTERR_OK ? responseMeaning(reply.code) : clientErrorText(err),
                 err == CLIENTERR_OK ? responseName(reply.code) : "no answer");
        complain(line);
        return status;
    }
    snprintf(line, sizeof line, "In the lobby as %s, on the player list.\n", options.name);
    say(line);
    say(COMMANDS_TEXT);
    return CLIENTEXIT_OK;
}

// Best effort: the server also clears the player when the connection ends.
void LobbyConsole::leave() {
    if (session.isLost()) {
        return;
    }
    clientReply_t reply;
    session.request(REQ_MULTI_REMOVEMULTIPLAYER, nullptr, 0, &reply);
    session.request(REQ_MULTI_DETACHMULTIPLAYER, nullptr, 0, &reply);
    say("Left the lobby.\n");
}

int LobbyConsole::commandLoop(LineReader* reader) {
    while (true) {
        serviceBackground();
        if (session.isLost()) {
            complain("The connection to the server was lost.\n");
            return CLIENTEXIT_NOANSWER;
        }
        char line[LINEREADER_LINE_MAX];
        lineRead_t read = reader->readLine(line, sizeof line, POLL_MS);
        if (read == LINEREAD_END) {
            return CLIENTEXIT_OK;
        }
        if (read == LINEREAD_NONE) {
            continue;
        }
        bool quit = false;
        int status = execute(line, &quit);
        if (quit) {
            return CLIENTEXIT_OK;
        }
        if (status != CLIENTEXIT_OK && scripted) {
            return status;
        }
    }
}

int LobbyConsole::execute(char* line, bool* quit) {
    lobbyCommand_t command;
    command.count = 0;
    char* rest = nullptr;
    for (char* word = strtok_r(line, " \t", &rest); word != nullptr;
         word = strtok_r(nullptr, " \t", &rest)) {
        if (command.count == 0 && word[0] == '#') {
            return CLIENTEXIT_OK;  // a comment line
        }
        if (command.count == LOBBY_WORDS_MAX) {
            return commandError("too many words in the command");
        }
        command.words[command.count++] = word;
    }
    if (command.count == 0) {
        return CLIENTEXIT_OK;
    }
    if (scripted) {
        echoCommand(command);
    }
    return runCommand(command, quit);
}

int LobbyConsole::runCommand(const lobbyCommand_t& command, bool* quit) {
    const char* verb = command.words[0];
    if (command.count == 2) {
        const namedCommand_t* named = findNamedCommand(verb);
        if (named != nullptr && validName(command.words[1])) {
            char done[OUTPUT_LINE_MAX];
            snprintf(done, sizeof done, "%s %s%s\n", named->doneText, command.words[1],
                     named->doneTail);
            return sendRequest(verb, named->request, command.words[1], done);
        }
    }
    if (strcmp(verb, "wait") == 0) {
        return runWait(command);
    }
    if (strcmp(verb, "sleep") == 0) {
        return runSleep(command);
    }
    if (command.count == 1) {
        return runPlainCommand(verb, quit);
    }
    return unknownCommand(verb);
}

// Commands without an argument.
int LobbyConsole::runPlainCommand(const char* verb, bool* quit) {
    if (strcmp(verb, "add") == 0) {
        return sendRequest(verb, REQ_MULTI_ADDMULTIPLAYER, nullptr,
                           "You are on the player list.\n");
    }
    if (strcmp(verb, "remove") == 0) {
        return sendRequest(verb, REQ_MULTI_REMOVEMULTIPLAYER, nullptr,
                           "You are off the player list.\n");
    }
    if (strcmp(verb, "list") == 0) {
        return runList();
    }
    if (strcmp(verb, "stop") == 0) {
        if (session.sendStop() != CLIENTERR_OK) {
            return commandError("stop failed: the connection to the server was lost");
        }
        say("Stop sent.\n");
        return CLIENTEXIT_OK;
    }
    if (strcmp(verb, "quit") == 0 || strcmp(verb, "exit") == 0) {
        *quit = true;
        return CLIENTEXIT_OK;
    }
    if (strcmp(verb, "help") == 0) {
        say(COMMANDS_TEXT);
        return CLIENTEXIT_OK;
    }
    return unknownCommand(verb);
}

int LobbyConsole::unknownCommand(const char* verb) {
    char text[OUTPUT_LINE_MAX];
    snprintf(text, sizeof text, "'%s' is no command here, or it lacks its name", verb);
    return commandError(text);
}

int LobbyConsole::commandError(const char* text) {
    char line[OUTPUT_LINE_MAX];
    snprintf(line, sizeof line, "%s. Type 'help' for the commands.\n", text);
    complain(line);
    return CLIENTEXIT_USAGE;
}

int LobbyConsole::sendRequest(const char* verb, reqType_t type, const char* otherName,
                              const char* done) {
    clientReply_t reply;
    clientErr_t err = otherName != nullptr ? session.requestWithName(type, otherName, &reply)
                                           : session.request(type, nullptr, 0, &reply);
    int status = exitStatusFor(err, reply);
    if (status == CLIENTEXIT_OK) {
        say(done);
        return status;
    }
    reportFailure(verb, otherName, err, reply);
    return status;
}

void LobbyConsole::reportFailure(const char* verb, const char* otherName, clientErr_t err,
                                 const clientReply_t& reply) {
    char line[OUTPUT_LINE_MAX];
    if (err == CLIENTERR_OK) {
        snprintf(line, sizeof line, "%s%s%s refused: %s (%s).\n", verb,
                 otherName != nullptr ? " " : "", otherName != nullptr ? otherName : "",
                 responseMeaning(reply.code), responseName(reply.code));
    } else {
        snprintf(line, sizeof line, "%s failed: %s.\n", verb, clientErrorText(err));
    }
    complain(line);
}

int LobbyConsole::runList() {
    clientReply_t reply;
    clientErr_t err = session.request(REQ_MULTI_SENDPLAYERLIST, nullptr, 0, &reply);
    int status = exitStatusFor(err, reply);
    if (status != CLIENTEXIT_OK) {
        reportFailure("list", nullptr, err, reply);
        return status;
    }
    char text[CLIENTOUTPUT_BLOCK_MAX];
    ListFormat::formatPlayers(text, sizeof text, reply.list, reply.listLength);
    say(text);
    return CLIENTEXIT_OK;
}

// "wait EVENT [SECONDS]" or "wait player NAME [SECONDS]".
int LobbyConsole::runWait(const lobbyCommand_t& command) {
    bool forPlayer = command.count >= 3 && strcmp(command.words[1], "player") == 0;
    int secondsWord = forPlayer ? 3 : 2;
    lobbyEvent_t event = LOBBYEVENT_LIST;
    bool understood =
        forPlayer ? validName(command.words[2])
                  : command.count >= 2 && LobbyEvents::eventByName(command.words[1], &event);
    int seconds = DEFAULT_WAIT_SECONDS;
    if (command.count > secondsWord + 1 ||
        (command.count == secondsWord + 1 && !parseSeconds(command.words[secondsWord], &seconds))) {
        understood = false;
    }
    if (!understood) {
        return commandError(
            "wait takes an event (list, invitation, cancel, accept, reject, "
            "countdown, start, cards, end) or 'player NAME', then seconds");
    }
    long long deadline = clockMonotonicMs() + seconds * MS_PER_SECOND;
    while (clockMonotonicMs() < deadline) {
        serviceBackground();
        if (session.isLost()) {
            complain("wait: the connection to the server was lost.\n");
            return CLIENTEXIT_NOANSWER;
        }
        lobbyWait_t done = forPlayer ? events.waitForPlayer(command.words[2], POLL_MS)
                                     : events.waitFor(event, POLL_MS);
        if (done == LOBBYWAIT_DONE) {
            return CLIENTEXIT_OK;
        }
    }
    char line[OUTPUT_LINE_MAX];
    snprintf(line, sizeof line, "wait %s%s%s: nothing came within %d seconds.\n", command.words[1],
             forPlayer ? " " : "", forPlayer ? command.words[2] : "", seconds);
    complain(line);
    return CLIENTEXIT_SCRIPT;
}

int LobbyConsole::runSleep(const lobbyCommand_t& command) {
    int seconds = 0;
    if (command.count != 2 || !parseSeconds(command.words[1], &seconds)) {
        return commandError("sleep takes a number of seconds, 1 to 3600");
    }
    long long deadline = clockMonotonicMs() + seconds * MS_PER_SECOND;
    while (clockMonotonicMs() < deadline && !session.isLost()) {
        serviceBackground();
        long long left = deadline - clockMonotonicMs();
        threadSleep(left < POLL_MS ? (left > 0 ? left : 0) : POLL_MS);
    }
    return CLIENTEXIT_OK;
}

void LobbyConsole::serviceBackground() {
    if (events.takeReaddRequest()) {
        readdTriesLeft = READD_TRIES;
        readdDueMs = clockMonotonicMs() + READD_FIRST_DELAY_MS;
    }
    if (readdTriesLeft > 0 && clockMonotonicMs() >= readdDueMs && !session.isLost()) {
        readdAfterGame();
    }
}

void LobbyConsole::readdAfterGame() {
    clientReply_t reply;
    clientErr_t err = session.request(REQ_MULTI_ADDMULTIPLAYER, nullptr, 0, &reply);
    if (err == CLIENTERR_OK && reply.code == RES_OK) {
        readdTriesLeft = 0;
        say("You are back on the player list.\n");
        return;
    }
    readdTriesLeft = err == CLIENTERR_OK ? readdTriesLeft - 1 : 0;
    readdDueMs = clockMonotonicMs() + READD_RETRY_MS;
    if (readdTriesLeft == 0) {
        reportFailure("putting you back on the list", nullptr, err, reply);
        say("Type 'add' to put yourself on the player list again.\n");
    }
}
