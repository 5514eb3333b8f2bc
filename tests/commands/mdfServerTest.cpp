// mdf::Server: registration, the handler chain, line splitting and the help listing in process;
// the operator socket end to end, served by a dispatcher loop on a thread of its own; and mdf-cli
// run as a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "commonDispatcher.h"
#include "mdfServer.h"
#include "operatorClient.h"

namespace {

using cmn::test::execute;

const std::string kDots = std::string(56, '.') + "\n";

mdf::Server& server() { return cmn::SingletonHolder<mdf::Server>::getInstance(); }

// Far beyond the server's 5 s idle limit; only a "never happened" bound.
std::string ask(const std::string& path, const std::string& request) {
    return cmn::test::askServer(path, request, 20000);
}

// mdf-cli's exit status, a blank, then its standard output and standard error.
std::string cli(const std::vector<std::string>& args) {
    cmn::test::ProgramRun run = cmn::test::runProgram(MDF_CLI_PATH, args);
    return std::to_string(run.status) + " " + run.out + run.err;
}

mode_t fileType(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? info.st_mode & S_IFMT : 0;
}

class Target {
public:
    // Writes its words, the command word first, joined by '|'.
    bool echo(int argc, char** argv, std::string& out_r) {
        for (int i = 0; i < argc; ++i) {
            out_r += (i > 0 ? "|" : "") + std::string(argv[i]);
        }
        return true;
    }
    bool fail(int /*argc*/, char** /*argv*/, std::string& out_r) {
        out_r += "no\n";
        return false;
    }
};

typedef mdf::ACommandHandler<Target, bool (Target::*)(int, char**, std::string&)> TargetHandler;

// Handler "h" with tst-echo and tst-fail, registered for the test's length.
class MdfServerTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server().registerNewHandler(&handler_m));
        ASSERT_TRUE(handler_m.addCommand("tst-echo", "echoes", &Target::echo, target_m));
        ASSERT_TRUE(handler_m.addCommand("tst-fail", "fails", &Target::fail, target_m));
    }
    void TearDown() override {
        stopLoop();
        server().deregisterHandler(&handler_m);
        unlink(path_m.c_str());
    }
    // Starts listening at `path` on a new thread that takes the handler over and then runs its
    // dispatcher loop until stopLoop(), which also has that thread stop listening.
    bool startLoop(const std::string& path) {
        std::future<bool> result = started_m.get_future();
        loop_m = std::thread([this, path] {
            bool listening = server().deregisterHandler(&handler_m) &&
                             server().registerNewHandler(&handler_m) &&
                             server().startListening(path);
            started_m.set_value(listening);
            while (listening && !stop_m.load()) {
                cmn::SingletonHolder<cmn::Dispatcher>::getInstance().listenOnce(20);
            }
            server().stopListening();
        });
        return result.get();
    }
    void stopLoop() {
        if (loop_m.joinable()) {
            stop_m.store(true);
            loop_m.join();
        }
    }

    std::string path_m = "/tmp/mdf-server-test." + std::to_string(getpid()) + ".socket";
    Target target_m;
    TargetHandler handler_m{"h"};
    std::promise<bool> started_m;  // a member: set_value() may still run when get() returns
    std::thread loop_m;
    std::atomic<bool> stop_m{false};
};

TEST_F(MdfServerTest, RegistrationRefusesNullDuplicatesAndStrangers) {
    TargetHandler stranger("stranger");
    EXPECT_FALSE(server().registerNewHandler(nullptr));
    EXPECT_FALSE(server().registerNewHandler(&handler_m));
    EXPECT_FALSE(server().deregisterHandler(nullptr));
    EXPECT_FALSE(server().deregisterHandler(&stranger));
    // Words the server knows, its own included, are refused to any other handler.
    EXPECT_FALSE(stranger.addCommand("TST-ECHO", "mine", &Target::echo, target_m));
    EXPECT_FALSE(stranger.addCommand("Help", "mine", &Target::echo, target_m));
    EXPECT_TRUE(server().deregisterHandler(&handler_m));
    EXPECT_FALSE(server().deregisterHandler(&handler_m));
    EXPECT_TRUE(stranger.addCommand("tst-echo", "mine", &Target::echo, target_m));
}

TEST_F(MdfServerTest, WithdrawingTheMiddleHandlerRelinksTheChain) {
    TargetHandler middle("middle");
    TargetHandler last("last");
    ASSERT_TRUE(server().registerNewHandler(&middle));
    ASSERT_TRUE(server().registerNewHandler(&last));
    ASSERT_TRUE(middle.addCommand("tst-middle", "m", &Target::echo, target_m));
    ASSERT_TRUE(last.addCommand("tst-last", "l", &Target::echo, target_m));
    ASSERT_TRUE(server().deregisterHandler(&middle));
    EXPECT_EQ(&last, handler_m.getSuccessor());
    EXPECT_EQ("TST-LAST|atrue", execute("TST-LAST a"));
    EXPECT_FALSE(server().commandExists("tst-middle"));
    EXPECT_EQ(
        "mdf::Server Commands:\n  help : lists the commands of every handler\n"
        "  mdf-show-state : shows each handler's state and the operator socket\n" +
            kDots + "h Commands:\n  tst-echo : echoes\n  tst-fail : fails\n" + kDots +
            "last Commands:\n  tst-last : l\n" + kDots + "true",
        execute("help"));
    EXPECT_TRUE(server().deregisterHandler(&last));
}

TEST_F(MdfServerTest, WordsAreSplitAtBlanksAndTabsAndTheTextPassesUnchanged) {
    EXPECT_EQ("Tst-Echotrue", execute("Tst-Echo"));
    EXPECT_EQ("tst-echo|a|btrue", execute("  tst-echo\ta \t\t b  "));
    EXPECT_EQ("tst-echo|x\nytrue", execute("tst-echo x\ny"));
    EXPECT_EQ("no\nfalse", execute("tst-fail"));
    const std::string help = "; \"help\" lists the commands\nfalse";
    EXPECT_EQ("empty command line" + help, execute(" \t "));
    EXPECT_EQ("unknown command \"tst-nothing\"" + help, execute("tst-nothing 1"));
    // The server's own count is process-wide: earlier tests of the same run add to it.
    const std::string state = execute("mdf-show-state");
    EXPECT_EQ(0u, state.find(" Hdlr Name: mdf::Server; Cmds Registered: 2; Msg Rx: ")) << state;
    EXPECT_NE(std::string::npos, state.find(" \n Hdlr Name: h; Cmds Registered: 2; Msg Rx: 4 \n"
                                            "Listening on: -\ntrue"))
        << state;
}

// Another thread registers and withdraws a handler while this one runs commands along the
// chain: the chain must stay whole for the walk (run it under ThreadSanitizer too).
TEST_F(MdfServerTest, RegistrationOnAnotherThreadKeepsTheChainWhole) {
    TargetHandler other("other");
    ASSERT_TRUE(other.addCommand("tst-other", "other", &Target::echo, target_m));
    std::thread churn([&other] {
        for (int i = 0; i < 500; ++i) {
            server().registerNewHandler(&other);
            server().deregisterHandler(&other);
        }
    });
    for (int i = 0; i < 500; ++i) {
        EXPECT_EQ("tst-echo|ztrue", execute("tst-echo z"));
        server().commandExists("tst-other");
    }
    churn.join();
    EXPECT_FALSE(server().commandExists("tst-other"));
}

TEST_F(MdfServerTest, NormalExitRemovesTheSocketFile) {
    // "fast": the child must use this process's path, which holds the parent's pid. No other
    // thread runs yet, so forking here is safe.
    testing::FLAGS_gtest_death_test_style = "fast";
    EXPECT_EXIT(exit(server().startListening(path_m) ? 0 : 3), testing::ExitedWithCode(0), "");
    EXPECT_EQ(0u, fileType(path_m));
}

// A live socket, a regular file or a symbolic link at the path is left alone; a stale socket
// (nobody listens) is replaced.
TEST_F(MdfServerTest, OnlyAStaleSocketIsReplaced) {
    const std::string target = path_m + ".target";
    { std::ofstream(target) << "keep"; }
    int live = cmn::test::bindAt(path_m, SOCK_STREAM);
    ASSERT_GE(live, 0);
    EXPECT_FALSE(server().startListening(path_m));
    close(live);
    EXPECT_TRUE(server().startListening(path_m));
    server().stopListening();
    ASSERT_EQ(0, symlink(target.c_str(), path_m.c_str()));
    EXPECT_FALSE(server().startListening(path_m));
    EXPECT_EQ(S_IFLNK, fileType(path_m));
    unlink(path_m.c_str());
    EXPECT_EQ(0, rename(target.c_str(), path_m.c_str()));
    EXPECT_FALSE(server().startListening(path_m));
    EXPECT_EQ(S_IFREG, fileType(path_m));
}

// A forked child starts with no handlers and not listening, and closes its copies of the
// parent's connections, so the parent's answer still ends for its client. Its exit leaves the
// parent's socket file and service alone.
TEST_F(MdfServerTest, ForkedChildStartsEmptyAndLeavesTheParentsSocketAlone) {
    ASSERT_TRUE(startLoop(path_m));
    int held = cmn::test::connectTo(path_m);
    ASSERT_TRUE(
        cmn::test::waitForListeningLine("connections: 1 of 32, 0 waiting for a command", 20000));
    int report[2];
    int hold[2];
    ASSERT_EQ(0, pipe2(report, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(hold, O_CLOEXEC));
    pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        close(hold[1]);
        Target own;
        TargetHandler mine("mine");
        std::string out;
        bool fresh = !server().commandExists("tst-echo") && server().getListeningPath().empty() &&
                     server().registerNewHandler(&mine) &&
                     mine.addCommand("tst-echo", "mine", &Target::echo, own) &&
                     server().executeCommand("tst-echo child", out);
        out += fresh ? "" : " refused";
        ssize_t ignored = write(report[1], out.data(), out.size());
        close(report[1]);
        char byte;
        ignored = read(hold[0], &byte, 1);  // until the parent closes its end
        (void)ignored;
        exit(0);
    }
    close(report[1]);
    close(hold[0]);
    char text[64] = {};
    ssize_t got = read(report[0], text, sizeof(text) - 1);
    EXPECT_EQ("tst-echo|child", std::string(text, got > 0 ? static_cast<size_t>(got) : 0));
    bool eof = false;
    send(held, "tst-echo parent\n", 16, MSG_NOSIGNAL);
    EXPECT_EQ("OK\ntst-echo|parent", cmn::test::readAll(held, 20000, eof));
    EXPECT_TRUE(eof);
    close(held);
    close(hold[1]);
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(report[0]);
    EXPECT_EQ(S_IFSOCK, fileType(path_m));
    EXPECT_EQ("OK\ntst-echo|after", ask(path_m, "tst-echo after\n"));
}

// The default path holds the process id, which mdf-cli's -p names.
TEST_F(MdfServerTest, SocketAnswersStatusLineThenTextAndCliExitStatusFollowsTheResult) {
    mode_t previous = umask(0);  // the mode must not depend on the caller's umask
    ASSERT_TRUE(startLoop(""));
    umask(previous);
    const std::string pid = std::to_string(getpid());
    const std::string path = "/tmp/mdf-server." + pid + ".socket";
    struct stat info;
    ASSERT_EQ(0, lstat(path.c_str(), &info));
    EXPECT_EQ(S_IFSOCK | 0600, info.st_mode);
    EXPECT_EQ("OK\ntst-echo|a|b", ask(path, "tst-echo a b\n"));
    EXPECT_EQ("FAILED\nno\n", ask(path, "tst-fail\n"));
    const std::string longest = "tst-echo " + std::string(4096 - 9, 'y');
    EXPECT_EQ("OK\ntst-echo|" + longest.substr(9), ask(path, longest + "\n"));
    EXPECT_EQ("ERROR\nline too long: more than 4096 bytes\n", ask(path, longest + "y\n"));
    EXPECT_EQ("0 tst-echo|a", cli({"-p", pid, "tst-echo", "a"}));
    EXPECT_EQ("1 no\n", cli({"-s", path, "TST-FAIL"}));
    EXPECT_EQ("2 mdf-cli: the server refused the request: line too long: more than 4096 bytes\n",
              cli({"-p", pid, "tst-echo", longest.substr(9) + "y"}));
    stopLoop();
    EXPECT_EQ(0u, fileType(path));
}

TEST(MdfCliTest, ExitsTwoWhenNoServerAnswersAndSixtyFourOnUsageError) {
    const std::string path = "/tmp/mdf-cli-test." + std::to_string(getpid());
    EXPECT_EQ("2 mdf-cli: cannot connect to " + path + ": No such file or directory\n",
              cli({"-s", path, "help"}));
    int mute = cmn::test::bindAt(path, SOCK_STREAM);  // never accepts: connections wait
    ASSERT_GE(mute, 0);
    EXPECT_EQ("2 mdf-cli: no answer from " + path + ": Connection timed out\n",
              cli({"-s", path, "help"}));
    close(mute);
    unlink(path.c_str());
    const std::string usage = "usage: mdf-cli [-s SOCKET | -p PID] COMMAND [ARGS...]\n";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"help"}, {"-s", "/tmp/x", "-p", "1", "help"}, {"-p", "12abc", "help"}}) {
        std::string run = cli(args);
        EXPECT_EQ(0u, run.find("64 mdf-cli: ")) << run;
        EXPECT_NE(std::string::npos, run.find("\n" + usage)) << run;
    }
    EXPECT_EQ(0u, cli({"--help"}).find("0 " + usage));
}

}  // namespace
