// UserBaseFactory.cpp - the one place that names the store classes. The
// value of database_type is taken whole and case-sensitively.
#include "UserBaseFactory.h"

#include <string.h>

#include "Configuration.h"
#include "UserBase.h"
#include "UserBaseFile.h"
#include "UserBaseMysql.h"

UserBase* UserBaseFactory::theInstance = nullptr;
std::atomic<bool> UserBaseFactory::destroyed(false);

namespace {

const char DATABASE_TYPE_MYSQL[] = "mysql";

}  // namespace

UserBase* UserBaseFactory::getUserBaseInstance() {
    if (destroyed) {
        return nullptr;
    }
    if (theInstance == nullptr) {
        theInstance = chooseStore(Configuration::getInstance()->getDatabaseType());
    }
    return theInstance;
}

void UserBaseFactory::destroyUserBaseInstance() {
    destroyed = true;
    delete theInstance;
    theInstance = nullptr;
}

UserBase* UserBaseFactory::chooseStore(const char* databaseType) {
    if (strcmp(databaseType, DATABASE_TYPE_MYSQL) == 0) {
        return UserBaseMysql::getInstance();
    }
    return UserBaseFile::getInstance();
}
