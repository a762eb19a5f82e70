// LobbyListener.h - turns every lobby message into words on standard output
// (the player list as a table, invitations and answers, the countdown, the
// start, the cards, the end of a game with its reason) and records it in
// LobbyEvents. Called on the connection's reader thread only.
#ifndef LOBBYLISTENER_H
#define LOBBYLISTENER_H

#include "CardTable.h"
#include "MessageListener.h"

class LobbyEvents;

class LobbyListener : public MessageListener {
public:
    LobbyListener(LobbyEvents* events, bool colours);

    void handleMessage(GameClientHandler* handler, msgType_t message, char* messageData,
                       int dataLength) override;

private:
    void showPlayerList(const char* data, int length);
    void showNamed(msgType_t message, const char* data, int length);
    void showCountdown(const char* data, int length);
    void showCards(const char* data, int length);
    void showEnd(const char* data, int length);

    LobbyEvents* events;
    bool colours;
    CardTable table;  // reader thread only
};

#endif
