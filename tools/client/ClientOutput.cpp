// ClientOutput.cpp - locked, flushed output for the client's two threads.
#include "ClientOutput.h"

#include <stdio.h>

#include "MutexGuard.h"
#include "SimpleOsa.h"

namespace {

bool colours = false;  // set on the main thread before the reader starts

// Created on first use (thread-safe static initialisation); never destroyed.
pthread_mutex_t* outputMutex() {
    static pthread_mutex_t mutex;
    static const bool created = mutexCreate(&mutex) == OSAERR_OK;
    ASSERT(created);
    return &mutex;
}

}  // namespace

void ClientOutput::print(const char* text) {
    MutexGuard guard(outputMutex());
    fputs(text, stdout);
    fflush(stdout);
}

void ClientOutput::printError(const char* text) {
    MutexGuard guard(outputMutex());
    fflush(stdout);
    fputs(text, stderr);
    fflush(stderr);
}

void ClientOutput::setColours(bool enabled) {
    colours = enabled;
}

bool ClientOutput::coloursEnabled() {
    return colours;
}
