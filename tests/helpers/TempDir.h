// TempDir.h - a per-test temporary directory, removed with its contents when
// the object goes out of scope. enter() makes it the working directory until
// destruction (the file store works in the current directory).
#ifndef TEMPDIR_H
#define TEMPDIR_H

#include <string>

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

#endif
