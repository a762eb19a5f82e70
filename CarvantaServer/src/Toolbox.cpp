// Toolbox.cpp - time-stamped log lines to standard output or a log file.
// One mutex makes the formatting and output of a line a single unit; the
// file stream is guarded by the same mutex.
#include "Toolbox.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "MutexGuard.h"
#include "OsaLog.h"
#include "TextCopy.h"

bool Toolbox::debugPrinting = true;
bool Toolbox::infoPrinting = true;
bool Toolbox::errorPrinting = true;
bool Toolbox::filePrinting = false;
char Toolbox::logFileName[TOOLBOX_FILENAME_MAX] = "";

namespace {

pthread_mutex_t lineMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
FILE* fp = nullptr;  // GUARDED_BY(lineMutex)
// Each thread formats the time stamp of its lines once a second and reuses
// it for the lines of that second.
thread_local time_t stampSecond = -1;
thread_local char stampText[TOOLBOX_TIME_MAX];
// Lines this thread holds back, each ending in a line feed.
const int HELD_MAX = 4 * TOOLBOX_LINE_MAX;
thread_local char heldLines[HELD_MAX];
thread_local int heldLength = 0;

// False when the line does not fit beside the lines already held.
bool holdLine(const char* line) {
    int length = static_cast<int>(strlen(line));
    if (heldLength + length >= HELD_MAX) {
        return false;
    }
    memcpy(heldLines + heldLength, line, length + 1);
    heldLength += length;
    return true;
}

void formatTime(time_t when, char* timeString) {
    struct tm local;
    localtime_r(&when, &local);
    if (strftime(timeString, TOOLBOX_TIME_MAX, "%Y-%m-%d %X", &local) == 0) {
        timeString[0] = '\0';
    }
}

// The daemon's log may lie in /tmp/, where anybody can plant a link under
// its name: such a link is never followed, and the lines are dropped.
FILE* openLogFile(const char* name, int truncateOrAppend) {
    int descriptor =
        open(name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | truncateOrAppend, 0666);
    if (descriptor < 0) {
        return nullptr;
    }
    FILE* file = fdopen(descriptor, "a");
    if (file == nullptr) {
        close(descriptor);
    }
    return file;
}

// The shared network and protocol code logs through the toolbox once the
// server is linked in.
struct SinkRegistration {
    SinkRegistration() { osaSetLogFunctions(Toolbox::printError, Toolbox::printInfo); }
} sinkRegistration;

}  // namespace

void Toolbox::getTimeString(char* timeString) {
    formatTime(time(nullptr), timeString);
}

void Toolbox::printError(const char* message) {
    if (errorPrinting) {
        printLine("ERROR", message);
    }
}

void Toolbox::printInfo(const char* message) {
    if (infoPrinting) {
        printLine("INFO", message);
    }
}

void Toolbox::printDebug(const char* message) {
    if (debugPrinting) {
        printLine("DEBUG", message);
    }
}

void Toolbox::printInfoBlock(const char* lines) {
    if (!infoPrinting) {
        return;
    }
    // The lock is recursive: the lines go out through printLine.
    MutexGuard guard(&lineMutex);
    const char* line = lines;
    while (*line != '\0') {
        const char* end = strchr(line, '\n');
        size_t length = end == nullptr ? strlen(line) : static_cast<size_t>(end - line) + 1;
        char one[TOOLBOX_LINE_MAX];
        snprintf(one, sizeof one, "%.*s", static_cast<int>(length), line);
        printLine("INFO", one);
        line += length;
    }
}

void Toolbox::setErrorPrinting(bool enable) {
    errorPrinting = enable;
}

void Toolbox::setInfoPrinting(bool enable) {
    infoPrinting = enable;
}

void Toolbox::setDebugPrinting(bool enable) {
    debugPrinting = enable;
}

void Toolbox::printToFile(bool enable, char* fileName) {
    MutexGuard guard(&lineMutex);
    if (fileName != nullptr) {
        copyText(logFileName, sizeof logFileName, fileName);
    }
    filePrinting = enable;
}

bool Toolbox::startNewLog() {
    MutexGuard guard(&lineMutex);
    FILE* file = openLogFile(logFileName, O_TRUNC);
    if (file == nullptr) {
        return false;
    }
    fclose(file);
    return true;
}

void Toolbox::closeLog() {
    MutexGuard guard(&lineMutex);
    if (fp != nullptr) {
        fclose(fp);
        fp = nullptr;
    }
}

void Toolbox::formatLine(const char* level, const char* message, char* line) {
    time_t now = time(nullptr);
    if (now != stampSecond) {
        formatTime(now, stampText);
        stampSecond = now;
    }
    // A longer line is cut at TOOLBOX_LINE_MAX - 1 characters.
    const char* const parts[] = {stampText, level, message};
    fillText(line, TOOLBOX_LINE_MAX, "%s %s: %s", parts, 3);
}

void Toolbox::printLine(const char* level, const char* message) {
    char line[TOOLBOX_LINE_MAX];
    formatLine(level, message, line);
    if (heldLength > 0 && holdLine(line)) {
        releaseHeldLines();
        return;
    }
    releaseHeldLines();
    MutexGuard guard(&lineMutex);
    outputString(line);
}

void Toolbox::holdInfo(const char* message) {
    if (!infoPrinting) {
        return;
    }
    char line[TOOLBOX_LINE_MAX];
    formatLine("INFO", message, line);
    if (!holdLine(line)) {
        releaseHeldLines();
        holdLine(line);
    }
}

void Toolbox::releaseHeldLines() {
    if (heldLength == 0) {
        return;
    }
    {
        MutexGuard guard(&lineMutex);
        outputString(heldLines);
    }
    heldLength = 0;
}

void Toolbox::outputString(const char* outString) {
    if (!filePrinting) {
        fputs(outString, stdout);
        fflush(stdout);
        return;
    }
    if (fp == nullptr) {
        fp = openLogFile(logFileName, O_APPEND);
        if (fp == nullptr) {
            return;  // dropped; the next line tries again
        }
    }
    fputs(outString, fp);
    fflush(fp);
}
