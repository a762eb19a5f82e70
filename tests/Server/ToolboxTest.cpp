// ToolboxTest.cpp - log line format, levels, cutting and the log file.
#include <gtest/gtest.h>
#include <regex.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "Toolbox.h"

namespace {

bool matches(const std::string& text, const char* pattern) {
    regex_t expression;
    if (regcomp(&expression, pattern, REG_EXTENDED | REG_NOSUB) != 0) {
        return false;
    }
    bool found = regexec(&expression, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&expression);
    return found;
}

std::string captureInfo(const char* message) {
    testing::internal::CaptureStdout();
    Toolbox::printInfo(message);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(ToolboxTest, LineIsTimeStampLevelAndMessage) {
    std::string line = captureInfo("Server started\n");
    EXPECT_TRUE(matches(
        line, "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} INFO: Server started\n$"))
        << line;
    testing::internal::CaptureStdout();
    Toolbox::printError("bad\n");
    Toolbox::printDebug("detail\n");
    std::string both = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(matches(both, " ERROR: bad\n.* DEBUG: detail\n$")) << both;
}

TEST(ToolboxTest, DisabledLevelsVanish) {
    Toolbox::setInfoPrinting(false);
    testing::internal::CaptureStdout();
    Toolbox::printInfo("hidden\n");
    Toolbox::printError("shown error\n");
    Toolbox::printDebug("shown debug\n");
    std::string output = testing::internal::GetCapturedStdout();
    Toolbox::setInfoPrinting(true);
    EXPECT_EQ(output.find("hidden"), std::string::npos);
    EXPECT_NE(output.find("shown error"), std::string::npos);
    EXPECT_NE(output.find("shown debug"), std::string::npos);
}

TEST(ToolboxTest, LongLinesAreCutAndPercentSignsKept) {
    std::string message(300, 'm');
    std::string line = captureInfo(message.c_str());
    EXPECT_EQ(line.size(), 255u);
    std::string percent = captureInfo("100%s done %d\n");
    EXPECT_NE(percent.find("INFO: 100%s done %d\n"), std::string::npos);
}

TEST(ToolboxTest, FileLoggingAppendsAfterOneEmptyingPerStart) {
    TempDir dir;
    std::string logName = dir.file("server.log");
    writeFile(logName, "line of an earlier run\n");
    Toolbox::printToFile(true, const_cast<char*>(logName.c_str()));
    ASSERT_TRUE(Toolbox::startNewLog());
    EXPECT_EQ(readFile(logName), "") << "each start begins a new log";

    testing::internal::CaptureStdout();
    Toolbox::printInfo("first\n");
    EXPECT_NE(readFile(logName).find("INFO: first\n"), std::string::npos)
        << "the line is on disk when the call returns";
    Toolbox::closeLog();
    Toolbox::printError("second\n");
    std::string console = testing::internal::GetCapturedStdout();
    Toolbox::closeLog();
    Toolbox::printToFile(false, nullptr);

    std::string content = readFile(logName);
    EXPECT_NE(content.find("INFO: first\n"), std::string::npos) << "reopening keeps earlier lines";
    EXPECT_NE(content.find("ERROR: second\n"), std::string::npos);
    EXPECT_EQ(console, "") << "nothing goes to standard output while logging to the file";
}

TEST(ToolboxTest, UnopenableLogFileDropsLinesSilently) {
    char name[] = "/nonexistent-dir/for/sure.log";
    Toolbox::printToFile(true, name);
    testing::internal::CaptureStdout();
    Toolbox::printInfo("lost\n");
    std::string console = testing::internal::GetCapturedStdout();
    Toolbox::printToFile(false, nullptr);
    EXPECT_EQ(console, "");
    EXPECT_FALSE(fileExists(name));
}

// A request's lines are held by its thread and go out in order with the
// thread's next line or at the release; other threads' lines are not held,
// and more lines than the hold takes are written in order all the same.
TEST(ToolboxTest, HeldLinesGoOutInOrderWithTheThreadsNextLine) {
    testing::internal::CaptureStdout();
    Toolbox::holdInfo("Request \n");
    Toolbox::holdInfo("REQUEST: check user ann/pw ->");
    std::thread other([] { Toolbox::printInfo("other thread\n"); });
    other.join();
    Toolbox::printError("store failed\n");
    Toolbox::holdInfo("held\n");
    Toolbox::releaseHeldLines();
    Toolbox::releaseHeldLines();  // nothing is held twice
    for (int i = 0; i < 50; i++) {
        Toolbox::holdInfo((std::to_string(i) + "\n").c_str());
    }
    Toolbox::printInfo("last\n");
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(matches(output,
                        "^[^\n]* INFO: other thread\n"
                        "[^\n]* INFO: Request \n"
                        "[^\n]* INFO: REQUEST: check user ann/pw ->"
                        "[^\n]* ERROR: store failed\n"
                        "[^\n]* INFO: held\n"
                        "[^\n]* INFO: 0\n"))
        << output;
    EXPECT_TRUE(matches(output, " INFO: 48\n[^\n]* INFO: 49\n[^\n]* INFO: last\n$")) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 55);
}

// The operator's status block comes out whole while other threads log.
TEST(ToolboxTest, StatusBlockIsNotInterruptedByOtherThreadsLines) {
    std::string block;
    for (int i = 0; i < 20000; i++) {
        block += "status " + std::to_string(i) + "\n";
    }
    std::atomic<bool> stop(false);
    std::atomic<int> written(0);
    testing::internal::CaptureStdout();
    std::thread other([&] {
        while (!stop) {
            Toolbox::printInfo("other thread\n");
            written++;
        }
    });
    while (written < 10) {
        std::this_thread::yield();
    }
    Toolbox::printInfoBlock(block.c_str());
    stop = true;
    other.join();
    std::string output = testing::internal::GetCapturedStdout();
    size_t first = output.find("INFO: status 0\n");
    size_t last = output.find("INFO: status 19999\n");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(output.substr(first, last - first).find("other thread"), std::string::npos)
        << "lines came between the block's lines";
}
