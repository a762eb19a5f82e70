// OsaLog.cpp - log sink of the shared code (see OsaLog.h).
#include "OsaLog.h"

#include <stdio.h>

namespace {

void toStandardError(const char* line) {
    fputs(line, stderr);
}

osaLogFunction_t errorLog = toStandardError;
osaLogFunction_t infoLog = toStandardError;

}  // namespace

void osaSetLogFunctions(osaLogFunction_t errorFunction, osaLogFunction_t infoFunction) {
    errorLog = errorFunction != nullptr ? errorFunction : toStandardError;
    infoLog = infoFunction != nullptr ? infoFunction : toStandardError;
}

void osaLogError(const char* line) {
    errorLog(line);
}

void osaLogInfo(const char* line) {
    infoLog(line);
}
