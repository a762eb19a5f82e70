// UserDataReport.cpp - the table and CSV forms of a user data file's
// accounts. Text from the file is never sent to a terminal raw: bytes
// outside printable ASCII appear as \xNN in the table.
#include "UserDataReport.h"

#include <string.h>

#include "UserDataFile.h"

namespace {

const char MASKED_PASSWORD[] = "********";
const int NAME_COLUMN = 20;
const int DATE_COLUMN = 10;

bool isPrintable(unsigned char c) {
    return c >= 0x20 && c < 0x7f;
}

int average(const userDataRecord_t* record) {
    if (record->gamesPlayed <= 0) {
        return 0;
    }
    return record->scoreSum / record->gamesPlayed;
}

// A CSV field: quoted when it holds a comma, quote, line break or an outer
// blank; quotes inside are doubled.
void printCsvText(FILE* out, const char* text) {
    size_t length = strlen(text);
    bool quote = strpbrk(text, ",\"\r\n") != nullptr ||
                 (length > 0 && (text[0] == ' ' || text[length - 1] == ' '));
    if (!quote) {
        fputs(text, out);
        return;
    }
    fputc('"', out);
    for (const char* c = text; *c != '\0'; c++) {
        if (*c == '"') {
            fputc('"', out);
        }
        fputc(*c, out);
    }
    fputc('"', out);
}

void printTableRow(FILE* out, const userDataRecord_t* record, bool showPasswords, bool hasSum) {
    fprintf(out, "%5d  ", record->userId);
    UserDataReport::printSafe(out, record->userName, NAME_COLUMN);
    fputs(" ", out);
    UserDataReport::printSafe(out, showPasswords ? record->password : MASKED_PASSWORD, NAME_COLUMN);
    fprintf(out, " %5d  ", record->highscore);
    UserDataReport::printSafe(out, record->highscoreDate, DATE_COLUMN);
    fprintf(out, " %6d", record->gamesPlayed);
    if (hasSum) {
        fprintf(out, " %7d %5d", record->scoreSum, average(record));
    } else {
        fprintf(out, " %7s %5s", "-", "-");
    }
    fprintf(out, " %9d %7d\n", record->twoPlayerGamesPlayed, record->twoPlayerGamesWon);
}

}  // namespace

void UserDataReport::printSafe(FILE* out, const char* text, int width) {
    int printed = 0;
    for (const char* c = text; *c != '\0'; c++) {
        unsigned char byte = static_cast<unsigned char>(*c);
        if (isPrintable(byte)) {
            fputc(byte, out);
            printed++;
        } else {
            printed += fprintf(out, "\\x%02X", byte);
        }
    }
    for (; printed < width; printed++) {
        fputc(' ', out);
    }
}

void UserDataReport::printSummary(FILE* out, const UserDataFile& file, const char* fileName) {
    printSafe(out, fileName, 0);
    fprintf(out, ": layout %s, %d account%s, %ld bytes\n", file.getLayoutName(),
            file.getRecordCount(), file.getRecordCount() == 1 ? "" : "s", file.getFileSize());
}

void UserDataReport::printTable(FILE* out, const UserDataFile& file, const char* fileName,
                                bool showPasswords) {
    printSummary(out, file, fileName);
    if (file.getRecordCount() == 0) {
        return;
    }
    bool hasSum = file.getLayout() != USERDATALAYOUT_21;
    fprintf(out, "%5s  %-20s %-20s %5s  %-10s %6s %7s %5s %9s %7s\n", "Id", "Name", "Password",
            "Best", "Best on", "Games", "Sum", "Avg", "2P games", "2P won");
    for (int i = 0; i < file.getRecordCount(); i++) {
        printTableRow(out, file.getRecord(i), showPasswords, hasSum);
    }
}

void UserDataReport::printCsv(FILE* out, const UserDataFile& file, bool showPasswords) {
    fprintf(out,
            "id,name,%sbest_score,best_score_date,games_played,score_sum,"
            "two_player_games_played,two_player_games_won\n",
            showPasswords ? "password," : "");
    bool hasSum = file.getLayout() != USERDATALAYOUT_21;
    for (int i = 0; i < file.getRecordCount(); i++) {
        const userDataRecord_t* record = file.getRecord(i);
        fprintf(out, "%d,", record->userId);
        printCsvText(out, record->userName);
        fputc(',', out);
        if (showPasswords) {
            printCsvText(out, record->password);
            fputc(',', out);
        }
        fprintf(out, "%d,", record->highscore);
        printCsvText(out, record->highscoreDate);
        fprintf(out, ",%d,", record->gamesPlayed);
        if (hasSum) {
            fprintf(out, "%d", record->scoreSum);
        }
        fprintf(out, ",%d,%d\n", record->twoPlayerGamesPlayed, record->twoPlayerGamesWon);
    }
}
