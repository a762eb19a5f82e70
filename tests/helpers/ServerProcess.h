// ServerProcess.h - runs the real CarvantaServer binary as a console server
// in a working directory of the test's own, with standard input a pipe and
// standard output and error captured in a file there. Used from one test
// thread; every wait has a deadline.
#ifndef SERVERPROCESS_H
#define SERVERPROCESS_H

#include <sys/types.h>

#include <string>

class ServerProcess {
public:
    ServerProcess();
    // Kills a server that is still running.
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Writes config.ini (server_port, then extraConfigLines as given), starts
    // CARVANTA_BINARY_DIR "/CarvantaServer" -f config.ini in workDir and
    // waits until the server is listening (deadline). False if it exited or
    // did not come up in time; the output is kept for the failure message.
    bool start(const std::string& workDir, int port, const std::string& extraConfigLines = "");
    // Writes one console line as it stands (give the "\n").
    bool sendConsole(const std::string& line);
    // "quit\n", then waits for the exit (SIGKILL at the deadline). Returns the
    // exit status, 128 + signal for a killed process, -1 if none was running.
    int stop(int timeoutMs = 10000);
    void kill9();
    bool isRunning();
    // Everything the server printed so far.
    std::string output() const;
    bool waitForOutput(const std::string& text, int timeoutMs);
    int port() const { return serverPort; }
    // The running server's process id, -1 when none runs.
    pid_t pid() const { return child; }

private:
    // Reaps the child if it has ended; true if it has.
    bool reap(bool wait);
    void closeConsole();

    pid_t child;
    int consolePipe;
    int exitStatus;
    int serverPort;
    std::string outputPath;
};

#endif
