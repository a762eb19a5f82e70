// LobbyConsole.h - the client's lobby mode: enters the lobby (attach, then
// add to the list), runs the player's commands from the terminal or a
// script, puts the player back on the list after each game, and leaves
// (remove, detach) at the end. Runs on the main thread; lobby messages are
// printed by LobbyListener on the reader thread meanwhile.
#ifndef LOBBYCONSOLE_H
#define LOBBYCONSOLE_H

#include "ClientOptions.h"
#include "ClientSession.h"
#include "LineReader.h"
#include "LobbyEvents.h"
#include "LobbyListener.h"

// Most words a lobby command has (wait player NAME SECONDS).
const int LOBBY_WORDS_MAX = 4;

typedef struct {
    int count;
    char* words[LOBBY_WORDS_MAX];
} lobbyCommand_t;

class LobbyConsole {
public:
    explicit LobbyConsole(const clientOptions_t& options);

    // The whole lobby session; returns the exit status.
    int run();

private:
    int openInput();
    int enter();
    void leave();
    int commandLoop(LineReader* reader);
    // CLIENTEXIT_OK, or the status of the command's failure. *quit is set
    // by "quit".
    int execute(char* line, bool* quit);
    int runCommand(const lobbyCommand_t& command, bool* quit);
    int runPlainCommand(const char* verb, bool* quit);
    int unknownCommand(const char* verb);
    int sendRequest(const char* verb, reqType_t type, const char* otherName, const char* done);
    int runWait(const lobbyCommand_t& command);
    int runSleep(const lobbyCommand_t& command);
    int runList();
    void reportFailure(const char* verb, const char* otherName, clientErr_t err,
                       const clientReply_t& reply);
    int commandError(const char* text);
    // Re-adds the player after a game; called between commands and while
    // waiting.
    void serviceBackground();
    void readdAfterGame();

    const clientOptions_t& options;
    bool scripted;  // a failed command ends the session
    int inputDescriptor;
    LobbyEvents events;
    LobbyListener listener;
    ClientSession session;
    int readdTriesLeft;
    long long readdDueMs;  // monotonic time of the next re-add try
};

#endif
