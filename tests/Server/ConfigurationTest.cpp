// ConfigurationTest.cpp - the configuration file parser and its dump.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "Configuration.h"
#include "TestSupport.h"
#include "UserBase.h"
#include "UserBaseFactory.h"
#include "UserBaseFile.h"

namespace {

// Each test runs as a process of its own: the singleton reads this file on first use.
class ConfigurationTest : public ::testing::TestWithParam<const char*> {
protected:
    Configuration* load(const std::string& content) {
        writeFile(dir.file("config.ini"), content);
        dir.enter();
        return Configuration::getInstance();
    }
    void parse(std::string line) { Configuration::getInstance()->parseLine(&line[0]); }
    std::string dump() {
        testing::internal::CaptureStdout();
        Configuration::getInstance()->dumpConfig();
        return testing::internal::GetCapturedStdout();
    }

    TempDir dir;
};

TEST_F(ConfigurationTest, DumpShowsDefaultsAndMaxClientsOutsideOneToHundredKeepsEight) {
    load("server_port 7777\n");
    const std::string stamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";
    std::string expected;
    for (const char* line :
         {"Database Type     ", "Database Name     ", "Database Host     ", "Databasee User    ",
          "Database Passwd   ", "Log filename      /var/log/Orvix\\.log",
          "PID filename      /tmp/OrvixServer\\.pid", "Server port       7777",
          "Max clients       8"}) {
        expected += stamp + " INFO: " + line + "\n";
    }
    std::string text = dump();
    EXPECT_TRUE(std::regex_match(text, std::regex(expected))) << text;
    struct Case {
        const char* value;
        int expected;
    } cases[] = {
        {"1", 1},   {"100", 100}, {"42", 42},
        {"0", 8},   {"101", 8},   {"-3", 8},
        {"abc", 8}, {"12x", 8},   {"99999999999999999999", 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        parse("max_clients 50");  // a refused value undoes an earlier valid line too
        parse(std::string("max_clients ") + c.value);
        EXPECT_EQ(Configuration::getInstance()->getMaxClients(), c.expected);
        text = dump();
        std::string error = std::string(" ERROR: max_clients ") + c.value +
                            " is not a number from 1 to 100, 8 kept\n";
        bool refused = c.expected == 8;
        EXPECT_EQ(text.find(error) != std::string::npos, refused) << text;
        EXPECT_EQ(countOccurrences(text, " ERROR: "), refused ? 1 : 0) << text;
        EXPECT_NE(text.find(" INFO: Max clients       " + std::to_string(c.expected) + "\n"),
                  std::string::npos);
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
    EXPECT_EQ(config->getServerPort(), 12) << "leading digits; a long line swallowed the next";
    EXPECT_STREQ(config->getLogFileName(), "/second.log");
    EXPECT_STREQ(config->getPidFileName(), "/run/x.pid");
    EXPECT_STREQ(config->getDatabaseType(), "MySQL");
    EXPECT_STREQ(config->getDatabaseName(), "") << "a key without a value changes nothing";
    EXPECT_STREQ(config->getDatabaseHost(), "db.example");
    EXPECT_STREQ(config->getDatabaseUser(), "carvanta");
    EXPECT_STREQ(config->getDatabasePassword(), "s3cret");
    parse("logfile /" + std::string(300, 'p'));
    EXPECT_EQ(std::string(config->getLogFileName()), "/" + std::string(126, 'p'));
    parse("database_user " + std::string(600, 'n'));
    EXPECT_EQ(std::string(config->getDatabaseUser()), std::string(127, 'n'));
    EXPECT_NE(dump().find("Log filename      /ppp"), std::string::npos);
    parse("server_port=4444");
    EXPECT_EQ(config->getServerPort(), 12) << "key=value is one word and no key";
    parse("server_port -7");
    EXPECT_EQ(config->getServerPort(), -7);
    parse("server_port abc");
    EXPECT_EQ(config->getServerPort(), 0);
    parse("server_port 99999999999999999999");
    EXPECT_GT(config->getServerPort(), 0) << "an oversized number is held, not wrapped";
}

TEST_F(ConfigurationTest, MissingFileKeepsDefaultsAndSaysSo) {
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
    EXPECT_EQ(config->getMaxClients(), 8);
}

// Each case is a process: the store is chosen once from database_type.
TEST_P(ConfigurationTest, AnyDatabaseTypeButExactlyMysqlGivesTheFileStoreOnce) {
    load(std::string("server_port 4711\n") + GetParam());
    UserBase* store = UserBaseFactory::getUserBaseInstance();
    EXPECT_NE(dynamic_cast<UserBaseFile*>(store), nullptr);
    EXPECT_EQ(UserBaseFactory::getUserBaseInstance(), store);
    UserBaseFactory::destroyUserBaseInstance();
}

INSTANTIATE_TEST_SUITE_P(DatabaseTypes, ConfigurationTest,
                         ::testing::Values("", "database_type MySQL\n", "database_type mysqlx\n",
                                           "database_type\n"));

}  // namespace
