// The main job end to end: tmgr-demo runs as a child process while the test inspects and
// steers it through its command socket, with mdf-cli and with raw connections.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <thread>

#include "mdfServer.h"
#include "operatorClient.h"
#include "tempPath.h"

namespace {

using cmn::test::ProgramRun;

// "Never happened" budget for what the demo does within a second or two.
const int kBudgetMs = 20000;
// The demo runs until the test stops it; this only ends it should the test die first.
const char* const kDemoSeconds = "120";

ProgramRun cli(const std::vector<std::string>& args) {
    return cmn::test::runProgram(MDF_CLI_PATH, args);
}

class DemoEndToEndTest : public testing::Test {
protected:
    void SetUp() override {
        outFd_m = mkostemp(outPath_m, O_CLOEXEC);
        errFd_m = mkostemp(errPath_m, O_CLOEXEC);
        demo_m =
            cmn::test::spawnProgram(TMGR_DEMO_PATH, {"--seconds", kDemoSeconds}, outFd_m, errFd_m);
        ASSERT_GT(demo_m, 0);
        pid_m = std::to_string(demo_m);
        socketPath_m = mdf::Server::defaultSocketPath(demo_m);
        // A served command means the demo's loop runs, so its SIGTERM handler is in place (the
        // socket file exists earlier).
        ASSERT_TRUE(cmn::test::waitUntil([this] { return state().status == 0; }, kBudgetMs));
    }
    void TearDown() override {
        if (demo_m > 0) {
            EXPECT_EQ(0, stopDemo());
        }
        EXPECT_FALSE(cmn::test::pathExists(socketPath_m));
        cmn::test::takeFile(outFd_m, outPath_m);
        cmn::test::takeFile(errFd_m, errPath_m);
    }
    // Asks the demo to end (SIGTERM) and waits for it; its exit status.
    int stopDemo() {
        kill(demo_m, SIGTERM);
        int status = -1;
        waitpid(demo_m, &status, 0);
        demo_m = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ProgramRun state() { return cli({"-p", pid_m, "tmgr-show-state"}); }
    std::string demoOutput() {
        std::ifstream in(outPath_m);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    char outPath_m[32] = "/tmp/ctm-demo-out.XXXXXX";
    char errPath_m[32] = "/tmp/ctm-demo-err.XXXXXX";
    int outFd_m = -1;
    int errFd_m = -1;
    pid_t demo_m = -1;
    std::string pid_m;
    std::string socketPath_m;
};

TEST_F(DemoEndToEndTest, OperatorInspectsAndSteersTheRunningDemo) {
    ProgramRun before = state();
    EXPECT_EQ(0, before.status) << before.err;
    EXPECT_NE(std::string::npos, before.out.find("cmn::TimerManager\n")) << before.out;
    EXPECT_NE(std::string::npos, before.out.find("Total Users: 4; ")) << before.out;
    EXPECT_NE(std::string::npos, before.out.find("[1] tmgr-demo: Type: Periodic [On]"));
    EXPECT_NE(std::string::npos,
              before.out.find("[3] tmgr-demo: Type: Periodic - clock-sync [On]"));

    // The extra commands exist only after tmgr-debug-enable.
    EXPECT_EQ(1, cli({"-p", pid_m, "tmgr-cancel-timer", "1"}).status);
    EXPECT_EQ(0, cli({"-p", pid_m, "tmgr-debug-enable"}).status);
    ProgramRun cancel = cli({"-p", pid_m, "tmgr-cancel-timer", "1"});
    EXPECT_EQ(0, cancel.status);
    EXPECT_EQ("Testing TimerManager - verb = tmgr-cancel-timer\nTimer canceled OK on Id: 1\n",
              cancel.out);
    ProgramRun usage = cli({"-p", pid_m, "tmgr-simulate-timeout"});
    EXPECT_EQ(1, usage.status);
    EXPECT_NE(std::string::npos, usage.out.find("usage: tmgr-simulate-timeout [timerId]\n"));

    // The cancelled timer's armed expiry comes back as a zombie and removes it.
    EXPECT_TRUE(cmn::test::waitUntil(
        [this] {
            const std::string text = state().out;
            return text.find("Zombie Timeouts: 1;") != std::string::npos &&
                   text.find("[1] tmgr-demo") == std::string::npos;
        },
        kBudgetMs));
    EXPECT_TRUE(cmn::test::waitUntil(
        [this] {
            const std::string output = demoOutput();
            return output.find("expiry: timer 0 one-shot 1500 ms") != std::string::npos &&
                   output.find("expiry: timer 2 periodic 700000000 ns") != std::string::npos;
        },
        kBudgetMs))
        << demoOutput();
    EXPECT_EQ(0, stopDemo());
    // The state printed at the end.
    const std::string output = demoOutput();
    EXPECT_NE(std::string::npos, output.find("Zombie Timeouts: 1;")) << output;
    EXPECT_EQ(std::string::npos, output.find("[1] tmgr-demo")) << output;
    EXPECT_FALSE(cmn::test::pathExists(socketPath_m));
}

TEST_F(DemoEndToEndTest, UnreachableServerExitsTwo) {
    ProgramRun run = cli({"-p", "999999999", "tmgr-show-state"});
    EXPECT_EQ(2, run.status);
    EXPECT_NE(std::string::npos, run.err.find("cannot connect")) << run.err;
}

TEST_F(DemoEndToEndTest, HostileClientsDoNotStopTheServer) {
    // A client that connects and never speaks, and one whose line is far beyond the bound.
    int silent = cmn::test::connectTo(socketPath_m);
    ASSERT_GE(silent, 0);
    std::string answer =
        cmn::test::askServer(socketPath_m, std::string(100000, 'x') + "\n", kBudgetMs);
    EXPECT_EQ(0u, answer.find("ERROR")) << answer.substr(0, 200);

    ProgramRun after = state();
    EXPECT_EQ(0, after.status) << after.err;
    close(silent);
}

TEST_F(DemoEndToEndTest, PeerOfAnotherUserIsRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "switching a child to another user id needs root";
    }
    // Loosen the file so only the credential check stands between the peer and the server.
    ASSERT_EQ(0, chmod(socketPath_m.c_str(), 0666));
    pid_t peer = fork();
    if (peer == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(3);
        }
        std::string answer = cmn::test::askServer(socketPath_m, "tmgr-show-state\n", kBudgetMs);
        _exit(answer.find("cmn::TimerManager") == std::string::npos ? 0 : 1);
    }
    int status = -1;
    waitpid(peer, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "3: could not switch user; 1: the peer was served";
    EXPECT_EQ(0, state().status);
}

}  // namespace
