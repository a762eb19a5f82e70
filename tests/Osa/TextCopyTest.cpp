// TextCopyTest.cpp - bounded copies never write past their buffers.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "TextCopy.h"

TEST(TextCopyTest, CopiesStayInTheirBuffersAndNumbersWithinIntBounds) {
    char buffer[12];
    char text[12];
    memset(buffer, '#', sizeof buffer);
    EXPECT_FALSE(copyText(buffer, 8, "1234567"));
    EXPECT_TRUE(copyText(buffer, 8, "0123456789"));
    EXPECT_EQ(std::string(buffer, 9), std::string("0123456\0#", 9));
    copyField(buffer, sizeof buffer, "abcdefghijklmnop");
    EXPECT_STREQ(buffer, "abcdefghijk");
    copyField(buffer, sizeof buffer, "bob");
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string("bob") + std::string(9, '\0'));
    memset(buffer, 'A', sizeof buffer);
    readField(text, buffer, sizeof buffer);
    EXPECT_STREQ(text, "AAAAAAAAAAA");
    EXPECT_EQ(textToInt("  -12abc"), -12);
    EXPECT_EQ(textToInt("abc"), 0);
    EXPECT_EQ(textToInt("12.9"), 12);
    EXPECT_EQ(textToInt("99999999999999999999"), 2147483647);
    EXPECT_EQ(textToInt("-99999999999999999999"), -2147483647 - 1);
}

// The log fills its lines with fillText instead of snprintf: every cut must
// come out as snprintf's, and nothing may be written past the given size.
TEST(TextCopyTest, FillTextCutsWhereSnprintfCuts) {
    const char* const texts[] = {"ann", "secret", "bob"};
    const char* const formats[] = {"REQUEST: check user %s/%s ->", "%s %s: %s",
                                   "invite from %s/%s to %s ->", "no fields, a long literal"};
    for (const char* format : formats) {
        for (size_t size = 1; size <= 40; size++) {
            char expected[64];
            snprintf(expected, size, format, texts[0], texts[1], texts[2]);
            char filled[64];
            memset(filled, '#', sizeof filled);
            fillText(filled, size, format, texts, 3);
            EXPECT_STREQ(filled, expected) << format << " in " << size << " bytes";
            EXPECT_EQ(filled[size], '#') << format << ": written past " << size << " bytes";
        }
    }
}
