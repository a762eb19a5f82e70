// GameClientHandlerTest.cpp - the protocol endpoint over 127.0.0.1: a server
// with GameClientHandlerFactory and recording listeners, raw clients that
// speak only the wire format, and client-side handlers using sendRequest
// against the server or against a plain peer the test drives.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "SimpleOsa.h"
#include "GameClientHandler.h"
#include "GameClientHandlerFactory.h"
#include "LoopbackClient.h"
#include "NetClient.h"
#include "RawPeer.h"
#include "TestServer.h"

namespace {

const int WAIT_MS = 5000;

struct Dispatched {
    bool isRequest;
    int id;
    std::string payload;
    GameClientHandler* handler;
};

// Both listeners in one. Requests are answered with RES_OK followed by the
// request's payload, unless a responder is set.
class RecordingListener : public RequestListener, public MessageListener {
public:
    void handleRequest(GameClientHandler* handler, reqType_t request, char* requestData,
                       int requestDataLength, char* responseData, int* respDataLength) override {
        record(true, request, requestData, requestDataLength, handler);
        if (responder) {
            responder(request, responseData, respDataLength);
            return;
        }
        responseData[0] = RES_OK;
        memcpy(responseData + 1, requestData, requestDataLength);
        *respDataLength = requestDataLength + 1;
    }
    void handleMessage(GameClientHandler* handler, msgType_t message, char* messageData,
                       int dataLength) override {
        record(false, message, messageData, dataLength, handler);
    }
    bool waitForCount(size_t wanted, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return seen.size() >= wanted; });
    }
    std::vector<Dispatched> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }

    // Set before any connection is served.
    std::function<void(reqType_t, char*, int*)> responder;

private:
    void record(bool isRequest, int id, char* data, int length, GameClientHandler* handler) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(
            Dispatched{isRequest, id, std::string(data, length > 0 ? length : 0), handler});
        arrived.notify_all();
    }

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Dispatched> seen;
};

class GameClientHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.onConnected = [this](NetServerClient*, NetClientHandler* handler) {
            GameClientHandler* gameHandler = static_cast<GameClientHandler*>(handler);
            gameHandler->setRequestListener(withListeners ? &listener : nullptr);
            gameHandler->setMessageListener(withListeners ? &listener : nullptr);
        };
        ASSERT_EQ(SOCKERR_OK, server.setNetClientHandlerFactory(&factory));
        port = server.start();
        ASSERT_GT(port, 0);
    }

    void connect(LoopbackClient* client) {
        int before = server.count(ServerEvent::CONNECTED);
        ASSERT_TRUE(client->connectTo(port));
        ASSERT_TRUE(server.waitForCount(ServerEvent::CONNECTED, before + 1, WAIT_MS));
        // The server attaches the connection right after the callback: wait
        // for it, or a send from the test can find the handler still free.
        GameClientHandler* handler = lastHandler();
        ASSERT_NE(nullptr, handler);
        ASSERT_TRUE(waitUntil([&] { return handler->isBusy(); }, WAIT_MS));
    }

    // The handler of the newest connection. The loss of an earlier one may
    // be reported after it, so the newest event is not always the one.
    GameClientHandler* lastHandler() {
        std::vector<ServerEvent> events = server.events();
        for (auto event = events.rbegin(); event != events.rend(); ++event) {
            if (event->kind == ServerEvent::CONNECTED) {
                return static_cast<GameClientHandler*>(event->handler);
            }
        }
        ADD_FAILURE() << "no connection yet";
        return nullptr;
    }

    RecordingListener listener;  // outlives the server
    bool withListeners = true;
    GameClientHandlerFactory factory;
    TestServer server;
    int port = -1;
};

std::string payloadOf(int size, char seed) {
    std::string bytes(size, '\0');
    for (int i = 0; i < size; i++) {
        bytes[i] = static_cast<char>(seed + i * 13);
    }
    return bytes;
}

TEST_F(GameClientHandlerTest, EmptyRequestReachesListenerWithLengthZero) {
    LoopbackClient client;
    connect(&client);
    std::string response;
    ASSERT_TRUE(client.request(REQ_MULTI_SENDPLAYERLIST, "", &response));
    EXPECT_EQ(std::string(1, RES_OK), response);
    ASSERT_TRUE(listener.waitForCount(1, WAIT_MS));
    EXPECT_EQ("", listener.all()[0].payload);
}

// The stream is read in order: what one listener sees shows that the
// envelope before it, with no listener of its kind, was dropped.
TEST_F(GameClientHandlerTest, WithoutListenersEnvelopesAreDroppedSilently) {
    withListeners = false;
    LoopbackClient client;
    connect(&client);
    GameClientHandler* handler = lastHandler();
    handler->setMessageListener(&listener);
    ASSERT_TRUE(client.sendEnvelope(COMMTYPE_REQUEST, REQ_CHECKUSER, "nobody"));
    ASSERT_TRUE(client.sendEnvelope(COMMTYPE_MESSAGE, MSG_STOPPRESSED, "after"));
    ASSERT_TRUE(listener.waitForCount(1, WAIT_MS));
    EXPECT_EQ("", client.receiveRaw(0)) << "a request without listener was answered";

    handler->setMessageListener(nullptr);
    handler->setRequestListener(&listener);
    ASSERT_TRUE(client.sendEnvelope(COMMTYPE_MESSAGE, MSG_STOPPRESSED, "nobody"));
    std::string response;
    EXPECT_TRUE(client.request(REQ_CHECKUSER, "now", &response));
    std::vector<Dispatched> seen = listener.all();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ("after", seen[0].payload);
    EXPECT_EQ("now", seen[1].payload);
}

TEST_F(GameClientHandlerTest, ResponseWithNobodyWaitingIsDropped) {
    LoopbackClient client;
    connect(&client);
    ASSERT_TRUE(client.sendEnvelope(COMMTYPE_RESPONSE, REQ_CHECKUSER, payloadOf(100, 'r')));
    std::string response;
    EXPECT_TRUE(client.request(REQ_CHECKUSER, "after", &response));
    EXPECT_EQ(std::string(1, RES_OK) + "after", response);
    EXPECT_EQ(1u, listener.all().size());
}

TEST_F(GameClientHandlerTest, OverlongListenerResponseIsSentEmpty) {
    listener.responder = [](reqType_t, char* response, int* length) {
        response[0] = RES_OK;
        *length = PROTOCOL_PAYLOAD_MAX + 1;
    };
    LoopbackClient client;
    connect(&client);
    std::string response = "unchanged";
    ASSERT_TRUE(client.request(REQ_SENDSINGLEPLAYERHIGHSCORES, "", &response));
    EXPECT_EQ("", response);
}

TEST_F(GameClientHandlerTest, SendMessageReachesTheClientAndRefusesBadLengths) {
    LoopbackClient client;
    connect(&client);
    GameClientHandler* handler = lastHandler();
    std::string list = payloadOf(2400, 'p');
    ASSERT_EQ(SOCKERR_OK, handler->sendMessage(MSG_RECEIVEPLAYERLIST, &list[0], 2400));
    ASSERT_EQ(SOCKERR_OK, handler->sendMessage(MSG_COUNTDOWNFORPLAY, nullptr, 0));
    Envelope message;
    ASSERT_TRUE(client.waitMessage(MSG_RECEIVEPLAYERLIST, &message, WAIT_MS));
    EXPECT_EQ(list, message.payload);
    ASSERT_TRUE(client.waitMessage(MSG_COUNTDOWNFORPLAY, &message, WAIT_MS));
    EXPECT_EQ("", message.payload);

    std::string tooBig(PROTOCOL_PAYLOAD_MAX + 1, 'x');
    EXPECT_EQ(SOCKERR_WRITEERROR,
              handler->sendMessage(MSG_RECEIVECARDS, &tooBig[0], PROTOCOL_PAYLOAD_MAX + 1));
    EXPECT_EQ(SOCKERR_WRITEERROR, handler->sendMessage(MSG_RECEIVECARDS, nullptr, 4));
    EXPECT_EQ(SOCKERR_WRITEERROR, handler->sendMessage(MSG_RECEIVECARDS, &tooBig[0], -1));
    // Nothing of the refused ones came before the next message.
    ASSERT_EQ(SOCKERR_OK, handler->sendMessage(MSG_GAMEFINISHED, &list[0], 4));
    ASSERT_TRUE(client.receiveEnvelope(&message, WAIT_MS));
    EXPECT_EQ(MSG_GAMEFINISHED, message.id);

    client.close();
    ASSERT_TRUE(server.waitForCount(ServerEvent::DISCONNECTED, 1, WAIT_MS));
    EXPECT_EQ(SOCKERR_WRITEERROR, handler->sendMessage(MSG_GAMEFINISHED, &list[0], 4));
}

TEST_F(GameClientHandlerTest, ConcurrentSendersNeverInterleaveEnvelopes) {
    LoopbackClient client;
    connect(&client);
    GameClientHandler* handler = lastHandler();
    const int senders = 4;
    const int perSender = 50;
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; s++) {
        threads.emplace_back([handler, s] {
            for (int i = 0; i < perSender; i++) {
                std::string payload = int32le(s) + int32le(i) + payloadOf(10 + i * 17, 'a' + s);
                handler->sendMessage(MSG_RECEIVECARDS, &payload[0],
                                     static_cast<int>(payload.size()));
            }
        });
    }
    int next[senders] = {0, 0, 0, 0};
    for (int received = 0; received < senders * perSender; received++) {
        Envelope message;
        ASSERT_TRUE(client.receiveEnvelope(&message, WAIT_MS)) << "after " << received;
        ASSERT_GE(message.payload.size(), 8u);
        int s = static_cast<unsigned char>(message.payload[0]);
        int i = static_cast<unsigned char>(message.payload[4]);
        ASSERT_LT(s, senders);
        EXPECT_EQ(next[s], i) << "sender " << s;
        EXPECT_EQ(payloadOf(10 + i * 17, 'a' + s), message.payload.substr(8));
        next[s] = i + 1;
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

TEST_F(GameClientHandlerTest, ReusedHandlerForgetsThePartialEnvelopeOfItsLastConnection) {
    LoopbackClient first;
    connect(&first);
    GameClientHandler* handler = lastHandler();
    std::string envelope = encodeEnvelope(COMMTYPE_REQUEST, REQ_CHECKUSER, payloadOf(30, 'q'));
    ASSERT_TRUE(first.sendBytes(envelope.substr(0, 20)));
    usleep(50 * 1000);
    first.close();
    ASSERT_TRUE(server.waitForCount(ServerEvent::DISCONNECTED, 1, WAIT_MS));
    LoopbackClient second;
    connect(&second);
    EXPECT_EQ(handler, lastHandler());
    std::string response;
    ASSERT_TRUE(second.request(REQ_CHECKUSER, "fresh", &response));
    EXPECT_EQ(std::string(1, RES_OK) + "fresh", response);
    EXPECT_EQ(1u, listener.all().size());
}

TEST_F(GameClientHandlerTest, ClientSideSendRequestGetsItsOwnResponses) {
    NetClient connection;
    char loopback[] = "127.0.0.1";
    ASSERT_EQ(SOCKERR_OK, connection.connectToServer(loopback, port));
    GameClientHandler clientSide(&connection);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 30; i++) {
                std::string payload = "t" + std::to_string(t) + "-" + std::to_string(i);
                char response[PROTOCOL_PAYLOAD_MAX];
                int length = -1;
                sockErr_t err =
                    clientSide.sendRequest(REQ_CHECKUSER, &payload[0],
                                           static_cast<int>(payload.size()), response, &length);
                if (err != SOCKERR_OK ||
                    std::string(response, length) != std::string(1, RES_OK) + payload) {
                    wrong++;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, wrong.load());
    clientSide.destroyHandler();
}

// A client-side handler against a plain peer that the test drives.
class SendRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.listenOnFreePort());
        char loopback[] = "127.0.0.1";
        ASSERT_EQ(SOCKERR_OK, connection.connectToServer(loopback, peer.port));
        ASSERT_TRUE(peer.acceptPeer());
        handler = new GameClientHandler(&connection);
    }
    void TearDown() override { delete handler; }

    // The request the handler sent, decoded.
    Envelope readRequest(const std::string& payload) {
        Envelope request;
        std::string bytes = peer.receive(ENVELOPE_OVERHEAD + payload.size(), WAIT_MS);
        EXPECT_TRUE(decodeEnvelope(bytes, &request));
        return request;
    }

    RawPeer peer;
    NetClient connection;
    GameClientHandler* handler = nullptr;
};

TEST_F(SendRequestTest, ResponseOfAnotherTypeFirstIsSkipped) {
    std::thread server([this] {
        Envelope request = readRequest("ask");
        EXPECT_EQ(REQ_CHECKUSERANDPASSWORD, request.id);
        peer.sendAll(encodeEnvelope(COMMTYPE_RESPONSE, REQ_CHECKUSER, "other"));
        usleep(100 * 1000);
        peer.sendAll(encodeEnvelope(COMMTYPE_RESPONSE, REQ_CHECKUSERANDPASSWORD, "mine"));
    });
    char request[] = "ask";
    char response[PROTOCOL_PAYLOAD_MAX];
    int length = 0;
    EXPECT_EQ(SOCKERR_OK,
              handler->sendRequest(REQ_CHECKUSERANDPASSWORD, request, 3, response, &length));
    EXPECT_EQ("mine", std::string(response, length));
    server.join();
}

TEST_F(SendRequestTest, EarlierResponseWithNobodyWaitingIsNotTakenForTheNextRequest) {
    RecordingListener messages;
    handler->setMessageListener(&messages);
    // A response of the same type arrives while nobody waits; the message
    // behind it shows that the handler has read past it.
    peer.sendAll(encodeEnvelope(COMMTYPE_RESPONSE, REQ_CHECKUSER, "stale") +
                 encodeEnvelope(COMMTYPE_MESSAGE, MSG_GAMEFINISHED, ""));
    ASSERT_TRUE(messages.waitForCount(1, WAIT_MS));
    std::thread server([this] {
        readRequest("q");
        peer.sendAll(encodeEnvelope(COMMTYPE_RESPONSE, REQ_CHECKUSER, "fresh"));
    });
    char request[] = "q";
    char response[PROTOCOL_PAYLOAD_MAX];
    int length = 0;
    EXPECT_EQ(SOCKERR_OK, handler->sendRequest(REQ_CHECKUSER, request, 1, response, &length));
    EXPECT_EQ("fresh", std::string(response, length));
    server.join();
    handler->setMessageListener(nullptr);
}

TEST_F(SendRequestTest, ImmediateResponseIsNotMissed) {
    for (int round = 0; round < 50; round++) {
        std::thread server([this, round] {
            readRequest("r");
            peer.sendAll(encodeEnvelope(COMMTYPE_RESPONSE, REQ_DELETEUSER, std::to_string(round)));
        });
        char request[] = "r";
        char response[PROTOCOL_PAYLOAD_MAX];
        int length = 0;
        EXPECT_EQ(SOCKERR_OK, handler->sendRequest(REQ_DELETEUSER, request, 1, response, &length));
        EXPECT_EQ(std::to_string(round), std::string(response, length));
        server.join();
    }
}

TEST_F(SendRequestTest, NoAnswerTimesOutAfterThreeSeconds) {
    char request[] = "hello";
    char response[PROTOCOL_PAYLOAD_MAX];
    int length = 0;
    long long start = clockMonotonicMs();
    EXPECT_EQ(SOCKERR_CONNECTERROR,
              handler->sendRequest(REQ_SIGNUP, request, 5, response, &length));
    long long elapsed = clockMonotonicMs() - start;
    EXPECT_GE(elapsed, GAMECLIENTHANDLER_RESPONSE_WAIT_MS - 50);
    EXPECT_LT(elapsed, GAMECLIENTHANDLER_RESPONSE_WAIT_MS + 1500);
    // A late answer is dropped, not copied into the caller's old buffer.
    memset(response, 'u', 8);
    peer.sendAll(encodeEnvelope(COMMTYPE_RESPONSE, REQ_SIGNUP, "late!"));
    // The stream is read in order: once the next request has its answer,
    // the late one has been dealt with.
    std::thread server([this] {
        readRequest("hello");
        readRequest("next");
        peer.sendAll(encodeEnvelope(COMMTYPE_RESPONSE, REQ_CHECKUSER, "ok"));
    });
    char next[] = "next";
    char nextResponse[PROTOCOL_PAYLOAD_MAX];
    EXPECT_EQ(SOCKERR_OK, handler->sendRequest(REQ_CHECKUSER, next, 4, nextResponse, &length));
    EXPECT_EQ("ok", std::string(nextResponse, length));
    server.join();
    EXPECT_EQ(std::string(8, 'u'), std::string(response, 8));
}

TEST_F(SendRequestTest, LostConnectionEndsTheWaitEarly) {
    std::thread server([this] {
        readRequest("bye");
        peer.closePeer();
    });
    char request[] = "bye";
    char response[PROTOCOL_PAYLOAD_MAX];
    int length = 0;
    long long start = clockMonotonicMs();
    EXPECT_EQ(SOCKERR_CONNECTERROR,
              handler->sendRequest(REQ_DELETEUSER, request, 3, response, &length));
    EXPECT_LT(clockMonotonicMs() - start, 1000);
    server.join();
    EXPECT_EQ(SOCKERR_WRITEERROR, handler->sendMessage(MSG_STOPPRESSED, nullptr, 0));
}

// Calls sendRequest from inside a message listener, on the reader thread.
class ReaderThreadCaller : public MessageListener {
public:
    void handleMessage(GameClientHandler* handler, msgType_t, char*, int) override {
        char response[PROTOCOL_PAYLOAD_MAX];
        int length = 0;
        long long start = clockMonotonicMs();
        result = handler->sendRequest(REQ_SIGNUP, nullptr, 0, response, &length);
        elapsed = clockMonotonicMs() - start;
        done = true;
    }
    std::atomic<bool> done{false};
    std::atomic<int> result{SOCKERR_OK};
    std::atomic<long long> elapsed{0};
};

TEST_F(SendRequestTest, SendRequestOnTheReaderThreadIsRefusedAtOnce) {
    ReaderThreadCaller caller;
    handler->setMessageListener(&caller);
    peer.sendAll(encodeEnvelope(COMMTYPE_MESSAGE, MSG_PAUSEGAME, ""));
    ASSERT_TRUE(waitUntil([&] { return caller.done.load(); }, WAIT_MS));
    EXPECT_EQ(SOCKERR_CONNECTERROR, caller.result.load());
    EXPECT_LT(caller.elapsed.load(), 100);
    handler->destroyHandler();
}

}  // namespace

TEST_F(GameClientHandlerTest, AClientThatStopsReadingIsDroppedAndOthersAreServed) {
    LoopbackClient deaf;  // connects and never reads again
    connect(&deaf);
    GameClientHandler* handler = lastHandler();
    std::string payload = payloadOf(PROTOCOL_PAYLOAD_MAX, 'd');
    long long started = clockMonotonicMs();
    long long lastSendStarted = started;
    sockErr_t result = SOCKERR_OK;
    // The buffers on both ends fill up; then one write waits for its
    // deadline, fails and closes the connection.
    while (result == SOCKERR_OK && clockMonotonicMs() - started < 60000) {
        lastSendStarted = clockMonotonicMs();
        result = handler->sendMessage(MSG_RECEIVEPLAYERLIST, &payload[0], PROTOCOL_PAYLOAD_MAX);
    }
    long long blocked = clockMonotonicMs() - lastSendStarted;
    ASSERT_EQ(SOCKERR_WRITEERROR, result);
    EXPECT_GE(blocked, NETSOCKET_WRITE_DEADLINE_MS - 500);
    EXPECT_LT(blocked, NETSOCKET_WRITE_DEADLINE_MS + 5000);
    EXPECT_TRUE(waitUntil([&] { return server.getClientsConnected() == 0; }, WAIT_MS))
        << "the lost connection is reported and its slot freed";

    LoopbackClient other;
    connect(&other);
    std::string response;
    EXPECT_TRUE(other.request(REQ_CHECKUSER, "", &response)) << "the server still serves";
}
