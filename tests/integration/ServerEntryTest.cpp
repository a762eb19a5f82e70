// ServerEntryTest.cpp - the server binary as an operator meets it: console, options, signals,
// and the daemon with its PID file and log.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "Process.h"
#include "UserFileImage.h"

namespace {

const std::string SERVER = std::string(CARVANTA_BINARY_DIR) + "/CarvantaServer";
using Args = std::vector<std::string>;
const std::string BANNER =
    "\n\n"
    "###########################################################\n"
    "#                    Carvanta Server                      #\n"
    "#                      Version 04.0                       #\n"
    "###########################################################\n"
    "\n\n";
const std::string QUITTING = "Shame! Why quitting? Ok, stopping the server\n";
const std::string GOODBYE = "Server stopped, goodbye!\n";
const std::string DAEMON_UP = "INFO: Running the application as deamon\n";

class ServerEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The PID file and a relative log name live in /tmp/, writable by everybody.
        pidFile = dir.file("server.pid");
        std::string logName = "carvanta-entry-test-" + std::to_string(getpid()) + ".log";
        logFile = "/tmp/" + logName;
        writeConfig("config.ini", "");
        writeConfig("daemon.ini", "pidfile " + pidFile + "\nlogfile " + logName + "\n");
    }
    void TearDown() override {
        if (daemonPid > 0 && processAlive(daemonPid)) {
            kill(daemonPid, SIGKILL);
        }
        unlink(logFile.c_str());
    }
    void writeConfig(const std::string& name, const std::string& extra) {
        port = freePort();
        writeFile(dir.file(name), "server_port " + std::to_string(port) + "\n" + extra);
    }
    // The exit status of the starting process; the daemon's pid once it logged its start.
    int startDaemon(int closedStream = -1, bool comesUp = true) {
        ChildProcess starter;
        if (!starter.start(SERVER, {"-d", "-f", "daemon.ini"}, dir.path(), closedStream)) {
            return -100;
        }
        int status = starter.waitExit(10000);
        if (status == 0 && comesUp && waitForLog(DAEMON_UP, 10000)) {
            daemonPid = atoi(readFile(pidFile).c_str());
        }
        return status;
    }
    bool waitForLog(const std::string& text, int timeoutMs) {
        return waitUntil([&] { return readFile(logFile).find(text) != std::string::npos; },
                         timeoutMs);
    }
    long idleCpuMs(pid_t pid) {
        long before = processCpuMs(pid);
        usleep(1500 * 1000);  // an idle stretch to measure, not a synchronisation
        return processCpuMs(pid) - before;
    }

    TempDir dir;
    int port = 0;
    std::string pidFile;
    std::string logFile;
    pid_t daemonPid = -1;
};

// An interrupt, a termination and a hang-up (the terminal closes) all stop the console server in
// order, a sign-up made just before on disk; the end of input neither stops nor spins it.
TEST_F(ServerEntryTest, ConsoleCommandsPrintTheirTextsAndSignalsRunTheOrderlyShutdown) {
    const std::string notDigging = "Mmmmm.... I'm not really digging that. Try 'help'\n";
    const std::string console = BANNER +
                                "# help      show this page\n"
                                "# version   show version info\n"
                                "# stats     show statistics\n"
                                "# status    show the server's state: clients, lobby, games, "
                                "requests\n"
                                "# players   show the players in the lobby\n"
                                "# quit      stop this wonderfull program\n"
                                "\n\n" +
                                BANNER + notDigging + notDigging + notDigging + notDigging;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE("signal " + std::to_string(sig));
        writeConfig("config.ini", "");
        unlink(dir.file("user.dat").c_str());
        ChildProcess server;
        ASSERT_TRUE(server.start(SERVER, {}, dir.path()));
        ASSERT_TRUE(server.waitForOutput("INFO: Server started\n", 10000)) << server.output();
        LoopbackClient client;
        ASSERT_TRUE(client.connectTo(port));
        ASSERT_EQ(ask(&client, REQ_SIGNUP, credentials("hung", "pw")).code, RES_OK);
        client.close();
        ASSERT_TRUE(server.waitForOutput("INFO: Client disconnected\n", 5000));
        size_t typed = server.output().size();
        if (sig == SIGTERM) {
            server.writeInput("help\nversion\nHELP\n help\nhelp \nbogus\n");
            server.closeInput();
            EXPECT_LT(idleCpuMs(server.pid()), 500) << "the console spins at end of input";
            EXPECT_TRUE(server.running());
        }
        server.sendSignal(sig);
        EXPECT_EQ(server.waitExit(15000), 0);
        std::string output = server.output();
        EXPECT_EQ(output.compare(0, BANNER.size(), BANNER), 0) << "the banner opens the output";
        // The console texts, the last line not repeated at the end of input.
        std::string expected = (sig == SIGTERM ? console : "") + QUITTING;
        EXPECT_EQ(output.compare(typed, expected.size(), expected), 0) << output.substr(typed);
        EXPECT_EQ(output.substr(output.size() - GOODBYE.size()), GOODBYE);
        EXPECT_EQ(readFile(dir.file("user.dat")).size(), 26u + 90) << "the sign-up is not saved";
    }
}

TEST_F(ServerEntryTest, OptionsOtherThanAConfigurationFilePrintTheUsage) {
    for (const Args& args : std::vector<Args>{{"-x"}, {"-f"}, {"-d", "-f"}}) {
        ChildProcess server;
        ASSERT_TRUE(server.start(SERVER, args, dir.path()));
        EXPECT_EQ(server.waitExit(10000), 0);
        EXPECT_EQ(server.output(), BANNER +
                                       "Usage: CarvantaServer [OPTION]\n"
                                       "       [OPTION] \n"
                                       "       -d               Run as Daemon\n"
                                       "       -f <configfile>  Define config file name\n")
            << args.size();
    }
}

// Mended fault: a standard stream closed at start lent its number to the signal wake-up, which the
// detaching step then closed, so the daemon spun and died unsaved at the first SIGTERM: the daemon
// starts with its input closed. A link planted as the PID file is refused, never written through.
TEST_F(ServerEntryTest, DaemonRefusesALinkedPidFileAndRunsDetachedWithItsPidFileLogAndSignals) {
    std::string victim = dir.file("victim");
    writeFile(victim, "somebody else's file\n");
    ASSERT_EQ(symlink(victim.c_str(), pidFile.c_str()), 0);
    writeFile(logFile, "a line of an older run\n");
    ASSERT_EQ(startDaemon(-1, false), 0) << "the link is found by the detached child";
    EXPECT_TRUE(
        waitForLog("ERROR: PID lock file " + pidFile + " is a symbolic link, exiting\n", 10000))
        << readFile(logFile);
    EXPECT_EQ(readFile(victim), "somebody else's file\n");
    std::string log = readFile(logFile);
    EXPECT_EQ(log.find("a line of an older run"), std::string::npos) << "the log was not emptied";
    EXPECT_EQ(log.find("Running the application"), std::string::npos);

    unlink(pidFile.c_str());
    writeFile(pidFile, "123456789012\n");  // a longer, older pid must not stay behind
    ASSERT_EQ(startDaemon(0), 0);
    ASSERT_GT(daemonPid, 0) << readFile(logFile);
    std::string pidText = readFile(pidFile);
    EXPECT_EQ(pidText, std::to_string(daemonPid) + "\n") << "exactly the pid and a line feed";
    log = readFile(logFile);
    for (const char* line : {"DEBUG: Child process created\n", "INFO: Database Type     \n",
                             "INFO: Server started\n"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << log;
    }
    EXPECT_EQ(log.find("Starting Carvanta Server as daemon"), std::string::npos)
        << "that line went to the console before the switch to the file";
    EXPECT_FALSE(fileExists(dir.file(logFile.substr(5))))
        << "nothing made in the starting directory";
    // A second daemon on the same PID file is refused and leaves the running one alone.
    EXPECT_EQ(startDaemon(-1, false), 1);
    EXPECT_TRUE(waitForLog("ERROR: Could not lock PID lock file " + pidFile + ", exiting", 5000));
    EXPECT_NE(readFile(logFile).find(DAEMON_UP), std::string::npos) << "the log was emptied";
    EXPECT_EQ(readFile(pidFile), pidText);

    kill(daemonPid, SIGHUP);
    kill(daemonPid, SIGUSR1);  // the status block
    ASSERT_TRUE(waitForLog("INFO: Requests:  0 since start\n", 5000)) << readFile(logFile);
    EXPECT_EQ(countOccurrences(readFile(logFile), "INFO: SIGHUP - Doing nothing\n"), 1);
    // Idle is a few milliseconds, a spin most of the time; room for sanitizer builds.
    EXPECT_LT(idleCpuMs(daemonPid), 300);
    // Mended fault: a hang-up right behind the termination hid it.
    kill(daemonPid, SIGINT);
    kill(daemonPid, SIGHUP);
    EXPECT_TRUE(waitForLog("INFO: SIGTERM - Daemon exiting\n", 10000)) << readFile(logFile);
    EXPECT_TRUE(waitUntil([&] { return !processAlive(daemonPid); }, 15000));
    EXPECT_EQ(readFile(pidFile), pidText) << "the PID file stays on disk";
    EXPECT_EQ(readFile(logFile).find("Shame! Why quitting"), std::string::npos) << "console texts";
}

}  // namespace
