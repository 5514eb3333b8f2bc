// Process life: the main thread's manager goes at exit() however the process ends, and a
// forked child leaves its parent's manager alone. Each case runs the exit helper in a process
// of its own and checks its exit status, its output and that its socket file is gone.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "tempPath.h"

namespace cmn {
namespace test {
namespace {

struct HelperRun {
    int exitCode = -1;
    std::vector<std::string> lines;  // the first is the socket path
};

HelperRun runHelper(const std::string& mode) {
    HelperRun run;
    std::string command = std::string(CTM_EXIT_HELPER) + " " + mode;
    FILE* output_p = popen(command.c_str(), "r");
    if (output_p == nullptr) {
        return run;
    }
    char line[512];
    while (fgets(line, sizeof(line), output_p) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        run.lines.push_back(text);
    }
    int status = pclose(output_p);
    if (status != -1 && WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    }
    return run;
}

struct ExitCase {
    const char* mode;
    int exitCode;
};

void PrintTo(const ExitCase& exitCase, std::ostream* os) { *os << exitCase.mode; }

class ProcessExitTest : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ProcessExitTest, SocketFileGoesWithTheProcess) {
    HelperRun run = runHelper(GetParam().mode);
    EXPECT_EQ(GetParam().exitCode, run.exitCode);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(0u, run.lines[0].find("/tmp/timer_manager_cb.socket.PID")) << run.lines[0];
    EXPECT_FALSE(pathExists(run.lines[0])) << run.lines[0];
}

INSTANTIATE_TEST_SUITE_P(Exits, ProcessExitTest,
                         ::testing::Values(ExitCase{"return", 0}, ExitCase{"exit-in-callback", 7},
                                           ExitCase{"exit-from-thread", 5},
                                           ExitCase{"delete-then-exit", 0}),
                         [](const ::testing::TestParamInfo<ExitCase>& info) {
                             std::string name;
                             for (const char* c = info.param.mode; *c != '\0'; ++c) {
                                 if (*c != '-') {
                                     name += *c;
                                 }
                             }
                             return name;
                         });

TEST(ProcessForkTest, ChildThatDeletesAndExitsLeavesParentManagerWorking) {
    HelperRun run = runHelper("fork-child");
    EXPECT_EQ(0, run.exitCode);
    ASSERT_EQ(5u, run.lines.size());
    EXPECT_EQ((std::vector<std::string>{"parent-socket-kept", "parent-command-socket-kept",
                                        "parent-expiry-delivered"}),
              std::vector<std::string>(run.lines.begin() + 2, run.lines.end()));
    EXPECT_FALSE(pathExists(run.lines[0])) << run.lines[0];
    EXPECT_FALSE(pathExists(run.lines[1])) << run.lines[1];
}

}  // namespace
}  // namespace test
}  // namespace cmn
