// ChildProcess.cpp - fork/exec with pipes and deadline-bound waits.
#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

long nowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (childPid > 0 && !exited) {
        kill(childPid, SIGKILL);
        waitpid(childPid, nullptr, 0);
    }
    closeInput();
    if (outputFd >= 0) {
        close(outputFd);
    }
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workDir, int closedStream) {
    int input[2];
    int output[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
        return false;
    }
    childPid = fork();
    if (childPid < 0) {
        return false;
    }
    if (childPid == 0) {
        dup2(input[0], 0);
        dup2(output[1], 1);
        dup2(output[1], 2);
        if (closedStream >= 0) {
            close(closedStream);
        }
        if (chdir(workDir.c_str()) != 0) {
            _exit(127);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    inputFd = input[1];
    outputFd = output[0];
    signal(SIGPIPE, SIG_IGN);
    return true;
}

bool ChildProcess::writeInput(const std::string& text) {
    if (inputFd < 0) {
        return false;
    }
    return write(inputFd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::closeInput() {
    if (inputFd >= 0) {
        close(inputFd);
        inputFd = -1;
    }
}

void ChildProcess::collect(int timeoutMs) {
    if (outputFd < 0) {
        return;
    }
    pollfd watched = {outputFd, POLLIN, 0};
    if (poll(&watched, 1, timeoutMs) <= 0) {
        return;
    }
    char buffer[4096];
    ssize_t count = read(outputFd, buffer, sizeof buffer);
    if (count > 0) {
        collected.append(buffer, count);
    } else {
        close(outputFd);
        outputFd = -1;
    }
}

bool ChildProcess::waitForOutput(const std::string& text, int timeoutMs) {
    long deadline = nowMs() + timeoutMs;
    while (collected.find(text) == std::string::npos) {
        long left = deadline - nowMs();
        if (left <= 0 || outputFd < 0) {
            return collected.find(text) != std::string::npos;
        }
        collect(static_cast<int>(left < 100 ? left : 100));
    }
    return true;
}

int ChildProcess::waitExit(int timeoutMs) {
    long deadline = nowMs() + timeoutMs;
    while (!exited) {
        int status = 0;
        pid_t done = waitpid(childPid, &status, WNOHANG);
        if (done == childPid) {
            exited = true;
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -2 - WTERMSIG(status);
            break;
        }
        if (nowMs() >= deadline) {
            kill(childPid, SIGKILL);
            waitpid(childPid, nullptr, 0);
            exited = true;
            exitStatus = -1;
            break;
        }
        collect(20);
    }
    while (outputFd >= 0) {
        collect(200);  // the rest of the output, up to the pipe's end
    }
    return exitStatus;
}

bool ChildProcess::running() {
    if (exited) {
        return false;
    }
    int status = 0;
    pid_t done = waitpid(childPid, &status, WNOHANG);
    if (done == childPid) {
        exited = true;
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -2 - WTERMSIG(status);
    }
    return !exited;
}

void ChildProcess::sendSignal(int sig) {
    if (childPid > 0 && !exited) {
        kill(childPid, sig);
    }
}

std::string ChildProcess::output() {
    collect(0);
    return collected;
}

long processCpuMs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = content.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(content.substr(close + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int index = 3; fields >> field; index++) {
        if (index == 14) {
            utime = std::stol(field);
        } else if (index == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return (utime + stime) * 1000 / sysconf(_SC_CLK_TCK);
}

bool waitForFile(const std::string& path, int timeoutMs) {
    long deadline = nowMs() + timeoutMs;
    while (nowMs() < deadline) {
        std::ifstream file(path);
        if (file && file.peek() != std::ifstream::traits_type::eof()) {
            return true;
        }
        usleep(20000);
    }
    return false;
}

bool processAlive(pid_t pid) {
    if (pid <= 0 || kill(pid, 0) != 0) {
        return false;
    }
    // A zombie that nobody has reaped yet has ended all the same.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = content.rfind(')');
    return close == std::string::npos || content.size() < close + 3 || content[close + 2] != 'Z';
}
