// ChildProcess.h - runs a program as a child with its standard input on a
// pipe and its standard output and error collected, for tests that drive
// the server binary. Every wait takes a deadline; the destructor kills a
// child that is still running.
#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts program with args in workDir. False if it could not start.
    // closedStream (0, 1 or 2) starts the program with that standard stream
    // closed, as a shell's "<&-" or a supervisor may.
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::string& workDir, int closedStream = -1);
    bool writeInput(const std::string& text);
    void closeInput();
    // Collects output until text appears or the deadline passes.
    bool waitForOutput(const std::string& text, int timeoutMs);
    // Waits for the exit; the exit status, or -1 after killing it at the
    // deadline (or -2 - signal number when a signal ended it).
    int waitExit(int timeoutMs);
    bool running();
    void sendSignal(int sig);
    std::string output();
    pid_t pid() const { return childPid; }

private:
    void collect(int timeoutMs);

    pid_t childPid = -1;
    int inputFd = -1;
    int outputFd = -1;
    int exitStatus = -1;
    bool exited = false;
    std::string collected;
};

// Milliseconds of CPU time (user + system) the process has used so far.
long processCpuMs(pid_t pid);
// Polls until the file exists and is non-empty.
bool waitForFile(const std::string& path, int timeoutMs);
// True while a process of that pid exists.
bool processAlive(pid_t pid);

#endif
