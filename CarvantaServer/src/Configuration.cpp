// Configuration.cpp - reads config.ini: one "key value" per line, "#" in the
// first column starts a comment, unknown keys are ignored, the last line of
// a key wins. Written on the main thread only, before other threads exist.
#include "Configuration.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "TextCopy.h"
#include "Toolbox.h"

Configuration* Configuration::theInstance = nullptr;
char Configuration::configFileName[CONFIG_FILENAME_MAX] = "config.ini";

namespace {

const char* const DEFAULT_LOGFILE = "/var/log/Orvix.log";
const char* const DEFAULT_PIDFILE = "/tmp/OrvixServer.pid";
const char* const BLANKS = " \t";

// Copies the next word of *cursor into word (cut to CONFIG_WORD_MAX
// characters) and moves the cursor behind it. False when no word is left.
bool nextWord(const char** cursor, char* word) {
    const char* start = *cursor + strspn(*cursor, BLANKS);
    size_t length = strcspn(start, " \t\r\n");
    if (length == 0) {
        return false;
    }
    size_t kept = length < static_cast<size_t>(CONFIG_WORD_MAX) ? length : CONFIG_WORD_MAX;
    memcpy(word, start, kept);
    word[kept] = '\0';
    *cursor = start + length;
    return true;
}

}  // namespace

Configuration* Configuration::getInstance() {
    if (theInstance == nullptr) {
        theInstance = new Configuration();
    }
    return theInstance;
}

void Configuration::setConfigFile(char* newConfigFileName) {
    copyText(configFileName, sizeof configFileName, newConfigFileName);
}

Configuration::Configuration()
    : serverPort(0),
      maxClients(CONFIG_MAX_CLIENTS_DEFAULT),
      refusedMaxClients(),
      dbName(),
      dbHost(),
      dbUser(),
      dbPassword(),
      logFileName(),
      pidFileName(),
      database() {
    copyText(logFileName, sizeof logFileName, DEFAULT_LOGFILE);
    copyText(pidFileName, sizeof pidFileName, DEFAULT_PIDFILE);
    readConfigFile();
}

void Configuration::setLogFileName(char* fileName) {
    copyText(logFileName, sizeof logFileName, fileName);
}

void Configuration::setPidFileName(char* fileName) {
    copyText(pidFileName, sizeof pidFileName, fileName);
}

bool Configuration::readConfigFile() {
    logSetting("Reading configuration from: %s\n", configFileName);
    FILE* file = fopen(configFileName, "re");
    if (file == nullptr) {
        puts("Error: can't open file.");
        fflush(stdout);
        return true;
    }
    char line[CONFIG_LINE_MAX + 1];
    while (fgets(line, sizeof line, file) != nullptr) {
        parseLine(line);
    }
    fclose(file);
    return false;
}

void Configuration::parseLine(char* line) {
    if (line[0] == '#') {
        return;
    }
    const char* cursor = line;
    char key[CONFIG_WORD_MAX + 1];
    char value[CONFIG_WORD_MAX + 1];
    if (!nextWord(&cursor, key) || !nextWord(&cursor, value)) {
        return;  // fewer than two words change nothing
    }
    if (strcmp(key, "server_port") == 0) {
        serverPort = textToInt(value);  // an oversized number is held, not wrapped
    } else if (strcmp(key, "max_clients") == 0) {
        setMaxClients(value);
    } else if (strcmp(key, "pidfile") == 0) {
        copyText(pidFileName, sizeof pidFileName, value);
    } else if (strcmp(key, "logfile") == 0) {
        copyText(logFileName, sizeof logFileName, value);
    } else if (strcmp(key, "database_name") == 0) {
        copyText(dbName, sizeof dbName, value);
    } else if (strcmp(key, "database_host") == 0) {
        copyText(dbHost, sizeof dbHost, value);
    } else if (strcmp(key, "database_user") == 0) {
        copyText(dbUser, sizeof dbUser, value);
    } else if (strcmp(key, "database_password") == 0) {
        copyText(dbPassword, sizeof dbPassword, value);
    } else if (strcmp(key, "database_type") == 0) {
        copyText(database, sizeof database, value);
    }
}

void Configuration::setMaxClients(const char* value) {
    // The whole word must be a decimal number in range: "12x" is refused,
    // unlike the port's leading digits.
    char* end = nullptr;
    errno = 0;
    long number = strtol(value, &end, 10);
    if (end != value && *end == '\0' && errno == 0 && number >= CONFIG_MAX_CLIENTS_MIN &&
        number <= CONFIG_MAX_CLIENTS_MAX) {
        maxClients = static_cast<int>(number);
        refusedMaxClients[0] = '\0';
        return;
    }
    maxClients = CONFIG_MAX_CLIENTS_DEFAULT;
    copyText(refusedMaxClients, sizeof refusedMaxClients, value);
}

void Configuration::logSetting(const char* format, const char* value) {
    // Lines longer than the 128-byte buffer are cut to fit.
    char debugString[CONFIG_DEBUGSTRING_MAX];
    int length = snprintf(debugString, sizeof debugString, format, value);
    if (length >= static_cast<int>(sizeof debugString)) {
        debugString[sizeof debugString - 2] = '\n';  // a cut line still ends its line
    }
    Toolbox::printInfo(debugString);
}

void Configuration::dumpConfig() {
    logSetting("Database Type     %s\n", database);
    logSetting("Database Name     %s\n", dbName);
    logSetting("Database Host     %s\n", dbHost);
    logSetting("Databasee User    %s\n", dbUser);
    logSetting("Database Passwd   %s\n", dbPassword);
    logSetting("Log filename      %s\n", logFileName);
    logSetting("PID filename      %s\n", pidFileName);
    char debugString[CONFIG_DEBUGSTRING_MAX];
    snprintf(debugString, sizeof debugString, "Server port       %d\n", serverPort);
    Toolbox::printInfo(debugString);
    if (refusedMaxClients[0] != '\0') {
        snprintf(debugString, sizeof debugString,
                 "max_clients %.40s is not a number from %d to %d, %d kept\n", refusedMaxClients,
                 CONFIG_MAX_CLIENTS_MIN, CONFIG_MAX_CLIENTS_MAX, CONFIG_MAX_CLIENTS_DEFAULT);
        Toolbox::printError(debugString);
    }
    snprintf(debugString, sizeof debugString, "Max clients       %d\n", maxClients);
    Toolbox::printInfo(debugString);
}
