// ConfigSamplesTest.cpp - the sample configurations under config/ read by
// the server's own parser: each says what its comments promise (the store,
// the port, the daemon's files where the systemd unit expects them), and no
// comment line is mistaken for a setting. Each test runs in a process of its
// own, so the configuration singleton starts empty.
#include <gtest/gtest.h>
#include <string.h>

#include <fstream>
#include <string>

#include "Configuration.h"
#include "TextCopy.h"

namespace {

// Every line of the sample through the parser; the number of lines that
// are neither comments nor empty.
int readSample(const std::string& name) {
    std::ifstream sample(std::string(CARVANTA_SOURCE_DIR) + "/config/" + name);
    EXPECT_TRUE(sample.good()) << name;
    Configuration* configuration = Configuration::getInstance();
    int settings = 0;
    std::string line;
    while (std::getline(sample, line)) {
        EXPECT_NE(' ', line.empty() ? '#' : line[0]) << "indented line in " << name;
        if (!line.empty() && line[0] != '#') {
            settings++;
        }
        char buffer[CONFIG_LINE_MAX + 1];
        copyText(buffer, sizeof buffer, line.c_str());
        configuration->parseLine(buffer);
    }
    return settings;
}

TEST(ConfigSamplesTest, TheFileStoreSample) {
    EXPECT_EQ(5, readSample("config-file.ini"));
    Configuration* configuration = Configuration::getInstance();
    EXPECT_EQ(7777, configuration->getServerPort());
    EXPECT_EQ(100, configuration->getMaxClients());
    EXPECT_STREQ("file", configuration->getDatabaseType());
    EXPECT_STREQ("/run/carvanta/carvanta.pid", configuration->getPidFileName());
    EXPECT_STREQ("/var/log/carvanta/carvanta.log", configuration->getLogFileName());
}

TEST(ConfigSamplesTest, TheMysqlStoreSample) {
    EXPECT_EQ(9, readSample("config-mysql.ini"));
    Configuration* configuration = Configuration::getInstance();
    EXPECT_EQ(7777, configuration->getServerPort());
    EXPECT_EQ(100, configuration->getMaxClients());
    EXPECT_STREQ("mysql", configuration->getDatabaseType());
    EXPECT_STREQ("localhost", configuration->getDatabaseHost());
    EXPECT_STREQ("carvanta", configuration->getDatabaseName());
    EXPECT_STREQ("carvanta", configuration->getDatabaseUser());
    EXPECT_STREQ("change-me", configuration->getDatabasePassword());
    EXPECT_STREQ("/run/carvanta/carvanta.pid", configuration->getPidFileName());
}

}  // namespace
