// SimpleOsaTest.cpp - recursive mutexes, timed waits, sleeps and the file wrappers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "SimpleOsa.h"
#include "TestSupport.h"

// Taken twice and given back once, the mutex is held again after a wait that timed out;
// 990 ms carries the deadline's nanoseconds into the next second almost always.
TEST(SimpleOsaTest, TimedWaitTimesOutAndARecursiveMutexIsFreeOnlyAfterEveryUnlock) {
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
}

TEST(SimpleOsaTest, SleepOfOverASecondWaitsItAndTheClockAgreesWithTheSystem) {
    auto before = std::chrono::steady_clock::now();
    long long start = clockMonotonicMs();
    threadSleep(1200);
    long long slept = clockMonotonicMs() - start;
    std::chrono::duration<double, std::milli> real = std::chrono::steady_clock::now() - before;
    EXPECT_GE(real.count(), 1190);
    EXPECT_LT(real.count(), 3000);
    EXPECT_NEAR(slept, real.count(), 2);
}

TEST(SimpleOsaTest, FileWrappersWritePrivateFilesReadWholeAndRename) {
    TempDir dir;
    std::string data = dir.file("data.bin");
    std::string other = dir.file("other.bin");
    std::string missing = dir.file("missing");
    std::string sixty(60, 'x');
    char buffer[100] = {};
    int file = -1;
    ASSERT_EQ(fileOpen(&file, &data[0], OSAFILEMODE_WRITE), OSAERR_OK);
    EXPECT_EQ(fileWrite(&file, &sixty[0], 60), OSAERR_OK);
    fileClose(&file);
    struct stat info;
    ASSERT_EQ(stat(data.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0077, 0u);
    ASSERT_EQ(fileOpen(&file, &data[0], OSAFILEMODE_READ), OSAERR_OK);
    EXPECT_EQ(fileRead(&file, buffer, 100), OSAERR_ERROR) << "a short read is an error";
    EXPECT_EQ(std::string(buffer), sixty);
    fileClose(&file);
    ASSERT_EQ(fileOpen(&file, &data[0], OSAFILEMODE_WRITE), OSAERR_OK);
    fileClose(&file);
    writeFile(other, "old");
    EXPECT_EQ(fileRename(&data[0], &other[0]), OSAERR_OK);
    EXPECT_EQ(readFile(other), "") << "writing emptied the file";
    EXPECT_EQ(fileRename(&missing[0], &data[0]), OSAERR_OK) << "failures are not reported";
    EXPECT_EQ(fileRenameChecked(missing.c_str(), data.c_str()), OSAERR_ERROR);
    EXPECT_EQ(fileOpen(&file, &missing[0], OSAFILEMODE_READ), OSAERR_ERROR);
    EXPECT_EQ(fileOpen(&file, &missing[0], static_cast<osaFileMode_t>(7)), OSAERR_ERROR);
}
