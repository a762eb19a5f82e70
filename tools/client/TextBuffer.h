// TextBuffer.h - appends formatted text to a fixed, terminated character
// array, cutting what does not fit. Stateless; any thread.
#ifndef TEXTBUFFER_H
#define TEXTBUFFER_H

#include <stddef.h>

// Appends to the string in text (size bytes in all); text stays terminated.
void appendText(char* text, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#endif
