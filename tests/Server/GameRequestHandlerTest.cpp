// GameRequestHandlerTest.cpp - the dispatcher called directly as a
// connection's reader thread would call it, with the file store in a
// temporary directory, for what the wire cannot reach: payloads shorter
// than their fields over stale bytes of the receive array, unterminated
// fields, the log lines, the list cut to what a response carries, and
// concurrent callers.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <time.h>

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
// Stands for "the length of the payload given" in call().
const int PAYLOAD_SIZE = INT_MIN;

struct Reply {
    int length;
    std::string payload;  // the first `length` bytes of the response array
    char after;           // the byte behind them
};

std::string code(resType_t value) {
    return std::string(1, static_cast<char>(value));
}

class GameRequestHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.enter();
        handler = GameRequestHandler::getInstance();
    }
    void TearDown() override {
        // The manager's thread sends to `connection`: it goes first.
        delete GameManager::getInstance();
        UserBaseFactory::destroyUserBaseInstance();
    }

    // Serves one request whose payload lies in a receive array that may hold
    // older bytes behind it; `length` defaults to the payload's size.
    Reply call(int type, const std::string& payload, int length = PAYLOAD_SIZE,
               const std::string& stale = "") {
        std::vector<char> data(PROTOCOL_BUFFER_SIZE, 0);
        memcpy(data.data(), stale.data(), stale.size());
        memcpy(data.data(), payload.data(), payload.size());
        std::vector<char> response(PROTOCOL_BUFFER_SIZE, UNTOUCHED);
        int responseLength = -7;
        handler->handleRequest(&connection, static_cast<reqType_t>(type), data.data(),
                               length == PAYLOAD_SIZE ? static_cast<int>(payload.size()) : length,
                               response.data(), &responseLength);
        Reply reply;
        reply.length = responseLength;
        if (responseLength >= 0 && responseLength < PROTOCOL_BUFFER_SIZE) {
            reply.payload.assign(response.data(), responseLength);
            reply.after = response[responseLength];
        }
        return reply;
    }
    std::string send(int type, const std::string& payload) { return call(type, payload).payload; }
    void signUp(const std::string& name, const std::string& password) {
        ASSERT_EQ(send(REQ_SIGNUP, credentials(name, password)), code(RES_OK)) << name;
    }
    UserBase* store() { return UserBaseFactory::getUserBaseInstance(); }

    TempDir dir;
    GameRequestHandler* handler = nullptr;
    // The caller's connection as the lobby sees it; never connected, so the
    // lobby's own messages to it go nowhere.
    GameClientHandler connection{nullptr};
};

TEST_F(GameRequestHandlerTest, LongHighscoreListIsCutToTheWholeEntriesThatFit) {
    for (int i = 0; i < 100; i++) {
        std::string name = "p" + std::to_string(i);
        signUp(name, "pw");
        ASSERT_EQ(send(REQ_STORESINGLEPLAYERSCORE, credentials(name, "pw") + int32le(i)),
                  code(RES_OK));
    }
    Reply list = call(REQ_SENDSINGLEPLAYERHIGHSCORES, credentials("p0", "pw"));
    ASSERT_EQ(list.length, 1 + 65 * USERBASE_ENTRY_SIZE);
    EXPECT_LE(list.length, PROTOCOL_PAYLOAD_MAX);
    EXPECT_EQ(list.after, UNTOUCHED);
    std::string date = todayDateText();
    EXPECT_EQ(list.payload.substr(1, USERBASE_ENTRY_SIZE), highscoreSlot(1, "p99", date, 99));
    EXPECT_EQ(list.payload.substr(1 + 64 * USERBASE_ENTRY_SIZE),
              highscoreSlot(65, "p35", date, 35));
}

// A request still being served when shutdown has destroyed the store is
// refused; no new store is made for it.
TEST_F(GameRequestHandlerTest, RequestsAfterTheStoreIsDestroyedAreRefused) {
    signUp("ida", "pw");
    UserBaseFactory::destroyUserBaseInstance();
    for (int type : {REQ_SIGNUP, REQ_CHECKUSER, REQ_CHECKUSERANDPASSWORD, REQ_DELETEUSER,
                     REQ_STORESINGLEPLAYERSCORE, REQ_SENDSINGLEPLAYERHIGHSCORES,
                     REQ_MULTI_ATTACHMULTIPLAYER, REQ_MULTI_SENDPLAYERLIST}) {
        Reply reply = call(type, credentials("ida", "pw") + int32le(5));
        EXPECT_EQ(reply.length, 1) << type;
        EXPECT_EQ(reply.payload, code(RES_USERDOESNOTEXIST)) << type;
    }
    EXPECT_EQ(store(), nullptr);
}

TEST_F(GameRequestHandlerTest, BytesMissingFromAShortPayloadReadAsZero) {
    signUp("zoe", "secret");
    std::string full = credentials("zoe", "secret");
    // The receive array still holds this player's credentials from before.
    EXPECT_EQ(call(REQ_CHECKUSERANDPASSWORD, full.substr(0, 20), PAYLOAD_SIZE, full).payload,
              code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(call(REQ_CHECKUSERANDPASSWORD, "", 0, full).payload, code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(call(REQ_CHECKUSERANDPASSWORD, "", -5, full).payload, code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(call(REQ_DELETEUSER, full.substr(0, 25), PAYLOAD_SIZE, full).payload,
              code(RES_USERDOESNOTEXIST));
    EXPECT_EQ(call(REQ_SENDSINGLEPLAYERHIGHSCORES, "", 0, full).payload,
              code(RES_USERDOESNOTEXIST));

    // A score request without its score records 0, not the stale 900.
    std::string stale = full + int32le(900);
    EXPECT_EQ(call(REQ_STORESINGLEPLAYERSCORE, full, PAYLOAD_SIZE, stale).payload, code(RES_OK));
    Reply list = call(REQ_SENDSINGLEPLAYERHIGHSCORES, full);
    EXPECT_EQ(list.payload, code(RES_OK) + highscoreSlot(1, "zoe", todayDateText(), 0));
}

TEST_F(GameRequestHandlerTest, FieldsWithoutTerminatorAreCutAtNineteenCharacters) {
    std::string unterminated(20, 'n');
    std::string password(20, 'p');
    testing::internal::CaptureStdout();
    Reply reply = call(REQ_SIGNUP, unterminated + password + "tail");
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(reply.payload, code(RES_OK));
    EXPECT_NE(
        log.find("REQUEST: sign up " + std::string(19, 'n') + "/" + std::string(19, 'p') + " ->"),
        std::string::npos);
    EXPECT_EQ(
        send(REQ_CHECKUSERANDPASSWORD, credentials(std::string(19, 'n'), std::string(19, 'p'))),
        code(RES_OK));
}

TEST_F(GameRequestHandlerTest, EachRequestLogsItsLineAndOutcome) {
    store();  // the store's own start-up lines come before the capture
    testing::internal::CaptureStdout();
    send(REQ_SIGNUP, credentials("lou", "pw"));
    send(REQ_SIGNUP, credentials("lou", "pw"));
    send(REQ_STORESINGLEPLAYERSCORE, credentials("lou", "pw") + int32le(-3));
    send(REQ_MULTI_INVITEMULTIPLAYER, credentials("lou", "pw") + nameField("kim"));
    std::string log = testing::internal::GetCapturedStdout();
    const char* expected[] = {
        "INFO: Request \n",
        "INFO: REQUEST: sign up lou/pw ->",
        "INFO: user added to user base\n",
        "INFO: user exists, sign up failed\n",
        "INFO: REQUEST: add single player score: lou/pw score -3 ->",
        "INFO: score added to user base\n",
        "INFO: REQUEST: invite player from lou/pw to kim ->",
        "INFO: Error inviting player, failed\n",
    };
    size_t from = 0;
    for (const char* text : expected) {
        size_t at = log.find(text, from);
        EXPECT_NE(at, std::string::npos) << text;
        from = at == std::string::npos ? from : at;
    }
    // The request line and its outcome share one line of the log: the
    // outcome's time stamp follows the " ->" directly.
    const std::string request = "sign up lou/pw ->";
    const size_t stampLength = 19;
    size_t at = log.find(request);
    ASSERT_NE(at, std::string::npos);
    std::string stamp = log.substr(at + request.size(), stampLength);
    EXPECT_EQ(stamp.find('\n'), std::string::npos) << stamp;
    EXPECT_EQ(log.substr(at + request.size() + stampLength, 17), " INFO: user added");
}

TEST_F(GameRequestHandlerTest, StopMessageIsNeverAnsweredNorLogged) {
    signUp("sid", "pw");
    std::string payload = credentials("sid", "pw");
    testing::internal::CaptureStdout();
    handler->handleMessage(nullptr, MSG_STOPPRESSED, &payload[0], 39);
    handler->handleMessage(nullptr, MSG_STOPPRESSED, &payload[0], 40);
    handler->handleMessage(nullptr, MSG_PAUSEPRESSED, &payload[0], 40);
    // Only the valid stop reaches the game manager, which has no game for
    // sid and says so on its own.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Message for non-attached player 1\n");
}

TEST_F(GameRequestHandlerTest, ConcurrentCallersEachGetWholeLists) {
    for (int i = 0; i < 20; i++) {
        signUp("c" + std::to_string(i), "pw");
    }
    const int rounds = 150;
    std::vector<std::thread> threads;
    std::vector<int> badLists(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            std::string own = "c" + std::to_string(t);
            for (int i = 0; i < rounds; i++) {
                call(REQ_STORESINGLEPLAYERSCORE, credentials(own, "pw") + int32le(i * 4 + t));
                Reply list = call(REQ_SENDSINGLEPLAYERHIGHSCORES, credentials(own, "pw"));
                if (list.length != 1 + 20 * USERBASE_ENTRY_SIZE ||
                    list.payload.compare(1, 4, "  1.") != 0 ||
                    list.payload.compare(1 + 19 * USERBASE_ENTRY_SIZE, 4, " 20.") != 0) {
                    badLists[t]++;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < 4; t++) {
        EXPECT_EQ(badLists[t], 0) << t;
    }
}

}  // namespace
