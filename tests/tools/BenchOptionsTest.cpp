// BenchOptionsTest.cpp - CarvantaBench runs a scenario only when it is
// named: help, a missing scenario and mistakes in the options print the
// usage and end at once, without starting a server or a load.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Process.h"
#include "TestSupport.h"

TEST(BenchOptionsTest, NothingRunsUnlessAScenarioIsNamed) {
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"--help"}, 0},
        {{}, 2},
        {{"--count", "10"}, 2},
        {{"--scenario", "no-such"}, 2},
        {{"--scenario", "login", "--clients", "101"}, 2},
        {{"--scenario", "login", "--clients", "0"}, 2},
        {{"--scenario", "login", "--frobnicate", "1"}, 2},
        {{"--scenario"}, 2},
    };
    TempDir dir;
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& arg : c.args) {
            shown += arg + " ";
        }
        ToolRun run = runTool("CarvantaBench", c.args, dir.path(), "", 5000);
        EXPECT_EQ(run.status, c.status) << shown << run.output;
        EXPECT_NE(run.output.find("usage: CarvantaBench"), std::string::npos) << shown;
        // A scenario that runs starts its report with a line "scenario NAME: ...".
        std::string lines = "\n" + run.output;
        EXPECT_EQ(lines.find("\nscenario "), std::string::npos)
            << shown << "ran a scenario: " << run.output;
    }
}
