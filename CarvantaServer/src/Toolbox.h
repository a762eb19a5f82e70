// Toolbox.h - the server's logging: one line per call, a local time stamp
// and a level word in front, to standard output or to the daemon's log
// file. Every thread logs; a line is formatted without a lock and goes out
// in one write, so lines never mix. The level and file switches are set on
// the main thread before other threads exist.
#ifndef TOOLBOX_H
#define TOOLBOX_H

// Room for one formatted log line, its terminator included.
const int TOOLBOX_LINE_MAX = 256;
// Room for a time stamp.
const int TOOLBOX_TIME_MAX = 80;
// Room for the log file name.
const int TOOLBOX_FILENAME_MAX = 256;

class Toolbox {
public:
    // Writes "%Y-%m-%d %X" of the local time into a buffer of
    // TOOLBOX_TIME_MAX bytes.
    static void getTimeString(char* timeString);

    static void printError(const char* message);
    static void printInfo(const char* message);
    static void printDebug(const char* message);

    // Several lines (each ending in a line feed) as one unit: every line
    // gets its own stamp, and no other thread's line comes between them.
    static void printInfoBlock(const char* lines);

    // An info line that this thread holds back: it goes out, in order, with
    // the thread's next line or at releaseHeldLines, in one write with them.
    // A request's lines cost the log one write instead of three.
    static void holdInfo(const char* message);
    static void releaseHeldLines();

    static void setErrorPrinting(bool enable);
    static void setInfoPrinting(bool enable);
    static void setDebugPrinting(bool enable);

    // Sends lines to the file (true) or to standard output (false). The file
    // is opened lazily by the next line, in append mode.
    static void printToFile(bool enable, char* fileName);
    // Empties the log file once, so that each daemon start begins a new log
    // while every line of that start (parent and child alike) is appended.
    // False if the file could not be opened.
    static bool startNewLog();
    static void closeLog();

private:
    static void printLine(const char* level, const char* message);
    static void formatLine(const char* level, const char* message, char* line);
    // One write of the text, opening the log file if need be.
    static void outputString(const char* outString);
    // The write itself, with logLock held: shared once the file is open (or
    // for standard output), else exclusive.
    static void writeLocked(const char* outString);

    static bool debugPrinting;
    static bool infoPrinting;
    static bool errorPrinting;
    static bool filePrinting;
    static char logFileName[TOOLBOX_FILENAME_MAX];
};

#endif
