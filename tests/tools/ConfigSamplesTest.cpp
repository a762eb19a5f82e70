// ConfigSamplesTest.cpp - the sample configurations read by the server's own parser; each test
// runs in a process of its own, so the configuration starts empty.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "Configuration.h"
#include "TextCopy.h"

namespace {

// The number of settings in the sample (not comments, not empty, not indented), then what
// the parser made of them.
std::string readSample(const std::string& name) {
    std::ifstream sample(std::string(CARVANTA_SOURCE_DIR) + "/config/" + name);
    Configuration* c = Configuration::getInstance();
    int settings = 0;
    for (std::string line; std::getline(sample, line);) {
        settings += line.empty() || line[0] == '#' ? 0 : line[0] == ' ' ? 100 : 1;
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
    std::string read = readSample("config-file.ini");
    EXPECT_EQ(0u, read.find("5 7777 100 file /run/carvanta/carvanta.pid "
                            "/var/log/carvanta/carvanta.log "))
        << read;
}

TEST(ConfigSamplesTest, TheMysqlStoreSample) {
    std::string read = readSample("config-mysql.ini");
    EXPECT_EQ(0u, read.find("9 7777 100 mysql /run/carvanta/carvanta.pid ")) << read;
    EXPECT_NE(std::string::npos, read.find(" localhost carvanta carvanta change-me")) << read;
}

}  // namespace
