// ServerEntryTest.cpp - the server binary as an operator meets it: banner,
// options, console commands, signals, and the daemon with its PID file and
// log. Each test runs the real binary in a temporary directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ChildProcess.h"
#include "FreePort.h"
#include "TempDir.h"
#include "TextCount.h"

namespace {

const std::string SERVER = std::string(CARVANTA_BINARY_DIR) + "/CarvantaServer";

const std::string BANNER =
    "\n\n"
    "###########################################################\n"
    "#                    Carvanta Server                      #\n"
    "#                      Version 04.0                       #\n"
    "###########################################################\n"
    "\n\n";

const std::string HELP_LINES =
    "# help      show this page\n"
    "# version   show version info\n"
    "# stats     show statistics\n"
    "# status    show the server's state: clients, lobby, games, requests\n"
    "# players   show the players in the lobby\n"
    "# quit      stop this wonderfull program\n"
    "\n\n";

const std::string USAGE =
    "Usage: CarvantaServer [OPTION]\n"
    "       [OPTION] \n"
    "       -d               Run as Daemon\n"
    "       -f <configfile>  Define config file name\n";

const std::string NOT_DIGGING = "Mmmmm.... I'm not really digging that. Try 'help'\n";
const std::string QUITTING = "Shame! Why quitting? Ok, stopping the server\n";
const std::string GOODBYE = "Server stopped, goodbye!\n";

void writeConfig(const TempDir& dir, const std::string& name, const std::string& extra = "") {
    writeFile(dir.file(name), "server_port " + std::to_string(freePort()) + "\n" + extra);
}

}  // namespace

TEST(ServerEntryTest, ConsoleCommandsPrintTheirExactTexts) {
    TempDir dir;
    writeConfig(dir, "config.ini");
    ChildProcess server;
    ASSERT_TRUE(server.start(SERVER, {}, dir.path()));
    ASSERT_TRUE(server.waitForOutput("INFO: Server started\n", 10000)) << server.output();
    server.writeInput("help\nversion\nHELP\n help\nhelp \nbogus\nquit\n");
    EXPECT_EQ(server.waitExit(20000), 0);
    std::string output = server.output();

    EXPECT_EQ(output.compare(0, BANNER.size(), BANNER), 0) << "the banner opens the output";
    size_t started = output.find("INFO: Server started\n");
    ASSERT_NE(started, std::string::npos);
    std::string console = output.substr(output.find('\n', started) + 1);
    std::string expected = BANNER + HELP_LINES + BANNER + NOT_DIGGING + NOT_DIGGING + NOT_DIGGING +
                           NOT_DIGGING + QUITTING;
    EXPECT_EQ(console.compare(0, expected.size(), expected), 0) << console;
    EXPECT_EQ(output.substr(output.size() - GOODBYE.size()), GOODBYE);
    EXPECT_NE(output.find("INFO: Reading configuration from: config.ini\n"), std::string::npos);
}

TEST(ServerEntryTest, EndOfInputKeepsServingWithoutSpinning) {
    TempDir dir;
    writeConfig(dir, "config.ini");
    ChildProcess server;
    ASSERT_TRUE(server.start(SERVER, {}, dir.path()));
    ASSERT_TRUE(server.waitForOutput("INFO: Server started\n", 10000));
    server.writeInput("version\n");
    server.closeInput();
    usleep(1500 * 1000);
    EXPECT_TRUE(server.running()) << "end of input does not stop the server";
    long cpu = processCpuMs(server.pid());
    EXPECT_GE(cpu, 0);
    EXPECT_LT(cpu, 500) << "the console must not spin at end of input";
    EXPECT_EQ(countOccurrences(server.output(), "Carvanta Server"), 2)
        << "the last line is not repeated";

    server.sendSignal(SIGTERM);
    EXPECT_EQ(server.waitExit(15000), 0);
    std::string output = server.output();
    EXPECT_NE(output.find(QUITTING), std::string::npos);
    EXPECT_EQ(output.substr(output.size() - GOODBYE.size()), GOODBYE);
}

TEST(ServerEntryTest, InterruptRunsTheOrderlyShutdown) {
    TempDir dir;
    writeConfig(dir, "config.ini");
    ChildProcess server;
    ASSERT_TRUE(server.start(SERVER, {}, dir.path()));
    ASSERT_TRUE(server.waitForOutput("INFO: Server started\n", 10000));
    server.sendSignal(SIGINT);
    EXPECT_EQ(server.waitExit(15000), 0);
    std::string output = server.output();
    size_t quitting = output.find(QUITTING);
    ASSERT_NE(quitting, std::string::npos) << output;
    EXPECT_NE(output.find(GOODBYE, quitting), std::string::npos);
}

TEST(ServerEntryTest, UnknownOptionsAndATrailingDashFPrintTheUsage) {
    TempDir dir;
    writeConfig(dir, "config.ini");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-x"}, std::vector<std::string>{"-f"},
          std::vector<std::string>{"-d", "-f"}}) {
        ChildProcess server;
        ASSERT_TRUE(server.start(SERVER, args, dir.path()));
        EXPECT_EQ(server.waitExit(10000), 0);
        EXPECT_EQ(server.output(), BANNER + USAGE) << "args: " << args.size();
    }
}

TEST(ServerEntryTest, DashFReadsARelativeFileOrReportsAMissingOne) {
    TempDir dir;
    int port = freePort();
    writeFile(dir.file("other.ini"), "server_port " + std::to_string(port) + "\n");
    {
        ChildProcess server;
        ASSERT_TRUE(server.start(SERVER, {"-f", "other.ini"}, dir.path()));
        ASSERT_TRUE(server.waitForOutput("INFO: Server started\n", 10000)) << server.output();
        server.writeInput("quit\n");
        EXPECT_EQ(server.waitExit(15000), 0);
        std::string output = server.output();
        EXPECT_NE(output.find("INFO: Reading configuration from: other.ini\n"), std::string::npos);
        EXPECT_NE(output.find("INFO: Server port       " + std::to_string(port) + "\n"),
                  std::string::npos);
        EXPECT_EQ(output.find("Error: can't open file."), std::string::npos);
    }
    {
        ChildProcess server;
        ASSERT_TRUE(server.start(SERVER, {"-f", "absent.ini"}, dir.path()));
        server.writeInput("quit\n");
        server.waitExit(15000);
        std::string output = server.output();
        size_t reading = output.find("INFO: Reading configuration from: absent.ini\n");
        ASSERT_NE(reading, std::string::npos) << output;
        EXPECT_NE(output.find("Error: can't open file.\n", reading), std::string::npos);
        EXPECT_NE(output.find("INFO: Server port       0\n"), std::string::npos);
    }
}

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        pidFile = dir.file("server.pid");
        logFile = dir.file("server.log");
        writeConfig(dir, "daemon.ini", "pidfile " + pidFile + "\nlogfile " + logFile + "\n");
    }

    void TearDown() override {
        if (daemonPid > 0 && processAlive(daemonPid)) {
            kill(daemonPid, SIGKILL);
        }
    }

    // Starts a daemon; returns the exit status of the starting process.
    int startDaemon() {
        ChildProcess starter;
        if (!starter.start(SERVER, {"-d", "-f", "daemon.ini"}, dir.path())) {
            return -100;
        }
        return starter.waitExit(10000);
    }

    bool waitForLog(const std::string& text, int timeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 50) {
            if (readFile(logFile).find(text) != std::string::npos) {
                return true;
            }
            usleep(50 * 1000);
        }
        return false;
    }

    bool waitGone(pid_t pid, int timeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 50) {
            if (!processAlive(pid)) {
                return true;
            }
            usleep(50 * 1000);
        }
        return false;
    }

    TempDir dir;
    std::string pidFile;
    std::string logFile;
    pid_t daemonPid = -1;
};

TEST_F(DaemonTest, RunsDetachedWithItsPidFileLogAndSignals) {
    writeFile(pidFile, "123456789012\n");  // a longer, older pid must not stay behind
    ASSERT_EQ(startDaemon(), 0);
    ASSERT_TRUE(waitForLog("INFO: Running the application as deamon\n", 10000))
        << readFile(logFile);
    std::string pidText = readFile(pidFile);
    daemonPid = atoi(pidText.c_str());
    ASSERT_GT(daemonPid, 0);
    EXPECT_EQ(pidText, std::to_string(daemonPid) + "\n") << "exactly the pid and a line feed";
    EXPECT_TRUE(processAlive(daemonPid));

    std::string log = readFile(logFile);
    EXPECT_NE(log.find("DEBUG: Child process created\n"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO: Database Type     \n"), std::string::npos);
    EXPECT_NE(log.find("INFO: Server started\n"), std::string::npos);
    EXPECT_EQ(log.find("Starting Carvanta Server as daemon"), std::string::npos)
        << "that line went to the console before the switch to the file";

    kill(daemonPid, SIGHUP);
    ASSERT_TRUE(waitForLog("INFO: SIGHUP - Doing nothing\n", 5000));
    EXPECT_TRUE(processAlive(daemonPid));

    // SIGUSR1: the status block in the log, its lines one after another.
    kill(daemonPid, SIGUSR1);
    ASSERT_TRUE(waitForLog("INFO: Requests:  0 since start\n", 5000)) << readFile(logFile);
    log = readFile(logFile);
    size_t head = log.find("INFO: |Server status");
    ASSERT_NE(head, std::string::npos) << log;
    std::string block = log.substr(log.rfind('\n', head) + 1);
    std::vector<std::string> expected = {
        "|Server status",
        "###",
        "Uptime:    0d 00:",
        "Store:     file",
        "Accounts:  0",
        "Clients:   0 connected of 8",
        "Players:   0 attached, 0 on the list, 0 inviting, 0 in a countdown, 0 playing",
        "Games:     0 running of 50",
        "Requests:  0 since start",
        "###"};
    size_t at = 0;
    for (const std::string& text : expected) {
        size_t end = block.find('\n', at);
        ASSERT_NE(end, std::string::npos) << block;
        std::string line = block.substr(at, end - at);
        EXPECT_NE(line.find("INFO: " + text), std::string::npos) << line;
        at = end + 1;
    }
    EXPECT_TRUE(processAlive(daemonPid));

    kill(daemonPid, SIGTERM);
    EXPECT_TRUE(waitForLog("INFO: SIGTERM - Daemon exiting\n", 10000)) << readFile(logFile);
    EXPECT_TRUE(waitGone(daemonPid, 15000));
    EXPECT_EQ(readFile(pidFile), pidText) << "the PID file stays on disk";
    log = readFile(logFile);
    EXPECT_EQ(countOccurrences(log, "SIGHUP - Doing nothing"), 1);
    EXPECT_EQ(log.find("Shame! Why quitting"), std::string::npos)
        << "console texts never reach the log";
}

TEST_F(DaemonTest, SecondDaemonOnTheSamePidFileIsRefused) {
    ASSERT_EQ(startDaemon(), 0);
    ASSERT_TRUE(waitForLog("INFO: Running the application as deamon\n", 10000))
        << readFile(logFile);
    std::string pidText = readFile(pidFile);
    daemonPid = atoi(pidText.c_str());

    EXPECT_EQ(startDaemon(), 1);
    std::string expected = "ERROR: Could not lock PID lock file " + pidFile + ", exiting";
    EXPECT_TRUE(waitForLog(expected, 5000)) << readFile(logFile);
    EXPECT_NE(readFile(logFile).find("Running the application as deamon"), std::string::npos)
        << "the running daemon's log is not emptied by the refused start";
    EXPECT_EQ(readFile(pidFile), pidText);
    EXPECT_TRUE(processAlive(daemonPid));

    kill(daemonPid, SIGINT);
    EXPECT_TRUE(waitForLog("INFO: SIGTERM - Daemon exiting\n", 10000));
    EXPECT_TRUE(waitGone(daemonPid, 15000));
}

TEST_F(DaemonTest, AHangupRightBehindATerminationDoesNotHideIt) {
    ASSERT_EQ(startDaemon(), 0);
    ASSERT_TRUE(waitForLog("INFO: Running the application as deamon\n", 10000))
        << readFile(logFile);
    daemonPid = atoi(readFile(pidFile).c_str());
    ASSERT_GT(daemonPid, 0);
    kill(daemonPid, SIGTERM);
    kill(daemonPid, SIGHUP);
    EXPECT_TRUE(waitForLog("INFO: SIGTERM - Daemon exiting\n", 10000)) << readFile(logFile);
    EXPECT_TRUE(waitGone(daemonPid, 15000));
}
