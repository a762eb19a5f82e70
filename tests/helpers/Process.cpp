// Process.cpp - fork/exec, output file and deadline-bound waits.
#include "Process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "SimpleOsa.h"
#include "TestSupport.h"

namespace {

const int START_TIMEOUT_MS = 10000;
const char STATS_TOP[] = "|Id   |User      |***  SINGLE PLAYER GAME ***";
const char TABLE_END[] = "###########################################################";

// True if some IPv4 socket listens on the port.
bool portListening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // column titles
    char portText[8];
    snprintf(portText, sizeof portText, ":%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() >= 5 && local.compare(local.size() - 5, 5, portText) == 0) {
            return true;
        }
    }
    return false;
}

std::string procStat(pid_t pid) {
    return readFile("/proc/" + std::to_string(pid) + "/stat");
}

}  // namespace

ChildProcess::ChildProcess() : child(-1), inputFd(-1), exitStatus(-1), outputIsPrivate(false) {}

ChildProcess::~ChildProcess() {
    kill9();
    closeInput();
    if (outputIsPrivate) {
        unlink(outputPath.c_str());
    }
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workDir, int closedStream,
                         const std::string& outputFile) {
    if (child > 0) {
        return false;
    }
    exitStatus = -1;
    if (outputIsPrivate) {
        unlink(outputPath.c_str());
    }
    outputIsPrivate = outputFile.empty();
    char pattern[] = "/tmp/carvanta-output-XXXXXX";
    int output = outputIsPrivate ? mkostemp(pattern, O_CLOEXEC)
                                 : open(outputFile.c_str(),
                                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    outputPath = outputIsPrivate ? pattern : outputFile;
    int input[2];
    if (output < 0 || pipe2(input, O_CLOEXEC) != 0) {
        return false;
    }
    // Everything the child needs is prepared before the fork.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
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
    if (child < 0) {
        closeInput();
        return false;
    }
    return true;
}

bool ChildProcess::writeInput(const std::string& text) {
    return inputFd >= 0 &&
           write(inputFd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::closeInput() {
    if (inputFd >= 0) {
        close(inputFd);
        inputFd = -1;
    }
}

bool ChildProcess::reap(bool wait) {
    if (child <= 0) {
        return true;
    }
    int status = 0;
    if (waitpid(child, &status, wait ? 0 : WNOHANG) != child) {
        return false;
    }
    exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : SIGNAL_STATUS_BASE + WTERMSIG(status);
    child = -1;
    return true;
}

bool ChildProcess::waitForOutput(const std::string& text, int timeoutMs) {
    return waitUntil([&] { return output().find(text) != std::string::npos; }, timeoutMs);
}

int ChildProcess::waitExit(int timeoutMs) {
    if (waitUntil([&] { return reap(false); }, timeoutMs)) {
        return exitStatus;
    }
    kill9();
    return -1;
}

bool ChildProcess::running() {
    return !reap(false);
}

void ChildProcess::sendSignal(int sig) {
    if (child > 0) {
        kill(child, sig);
    }
}

void ChildProcess::kill9() {
    if (child > 0) {
        kill(child, SIGKILL);
        reap(true);
    }
}

std::string ChildProcess::output() const {
    return outputPath.empty() ? "" : readFile(outputPath);
}

bool ServerProcess::start(const std::string& workDir, int port,
                          const std::string& extraConfigLines) {
    serverPort = port;
    writeFile(workDir + "/config.ini",
              "server_port " + std::to_string(port) + "\n" + extraConfigLines);
    if (!ChildProcess::start(std::string(CARVANTA_BINARY_DIR) + "/CarvantaServer",
                             {"-f", "config.ini"}, workDir, -1,
                             workDir + "/server-output.txt")) {
        return false;
    }
    bool ended = false;
    bool up = waitUntil([&] { return (ended = reap(false)) || portListening(port); },
                        START_TIMEOUT_MS);
    return up && !ended;
}

int ServerProcess::stop(int timeoutMs) {
    if (child <= 0) {
        return exitStatus;
    }
    sendConsole("quit\n");
    int status = waitExit(timeoutMs);
    closeInput();
    return status;
}

std::string toolPath(const std::string& name) {
    return std::string(CARVANTA_BINARY_DIR) + "/" + name;
}

ToolRun runTool(const std::string& name, const std::vector<std::string>& args,
                const std::string& workDir, const std::string& input, int timeoutMs) {
    ChildProcess child;
    if (!child.start(toolPath(name), args, workDir)) {
        return ToolRun{-1, "could not start " + name};
    }
    if (!input.empty()) {
        child.writeInput(input);
    }
    child.closeInput();
    int status = child.waitExit(timeoutMs);
    return ToolRun{status, child.output()};
}

std::map<std::string, StatsLine> parseStatsTable(const std::string& output) {
    std::map<std::string, StatsLine> table;
    size_t top = output.rfind(STATS_TOP);
    if (top == std::string::npos) {
        return table;
    }
    std::istringstream lines(output.substr(top));
    std::string line;
    while (std::getline(lines, line)) {
        StatsLine row;
        char name[64] = {0};
        char date[64] = {0};
        if (sscanf(line.c_str(), "|%d|%63[^|]|%d|%d|%d|%63[^|]|", &row.id, name, &row.played,
                   &row.high, &row.average, date) == 6) {
            std::string trimmed(name);
            trimmed.erase(0, trimmed.find_first_not_of(' '));
            table[trimmed] = row;
        }
    }
    return table;
}

bool readStatsTable(ServerProcess* server, std::map<std::string, StatsLine>* table, int timeoutMs) {
    size_t before = server->output().size();
    if (!server->sendConsole("stats\n")) {
        return false;
    }
    std::string output;
    // The table ends with two rows of '#': the first closes the head.
    bool whole = waitUntil(
        [&] {
            output = server->output();
            size_t top = output.size() > before ? output.find(STATS_TOP, before) : std::string::npos;
            return top != std::string::npos && output.find(TABLE_END, top) != std::string::npos;
        },
        timeoutMs);
    if (whole) {
        *table = parseStatsTable(output.substr(before));
    }
    return whole;
}

bool processAlive(pid_t pid) {
    if (pid <= 0 || kill(pid, 0) != 0) {
        return false;
    }
    std::string content = procStat(pid);
    size_t close = content.rfind(')');
    return close == std::string::npos || content.size() < close + 3 || content[close + 2] != 'Z';
}

long processCpuMs(pid_t pid) {
    std::string content = procStat(pid);
    size_t close = content.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(content.substr(close + 2));
    std::string field;
    long ticks = 0;
    // utime and stime are fields 14 and 15.
    for (int index = 3; fields >> field && index <= 15; index++) {
        if (index >= 14) {
            ticks += std::stol(field);
        }
    }
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

long residentKb(pid_t pid) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return atol(line.c_str() + 6);
        }
    }
    return -1;
}
