// ServerEntryTest.cpp - the server binary as an operator meets it: banner,
// options, console commands, signals, and the daemon with its PID file and
// log. Each test runs the real binary in a temporary directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "GameProtocol.h"
#include "LoopbackClient.h"
#include "Process.h"
#include "TestSupport.h"
#include "UserFileImage.h"

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
    // The line with the port bound follows; the console texts come after it.
    size_t bound = output.find('\n', started) + 1;
    std::string boundLine = output.substr(bound, output.find('\n', bound) - bound);
    EXPECT_NE(boundLine.find(" INFO: Listening on port "), std::string::npos) << boundLine;
    std::string console = output.substr(output.find('\n', bound) + 1);
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
    EXPECT_LT(cpu, 500) << "the console must not spin at end of input";
    EXPECT_EQ(countOccurrences(server.output(), "Carvanta Server"), 2)
        << "the last line is not repeated";

    server.sendSignal(SIGTERM);
    EXPECT_EQ(server.waitExit(15000), 0);
    std::string output = server.output();
    EXPECT_NE(output.find(QUITTING), std::string::npos);
    EXPECT_EQ(output.substr(output.size() - GOODBYE.size()), GOODBYE);
}

// An interrupt, a termination and a hang-up (the terminal closes) all stop
// the console server in order: a sign-up made just before is on disk.
TEST(ServerEntryTest, InterruptTerminationAndHangupRunTheOrderlyShutdown) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE("signal " + std::to_string(sig));
        TempDir dir;
        int port = freePort();
        writeFile(dir.file("config.ini"), "server_port " + std::to_string(port) + "\n");
        ChildProcess server;
        ASSERT_TRUE(server.start(SERVER, {}, dir.path()));
        ASSERT_TRUE(server.waitForOutput("INFO: Server started\n", 10000));
        {
            LoopbackClient client;
            ASSERT_TRUE(client.connectTo(port));
            std::string response;
            ASSERT_TRUE(client.request(REQ_SIGNUP, credentials("hung", "pw"), &response, 3000));
            ASSERT_EQ(response, std::string(1, static_cast<char>(RES_OK)));
        }
        server.sendSignal(sig);
        EXPECT_EQ(server.waitExit(15000), 0);
        std::string output = server.output();
        size_t quitting = output.find(QUITTING);
        ASSERT_NE(quitting, std::string::npos) << output;
        EXPECT_NE(output.find(GOODBYE, quitting), std::string::npos);
        std::vector<UserRecord> records;
        ASSERT_TRUE(parseCurrentFile(readFile(dir.file("user.dat")), &records));
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].name, "hung");
    }
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

TEST(ServerEntryTest, DashFReadsARelativeFileOrReportsAMissingOneAndThePortPicked) {
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
        // No port configured: the system picks one, and the line behind
        // "Server started" tells which, so a client can find the server.
        ChildProcess server;
        ASSERT_TRUE(server.start(SERVER, {"-f", "absent.ini"}, dir.path()));
        const std::string bound = "INFO: Listening on port ";
        ASSERT_TRUE(server.waitForOutput(bound, 10000)) << server.output();
        std::string output = server.output();
        size_t started = output.find("INFO: Server started\n");
        size_t boundLine = output.find(bound);
        ASSERT_NE(started, std::string::npos) << output;
        EXPECT_GT(boundLine, started) << "the designed lines come first";
        EXPECT_NE(output.find("INFO: Starting server, listening on port 0\n"), std::string::npos);
        int boundPort = atoi(output.c_str() + boundLine + bound.size());
        EXPECT_GT(boundPort, 0) << output;
        LoopbackClient client;
        EXPECT_TRUE(client.connectTo(boundPort)) << "the server listens where the line says";
        server.writeInput("quit\n");
        server.waitExit(15000);
        output = server.output();
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
        if (!fileInTmp.empty()) {
            unlink(fileInTmp.c_str());
        }
    }

    // Starts a daemon; returns the exit status of the starting process.
    int startDaemon(int closedStream = -1) {
        ChildProcess starter;
        if (!starter.start(SERVER, {"-d", "-f", "daemon.ini"}, dir.path(), closedStream)) {
            return -100;
        }
        return starter.waitExit(10000);
    }

    bool waitForLog(const std::string& text, int timeoutMs) {
        return waitUntil([&] { return readFile(logFile).find(text) != std::string::npos; },
                         timeoutMs);
    }
    bool waitGone(pid_t pid, int timeoutMs) {
        return waitUntil([&] { return !processAlive(pid); }, timeoutMs);
    }

    // Sends SIGTERM and checks the orderly end: the line, then the exit.
    void terminateDaemon() {
        kill(daemonPid, SIGTERM);
        EXPECT_TRUE(waitForLog("INFO: SIGTERM - Daemon exiting\n", 10000)) << readFile(logFile);
        EXPECT_TRUE(waitGone(daemonPid, 15000));
    }

    TempDir dir;
    std::string pidFile;
    std::string logFile;
    pid_t daemonPid = -1;
    // A file the test made in the real /tmp/, removed at the end.
    std::string fileInTmp;
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

// A standard stream closed at start must not lend its number to the signal
// wake-up, which the detaching step would then close: the daemon would spin
// on it and die unsaved at the first SIGTERM.
TEST_F(DaemonTest, AClosedStandardStreamAtStartNeitherSpinsNorLosesTheShutdown) {
    for (int closedStream : {0, 2}) {
        SCOPED_TRACE("closed descriptor " + std::to_string(closedStream));
        ASSERT_EQ(startDaemon(closedStream), 0);
        ASSERT_TRUE(waitForLog("INFO: Running the application as deamon\n", 10000))
            << readFile(logFile);
        daemonPid = atoi(readFile(pidFile).c_str());
        ASSERT_GT(daemonPid, 0);
        long before = processCpuMs(daemonPid);
        usleep(2000 * 1000);  // an idle stretch to measure, not a synchronisation
        long used = processCpuMs(daemonPid) - before;
        // Idle is a few milliseconds; a spinning wait burns most of the 2 s.
        // The bound leaves room for sanitizer builds.
        EXPECT_LT(used, 400) << "the idle daemon used " << used << " ms of CPU in 2 s";
        terminateDaemon();
        EXPECT_EQ(countOccurrences(readFile(logFile), "SIGTERM - Daemon exiting"), 1);
    }
}

// /tmp/ is writable by everybody: a link planted as the PID file is refused
// with a clear line and never written through.
TEST_F(DaemonTest, ALinkPlantedAsThePidFileIsRefused) {
    std::string victim = dir.file("victim");
    writeFile(victim, "somebody else's file\n");
    ASSERT_EQ(symlink(victim.c_str(), pidFile.c_str()), 0);
    ASSERT_EQ(startDaemon(), 0) << "the link is found by the detached child";
    EXPECT_TRUE(
        waitForLog("ERROR: PID lock file " + pidFile + " is a symbolic link, exiting\n", 10000))
        << readFile(logFile);
    daemonPid = atoi(readFile(victim).c_str());  // only set if a daemon wrote it
    EXPECT_EQ(readFile(victim), "somebody else's file\n");
    EXPECT_EQ(readFile(logFile).find("Running the application as deamon"), std::string::npos);
}

// A relative log name means a file in /tmp/, like a relative PID file: the
// start empties the very file the detached daemon then writes.
TEST_F(DaemonTest, ARelativeLogNameIsEmptiedAndWrittenInTmp) {
    std::string name = "carvanta-entry-test-" + std::to_string(getpid()) + ".log";
    logFile = "/tmp/" + name;
    fileInTmp = logFile;
    writeFile(logFile, "a line of an older run\n");
    writeConfig(dir, "daemon.ini", "pidfile " + pidFile + "\nlogfile " + name + "\n");
    ASSERT_EQ(startDaemon(), 0);
    ASSERT_TRUE(waitForLog("INFO: Running the application as deamon\n", 10000))
        << readFile(logFile);
    daemonPid = atoi(readFile(pidFile).c_str());
    std::string log = readFile(logFile);
    EXPECT_EQ(log.find("a line of an older run"), std::string::npos) << "the log was not emptied";
    EXPECT_NE(log.find("DEBUG: Child process created\n"), std::string::npos) << log;
    EXPECT_FALSE(fileExists(dir.file(name))) << "nothing is made in the starting directory";
    terminateDaemon();
}
