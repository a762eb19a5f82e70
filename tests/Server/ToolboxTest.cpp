// ToolboxTest.cpp - log line format, levels, cutting, held lines and the log file.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "Toolbox.h"

namespace {

const std::string STAMP = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ";

// Lines are stamp, level and message, cut at the line size. A request's lines are held by its
// thread and go out in order with the thread's next line or at the release; other threads' lines
// are not held; more than the hold takes keep their order.
TEST(ToolboxTest, LinesAreStampLevelAndMessageAndHeldLinesGoOutInOrder) {
    testing::internal::CaptureStdout();
    Toolbox::printInfo("Server started\n");
    Toolbox::printError("100%s done %d\n");
    Toolbox::printDebug("detail\n");
    Toolbox::printInfo(std::string(300, 'm').c_str());
    Toolbox::holdInfo("Request \n");
    Toolbox::holdInfo("REQUEST: check user ann/pw ->");
    std::thread other([] { Toolbox::printInfo("other thread\n"); });
    other.join();
    Toolbox::printError("store failed\n");
    Toolbox::holdInfo("held\n");
    Toolbox::releaseHeldLines();
    Toolbox::releaseHeldLines();
    std::string expected = STAMP + "INFO: Server started\n" + STAMP + "ERROR: 100%s done %d\n" +
                           STAMP + "DEBUG: detail\n" + STAMP + "INFO: m{229}" + STAMP +
                           "INFO: other thread\n" + STAMP + "INFO: Request \n" + STAMP +
                           "INFO: REQUEST: check user ann/pw ->" + STAMP + "ERROR: store failed\n" +
                           STAMP + "INFO: held\n";
    for (int i = 0; i < 50; i++) {
        Toolbox::holdInfo((std::to_string(i) + "\n").c_str());
        expected += STAMP + "INFO: " + std::to_string(i) + "\n";
    }
    Toolbox::printInfo("last\n");
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(output, std::regex(expected + STAMP + "INFO: last\n"))) << output;
}

TEST(ToolboxTest, FileLoggingAppendsAfterOneEmptyingPerStart) {
    TempDir dir;
    std::string logName = dir.file("server.log");
    writeFile(logName, "line of an earlier run\n");
    Toolbox::printToFile(true, &logName[0]);
    ASSERT_TRUE(Toolbox::startNewLog());
    EXPECT_EQ(readFile(logName), "") << "each start begins a new log";
    testing::internal::CaptureStdout();
    Toolbox::printInfo("first\n");
    EXPECT_NE(readFile(logName).find("INFO: first\n"), std::string::npos) << "not on disk yet";
    Toolbox::closeLog();
    Toolbox::printError("second\n");
    Toolbox::closeLog();
    std::string unopenable = "/nonexistent-dir/for/sure.log";
    Toolbox::printToFile(true, &unopenable[0]);
    Toolbox::printInfo("lost\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "a line went to standard output";
    Toolbox::printToFile(false, nullptr);
    EXPECT_TRUE(std::regex_match(readFile(logName),
                                 std::regex(STAMP + "INFO: first\n" + STAMP + "ERROR: second\n")));
    EXPECT_FALSE(fileExists(unopenable));
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
    ASSERT_TRUE(first < last && last != std::string::npos) << "the block is not whole";
    EXPECT_EQ(output.substr(first, last - first).find("other thread"), std::string::npos)
        << "lines came between the block's lines";
}

}  // namespace
