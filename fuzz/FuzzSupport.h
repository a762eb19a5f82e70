// FuzzSupport.h - what the fuzz targets share: a private working directory,
// quiet standard output (the code under test prints traces there), and a
// check that turns a broken property into a crash that libFuzzer records.
// Each fuzz target runs its inputs on one thread.
#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <stddef.h>
#include <stdint.h>

// Sends standard output to /dev/null (unless CARVANTA_FUZZ_VERBOSE is set)
// and switches the logging toolbox off, so that millions of runs do not
// flood the terminal.
void fuzzQuietOutput();
// Makes a fresh directory under /dev/shm (or /tmp) the working directory;
// it is removed when the process ends normally.
void fuzzEnterWorkDirectory();
// Writes a whole file (truncating it); aborts if that is impossible, since
// the input would then not be tested.
void fuzzWriteFile(const char* name, const uint8_t* data, size_t size);
// Removes a file if it exists.
void fuzzRemoveFile(const char* name);

// A broken property: names it on standard error and aborts.
[[noreturn]] void fuzzFail(const char* what);
#define FUZZ_CHECK(condition)     \
    do {                          \
        if (!(condition)) {       \
            fuzzFail(#condition); \
        }                         \
    } while (0)

#endif
