// Assert.cpp - ends the process on a broken invariant (see Assert.h).
#include "Assert.h"

#include <stdio.h>
#include <unistd.h>

void assertionFailed() {
    puts("ASSERTION FAILED");
    fflush(stdout);
    // Other threads are still running: leave without static destructors.
    _exit(0);
}
