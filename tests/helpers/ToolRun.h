// ToolRun.h - runs one of the project's programs (CarvantaUserData,
// CarvantaClient) to its end in a test's directory and collects its exit
// status and its output (standard output and error together). Bounded by a
// deadline; a program still running then is killed.
#ifndef TOOLRUN_H
#define TOOLRUN_H

#include <string>
#include <vector>

struct ToolRun {
    int status;  // exit status; -1 when killed at the deadline
    std::string output;
};

// CARVANTA_BINARY_DIR "/" name.
std::string toolPath(const std::string& name);
ToolRun runTool(const std::string& name, const std::vector<std::string>& args,
                const std::string& workDir, int timeoutMs = 10000);
// The same with text on the program's standard input (then closed).
ToolRun runToolWithInput(const std::string& name, const std::vector<std::string>& args,
                         const std::string& workDir, const std::string& input,
                         int timeoutMs = 10000);

#endif
