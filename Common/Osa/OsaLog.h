// OsaLog.h - where the shared code (network, protocol) sends its log lines.
// The shared code is also linked into clients and tools, which have no
// server log; the server installs its logging toolbox here at start-up.
// Until then lines go to standard error. Any thread may log.
#ifndef OSALOG_H
#define OSALOG_H

typedef void (*osaLogFunction_t)(const char* line);

// Installed once on the main thread before other threads exist.
void osaSetLogFunctions(osaLogFunction_t errorFunction, osaLogFunction_t infoFunction);
void osaLogError(const char* line);
void osaLogInfo(const char* line);

#endif
