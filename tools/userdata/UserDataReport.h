// UserDataReport.h - prints the accounts read from a user data file as a
// table for people or as CSV for other programs. Called on the inspector's
// main thread; writes to the stream it is given.
#ifndef USERDATAREPORT_H
#define USERDATAREPORT_H

#include <stdio.h>

class UserDataFile;

class UserDataReport {
public:
    // One line about the file, then a row per account. Passwords show as
    // stars unless showPasswords; unprintable bytes show as \xNN.
    static void printTable(FILE* out, const UserDataFile& file, const char* fileName,
                           bool showPasswords);
    // A header line, then a row per account (RFC 4180 quoting). The
    // password column is there only with showPasswords.
    static void printCsv(FILE* out, const UserDataFile& file, bool showPasswords);
    // "user.dat: layout 4.0, 3 accounts, 296 bytes"
    static void printSummary(FILE* out, const UserDataFile& file, const char* fileName);
    // Prints text with unprintable bytes as \xNN, padded to width.
    static void printSafe(FILE* out, const char* text, int width);
};

#endif
