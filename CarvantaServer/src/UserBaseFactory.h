// UserBaseFactory.h - chooses the account store once, from the configured
// database type, and hands every caller that same store. First called on
// the main thread at start-up, before other threads exist; no lock.
#ifndef USERBASEFACTORY_H
#define USERBASEFACTORY_H

class UserBase;

class UserBaseFactory {
public:
    // The chosen store; created by the first call.
    static UserBase* getUserBaseInstance();
    // Shutdown, on the main thread: destroys the store (the file store
    // writes its unsaved changes) and forgets it.
    static void destroyUserBaseInstance();

private:
    static UserBase* chooseStore(const char* databaseType);

    static UserBase* theInstance;
};

#endif
