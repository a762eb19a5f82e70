// MutexGuard.h - scoped lock over a SimpleOsa recursive mutex. Code outside
// Common/Osa never calls mutexLock/mutexUnlock itself; it takes a guard.
#ifndef MUTEXGUARD_H
#define MUTEXGUARD_H

#include "Assert.h"
#include "SimpleOsa.h"

class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t* mutex) : lockedMutex(mutex) {
        osaErr_t err = mutexLock(lockedMutex);
        ASSERT(err == OSAERR_OK);
    }
    ~MutexGuard() { mutexUnlock(lockedMutex); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    pthread_mutex_t* lockedMutex;
};
// `MutexGuard(&m);` would unlock at the semicolon: make it a compile error.
#define MutexGuard(x) static_assert(false, "name the guard")

#endif
