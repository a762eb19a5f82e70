// ServerChecks.h - what the soak, crash and dead-peer tests ask of a running
// server binary: account requests with their response code and how long
// they waited, the console "stats" table and the high-score list parsed,
// and the server's resident memory. Used from any test thread, each with
// its own LoopbackClient.
#ifndef SERVERCHECKS_H
#define SERVERCHECKS_H

#include <sys/types.h>

#include <map>
#include <string>

class LoopbackClient;
class ServerProcess;

// How a request ended.
enum requestOutcome_t {
    OUTCOME_ANSWERED,  // a response of the request's type arrived
    OUTCOME_CLOSED,    // the connection closed (or could not send) first
    OUTCOME_TIMEOUT,   // the connection stayed open and nothing came in time
};

struct Answer {
    requestOutcome_t outcome = OUTCOME_CLOSED;
    int code = -1;           // first payload byte; -1 for an empty payload
    std::string payload;     // the whole response payload
    long long waitedMs = 0;  // from the send to the answer (or the failure)
};

// Sends a request and waits up to timeoutMs for its response.
Answer askServer(LoopbackClient* client, int reqType, const std::string& payload,
                 int timeoutMs = 3000);
// The payload of a score request.
std::string scorePayload(const std::string& name, const std::string& password, int score);

struct StatsLine {
    int id = 0;
    int played = 0;
    int high = 0;
    int average = 0;
};
// The rows of the last complete "stats" table in the output, by user name.
std::map<std::string, StatsLine> parseStatsTable(const std::string& output);
// Types "stats" on the console and returns the table that appears; false
// when no complete table came within timeoutMs.
bool readStatsTable(ServerProcess* server, std::map<std::string, StatsLine>* table,
                    int timeoutMs = 5000);

// The entries of a high-score list (the bytes behind the response code):
// user name -> score.
std::map<std::string, int> parseHighscoreList(const std::string& list);

// Resident memory of a process in kB (VmRSS), -1 if it cannot be read.
long residentKb(pid_t pid);

#endif
