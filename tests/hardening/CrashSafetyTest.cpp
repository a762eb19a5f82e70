// CrashSafetyTest.cpp - the server binary is killed with SIGKILL at random
// moments while a client streams sign-ups and scores, and restarted each
// time, at least 50 times. The save thread runs every 100 ms here, so many
// kills land in the middle of a save. After every kill user.dat must be a
// sound file that the server loads whole, and every account and score whose
// save had completed before the kill must be in it.
//
// When a save has completed is read from the server's own output: a save
// prints "Writing userbase" when it starts, and saves run one after another,
// so a change acknowledged while n such lines had appeared is on disk once
// n + 2 have.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "SimpleOsa.h"
#include "TestSupport.h"
#include "GameProtocol.h"
#include "LoopbackClient.h"
#include "Process.h"
#include "UserFileImage.h"

namespace {

const int KILLS = 50;
const char SAVE_MS[] = "100";
const int MAX_ACCOUNTS = 80;  // the file store holds 100
const int KILL_AFTER_MIN_MS = 50;
const int KILL_AFTER_MAX_MS = 1500;
const long long TEST_DEADLINE_MS = 300000;
const int HIGHSCORE_LIMIT = 2700;
const char SAVE_LINE[] = "Writing userbase";

struct Account {
    std::string name;
    std::string password;
    int signUpSavedAt = 0;  // save lines needed before the sign-up is on disk
    bool onDisk = false;    // its sign-up is known to be saved
    int playedOnDisk = 0;   // games known to be saved
    int playedAcked = 0;    // games acknowledged, saved or not
    std::vector<std::pair<int, int>> pendingScores;  // (save lines needed, score)
};

// Counts the save lines in the server's output, reading only what is new.
class SaveLineCounter {
public:
    explicit SaveLineCounter(const std::string& path) : outputPath(path) {}
    void restart() {
        offset = 0;
        count = 0;
        carry.clear();
    }
    int current() {
        std::ifstream in(outputPath, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset));
        std::string fresh((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        offset += fresh.size();
        std::string text = carry + fresh;
        size_t at = 0;
        while ((at = text.find(SAVE_LINE, at)) != std::string::npos) {
            count++;
            at += sizeof SAVE_LINE - 1;
        }
        size_t keep = std::min(text.size(), sizeof SAVE_LINE - 2);
        carry = text.substr(text.size() - keep);
        return count;
    }

private:
    std::string outputPath;
    size_t offset = 0;
    int count = 0;
    std::string carry;
};

class CrashSafetyTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("CARVANTA_TEST_SAVE_MS", SAVE_MS, 1); }
    void TearDown() override { unsetenv("CARVANTA_TEST_SAVE_MS"); }

    // Streams requests until the connection dies (the kill).
    void streamUntilKilled(LoopbackClient* client, SaveLineCounter* saves, int round) {
        for (int request = 0;; request++) {
            bool signUp = accounts.size() < static_cast<size_t>(MAX_ACCOUNTS) &&
                          (accounts.empty() || random() % 3 == 0);
            if (signUp) {
                Account account;
                account.name = "k" + std::to_string(round) + "_" + std::to_string(request);
                account.password = "pw" + std::to_string(request);
                Answer answer =
                    ask(client, REQ_SIGNUP, credentials(account.name, account.password));
                if (answer.outcome != OUTCOME_ANSWERED) {
                    return;
                }
                ASSERT_EQ(answer.code, RES_OK) << account.name;
                account.signUpSavedAt = saves->current() + 2;
                accounts.push_back(account);
                continue;
            }
            Account& account = accounts[static_cast<size_t>(random()) % accounts.size()];
            int score = static_cast<int>(random() % HIGHSCORE_LIMIT);
            Answer answer = ask(client, REQ_STORESINGLEPLAYERSCORE,
                                      scorePayload(account.name, account.password, score));
            if (answer.outcome != OUTCOME_ANSWERED) {
                return;
            }
            ASSERT_EQ(answer.code, RES_OK) << account.name;
            account.playedAcked++;
            account.pendingScores.push_back({saves->current() + 2, score});
        }
    }

    // What the kill left: settles every account against user.dat.
    void checkFileAfterKill(const std::string& image, int savesSeen) {
        std::vector<UserRecord> records;
        if (image.empty()) {
            // No file (or an empty one): only right while nothing was saved.
            for (const Account& account : accounts) {
                ASSERT_FALSE(account.onDisk || account.signUpSavedAt <= savesSeen)
                    << account.name << " was saved, but user.dat is missing or empty";
            }
            accounts.clear();
            return;
        }
        ASSERT_TRUE(parseCurrentFile(image, &records)) << "user.dat is not a sound file";
        std::map<std::string, const UserRecord*> byName;
        for (const UserRecord& record : records) {
            byName[record.name] = &record;
        }
        std::vector<Account> kept;
        for (Account& account : accounts) {
            bool saved = account.onDisk || account.signUpSavedAt <= savesSeen;
            auto found = byName.find(account.name);
            if (found == byName.end()) {
                ASSERT_FALSE(saved) << account.name << " was saved but is not in user.dat";
                continue;  // never reached the disk: gone with the kill
            }
            int savedGames = account.playedOnDisk;
            for (const auto& pending : account.pendingScores) {
                savedGames += pending.first <= savesSeen ? 1 : 0;
            }
            const UserRecord* record = found->second;
            EXPECT_GE(record->gamesPlayed, savedGames) << account.name;
            EXPECT_LE(record->gamesPlayed, account.playedAcked) << account.name;
            account.onDisk = true;
            account.playedOnDisk = record->gamesPlayed;
            account.playedAcked = record->gamesPlayed;
            account.pendingScores.clear();
            kept.push_back(account);
        }
        accounts = kept;
        expectedNames = records.size();
    }

    std::vector<Account> accounts;
    size_t expectedNames = 0;
};

TEST_F(CrashSafetyTest, UserDataSurvivesFiftyKillsDuringSignUpsAndScores) {
    TempDir dir;
    ServerProcess server;
    int port = freePort();
    SaveLineCounter saves(dir.file("server-output.txt"));
    const char* seedText = getenv("CARVANTA_CRASH_SEED");
    unsigned seed = seedText != nullptr ? static_cast<unsigned>(atol(seedText))
                                        : static_cast<unsigned>(getpid());
    std::cout << "crash safety seed " << seed << " (CARVANTA_CRASH_SEED=" << seed
              << " runs the same choices)" << std::endl;
    srandom(seed);
    long long deadline = clockMonotonicMs() + TEST_DEADLINE_MS;
    int kills = 0;
    int killedDuringSave = 0;
    for (int round = 0; kills < KILLS; round++) {
        ASSERT_LT(clockMonotonicMs(), deadline) << "only " << kills << " kills in the time allowed";
        ASSERT_TRUE(server.start(dir.path(), port)) << server.output();
        saves.restart();
        std::string startOutput = server.output();
        EXPECT_EQ(startOutput.find("compromised"), std::string::npos) << startOutput;
        EXPECT_EQ(startOutput.find("FAILED READING"), std::string::npos) << startOutput;
        EXPECT_FALSE(fileExists(dir.file("user.dat.damaged")));

        // The restarted server loads everything user.dat holds.
        std::map<std::string, StatsLine> table;
        ASSERT_TRUE(readStatsTable(&server, &table)) << server.output();
        EXPECT_EQ(table.size(), expectedNames);
        for (const Account& account : accounts) {
            auto row = table.find(account.name);
            ASSERT_NE(row, table.end()) << account.name << " did not load";
            EXPECT_EQ(row->second.played, account.playedOnDisk) << account.name;
        }

        LoopbackClient client;
        ASSERT_TRUE(client.connectTo(port));
        pid_t pid = server.pid();
        int killAfterMs = KILL_AFTER_MIN_MS +
                          static_cast<int>(random() % (KILL_AFTER_MAX_MS - KILL_AFTER_MIN_MS));
        // Every other round the kill follows the start of a save as closely
        // as the output shows it, to land inside the write more often.
        bool chaseSave = round % 2 == 1;
        std::string outputPath = dir.file("server-output.txt");
        std::thread killer([pid, killAfterMs, chaseSave, outputPath]() {
            long long until = clockMonotonicMs() + killAfterMs;
            SaveLineCounter watched(outputPath);
            int before = chaseSave ? watched.current() : 0;
            while (clockMonotonicMs() < until) {
                if (chaseSave && watched.current() > before) {
                    break;
                }
                usleep(chaseSave ? 200 : 1000);
            }
            kill(pid, SIGKILL);
        });
        streamUntilKilled(&client, &saves, round);
        killer.join();
        server.kill9();
        kills++;
        int savesSeen = saves.current();
        if (fileExists(dir.file("user.dat.tmp"))) {
            killedDuringSave++;  // a save had begun writing when the kill came
        }
        checkFileAfterKill(readFile(dir.file("user.dat")), savesSeen);
        if (HasFatalFailure()) {
            return;
        }
    }
    std::cout << "crash safety: " << kills << " kills, " << killedDuringSave
              << " of them with a save under way, " << accounts.size()
              << " accounts checked after the last" << std::endl;
    EXPECT_GT(expectedNames, 0u) << "no save ever completed: the test proved nothing";
}

}  // namespace
