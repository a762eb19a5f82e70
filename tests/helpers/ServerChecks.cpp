// ServerChecks.cpp - requests, console tables and memory figures of a
// running server binary, for the hardening tests.
#include "ServerChecks.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "LoopbackClient.h"
#include "ServerProcess.h"

namespace {

const int HIGHSCORE_ENTRY_SIZE = 50;
const char STATS_TOP[] = "|Id   |User      |***  SINGLE PLAYER GAME ***";
const char TABLE_END[] = "###########################################################";

}  // namespace

Answer askServer(LoopbackClient* client, int reqType, const std::string& payload, int timeoutMs) {
    Answer answer;
    long long start = monotonicMs();
    std::string response;
    bool answered = client->request(reqType, payload, &response, timeoutMs);
    answer.waitedMs = monotonicMs() - start;
    if (answered) {
        answer.outcome = OUTCOME_ANSWERED;
        answer.payload = response;
        answer.code = response.empty() ? -1 : static_cast<unsigned char>(response[0]);
        return answer;
    }
    // A closed connection shows at once; a silent one only at the deadline.
    bool closed = !client->isConnected() || client->waitClosed(0) || answer.waitedMs < timeoutMs;
    answer.outcome = closed ? OUTCOME_CLOSED : OUTCOME_TIMEOUT;
    return answer;
}

std::string scorePayload(const std::string& name, const std::string& password, int score) {
    return credentials(name, password) + int32le(score);
}

std::map<std::string, StatsLine> parseStatsTable(const std::string& output) {
    std::map<std::string, StatsLine> table;
    size_t top = output.rfind(STATS_TOP);
    if (top == std::string::npos) {
        return table;
    }
    std::istringstream lines(output.substr(top));
    std::string line;
    while (std::getline(lines, line)) {
        StatsLine row;
        char name[64] = {0};
        char date[64] = {0};
        if (sscanf(line.c_str(), "|%d|%63[^|]|%d|%d|%d|%63[^|]|", &row.id, name, &row.played,
                   &row.high, &row.average, date) == 6) {
            std::string trimmed(name);
            trimmed.erase(0, trimmed.find_first_not_of(' '));
            table[trimmed] = row;
        }
    }
    return table;
}

bool readStatsTable(ServerProcess* server, std::map<std::string, StatsLine>* table, int timeoutMs) {
    size_t before = server->output().size();
    if (!server->sendConsole("stats\n")) {
        return false;
    }
    long long deadline = monotonicMs() + timeoutMs;
    while (monotonicMs() < deadline) {
        std::string output = server->output();
        size_t top = output.size() > before ? output.find(STATS_TOP, before) : std::string::npos;
        // The table ends with two rows of '#': the first closes the head.
        if (top != std::string::npos && output.find(TABLE_END, top) != std::string::npos) {
            *table = parseStatsTable(output.substr(before));
            return true;
        }
        usleep(20 * 1000);
    }
    return false;
}

std::map<std::string, int> parseHighscoreList(const std::string& list) {
    std::map<std::string, int> entries;
    for (size_t at = 0; at + HIGHSCORE_ENTRY_SIZE <= list.size(); at += HIGHSCORE_ENTRY_SIZE) {
        std::string entry(list.c_str() + at, strnlen(list.c_str() + at, HIGHSCORE_ENTRY_SIZE));
        int rank = 0;
        char name[64] = {0};
        // "%3d. %10s %10s %4d": the date holds blanks ("%2d-%2d-%4d").
        size_t lastBlank = entry.find_last_of(' ');
        if (lastBlank == std::string::npos || sscanf(entry.c_str(), "%d. %63s", &rank, name) != 2) {
            continue;
        }
        entries[name] = atoi(entry.c_str() + lastBlank + 1);
    }
    return entries;
}

long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return atol(line.c_str() + 6);
        }
    }
    return -1;
}
