// ClientOutput.h - the client's standard output, shared by the main thread
// (command results) and the connection's reader thread (lobby messages):
// each call prints one whole block of lines under one lock, so blocks never
// mix. Any thread.
#ifndef CLIENTOUTPUT_H
#define CLIENTOUTPUT_H

// Room for one block of text (the card grid is the largest).
const int CLIENTOUTPUT_BLOCK_MAX = 4096;

class ClientOutput {
public:
    // Prints text as it stands and flushes (scripts read the output live).
    static void print(const char* text);
    // Prints text to standard error.
    static void printError(const char* text);
    // Whether standard output is a terminal that takes colours (no NO_COLOR,
    // no --no-color). Decided once on the main thread before any other
    // thread runs.
    static void setColours(bool enabled);
    static bool coloursEnabled();
};

#endif
