// TextCopyTest.cpp - bounded copies never write past their buffers.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "TextCopy.h"

TEST(TextCopyTest, CopyTextCutsAndAlwaysTerminates) {
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(copyText(buffer, sizeof buffer, "short"));
    EXPECT_STREQ(buffer, "short");

    char guarded[12];
    memset(guarded, '#', sizeof guarded);
    EXPECT_TRUE(copyText(guarded, 8, "0123456789"));
    EXPECT_STREQ(guarded, "0123456");
    EXPECT_EQ(guarded[8], '#') << "nothing written past the given size";

    EXPECT_FALSE(copyText(buffer, sizeof buffer, "1234567")) << "exactly size-1 fits";
    EXPECT_TRUE(copyText(buffer, sizeof buffer, "12345678"));
}

TEST(TextCopyTest, CopyFieldPadsWithNulsAndKeepsItsTerminator) {
    char field[20];
    memset(field, 'x', sizeof field);
    copyField(field, sizeof field, "bob");
    EXPECT_STREQ(field, "bob");
    for (size_t i = 3; i < sizeof field; i++) {
        EXPECT_EQ(field[i], '\0') << "byte " << i;
    }
    copyField(field, sizeof field, "abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(strlen(field), 19u) << "a field always ends within its width";
}

TEST(TextCopyTest, ReadFieldStopsAtTheFieldEdge) {
    char field[20];
    memset(field, 'A', sizeof field);  // no NUL anywhere
    char text[20];
    readField(text, field, sizeof field);
    EXPECT_EQ(strlen(text), 19u);
    field[4] = '\0';
    readField(text, field, sizeof field);
    EXPECT_STREQ(text, "AAAA");
}

TEST(TextCopyTest, TextToIntTakesLeadingDigitsWithinIntBounds) {
    EXPECT_EQ(textToInt("7777"), 7777);
    EXPECT_EQ(textToInt("  -12abc"), -12);
    EXPECT_EQ(textToInt("+5"), 5);
    EXPECT_EQ(textToInt("abc"), 0);
    EXPECT_EQ(textToInt(""), 0);
    EXPECT_EQ(textToInt("12.9"), 12) << "an average is read up to its decimal point";
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
