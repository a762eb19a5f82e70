// LobbyBench.h - the lobby's benchmark: the real server binary on
// 127.0.0.1, three pairs of clients playing whole games in a loop
// (invitation, acceptance, countdown, start, cards, stop) while two more
// clients send account requests. Reports games per minute, the time from
// an acceptance to the start, the manager thread's pass (the gap between
// two countdown messages less the pause), and the account-request latency
// during games next to the same with an idle lobby.
//
// The full house (fullHouse): max_clients 100 and 100 players in 50 pairs,
// which hold each game for a while after the cards so that all 50 games
// run at once. 100 connections leave none for account clients, so the
// invitors send the account requests on their own connections: in the
// idle phase attached but not playing, in the game phase while their game
// is held. Also reports the server's resident size with 50 games.
//
// Runs on the main thread; one thread per client or pair.
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
    bool fullHouse = false;
    int fullHouseGapMs = 100;  // the same with 50 clients sending
    int holdMs = 7000;         // a full-house game from the cards to the stop
};

// True if the targets were met (games add less than 10 % to the p50 and
// p99 account latency; a game starts no later than six passes after its
// acceptance). serverPath is the CarvantaServer binary.
bool runLobbyBench(const char* serverPath, const LobbyBenchOptions& options);

#endif
