// UserDataSqlExport.h - writes SQL that moves the accounts of a user data
// file into the MySQL store's tables (sql/schema.sql): each account with its
// password (as MD5) and its best score with its date as one scorelog row.
// Called on the inspector's main thread.
#ifndef USERDATASQLEXPORT_H
#define USERDATASQLEXPORT_H

#include <stddef.h>
#include <stdio.h>

class UserDataFile;

// "YYYY-MM-DD HH:MM:SS" and its terminator.
const int SQL_DATE_SIZE = 20;
// The date given to a score whose date the file does not hold.
extern const char SQL_UNKNOWN_DATE[];

class UserDataSqlExport {
public:
    // Writes one transaction for every record of file. exportTime is the
    // "%Y-%m-%d %X" text put in `subscribed`. Records whose name an earlier
    // record already has are left out (the store's names are unique); each
    // is named on errors. Returns the number left out.
    static int write(FILE* out, FILE* errors, const UserDataFile& file, const char* fileName,
                     const char* exportTime);
    // A string literal that reaches the server as exactly these bytes,
    // whatever the server's SQL mode: '...' with quotes doubled for
    // printable ASCII without a backslash, else a hex literal X'..'.
    static void printLiteral(FILE* out, const char* text);
    // The file store's " 3- 5-2024" (day, month, year) as "2024-05-03
    // 00:00:00"; SQL_UNKNOWN_DATE for "00-00-0000" or anything unreadable.
    static void convertDate(char* sqlDate, size_t size, const char* fileDate);
};

#endif
