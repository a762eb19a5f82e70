// UserBaseFactoryTest.cpp - the store is chosen once from database_type; each test is a process.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "UserBase.h"
#include "UserBaseFactory.h"
#include "UserBaseFile.h"

namespace {

class UserBaseFactoryTest : public ::testing::TestWithParam<const char*> {
protected:
    void TearDown() override { UserBaseFactory::destroyUserBaseInstance(); }
    UserBase* storeFor(const std::string& configText) {
        writeFile(dir.file("config.ini"), configText);
        dir.enter();
        return UserBaseFactory::getUserBaseInstance();
    }

    TempDir dir;
};

TEST_P(UserBaseFactoryTest, AnyValueButExactlyMysqlGivesTheFileStoreOnce) {
    UserBase* store = storeFor(std::string("server_port 4711\n") + GetParam());
    EXPECT_NE(dynamic_cast<UserBaseFile*>(store), nullptr);
    EXPECT_EQ(UserBaseFactory::getUserBaseInstance(), store);
}

INSTANTIATE_TEST_SUITE_P(DatabaseTypes, UserBaseFactoryTest,
                         ::testing::Values("", "database_type MySQL\n", "database_type mysqlx\n",
                                           "database_type\n"));

}  // namespace
