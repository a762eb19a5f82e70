// TextBuffer.cpp - see TextBuffer.h.
#include "TextBuffer.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

void appendText(char* text, size_t size, const char* format, ...) {
    size_t used = strnlen(text, size);
    if (used + 1 >= size) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text + used, size - used, format, arguments);
    va_end(arguments);
}
