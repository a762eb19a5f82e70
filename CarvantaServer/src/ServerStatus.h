// ServerStatus.h - the operator's live view of a running server: the
// `status` block (uptime, store, connections, lobby, games, requests by
// type, accounts) and the `players` table. Each part is copied under the
// lock that guards it, one after another with no lock held across two,
// and only the copies are formatted and printed. Main thread (console
// commands, the daemon's SIGUSR1).
#ifndef SERVERSTATUS_H
#define SERVERSTATUS_H

#include <string>

class NetServer;

class ServerStatus {
public:
    static std::string formatStatus(NetServer* server);
    static std::string formatPlayers();
    // On standard output, each block in one write.
    static void printStatus(NetServer* server);
    static void printPlayers();
    // Into the log, as one unit of INFO lines.
    static void logStatus(NetServer* server);
};

#endif
