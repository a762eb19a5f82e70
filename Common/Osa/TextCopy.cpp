// TextCopy.cpp - bounded text copies (see TextCopy.h).
#include "TextCopy.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

bool copyText(char* dst, size_t size, const char* src) {
    if (size == 0) {
        return src[0] != '\0';
    }
    size_t length = strnlen(src, size);
    bool cut = length >= size;
    if (cut) {
        length = size - 1;
    }
    memcpy(dst, src, length);
    dst[length] = '\0';
    return cut;
}

void copyField(char* field, size_t width, const char* src) {
    if (width == 0) {
        return;
    }
    size_t length = strnlen(src, width - 1);
    strncpy(field, src, length);
    memset(field + length, 0, width - length);
}

void readField(char* dst, const char* field, size_t width) {
    if (width == 0) {
        return;
    }
    size_t length = strnlen(field, width - 1);
    memcpy(dst, field, length);
    dst[length] = '\0';
}

void fillText(char* dst, size_t size, const char* format, const char* const* texts, int count) {
    if (size == 0) {
        return;
    }
    size_t used = 0;
    int next = 0;
    for (const char* rest = format; *rest != '\0' && used < size - 1; rest++) {
        if (rest[0] != '%' || rest[1] != 's') {
            dst[used++] = *rest;
            continue;
        }
        if (next < count) {
            size_t length = strnlen(texts[next], size - 1 - used);
            memcpy(dst + used, texts[next], length);
            used += length;
        }
        next++;
        rest++;
    }
    dst[used] = '\0';
}

int textToInt(const char* text) {
    long number = strtol(text, nullptr, 10);
    if (number > INT_MAX) {
        return INT_MAX;
    }
    if (number < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(number);
}
