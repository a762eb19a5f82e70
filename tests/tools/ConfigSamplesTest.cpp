// ConfigSamplesTest.cpp - the sample configurations read by the server's own parser; each
// test runs in a process of its own, so the configuration starts empty.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "Configuration.h"
#include "TextCopy.h"

namespace {

// Every line of the sample through the parser; the settings it made, and how many lines
// are neither comments nor empty.
std::string readSample(const std::string& name) {
    std::ifstream sample(std::string(CARVANTA_SOURCE_DIR) + "/config/" + name);
    EXPECT_TRUE(sample.good()) << name;
    Configuration* c = Configuration::getInstance();
    int settings = 0;
    std::string line;
    while (std::getline(sample, line)) {
        EXPECT_NE(' ', line.empty() ? '#' : line[0]) << "indented line in " << name;
        settings += !line.empty() && line[0] != '#';
        char buffer[CONFIG_LINE_MAX + 1];
        copyText(buffer, sizeof buffer, line.c_str());
        c->parseLine(buffer);
    }
    return std::to_string(settings) + " " + std::to_string(c->getServerPort()) + " " +
           std::to_string(c->getMaxClients()) + " " + c->getDatabaseType() + " " +
           c->getPidFileName() + " " + c->getLogFileName() + " " + c->getDatabaseHost() + " " +
           c->getDatabaseName() + " " + c->getDatabaseUser() + " " + c->getDatabasePassword();
}

TEST(ConfigSamplesTest, TheFileStoreSample) {
    EXPECT_EQ(
        0u,
        readSample("config-file.ini")
            .find("5 7777 100 file /run/carvanta/carvanta.pid /var/log/carvanta/carvanta.log "));
}

TEST(ConfigSamplesTest, TheMysqlStoreSample) {
    std::string read = readSample("config-mysql.ini");
    EXPECT_EQ(0u, read.find("9 7777 100 mysql /run/carvanta/carvanta.pid ")) << read;
    EXPECT_NE(std::string::npos, read.find(" localhost carvanta carvanta change-me")) << read;
}

}  // namespace
