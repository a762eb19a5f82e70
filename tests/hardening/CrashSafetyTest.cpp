// CrashSafetyTest.cpp - user.dat stays sound and complete through 50 SIGKILLs of the server.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <thread>
#include <vector>

#include "GameProtocol.h"
#include "LoopbackClient.h"
#include "Process.h"
#include "TestSupport.h"
#include "UserFileImage.h"

namespace {

struct Account {
    std::string name;
    int signUpSavedAt = 0;  // save lines after which the sign-up is on disk (0: seen there)
    int playedOnDisk = 0;
    std::vector<int> scoreSavedAt;  // the same for each score acknowledged since
};

TEST(CrashSafetyTest, UserDataSurvivesFiftyKillsDuringSignUpsAndScores) {
    const char* seedText = getenv("CARVANTA_CRASH_SEED");
    unsigned seed = seedText != nullptr ? static_cast<unsigned>(atol(seedText)) : getpid();
    std::cout << "crash safety seed " << seed << " (CARVANTA_CRASH_SEED=" << seed
              << " runs the same choices)" << std::endl;
    srandom(seed);
    TempDir dir;
    // A save prints "Writing userbase" as it starts and saves run one after another, so a
    // change acknowledged while n such lines had appeared is on disk once n + 2 have.
    auto savesStarted = [&dir] {
        return countOccurrences(readFile(dir.file("server-output.txt")), "Writing userbase");
    };
    std::vector<Account> accounts;
    // Signs up (at most 80 accounts of the store's 100) and scores until the kill.
    auto streamUntilKilled = [&](LoopbackClient* client, int round) {
        for (int request = 0;; request++) {
            bool signUp = accounts.size() < 80 && (accounts.empty() || random() % 3 == 0);
            Account fresh;
            fresh.name = "k" + std::to_string(round) + "_" + std::to_string(request);
            Account& account =
                signUp ? fresh : accounts[static_cast<size_t>(random()) % accounts.size()];
            Answer answer =
                signUp ? ask(client, REQ_SIGNUP, credentials(account.name, "pw"))
                       : ask(client, REQ_STORESINGLEPLAYERSCORE,
                             scorePayload(account.name, "pw", static_cast<int>(random() % 2700)));
            if (answer.outcome != OUTCOME_ANSWERED) {
                return;
            }
            ASSERT_EQ(answer.code, RES_OK) << account.name;
            if (signUp) {
                account.signUpSavedAt = savesStarted() + 2;
                accounts.push_back(account);
            } else {
                account.scoreSavedAt.push_back(savesStarted() + 2);
            }
        }
    };
    ServerProcess server;
    int port = freePort();
    long long deadline = clockMonotonicMs() + 300000;
    setenv("CARVANTA_TEST_SAVE_MS", "100", 1);
    for (int kills = 0; kills < 50; kills++) {
        ASSERT_LT(clockMonotonicMs(), deadline) << "only " << kills << " kills in the time allowed";
        ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
        EXPECT_EQ(server.output().find("compromised"), std::string::npos) << server.output();
        EXPECT_EQ(server.output().find("FAILED READING"), std::string::npos) << server.output();
        EXPECT_FALSE(fileExists(dir.file("user.dat.damaged")));
        LoopbackClient client;
        ASSERT_TRUE(client.connectTo(port));
        // Every other kill follows the start of a save as closely as the output shows it.
        bool chaseSave = kills % 2 == 1;
        long long killAt = clockMonotonicMs() + 50 + random() % 1450;
        std::thread killer([&, pid = server.pid()] {
            int before = savesStarted();
            while (clockMonotonicMs() < killAt && !(chaseSave && savesStarted() > before)) {
                usleep(200);
            }
            kill(pid, SIGKILL);
        });
        streamUntilKilled(&client, kills);
        killer.join();
        server.kill9();
        if (HasFatalFailure()) {
            return;  // a request was refused
        }

        // Every account settles against the user.dat the kill left.
        int saves = savesStarted();
        std::string image = readFile(dir.file("user.dat"));
        std::vector<UserRecord> records;
        ASSERT_TRUE(image.empty() || parseCurrentFile(image, &records)) << "user.dat is unsound";
        std::map<std::string, int> played;
        for (const UserRecord& record : records) {
            played[record.name] = record.gamesPlayed;
        }
        std::vector<Account> kept;
        for (Account& account : accounts) {
            if (played.count(account.name) == 0) {
                ASSERT_GT(account.signUpSavedAt, saves)
                    << account.name << " was saved but is not in user.dat";
                continue;
            }
            int saved = account.playedOnDisk +
                        std::count_if(account.scoreSavedAt.begin(), account.scoreSavedAt.end(),
                                      [saves](int at) { return at <= saves; });
            EXPECT_GE(played[account.name], saved) << account.name;
            EXPECT_LE(played[account.name], account.playedOnDisk + account.scoreSavedAt.size())
                << account.name;
            account.signUpSavedAt = 0;
            account.playedOnDisk = played[account.name];
            account.scoreSavedAt.clear();
            kept.push_back(account);
        }
        accounts = kept;
    }
    EXPECT_FALSE(accounts.empty()) << "no save ever completed: the test proved nothing";
}

}  // namespace
