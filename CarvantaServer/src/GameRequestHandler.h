// GameRequestHandler.h - answers every request and acts on the stop message
// of every connection: checks the credentials with the user base, carries
// the request out with the user base or the game manager and writes the
// response code (and a list). Entered by all reader threads at once; it
// keeps no state between calls and takes no lock of its own.
#ifndef GAMEREQUESTHANDLER_H
#define GAMEREQUESTHANDLER_H

#include "GameProtocol.h"
#include "MessageListener.h"
#include "RequestListener.h"

class GameClientHandler;

// Entries of a request count copy: one per type and one for unknown types.
const int REQUESTCOUNT_SLOTS = REQ_LAST + 1;

class GameRequestHandler : public RequestListener, public MessageListener {
public:
    // Created on the first call, which start-up makes on the main thread
    // before any connection exists.
    static GameRequestHandler* getInstance();
    ~GameRequestHandler() override;

    // Called on the connection's reader thread. Sets *respDataLength on
    // every path: 0 for an unknown request type, else 1 + any list.
    void handleRequest(GameClientHandler* handler, reqType_t request, char* requestData,
                       int requestDataLength, char* responseData, int* respDataLength) override;
    // Requests received since start by type: entry t for type t, entry 0
    // for every type the dispatcher does not know. counts holds
    // REQUESTCOUNT_SLOTS entries. Any thread; each counter is atomic.
    static void copyRequestCounts(long* counts);
    // Called on the connection's reader thread; acts on MSG_STOPPRESSED only.
    void handleMessage(GameClientHandler* handler, msgType_t message, char* messageData,
                       int dataLength) override;

private:
    GameRequestHandler();

    void signUpUser(char* requestData, int requestDataLength, char* responseData,
                    int* respDataLength);
    void deleteUser(char* requestData, int requestDataLength, char* responseData,
                    int* respDataLength);
    void storeSinglePlayerScore(char* requestData, int requestDataLength, char* responseData,
                                int* respDataLength);
    void sendSinglePlayerHighscoreList(char* requestData, int requestDataLength, char* responseData,
                                       int* respDataLength);
    void checkUser(char* requestData, int requestDataLength, char* responseData,
                   int* respDataLength);
    void checkUserAndPassword(char* requestData, int requestDataLength, char* responseData,
                              int* respDataLength);
    void sendMultiplayerList(char* requestData, int requestDataLength, char* responseData,
                             int* respDataLength);

    bool isValidMessage(char* messageData, int dataLength, int* userId);

    static GameRequestHandler* theInstance;
};

#endif
