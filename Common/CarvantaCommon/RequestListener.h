// RequestListener.h - answers the request envelopes of a connection, on that
// connection's reader thread; the handler sends the response at once.
#ifndef REQUESTLISTENER_H
#define REQUESTLISTENER_H

#include "GameProtocol.h"

class GameClientHandler;

class RequestListener {
public:
    virtual ~RequestListener() {}
    // requestData holds requestDataLength payload bytes. The listener writes
    // its response payload (at most PROTOCOL_PAYLOAD_MAX bytes) into
    // responseData and must set *respDataLength on every path.
    virtual void handleRequest(GameClientHandler* handler, reqType_t request, char* requestData,
                               int requestDataLength, char* responseData, int* respDataLength) = 0;
};

#endif
