// GameRequestHandlerTest.cpp - the dispatcher called as a reader thread calls it, for what the
// wire cannot reach: stale bytes behind short payloads, the 65-entry cut, log lines, races.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "GameClientHandler.h"
#include "GameManager.h"
#include "GameRequestHandler.h"
#include "LoopbackClient.h"
#include "TestSupport.h"
#include "UserBase.h"
#include "UserBaseFactory.h"
#include "UserFileImage.h"

namespace {

const char UNTOUCHED = static_cast<char>(0xEE);
const int PAYLOAD_SIZE = INT_MIN;
const std::string OK(1, static_cast<char>(RES_OK));
const std::string NO_USER(1, static_cast<char>(RES_USERDOESNOTEXIST));

class GameRequestHandlerTest : public ::testing::Test {
protected:
    void SetUp() override { dir.enter(); }
    void TearDown() override {
        delete GameManager::getInstance();  // its thread sends to `connection`
        UserBaseFactory::destroyUserBaseInstance();
    }

    // The response to a payload lying in a receive array over `stale` bytes, plus the byte
    // behind it; `length` defaults to the payload's size.
    std::string call(int type, const std::string& payload, int length = PAYLOAD_SIZE,
                     const std::string& stale = "") {
        std::vector<char> data(PROTOCOL_BUFFER_SIZE, 0);
        memcpy(data.data(), stale.data(), stale.size());
        memcpy(data.data(), payload.data(), payload.size());
        std::vector<char> response(PROTOCOL_BUFFER_SIZE, UNTOUCHED);
        int size = -7;
        GameRequestHandler::getInstance()->handleRequest(
            &connection, static_cast<reqType_t>(type), data.data(),
            length == PAYLOAD_SIZE ? static_cast<int>(payload.size()) : length, response.data(),
            &size);
        EXPECT_TRUE(size >= 0 && size < PROTOCOL_BUFFER_SIZE) << size;
        size = size < 0 || size >= PROTOCOL_BUFFER_SIZE ? 0 : size;
        EXPECT_EQ(response[size], UNTOUCHED) << "written past the response";
        return std::string(response.data(), size);
    }

    TempDir dir;
    GameClientHandler connection{nullptr};
};

// Callers on several threads each get whole lists while scores change.
TEST_F(GameRequestHandlerTest, LongHighscoreListIsCutToTheWholeEntriesThatFitForEveryCaller) {
    for (int i = 0; i < 100; i++) {
        std::string name = "p" + std::to_string(i);
        ASSERT_EQ(call(REQ_SIGNUP, credentials(name, "pw")), OK);
        ASSERT_EQ(call(REQ_STORESINGLEPLAYERSCORE, credentials(name, "pw") + int32le(i)), OK);
    }
    std::string list = call(REQ_SENDSINGLEPLAYERHIGHSCORES, credentials("p0", "pw"));
    ASSERT_EQ(list.size(), 1u + 65 * USERBASE_ENTRY_SIZE);
    EXPECT_EQ(list.substr(1, USERBASE_ENTRY_SIZE), highscoreSlot(1, "p99", todayDateText(), 99));
    EXPECT_EQ(list.substr(1 + 64 * USERBASE_ENTRY_SIZE),
              highscoreSlot(65, "p35", todayDateText(), 35));
    std::vector<std::thread> threads;
    std::vector<int> badLists(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            std::string own = credentials("p" + std::to_string(t), "pw");
            for (int i = 0; i < 150; i++) {
                call(REQ_STORESINGLEPLAYERSCORE, own + int32le(i * 4 + t));
                std::string seen = call(REQ_SENDSINGLEPLAYERHIGHSCORES, own);
                badLists[t] += seen.size() != 1 + 65 * USERBASE_ENTRY_SIZE ||
                               seen.compare(1, 4, "  1.") != 0 ||
                               seen.compare(1 + 64 * USERBASE_ENTRY_SIZE, 4, " 65.") != 0;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(badLists, std::vector<int>(4, 0));
}

// Bytes missing from a short payload read as zero. A request still served after shutdown
// destroyed the store is refused, and no new store is made.
TEST_F(GameRequestHandlerTest, ShortPayloadsReadZeroesAndRequestsWithoutTheStoreAreRefused) {
    std::string full = credentials("zoe", "secret");
    ASSERT_EQ(call(REQ_SIGNUP, full), OK);
    EXPECT_EQ(call(REQ_CHECKUSERANDPASSWORD, full.substr(0, 20), PAYLOAD_SIZE, full), NO_USER);
    EXPECT_EQ(call(REQ_CHECKUSERANDPASSWORD, "", -5, full), NO_USER);
    EXPECT_EQ(call(REQ_STORESINGLEPLAYERSCORE, full, PAYLOAD_SIZE, full + int32le(900)), OK);
    EXPECT_EQ(call(REQ_SENDSINGLEPLAYERHIGHSCORES, full),
              OK + highscoreSlot(1, "zoe", todayDateText(), 0));
    UserBaseFactory::destroyUserBaseInstance();
    for (int type : {REQ_SIGNUP, REQ_CHECKUSER, REQ_CHECKUSERANDPASSWORD, REQ_DELETEUSER,
                     REQ_STORESINGLEPLAYERSCORE, REQ_SENDSINGLEPLAYERHIGHSCORES,
                     REQ_MULTI_ATTACHMULTIPLAYER, REQ_MULTI_SENDPLAYERLIST}) {
        EXPECT_EQ(call(type, full + int32le(5)), NO_USER) << type;
    }
    EXPECT_EQ(UserBaseFactory::getUserBaseInstance(), nullptr) << "a second store was made";
}

TEST_F(GameRequestHandlerTest, RequestsLogTheirLineWithTheOutcomeOnItAndCutFieldsAtNineteen) {
    UserBaseFactory::getUserBaseInstance();  // its start-up lines come before the capture
    testing::internal::CaptureStdout();
    EXPECT_EQ(call(REQ_SIGNUP, std::string(20, 'n') + std::string(20, 'p') + "tail"), OK);
    call(REQ_SIGNUP, credentials("lou", "pw"));
    call(REQ_SIGNUP, credentials("lou", "pw"));
    call(REQ_STORESINGLEPLAYERSCORE, credentials("lou", "pw") + int32le(-3));
    call(REQ_MULTI_INVITEMULTIPLAYER, credentials("lou", "pw") + nameField("kim"));
    std::string log = testing::internal::GetCapturedStdout();
    const std::string stamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";
    const std::string lines[] = {
        " INFO: Request \n",
        " INFO: REQUEST: sign up nnnnnnnnnnnnnnnnnnn/ppppppppppppppppppp ->",
        " INFO: user added to user base\n",
        " INFO: REQUEST: sign up lou/pw ->",
        " INFO: user added to user base\n",
        " INFO: REQUEST: sign up lou/pw ->",
        " INFO: user exists, sign up failed\n",
        " INFO: REQUEST: add single player score: lou/pw score -3 ->",
        " INFO: score added to user base\n",
        " INFO: REQUEST: invite player from lou/pw to kim ->",
        " INFO: Error inviting player, failed\n",
    };
    std::string expected;
    for (size_t i = 0; i < sizeof lines / sizeof lines[0]; i++) {
        expected += (i % 2 == 1 ? "[\\s\\S]*" : "") + stamp + lines[i];
    }
    EXPECT_TRUE(std::regex_search(log, std::regex(expected))) << log;
    EXPECT_EQ(
        call(REQ_CHECKUSERANDPASSWORD, credentials(std::string(19, 'n'), std::string(19, 'p'))),
        OK);
}

TEST_F(GameRequestHandlerTest, StopMessageIsNeverAnsweredNorLogged) {
    std::string payload = credentials("sid", "pw");
    ASSERT_EQ(call(REQ_SIGNUP, payload), OK);
    testing::internal::CaptureStdout();
    GameRequestHandler* handler = GameRequestHandler::getInstance();
    handler->handleMessage(nullptr, MSG_STOPPRESSED, &payload[0], 39);
    handler->handleMessage(nullptr, MSG_STOPPRESSED, &payload[0], 40);
    handler->handleMessage(nullptr, MSG_PAUSEPRESSED, &payload[0], 40);
    // Only the valid stop reaches the manager, which has no game for sid.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Message for non-attached player 1\n");
}

}  // namespace
