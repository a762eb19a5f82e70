// CarvantaServer.cpp - process entry: banner, options, configuration, then
// the console loop or the daemon. Creates the service objects at start-up
// and destroys them at shutdown, all on the main thread. Signals are only
// recorded by their handler; the main thread acts on them.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Assert.h"
#include "Configuration.h"
#include "GameClientHandlerFactory.h"
#include "GameManager.h"
#include "GameRequestHandler.h"
#include "GameServer.h"
#include "NetSocket.h"
#include "ServerStatus.h"
#include "TextCopy.h"
#include "Toolbox.h"
#include "UserBase.h"
#include "UserBaseFactory.h"

namespace {

const int USERINPUT_SIZE = 100;
// fgets reads at most 98 characters of a console line.
const int USERINPUT_LIMIT = 99;
const int FILENAME_SIZE = 256;
const int SCRATCH_SIZE = 256;
const int DAEMON_SLEEP_SECONDS = 30;
const char* const VERSION_TEXT = "Version 04.0";
// How long shutdown waits for reader threads to finish their last request
// before it says so in the log (and waits on): longer than any request
// should take (a write gives up after 10 s, a MySQL statement after 5 s).
const long SHUTDOWN_WAIT_MS = 30000;

Configuration* configuration = nullptr;
GameServer* server = nullptr;
GameManager* gameManager = nullptr;
GameRequestHandler* requestHandler = nullptr;
GameClientHandlerFactory* clientHandlerFactory = nullptr;
UserBase* userBase = nullptr;
sockErr_t error = SOCKERR_OK;
char userInput[USERINPUT_SIZE];
int serverPort = 0;
int pidFileHandle = -1;
char fileName[FILENAME_SIZE] = "config.ini";
char scratch[SCRATCH_SIZE];
// The daemon's log file, a relative name resolved in /tmp/.
const int DAEMON_PATH_SIZE = FILENAME_SIZE + 8;
char daemonLogPath[DAEMON_PATH_SIZE];

// Written by the signal handler, read by the main thread: one flag per kind,
// so that a SIGHUP right behind a SIGTERM cannot hide it.
volatile sig_atomic_t terminateSignal = 0;
volatile sig_atomic_t hangupPending = 0;
volatile sig_atomic_t statusPending = 0;
volatile sig_atomic_t otherPending = 0;
// Self-pipe: the handler writes one byte so that a waiting main thread wakes.
int signalPipe[2] = {-1, -1};

void showVersionTag() {
    printf("\n\n");
    printf("###########################################################\n");
    printf("#                    Carvanta Server                      #\n");
    printf("#                      %s                       #\n", VERSION_TEXT);
    printf("###########################################################\n");
    printf("\n\n");
    fflush(stdout);
}

void showHelp() {
    showVersionTag();
    printf("# help      show this page\n");
    printf("# version   show version info\n");
    printf("# stats     show statistics\n");
    printf("# status    show the server's state: clients, lobby, games, requests\n");
    printf("# players   show the players in the lobby\n");
    printf("# quit      stop this wonderfull program\n");
    printf("\n\n");
    fflush(stdout);
}

void showUsage() {
    printf("Usage: CarvantaServer [OPTION]\n");
    printf("       [OPTION] \n");
    printf("       -d               Run as Daemon\n");
    printf("       -f <configfile>  Define config file name\n");
    fflush(stdout);
}

void logWithNumber(bool isError, const char* format, long value) {
    snprintf(scratch, sizeof scratch, format, value);
    if (isError) {
        Toolbox::printError(scratch);
    } else {
        Toolbox::printInfo(scratch);
    }
}

void initialise() {
    configuration = Configuration::getInstance();
    configuration->dumpConfig();
    serverPort = configuration->getServerPort();
    userBase = UserBaseFactory::getUserBaseInstance();
    server = new GameServer(configuration->getMaxClients());
    clientHandlerFactory = new GameClientHandlerFactory();
    gameManager = GameManager::getInstance();
    requestHandler = GameRequestHandler::getInstance();
}

void cleanUp() {
    if (requestHandler == nullptr || userBase == nullptr || gameManager == nullptr) {
        assertionFailed();
    }
    delete requestHandler;
    requestHandler = nullptr;
    // The game manager goes before the store: a pass of its thread still
    // running would otherwise look up a player's name in a destroyed store.
    delete gameManager;
    gameManager = nullptr;
    // The store's own destructor runs: the file store stops its save thread
    // and writes what is not saved yet.
    UserBaseFactory::destroyUserBaseInstance();
    userBase = nullptr;
    delete server;
    server = nullptr;
    delete clientHandlerFactory;
    clientHandlerFactory = nullptr;
}

// Logs "Server started" and the port the server really listens on: with no
// port configured the system picks one.
sockErr_t startServer() {
    error = server->startServer(nullptr, serverPort);
    if (error == SOCKERR_OK) {
        Toolbox::printInfo("Server started\n");
        logWithNumber(false, "Listening on port %ld\n", server->getPort());
    }
    return error;
}

// The wait between two of those log lines. Tests that stop a server with a
// request stuck in the store set CARVANTA_TEST_SHUTDOWN_WAIT_MS to a few
// hundred milliseconds instead of waiting 30 s; what ships is the above.
long shutdownWaitMs() {
    const char* testWaitMs = getenv("CARVANTA_TEST_SHUTDOWN_WAIT_MS");
    long waitMs = testWaitMs != nullptr ? atol(testWaitMs) : 0;
    return waitMs > 0 ? waitMs : SHUTDOWN_WAIT_MS;
}

// Closes every connection (each is reported to the game manager as lost),
// then lets the reader threads finish the request they may be serving, so
// that nothing runs in the dispatcher or the store while they are destroyed.
// A request that hangs (a frozen database) keeps the shutdown waiting, with
// an ERROR line now and then: destroying what it uses would be worse.
void stopServer() {
    server->stopServer();
    long waitMs = shutdownWaitMs();
    while (!server->waitForIdleHandlers(waitMs)) {
        Toolbox::printError("A request is still being served at shutdown\n");
    }
}

void signal_handler(int sig) {
    if (sig == SIGINT || sig == SIGTERM) {
        terminateSignal = sig;
    } else if (sig == SIGHUP) {
        hangupPending = 1;
    } else if (sig == SIGUSR1) {
        statusPending = 1;
    } else {
        otherPending = 1;
    }
    if (signalPipe[1] >= 0) {
        char byte = static_cast<char>(sig);
        ssize_t ignored = write(signalPipe[1], &byte, 1);
        (void)ignored;
    }
}

// Moves a descriptor above the standard streams, so that the daemon's
// closing of 0, 1 and 2 can never take it.
int aboveStandardStreams(int descriptor) {
    if (descriptor > STDERR_FILENO) {
        return descriptor;
    }
    int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(descriptor);
    return moved;
}

bool openSignalPipe() {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        signalPipe[0] = -1;
        signalPipe[1] = -1;
        return false;
    }
    signalPipe[0] = aboveStandardStreams(signalPipe[0]);
    signalPipe[1] = aboveStandardStreams(signalPipe[1]);
    return signalPipe[0] >= 0 && signalPipe[1] >= 0;
}

// A standard stream closed at start would hand its number to the next file
// opened (the configuration, the log, the self-pipe), and console texts
// would then land there. Each closed one gets the null device instead.
bool fillClosedStandardStreams() {
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; descriptor++) {
        if (fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        int nullDevice = open("/dev/null", O_RDWR);
        if (nullDevice != descriptor) {
            return false;
        }
    }
    return true;
}

void installHandler(int sig) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(sig, &action, nullptr);
}

// Takes one recorded signal, if any, a termination first, and drains the
// self-pipe. The flags are read after the drain, so a signal that arrives
// meanwhile is either taken now or wakes the next wait.
int takeSignal() {
    char bytes[16];
    while (signalPipe[0] >= 0 && read(signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    if (terminateSignal != 0) {
        return terminateSignal;
    }
    if (hangupPending != 0) {
        hangupPending = 0;
        return SIGHUP;
    }
    if (statusPending != 0) {
        statusPending = 0;
        return SIGUSR1;
    }
    if (otherPending != 0) {
        otherPending = 0;
        return -1;
    }
    return 0;
}

void stopAndCleanUp() {
    stopServer();
    cleanUp();
}

// Waits until standard input has a line or a signal arrives. Returns the
// signal number, or 0 when input is ready.
int waitForConsole(bool inputOpen) {
    struct pollfd watched[2];
    watched[0].fd = signalPipe[0];
    watched[0].events = POLLIN;
    watched[1].fd = inputOpen ? STDIN_FILENO : -1;
    watched[1].events = POLLIN;
    for (;;) {
        int sig = takeSignal();
        if (sig != 0) {
            return sig;
        }
        if (poll(watched, 2, -1) < 0 && errno != EINTR) {
            return 0;
        }
        if (watched[1].fd >= 0 && watched[1].revents != 0) {
            return 0;
        }
    }
}

// The service threads start with SIGHUP, SIGINT, SIGTERM and SIGUSR1 blocked
// (their own threads inherit that), so these signals always reach the main
// thread, which waits for them; a thread blocked elsewhere never holds one
// back, and no service thread's system call is interrupted by one.
void initialiseWithSignalsOnMainThread() {
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGHUP);
    sigaddset(&handled, SIGUSR1);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &handled, &previous);
    initialise();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void consoleQuit() {
    puts("Shame! Why quitting? Ok, stopping the server");
    fflush(stdout);
    stopAndCleanUp();
    puts("Server stopped, goodbye!");
    fflush(stdout);
}

// Runs one console line; true when it was "quit\n".
bool runConsoleCommand() {
    if (strcmp(userInput, "version\n") == 0) {
        showVersionTag();
    } else if (strcmp(userInput, "help\n") == 0) {
        showHelp();
    } else if (strcmp(userInput, "stats\n") == 0) {
        userBase->dumpStatistics();
        fflush(stdout);
    } else if (strcmp(userInput, "status\n") == 0) {
        ServerStatus::printStatus(server);
    } else if (strcmp(userInput, "players\n") == 0) {
        ServerStatus::printPlayers();
    } else if (strcmp(userInput, "quit\n") == 0) {
        return true;
    } else {
        puts("Mmmmm.... I'm not really digging that. Try 'help'");
        fflush(stdout);
    }
    return false;
}

void runConsoleLoop() {
    // Unbuffered, so that every line typed ahead is seen by the poll that
    // waits for input and signals together.
    setvbuf(stdin, nullptr, _IONBF, 0);
    bool inputOpen = true;
    userInput[0] = '\0';
    while (strcmp(userInput, "quit\n") != 0) {
        // At end of input the console stops reading and the server keeps
        // serving until SIGHUP, SIGINT or SIGTERM.
        int sig = waitForConsole(inputOpen);
        if (sig == SIGHUP) {
            // The terminal may be gone: the shutdown texts written into a
            // pipe whose reader left must not end the process unsaved.
            signal(SIGPIPE, SIG_IGN);
        }
        if (sig != 0) {
            break;
        }
        if (fgets(userInput, USERINPUT_LIMIT, stdin) == nullptr) {
            inputOpen = false;
            userInput[0] = '\0';
            continue;
        }
        if (runConsoleCommand()) {
            break;
        }
    }
}

void runAsConsoleApplication() {
    openSignalPipe();
    // A hang-up (the terminal or session closes) stops the server like an
    // interrupt does, so nothing unsaved is lost.
    installHandler(SIGHUP);
    installHandler(SIGINT);
    installHandler(SIGTERM);
    initialiseWithSignalsOnMainThread();
    server->setNetClientHandlerFactory(clientHandlerFactory);
    logWithNumber(false, "Starting server, listening on port %ld\n", serverPort);
    if (startServer() != SOCKERR_OK) {
        puts("Error starting server, bailing out");
        fflush(stdout);
        return;
    }
    runConsoleLoop();
    consoleQuit();
}

[[noreturn]] void daemonFail(const char* message) {
    Toolbox::printError(message);
    Toolbox::closeLog();
    exit(1);
}

void daemonShutdown() {
    stopAndCleanUp();
    close(pidFileHandle);
    pidFileHandle = -1;
}

// Closes every descriptor, then puts the null device on 0, 1 and 2 so that
// no later output can land in the PID file, the log or user.dat. The self-
// pipe lies above 2 and stays open.
void closeAllDescriptors() {
    Toolbox::closeLog();
    for (int descriptor = getdtablesize(); descriptor >= 0; descriptor--) {
        if (descriptor != signalPipe[0] && descriptor != signalPipe[1]) {
            close(descriptor);
        }
    }
    close(0);
    close(1);
    close(2);
    int nullDevice = open("/dev/null", O_RDWR);
    if (nullDevice != STDIN_FILENO || dup2(nullDevice, STDOUT_FILENO) < 0 ||
        dup2(nullDevice, STDERR_FILENO) < 0) {
        daemonFail("Could not open /dev/null on the standard streams, exiting\n");
    }
}

void lockPidFile() {
    char* pidFileName = configuration->getPidFileName();
    // /tmp/ is writable by everybody: a link planted under the PID file's
    // name is refused, never followed.
    pidFileHandle = open(pidFileName, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (pidFileHandle < 0 && errno == ELOOP) {
        snprintf(scratch, sizeof scratch, "PID lock file %s is a symbolic link, exiting\n",
                 pidFileName);
        daemonFail(scratch);
    }
    if (pidFileHandle < 0) {
        daemonFail("Could not open PID lock file, exiting");
    }
    if (lockf(pidFileHandle, F_TLOCK, 0) < 0) {
        snprintf(scratch, sizeof scratch, "Could not lock PID lock file %s, exiting", pidFileName);
        daemonFail(scratch);
    }
    // Truncated, so the file holds exactly this pid: a tail of an older,
    // longer pid would name an unrelated process.
    char pidText[16];
    int length = snprintf(pidText, sizeof pidText, "%d\n", getpid());
    if (ftruncate(pidFileHandle, 0) != 0 || pwrite(pidFileHandle, pidText, length, 0) != length) {
        daemonFail("Could not open PID lock file, exiting");
    }
}

void detachChild() {
    umask(027);
    if (setsid() < 0) {
        daemonFail("Cannot get SID for the child process\n");
    }
    closeAllDescriptors();
    if (chdir("/tmp/") != 0) {
        daemonFail("Cannot change working directory\n");
    }
    lockPidFile();
}

void forkDaemon() {
    pid_t child = fork();
    if (child < 0) {
        exit(1);
    }
    if (child > 0) {
        Toolbox::printDebug("Child process created\n");
        Toolbox::closeLog();
        exit(0);
    }
}

void prepareDaemonProcess() {
    Toolbox::printToFile(true, daemonLogPath);
    Toolbox::setDebugPrinting(true);
    Toolbox::setInfoPrinting(true);
    Toolbox::setErrorPrinting(true);
    // Emptied once here; the parent's and child's lines are then appended.
    Toolbox::startNewLog();
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGCHLD);
    sigaddset(&blocked, SIGTSTP);
    sigaddset(&blocked, SIGTTOU);
    sigaddset(&blocked, SIGTTIN);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    openSignalPipe();
    installHandler(SIGHUP);
    installHandler(SIGTERM);
    installHandler(SIGINT);
    installHandler(SIGUSR1);
}

void startDaemonServices() {
    initialiseWithSignalsOnMainThread();
    error = server->setNetClientHandlerFactory(clientHandlerFactory);
    if (error != SOCKERR_OK) {
        Toolbox::printError("Error adding facotry\n");
    }
    logWithNumber(false, "Starting server, listening on port %ld\n", serverPort);
    if (startServer() != SOCKERR_OK) {
        Toolbox::printError("Could not start server\n");
    }
    Toolbox::printInfo("Running the application as deamon\n");
}

// Sleeps in steps of 30 seconds until SIGINT or SIGTERM; the shutdown runs
// here on the main thread, never inside the handler. SIGUSR1 writes the
// status block to the log.
[[noreturn]] void runDaemonLoop() {
    struct pollfd watched;
    watched.fd = signalPipe[0];
    watched.events = POLLIN;
    for (;;) {
        int sig = takeSignal();
        if (sig == SIGINT || sig == SIGTERM) {
            Toolbox::printInfo("SIGTERM - Daemon exiting\n");
            daemonShutdown();
            exit(0);
        } else if (sig == SIGHUP) {
            Toolbox::printInfo("SIGHUP - Doing nothing\n");
        } else if (sig == SIGUSR1) {
            ServerStatus::logStatus(server);
        } else if (sig != 0) {
            Toolbox::printInfo("Unhandled signal\n");
        }
        if (sig == 0) {
            poll(&watched, 1, DAEMON_SLEEP_SECONDS * 1000);
        }
    }
}

// A file name as the detached child sees it: relative names resolve in
// /tmp/, its working directory.
void daemonPath(const char* name, char* path, size_t size) {
    if (name[0] == '/') {
        copyText(path, size, name);
    } else {
        snprintf(path, size, "/tmp/%s", name);
    }
}

// A daemon that already holds the PID file is found before this start
// empties the log that the running daemon writes to. The child still takes
// the lock itself, so two starts racing are caught there.
void refuseIfPidFileLocked() {
    char path[DAEMON_PATH_SIZE];
    daemonPath(configuration->getPidFileName(), path, sizeof path);
    int probe = open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (probe < 0) {
        return;
    }
    bool locked = lockf(probe, F_TEST, 0) < 0;
    close(probe);
    if (locked) {
        Toolbox::printToFile(true, daemonLogPath);
        snprintf(scratch, sizeof scratch, "Could not lock PID lock file %s, exiting",
                 configuration->getPidFileName());
        daemonFail(scratch);
    }
}

void runAsDaemon() {
    Toolbox::printInfo("Starting Carvanta Server as daemon\n");
    if (getppid() == 1) {
        Toolbox::printError("Daemon already running\n");
        return;
    }
    // The log is emptied before the fork and written by the child in /tmp/:
    // both must mean the same file.
    daemonPath(configuration->getLogFileName(), daemonLogPath, sizeof daemonLogPath);
    refuseIfPidFileLocked();
    prepareDaemonProcess();
    forkDaemon();
    detachChild();
    startDaemonServices();
    runDaemonLoop();
}

// Scans the options "df"; the word after -f names the configuration file
// and is seen again by the scan. False after printing the usage.
bool parseOptions(int argc, char** argv, bool* daemonMode) {
    int option;
    while ((option = getopt(argc, argv, "df")) != -1) {
        if (option == 'd') {
            *daemonMode = true;
        } else if (option == 'f' && optind < argc) {
            copyText(fileName, sizeof fileName, argv[optind]);
            Configuration::setConfigFile(fileName);
        } else {
            // An unknown option, or -f with no word behind it.
            showUsage();
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!fillClosedStandardStreams()) {
        printf("Could not open /dev/null for a closed standard stream, exiting\n");
        return 1;
    }
    showVersionTag();
    copyText(fileName, sizeof fileName, "config.ini");
    bool daemonMode = false;
    opterr = 0;
    if (!parseOptions(argc, argv, &daemonMode)) {
        return 0;
    }
    configuration = Configuration::getInstance();
    if (daemonMode) {
        runAsDaemon();
    } else {
        runAsConsoleApplication();
    }
    return 0;
}
