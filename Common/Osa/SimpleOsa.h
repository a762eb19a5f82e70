// SimpleOsa.h - thin wrappers over POSIX threads, recursive mutexes,
// condition variables and descriptor-level files. Stateless; any thread may
// call them. Every result is an osaErr_t; all times are milliseconds.
#ifndef SIMPLEOSA_H
#define SIMPLEOSA_H

#include <pthread.h>

typedef enum {
    OSAERR_OK = 0,
    OSAERR_ERROR = 1,
    OSAERR_TIMEDOUT = 2,
} osaErr_t;

typedef enum {
    OSAFILEMODE_READ = 0,
    OSAFILEMODE_WRITE = 1,
    OSAFILEMODE_READWRITE = 2,
    // Creates a file that did not exist; an existing file or link is an error.
    OSAFILEMODE_CREATENEW = 3,
} osaFileMode_t;

typedef void* (*THREADFUNCTIONDEF_T)(void*);

// Threads. The caller owns the pthread_t.
osaErr_t threadCreate(pthread_t* threadId, THREADFUNCTIONDEF_T function, void* param);
void threadExit();
osaErr_t threadWaitForExit(pthread_t* threadId);
osaErr_t threadDestroy(pthread_t* threadId);
osaErr_t threadSleep(long milliSeconds);
// Milliseconds on the monotonic clock, for deadlines and durations: a change
// of the wall clock does not move it.
long long clockMonotonicMs();

// Mutexes: always recursive.
osaErr_t mutexCreate(pthread_mutex_t* mutex);
osaErr_t mutexDestroy(pthread_mutex_t* mutex);
osaErr_t mutexLock(pthread_mutex_t* mutex);
osaErr_t mutexUnlock(pthread_mutex_t* mutex);

// Condition variables. The timed wait measures its deadline on the monotonic
// clock, so a change of the wall clock neither stretches nor cuts it.
osaErr_t threadConditionCreate(pthread_cond_t* condition);
osaErr_t threadConditionDestroy(pthread_cond_t* condition);
osaErr_t threadCondWait(pthread_cond_t* condition, pthread_mutex_t* mutex);
osaErr_t threadCondTimedWait(pthread_cond_t* condition, pthread_mutex_t* mutex, long milliseconds);
osaErr_t threadCondSignal(pthread_cond_t* condition);
// Wakes every waiter; used where more than one thread may wait.
osaErr_t threadCondBroadcast(pthread_cond_t* condition);

// Files: one system call each, no loops over partial transfers.
// READWRITE opens read and write, creating a missing file with 0600. WRITE
// and CREATENEW never follow a symbolic link (errno ELOOP or EEXIST).
osaErr_t fileOpen(int* file, char* fileName, osaFileMode_t mode);
osaErr_t fileClose(int* file);
osaErr_t fileWrite(int* file, char* data, int len);
osaErr_t fileRead(int* file, char* data, int len);
// One read of at most len bytes; *bytesRead gets the count (0 at the end of
// the file). For callers that must tell a short file from a missing one.
osaErr_t fileReadSome(int* file, char* data, int len, int* bytesRead);
// Always OSAERR_OK, whatever the rename did (callers that must know use
// fileRenameChecked).
osaErr_t fileRename(char* fileName, char* newFileName);
osaErr_t fileRenameChecked(const char* fileName, const char* newFileName);
// Removes the name (a link itself, never what it points to).
osaErr_t fileRemove(const char* fileName);
// Flushes the file's data to the disk.
osaErr_t fileSync(int* file);

#endif
