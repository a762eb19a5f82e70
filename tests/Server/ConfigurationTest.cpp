// ConfigurationTest.cpp - the configuration file parser and its dump.
#include <gtest/gtest.h>

#include <string>

#include "Configuration.h"
#include "TestSupport.h"

namespace {

// The singleton reads config.ini from the working directory on first use;
// each test runs in a process of its own, so it starts fresh here.
Configuration* loadConfiguration(TempDir& dir, const std::string& content) {
    writeFile(dir.file("config.ini"), content);
    dir.enter();
    return Configuration::getInstance();
}

}  // namespace

TEST(ConfigurationTest, PortOnlyFileKeepsDefaultsAndDumpsNineLines) {
    TempDir dir;
    Configuration* config = loadConfiguration(dir, "server_port 7777\n");
    EXPECT_EQ(config->getServerPort(), 7777);
    EXPECT_STREQ(config->getLogFileName(), "/var/log/Orvix.log");
    EXPECT_STREQ(config->getPidFileName(), "/tmp/OrvixServer.pid");
    EXPECT_STREQ(config->getDatabaseType(), "");
    EXPECT_STREQ(config->getDatabaseName(), "");
    EXPECT_STREQ(config->getDatabaseHost(), "");
    EXPECT_STREQ(config->getDatabaseUser(), "");
    EXPECT_STREQ(config->getDatabasePassword(), "");
    EXPECT_EQ(config->getMaxClients(), 8) << "without max_clients, 8 connections as ever";

    testing::internal::CaptureStdout();
    config->dumpConfig();
    std::string dump = testing::internal::GetCapturedStdout();
    const char* expected[] = {
        " INFO: Database Type     \n",
        " INFO: Database Name     \n",
        " INFO: Database Host     \n",
        " INFO: Databasee User    \n",
        " INFO: Database Passwd   \n",
        " INFO: Log filename      /var/log/Orvix.log\n",
        " INFO: PID filename      /tmp/OrvixServer.pid\n",
        " INFO: Server port       7777\n",
        " INFO: Max clients       8\n",
    };
    size_t from = 0;
    for (const char* line : expected) {
        size_t at = dump.find(line, from);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line;
        from = at + 1;
    }
    int lines = 0;
    for (char c : dump) {
        lines += c == '\n';
    }
    EXPECT_EQ(lines, 9);
}

TEST(ConfigurationTest, MaxClientsOutsideOneToHundredKeepsEightAndLogsOneError) {
    struct Case {
        const char* value;
        int expected;
        bool refused;
    } cases[] = {
        {"1", 1, false},    {"100", 100, false}, {"42", 42, false}, {"0", 8, true},
        {"101", 8, true},   {"-3", 8, true},     {"abc", 8, true},  {"12x", 8, true},
        {"99999999999999999999", 8, true},
    };
    TempDir dir;
    Configuration* config = loadConfiguration(dir, "server_port 7777\n");
    for (const Case& c : cases) {
        // A refused value also undoes an earlier valid line: the last one wins.
        char earlier[] = "max_clients 50";
        config->parseLine(earlier);
        std::string line = std::string("max_clients ") + c.value;
        config->parseLine(&line[0]);
        EXPECT_EQ(config->getMaxClients(), c.expected) << c.value;
        testing::internal::CaptureStdout();
        config->dumpConfig();
        std::string dump = testing::internal::GetCapturedStdout();
        std::string error = std::string(" ERROR: max_clients ") + c.value +
                            " is not a number from 1 to 100, 8 kept\n";
        EXPECT_EQ(dump.find(error) != std::string::npos, c.refused) << dump;
        EXPECT_EQ(countOccurrences(dump, " ERROR: "), c.refused ? 1 : 0) << dump;
        EXPECT_NE(dump.find(" INFO: Max clients       " + std::to_string(c.expected) + "\n"),
                  std::string::npos)
            << dump;
    }
}

TEST(ConfigurationTest, ParserRulesForCommentsWordsAndRepeats) {
    TempDir dir;
    Configuration* config = loadConfiguration(dir,
                                              "# server_port 1\n"
                                              " # a blank first: the word \"#\" is no key\n"
                                              "server_port=4444\n"
                                              "logfile /first.log\n"
                                              "logfile /second.log   trailing words ignored\n"
                                              "\tpidfile\t/run/x.pid # comment after the value\n"
                                              "database_type MySQL\n"
                                              "database_name\n"
                                              "Server_port 5555\n"
                                              "database_host db.example # host\n"
                                              "database_user carvanta\n"
                                              "database_password s3cret\n");
    EXPECT_EQ(config->getServerPort(), 0) << "key=value is one word and no key";
    EXPECT_STREQ(config->getLogFileName(), "/second.log");
    EXPECT_STREQ(config->getPidFileName(), "/run/x.pid");
    EXPECT_STREQ(config->getDatabaseType(), "MySQL");
    EXPECT_STREQ(config->getDatabaseName(), "") << "a key without a value changes nothing";
    EXPECT_STREQ(config->getDatabaseHost(), "db.example");
    EXPECT_STREQ(config->getDatabaseUser(), "carvanta");
    EXPECT_STREQ(config->getDatabasePassword(), "s3cret");
}

TEST(ConfigurationTest, PortTakesLeadingDigitsAfterASign) {
    TempDir dir;
    Configuration* config = loadConfiguration(dir, "server_port 12ab\n");
    EXPECT_EQ(config->getServerPort(), 12);
    char line1[] = "server_port -7";
    config->parseLine(line1);
    EXPECT_EQ(config->getServerPort(), -7);
    char line2[] = "server_port abc";
    config->parseLine(line2);
    EXPECT_EQ(config->getServerPort(), 0);
    char line3[] = "server_port 99999999999999999999";
    config->parseLine(line3);
    EXPECT_GT(config->getServerPort(), 0) << "an oversized number is held, not wrapped";
}

TEST(ConfigurationTest, OverlongWordsAndLinesAreCutNotOverrun) {
    TempDir dir;
    std::string longPath(300, 'p');
    std::string longLine = "database_name " + std::string(600, 'n') + "\n";
    Configuration* config =
        loadConfiguration(dir, "logfile /" + longPath + "\n" + longLine + "server_port 81\n");
    EXPECT_EQ(std::string(config->getLogFileName()).size(), 127u) << "a word holds 127 characters";
    EXPECT_EQ(std::string(config->getDatabaseName()), std::string(127, 'n'));
    EXPECT_EQ(config->getServerPort(), 81) << "the pieces of a long line do not swallow the next";
    testing::internal::CaptureStdout();
    config->dumpConfig();
    std::string dump = testing::internal::GetCapturedStdout();
    EXPECT_NE(dump.find("Log filename      /ppp"), std::string::npos);
    EXPECT_NE(dump.find("Server port       81\n"), std::string::npos);
}

TEST(ConfigurationTest, MissingFileKeepsDefaultsAndSaysSo) {
    TempDir dir;
    dir.enter();
    char name[] = "nowhere.ini";
    Configuration::setConfigFile(name);
    testing::internal::CaptureStdout();
    Configuration* config = Configuration::getInstance();
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find(" INFO: Reading configuration from: nowhere.ini\n"), std::string::npos);
    EXPECT_NE(output.find("Error: can't open file.\n"), std::string::npos);
    EXPECT_EQ(config->getServerPort(), 0);
    EXPECT_STREQ(config->getLogFileName(), "/var/log/Orvix.log");
}
