// LobbyBench.h - the lobby's benchmark: the real server binary on
// 127.0.0.1, three pairs of clients playing whole games in a loop
// (invitation, acceptance, countdown, start, cards, stop) while two more
// clients send account requests. Reports games per minute, the time from
// an acceptance to the start, and the account-request latency during games
// next to the same with an idle lobby. Runs on the main thread; one thread
// per client.
#ifndef LOBBYBENCH_H
#define LOBBYBENCH_H

// Idle and game phases alternate `rounds` times; the figures compared are
// the medians over the phases of each kind, so that load elsewhere on the
// machine during one phase does not decide the result.
struct LobbyBenchOptions {
    int rounds = 3;
    int idleSeconds = 6;   // each idle phase
    int gameSeconds = 15;  // each phase with games
    int requestGapMs = 5;  // pause between two account requests of a client
};

// True if the targets were met (games add less than 10 % to the p50 and
// p99 account latency; a game starts no later than six passes after its
// acceptance). serverPath is the CarvantaServer binary.
bool runLobbyBench(const char* serverPath, const LobbyBenchOptions& options);

#endif
