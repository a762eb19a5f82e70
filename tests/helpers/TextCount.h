// TextCount.h - how often a piece of text stands in a longer one (log lines
// in captured output, statements in generated SQL). Overlapping finds count.
#ifndef TEXTCOUNT_H
#define TEXTCOUNT_H

#include <string>

int countOccurrences(const std::string& text, const std::string& part);

#endif
