// TextCopy.h - bounded copies into fixed character arrays (every copy into a
// fixed array of this program goes through them) and reading a number out of
// a text.
#ifndef TEXTCOPY_H
#define TEXTCOPY_H

#include <stddef.h>

// At most size-1 chars, always terminated; true if src was cut.
bool copyText(char* dst, size_t size, const char* src);
// Record/wire field: text, then NULs to width (20-byte names). At most
// width-1 characters are kept, so the field always ends within itself.
void copyField(char* field, size_t width, const char* src);
// Reads a field of `width` bytes that may lack its NUL: at most width-1
// characters are copied into dst (which holds width bytes), terminated.
void readField(char* dst, const char* field, size_t width);
// Fills dst (size bytes) from format with texts[i] in place of its i-th
// "%s" (an empty text past count), cut at size-1 characters and terminated,
// as snprintf would fill it. Cheaper than snprintf on the log's hot path; the
// format holds no conversion other than "%s".
void fillText(char* dst, size_t size, const char* format, const char* const* texts, int count);
// The leading decimal number of text (after blanks and an optional sign),
// held within the bounds of an int; 0 when text starts with no digits.
int textToInt(const char* text);

#endif
