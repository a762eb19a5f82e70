// ServerProcess.cpp - fork/exec of the server binary for end-to-end tests.
// Readiness is seen in /proc/net/tcp (a listening socket on the port), so
// no probe connection shows up in the server's log or lobby.
#include "ServerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "LoopbackClient.h"
#include "TempDir.h"

namespace {

const int START_TIMEOUT_MS = 10000;
const int POLL_STEP_MS = 10;
const char* const TCP_TABLE = "/proc/net/tcp";
const char* const LISTEN_STATE = "0A";
const int SIGNAL_STATUS_BASE = 128;

// True if some IPv4 socket listens on the port.
bool portListening(int port) {
    std::ifstream table(TCP_TABLE);
    std::string line;
    std::getline(table, line);  // column titles
    char portText[8];
    snprintf(portText, sizeof portText, ":%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == LISTEN_STATE && local.size() >= 5 &&
            local.compare(local.size() - 5, 5, portText) == 0) {
            return true;
        }
    }
    return false;
}

void sleepMs(int milliseconds) {
    usleep(static_cast<useconds_t>(milliseconds) * 1000);
}

}  // namespace

ServerProcess::ServerProcess() : child(-1), consolePipe(-1), exitStatus(-1), serverPort(0) {}

ServerProcess::~ServerProcess() {
    kill9();
    closeConsole();
}

bool ServerProcess::start(const std::string& workDir, int port,
                          const std::string& extraConfigLines) {
    if (child > 0) {
        return false;
    }
    serverPort = port;
    exitStatus = -1;
    writeFile(workDir + "/config.ini",
              "server_port " + std::to_string(port) + "\n" + extraConfigLines);
    outputPath = workDir + "/server-output.txt";
    std::string binary = std::string(CARVANTA_BINARY_DIR) + "/CarvantaServer";
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return false;
    }
    int outputFile = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (outputFile < 0) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return false;
    }
    // Everything the child needs is prepared before the fork.
    char* arguments[] = {const_cast<char*>(binary.c_str()), const_cast<char*>("-f"),
                         const_cast<char*>("config.ini"), nullptr};
    child = fork();
    if (child == 0) {
        if (chdir(workDir.c_str()) != 0) {
            _exit(127);
        }
        dup2(pipeEnds[0], STDIN_FILENO);
        dup2(outputFile, STDOUT_FILENO);
        dup2(outputFile, STDERR_FILENO);
        execv(arguments[0], arguments);
        _exit(127);
    }
    ::close(pipeEnds[0]);
    ::close(outputFile);
    consolePipe = pipeEnds[1];
    if (child < 0) {
        closeConsole();
        return false;
    }
    long long deadline = monotonicMs() + START_TIMEOUT_MS;
    while (monotonicMs() < deadline) {
        if (reap(false)) {
            return false;
        }
        if (portListening(port)) {
            return true;
        }
        sleepMs(POLL_STEP_MS);
    }
    return false;
}

bool ServerProcess::sendConsole(const std::string& line) {
    if (consolePipe < 0) {
        return false;
    }
    ssize_t written = write(consolePipe, line.data(), line.size());
    return written == static_cast<ssize_t>(line.size());
}

bool ServerProcess::reap(bool wait) {
    if (child <= 0) {
        return true;
    }
    int status = 0;
    pid_t result = waitpid(child, &status, wait ? 0 : WNOHANG);
    if (result == 0) {
        return false;
    }
    if (result == child) {
        if (WIFEXITED(status)) {
            exitStatus = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            exitStatus = SIGNAL_STATUS_BASE + WTERMSIG(status);
        }
    }
    child = -1;
    return true;
}

int ServerProcess::stop(int timeoutMs) {
    if (child <= 0) {
        return exitStatus;
    }
    sendConsole("quit\n");
    long long deadline = monotonicMs() + timeoutMs;
    while (monotonicMs() < deadline) {
        if (reap(false)) {
            closeConsole();
            return exitStatus;
        }
        sleepMs(POLL_STEP_MS);
    }
    kill9();
    closeConsole();
    return exitStatus;
}

void ServerProcess::kill9() {
    if (child > 0) {
        kill(child, SIGKILL);
        reap(true);
    }
}

bool ServerProcess::isRunning() {
    return !reap(false);
}

void ServerProcess::closeConsole() {
    if (consolePipe >= 0) {
        ::close(consolePipe);
        consolePipe = -1;
    }
}

std::string ServerProcess::output() const {
    return readFile(outputPath);
}

bool ServerProcess::waitForOutput(const std::string& text, int timeoutMs) {
    long long deadline = monotonicMs() + timeoutMs;
    for (;;) {
        if (output().find(text) != std::string::npos) {
            return true;
        }
        if (monotonicMs() >= deadline) {
            return false;
        }
        sleepMs(POLL_STEP_MS);
    }
}
