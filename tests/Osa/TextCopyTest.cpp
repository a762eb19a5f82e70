// TextCopyTest.cpp - bounded copies never write past their buffers.
#include <gtest/gtest.h>
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
