// Process.h - the one process runner: input on a pipe, output and errors in a file.
#ifndef PROCESS_H
#define PROCESS_H

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TestSupport.h"

class ChildProcess {
public:
    ChildProcess() = default;
    virtual ~ChildProcess() {
        kill9();
        closeInput();
        if (outputIsPrivate) {
            unlink(outputPath.c_str());
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Output to outputFile (kept) or else to a private file. closedStream (0, 1 or 2) starts the
    // program with that standard stream closed, as a shell's "<&-" or a supervisor may.
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::string& workDir, int closedStream = -1,
               const std::string& outputFile = "") {
        if (child > 0) {
            return false;
        }
        if (outputIsPrivate) {
            unlink(outputPath.c_str());
        }
        exitStatus = -1;
        outputIsPrivate = outputFile.empty();
        char pattern[] = "/tmp/carvanta-output-XXXXXX";
        int output = outputIsPrivate
                         ? mkostemp(pattern, O_CLOEXEC)
                         : open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        outputPath = outputIsPrivate ? pattern : outputFile;
        int input[2];
        if (output < 0 || pipe2(input, O_CLOEXEC) != 0) {
            return false;
        }
        std::vector<char*> argv = {const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        child = fork();
        if (child == 0) {
            dup2(input[0], STDIN_FILENO);
            dup2(output, STDOUT_FILENO);
            dup2(output, STDERR_FILENO);
            if (closedStream >= 0) {
                close(closedStream);
            }
            if (chdir(workDir.c_str()) == 0) {
                execv(argv[0], argv.data());
            }
            _exit(127);
        }
        close(input[0]);
        close(output);
        inputFd = input[1];
        signal(SIGPIPE, SIG_IGN);
        return child > 0;
    }
    bool writeInput(const std::string& text) {
        return inputFd >= 0 &&
               write(inputFd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void closeInput() {
        if (inputFd >= 0) {
            close(inputFd);
        }
        inputFd = -1;
    }
    bool waitForOutput(const std::string& text, int timeoutMs) {
        return waitUntil([&] { return output().find(text) != std::string::npos; }, timeoutMs);
    }
    // The exit status, 128 + signal for a killed child, or -1 after killing it at the deadline.
    int waitExit(int timeoutMs) {
        if (waitUntil([&] { return reap(false); }, timeoutMs)) {
            return exitStatus;
        }
        kill9();
        return -1;
    }
    bool running() { return !reap(false); }
    void sendSignal(int sig) {
        if (child > 0) {
            kill(child, sig);
        }
    }
    void kill9() {
        sendSignal(SIGKILL);
        reap(true);
    }
    std::string output() const { return outputPath.empty() ? "" : readFile(outputPath); }
    pid_t pid() const { return child; }  // -1 when none runs

protected:
    bool reap(bool wait) {
        int status = 0;
        if (child > 0 && waitpid(child, &status, wait ? 0 : WNOHANG) != child) {
            return false;
        }
        if (child > 0) {
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        child = -1;
        return true;
    }

    pid_t child = -1;
    int inputFd = -1;
    int exitStatus = -1;
    std::string outputPath;
    bool outputIsPrivate = false;
};

// The server binary as a console server: config.ini with server_port and the extra lines, its
// output in workDir/server-output.txt; start() returns once it logs that it listens.
class ServerProcess : public ChildProcess {
public:
    static constexpr const char* LISTENING = "INFO: Listening on port ";
    bool start(const std::string& workDir, int port, const std::string& extraConfigLines = "") {
        serverPort = port;
        writeFile(workDir + "/config.ini",
                  "server_port " + std::to_string(port) + "\n" + extraConfigLines);
        bool ended = false;
        return ChildProcess::start(std::string(CARVANTA_BINARY_DIR) + "/CarvantaServer",
                                   {"-f", "config.ini"}, workDir, -1,
                                   workDir + "/server-output.txt") &&
               waitUntil([&] { return (ended = reap(false)) || waitForOutput(LISTENING, 0); },
                         10000) &&
               !ended;
    }
    bool sendConsole(const std::string& line) { return writeInput(line); }  // give the "\n"
    // "quit", then the exit status (SIGKILL at the deadline).
    int stop(int timeoutMs = 10000) {
        sendConsole("quit\n");
        int status = waitExit(timeoutMs);
        closeInput();
        return status;
    }
    int port() const { return serverPort; }

private:
    int serverPort = 0;
};

struct ToolRun {
    int status;  // -1 when killed at the deadline
    std::string output;
};

inline std::string toolPath(const std::string& name) {
    return std::string(CARVANTA_BINARY_DIR) + "/" + name;
}

// Runs one of the project's programs to its end with text on its input (status -1 if it
// cannot start).
inline ToolRun runTool(const std::string& name, const std::vector<std::string>& args,
                       const std::string& workDir, const std::string& input = "",
                       int timeoutMs = 10000) {
    ChildProcess child;
    child.start(toolPath(name), args, workDir);
    child.writeInput(input);
    child.closeInput();
    return ToolRun{child.waitExit(timeoutMs), child.output()};  // in this order
}

inline std::string procStatFromState(pid_t pid) {
    std::string content = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = content.rfind(')');
    return close == std::string::npos ? "" : content.substr(close + 2);  // from the state on
}

inline bool processAlive(pid_t pid) {
    return pid > 0 && kill(pid, 0) == 0 && procStatFromState(pid).compare(0, 1, "Z") != 0;
}

// CPU time (user + system, fields 14 and 15 of /proc/<pid>/stat) in milliseconds.
inline long processCpuMs(pid_t pid) {
    long user = 0;
    long system = 0;
    if (sscanf(procStatFromState(pid).c_str(),
               "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %ld %ld", &user, &system) != 2) {
        return -1;
    }
    return (user + system) * 1000 / sysconf(_SC_CLK_TCK);
}

inline long residentKb(pid_t pid) {
    std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

#endif
