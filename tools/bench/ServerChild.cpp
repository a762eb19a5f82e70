// ServerChild.cpp - fork/exec of the server binary for the benchmark (see
// ServerChild.h).
#include "ServerChild.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "WireClients.h"

namespace {

const int STOP_POLLS = 100;
const int STOP_POLL_US = 100000;
const int LISTEN_POLLS = 100;
const int LISTEN_POLL_US = 50000;

}  // namespace

ServerChild::ServerChild() : pid(-1), console(-1), port(0) {}

ServerChild::~ServerChild() {
    stop();
}

bool ServerChild::start(const char* serverPath, const std::string& extraConfigLines) {
    char pattern[] = "/tmp/carvanta-bench-server-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return false;
    }
    directory = pattern;
    port = pickPort();
    FILE* config = fopen((directory + "/config.ini").c_str(), "w");
    if (config == nullptr || port <= 0) {
        if (config != nullptr) {
            fclose(config);
        }
        return false;
    }
    fprintf(config, "server_port %d\n%s", port, extraConfigLines.c_str());
    fclose(config);
    return spawn(serverPath) && waitListening();
}

void ServerChild::stop() {
    if (pid <= 0) {
        return;
    }
    ssize_t ignored = write(console, "quit\n", 5);
    (void)ignored;
    close(console);
    for (int i = 0; i < STOP_POLLS && waitpid(pid, nullptr, WNOHANG) == 0; i++) {
        usleep(STOP_POLL_US);
    }
    if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
    std::string remove = "rm -rf '" + directory + "'";
    int ignoredStatus = system(remove.c_str());
    (void)ignoredStatus;
}

int ServerChild::pickPort() {
    int descriptor = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int found = -1;
    if (bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        found = ntohs(address.sin_port);
    }
    close(descriptor);
    return found;
}

bool ServerChild::spawn(const char* serverPath) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return false;
    }
    pid = fork();
    if (pid == 0) {
        dup2(pipeEnds[0], STDIN_FILENO);
        int output = open((directory + "/server.out").c_str(), O_WRONLY | O_CREAT, 0600);
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        if (chdir(directory.c_str()) == 0) {
            execl(serverPath, serverPath, "-f", "config.ini", static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    close(pipeEnds[0]);
    console = pipeEnds[1];
    return pid > 0;
}

bool ServerChild::waitListening() {
    for (int i = 0; i < LISTEN_POLLS; i++) {
        int descriptor = connectLoopback(port);
        if (descriptor >= 0) {
            close(descriptor);
            return true;
        }
        usleep(LISTEN_POLL_US);
    }
    return false;
}
