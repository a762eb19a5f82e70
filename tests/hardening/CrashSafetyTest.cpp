// CrashSafetyTest.cpp - user.dat stays sound and complete through 50 SIGKILLs of the server.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <thread>
#include <vector>

#include "GameProtocol.h"
#include "LoopbackClient.h"
#include "Process.h"
#include "SimpleOsa.h"
#include "TestSupport.h"
#include "UserFileImage.h"

namespace {

struct Account {
    std::string name;
    int signUpSavedAt = 0;  // save lines after which the sign-up is on disk
    bool onDisk = false;
    int playedOnDisk = 0;
    int playedAcked = 0;
    std::vector<int> scoreSavedAt;
};

// A save prints "Writing userbase" as it starts and saves run one after another, so a
// change acknowledged while n such lines had appeared is on disk once n + 2 have.
int savesStarted(const std::string& outputPath) {
    return countOccurrences(readFile(outputPath), "Writing userbase");
}

class CrashSafetyTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("CARVANTA_TEST_SAVE_MS", "100", 1); }
    void TearDown() override { unsetenv("CARVANTA_TEST_SAVE_MS"); }

    // Signs up (at most 80 accounts of the store's 100) and scores until the kill.
    void streamUntilKilled(LoopbackClient* client, int round) {
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
                account.signUpSavedAt = savesStarted(output) + 2;
                accounts.push_back(account);
            } else {
                account.playedAcked++;
                account.scoreSavedAt.push_back(savesStarted(output) + 2);
            }
        }
    }

    // Settles every account against the user.dat the kill left.
    void checkFileAfterKill(const std::string& image, int saves) {
        std::vector<UserRecord> records;
        ASSERT_TRUE(image.empty() || parseCurrentFile(image, &records)) << "user.dat is unsound";
        std::map<std::string, const UserRecord*> byName;
        for (const UserRecord& record : records) {
            byName[record.name] = &record;
        }
        std::vector<Account> kept;
        for (Account& account : accounts) {
            auto found = byName.find(account.name);
            if (found == byName.end()) {
                ASSERT_FALSE(account.onDisk || account.signUpSavedAt <= saves)
                    << account.name << " was saved but is not in user.dat";
                continue;
            }
            int savedGames = account.playedOnDisk;
            for (int savedAt : account.scoreSavedAt) {
                savedGames += savedAt <= saves ? 1 : 0;
            }
            EXPECT_GE(found->second->gamesPlayed, savedGames) << account.name;
            EXPECT_LE(found->second->gamesPlayed, account.playedAcked) << account.name;
            account.onDisk = true;
            account.playedOnDisk = account.playedAcked = found->second->gamesPlayed;
            account.scoreSavedAt.clear();
            kept.push_back(account);
        }
        accounts = kept;
        namesOnDisk = records.size();
    }

    TempDir dir;
    std::string output = dir.file("server-output.txt");
    std::vector<Account> accounts;
    size_t namesOnDisk = 0;
};

TEST_F(CrashSafetyTest, UserDataSurvivesFiftyKillsDuringSignUpsAndScores) {
    const char* seedText = getenv("CARVANTA_CRASH_SEED");
    unsigned seed = seedText != nullptr ? static_cast<unsigned>(atol(seedText)) : getpid();
    std::cout << "crash safety seed " << seed << " (CARVANTA_CRASH_SEED=" << seed
              << " runs the same choices)" << std::endl;
    srandom(seed);
    ServerProcess server;
    int port = freePort();
    long long deadline = clockMonotonicMs() + 300000;
    for (int kills = 0; kills < 50; kills++) {
        ASSERT_LT(clockMonotonicMs(), deadline) << "only " << kills << " kills in the time allowed";
        ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
        EXPECT_EQ(server.output().find("compromised"), std::string::npos) << server.output();
        EXPECT_EQ(server.output().find("FAILED READING"), std::string::npos) << server.output();
        EXPECT_FALSE(fileExists(dir.file("user.dat.damaged")));
        std::map<std::string, StatsLine> table;
        ASSERT_TRUE(readStatsTable(&server, &table)) << server.output();
        EXPECT_EQ(table.size(), namesOnDisk);
        for (const Account& account : accounts) {
            ASSERT_EQ(table.count(account.name), 1u) << account.name << " did not load";
            EXPECT_EQ(table[account.name].played, account.playedOnDisk) << account.name;
        }
        LoopbackClient client;
        ASSERT_TRUE(client.connectTo(port));
        // Every other kill follows the start of a save as closely as the output shows it.
        bool chaseSave = kills % 2 == 1;
        long long killAt = clockMonotonicMs() + 50 + random() % 1450;
        std::thread killer([&, pid = server.pid()] {
            int before = savesStarted(output);
            while (clockMonotonicMs() < killAt && !(chaseSave && savesStarted(output) > before)) {
                usleep(200);
            }
            kill(pid, SIGKILL);
        });
        streamUntilKilled(&client, kills);
        killer.join();
        server.kill9();
        checkFileAfterKill(readFile(dir.file("user.dat")), savesStarted(output));
        if (HasFatalFailure()) {
            return;
        }
    }
    EXPECT_GT(namesOnDisk, 0u) << "no save ever completed: the test proved nothing";
}

}  // namespace
