// ClientSession.cpp - the client's connection: request payloads start with
// the 20-byte name and password fields, answers start with the code byte.
#include "ClientSession.h"

#include <string.h>

#include "ClientConnection.h"
#include "TextCopy.h"

namespace {

const int CREDENTIALS_SIZE = 2 * PROTOCOL_NAME_SIZE;
const int SCORE_SIZE = 4;

}  // namespace

const char* clientErrorText(clientErr_t err) {
    switch (err) {
        case CLIENTERR_OK:
            return "done";
        case CLIENTERR_CONNECT:
            return "the server cannot be reached";
        case CLIENTERR_NOANSWER:
            return "no answer from the server within 3 seconds";
        case CLIENTERR_LOST:
            return "the connection to the server was lost";
        case CLIENTERR_PROTOCOL:
            return "the server's answer holds no response code";
    }
    return "unknown error";
}

ClientSession::ClientSession(const char* playerName, const char* playerPassword)
    : connection(nullptr) {
    copyField(name, sizeof name, playerName);
    copyField(password, sizeof password, playerPassword);
}

ClientSession::~ClientSession() {
    close();
}

clientErr_t ClientSession::connect(const char* host, int port, MessageListener* listener) {
    char address[256];
    copyText(address, sizeof address, host);
    if (socket.connectToServer(address, port) != SOCKERR_OK) {
        return CLIENTERR_CONNECT;
    }
    connection = new ClientConnection();
    connection->setMessageListener(listener);
    if (connection->setSocket(&socket) != SOCKERR_OK) {
        return CLIENTERR_LOST;
    }
    return CLIENTERR_OK;
}

int ClientSession::buildPayload(char* payload, const char* extra, int extraLength) {
    memcpy(payload, name, PROTOCOL_NAME_SIZE);
    memcpy(payload + PROTOCOL_NAME_SIZE, password, PROTOCOL_NAME_SIZE);
    if (extraLength > 0) {
        memcpy(payload + CREDENTIALS_SIZE, extra, extraLength);
    }
    return CREDENTIALS_SIZE + extraLength;
}

clientErr_t ClientSession::request(reqType_t type, const char* extra, int extraLength,
                                   clientReply_t* reply) {
    if (connection == nullptr || connection->isLost()) {
        return CLIENTERR_LOST;
    }
    char payload[CREDENTIALS_SIZE + PROTOCOL_NAME_SIZE];
    int length = buildPayload(payload, extra, extraLength);
    char answer[PROTOCOL_PAYLOAD_MAX];
    int answerLength = 0;
    sockErr_t err = connection->sendRequest(type, payload, length, answer, &answerLength);
    if (err != SOCKERR_OK) {
        return connection->isLost() ? CLIENTERR_LOST : CLIENTERR_NOANSWER;
    }
    if (answerLength < 1 || answerLength > PROTOCOL_PAYLOAD_MAX) {
        return CLIENTERR_PROTOCOL;
    }
    reply->code = static_cast<unsigned char>(answer[0]);
    reply->listLength = answerLength - 1;
    memcpy(reply->list, answer + 1, reply->listLength);
    return CLIENTERR_OK;
}

clientErr_t ClientSession::requestWithName(reqType_t type, const char* otherName,
                                           clientReply_t* reply) {
    char field[PROTOCOL_NAME_SIZE];
    copyField(field, sizeof field, otherName);
    return request(type, field, PROTOCOL_NAME_SIZE, reply);
}

clientErr_t ClientSession::requestWithScore(int score, clientReply_t* reply) {
    unsigned int value = static_cast<unsigned int>(score);
    char bytes[SCORE_SIZE];
    for (int i = 0; i < SCORE_SIZE; i++) {
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);  // least significant first
    }
    return request(REQ_STORESINGLEPLAYERSCORE, bytes, SCORE_SIZE, reply);
}

clientErr_t ClientSession::sendStop() {
    if (connection == nullptr || connection->isLost()) {
        return CLIENTERR_LOST;
    }
    char payload[CREDENTIALS_SIZE];
    int length = buildPayload(payload, nullptr, 0);
    if (connection->sendMessage(MSG_STOPPRESSED, payload, length) != SOCKERR_OK) {
        return CLIENTERR_LOST;
    }
    return CLIENTERR_OK;
}

bool ClientSession::isLost() const {
    return connection == nullptr || connection->isLost();
}

void ClientSession::close() {
    if (connection == nullptr) {
        return;
    }
    delete connection;  // stops the reader thread and closes the socket
    connection = nullptr;
}
