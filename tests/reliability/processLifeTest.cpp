// Process life: the main thread's manager goes at exit() however the process ends, after the
// application's static objects, and a forked child leaves its parent's manager alone and may
// run its own. Each case runs the exit helper in a process of its own and checks its exit
// status, its whole output (standard error included, so any message fails a case that expects
// none) and that its socket files are gone.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "tempPath.h"

namespace cmn::test {
namespace {

struct ExitCase {
    const char* name;
    const char* mode;
    int exitCode;
    size_t paths;                        // socket paths printed first
    std::vector<std::string> lastLines;  // the output after the socket paths
};

void PrintTo(const ExitCase& exitCase, std::ostream* os) { *os << exitCase.mode; }

class ProcessLifeTest : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ProcessLifeTest, SocketFilesGoWithTheProcess) {
#if defined(__SANITIZE_THREAD__)
    if (std::string(GetParam().mode) == "fork-child-timers") {
        GTEST_SKIP() << "ThreadSanitizer cannot follow threads started in a child of a threaded "
                        "process (it still knows the parent's threads by the same ids)";
    }
#endif
    FILE* output_p =
        popen((std::string(CTM_EXIT_HELPER) + " " + GetParam().mode + " 2>&1").c_str(), "r");
    ASSERT_NE(nullptr, output_p);
    std::vector<std::string> lines;
    char line[512];
    while (fgets(line, sizeof(line), output_p) != nullptr) {
        // A sanitizer's notes ("==<pid>==...") are left out: its findings change the exit
        // status, which is checked.
        if (strncmp(line, "==", 2) != 0) {
            lines.emplace_back(line, strcspn(line, "\n"));
        }
    }
    const int status = pclose(output_p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == GetParam().exitCode) << status;
    // The callback socket's path first; the command socket's or a worker's callback socket's
    // path second.
    const size_t paths = GetParam().paths;
    ASSERT_LE(paths, lines.size());
    EXPECT_EQ(0u, lines[0].find("/tmp/timer_manager_cb.socket.PID")) << lines[0];
    EXPECT_EQ(GetParam().lastLines, std::vector<std::string>(lines.begin() + paths, lines.end()));
    for (size_t i = 0; i < paths; ++i) {
        EXPECT_FALSE(pathExists(lines[i])) << lines[i];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Exits, ProcessLifeTest,
    ::testing::Values(
        ExitCase{"Return", "return", 0, 1, {}},
        ExitCase{"ExitInCallback", "exit-in-callback", 7, 1, {}},
        ExitCase{"ExitFromThread", "exit-from-thread", 5, 1, {}},
        ExitCase{"DeleteThenExit", "delete-then-exit", 0, 1, {}},
        ExitCase{"WorkerManagerStillRunning", "worker-alive", 0, 2, {}},
        // Regression: the manager went before the static client, whose cancel then made a new
        // one ("deregisterSubscriberToTimery failed 0") and left its socket file.
        ExitCase{"StaticClientCancelsInDestructor", "static-client", 0, 1, {"client-cancelled"}},
        // The throw must not leave the manager marked as in use by a callback: exit() still
        // destroys it, which reports the user data left attached.
        ExitCase{"ExitAfterCallbackThrew",
                 "throw-in-callback",
                 0,
                 1,
                 {"log: user error - leaking user data"}},
        ExitCase{"ForkChildLeavesParentWorking",
                 "fork-child",
                 0,
                 2,
                 {"parent-socket-kept", "parent-command-socket-kept", "parent-expiry-delivered"}},
        ExitCase{"ForkChildRunsOwnTimersBesideParent",
                 "fork-child-timers",
                 0,
                 1,
                 {"child-timers-fired", "parent-expiries-delivered", "parent-socket-kept"}}),
    [](const ::testing::TestParamInfo<ExitCase>& info) { return info.param.name; });

}  // namespace
}  // namespace cmn::test
