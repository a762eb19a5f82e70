// TextCount.cpp - counts the places where a text stands in another.
#include "TextCount.h"

int countOccurrences(const std::string& text, const std::string& part) {
    int found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        found++;
    }
    return found;
}
