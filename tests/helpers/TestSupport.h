// TestSupport.h - temporary directories, files, free ports, stdout capture and the one poll loop.
#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "SimpleOsa.h"

// The time stamp and blank that open every log line, as a regular expression.
const char* const LOG_STAMP = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ";

// Polls every 2 ms on the product's monotonic clock; asks once more at the deadline.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    long long deadline = clockMonotonicMs() + timeoutMs;
    for (;;) {
        bool late = clockMonotonicMs() >= deadline;
        if (condition()) {
            return true;
        }
        if (late) {
            return false;
        }
        usleep(2000);
    }
}

// Removed with its contents at scope end; enter() makes it the working directory until then.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/carvanta-test-XXXXXX";
        dirPath = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    }
    ~TempDir() {
        std::error_code ignored;
        if (!previousDir.empty()) {
            std::filesystem::current_path(previousDir, ignored);
        }
        if (dirPath != "/tmp") {
            std::filesystem::remove_all(dirPath, ignored);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dirPath; }
    std::string file(const std::string& name) const { return dirPath + "/" + name; }
    void enter() {
        std::error_code ignored;
        previousDir = std::filesystem::current_path(ignored);
        std::filesystem::current_path(dirPath, ignored);
    }

private:
    std::string dirPath;
    std::string previousDir;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline bool fileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

inline int countOccurrences(const std::string& text, const std::string& part) {
    int found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        found++;
    }
    return found;
}

// A socket bound to a free loopback port (-1 if none), listening with `backlog` if not 0.
inline int boundLoopbackSocket(int* port, int backlog = 0) {
    int bound = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bound < 0 || bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (backlog > 0 && listen(bound, backlog) != 0) ||
        getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(bound);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return bound;
}

// A loopback port nobody listens on now, -1 if none.
inline int freePort() {
    int port = -1;
    close(boundLoopbackSocket(&port));
    return port;
}

// This process's stdout goes to an unnamed file while the object lives.
class StdoutCapture {
public:
    StdoutCapture() : file(tmpfile()), savedStdout(dup(STDOUT_FILENO)) {
        fflush(stdout);
        dup2(fileno(file), STDOUT_FILENO);
    }
    ~StdoutCapture() {
        fflush(stdout);
        dup2(savedStdout, STDOUT_FILENO);
        close(savedStdout);
        fclose(file);
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string text() {
        fflush(stdout);
        return readFile("/proc/self/fd/" + std::to_string(fileno(file)));
    }
    bool waitFor(const std::string& part, int timeoutMs) {
        return waitUntil([&] { return text().find(part) != std::string::npos; }, timeoutMs);
    }

private:
    FILE* file;
    int savedStdout;
};

#endif
