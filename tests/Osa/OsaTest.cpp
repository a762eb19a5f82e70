// OsaTest.cpp - recursive mutexes, timed waits, sleeps, the file wrappers and bounded copies.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <thread>

#include "SimpleOsa.h"
#include "TestSupport.h"
#include "TextCopy.h"

// Taken twice and given back once, the mutex is held again after a wait that timed out; 990 ms
// carries the deadline's nanoseconds into the next second almost always. Then a sleep of over a
// second, which also shows the clock counts milliseconds.
TEST(SimpleOsaTest, TimedWaitsAndSleepsLastTheirTimeAndARecursiveMutexIsFreeAfterEveryUnlock) {
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    auto trylockElsewhere = [&] {
        int result = -1;
        std::thread([&] { result = pthread_mutex_trylock(&mutex); }).join();
        return result;
    };
    ASSERT_EQ(mutexCreate(&mutex), OSAERR_OK);
    threadConditionCreate(&condition);
    ASSERT_EQ(mutexLock(&mutex), OSAERR_OK);
    ASSERT_EQ(mutexLock(&mutex), OSAERR_OK);
    mutexUnlock(&mutex);
    long long start = clockMonotonicMs();
    EXPECT_EQ(threadCondTimedWait(&condition, &mutex, 990), OSAERR_TIMEDOUT);
    EXPECT_GE(clockMonotonicMs() - start, 980);
    EXPECT_NE(trylockElsewhere(), 0);
    mutexUnlock(&mutex);
    EXPECT_EQ(trylockElsewhere(), 0);
    threadConditionDestroy(&condition);
    start = clockMonotonicMs();
    threadSleep(1200);
    EXPECT_GE(clockMonotonicMs() - start, 1190);
    EXPECT_LT(clockMonotonicMs() - start, 3000);
}

TEST(SimpleOsaTest, FileWrappersWriteTruncateAndRenameReportingFailures) {
    TempDir dir;
    std::string data = dir.file("data.bin");
    std::string other = dir.file("other.bin");
    std::string missing = dir.file("missing");
    int file = -1;
    ASSERT_EQ(fileOpen(&file, &data[0], OSAFILEMODE_WRITE), OSAERR_OK);
    EXPECT_EQ(fileWrite(&file, &data[0], 4), OSAERR_OK);
    fileClose(&file);
    EXPECT_EQ(readFile(data), data.substr(0, 4));
    ASSERT_EQ(fileOpen(&file, &data[0], OSAFILEMODE_WRITE), OSAERR_OK);
    fileClose(&file);
    writeFile(other, "old");
    EXPECT_EQ(fileRenameChecked(data.c_str(), other.c_str()), OSAERR_OK);
    EXPECT_EQ(readFile(other), "") << "writing emptied the file";
    EXPECT_EQ(fileRenameChecked(missing.c_str(), data.c_str()), OSAERR_ERROR);
}

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
