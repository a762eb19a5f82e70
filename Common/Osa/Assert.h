// Assert.h - the one check for broken invariants: prints "ASSERTION FAILED"
// on standard output and ends the process with exit status 0. Only for
// states that a bug in this program can produce, never for client input.
#ifndef ASSERT_H
#define ASSERT_H

[[noreturn]] void assertionFailed();

#define ASSERT(condition)      \
    do {                       \
        if (!(condition)) {    \
            assertionFailed(); \
        }                      \
    } while (0)

#endif
