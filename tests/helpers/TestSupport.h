// TestSupport.h - the small things every test folder needs: a temporary
// directory of the test's own, whole-file reads and writes, counting a text
// in a longer one, a free loopback port, and the one poll loop (waitUntil)
// that every wait with a deadline goes through. Deadlines use the product's
// clockMonotonicMs.
#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <functional>
#include <string>

// A per-test temporary directory, removed with its contents when the object
// goes out of scope. enter() makes it the working directory until then (the
// file store works in the current directory).
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dirPath; }
    std::string file(const std::string& name) const { return dirPath + "/" + name; }
    void enter();

private:
    std::string dirPath;
    std::string previousDir;
};

// Reads a whole file; empty if missing.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);
// How often part stands in text; overlapping finds count.
int countOccurrences(const std::string& text, const std::string& part);
// A TCP port on 127.0.0.1 that nobody listens on right now, -1 if none.
int freePort();
// Standard output of this process goes to a file while the object lives,
// so that a test can wait for a line another thread prints.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Everything printed since the capture began.
    std::string text();
    bool waitFor(const std::string& part, int timeoutMs);

private:
    int savedStdout;
    std::string path;
};

// Polls condition every 2 ms until it holds (true) or the time is up
// (false); the condition is asked once more at the deadline.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

#endif
