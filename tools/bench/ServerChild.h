// ServerChild.h - the CarvantaServer binary as a child of the benchmark, in
// a temporary directory of its own with its output in a file there. Used
// from the main thread only; stop() waits at most 10 s before it kills.
#ifndef SERVERCHILD_H
#define SERVERCHILD_H

#include <sys/types.h>

#include <string>

class ServerChild {
public:
    ServerChild();
    ~ServerChild();
    ServerChild(const ServerChild&) = delete;
    ServerChild& operator=(const ServerChild&) = delete;

    // Writes config.ini (server_port, then extraConfigLines), starts the
    // server and waits until it listens. False if it did not come up.
    bool start(const char* serverPath, const std::string& extraConfigLines = "");
    // "quit" on the console, then SIGKILL after the deadline; removes the
    // directory.
    void stop();
    int getPort() const { return port; }
    // The server's process id while it runs, else -1.
    pid_t getPid() const { return pid; }
    const std::string& getDirectory() const { return directory; }

private:
    static int pickPort();
    bool spawn(const char* serverPath);
    bool waitListening();

    pid_t pid;
    int console;
    int port;
    std::string directory;
};

#endif
