// SignUpScenario.h - real sign-up requests end to end: the game server,
// the request dispatcher and the file store in this process, in a
// temporary working directory, with the log going to a file there as in the
// daemon. Each client signs up names of its own; after each answer the
// account is removed again directly in the store (outside the timed round
// trip), so that every request is a sign-up of a free name on a table kept
// at about 90 accounts.
#ifndef SIGNUPSCENARIO_H
#define SIGNUPSCENARIO_H

#include <memory>
#include <string>

#include "BenchScenario.h"
#include "GameClientHandlerFactory.h"

class GameServer;
class UserBase;

class SignUpScenario : public BenchScenario {
public:
    SignUpScenario();
    ~SignUpScenario() override;
    const char* name() const override { return "sign-up"; }
    int start() override;
    void stop() override;
    void nextRequest(int client, int sequence, int* reqType, std::string* payload) override;
    bool checkResponse(int reqType, const std::string& request,
                       const std::string& response) override;
    bool holdsEchoTargets() const override { return false; }

private:
    bool enterWorkDirectory();
    void leaveWorkDirectory();
    void fillTable();

    GameClientHandlerFactory factory;
    std::unique_ptr<GameServer> server;
    UserBase* store;
    std::string workDirectory;
    std::string startDirectory;
};

#endif
