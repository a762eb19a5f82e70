// TempDir.cpp - temporary directories and small file helpers for tests.
#include "TempDir.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

TempDir::TempDir() {
    char pattern[] = "/tmp/carvanta-test-XXXXXX";
    char* made = mkdtemp(pattern);
    dirPath = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
    if (!previousDir.empty()) {
        if (chdir(previousDir.c_str()) != 0) {
            previousDir.clear();
        }
    }
    std::string command = "rm -rf '" + dirPath + "'";
    if (dirPath != "/tmp" && system(command.c_str()) != 0) {
        dirPath.clear();
    }
}

void TempDir::enter() {
    char current[4096];
    if (getcwd(current, sizeof current) != nullptr) {
        previousDir = current;
    }
    if (chdir(dirPath.c_str()) != 0) {
        previousDir.clear();
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool fileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}
