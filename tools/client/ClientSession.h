// ClientSession.h - one connection of the client to the server, with the
// player's name and password: connects, sends requests and waits for their
// answers, sends the in-game stop message. Requests are sent from the main
// thread only; lobby messages reach the listener on the reader thread.
#ifndef CLIENTSESSION_H
#define CLIENTSESSION_H

#include "GameProtocol.h"
#include "NetClient.h"

class ClientConnection;
class MessageListener;

typedef enum {
    CLIENTERR_OK = 0,        // an answer arrived; its code is in the reply
    CLIENTERR_CONNECT = 1,   // the server could not be reached
    CLIENTERR_NOANSWER = 2,  // no answer within the handler's wait
    CLIENTERR_LOST = 3,      // the connection is gone
    CLIENTERR_PROTOCOL = 4,  // an answer without a response code
} clientErr_t;

// The answer to one request: the response code and the bytes behind it.
typedef struct {
    int code;
    char list[PROTOCOL_PAYLOAD_MAX];
    int listLength;
} clientReply_t;

class ClientSession {
public:
    ClientSession(const char* name, const char* password);
    // Closes the connection and stops the reader thread.
    ~ClientSession();
    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;

    // listener (may be null) receives every message from the first byte on.
    clientErr_t connect(const char* host, int port, MessageListener* listener);
    // The credentials, then extra bytes (a score, another player's name).
    clientErr_t request(reqType_t type, const char* extra, int extraLength, clientReply_t* reply);
    clientErr_t requestWithName(reqType_t type, const char* otherName, clientReply_t* reply);
    clientErr_t requestWithScore(int score, clientReply_t* reply);
    // The in-game stop message (credentials only).
    clientErr_t sendStop();
    bool isLost() const;
    void close();

    const char* getName() const { return name; }

private:
    int buildPayload(char* payload, const char* extra, int extraLength);

    char name[PROTOCOL_NAME_SIZE];
    char password[PROTOCOL_NAME_SIZE];
    NetClient socket;
    ClientConnection* connection;  // null until connected
};

// "the connection to the server was lost", ... for a clientErr_t.
const char* clientErrorText(clientErr_t err);

#endif
