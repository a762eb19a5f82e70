// Configuration.h - the process-wide settings, read once from a text file of
// "key value" lines at start-up on the main thread; afterwards only read,
// from any thread, so no lock is needed.
#ifndef CONFIGURATION_H
#define CONFIGURATION_H

const int CONFIG_FILENAME_MAX = 256;
const int CONFIG_VALUE_MAX = 128;
const int CONFIG_DEBUGSTRING_MAX = 128;
// A line is read in pieces of at most this many characters.
const int CONFIG_LINE_MAX = 511;
// A word holds at most this many characters; longer words are cut.
const int CONFIG_WORD_MAX = 127;
// Connections served at once: the range of max_clients and its default.
const int CONFIG_MAX_CLIENTS_MIN = 1;
const int CONFIG_MAX_CLIENTS_MAX = 100;
const int CONFIG_MAX_CLIENTS_DEFAULT = 8;

class Configuration {
public:
    // Creates the singleton on the first call, which reads the file.
    static Configuration* getInstance();
    // Only effective before the first getInstance().
    static void setConfigFile(char* newConfigFileName);

    int getServerPort() { return serverPort; }
    int getMaxClients() { return maxClients; }
    char* getDatabaseName() { return dbName; }
    char* getDatabaseHost() { return dbHost; }
    char* getDatabaseUser() { return dbUser; }
    char* getDatabasePassword() { return dbPassword; }
    char* getLogFileName() { return logFileName; }
    char* getPidFileName() { return pidFileName; }
    char* getDatabaseType() { return database; }

    void setServerPort(int value) { serverPort = value; }
    void setLogFileName(char* fileName);
    void setPidFileName(char* fileName);

    // Logs the settings; a max_clients value that was refused is logged
    // here as an ERROR line, so that the daemon's log file has it too.
    void dumpConfig();

    // Parses one line of the file format; exposed for the parser's tests.
    void parseLine(char* line);

private:
    Configuration();
    bool readConfigFile();
    void logSetting(const char* format, const char* value);
    void setMaxClients(const char* value);

    static Configuration* theInstance;
    static char configFileName[CONFIG_FILENAME_MAX];

    int serverPort;
    int maxClients;
    // The last max_clients value that was refused; empty when none was.
    char refusedMaxClients[CONFIG_WORD_MAX + 1];
    char dbName[CONFIG_VALUE_MAX];
    char dbHost[CONFIG_VALUE_MAX];
    char dbUser[CONFIG_VALUE_MAX];
    char dbPassword[CONFIG_VALUE_MAX];
    char logFileName[CONFIG_FILENAME_MAX];
    char pidFileName[CONFIG_FILENAME_MAX];
    char database[CONFIG_FILENAME_MAX];
};

#endif
