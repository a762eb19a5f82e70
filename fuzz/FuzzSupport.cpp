// FuzzSupport.cpp - working directory, quiet output and property checks of
// the fuzz targets.
#include "FuzzSupport.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "Toolbox.h"

namespace {

// On tmpfs where there is one: the file store flushes every save to disk,
// which on a real disk would bound the fuzzer to a few runs a second.
char workDirectory[] = "/dev/shm/carvanta-fuzz-XXXXXX";
char fallbackDirectory[] = "/tmp/carvanta-fuzz-XXXXXX";
char* madeDirectory = nullptr;

void removeWorkDirectory() {
    if (madeDirectory == nullptr) {
        return;
    }
    char command[sizeof workDirectory + 16];
    snprintf(command, sizeof command, "rm -rf '%s'", madeDirectory);
    if (system(command) != 0) {
        fprintf(stderr, "could not remove %s\n", madeDirectory);
    }
}

}  // namespace

void fuzzQuietOutput() {
    Toolbox::setDebugPrinting(false);
    Toolbox::setInfoPrinting(false);
    Toolbox::setErrorPrinting(false);
    if (getenv("CARVANTA_FUZZ_VERBOSE") != nullptr) {
        return;
    }
    fflush(stdout);
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        fuzzFail("standard output could not be sent to /dev/null");
    }
}

void fuzzEnterWorkDirectory() {
    madeDirectory = mkdtemp(workDirectory);
    if (madeDirectory == nullptr) {
        madeDirectory = mkdtemp(fallbackDirectory);
    }
    if (madeDirectory == nullptr || chdir(madeDirectory) != 0) {
        fuzzFail("no working directory under /dev/shm or /tmp");
    }
    atexit(removeWorkDirectory);
}

void fuzzWriteFile(const char* name, const uint8_t* data, size_t size) {
    int file = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (file < 0) {
        fuzzFail("cannot create a file in the working directory");
    }
    size_t written = 0;
    while (written < size) {
        ssize_t count = write(file, data + written, size - written);
        if (count <= 0) {
            fuzzFail("cannot write a file in the working directory");
        }
        written += static_cast<size_t>(count);
    }
    close(file);
}

void fuzzRemoveFile(const char* name) {
    unlink(name);
}

void fuzzFail(const char* what) {
    fprintf(stderr, "FUZZ PROPERTY BROKEN: %s\n", what);
    fflush(stderr);
    abort();
}
