// SimpleOsa.cpp - POSIX implementation of the OS wrappers. Keeps no state;
// each function maps one system call's result onto osaErr_t.
#include "SimpleOsa.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

osaErr_t fromResult(int result) {
    return result == 0 ? OSAERR_OK : OSAERR_ERROR;
}

const long MILLIS_PER_SECOND = 1000;
const long NANOS_PER_MILLI = 1000000;
const long NANOS_PER_SECOND = 1000000000;

}  // namespace

osaErr_t threadCreate(pthread_t* threadId, THREADFUNCTIONDEF_T function, void* param) {
    return fromResult(pthread_create(threadId, nullptr, function, param));
}

void threadExit() {
    pthread_exit(nullptr);
}

osaErr_t threadWaitForExit(pthread_t* threadId) {
    return fromResult(pthread_join(*threadId, nullptr));
}

osaErr_t threadDestroy(pthread_t* threadId) {
    pthread_cancel(*threadId);
    return OSAERR_OK;
}

osaErr_t threadSleep(long milliSeconds) {
    // usleep refuses a second or more on some systems; nanosleep does not.
    struct timespec wait;
    wait.tv_sec = milliSeconds / MILLIS_PER_SECOND;
    wait.tv_nsec = (milliSeconds % MILLIS_PER_SECOND) * NANOS_PER_MILLI;
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
    return OSAERR_OK;
}

osaErr_t mutexCreate(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        return OSAERR_ERROR;
    }
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    int result = pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return fromResult(result);
}

osaErr_t mutexDestroy(pthread_mutex_t* mutex) {
    return fromResult(pthread_mutex_destroy(mutex));
}

osaErr_t mutexLock(pthread_mutex_t* mutex) {
    return fromResult(pthread_mutex_lock(mutex));
}

osaErr_t mutexUnlock(pthread_mutex_t* mutex) {
    return fromResult(pthread_mutex_unlock(mutex));
}

osaErr_t threadConditionCreate(pthread_cond_t* condition) {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(condition, &attributes);
    pthread_condattr_destroy(&attributes);
    return OSAERR_OK;
}

osaErr_t threadConditionDestroy(pthread_cond_t* condition) {
    pthread_cond_destroy(condition);
    return OSAERR_OK;
}

long long clockMonotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * MILLIS_PER_SECOND + now.tv_nsec / NANOS_PER_MILLI;
}

osaErr_t threadCondWait(pthread_cond_t* condition, pthread_mutex_t* mutex) {
    return fromResult(pthread_cond_wait(condition, mutex));
}

osaErr_t threadCondTimedWait(pthread_cond_t* condition, pthread_mutex_t* mutex, long milliseconds) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / MILLIS_PER_SECOND;
    deadline.tv_nsec += (milliseconds % MILLIS_PER_SECOND) * NANOS_PER_MILLI;
    if (deadline.tv_nsec >= NANOS_PER_SECOND) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= NANOS_PER_SECOND;
    }
    int result = pthread_cond_timedwait(condition, mutex, &deadline);
    if (result == ETIMEDOUT) {
        return OSAERR_TIMEDOUT;
    }
    return fromResult(result);
}

osaErr_t threadCondSignal(pthread_cond_t* condition) {
    return fromResult(pthread_cond_signal(condition));
}

osaErr_t threadCondBroadcast(pthread_cond_t* condition) {
    return fromResult(pthread_cond_broadcast(condition));
}

osaErr_t fileOpen(int* file, char* fileName, osaFileMode_t mode) {
    int flags;
    switch (mode) {
        case OSAFILEMODE_READ:
            flags = O_RDONLY;
            break;
        case OSAFILEMODE_WRITE:
            flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW;
            break;
        case OSAFILEMODE_CREATENEW:
            flags = O_WRONLY | O_CREAT | O_EXCL;
            break;
        case OSAFILEMODE_READWRITE:
            flags = O_RDWR | O_CREAT;
            break;
        default:
            return OSAERR_ERROR;
    }
    *file = open(fileName, flags | O_CLOEXEC, S_IRUSR | S_IWUSR);
    return *file < 0 ? OSAERR_ERROR : OSAERR_OK;
}

osaErr_t fileClose(int* file) {
    close(*file);
    return OSAERR_OK;
}

osaErr_t fileWrite(int* file, char* data, int len) {
    ssize_t written = write(*file, data, len);
    return written == len ? OSAERR_OK : OSAERR_ERROR;
}

osaErr_t fileRead(int* file, char* data, int len) {
    ssize_t bytesRead = read(*file, data, len);
    return bytesRead == len ? OSAERR_OK : OSAERR_ERROR;
}

osaErr_t fileReadSome(int* file, char* data, int len, int* bytesRead) {
    ssize_t count = read(*file, data, len);
    if (count < 0) {
        *bytesRead = 0;
        return OSAERR_ERROR;
    }
    *bytesRead = static_cast<int>(count);
    return OSAERR_OK;
}

osaErr_t fileRename(char* fileName, char* newFileName) {
    rename(fileName, newFileName);
    return OSAERR_OK;
}

osaErr_t fileRenameChecked(const char* fileName, const char* newFileName) {
    return fromResult(rename(fileName, newFileName));
}

osaErr_t fileRemove(const char* fileName) {
    return fromResult(unlink(fileName));
}

osaErr_t fileSync(int* file) {
    return fromResult(fsync(*file));
}
