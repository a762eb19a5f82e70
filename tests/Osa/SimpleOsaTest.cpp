// SimpleOsaTest.cpp - recursive mutexes, timed waits and the file wrappers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

#include "SimpleOsa.h"
#include "TestSupport.h"

namespace {

long elapsedMs(const timespec& start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// Whether another thread finds the mutex free (it takes and frees it).
void* tryFromAnotherThread(void* param) {
    pthread_mutex_t* mutex = static_cast<pthread_mutex_t*>(param);
    bool taken = pthread_mutex_trylock(mutex) == 0;
    if (taken) {
        pthread_mutex_unlock(mutex);
    }
    return reinterpret_cast<void*>(taken);
}

bool freeForOthers(pthread_mutex_t* mutex) {
    pthread_t other;
    void* taken = nullptr;
    EXPECT_EQ(pthread_create(&other, nullptr, tryFromAnotherThread, mutex), 0);
    pthread_join(other, &taken);
    return taken != nullptr;
}

}  // namespace

TEST(SimpleOsaTest, RecursiveMutexIsFreeOnlyAfterAsManyUnlocksAsLocks) {
    pthread_mutex_t mutex;
    ASSERT_EQ(mutexCreate(&mutex), OSAERR_OK);
    ASSERT_EQ(mutexLock(&mutex), OSAERR_OK);
    ASSERT_EQ(mutexLock(&mutex), OSAERR_OK);  // same thread again: no deadlock
    EXPECT_FALSE(freeForOthers(&mutex));
    mutexUnlock(&mutex);
    EXPECT_FALSE(freeForOthers(&mutex)) << "one unlock of two must keep the mutex held";
    mutexUnlock(&mutex);
    EXPECT_TRUE(freeForOthers(&mutex));
    EXPECT_EQ(mutexDestroy(&mutex), OSAERR_OK);
}

TEST(SimpleOsaTest, TimedWaitTimesOutAndHoldsTheMutexAgain) {
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    mutexCreate(&mutex);
    threadConditionCreate(&condition);
    mutexLock(&mutex);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    EXPECT_EQ(threadCondTimedWait(&condition, &mutex, 250), OSAERR_TIMEDOUT);
    long waited = elapsedMs(start);
    EXPECT_GE(waited, 240);
    EXPECT_LT(waited, 2000);
    // Held again: trylock from this thread succeeds recursively, and an
    // unlock pair balances it.
    EXPECT_EQ(pthread_mutex_trylock(&mutex), 0);
    mutexUnlock(&mutex);
    mutexUnlock(&mutex);
    threadConditionDestroy(&condition);
    mutexDestroy(&mutex);
}

namespace {

struct Rendezvous {
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    bool signalled = false;
};

void* signalLater(void* param) {
    Rendezvous* rendezvous = static_cast<Rendezvous*>(param);
    threadSleep(50);
    mutexLock(&rendezvous->mutex);
    rendezvous->signalled = true;
    threadCondSignal(&rendezvous->condition);
    mutexUnlock(&rendezvous->mutex);
    return nullptr;
}

}  // namespace

TEST(SimpleOsaTest, TimedWaitReturnsOkWhenSignalled) {
    Rendezvous rendezvous;
    mutexCreate(&rendezvous.mutex);
    threadConditionCreate(&rendezvous.condition);
    pthread_t signaller;
    mutexLock(&rendezvous.mutex);
    threadCreate(&signaller, signalLater, &rendezvous);
    osaErr_t result = OSAERR_OK;
    while (!rendezvous.signalled && result == OSAERR_OK) {
        result = threadCondTimedWait(&rendezvous.condition, &rendezvous.mutex, 5000);
    }
    mutexUnlock(&rendezvous.mutex);
    threadWaitForExit(&signaller);
    EXPECT_EQ(result, OSAERR_OK);
    EXPECT_TRUE(rendezvous.signalled);
    threadConditionDestroy(&rendezvous.condition);
    mutexDestroy(&rendezvous.mutex);
}

TEST(SimpleOsaTest, SleepWaitsAboutTheGivenTime) {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    long long before = clockMonotonicMs();
    threadSleep(1200);  // over a second: must not be refused like usleep
    long long after = clockMonotonicMs();
    long waited = elapsedMs(start);
    EXPECT_GE(waited, 1190);
    EXPECT_LT(waited, 3000);
    // The millisecond clock agrees with the system's monotonic clock.
    EXPECT_GE(after - before, 1190);
    EXPECT_LE(after - before, waited + 1);
}

TEST(SimpleOsaTest, FileWrappersReadWriteAndRename) {
    TempDir dir;
    std::string name = dir.file("data.bin");
    int file = -1;
    ASSERT_EQ(fileOpen(&file, const_cast<char*>(name.c_str()), OSAFILEMODE_WRITE), OSAERR_OK);
    char sixty[60];
    for (int i = 0; i < 60; i++) {
        sixty[i] = static_cast<char>(i);
    }
    EXPECT_EQ(fileWrite(&file, sixty, 60), OSAERR_OK);
    fileClose(&file);

    struct stat info;
    ASSERT_EQ(stat(name.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0077, 0u) << "a new file is private to its owner";
    EXPECT_EQ(info.st_size, 60);

    char buffer[100] = {};
    ASSERT_EQ(fileOpen(&file, const_cast<char*>(name.c_str()), OSAFILEMODE_READ), OSAERR_OK);
    EXPECT_EQ(fileRead(&file, buffer, 100), OSAERR_ERROR) << "a short read is an error";
    EXPECT_EQ(buffer[59], 59) << "the 60 bytes are in the buffer all the same";
    fileClose(&file);

    // WRITE empties an existing file.
    ASSERT_EQ(fileOpen(&file, const_cast<char*>(name.c_str()), OSAFILEMODE_WRITE), OSAERR_OK);
    fileClose(&file);
    ASSERT_EQ(stat(name.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);

    std::string other = dir.file("other.bin");
    writeFile(other, "old");
    EXPECT_EQ(fileRename(const_cast<char*>(name.c_str()), const_cast<char*>(other.c_str())),
              OSAERR_OK);
    EXPECT_FALSE(fileExists(name));
    EXPECT_EQ(readFile(other), "");
    std::string missing = dir.file("missing");
    EXPECT_EQ(fileRename(const_cast<char*>(missing.c_str()), const_cast<char*>(name.c_str())),
              OSAERR_OK)
        << "a failed rename reports OK as well";
    EXPECT_EQ(fileRenameChecked(missing.c_str(), name.c_str()), OSAERR_ERROR);
}

TEST(SimpleOsaTest, FileOpenRefusesMissingFilesAndUnknownModes) {
    TempDir dir;
    int file = -1;
    std::string missing = dir.file("nothing-here");
    EXPECT_EQ(fileOpen(&file, const_cast<char*>(missing.c_str()), OSAFILEMODE_READ), OSAERR_ERROR);
    EXPECT_EQ(fileOpen(&file, const_cast<char*>(missing.c_str()), static_cast<osaFileMode_t>(7)),
              OSAERR_ERROR);
    EXPECT_FALSE(fileExists(missing));
}
