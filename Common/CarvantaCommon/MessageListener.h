// MessageListener.h - receives the message envelopes of a connection, on
// that connection's reader thread.
#ifndef MESSAGELISTENER_H
#define MESSAGELISTENER_H

#include "GameProtocol.h"

class GameClientHandler;

class MessageListener {
public:
    virtual ~MessageListener() {}
    // messageData holds dataLength payload bytes (dataLength may be 0).
    virtual void handleMessage(GameClientHandler* handler, msgType_t message, char* messageData,
                               int dataLength) = 0;
};

#endif
