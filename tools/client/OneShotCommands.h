// OneShotCommands.h - the client's single-request commands (signup, check,
// login, delete, score, highscores, players): connect, send one request,
// print one line (or a list) and return the exit status. Main thread only.
#ifndef ONESHOTCOMMANDS_H
#define ONESHOTCOMMANDS_H

#include "ClientOptions.h"

class OneShotCommands {
public:
    // True if command is one of the single-request commands.
    static bool isOneShot(const char* command);
    // Runs it; the exit status (CLIENTEXIT_...).
    static int run(const clientOptions_t& options);
};

#endif
