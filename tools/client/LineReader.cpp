// LineReader.cpp - poll(), then one read(); lines are cut from the buffer.
#include "LineReader.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include "TextCopy.h"

LineReader::LineReader(int inputDescriptor)
    : descriptor(inputDescriptor), buffer(), used(0), ended(false), skipping(false) {}

// A whole line from the buffer, if one is there. A full buffer without a
// line feed is given out as a line, and the rest of it is skipped.
bool LineReader::takeLine(char* line, size_t size) {
    char* feed = static_cast<char*>(memchr(buffer, '\n', used));
    bool whole = feed != nullptr;
    if (!whole && used < LINEREADER_LINE_MAX && !ended) {
        return false;
    }
    if (!whole && used == 0) {
        return false;
    }
    int length = whole ? static_cast<int>(feed - buffer) : used;
    int consumed = whole ? length + 1 : used;
    bool skip = skipping;
    skipping = !whole && !ended;
    char text[LINEREADER_LINE_MAX + 1];
    memcpy(text, buffer, length);
    text[length] = '\0';
    memmove(buffer, buffer + consumed, used - consumed);
    used -= consumed;
    if (skip) {
        return takeLine(line, size);
    }
    copyText(line, size, text);
    return true;
}

bool LineReader::fill(long timeoutMs) {
    struct pollfd watched = {descriptor, POLLIN, 0};
    int ready = poll(&watched, 1, static_cast<int>(timeoutMs));
    if (ready <= 0) {
        return false;
    }
    ssize_t count = read(descriptor, buffer + used, LINEREADER_LINE_MAX - used);
    if (count < 0 && errno == EINTR) {
        return false;
    }
    if (count <= 0) {
        ended = true;
        return true;
    }
    used += static_cast<int>(count);
    return true;
}

lineRead_t LineReader::readLine(char* line, size_t size, long timeoutMs) {
    while (true) {
        if (takeLine(line, size)) {
            size_t length = strlen(line);
            if (length > 0 && line[length - 1] == '\r') {
                line[length - 1] = '\0';
            }
            return LINEREAD_LINE;
        }
        if (ended) {
            return LINEREAD_END;
        }
        if (!fill(timeoutMs)) {
            return LINEREAD_NONE;
        }
    }
}
