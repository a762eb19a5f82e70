// NetClientHandlerFactory.h - how a server makes the handlers of its slots.
// Called on the server's accept thread with the server's mutex held.
#ifndef NETCLIENTHANDLERFACTORY_H
#define NETCLIENTHANDLERFACTORY_H

class NetClientHandler;
class NetServer;
class NetSocket;

class NetClientHandlerFactory {
public:
    virtual ~NetClientHandlerFactory() {}
    // A new handler; the caller owns it. The server passes a null socket and
    // attaches the connection afterwards with setSocket.
    virtual NetClientHandler* createNetClientHandler(NetServer* server, NetSocket* socket) = 0;
};

#endif
