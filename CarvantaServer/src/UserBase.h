// UserBase.h - the interface of the account and single-player score store.
// One store is chosen at start-up (UserBaseFactory); its operations are
// called from the reader threads, the game manager's thread and the main
// thread at once, and each store does its own locking. A store calls no
// other subsystem while it holds its lock.
#ifndef USERBASE_H
#define USERBASE_H

// High-score list: at most this many entries of USERBASE_ENTRY_SIZE bytes.
const int USERBASE_LIST_ENTRIES = 100;
const int USERBASE_ENTRY_SIZE = 50;
const int USERBASE_LIST_SIZE = USERBASE_LIST_ENTRIES * USERBASE_ENTRY_SIZE;
// Names and passwords: at most 19 characters, 20-byte fields.
const int USERBASE_NAME_SIZE = 20;

// The store as the operator's status shows it.
typedef struct {
    const char* kind;  // "file" or "MySQL"
    bool remote;       // a database server: lastReached means something
    bool lastReached;  // the last statement before this call reached it
    int accounts;      // accounts in the store; -1 when they cannot be counted
} userBaseStatus_t;

class UserBase {
public:
    UserBase();
    virtual ~UserBase();
    UserBase(const UserBase&) = delete;
    UserBase& operator=(const UserBase&) = delete;

    // The int operations return a user id (never -1) or -1 for failure.
    virtual int addUser(char* name, char* password);
    virtual int deleteUser(char* name, char* password);
    virtual int checkCredentials(char* name, char* password);
    virtual int checkUser(char* name);
    virtual int addSinglePlayerScore(char* name, char* password, int score);
    // The list lives in highscoreList until the next call on the store;
    // null with *listLength 0 when the store refuses the caller.
    virtual char* getSinglePlayerHighscoreList(char* name, char* password, int* listLength);
    // Copies the whole list into the caller's buffer of USERBASE_LIST_SIZE
    // bytes under the store's lock, so a concurrent caller cannot overwrite
    // it half-way. Returns the byte length, or -1 when refused.
    virtual int copySinglePlayerHighscoreList(char* name, char* password, char* buffer);
    // buffer holds USERBASE_NAME_SIZE bytes; empty string if no such id.
    virtual void getUserName(char* buffer, int id);
    virtual void dumpStatistics();
    // Fills status under the store's own lock.
    virtual void copyStoreStatus(userBaseStatus_t* status);

protected:
    char highscoreList[USERBASE_LIST_SIZE];
};

#endif
