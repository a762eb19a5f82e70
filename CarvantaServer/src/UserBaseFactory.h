// UserBaseFactory.h - chooses the account store once, from the configured
// database type, and hands every caller that same store. First called on
// the main thread at start-up, before other threads exist; no lock.
#ifndef USERBASEFACTORY_H
#define USERBASEFACTORY_H

#include <atomic>

class UserBase;

class UserBaseFactory {
public:
    // The chosen store; created by the first call. Null once the store has
    // been destroyed: a late caller must not bring up a second store (with
    // a save thread of its own) after shutdown.
    static UserBase* getUserBaseInstance();
    // Shutdown, on the main thread: destroys the store (the file store
    // writes its unsaved changes); no store is made again in this process.
    static void destroyUserBaseInstance();

private:
    static UserBase* chooseStore(const char* databaseType);

    static UserBase* theInstance;
    static std::atomic<bool> destroyed;
};

#endif
