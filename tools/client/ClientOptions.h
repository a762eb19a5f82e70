// ClientOptions.h - the command line of CarvantaClient: where the server
// is, who the player is, which command to run. Parsed once on the main
// thread; read-only afterwards.
#ifndef CLIENTOPTIONS_H
#define CLIENTOPTIONS_H

#include "GameProtocol.h"

const int CLIENTOPTIONS_HOST_MAX = 256;
const int CLIENTOPTIONS_PATH_MAX = 4096;
const int CLIENTOPTIONS_DEFAULT_PORT = 7777;
// Where the password comes from when --password is not given.
extern const char CLIENTOPTIONS_PASSWORD_VARIABLE[];

// Exit statuses of CarvantaClient (also in its help text).
const int CLIENTEXIT_OK = 0;
const int CLIENTEXIT_USAGE = 2;
const int CLIENTEXIT_CONNECT = 3;        // the server cannot be reached
const int CLIENTEXIT_NOANSWER = 4;       // no answer in time, or connection lost
const int CLIENTEXIT_SCRIPT = 5;         // a lobby script's wait ran out
const int CLIENTEXIT_PROTOCOL = 6;       // an answer the client cannot read
const int CLIENTEXIT_REFUSED_BASE = 10;  // plus the server's response code

typedef struct {
    char host[CLIENTOPTIONS_HOST_MAX];
    int port;
    char name[PROTOCOL_NAME_SIZE];
    char password[PROTOCOL_NAME_SIZE];
    bool nameGiven;
    bool passwordGiven;
    char scriptFile[CLIENTOPTIONS_PATH_MAX];  // empty: standard input
    bool noColour;
    bool offline;    // play: no server, the score is only printed
    bool seedGiven;  // play: deal the game of this seed
    unsigned int seed;
    const char* command;   // argv word; null if none
    const char* argument;  // the command's argument (score, ...); null if none
} clientOptions_t;

class ClientOptions {
public:
    // Fills options from argv and the environment. CLIENTEXIT_OK, or
    // CLIENTEXIT_USAGE after printing what is wrong on standard error.
    static int parse(int argc, char** argv, clientOptions_t* options);
    // The help text on standard output.
    static void printHelp();
    // CLIENTEXIT_OK when the command has what it needs (a name, a
    // password); else CLIENTEXIT_USAGE after saying what is missing.
    static int requireCredentials(const clientOptions_t& options, bool needPassword);
};

#endif
