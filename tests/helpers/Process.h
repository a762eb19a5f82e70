// Process.h - the test suite's one process runner: a program started in a
// directory of the test's own, standard input on a pipe, standard output and
// error together in a private file (so a child that logs a lot never blocks
// on a full pipe nobody reads). ServerProcess is the server binary run as a
// console server on a port; runTool runs a program to its end. Every wait
// has a deadline; the destructor kills a child that still runs.
#ifndef PROCESS_H
#define PROCESS_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

// Exit status of a process ended by a signal: 128 + its number, as shells say.
const int SIGNAL_STATUS_BASE = 128;

class ChildProcess {
public:
    ChildProcess();
    virtual ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts program with args in workDir, its output going to outputFile
    // (kept) or else to a private file removed with this object. False if it
    // could not start. closedStream (0, 1 or 2) starts the program with that
    // standard stream closed, as a shell's "<&-" or a supervisor may.
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::string& workDir, int closedStream = -1,
               const std::string& outputFile = "");
    bool writeInput(const std::string& text);
    void closeInput();
    bool waitForOutput(const std::string& text, int timeoutMs);
    // Waits for the exit: the exit status, 128 + signal for a killed child,
    // or -1 after killing it at the deadline.
    int waitExit(int timeoutMs);
    bool running();
    void sendSignal(int sig);
    void kill9();
    // Everything the child printed so far.
    std::string output() const;
    // The running child's process id, -1 when none runs.
    pid_t pid() const { return child; }

protected:
    // Reaps the child if it has ended (waiting for it if asked); true if it has.
    bool reap(bool wait);

    pid_t child;
    int inputFd;
    int exitStatus;
    std::string outputPath;
    bool outputIsPrivate;
};

// The server binary as a console server in workDir: writes config.ini
// (server_port, then extraConfigLines as given), starts it with -f
// config.ini, its output in workDir/server-output.txt, and waits until it listens, seen in /proc/net/tcp so no probe
// connection shows in its log or lobby. False if it exited or did not come
// up in time.
class ServerProcess : public ChildProcess {
public:
    bool start(const std::string& workDir, int port, const std::string& extraConfigLines = "");
    // Writes one console line as it stands (give the "\n").
    bool sendConsole(const std::string& line) { return writeInput(line); }
    // "quit\n", then waits for the exit (SIGKILL at the deadline).
    int stop(int timeoutMs = 10000);
    bool isRunning() { return running(); }
    int port() const { return serverPort; }

private:
    int serverPort = 0;
};

struct ToolRun {
    int status;  // exit status; -1 when killed at the deadline
    std::string output;
};

// CARVANTA_BINARY_DIR "/" name.
std::string toolPath(const std::string& name);
// Runs one of the project's programs to its end with text on its input.
ToolRun runTool(const std::string& name, const std::vector<std::string>& args,
                const std::string& workDir, const std::string& input = "",
                int timeoutMs = 10000);

// The console "stats" table of a server: one row per user name.
struct StatsLine {
    int id = 0;
    int played = 0;
    int high = 0;
    int average = 0;
};
std::map<std::string, StatsLine> parseStatsTable(const std::string& output);
// Types "stats" and returns the table that appears; false when no complete
// table came in time.
bool readStatsTable(ServerProcess* server, std::map<std::string, StatsLine>* table,
                    int timeoutMs = 5000);

// True while a process of that pid exists and has not ended (a zombie has).
bool processAlive(pid_t pid);
// Milliseconds of CPU time (user + system) the process has used so far.
long processCpuMs(pid_t pid);
// Resident memory of a process in kB (VmRSS), -1 if it cannot be read.
long residentKb(pid_t pid);

#endif
