// GameRequestHandler.cpp - one private operation per request type. Each
// reads the fields of its payload into bounded copies, logs the request,
// asks the user base (and the game manager for the lobby requests), logs
// the outcome and writes the response. Runs on the reader threads; every
// call formats its log line in a buffer of its own.
#include "GameRequestHandler.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

#include "GameManager.h"
#include "TextCopy.h"
#include "Toolbox.h"
#include "UserBase.h"
#include "UserBaseFactory.h"

GameRequestHandler* GameRequestHandler::theInstance = nullptr;

namespace {

// Payload offsets: name, password, then the score or another player's name.
const int NAME_OFFSET = 0;
const int PASSWORD_OFFSET = PROTOCOL_NAME_SIZE;
const int THIRD_FIELD_OFFSET = 2 * PROTOCOL_NAME_SIZE;
const int SCORE_SIZE = 4;
// The most payload bytes any request type reads.
const int REQUEST_FIELDS_SIZE = THIRD_FIELD_OFFSET + PROTOCOL_NAME_SIZE;
// A message carries name and password in front of its data.
const int MESSAGE_CREDENTIALS_SIZE = THIRD_FIELD_OFFSET;
// Room for a list behind the response code: whole high-score entries only.
const int RESPONSE_LIST_ROOM = PROTOCOL_PAYLOAD_MAX - 1;
const int RESPONSE_LIST_ENTRIES = RESPONSE_LIST_ROOM / USERBASE_ENTRY_SIZE;

typedef struct {
    char name[PROTOCOL_NAME_SIZE];
    char password[PROTOCOL_NAME_SIZE];
    char otherPlayer[PROTOCOL_NAME_SIZE];
    int score;
} requestFields_t;

int readInt32(const unsigned char* bytes) {
    unsigned int value = 0;
    for (int i = 0; i < SCORE_SIZE; i++) {
        value |= static_cast<unsigned int>(bytes[i]) << (8 * i);
    }
    return static_cast<int>(value);
}

// Bytes that a short payload lacks read as zero, never as what an earlier
// envelope left behind; each text is cut at 19 characters.
void readRequestFields(const char* data, int length, requestFields_t* fields) {
    char raw[REQUEST_FIELDS_SIZE] = {};
    if (data != nullptr && length > 0) {
        memcpy(raw, data, length < REQUEST_FIELDS_SIZE ? length : REQUEST_FIELDS_SIZE);
    }
    readField(fields->name, raw + NAME_OFFSET, PROTOCOL_NAME_SIZE);
    readField(fields->password, raw + PASSWORD_OFFSET, PROTOCOL_NAME_SIZE);
    readField(fields->otherPlayer, raw + THIRD_FIELD_OFFSET, PROTOCOL_NAME_SIZE);
    fields->score = readInt32(reinterpret_cast<unsigned char*>(raw + THIRD_FIELD_OFFSET));
}

// The request line ends in " ->"; the outcome line completes it in the log.
// Its format names the caller and password, and some the other player.
void logRequest(const char* format, requestFields_t* fields) {
    char line[TOOLBOX_LINE_MAX];
    const char* const texts[] = {fields->name, fields->password, fields->otherPlayer};
    fillText(line, sizeof line, format, texts, 3);
    Toolbox::holdInfo(line);
}

void answer(char* responseData, int* respDataLength, resType_t code, const char* outcome) {
    Toolbox::printInfo(outcome);
    responseData[0] = static_cast<char>(code);
    *respDataLength = 1;
}

// The store, or after shutdown has destroyed it, the interface's own
// operations, which refuse everything.
UserBase* userBase() {
    static UserBase none;
    UserBase* store = UserBaseFactory::getUserBaseInstance();
    return store != nullptr ? store : &none;
}

// The lobby requests differ only in their texts, their failure code and the
// game manager operation they call.
typedef enum {
    LOBBY_ATTACH,
    LOBBY_DETACH,
    LOBBY_ADD,
    LOBBY_REMOVE,
    LOBBY_INVITE,
    LOBBY_CANCEL,
    LOBBY_ACCEPT,
    LOBBY_REJECT,
} lobbyAction_t;

typedef struct {
    lobbyAction_t action;
    reqType_t request;
    const char* requestFormat;
    const char* successLine;
    const char* failureLine;
    resType_t failureCode;
} lobbyRequest_t;

const lobbyRequest_t LOBBY_REQUESTS[] = {
    {LOBBY_ATTACH, REQ_MULTI_ATTACHMULTIPLAYER, "REQUEST: attach multiplayer %s/%s ->",
     "Player attached\n", "Error attaching player, failed\n", RES_MULTI_PLAYERNOTACCEPTED},
    {LOBBY_DETACH, REQ_MULTI_DETACHMULTIPLAYER, "REQUEST: detaching multiplayer %s/%s ->",
     "Player detached\n", "Error detaching player, failed\n", RES_MULTI_PLAYERNOTKNOWN},
    {LOBBY_ADD, REQ_MULTI_ADDMULTIPLAYER, "REQUEST: add user for multiplay %s/%s ->",
     "Player added\n", "Error adding player, failed\n", RES_MULTI_PLAYERNOTACCEPTED},
    {LOBBY_REMOVE, REQ_MULTI_REMOVEMULTIPLAYER, "REQUEST: remove user for multiplay %s/%s ->",
     "Player removed\n", "Error removing player, failed\n", RES_MULTI_PLAYERNOTKNOWN},
    {LOBBY_INVITE, REQ_MULTI_INVITEMULTIPLAYER, "REQUEST: invite player from %s/%s to %s ->",
     "Player invited\n", "Error inviting player, failed\n", RES_MULTI_PLAYERNOTKNOWN},
    {LOBBY_CANCEL, REQ_MULTI_CANCELINVITATION, "REQUEST: cancel invitation of %s/%s with %s ->",
     "Player canceled\n", "Error canceling invitation, failed\n", RES_MULTI_PLAYERNOTKNOWN},
    {LOBBY_ACCEPT, REQ_MULTI_ACCEPTINVITATION, "REQUEST: invitation accepted by %s/%s from %s ->",
     "Invitation accepted\n", "Error accepting invitation, failed\n", RES_MULTI_PLAYERNOTKNOWN},
    {LOBBY_REJECT, REQ_MULTI_REJECTINVITATION, "REQUEST: invitation rejected by %s/%s from %s ->",
     "Invitation rejected\n", "Error rejecting invitation, failed\n", RES_MULTI_PLAYERNOTKNOWN},
};

// Carries out one lobby action for a caller whose credentials were checked;
// true when the game manager accepted it.
bool runLobbyAction(lobbyAction_t action, int userId, GameClientHandler* handler,
                    char* otherPlayer) {
    GameManager* manager = GameManager::getInstance();
    gameManErr_t result = GAMEMANERR_PLAYERNOTAVAILABLE;
    switch (action) {
        case LOBBY_ATTACH:
            result = manager->attachMultiplayer(userId, handler);
            break;
        case LOBBY_DETACH:
            result = manager->detachMultiplayer(userId, handler);
            break;
        case LOBBY_ADD:
            result = manager->addPlayerForMultiplay(userId, handler);
            break;
        case LOBBY_REMOVE:
            result = manager->removePlayerForMultiplay(userId, handler);
            break;
        case LOBBY_INVITE:
            result = manager->invitePlayerForMultiplay(userId, handler, otherPlayer);
            break;
        case LOBBY_CANCEL:
            result = manager->cancelInvitationForMultiplay(userId, handler, otherPlayer);
            break;
        case LOBBY_ACCEPT:
            result = manager->acceptInvitationForMultiplay(userId, handler, otherPlayer);
            break;
        case LOBBY_REJECT:
            result = manager->rejectInvitationForMultiplay(userId, handler, otherPlayer);
            break;
    }
    return result == GAMEMANERR_OK;
}

// Writes the public player list behind the response code; returns its length.
int buildPlayerList(char* list) {
    int listLength = 0;
    GameManager::getInstance()->createMultiplayerList(list, &listLength, RESPONSE_LIST_ROOM);
    return listLength;
}

void serveLobbyRequest(lobbyAction_t action, char* requestData, int requestDataLength,
                       char* responseData, int* respDataLength, GameClientHandler* handler) {
    const lobbyRequest_t& lobby = LOBBY_REQUESTS[action];
    requestFields_t fields;
    readRequestFields(requestData, requestDataLength, &fields);
    logRequest(lobby.requestFormat, &fields);
    int userId = userBase()->checkCredentials(fields.name, fields.password);
    if (userId == -1) {
        answer(responseData, respDataLength, RES_USERDOESNOTEXIST,
               "player does not exists, failed\n");
        return;
    }
    if (runLobbyAction(action, userId, handler, fields.otherPlayer)) {
        answer(responseData, respDataLength, RES_OK, lobby.successLine);
    } else {
        answer(responseData, respDataLength, lobby.failureCode, lobby.failureLine);
    }
}

}  // namespace

GameRequestHandler* GameRequestHandler::getInstance() {
    if (theInstance == nullptr) {
        theInstance = new GameRequestHandler();
    }
    return theInstance;
}

GameRequestHandler::GameRequestHandler() {
    Toolbox::printInfo("Request hanlder created\n");
}

GameRequestHandler::~GameRequestHandler() {
    if (theInstance == this) {
        theInstance = nullptr;
    }
}

namespace {

// Counted by every reader thread at once; read by the operator's status.
std::atomic<long> requestCounts[REQUESTCOUNT_SLOTS];

void countRequest(reqType_t request) {
    int slot = request >= REQ_FIRST && request <= REQ_LAST ? static_cast<int>(request) : 0;
    requestCounts[slot].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void GameRequestHandler::copyRequestCounts(long* counts) {
    for (int t = 0; t < REQUESTCOUNT_SLOTS; t++) {
        counts[t] = requestCounts[t].load(std::memory_order_relaxed);
    }
}

void GameRequestHandler::handleRequest(GameClientHandler* handler, reqType_t request,
                                       char* requestData, int requestDataLength, char* responseData,
                                       int* respDataLength) {
    countRequest(request);
    // The request's lines go to the log together, before the response.
    struct HeldLinesRelease {
        ~HeldLinesRelease() { Toolbox::releaseHeldLines(); }
    } heldLinesRelease;
    Toolbox::holdInfo("Request \n");
    char* data = requestData;
    int length = requestDataLength;
    for (const lobbyRequest_t& lobby : LOBBY_REQUESTS) {
        if (lobby.request == request) {
            return serveLobbyRequest(lobby.action, data, length, responseData, respDataLength,
                                     handler);
        }
    }
    switch (request) {
        case REQ_SIGNUP:
            return signUpUser(data, length, responseData, respDataLength);
        case REQ_STORESINGLEPLAYERSCORE:
            return storeSinglePlayerScore(data, length, responseData, respDataLength);
        case REQ_SENDSINGLEPLAYERHIGHSCORES:
            return sendSinglePlayerHighscoreList(data, length, responseData, respDataLength);
        case REQ_CHECKUSER:
            return checkUser(data, length, responseData, respDataLength);
        case REQ_DELETEUSER:
            return deleteUser(data, length, responseData, respDataLength);
        case REQ_CHECKUSERANDPASSWORD:
            return checkUserAndPassword(data, length, responseData, respDataLength);
        case REQ_MULTI_SENDPLAYERLIST:
            return sendMultiplayerList(data, length, responseData, respDataLength);
        default:
            break;  // the lobby requests above
    }
    *respDataLength = 0;  // unknown type: an empty response
}

// The file store's addUser refuses a name that exists, so two sign-ups of
// one name racing past the check still create one account.
void GameRequestHandler::signUpUser(char* requestData, int requestDataLength, char* responseData,
                                    int* respDataLength) {
    requestFields_t fields;
    readRequestFields(requestData, requestDataLength, &fields);
    logRequest("REQUEST: sign up %s/%s ->", &fields);
    UserBase* users = userBase();
    if (users->checkUser(fields.name) == -1 && users->addUser(fields.name, fields.password) != -1) {
        answer(responseData, respDataLength, RES_OK, "user added to user base\n");
    } else if (users->checkUser(fields.name) != -1) {
        answer(responseData, respDataLength, RES_USEREXISTS, "user exists, sign up failed\n");
    } else {
        answer(responseData, respDataLength, RES_USERDOESNOTEXIST,
               "user base refused, sign up failed\n");
    }
}

void GameRequestHandler::deleteUser(char* requestData, int requestDataLength, char* responseData,
                                    int* respDataLength) {
    requestFields_t fields;
    readRequestFields(requestData, requestDataLength, &fields);
    logRequest("REQUEST: delete user %s/%s ->", &fields);
    if (userBase()->deleteUser(fields.name, fields.password) != -1) {
        answer(responseData, respDataLength, RES_OK, "user deleted\n");
    } else {
        answer(responseData, respDataLength, RES_USERDOESNOTEXIST, "user/password not ok\n");
    }
}

void GameRequestHandler::storeSinglePlayerScore(char* requestData, int requestDataLength,
                                                char* responseData, int* respDataLength) {
    requestFields_t fields;
    readRequestFields(requestData, requestDataLength, &fields);
    char line[TOOLBOX_LINE_MAX];
    snprintf(line, sizeof line, "REQUEST: add single player score: %s/%s score %d ->", fields.name,
             fields.password, fields.score);
    Toolbox::holdInfo(line);
    if (userBase()->addSinglePlayerScore(fields.name, fields.password, fields.score) != -1) {
        answer(responseData, respDataLength, RES_OK, "score added to user base\n");
    } else {
        answer(responseData, respDataLength, RES_USERDOESNOTEXIST,
               "user does not exists, failed\n");
    }
}

// The list is copied whole under the store's lock into a buffer of this
// call, then cut to the whole entries that a response can carry (65).
void GameRequestHandler::sendSinglePlayerHighscoreList(char* requestData, int requestDataLength,
                                                       char* responseData, int* respDataLength) {
    requestFields_t fields;
    readRequestFields(requestData, requestDataLength, &fields);
    logRequest("REQUEST: single player highscores: %s/%s ->", &fields);
    char list[USERBASE_LIST_SIZE];
    int listLength = userBase()->copySinglePlayerHighscoreList(fields.name, fields.password, list);
    if (listLength < 0) {
        answer(responseData, respDataLength, RES_USERDOESNOTEXIST,
               "user does not exists, failed\n");
        return;
    }
    int sent = listLength;
    if (sent > RESPONSE_LIST_ENTRIES * USERBASE_ENTRY_SIZE) {
        sent = RESPONSE_LIST_ENTRIES * USERBASE_ENTRY_SIZE;
    }
    answer(responseData, respDataLength, RES_OK, "score sent\n");
    memcpy(responseData + 1, list, sent);
    *respDataLength = 1 + sent;
}

void GameRequestHandler::checkUser(char* requestData, int requestDataLength, char* responseData,
                                   int* respDataLength) {
    requestFields_t fields;
    readRequestFields(requestData, requestDataLength, &fields);
    logRequest("REQUEST: check user %s/%s ->", &fields);
    if (userBase()->checkUser(fields.name) != -1) {
        answer(responseData, respDataLength, RES_OK, "user exists, ok\n");
    } else {
        answer(responseData, respDataLength, RES_USERDOESNOTEXIST, "user does not exist\n");
    }
}

void GameRequestHandler::checkUserAndPassword(char* requestData, int requestDataLength,
                                              char* responseData, int* respDataLength) {
    requestFields_t fields;
    readRequestFields(requestData, requestDataLength, &fields);
    logRequest("REQUEST: check user %s/%s ->", &fields);
    if (userBase()->checkCredentials(fields.name, fields.password) != -1) {
        answer(responseData, respDataLength, RES_OK, "user exists, ok\n");
    } else {
        answer(responseData, respDataLength, RES_USERDOESNOTEXIST, "user does not exist\n");
    }
}

// Needs only valid credentials: the caller need not be attached.
void GameRequestHandler::sendMultiplayerList(char* requestData, int requestDataLength,
                                             char* responseData, int* respDataLength) {
    requestFields_t fields;
    readRequestFields(requestData, requestDataLength, &fields);
    logRequest("REQUEST: multiplayer list: %s/%s ->", &fields);
    if (userBase()->checkCredentials(fields.name, fields.password) == -1) {
        answer(responseData, respDataLength, RES_USERDOESNOTEXIST,
               "player does not exists, failed\n");
        return;
    }
    int listLength = buildPlayerList(responseData + 1);
    answer(responseData, respDataLength, RES_OK, "list sent\n");
    *respDataLength = 1 + listLength;
}

// Messages are never answered and nothing is logged for them.
void GameRequestHandler::handleMessage(GameClientHandler* handler, msgType_t message,
                                       char* messageData, int dataLength) {
    (void)handler;
    if (message != MSG_STOPPRESSED) {
        return;
    }
    int userId = -1;
    if (!isValidMessage(messageData, dataLength, &userId)) {
        return;
    }
    GameManager::getInstance()->processGameMessage(MSG_STOPPRESSED, userId,
                                                   messageData + MESSAGE_CREDENTIALS_SIZE,
                                                   dataLength - MESSAGE_CREDENTIALS_SIZE);
}

bool GameRequestHandler::isValidMessage(char* messageData, int dataLength, int* userId) {
    if (messageData == nullptr || dataLength < MESSAGE_CREDENTIALS_SIZE) {
        return false;
    }
    char name[PROTOCOL_NAME_SIZE];
    char password[PROTOCOL_NAME_SIZE];
    readField(name, messageData + NAME_OFFSET, sizeof name);
    readField(password, messageData + PASSWORD_OFFSET, sizeof password);
    *userId = userBase()->checkCredentials(name, password);
    return *userId != -1;
}
