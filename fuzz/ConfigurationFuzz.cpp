// ConfigurationFuzz.cpp - arbitrary configuration file contents, read line
// by line as the configuration reads its file (pieces of at most 511
// characters), each piece given to the parser; then the settings are
// dumped. Checks: no access outside the line or the setting buffers, every
// setting stays terminated within its buffer, and a comment line changes
// nothing.
#include <stdio.h>
#include <string.h>

#include <string>

#include "Configuration.h"
#include "FuzzSupport.h"

namespace {

Configuration* configuration = nullptr;

std::string snapshot() {
    std::string all = std::to_string(configuration->getServerPort());
    const char* texts[] = {configuration->getDatabaseName(), configuration->getDatabaseHost(),
                           configuration->getDatabaseUser(), configuration->getDatabasePassword(),
                           configuration->getLogFileName(),  configuration->getPidFileName(),
                           configuration->getDatabaseType()};
    for (const char* text : texts) {
        all += '\n';
        all += text;
    }
    return all;
}

void checkTerminated() {
    FUZZ_CHECK(strnlen(configuration->getDatabaseName(), CONFIG_VALUE_MAX) < CONFIG_VALUE_MAX);
    FUZZ_CHECK(strnlen(configuration->getDatabaseHost(), CONFIG_VALUE_MAX) < CONFIG_VALUE_MAX);
    FUZZ_CHECK(strnlen(configuration->getDatabaseUser(), CONFIG_VALUE_MAX) < CONFIG_VALUE_MAX);
    FUZZ_CHECK(strnlen(configuration->getDatabasePassword(), CONFIG_VALUE_MAX) < CONFIG_VALUE_MAX);
    FUZZ_CHECK(strnlen(configuration->getLogFileName(), CONFIG_FILENAME_MAX) < CONFIG_FILENAME_MAX);
    FUZZ_CHECK(strnlen(configuration->getPidFileName(), CONFIG_FILENAME_MAX) < CONFIG_FILENAME_MAX);
    FUZZ_CHECK(strnlen(configuration->getDatabaseType(), CONFIG_FILENAME_MAX) <
               CONFIG_FILENAME_MAX);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzQuietOutput();
    // No config.ini in the fresh directory: the defaults apply.
    fuzzEnterWorkDirectory();
    configuration = Configuration::getInstance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    std::string text(reinterpret_cast<const char*>(data), size);
    FILE* file = fmemopen(&text[0], text.size(), "r");
    FUZZ_CHECK(file != nullptr);
    char line[CONFIG_LINE_MAX + 1];
    while (fgets(line, sizeof line, file) != nullptr) {
        std::string before = line[0] == '#' ? snapshot() : std::string();
        configuration->parseLine(line);
        if (line[0] == '#') {
            FUZZ_CHECK(snapshot() == before);
        }
        checkTerminated();
    }
    fclose(file);
    configuration->dumpConfig();
    return 0;
}
