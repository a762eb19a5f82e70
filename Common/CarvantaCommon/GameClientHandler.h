// GameClientHandler.h - the protocol endpoint of one connection. The reader
// thread cuts envelopes out of the byte stream, decodes them and dispatches
// them: requests to the RequestListener (answered at once on that thread),
// messages to the MessageListener, responses to a waiting sendRequest.
// sendMutex serialises building and writing outgoing envelopes; mutex guards
// the listeners and the response rendezvous. Lock order: the base's
// dataMutex, then mutex; sendMutex, then the base's dataMutex.
#ifndef GAMECLIENTHANDLER_H
#define GAMECLIENTHANDLER_H

#include <pthread.h>

#include "GameProtocol.h"
#include "MessageListener.h"
#include "NetClientHandler.h"
#include "RequestListener.h"

class LinearBlock;

// How long sendRequest waits for its response.
const long GAMECLIENTHANDLER_RESPONSE_WAIT_MS = 3000;
// The largest envelope: header, fields and the largest payload.
const int GAMECLIENTHANDLER_ENVELOPE_MAX = ENVELOPE_OVERHEAD + PROTOCOL_PAYLOAD_MAX;

class GameClientHandler : public NetClientHandler {
public:
    // client: a connected socket to read at once (client side), or null
    // (the server attaches connections later).
    explicit GameClientHandler(NetSocket* client);
    // Stops the reader thread, then frees the buffers.
    ~GameClientHandler() override;

    // Any thread; the next envelope dispatched uses the new listener.
    void setMessageListener(MessageListener* listener);
    void setRequestListener(RequestListener* listener);

    // Any thread. SOCKERR_OK when written; the write's error otherwise,
    // SOCKERR_WRITEERROR without a connection or for a length outside
    // 0..PROTOCOL_PAYLOAD_MAX (messageData may be null only with 0).
    sockErr_t sendMessage(msgType_t message, char* messageData, int dataLength);
    // sendMessage, but only to the connection that the handler's
    // getConnectionCount() named when the caller took the handler; a later
    // connection on this handler gets nothing (SOCKERR_WRITEERROR).
    sockErr_t sendMessageTo(unsigned int connection, msgType_t message, char* messageData,
                            int dataLength);
    // Sends a request and waits for its response (not on the reader thread,
    // which receives it). On SOCKERR_OK the payload is in responsePayload (room
    // for PROTOCOL_PAYLOAD_MAX bytes) and its length in *responseDataLength.
    // SOCKERR_CONNECTERROR when no response of that type arrives within
    // GAMECLIENTHANDLER_RESPONSE_WAIT_MS or the connection is lost first;
    // the write's error if the request could not be sent. One request is
    // outstanding per handler; concurrent callers take turns.
    sockErr_t sendRequest(reqType_t request, char* requestData, int dataLength,
                          char* responsePayload, int* responseDataLength);

    // Reader thread.
    void messageReceived(char* data, int bytesRead) override;
    // Reader thread, once per ended connection: drops a partial envelope
    // and fails a pending sendRequest.
    void socketClosed(NetSocket* closedSocket) override;

private:
    // Stream assembly (reader thread). Each returns the bytes it used, or
    // -1 after the connection was refused.
    int continuePending(char* data, int bytesRead);
    int takeEnvelope(char* bytes, int available);
    int appendPending(char* bytes, int available, int target);
    // Size of the envelope whose first 12 bytes are given, or -1 (refused).
    int envelopeSize(char* bytes, int* commType);
    bool dispatchEnvelope(char* bytes, int total);
    // Reads commType, id and length of the decoded envelope in dataInBuffer.
    void readEnvelopeFields(int* commType, int* identifier, int* length);
    void refuseStream(const char* reason);

    void handleRequest(reqType_t request, int length);
    void handleResponse(reqType_t request, int length);
    void handleMessage(msgType_t message, int length);
    // connection: the connection it is meant for; null for whichever is
    // attached.
    sockErr_t sendEnvelope(char commType, char id, char* data, int dataLength,
                           const unsigned int* connection);  // EXCLUDES(sendMutex)
    sockErr_t awaitResponse(int* responseDataLength);  // EXCLUDES(mutex)

    MessageListener* messageListener;         // GUARDED_BY(mutex)
    RequestListener* requestListener;         // GUARDED_BY(mutex)
    LinearBlock* responseBuffer;              // reader thread only
    LinearBlock* dataInBuffer;                // reader thread only
    LinearBlock* requestOutBuffer;            // GUARDED_BY(sendMutex)
    char blockData[PROTOCOL_BUFFER_SIZE];     // reader thread only
    char responseData[PROTOCOL_BUFFER_SIZE];  // reader thread only
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    pthread_mutex_t sendMutex;
    pthread_mutex_t requestMutex;  // held for the whole of one sendRequest

    // Response rendezvous, GUARDED_BY(mutex). A response is taken only
    // while a request of its type waits, so nothing that arrived before the
    // request was written is taken for its answer.
    reqType_t lastRespondedRequest;
    reqType_t waitingRequest;
    char* respondedData;  // the waiting caller's buffer; null when none waits
    int respondedDataLength;
    bool responseArrived;
    bool requestFailed;

    // Bytes of an envelope that arrived only in part (reader thread only).
    char streamBuffer[GAMECLIENTHANDLER_ENVELOPE_MAX];
    int streamLength;
    bool streamRefused;
};

#endif
