// GameManagerShared.h - small helpers that the slot operations
// (GameManager.cpp) and the manager thread's pass (GameManagerPass.cpp)
// both use. Internal to the game manager.
#ifndef GAMEMANAGERSHARED_H
#define GAMEMANAGERSHARED_H

#include <stdio.h>
#include <string.h>

#include "UserBase.h"
#include "UserBaseFactory.h"

namespace gamemanager {

// Multiplayer traces go to standard output as whole lines.
inline void trace(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

inline void writeInt32(char* field, int value) {
    unsigned int bits = static_cast<unsigned int>(value);
    for (int b = 0; b < 4; b++) {
        field[b] = static_cast<char>((bits >> (8 * b)) & 0xFF);
    }
}

// The account name of a user id into a 20-byte buffer; empty if none (or
// when the store is gone at shutdown).
inline void lookUpUserName(int userId, char* name) {
    memset(name, 0, USERBASE_NAME_SIZE);
    UserBase* store = UserBaseFactory::getUserBaseInstance();
    if (store != nullptr) {
        store->getUserName(name, userId);
    }
    name[USERBASE_NAME_SIZE - 1] = '\0';
}

}  // namespace gamemanager

#endif  // GAMEMANAGERSHARED_H
