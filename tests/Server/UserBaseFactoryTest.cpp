// UserBaseFactoryTest.cpp - the store is chosen once from database_type:
// every value other than exactly "mysql" gives the file store, and every
// call returns the same store. Each test runs as a process of its own, so
// the configuration is read afresh from the test's directory.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "UserBase.h"
#include "UserBaseFactory.h"
#include "UserBaseFile.h"

namespace {

class UserBaseFactoryTest : public ::testing::Test {
protected:
    void TearDown() override { UserBaseFactory::destroyUserBaseInstance(); }

    // Writes config.ini in a fresh working directory, then asks the factory.
    UserBase* storeFor(const std::string& configText) {
        writeFile(dir.file("config.ini"), configText);
        dir.enter();
        return UserBaseFactory::getUserBaseInstance();
    }

    TempDir dir;
};

// Each value runs in a process of its own (the store is made once).
class FileStoreChoiceTest : public UserBaseFactoryTest,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(FileStoreChoiceTest, AnyValueButExactlyMysqlGivesTheFileStoreOnce) {
    UserBase* store = storeFor(std::string("server_port 4711\n") + GetParam());
    EXPECT_NE(dynamic_cast<UserBaseFile*>(store), nullptr);
    EXPECT_EQ(UserBaseFactory::getUserBaseInstance(), store);
}

INSTANTIATE_TEST_SUITE_P(DatabaseTypes, FileStoreChoiceTest,
                         ::testing::Values("", "database_type MySQL\n",
                                           "database_type mysqlx\n", "database_type\n"));

TEST_F(UserBaseFactoryTest, DestroyedStoreIsSavedAndNeverMadeAgain) {
    UserBase* store = storeFor("database_type file\n");
    char name[] = "kept";
    char password[] = "pw";
    ASSERT_EQ(store->addUser(name, password), 1);
    UserBaseFactory::destroyUserBaseInstance();
    // A late caller gets no store, not a second one with a save thread.
    EXPECT_EQ(UserBaseFactory::getUserBaseInstance(), nullptr);
    EXPECT_EQ(UserBaseFactory::getUserBaseInstance(), nullptr);
    UserBase* reread = UserBaseFile::getInstance();  // what was saved
    EXPECT_EQ(reread->checkUser(name), 1);
    delete reread;
}

}  // namespace
