// UserBaseMysql.h - the user store in a MySQL/MariaDB database: accounts in
// the table `user`, every finished single-player game in `scorelog`. One
// connection is kept across operations; each operation replaces it when it
// was lost, so a database restart needs nothing from the server.
// Called on the reader threads, the game manager's thread and the main
// thread; storeMutex is held for each whole operation, which shares one
// connection object and one set of buffers.
#ifndef USERBASEMYSQL_H
#define USERBASEMYSQL_H

#include <mysql.h>
#include <pthread.h>

#include "UserBase.h"

class Configuration;

// Room for a statement and for the log line that shows it.
const int USERBASEMYSQL_TEXT_MAX = 512;
// A name or password escaped for a statement: every character may double.
const int USERBASEMYSQL_ESCAPED_MAX = 2 * (USERBASE_NAME_SIZE - 1) + 1;
// Date texts put into statements are cut to this many characters.
const int USERBASEMYSQL_DATE_CHARS = 31;
const int USERBASEMYSQL_ESCAPED_DATE_MAX = 2 * USERBASEMYSQL_DATE_CHARS + 1;
// The statement that every new connection runs before its first operation.
extern const char* const USERBASEMYSQL_SESSION_MODE;

class UserBaseMysql : public UserBase {
public:
    // Created on the main thread at start-up; connects to nothing.
    static UserBaseMysql* getInstance();
    ~UserBaseMysql() override;

    int addUser(char* name, char* password) override;
    // Signs up with a given subscription date; a deleted account with the
    // same password comes back with its old id and scores.
    int addUser(char* name, char* password, char* dateString);
    int deleteUser(char* name, char* password) override;
    int checkCredentials(char* name, char* password) override;
    int checkUser(char* name) override;
    int addSinglePlayerScore(char* name, char* password, int score) override;
    int addSinglePlayerScore(char* name, char* password, int score, char* date);
    // Never refuses: anyone gets the list, name and password are not used.
    char* getSinglePlayerHighscoreList(char* name, char* password, int* listLength) override;
    int copySinglePlayerHighscoreList(char* name, char* password, char* buffer) override;
    void getUserName(char* buffer, int id) override;
    // Prints the statistics table on standard output.
    void dumpStatistics() override;
    // Whether the last statement reached the database is taken before the
    // accounts are counted with a statement of its own.
    void copyStoreStatus(userBaseStatus_t* status) override;

private:
    UserBaseMysql();

    bool connectLocked();                 // REQUIRES(storeMutex); true on failure
    bool connectionAliveLocked();         // REQUIRES(storeMutex)
    bool openDatabase();                  // REQUIRES(storeMutex); true on failure
    void dropBrokenConnectionLocked();    // REQUIRES(storeMutex)
    void setOptionsLocked();              // REQUIRES(storeMutex)
    bool checkMysql();                    // REQUIRES(storeMutex); true when the ping fails
    unsigned int query(char* statement);  // REQUIRES(storeMutex)
    void closeDatabase();                 // REQUIRES(storeMutex)

    void escapeLocked(char* escaped, const char* text, int maxChars);  // REQUIRES(storeMutex)
    void escapeCredentialsLocked(const char* name, const char* password);
    // REQUIRES(storeMutex); formats into queryString and runs it.
    unsigned int runStatementLocked(const char* format, ...) __attribute__((format(printf, 2, 3)));
    int firstRowIdLocked();   // REQUIRES(storeMutex)
    void freeResultLocked();  // REQUIRES(storeMutex)
    const char* columnTextLocked(MYSQL_ROW row, unsigned int column);
    int columnIntLocked(MYSQL_ROW row, unsigned int column);

    int reactivateLocked();                        // REQUIRES(storeMutex)
    int insertUserLocked(const char* dateString);  // REQUIRES(storeMutex)
    int fillHighscoreListLocked();                 // REQUIRES(storeMutex); entry count
    void printStatisticsRowsLocked();              // REQUIRES(storeMutex)

    static UserBaseMysql* theInstance;

    Configuration* config;
    MYSQL database;                               // GUARDED_BY(storeMutex)
    MYSQL_RES* queryResult;                       // GUARDED_BY(storeMutex)
    MYSQL* handle;                                // GUARDED_BY(storeMutex); null while closed
    MYSQL* newHandle;                             // GUARDED_BY(storeMutex); what mysql_init gave
    unsigned int resultColumns;                   // GUARDED_BY(storeMutex)
    bool queryFailed;                             // GUARDED_BY(storeMutex); the last statement
    char queryString[USERBASEMYSQL_TEXT_MAX];     // GUARDED_BY(storeMutex)
    char string[USERBASEMYSQL_TEXT_MAX];          // GUARDED_BY(storeMutex)
    char timeString[USERBASEMYSQL_TEXT_MAX];      // GUARDED_BY(storeMutex)
    char escapedName[USERBASEMYSQL_ESCAPED_MAX];  // GUARDED_BY(storeMutex)
    char escapedPassword[USERBASEMYSQL_ESCAPED_MAX];  // GUARDED_BY(storeMutex)
    char* db_name;
    char* db_host;
    char* db_user;
    char* db_password;
    pthread_mutex_t storeMutex;
};

#endif
