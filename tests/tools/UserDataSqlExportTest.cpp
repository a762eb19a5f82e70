// UserDataSqlExportTest.cpp - the SQL that moves file-store accounts into
// the MySQL store: literals that survive any quoting, the date conversion,
// one transaction, and accounts whose name repeats left out and named.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "TestSupport.h"
#include "UserDataFile.h"
#include "UserDataSqlExport.h"
#include "UserFileImage.h"

namespace {

// Captures what a function writes to a FILE*.
class Capture {
public:
    Capture() : stream(open_memstream(&buffer, &size)) {}
    ~Capture() {
        if (stream != nullptr) {
            fclose(stream);
        }
        free(buffer);
    }
    FILE* out() { return stream; }
    std::string text() {
        fflush(stream);
        return std::string(buffer, size);
    }

private:
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream;
};

std::string literal(const std::string& text) {
    Capture capture;
    UserDataSqlExport::printLiteral(capture.out(), text.c_str());
    return capture.text();
}

std::string sqlDate(const char* fileDate) {
    char date[SQL_DATE_SIZE];
    UserDataSqlExport::convertDate(date, sizeof date, fileDate);
    return date;
}

TEST(UserDataSqlExportTest, LiteralsKeepEveryByte) {
    EXPECT_EQ("'alice'", literal("alice"));
    EXPECT_EQ("''", literal(""));
    EXPECT_EQ("'it''s'", literal("it's"));
    EXPECT_EQ("'say \"hi\"; --'", literal("say \"hi\"; --"));
    // A backslash means different things in different SQL modes: hex.
    EXPECT_EQ("X'615C62'", literal("a\\b"));
    EXPECT_EQ("X'C3A9'", literal("\xC3\xA9"));
    EXPECT_EQ("X'610A62'", literal("a\nb"));
}

TEST(UserDataSqlExportTest, DatesBecomeTheStoresDateText) {
    EXPECT_EQ("2024-05-03 00:00:00", sqlDate(" 3- 5-2024"));
    EXPECT_EQ("1999-12-31 00:00:00", sqlDate("31-12-1999"));
    EXPECT_EQ(SQL_UNKNOWN_DATE, sqlDate("00-00-0000"));
    EXPECT_EQ(SQL_UNKNOWN_DATE, sqlDate("32- 1-2024"));
    EXPECT_EQ(SQL_UNKNOWN_DATE, sqlDate(" 1-13-2024"));
    EXPECT_EQ(SQL_UNKNOWN_DATE, sqlDate(" 1- 1-2024x"));
    EXPECT_EQ(SQL_UNKNOWN_DATE, sqlDate(""));
}

TEST(UserDataSqlExportTest, EveryAccountGetsARowAndItsBestScore) {
    TempDir dir;
    UserRecord alice;
    alice.name = "alice";
    alice.password = "o'neil";
    alice.id = 4;
    alice.highscore = 120;
    alice.gamesPlayed = 3;
    alice.scoreSum = 200;
    alice.date = " 3- 5-2024";
    UserRecord bob;
    bob.name = "bob";
    bob.password = "pw";
    bob.id = 9;
    writeFile(dir.file("user.dat"), currentFileImage({alice, bob}));
    UserDataFile file;
    ASSERT_EQ(USERDATAERR_OK, file.load(dir.file("user.dat").c_str()));
    Capture out;
    Capture errors;
    EXPECT_EQ(0, UserDataSqlExport::write(out.out(), errors.out(), file, "user.dat",
                                          "2025-01-02 03:04:05"));
    std::string sql = out.text();
    EXPECT_EQ("", errors.text());
    EXPECT_EQ(1, countOccurrences(sql, "START TRANSACTION;\n"));
    EXPECT_EQ(sql.size() - 8, sql.rfind("COMMIT;\n"));
    EXPECT_NE(std::string::npos,
              sql.find("INSERT INTO user (name, password, is_active, subscribed) VALUES "
                       "('alice', MD5('o''neil'), 1, '2025-01-02 03:04:05');\n"
                       "INSERT INTO scorelog (user_id, score, date) VALUES (LAST_INSERT_ID(), "
                       "120, '2024-05-03 00:00:00');\n"));
    EXPECT_NE(std::string::npos, sql.find("VALUES (LAST_INSERT_ID(), 0, '0000-00-00 00:00:00');"));
    EXPECT_EQ(2, countOccurrences(sql, "INSERT INTO user "));
    EXPECT_EQ(2, countOccurrences(sql, "INSERT INTO scorelog "));
    EXPECT_NE(std::string::npos, sql.find("3 games played, score sum 200"));
}

TEST(UserDataSqlExportTest, ARepeatedNameIsLeftOutAndNamed) {
    TempDir dir;
    UserRecord first;
    first.name = "alice";
    first.password = "one";
    first.id = 1;
    UserRecord second = first;
    second.password = "two";
    second.id = 2;
    writeFile(dir.file("user.dat"), currentFileImage({first, second}));
    UserDataFile file;
    ASSERT_EQ(USERDATAERR_OK, file.load(dir.file("user.dat").c_str()));
    Capture out;
    Capture errors;
    EXPECT_EQ(1, UserDataSqlExport::write(out.out(), errors.out(), file, "user.dat", "now"));
    EXPECT_EQ(1, countOccurrences(out.text(), "INSERT INTO user "));
    EXPECT_EQ(std::string::npos, out.text().find("MD5('two')"));
    EXPECT_NE(std::string::npos, errors.text().find("account 2 left out"));
}

}  // namespace
