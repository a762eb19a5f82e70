// NetClient.cpp - IPv4 connect by dotted address or host name. Called by
// the thread that owns the client before its handler starts reading.
#include "NetClient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Fills address with ipAddress, looked up as a host name if it is not a
// dotted-decimal address. False if neither works.
bool resolveAddress(const char* ipAddress, in_addr* address) {
    if (ipAddress == nullptr) {
        return false;
    }
    if (inet_pton(AF_INET, ipAddress, address) == 1) {
        return true;
    }
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(ipAddress, nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

}  // namespace

NetClient::NetClient() {}

NetClient::~NetClient() {}

sockErr_t NetClient::connectToServer(char* ipAddress, int port) {
    if (!descriptorReleased()) {
        return SOCKERR_CONNECTERROR;
    }
    memset(&service, 0, sizeof service);
    service.sin_family = AF_INET;
    service.sin_port = htons(static_cast<uint16_t>(port));
    if (!resolveAddress(ipAddress, &service.sin_addr)) {
        return SOCKERR_CONNECTERROR;
    }
    SOCKET descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor == INVALID_SOCKET) {
        return SOCKERR_CONNECTERROR;
    }
    if (connect(descriptor, reinterpret_cast<sockaddr*>(&service), sizeof service) != 0) {
        close(descriptor);
        return SOCKERR_CONNECTERROR;
    }
    resetReading();
    if (!attachDescriptor(descriptor)) {
        close(descriptor);
        return SOCKERR_CONNECTERROR;
    }
    return SOCKERR_OK;
}
