// LineReaderTest.cpp - the client's line input on a pipe: lines split over
// several writes, several lines in one write, over-long lines, a last line
// without a line feed, and no blocking beyond the time given.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "LineReader.h"

namespace {

class LineReaderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, pipe(fds)); }
    void TearDown() override {
        close(fds[0]);
        if (fds[1] >= 0) {
            close(fds[1]);
        }
    }
    void put(const std::string& text) {
        ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fds[1], text.data(), text.size()));
    }
    void endInput() {
        close(fds[1]);
        fds[1] = -1;
    }
    std::string next(lineRead_t expected, long timeoutMs = 1000) {
        char line[LINEREADER_LINE_MAX] = "";
        EXPECT_EQ(expected, reader.readLine(line, sizeof line, timeoutMs));
        return line;
    }

    int fds[2] = {-1, -1};
    LineReader reader{-1};
};

TEST_F(LineReaderTest, CutsLinesOutOfWhatArrives) {
    reader = LineReader(fds[0]);
    put("invite b");
    EXPECT_EQ("", next(LINEREAD_NONE, 50));
    put("ob\naccept alice\r\nstop\n");
    EXPECT_EQ("invite bob", next(LINEREAD_LINE));
    EXPECT_EQ("accept alice", next(LINEREAD_LINE));
    EXPECT_EQ("stop", next(LINEREAD_LINE));
    put("\nquit");
    EXPECT_EQ("", next(LINEREAD_LINE));
    endInput();
    EXPECT_EQ("quit", next(LINEREAD_LINE));
    next(LINEREAD_END);
    next(LINEREAD_END);
}

TEST_F(LineReaderTest, AnOverLongLineIsCutAndItsRestDropped) {
    reader = LineReader(fds[0]);
    put(std::string(LINEREADER_LINE_MAX + 100, 'x') + "\nlist\n");
    std::string first = next(LINEREAD_LINE);
    EXPECT_EQ(std::string(LINEREADER_LINE_MAX - 1, 'x'), first);  // cut to the caller's room
    EXPECT_EQ("list", next(LINEREAD_LINE));
}

TEST_F(LineReaderTest, WaitsNoLongerThanAsked) {
    reader = LineReader(fds[0]);
    auto start = std::chrono::steady_clock::now();
    next(LINEREAD_NONE, 100);
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
    EXPECT_GE(waited, 90);
    EXPECT_LT(waited, 1000);
}

}  // namespace
