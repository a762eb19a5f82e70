// LineReader.h - reads lines from a descriptor (a terminal, a pipe or a
// script file) without blocking longer than asked, so that the main thread
// can do other work between lines. Main thread only.
#ifndef LINEREADER_H
#define LINEREADER_H

#include <stddef.h>

// Longest line kept; the rest of a longer line is dropped.
const int LINEREADER_LINE_MAX = 512;

typedef enum {
    LINEREAD_LINE = 0,  // a line (without its line feed)
    LINEREAD_NONE = 1,  // nothing whole within the time given
    LINEREAD_END = 2,   // end of input (a last line without a feed came first)
} lineRead_t;

class LineReader {
public:
    explicit LineReader(int descriptor);

    lineRead_t readLine(char* line, size_t size, long timeoutMs);

private:
    bool takeLine(char* line, size_t size);
    bool fill(long timeoutMs);

    int descriptor;
    char buffer[LINEREADER_LINE_MAX];
    int used;
    bool ended;
    bool skipping;  // dropping the rest of an over-long line
};

#endif
