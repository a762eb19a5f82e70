// EchoBaseline.cpp - blocking echo of fixed byte counts. The accept loop
// polls in short steps so that stop() ends it; connections are shut down to
// end their threads.
#include "EchoBaseline.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "LoadRunner.h"
#include "WireClients.h"

namespace {

const int ACCEPT_STEP_MS = 100;

}  // namespace

EchoBaseline::EchoBaseline(int requestBytes, int responseBytes)
    : requestSize(requestBytes), responseSize(responseBytes), listener(-1), running(false) {}

EchoBaseline::~EchoBaseline() {
    stop();
}

int EchoBaseline::start() {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    running = true;
    acceptThread = std::thread(&EchoBaseline::acceptLoop, this);
    return ntohs(address.sin_port);
}

void EchoBaseline::acceptLoop() {
    while (running) {
        struct pollfd watched = {listener, POLLIN, 0};
        if (poll(&watched, 1, ACCEPT_STEP_MS) != 1) {
            continue;
        }
        int descriptor = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (descriptor < 0) {
            continue;
        }
        std::lock_guard<std::mutex> lock(connectionsMutex);
        connections.push_back(descriptor);
        connectionThreads.emplace_back(&EchoBaseline::serve, this, descriptor);
    }
}

void EchoBaseline::serve(int descriptor) {
    std::string request(requestSize, '\0');
    std::string response(responseSize, 'r');
    while (receiveAllBytes(descriptor, &request[0], request.size()) &&
           sendAllBytes(descriptor, response.data(), response.size())) {
    }
}

void EchoBaseline::stop() {
    if (!running.exchange(false)) {
        return;
    }
    acceptThread.join();
    std::lock_guard<std::mutex> lock(connectionsMutex);
    for (int descriptor : connections) {
        shutdown(descriptor, SHUT_RDWR);
    }
    for (std::thread& thread : connectionThreads) {
        thread.join();
    }
    for (int descriptor : connections) {
        close(descriptor);
    }
    close(listener);
}

EchoProcess::EchoProcess(int requestBytes, int responseBytes)
    : requestSize(requestBytes),
      responseSize(responseBytes),
      pid(-1),
      control(-1),
      childSeconds(0) {}

EchoProcess::~EchoProcess() {
    stop();
}

int EchoProcess::start() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return -1;
    }
    // Nothing buffered may be printed twice.
    fflush(stdout);
    pid = fork();
    if (pid == 0) {
        close(ends[0]);
        EchoBaseline echo(requestSize, responseSize);
        int port = echo.start();
        char ignored;
        if (write(ends[1], &port, sizeof port) == static_cast<ssize_t>(sizeof port) && port > 0) {
            while (read(ends[1], &ignored, 1) > 0) {
            }
        }
        echo.stop();
        _exit(0);
    }
    close(ends[1]);
    control = ends[0];
    int port = -1;
    if (pid < 0 || read(control, &port, sizeof port) != static_cast<ssize_t>(sizeof port)) {
        stop();
        return -1;
    }
    return port;
}

void EchoProcess::stop() {
    if (control >= 0) {
        close(control);
        control = -1;
    }
    if (pid > 0) {
        struct rusage usage = {};
        if (wait4(pid, nullptr, 0, &usage) == pid) {
            childSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        }
        pid = -1;
    }
}

LoadResult runEchoLoad(bool ownProcess, int clients, int count, int requestBytes, int responseBytes,
                       double* childSeconds) {
    EchoBaseline inProcess(requestBytes, responseBytes);
    EchoProcess child(requestBytes, responseBytes);
    int port = ownProcess ? child.start() : inProcess.start();
    LoadResult result = runLoad(clients, count, port, [&](int) {
        return std::unique_ptr<LoadClient>(new EchoClient(requestBytes, responseBytes));
    });
    child.stop();
    if (childSeconds != nullptr) {
        *childSeconds = child.processorSeconds();
    }
    return result;
}
