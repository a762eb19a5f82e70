// NetClient.h - the client side's connecting socket (game client, tools,
// tests); the server does not use it. Read and written like any NetSocket.
#ifndef NETCLIENT_H
#define NETCLIENT_H

#include "NetSocket.h"

class NetClient : public NetSocket {
public:
    NetClient();
    ~NetClient() override;

    // ipAddress is a dotted-decimal IPv4 address or a host name (the first
    // IPv4 address found is used). SOCKERR_CONNECTERROR if the lookup or the
    // connect fails, or if this socket still holds a connection.
    sockErr_t connectToServer(char* ipAddress, int port);
};

#endif
