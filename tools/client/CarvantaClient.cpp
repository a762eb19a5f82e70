// CarvantaClient.cpp - the command-line client: one-shot account and score
// commands, the interactive or scripted two-player lobby, and the
// single-player game. The main
// thread runs the commands; the connection's reader thread prints lobby
// messages.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ClientOptions.h"
#include "ClientOutput.h"
#include "LobbyConsole.h"
#include "OneShotCommands.h"
#include "PlayConsole.h"

namespace {

// Colours only on a terminal, and never when NO_COLOR is set.
bool wantColours(const clientOptions_t& options) {
    return !options.noColour && getenv("NO_COLOR") == nullptr && isatty(STDOUT_FILENO);
}

int unknownCommand(const char* command) {
    char text[CLIENTOPTIONS_HOST_MAX];
    snprintf(text, sizeof text,
             "CarvantaClient: unknown command: %s\nTry 'CarvantaClient --help'.\n", command);
    ClientOutput::printError(text);
    return CLIENTEXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    // A server that goes away must show as an error, not end the client.
    signal(SIGPIPE, SIG_IGN);
    clientOptions_t options;
    int status = ClientOptions::parse(argc, argv, &options);
    if (status != CLIENTEXIT_OK) {
        return status;
    }
    if (strcmp(options.command, "help") == 0) {
        ClientOptions::printHelp();
        return CLIENTEXIT_OK;
    }
    ClientOutput::setColours(wantColours(options));
    if (OneShotCommands::isOneShot(options.command)) {
        return OneShotCommands::run(options);
    }
    if (strcmp(options.command, "lobby") == 0) {
        if (options.argument != nullptr) {
            return unknownCommand(options.argument);
        }
        LobbyConsole console(options);
        return console.run();
    }
    if (strcmp(options.command, "play") == 0) {
        PlayConsole console(options);
        return console.run();
    }
    return unknownCommand(options.command);
}
