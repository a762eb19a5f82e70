// GameClientHandler.cpp - envelopes out of the byte stream and into it. An
// envelope is decoded only once all of its 12 + length bytes are in; one
// that cannot be trusted closes the connection, since the stream cannot be
// resynchronised after it.
#include "GameClientHandler.h"

#include <stdio.h>
#include <string.h>

#include "LinearBlock.h"
#include "MutexGuard.h"
#include "OsaLog.h"
#include "SimpleOsa.h"

namespace {

const int LOG_LINE_MAX = 256;

bool commTypeKnown(int commType) {
    return commType == COMMTYPE_MESSAGE || commType == COMMTYPE_REQUEST ||
           commType == COMMTYPE_RESPONSE;
}

}  // namespace

GameClientHandler::GameClientHandler(NetSocket* client)
    : NetClientHandler(client),
      messageListener(nullptr),
      requestListener(nullptr),
      responseBuffer(new LinearBlock(PROTOCOL_BUFFER_SIZE)),
      dataInBuffer(new LinearBlock(PROTOCOL_BUFFER_SIZE)),
      requestOutBuffer(new LinearBlock(PROTOCOL_BUFFER_SIZE)),
      blockData(),
      responseData(),
      lastRespondedRequest(REQ_SIGNUP),
      waitingRequest(REQ_SIGNUP),
      respondedData(nullptr),
      respondedDataLength(0),
      responseArrived(false),
      requestFailed(false),
      streamBuffer(),
      streamLength(0),
      streamRefused(false) {
    osaErr_t err = mutexCreate(&mutex);
    ASSERT(err == OSAERR_OK);
    err = mutexCreate(&sendMutex);
    ASSERT(err == OSAERR_OK);
    err = mutexCreate(&requestMutex);
    ASSERT(err == OSAERR_OK);
    threadConditionCreate(&condition);
    // Last: the reader thread may now call into this object.
    startReading();
}

GameClientHandler::~GameClientHandler() {
    // The reader thread must be gone before the members it uses.
    destroyHandler();
    threadConditionDestroy(&condition);
    mutexDestroy(&requestMutex);
    mutexDestroy(&sendMutex);
    mutexDestroy(&mutex);
    delete requestOutBuffer;
    delete dataInBuffer;
    delete responseBuffer;
}

void GameClientHandler::setMessageListener(MessageListener* listener) {
    MutexGuard guard(&mutex);
    messageListener = listener;
}

void GameClientHandler::setRequestListener(RequestListener* listener) {
    MutexGuard guard(&mutex);
    requestListener = listener;
}

void GameClientHandler::messageReceived(char* data, int bytesRead) {
    if (streamRefused) {
        return;  // the connection is closing; nothing more is dispatched
    }
    int offset = 0;
    if (streamLength > 0) {
        offset = continuePending(data, bytesRead);
        if (offset < 0 || streamLength > 0) {
            return;
        }
    }
    while (offset < bytesRead) {
        int used = takeEnvelope(data + offset, bytesRead - offset);
        if (used < 0) {
            return;
        }
        if (used == 0) {
            appendPending(data + offset, bytesRead - offset, GAMECLIENTHANDLER_ENVELOPE_MAX);
            return;
        }
        offset += used;
    }
}

int GameClientHandler::appendPending(char* bytes, int available, int target) {
    int count = target - streamLength;
    if (count > available) {
        count = available;
    }
    if (count <= 0) {
        return 0;
    }
    memcpy(streamBuffer + streamLength, bytes, count);
    streamLength += count;
    return count;
}

int GameClientHandler::continuePending(char* data, int bytesRead) {
    int used = appendPending(data, bytesRead, ENVELOPE_OVERHEAD);
    if (streamLength < ENVELOPE_OVERHEAD) {
        return used;
    }
    int commType = 0;
    int total = envelopeSize(streamBuffer, &commType);
    if (total < 0) {
        return -1;
    }
    used += appendPending(data + used, bytesRead - used, total);
    if (streamLength < total) {
        return used;
    }
    streamLength = 0;
    if (!dispatchEnvelope(streamBuffer, total)) {
        return -1;
    }
    return used;
}

int GameClientHandler::takeEnvelope(char* bytes, int available) {
    if (available < ENVELOPE_OVERHEAD) {
        return 0;
    }
    int commType = 0;
    int total = envelopeSize(bytes, &commType);
    if (total < 0) {
        return -1;
    }
    if (available < total) {
        return 0;
    }
    return dispatchEnvelope(bytes, total) ? total : -1;
}

int GameClientHandler::envelopeSize(char* bytes, int* commType) {
    // Only the 6 field bytes are decoded here: the key windows start afresh
    // with every envelope, so they decode alone.
    dataInBuffer->importBlockData(bytes, ENVELOPE_OVERHEAD);
    if (!dataInBuffer->headerIsValid()) {
        refuseStream("Envelope header cannot be decoded, connection closed\n");
        return -1;
    }
    dataInBuffer->deobfuscateData();
    int identifier = 0;
    int length = 0;
    readEnvelopeFields(commType, &identifier, &length);
    if (length < 0 || length > PROTOCOL_PAYLOAD_MAX) {
        char line[LOG_LINE_MAX];
        snprintf(line, sizeof line, "Envelope length %d out of range, connection closed\n", length);
        refuseStream(line);
        return -1;
    }
    if (!commTypeKnown(*commType)) {
        printf("#####Data error\n");
        fflush(stdout);
        char line[LOG_LINE_MAX];
        snprintf(line, sizeof line, "Envelope of unknown type %d, connection closed\n", *commType);
        refuseStream(line);
        return -1;
    }
    return ENVELOPE_OVERHEAD + length;
}

void GameClientHandler::readEnvelopeFields(int* commType, int* identifier, int* length) {
    dataInBuffer->reset();
    char type = 0;
    char id = 0;
    dataInBuffer->getData(&type);
    dataInBuffer->getData(&id);
    dataInBuffer->getData(length);
    // Both bytes are read back as signed, as every peer writes them.
    *commType = static_cast<signed char>(type);
    *identifier = static_cast<signed char>(id);
}

bool GameClientHandler::dispatchEnvelope(char* bytes, int total) {
    dataInBuffer->importBlockData(bytes, total);
    if (dataInBuffer->deobfuscateData()) {
        refuseStream("Envelope checksum mismatch, connection closed\n");
        return false;
    }
    int type = 0;
    int identifier = 0;
    int length = 0;
    readEnvelopeFields(&type, &identifier, &length);
    if (length > 0) {
        dataInBuffer->getData(blockData, length);
    }
    if (type == COMMTYPE_REQUEST) {
        handleRequest(static_cast<reqType_t>(identifier), length);
    } else if (type == COMMTYPE_RESPONSE) {
        handleResponse(static_cast<reqType_t>(identifier), length);
    } else {
        handleMessage(static_cast<msgType_t>(identifier), length);
    }
    return true;
}

void GameClientHandler::refuseStream(const char* reason) {
    osaLogError(reason);
    streamLength = 0;
    streamRefused = true;
    closeConnection();
}

void GameClientHandler::handleRequest(reqType_t request, int length) {
    RequestListener* listener;
    {
        MutexGuard guard(&mutex);
        listener = requestListener;
    }
    if (listener == nullptr) {
        return;  // nobody serves requests here: no response
    }
    int responseLength = 0;
    listener->handleRequest(this, request, blockData, length, responseData, &responseLength);
    if (responseLength < 0 || responseLength > PROTOCOL_PAYLOAD_MAX) {
        char line[LOG_LINE_MAX];
        snprintf(line, sizeof line, "Response to request %d has length %d, sent empty\n",
                 static_cast<int>(request), responseLength);
        osaLogError(line);
        responseLength = 0;
    }
    responseBuffer->setVirtualBlockSize(responseLength + ENVELOPE_FIELDS_SIZE);
    responseBuffer->reset();
    responseBuffer->addData(static_cast<char>(COMMTYPE_RESPONSE));
    responseBuffer->addData(static_cast<char>(request));
    responseBuffer->addData(responseLength);
    if (responseLength > 0) {
        responseBuffer->addData(responseData, responseLength);
    }
    responseBuffer->obfuscateData();
    // A failed write closes the connection; its reader then reports it.
    writeMessage(responseBuffer->getDataBlock(), responseBuffer->getDataBlockSize());
}

void GameClientHandler::handleResponse(reqType_t request, int length) {
    MutexGuard guard(&mutex);
    // Nobody waits for it, or it answers another request: dropped.
    if (respondedData == nullptr || responseArrived || request != waitingRequest) {
        return;
    }
    if (length > 0) {
        memcpy(respondedData, blockData, length);
    }
    lastRespondedRequest = request;
    respondedDataLength = length;
    responseArrived = true;
    threadCondBroadcast(&condition);
}

void GameClientHandler::handleMessage(msgType_t message, int length) {
    MessageListener* listener;
    {
        MutexGuard guard(&mutex);
        listener = messageListener;
    }
    if (listener != nullptr) {
        listener->handleMessage(this, message, blockData, length);
    }
}

void GameClientHandler::socketClosed(NetSocket* closedSocket) {
    (void)closedSocket;
    streamLength = 0;
    streamRefused = false;
    MutexGuard guard(&mutex);
    if (respondedData != nullptr && !responseArrived) {
        requestFailed = true;
        threadCondBroadcast(&condition);
    }
}

sockErr_t GameClientHandler::sendEnvelope(char commType, char id, char* data, int dataLength,
                                          const unsigned int* connection) {
    if (dataLength < 0 || dataLength > PROTOCOL_PAYLOAD_MAX ||
        (data == nullptr && dataLength > 0)) {
        return SOCKERR_WRITEERROR;
    }
    MutexGuard guard(&sendMutex);
    requestOutBuffer->setVirtualBlockSize(dataLength + ENVELOPE_FIELDS_SIZE);
    requestOutBuffer->reset();
    requestOutBuffer->addData(commType);
    requestOutBuffer->addData(id);
    requestOutBuffer->addData(dataLength);
    if (dataLength > 0) {
        requestOutBuffer->addData(data, dataLength);
    }
    requestOutBuffer->obfuscateData();
    if (connection == nullptr) {
        return writeMessage(requestOutBuffer->getDataBlock(),
                            requestOutBuffer->getDataBlockSize());
    }
    return writeMessageTo(*connection, requestOutBuffer->getDataBlock(),
                          requestOutBuffer->getDataBlockSize());
}

sockErr_t GameClientHandler::sendMessage(msgType_t message, char* messageData, int dataLength) {
    return sendEnvelope(static_cast<char>(COMMTYPE_MESSAGE), static_cast<char>(message),
                        messageData, dataLength, nullptr);
}

sockErr_t GameClientHandler::sendMessageTo(unsigned int connection, msgType_t message,
                                           char* messageData, int dataLength) {
    return sendEnvelope(static_cast<char>(COMMTYPE_MESSAGE), static_cast<char>(message),
                        messageData, dataLength, &connection);
}

sockErr_t GameClientHandler::sendRequest(reqType_t request, char* requestData, int dataLength,
                                         char* responsePayload, int* responseDataLength) {
    // The reader thread would wait for the response it has to receive.
    if (onReaderThread() || responsePayload == nullptr || responseDataLength == nullptr) {
        return SOCKERR_CONNECTERROR;
    }
    MutexGuard requestGuard(&requestMutex);
    {
        // Armed before the write, so an answer that comes at once is kept.
        MutexGuard guard(&mutex);
        waitingRequest = request;
        respondedData = responsePayload;
        responseArrived = false;
        requestFailed = false;
    }
    sockErr_t err = sendEnvelope(static_cast<char>(COMMTYPE_REQUEST), static_cast<char>(request),
                                 requestData, dataLength, nullptr);
    if (err != SOCKERR_OK) {
        MutexGuard guard(&mutex);
        respondedData = nullptr;
        return err;
    }
    return awaitResponse(responseDataLength);
}

sockErr_t GameClientHandler::awaitResponse(int* responseDataLength) {
    long long deadline = clockMonotonicMs() + GAMECLIENTHANDLER_RESPONSE_WAIT_MS;
    MutexGuard guard(&mutex);
    while (!responseArrived && !requestFailed) {
        long long left = deadline - clockMonotonicMs();
        if (left <= 0) {
            break;
        }
        threadCondTimedWait(&condition, &mutex, static_cast<long>(left));
    }
    // From here on a late response has nowhere to go and is dropped.
    respondedData = nullptr;
    if (!responseArrived) {
        return SOCKERR_CONNECTERROR;
    }
    *responseDataLength = respondedDataLength;
    return SOCKERR_OK;
}
