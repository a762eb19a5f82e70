// ToolRun.cpp - see ToolRun.h.
#include "ToolRun.h"

#include "ChildProcess.h"

std::string toolPath(const std::string& name) {
    return std::string(CARVANTA_BINARY_DIR) + "/" + name;
}

ToolRun runToolWithInput(const std::string& name, const std::vector<std::string>& args,
                         const std::string& workDir, const std::string& input, int timeoutMs) {
    ChildProcess child;
    ToolRun result = {-1, ""};
    if (!child.start(toolPath(name), args, workDir)) {
        result.output = "could not start " + name;
        return result;
    }
    if (!input.empty()) {
        child.writeInput(input);
    }
    child.closeInput();
    result.status = child.waitExit(timeoutMs);
    result.output = child.output();
    return result;
}

ToolRun runTool(const std::string& name, const std::vector<std::string>& args,
                const std::string& workDir, int timeoutMs) {
    return runToolWithInput(name, args, workDir, "", timeoutMs);
}
