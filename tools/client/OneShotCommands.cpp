// OneShotCommands.cpp - one request per run. Success goes to standard
// output, failure to standard error, naming the server's answer.
#include "OneShotCommands.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ClientOutput.h"
#include "ClientSession.h"
#include "ListFormat.h"
#include "ResponseText.h"

namespace {

typedef enum {
    SHOT_SIGNUP,
    SHOT_CHECK,
    SHOT_LOGIN,
    SHOT_DELETE,
    SHOT_SCORE,
    SHOT_HIGHSCORES,
    SHOT_PLAYERS,
} shotKind_t;

typedef struct {
    const char* command;
    shotKind_t kind;
    reqType_t request;
    bool needsPassword;
    bool takesArgument;
} shotCommand_t;

const int SHOT_COUNT = 7;
const shotCommand_t SHOTS[SHOT_COUNT] = {
    {"signup", SHOT_SIGNUP, REQ_SIGNUP, true, false},
    {"check", SHOT_CHECK, REQ_CHECKUSER, false, false},
    {"login", SHOT_LOGIN, REQ_CHECKUSERANDPASSWORD, true, false},
    {"delete", SHOT_DELETE, REQ_DELETEUSER, true, false},
    {"score", SHOT_SCORE, REQ_STORESINGLEPLAYERSCORE, true, true},
    {"highscores", SHOT_HIGHSCORES, REQ_SENDSINGLEPLAYERHIGHSCORES, true, false},
    {"players", SHOT_PLAYERS, REQ_MULTI_SENDPLAYERLIST, true, false},
};

const int OUTPUT_LINE_MAX = 512;

const shotCommand_t* findShot(const char* command) {
    for (int i = 0; i < SHOT_COUNT; i++) {
        if (strcmp(SHOTS[i].command, command) == 0) {
            return &SHOTS[i];
        }
    }
    return nullptr;
}

int usage(const char* text) {
    char line[OUTPUT_LINE_MAX];
    snprintf(line, sizeof line, "CarvantaClient: %s\nTry 'CarvantaClient --help'.\n", text);
    ClientOutput::printError(line);
    return CLIENTEXIT_USAGE;
}

// The score argument: a whole number that fits 32 bits.
bool parseScore(const char* text, int* score) {
    if (text == nullptr) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < INT_MIN || value > INT_MAX) {
        return false;
    }
    *score = static_cast<int>(value);
    return true;
}

void printSuccess(const shotCommand_t& shot, const char* name, int score,
                  const clientReply_t& reply) {
    char text[CLIENTOUTPUT_BLOCK_MAX];
    switch (shot.kind) {
        case SHOT_SIGNUP:
            snprintf(text, sizeof text, "Signed up %s.\n", name);
            break;
        case SHOT_CHECK:
            snprintf(text, sizeof text, "User %s exists.\n", name);
            break;
        case SHOT_LOGIN:
            snprintf(text, sizeof text, "Login ok: %s exists and the password is right.\n", name);
            break;
        case SHOT_DELETE:
            snprintf(text, sizeof text, "Deleted the account %s.\n", name);
            break;
        case SHOT_SCORE:
            snprintf(text, sizeof text, "Recorded a score of %d for %s.\n", score, name);
            break;
        case SHOT_HIGHSCORES:
            ListFormat::formatHighscores(text, sizeof text, reply.list, reply.listLength);
            break;
        case SHOT_PLAYERS:
            ListFormat::formatPlayers(text, sizeof text, reply.list, reply.listLength);
            break;
    }
    ClientOutput::print(text);
}

void printFailure(const shotCommand_t& shot, const clientOptions_t& options, clientErr_t err,
                  const clientReply_t& reply) {
    char text[OUTPUT_LINE_MAX];
    if (err == CLIENTERR_OK && shot.kind == SHOT_CHECK && reply.code == RES_USERDOESNOTEXIST) {
        snprintf(text, sizeof text, "User %s does not exist (%s).\n", options.name,
                 responseName(reply.code));
    } else if (err == CLIENTERR_OK) {
        snprintf(text, sizeof text, "%s refused by the server: %s (%s).\n", shot.command,
                 responseMeaning(reply.code), responseName(reply.code));
    } else {
        snprintf(text, sizeof text, "%s failed: %s (%s port %d).\n", shot.command,
                 clientErrorText(err), options.host, options.port);
    }
    ClientOutput::printError(text);
}

clientErr_t send(ClientSession* session, const shotCommand_t& shot, int score,
                 clientReply_t* reply) {
    if (shot.kind == SHOT_SCORE) {
        return session->requestWithScore(score, reply);
    }
    return session->request(shot.request, nullptr, 0, reply);
}

}  // namespace

bool OneShotCommands::isOneShot(const char* command) {
    return findShot(command) != nullptr;
}

int OneShotCommands::run(const clientOptions_t& options) {
    const shotCommand_t* shot = findShot(options.command);
    int score = 0;
    if (shot->takesArgument && !parseScore(options.argument, &score)) {
        return usage("score needs a whole number, for example: score 120");
    }
    if (!shot->takesArgument && options.argument != nullptr) {
        return usage("this command takes no argument");
    }
    int status = ClientOptions::requireCredentials(options, shot->needsPassword);
    if (status != CLIENTEXIT_OK) {
        return status;
    }
    ClientSession session(options.name, options.password);
    clientReply_t reply;
    memset(&reply, 0, sizeof reply);
    clientErr_t err = session.connect(options.host, options.port, nullptr);
    if (err == CLIENTERR_OK) {
        err = send(&session, *shot, score, &reply);
    }
    status = exitStatusFor(err, reply);
    if (status == CLIENTEXIT_OK) {
        printSuccess(*shot, options.name, score, reply);
    } else {
        printFailure(*shot, options, err, reply);
    }
    return status;
}
