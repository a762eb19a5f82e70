// UserBase.cpp - defaults of the store interface: every operation reports
// failure. Both stores override all of them.
#include "UserBase.h"

#include <string.h>

UserBase::UserBase() : highscoreList() {}

UserBase::~UserBase() {}

int UserBase::addUser(char*, char*) {
    return -1;
}

int UserBase::deleteUser(char*, char*) {
    return -1;
}

int UserBase::checkCredentials(char*, char*) {
    return -1;
}

int UserBase::checkUser(char*) {
    return -1;
}

int UserBase::addSinglePlayerScore(char*, char*, int) {
    return -1;
}

char* UserBase::getSinglePlayerHighscoreList(char*, char*, int*) {
    return nullptr;
}

int UserBase::copySinglePlayerHighscoreList(char*, char*, char*) {
    return -1;
}

void UserBase::getUserName(char*, int) {}

void UserBase::dumpStatistics() {}

void UserBase::copyStoreStatus(userBaseStatus_t* status) {
    status->kind = "none";
    status->remote = false;
    status->lastReached = false;
    status->accounts = -1;
}
