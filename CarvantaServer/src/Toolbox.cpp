// Toolbox.cpp - time-stamped log lines to standard output or a log file.
// Each thread formats its lines without a lock; a line, or the lines a
// request held, then go out in one write. logLock guards the log file's
// descriptor: shared across each write, so writers never wait for each
// other, exclusive while the file is opened or closed and while a block of
// lines goes out.
#include "Toolbox.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <shared_mutex>

#include "OsaLog.h"
#include "TextCopy.h"

bool Toolbox::debugPrinting = true;
bool Toolbox::infoPrinting = true;
bool Toolbox::errorPrinting = true;
bool Toolbox::filePrinting = false;
char Toolbox::logFileName[TOOLBOX_FILENAME_MAX] = "";

namespace {

std::shared_mutex logLock;
int logDescriptor = -1;  // GUARDED_BY(logLock); the open log file
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
// its name: such a link is never followed, and the lines are dropped. -1
// if it cannot be opened.
int openLogFile(const char* name, int truncateOrAppend) {
    return open(name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | truncateOrAppend, 0666);
}

// One write of the whole text (appended to a file, whole on a pipe); a
// failing stream drops the rest, as before.
void writeAll(int descriptor, const char* text) {
    size_t left = strlen(text);
    while (left > 0) {
        ssize_t written = write(descriptor, text, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text += written;
        left -= static_cast<size_t>(written);
    }
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
    releaseHeldLines();
    // Exclusive: no other thread's line comes between these.
    std::unique_lock<std::shared_mutex> exclusive(logLock);
    const char* line = lines;
    while (*line != '\0') {
        const char* end = strchr(line, '\n');
        size_t length = end == nullptr ? strlen(line) : static_cast<size_t>(end - line) + 1;
        char one[TOOLBOX_LINE_MAX];
        snprintf(one, sizeof one, "%.*s", static_cast<int>(length), line);
        char formatted[TOOLBOX_LINE_MAX];
        formatLine("INFO", one, formatted);
        writeLocked(formatted);
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
    std::unique_lock<std::shared_mutex> exclusive(logLock);
    if (fileName != nullptr) {
        copyText(logFileName, sizeof logFileName, fileName);
    }
    filePrinting = enable;
}

bool Toolbox::startNewLog() {
    std::unique_lock<std::shared_mutex> exclusive(logLock);
    int descriptor = openLogFile(logFileName, O_TRUNC);
    if (descriptor < 0) {
        return false;
    }
    close(descriptor);
    return true;
}

void Toolbox::closeLog() {
    std::unique_lock<std::shared_mutex> exclusive(logLock);
    if (logDescriptor >= 0) {
        close(logDescriptor);
        logDescriptor = -1;
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
    outputString(heldLines);
    heldLength = 0;
}

void Toolbox::outputString(const char* outString) {
    {
        std::shared_lock<std::shared_mutex> shared(logLock);
        if (!filePrinting || logDescriptor >= 0) {
            writeLocked(outString);
            return;
        }
    }
    std::unique_lock<std::shared_mutex> exclusive(logLock);
    writeLocked(outString);
}

void Toolbox::writeLocked(const char* outString) {
    if (!filePrinting) {
        // Whatever else the program printed goes out first.
        fflush(stdout);
        writeAll(STDOUT_FILENO, outString);
        return;
    }
    if (logDescriptor < 0) {
        // Only under the exclusive lock: a shared holder finds it open.
        logDescriptor = openLogFile(logFileName, O_APPEND);
        if (logDescriptor < 0) {
            return;  // dropped; the next line tries again
        }
    }
    writeAll(logDescriptor, outString);
}
