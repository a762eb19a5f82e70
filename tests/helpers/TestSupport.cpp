// TestSupport.cpp - see TestSupport.h.
#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <stdio.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "SimpleOsa.h"

namespace {

const useconds_t POLL_STEP_US = 2000;

}  // namespace

TempDir::TempDir() {
    char pattern[] = "/tmp/carvanta-test-XXXXXX";
    char* made = mkdtemp(pattern);
    dirPath = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
    if (!previousDir.empty() && chdir(previousDir.c_str()) != 0) {
        previousDir.clear();
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

int countOccurrences(const std::string& text, const std::string& part) {
    int found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        found++;
    }
    return found;
}

int freePort() {
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return -1;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(probe);
    return port;
}

StdoutCapture::StdoutCapture() : savedStdout(-1) {
    char pattern[] = "/tmp/carvanta-stdout-XXXXXX";
    int file = mkostemp(pattern, O_CLOEXEC);
    if (file < 0) {
        return;
    }
    path = pattern;
    fflush(stdout);
    savedStdout = dup(STDOUT_FILENO);
    dup2(file, STDOUT_FILENO);
    close(file);
}

StdoutCapture::~StdoutCapture() {
    fflush(stdout);
    if (savedStdout >= 0) {
        dup2(savedStdout, STDOUT_FILENO);
        close(savedStdout);
    }
    if (!path.empty()) {
        unlink(path.c_str());
    }
}

std::string StdoutCapture::text() {
    fflush(stdout);
    return path.empty() ? "" : readFile(path);
}

bool StdoutCapture::waitFor(const std::string& part, int timeoutMs) {
    return waitUntil([&] { return text().find(part) != std::string::npos; }, timeoutMs);
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    long long deadline = clockMonotonicMs() + timeoutMs;
    for (;;) {
        bool late = clockMonotonicMs() >= deadline;
        if (condition()) {
            return true;
        }
        if (late) {
            return false;
        }
        usleep(POLL_STEP_US);
    }
}
