// UserDataSqlExport.cpp - SQL for moving file-store accounts into the MySQL
// store. One transaction: the mariadb/mysql client stops at the first error
// (a name already in the database), and the open transaction is then rolled
// back, so an import stores every account or none.
#include "UserDataSqlExport.h"

#include <string.h>

#include "TextCopy.h"
#include "UserDataFile.h"

const char SQL_UNKNOWN_DATE[] = "0000-00-00 00:00:00";

namespace {

const int MIN_YEAR = 1900;
const int MAX_YEAR = 9999;
const int MONTHS = 12;
const int MAX_DAY = 31;

bool isPlainByte(unsigned char c) {
    return c >= 0x20 && c < 0x7f && c != '\\';
}

// Comments carry names from the file: anything unprintable becomes '?' so
// that no text can end a comment line.
void printCommentText(FILE* out, const char* text) {
    for (const char* c = text; *c != '\0'; c++) {
        unsigned char byte = static_cast<unsigned char>(*c);
        fputc(byte >= 0x20 && byte < 0x7f ? byte : '?', out);
    }
}

void printHeader(FILE* out, const UserDataFile& file, const char* fileName,
                 const char* exportTime) {
    fputs("-- Accounts of ", out);
    printCommentText(out, fileName);
    fprintf(out, " (layout %s, %d accounts) for the MySQL store, exported %s.\n",
            file.getLayoutName(), file.getRecordCount(), exportTime);
    fputs(
        "-- Load it into the store's database after sql/schema.sql, for example:\n"
        "--   mariadb -u USER -p DATABASE < accounts.sql\n"
        "-- Each account keeps its name and its password (stored as MD5) and gets one\n"
        "-- scorelog row: its best score with the date of that score (an account that\n"
        "-- never played gets score 0 dated 0000-00-00, so it stays in the high-score\n"
        "-- list as in the file store). Not carried over: the single games behind the\n"
        "-- best score, games played and the score sum (the store counts scorelog rows),\n"
        "-- the two-player counters, and the user ids (the database assigns new ones).\n"
        "-- All or nothing: a name that the database holds already stops the import and\n"
        "-- nothing is stored. This file holds the passwords in clear: delete it after\n"
        "-- the import.\n",
        out);
}

bool nameTakenBefore(const UserDataFile& file, int index) {
    for (int i = 0; i < index; i++) {
        if (strcmp(file.getRecord(i)->userName, file.getRecord(index)->userName) == 0) {
            return true;
        }
    }
    return false;
}

void printAccount(FILE* out, const userDataRecord_t* record, const char* exportTime, bool hasSum) {
    fprintf(out, "-- account %d, ", record->userId);
    printCommentText(out, record->userName);
    fprintf(out, ": best %d, %d games played", record->highscore, record->gamesPlayed);
    if (hasSum) {
        fprintf(out, ", score sum %d", record->scoreSum);
    }
    fprintf(out, ", two-player %d played / %d won\n", record->twoPlayerGamesPlayed,
            record->twoPlayerGamesWon);
    fputs("INSERT INTO user (name, password, is_active, subscribed) VALUES (", out);
    UserDataSqlExport::printLiteral(out, record->userName);
    fputs(", MD5(", out);
    UserDataSqlExport::printLiteral(out, record->password);
    fputs("), 1, ", out);
    UserDataSqlExport::printLiteral(out, exportTime);
    fputs(");\n", out);
    char date[SQL_DATE_SIZE];
    UserDataSqlExport::convertDate(date, sizeof date, record->highscoreDate);
    fprintf(out, "INSERT INTO scorelog (user_id, score, date) VALUES (LAST_INSERT_ID(), %d, ",
            record->highscore);
    UserDataSqlExport::printLiteral(out, date);
    fputs(");\n", out);
}

}  // namespace

void UserDataSqlExport::printLiteral(FILE* out, const char* text) {
    bool plain = true;
    for (const char* c = text; *c != '\0'; c++) {
        plain = plain && isPlainByte(static_cast<unsigned char>(*c));
    }
    if (!plain) {
        fputs("X'", out);
        for (const char* c = text; *c != '\0'; c++) {
            fprintf(out, "%02X", static_cast<unsigned char>(*c));
        }
        fputc('\'', out);
        return;
    }
    fputc('\'', out);
    for (const char* c = text; *c != '\0'; c++) {
        if (*c == '\'') {
            fputc('\'', out);
        }
        fputc(*c, out);
    }
    fputc('\'', out);
}

void UserDataSqlExport::convertDate(char* sqlDate, size_t size, const char* fileDate) {
    int day = 0;
    int month = 0;
    int year = 0;
    int used = 0;
    bool read =
        sscanf(fileDate, "%d-%d-%d%n", &day, &month, &year, &used) == 3 && fileDate[used] == '\0';
    if (!read || day < 1 || day > MAX_DAY || month < 1 || month > MONTHS || year < MIN_YEAR ||
        year > MAX_YEAR) {
        copyText(sqlDate, size, SQL_UNKNOWN_DATE);
        return;
    }
    snprintf(sqlDate, size, "%04d-%02d-%02d 00:00:00", year, month, day);
}

int UserDataSqlExport::write(FILE* out, FILE* errors, const UserDataFile& file,
                             const char* fileName, const char* exportTime) {
    printHeader(out, file, fileName, exportTime);
    fputs("START TRANSACTION;\n", out);
    bool hasSum = file.getLayout() != USERDATALAYOUT_21;
    int leftOut = 0;
    for (int i = 0; i < file.getRecordCount(); i++) {
        const userDataRecord_t* record = file.getRecord(i);
        if (nameTakenBefore(file, i)) {
            fprintf(out, "-- account %d left out: its name is taken by an earlier account\n",
                    record->userId);
            fprintf(errors, "export-sql: account %d left out: its name \"", record->userId);
            printCommentText(errors, record->userName);
            fputs("\" is taken by an earlier account of the file\n", errors);
            leftOut++;
            continue;
        }
        printAccount(out, record, exportTime, hasSum);
    }
    fputs("COMMIT;\n", out);
    return leftOut;
}
