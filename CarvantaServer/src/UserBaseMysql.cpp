// UserBaseMysql.cpp - accounts and single-player scores in a MySQL/MariaDB
// database through the C API. The store keeps one connection across
// operations; every operation checks it, replaces a lost one and runs its
// statements while holding storeMutex; it calls nothing but the log
// meanwhile. Names and passwords reach the database only as escaped
// string values, cut to 19 characters first.
#include "UserBaseMysql.h"

#include <errmsg.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Configuration.h"
#include "MutexGuard.h"
#include "SimpleOsa.h"
#include "TextCopy.h"
#include "Toolbox.h"

UserBaseMysql* UserBaseMysql::theInstance = nullptr;

namespace {

const char* const SQL_CHECK_USER = "SELECT * FROM user WHERE name=\"%s\" AND is_active=1";
const char* const SQL_CHECK_CREDENTIALS =
    "SELECT * FROM user WHERE name=\"%s\" AND password=MD5(\"%s\") AND is_active=1";
const char* const SQL_DEACTIVATE =
    "UPDATE user SET is_active=0 WHERE name=\"%s\" AND password=MD5(\"%s\")";
const char* const SQL_FIND_NAME = "SELECT * FROM user WHERE name=\"%s\"";
const char* const SQL_FIND_INACTIVE =
    "SELECT * FROM user WHERE name=\"%s\" AND password=MD5(\"%s\") AND is_active=0";
const char* const SQL_REACTIVATE =
    "UPDATE user SET is_active=1 WHERE name=\"%s\" AND password=MD5(\"%s\")";
const char* const SQL_INSERT_USER =
    "INSERT INTO user SET name=\"%s\", password=MD5(\"%s\"), is_active=1, subscribed=\"%s\" ";
const char* const SQL_FIND_NEW =
    "SELECT * FROM user WHERE name=\"%s\" AND password=MD5(\"%s\") AND is_active=1 ";
const char* const SQL_INSERT_SCORE = "INSERT INTO scorelog SET user_id=%d, score=%d, date=\"%s\"";
const char* const SQL_USER_NAME = "SELECT name FROM user WHERE id=%d AND is_active=1";
const char* const SQL_HIGHSCORES =
    "SELECT user.name, MAX(score) AS highscore, date FROM scorelog INNER JOIN user ON "
    "user.id=scorelog.user_id AND user.is_active=1 GROUP BY user_id ORDER BY highscore DESC";
const char* const SQL_COUNT_USERS = "SELECT COUNT(*) FROM user WHERE is_active=1";
const char* const SQL_STATISTICS =
    "SELECT user.id, user.name, AVG(score) AS average, MAX(score) AS highscore, COUNT(score) as "
    "count, date FROM scorelog INNER JOIN user ON user.id=scorelog.user_id AND user.is_active=1 "
    "GROUP BY user_id ORDER BY highscore DESC";

// Columns of the result rows.
const unsigned int COLUMN_USER_ID = 0;
const unsigned int COLUMN_LIST_NAME = 0;
const unsigned int COLUMN_LIST_SCORE = 1;
const unsigned int COLUMN_LIST_DATE = 2;
const unsigned int COLUMN_STATS_ID = 0;
const unsigned int COLUMN_STATS_NAME = 1;
const unsigned int COLUMN_STATS_AVERAGE = 2;
const unsigned int COLUMN_STATS_HIGHSCORE = 3;
const unsigned int COLUMN_STATS_COUNT = 4;
const unsigned int COLUMN_STATS_DATE = 5;

// A list entry shows the first 11 characters of the date: the day's date
// and the blank behind it.
const int LIST_DATE_CHARS = 11;

// A database that accepts the connection but never answers must not hold
// the store (and every caller queued on it) for ever.
const unsigned int CONNECT_TIMEOUT_SECONDS = 3;
const unsigned int READ_WRITE_TIMEOUT_SECONDS = 5;

// A log line holds TOOLBOX_LINE_MAX - 1 characters, of which the time stamp
// and " INFO: " take 26 and "Query: " and the line feed 8.
const int QUERY_LOG_CHARS = TOOLBOX_LINE_MAX - 1 - 26 - 8;

const char* const STATS_RULE = "###########################################################";
const char* const STATS_TITLE = "|Id   |User      |***  SINGLE PLAYER GAME ***             |";
const char* const STATS_COLUMNS = "|     |          |Played|  High|   Ave|     HSDate        |";
const char* const STATS_LINE = "|_________________________________________________________|";

}  // namespace

// The statements quote their values with double quotes and escape with
// backslashes, and the list statements group by user only: each new
// connection sets its session to the server's own sql_mode without the
// modes that would change their meaning (ANSI_QUOTES, NO_BACKSLASH_ESCAPES,
// ONLY_FULL_GROUP_BY) and without the combined modes that bring
// ANSI_QUOTES back in (MariaDB keeps their names in the list).
const char* const USERBASEMYSQL_SESSION_MODE =
    "SET SESSION sql_mode=TRIM(BOTH ',' FROM "
    "REPLACE(REPLACE(REPLACE(REPLACE(REPLACE(REPLACE(REPLACE(REPLACE(REPLACE("
    "CONCAT(',',@@SESSION.sql_mode,','),"
    "',ANSI_QUOTES,',','),',NO_BACKSLASH_ESCAPES,',','),',ONLY_FULL_GROUP_BY,',','),"
    "',ANSI,',','),',DB2,',','),',MAXDB,',','),',MSSQL,',','),',ORACLE,',','),"
    "',POSTGRESQL,',','))";

UserBaseMysql* UserBaseMysql::getInstance() {
    if (theInstance == nullptr) {
        theInstance = new UserBaseMysql();
    }
    return theInstance;
}

UserBaseMysql::UserBaseMysql()
    : config(Configuration::getInstance()),
      database(),
      queryResult(nullptr),
      handle(nullptr),
      newHandle(nullptr),
      resultColumns(0),
      queryFailed(false),
      queryString(),
      string(),
      timeString(),
      escapedName(),
      escapedPassword(),
      db_name(config->getDatabaseName()),
      db_host(config->getDatabaseHost()),
      db_user(config->getDatabaseUser()),
      db_password(config->getDatabasePassword()),
      storeMutex() {
    osaErr_t err = mutexCreate(&storeMutex);
    ASSERT(err == OSAERR_OK);
}

UserBaseMysql::~UserBaseMysql() {
    {
        MutexGuard guard(&storeMutex);
        freeResultLocked();
        closeDatabase();
    }
    mutexDestroy(&storeMutex);
    if (theInstance == this) {
        theInstance = nullptr;
    }
}

// ---------------------------------------------------------------------------
// Connection and statements

bool UserBaseMysql::openDatabase() {
    config = Configuration::getInstance();
    newHandle = mysql_init(&database);
    if (newHandle == nullptr) {
        Toolbox::printError("Error creating database handle\n");
    }
    if (newHandle != &database) {
        Toolbox::printError("Another handle\n");
        // Nothing was initialised: connecting would use a raw object.
        Toolbox::printError("Error opening database\n");
        handle = nullptr;
        return true;
    }
    setOptionsLocked();
    handle =
        mysql_real_connect(&database, config->getDatabaseHost(), config->getDatabaseUser(),
                           config->getDatabasePassword(), config->getDatabaseName(), 0, nullptr, 0);
    bool failed;
    if (handle == nullptr) {
        Toolbox::printError("Error opening database\n");
        // The library's reason (refused login, no server, ...) for the operator.
        snprintf(string, sizeof string, "Database: %s\n", mysql_error(&database));
        Toolbox::printDebug(string);
        failed = true;
    } else {
        failed = checkMysql();
    }
    if (handle != &database) {
        Toolbox::printError("Another handle\n");
    }
    return failed;
}

// The session statement runs as part of the connection: a connection on
// which it fails is not made at all.
void UserBaseMysql::setOptionsLocked() {
    unsigned int connectTimeout = CONNECT_TIMEOUT_SECONDS;
    unsigned int ioTimeout = READ_WRITE_TIMEOUT_SECONDS;
    mysql_options(&database, MYSQL_OPT_CONNECT_TIMEOUT, &connectTimeout);
    mysql_options(&database, MYSQL_OPT_READ_TIMEOUT, &ioTimeout);
    mysql_options(&database, MYSQL_OPT_WRITE_TIMEOUT, &ioTimeout);
    mysql_options(&database, MYSQL_INIT_COMMAND, USERBASEMYSQL_SESSION_MODE);
    // The library must never connect again and send a statement once more
    // on its own: a write whose outcome is unknown is not repeated.
    my_bool reconnect = 0;
    mysql_options(&database, MYSQL_OPT_RECONNECT, &reconnect);
}

// The kept connection is used while it lives; one that the server closed
// (restart, wait_timeout, a killed session) is replaced before anything is
// sent on it, so no statement is ever sent twice. True on failure, like
// openDatabase.
bool UserBaseMysql::connectLocked() {
    if (handle != nullptr) {
        if (connectionAliveLocked()) {
            return false;
        }
        Toolbox::printInfo("Database connection lost, connecting again\n");
    }
    // Also releases what a failed attempt left in the connection object.
    closeDatabase();
    return openDatabase();
}

// Between operations nothing is due from the server: a readable socket
// means it closed the connection (or sent its last error before closing).
bool UserBaseMysql::connectionAliveLocked() {
    struct pollfd watch = {};
    watch.fd = static_cast<int>(mysql_get_socket(handle));
    watch.events = POLLIN;
    return watch.fd >= 0 && poll(&watch, 1, 0) == 0;
}

bool UserBaseMysql::checkMysql() {
    if (mysql_ping(&database) != 0) {
        Toolbox::printError("Mysql server appears to be down\n");
        return true;
    }
    return false;
}

unsigned int UserBaseMysql::query(char* statement) {
    freeResultLocked();
    queryFailed = true;
    if (handle == nullptr) {
        Toolbox::printError("Database not open when querying\n");
        return 0;
    }
    // The statement is logged, plain passwords included; a long one is cut
    // so that the line keeps its line feed within the log's line length.
    snprintf(string, sizeof string, "Query: %.*s\n", QUERY_LOG_CHARS, statement);
    Toolbox::printInfo(string);
    if (mysql_real_query(handle, statement, strlen(statement)) != 0) {
        Toolbox::printError("Error querying\n");
        snprintf(string, sizeof string, "Database: %s\n", mysql_error(handle));
        Toolbox::printDebug(string);
        dropBrokenConnectionLocked();
        return 0;
    }
    queryResult = mysql_store_result(handle);
    if (queryResult == nullptr) {
        if (mysql_field_count(handle) != 0) {
            // A result set was due but could not be read.
            Toolbox::printError("Error querying\n");
            dropBrokenConnectionLocked();
            return 0;
        }
        queryFailed = false;
        return 0;
    }
    queryFailed = false;
    resultColumns = mysql_field_count(handle);
    return resultColumns;
}

// A client-side error (connection lost, time-out, out of sync) leaves the
// connection in no known state: it is closed, the rest of the operation
// finds no connection, and the next operation makes a new one. An error of
// the server (a refused statement) keeps it.
void UserBaseMysql::dropBrokenConnectionLocked() {
    unsigned int error = mysql_errno(handle);
    if (error >= CR_MIN_ERROR && error <= CR_MAX_ERROR) {
        closeDatabase();
    }
}

void UserBaseMysql::closeDatabase() {
    freeResultLocked();
    // A failed connection leaves the library's allocations in the object
    // as well, so it is closed whenever it was initialised.
    if (newHandle != nullptr) {
        mysql_close(&database);
    }
    handle = nullptr;
    newHandle = nullptr;
}

void UserBaseMysql::freeResultLocked() {
    if (queryResult != nullptr) {
        mysql_free_result(queryResult);
        queryResult = nullptr;
    }
    resultColumns = 0;
}

// Client texts are cut to maxChars, then escaped for a double-quoted
// string value. Without a connection no statement runs, so nothing is kept.
void UserBaseMysql::escapeLocked(char* escaped, const char* text, int maxChars) {
    escaped[0] = '\0';
    if (handle == nullptr || text == nullptr) {
        return;
    }
    size_t length = strnlen(text, static_cast<size_t>(maxChars));
    mysql_real_escape_string(handle, escaped, text, length);
}

void UserBaseMysql::escapeCredentialsLocked(const char* name, const char* password) {
    escapeLocked(escapedName, name, USERBASE_NAME_SIZE - 1);
    escapeLocked(escapedPassword, password, USERBASE_NAME_SIZE - 1);
}

unsigned int UserBaseMysql::runStatementLocked(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(queryString, sizeof queryString, format, arguments);
    va_end(arguments);
    if (length < 0 || length >= static_cast<int>(sizeof queryString)) {
        // A cut statement could mean something else: never run it.
        freeResultLocked();
        queryFailed = true;
        Toolbox::printError("Error querying\n");
        return 0;
    }
    return query(queryString);
}

int UserBaseMysql::firstRowIdLocked() {
    int id = -1;
    if (queryResult != nullptr) {
        MYSQL_ROW row = mysql_fetch_row(queryResult);
        if (row != nullptr) {
            id = columnIntLocked(row, COLUMN_USER_ID);
        }
    }
    freeResultLocked();
    return id;
}

// An SQL NULL, or a column the result does not have, reads as "".
const char* UserBaseMysql::columnTextLocked(MYSQL_ROW row, unsigned int column) {
    if (column >= resultColumns || row[column] == nullptr) {
        return "";
    }
    return row[column];
}

int UserBaseMysql::columnIntLocked(MYSQL_ROW row, unsigned int column) {
    return textToInt(columnTextLocked(row, column));
}

// ---------------------------------------------------------------------------
// Accounts

int UserBaseMysql::checkUser(char* name) {
    MutexGuard guard(&storeMutex);
    connectLocked();
    escapeCredentialsLocked(name, "");
    runStatementLocked(SQL_CHECK_USER, escapedName);
    int id = firstRowIdLocked();
    freeResultLocked();
    return id;
}

int UserBaseMysql::checkCredentials(char* name, char* password) {
    MutexGuard guard(&storeMutex);
    connectLocked();
    escapeCredentialsLocked(name, password);
    runStatementLocked(SQL_CHECK_CREDENTIALS, escapedName, escapedPassword);
    int id = firstRowIdLocked();
    freeResultLocked();
    return id;
}

int UserBaseMysql::deleteUser(char* name, char* password) {
    MutexGuard guard(&storeMutex);
    connectLocked();
    escapeCredentialsLocked(name, password);
    runStatementLocked(SQL_CHECK_CREDENTIALS, escapedName, escapedPassword);
    int id = firstRowIdLocked();
    if (id != -1) {
        runStatementLocked(SQL_DEACTIVATE, escapedName, escapedPassword);
        if (queryFailed) {
            id = -1;  // refused or lost on the way: not known to be deleted
        }
    }
    freeResultLocked();
    return id;
}

int UserBaseMysql::addUser(char* name, char* password) {
    MutexGuard guard(&storeMutex);
    Toolbox::getTimeString(timeString);
    return addUser(name, password, timeString);
}

int UserBaseMysql::addUser(char* name, char* password, char* dateString) {
    MutexGuard guard(&storeMutex);
    connectLocked();
    escapeCredentialsLocked(name, password);
    runStatementLocked(SQL_FIND_NAME, escapedName);
    bool known = firstRowIdLocked() != -1;
    int id;
    if (known) {
        id = reactivateLocked();
    } else {
        id = insertUserLocked(dateString);
    }
    freeResultLocked();
    return id;
}

// A deleted account whose password matches comes back with its old id and
// its old scores; any other known name is refused.
int UserBaseMysql::reactivateLocked() {
    runStatementLocked(SQL_FIND_INACTIVE, escapedName, escapedPassword);
    int id = firstRowIdLocked();
    if (id == -1) {
        return -1;
    }
    runStatementLocked(SQL_REACTIVATE, escapedName, escapedPassword);
    return queryFailed ? -1 : id;
}

// The unique key on the name refuses a second row when another server
// process signed the same name up in between: that INSERT fails here.
int UserBaseMysql::insertUserLocked(const char* dateString) {
    char escapedDate[USERBASEMYSQL_ESCAPED_DATE_MAX];
    escapeLocked(escapedDate, dateString, USERBASEMYSQL_DATE_CHARS);
    runStatementLocked(SQL_INSERT_USER, escapedName, escapedPassword, escapedDate);
    if (queryFailed) {
        return -1;
    }
    runStatementLocked(SQL_FIND_NEW, escapedName, escapedPassword);
    return firstRowIdLocked();
}

void UserBaseMysql::getUserName(char* buffer, int id) {
    MutexGuard guard(&storeMutex);
    connectLocked();
    runStatementLocked(SQL_USER_NAME, id);
    MYSQL_ROW row = queryResult != nullptr ? mysql_fetch_row(queryResult) : nullptr;
    if (row != nullptr) {
        // A longer name stored directly in the database is cut to 19.
        copyField(buffer, USERBASE_NAME_SIZE, columnTextLocked(row, COLUMN_USER_ID));
    } else {
        buffer[0] = '\0';
    }
    freeResultLocked();
}

// ---------------------------------------------------------------------------
// Scores

int UserBaseMysql::addSinglePlayerScore(char* name, char* password, int score) {
    MutexGuard guard(&storeMutex);
    Toolbox::getTimeString(timeString);
    return addSinglePlayerScore(name, password, score, timeString);
}

int UserBaseMysql::addSinglePlayerScore(char* name, char* password, int score, char* date) {
    MutexGuard guard(&storeMutex);
    // The check runs through the interface, as any caller's would; the
    // score follows on the same kept connection.
    int id = checkCredentials(name, password);
    if (id != -1) {
        connectLocked();
        char escapedDate[USERBASEMYSQL_ESCAPED_DATE_MAX];
        escapeLocked(escapedDate, date, USERBASEMYSQL_DATE_CHARS);
        runStatementLocked(SQL_INSERT_SCORE, id, score, escapedDate);
        if (queryFailed) {
            // Refused, or the connection was lost on the way: not known to
            // be recorded, so never reported as recorded (and not sent again).
            id = -1;
        }
    }
    freeResultLocked();
    return id;
}

char* UserBaseMysql::getSinglePlayerHighscoreList(char*, char*, int* listLength) {
    MutexGuard guard(&storeMutex);
    connectLocked();
    int entries = fillHighscoreListLocked();
    freeResultLocked();
    *listLength = entries * USERBASE_ENTRY_SIZE;
    return highscoreList;
}

int UserBaseMysql::fillHighscoreListLocked() {
    runStatementLocked("%s", SQL_HIGHSCORES);
    if (queryFailed) {
        // Clients get an empty list; the operator must learn that it is not.
        Toolbox::printError("Highscore list could not be read\n");
    }
    memset(highscoreList, 0, sizeof highscoreList);
    int entries = 0;
    while (queryResult != nullptr && entries < USERBASE_LIST_ENTRIES) {
        MYSQL_ROW row = mysql_fetch_row(queryResult);
        if (row == nullptr) {
            break;
        }
        int score = columnIntLocked(row, COLUMN_LIST_SCORE);
        copyText(timeString, LIST_DATE_CHARS + 1, columnTextLocked(row, COLUMN_LIST_DATE));
        char name[USERBASE_NAME_SIZE];
        copyText(name, sizeof name, columnTextLocked(row, COLUMN_LIST_NAME));
        entries++;
        char* slot = highscoreList + (entries - 1) * USERBASE_ENTRY_SIZE;
        snprintf(slot, USERBASE_ENTRY_SIZE, "%3d. %4d %10s %s", entries, score, timeString, name);
    }
    freeResultLocked();
    return entries;
}

int UserBaseMysql::copySinglePlayerHighscoreList(char* name, char* password, char* buffer) {
    MutexGuard guard(&storeMutex);
    int listLength = 0;
    char* list = getSinglePlayerHighscoreList(name, password, &listLength);
    memcpy(buffer, list, static_cast<size_t>(listLength));
    return listLength;
}

void UserBaseMysql::dumpStatistics() {
    MutexGuard guard(&storeMutex);
    printf("%s\n%s\n%s\n%s\n", STATS_RULE, STATS_TITLE, STATS_COLUMNS, STATS_LINE);
    connectLocked();
    printStatisticsRowsLocked();
    freeResultLocked();
    printf("%s\n%s\n", STATS_LINE, STATS_RULE);
    fflush(stdout);
}

void UserBaseMysql::copyStoreStatus(userBaseStatus_t* status) {
    MutexGuard guard(&storeMutex);
    status->kind = "MySQL";
    status->remote = true;
    status->lastReached = !queryFailed;
    status->accounts = -1;
    // The kept connection serves the count too; opening one over it would
    // lose it without closing it.
    if (connectLocked()) {
        return;
    }
    runStatementLocked("%s", SQL_COUNT_USERS);
    if (queryResult != nullptr) {
        MYSQL_ROW row = mysql_fetch_row(queryResult);
        if (row != nullptr) {
            status->accounts = columnIntLocked(row, 0);
        }
    }
    freeResultLocked();
}

void UserBaseMysql::printStatisticsRowsLocked() {
    runStatementLocked("%s", SQL_STATISTICS);
    if (queryFailed) {
        Toolbox::printError("Statistics could not be read\n");
    }
    while (queryResult != nullptr) {
        MYSQL_ROW row = mysql_fetch_row(queryResult);
        if (row == nullptr) {
            break;
        }
        char name[USERBASE_NAME_SIZE];
        copyText(name, sizeof name, columnTextLocked(row, COLUMN_STATS_NAME));
        // The average comes as "12.5000": its integer part is shown.
        printf(
            "|%5d|%10s|%6d|%6d|%6d|%11s|\n", columnIntLocked(row, COLUMN_STATS_ID), name,
            columnIntLocked(row, COLUMN_STATS_COUNT), columnIntLocked(row, COLUMN_STATS_HIGHSCORE),
            columnIntLocked(row, COLUMN_STATS_AVERAGE), columnTextLocked(row, COLUMN_STATS_DATE));
    }
    freeResultLocked();
}
