// ConfigurationAndLogTest.cpp - the configuration file parser and its dump; log lines, held lines
// and the log file.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Configuration.h"
#include "TestSupport.h"
#include "Toolbox.h"
#include "UserBase.h"
#include "UserBaseFactory.h"
#include "UserBaseFile.h"

namespace {

const std::string STAMP = LOG_STAMP;

// The dump's lines for the nine settings in their order, with a refused max_clients word.
std::string dumpText(const std::vector<std::string>& values, const std::string& refused = "") {
    const char* const labels[] = {"Database Type     ", "Database Name     ", "Database Host     ",
                                  "Databasee User    ", "Database Passwd   ", "Log filename      ",
                                  "PID filename      ", "Server port       ", "Max clients       "};
    std::string text;
    for (size_t i = 0; i < values.size(); i++) {
        if (i == 8 && !refused.empty()) {
            text += "ERROR: max_clients " + refused + " is not a number from 1 to 100, 8 kept\n";
        }
        text += std::string("INFO: ") + labels[i] + values[i] + "\n";
    }
    return text;
}

// Each test runs as a process of its own: the singleton reads this file on first use.
class ConfigurationTest : public ::testing::Test {
protected:
    Configuration* load(const std::string& content) {
        writeFile(dir.file("config.ini"), content);
        dir.enter();
        return Configuration::getInstance();
    }
    void parse(std::string line) { Configuration::getInstance()->parseLine(&line[0]); }
    // Every line must carry its stamp, which is taken out.
    std::string dump() {
        testing::internal::CaptureStdout();
        Configuration::getInstance()->dumpConfig();
        return std::regex_replace(testing::internal::GetCapturedStdout(),
                                  std::regex("(^|\n)" + STAMP), "$1");
    }

    TempDir dir;
};

TEST_F(ConfigurationTest, DumpShowsDefaultsAndMaxClientsOutsideOneToHundredKeepsEight) {
    load("server_port 7777\n");
    std::vector<std::string> values = {
        "", "", "", "", "", "/var/log/Orvix.log", "/tmp/OrvixServer.pid", "7777", "8"};
    EXPECT_EQ(dump(), dumpText(values));
    const std::pair<std::string, int> cases[] = {
        {"1", 1}, {"100", 100}, {"0", 8}, {"101", 8}, {"12x", 8}, {"99999999999999999999", 8}};
    for (const auto& [value, kept] : cases) {
        parse("max_clients 50");  // a refused value undoes an earlier valid line too
        parse("max_clients " + value);
        values[8] = std::to_string(kept);
        EXPECT_EQ(dump(), dumpText(values, kept == 8 ? value : "")) << value;
    }
}

TEST_F(ConfigurationTest, ParserRulesForCommentsWordsRepeatsAndLongLines) {
    Configuration* config = load(
        "# server_port 1\n"
        " # a blank first: the word \"#\" is no key\n"
        "server_port=4444\n"
        "database_user " +
        std::string(600, 'n') +
        "\n"
        "server_port 12ab\n"
        "logfile /first.log\n"
        "logfile /second.log   trailing words ignored\n"
        "\tpidfile\t/run/x.pid # comment after the value\n"
        "database_type MySQL\n"
        "database_name\n"
        "Server_port 5555\n"
        "database_host db.example # host\n"
        "database_user carvanta\n"
        "database_password s3cret\n");
    // Leading digits make the port; the long line swallowed the next; a key alone changes nothing.
    std::vector<std::string> values = {
        "MySQL", "", "db.example", "carvanta", "s3cret", "/second.log", "/run/x.pid", "12", "8"};
    EXPECT_EQ(dump(), dumpText(values));
    parse("logfile /" + std::string(300, 'p'));
    EXPECT_EQ(std::string(config->getLogFileName()), "/" + std::string(126, 'p'));
    values[5] = "/" + std::string(107, 'p');  // the dump's line is cut and still ends its line
    EXPECT_EQ(dump(), dumpText(values));
    parse("server_port 99999999999999999999");
    EXPECT_GT(config->getServerPort(), 0) << "an oversized number is held, not wrapped";
    UserBase* store = UserBaseFactory::getUserBaseInstance();  // chosen once
    EXPECT_NE(dynamic_cast<UserBaseFile*>(store), nullptr) << "only \"mysql\" is the database";
    EXPECT_EQ(UserBaseFactory::getUserBaseInstance(), store);
    UserBaseFactory::destroyUserBaseInstance();
}

// Lines are stamp, level and message, cut at the line size. A request's lines are held by its
// thread and go out in order with the thread's next line or at the release; other threads' lines
// are not held; more than the hold takes keep their order. A log file that cannot be opened loses
// its lines instead of printing them.
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
    std::string unopenable = "/nonexistent-dir/for/sure.log";
    Toolbox::printToFile(true, &unopenable[0]);
    Toolbox::printInfo("lost, and not on standard output\n");
    Toolbox::printToFile(false, nullptr);
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

TEST(ToolboxTest, StatusBlockIsNotInterruptedByOtherThreadsLines) {
    std::atomic<bool> stop(false);
    std::atomic<int> written(0);
    testing::internal::CaptureStdout();
    std::thread other([&] {
        for (; !stop; written++) {
            Toolbox::printInfo("other thread\n");
        }
    });
    std::string block;
    for (int i = 0; i < 20000; i++) {
        block += "status\n";
    }
    while (written < 10) {
        std::this_thread::yield();
    }
    Toolbox::printInfoBlock(block.c_str());
    stop = true;
    other.join();
    std::string output = testing::internal::GetCapturedStdout();
    size_t first = output.find("status\n");  // out of range, and failing, when not there
    EXPECT_EQ(countOccurrences(output.substr(first, output.rfind("status\n") - first), "thread"),
              0);
}

}  // namespace
