// The operator socket end to end: a dispatcher loop on its own thread serves the socket, the
// test thread connects as a client, and mdf-cli runs as a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "commonDispatcher.h"
#include "mdfServer.h"
#include "operatorClient.h"

namespace {

// Far beyond the server's 5 s idle limit; only a "never happened" bound.
const int kBudgetMs = 20000;

mdf::Server& server() { return cmn::SingletonHolder<mdf::Server>::getInstance(); }

using cmn::test::askServer;
using cmn::test::connectTo;
using cmn::test::readAll;

std::string askServer(const std::string& path, const std::string& request) {
    return askServer(path, request, kBudgetMs);
}

typedef cmn::test::ProgramRun CliRun;

CliRun runCli(const std::vector<std::string>& args) {
    return cmn::test::runProgram(MDF_CLI_PATH, args);
}

class Target {
public:
    bool echo(int argc, char** argv, std::string& out_r) {
        for (int i = 1; i < argc; ++i) {
            out_r += (i > 1 ? "|" : "") + std::string(argv[i]);
        }
        return true;
    }
    bool fail(int /*argc*/, char** /*argv*/, std::string& out_r) {
        out_r += "no\n";
        return false;
    }
};

typedef mdf::ACommandHandler<Target, bool (Target::*)(int, char**, std::string&)> TargetHandler;

class OperatorSocketTest : public testing::Test {
protected:
    OperatorSocketTest()
        : path_m("/tmp/mdf-socket-test." + std::to_string(getpid()) + ".socket"),
          handler_m("test") {}

    void SetUp() override {
        unlink(path_m.c_str());
        ASSERT_TRUE(server().registerNewHandler(&handler_m));
        ASSERT_TRUE(handler_m.addCommand("tst-echo", "echo", &Target::echo, target_m));
        ASSERT_TRUE(handler_m.addCommand("tst-fail", "fail", &Target::fail, target_m));
    }
    void TearDown() override {
        stopLoop();
        server().deregisterHandler(&handler_m);
        unlink(path_m.c_str());
    }

    // Starts listening at `path` on a new thread that then runs its dispatcher loop until
    // stopLoop(), which also has that thread stop listening.
    bool startLoop(const std::string& path) {
        std::promise<bool> started;
        std::future<bool> result = started.get_future();
        loop_m = std::thread([this, path, &started] {
            bool listening = server().startListening(path);
            started.set_value(listening);
            cmn::Dispatcher& dispatcher = cmn::SingletonHolder<cmn::Dispatcher>::getInstance();
            while (listening && !stop_m.load()) {
                dispatcher.listenOnce(20);
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

    std::string path_m;
    Target target_m;
    TargetHandler handler_m;
    std::thread loop_m;
    std::atomic<bool> stop_m{false};
};

TEST_F(OperatorSocketTest, AnswerIsStatusLineThenCommandText) {
    ASSERT_TRUE(startLoop(path_m));
    EXPECT_EQ("OK\na|b", askServer(path_m, "tst-echo a b\n"));
    EXPECT_EQ("FAILED\nno\n", askServer(path_m, "tst-fail\n"));
    EXPECT_EQ("OK\nc", askServer(path_m, "tst-echo c"));  // ended by the shutdown alone
    EXPECT_EQ("OK\nd", askServer(path_m, "tst-echo d\r\nignored"));
    EXPECT_EQ(0u, askServer(path_m, "tst-nothing\n").find("FAILED\n"));
}

TEST_F(OperatorSocketTest, SocketFileIsOwnerOnlyAndRemovedByStop) {
    mode_t previous = umask(0);  // the mode must not depend on the caller's umask
    bool started = startLoop(path_m);
    umask(previous);
    ASSERT_TRUE(started);
    EXPECT_EQ(path_m, server().getListeningPath());
    struct stat info;
    ASSERT_EQ(0, lstat(path_m.c_str(), &info));
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(0600u, info.st_mode & 07777);
    stopLoop();
    EXPECT_NE(0, lstat(path_m.c_str(), &info));
    EXPECT_EQ("", server().getListeningPath());
}

TEST_F(OperatorSocketTest, NormalExitRemovesTheSocketFile) {
    // "fast": the child must use this process's path, which holds the parent's pid. No other
    // thread runs yet, so forking here is safe.
    testing::FLAGS_gtest_death_test_style = "fast";
    EXPECT_EXIT(
        {
            bool listening = server().startListening(path_m);
            exit(listening ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
    struct stat info;
    EXPECT_NE(0, lstat(path_m.c_str(), &info));
}

TEST_F(OperatorSocketTest, OverlongLineIsRefusedAndTheLoopKeepsServing) {
    ASSERT_TRUE(startLoop(path_m));
    std::string longest = "tst-echo " + std::string(4096 - 9, 'y');
    EXPECT_EQ("OK\n" + longest.substr(9), askServer(path_m, longest + "\n"));
    EXPECT_EQ(0u, askServer(path_m, longest + "y\n").find("ERROR\n"));
    EXPECT_EQ(0u, askServer(path_m, std::string(100000, 'z')).find("ERROR\n"));
    EXPECT_EQ("OK\nok", askServer(path_m, "tst-echo ok\n"));
}

TEST_F(OperatorSocketTest, SilentClientBlocksNobodyAndIsClosedLater) {
    ASSERT_TRUE(startLoop(path_m));
    int silent = connectTo(path_m);
    ASSERT_GE(silent, 0);
    EXPECT_EQ("OK\nfine", askServer(path_m, "tst-echo fine\n"));
    bool eof = false;
    EXPECT_EQ(0u, readAll(silent, kBudgetMs, eof).find("ERROR\n"));
    EXPECT_TRUE(eof);
    close(silent);
}

TEST_F(OperatorSocketTest, ConnectionsBeyondTheLimitAreClosedAtOnce) {
    ASSERT_TRUE(startLoop(path_m));
    std::vector<int> silent;
    for (int i = 0; i < 32; ++i) {
        silent.push_back(connectTo(path_m));
        ASSERT_GE(silent.back(), 0);
    }
    int extra = connectTo(path_m);
    ASSERT_GE(extra, 0);
    bool eof = false;
    // Closed without a word, not answered by the idle limit.
    EXPECT_EQ("", readAll(extra, kBudgetMs, eof));
    EXPECT_TRUE(eof);
    close(extra);
    for (int fd : silent) {
        close(fd);
    }
    // The server sees those closes in its own time; a slot frees up once it has.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBudgetMs);
    std::string answer;
    while (answer != "OK\nagain" && std::chrono::steady_clock::now() < deadline) {
        answer = askServer(path_m, "tst-echo again\n");
    }
    EXPECT_EQ("OK\nagain", answer);
}

TEST_F(OperatorSocketTest, PlantedSymlinkIsNeitherFollowedNorRemoved) {
    const std::string target = path_m + ".target";
    const std::string missing = path_m + ".missing";
    { std::ofstream(target) << "keep"; }
    const std::string* pointsTo[] = {&target, &missing};
    for (const std::string* linked_p : pointsTo) {
        ASSERT_EQ(0, symlink(linked_p->c_str(), path_m.c_str()));
        EXPECT_FALSE(server().startListening(path_m)) << *linked_p;
        struct stat info;
        ASSERT_EQ(0, lstat(path_m.c_str(), &info));
        EXPECT_TRUE(S_ISLNK(info.st_mode));
        unlink(path_m.c_str());
    }
    struct stat info;
    ASSERT_EQ(0, lstat(target.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    std::ifstream in(target);
    std::string content;
    in >> content;
    EXPECT_EQ("keep", content);
    EXPECT_NE(0, lstat(missing.c_str(), &info));
    unlink(target.c_str());
}

TEST_F(OperatorSocketTest, StaleSocketIsReplacedButLiveOneAndFileAreNot) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s", path_m.c_str());
    int other = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(0, bind(other, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, listen(other, 1));
    EXPECT_FALSE(server().startListening(path_m));  // someone serves there
    close(other);                                   // now nobody does: stale
    EXPECT_TRUE(server().startListening(path_m));
    server().stopListening();

    { std::ofstream(path_m) << "data"; }
    EXPECT_FALSE(server().startListening(path_m));
    struct stat info;
    ASSERT_EQ(0, lstat(path_m.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
}

TEST_F(OperatorSocketTest, CliExitStatusFollowsTheCommandResult) {
    ASSERT_TRUE(startLoop(""));
    const std::string pid = std::to_string(getpid());
    EXPECT_EQ("/tmp/mdf-server." + pid + ".socket", server().getListeningPath());
    CliRun ok = runCli({"-p", pid, "tst-echo", "a", "b"});
    EXPECT_EQ(0, ok.status);
    EXPECT_EQ("a|b", ok.out);
    CliRun failed = runCli({"-s", server().getListeningPath(), "TST-FAIL"});
    EXPECT_EQ(1, failed.status);
    EXPECT_EQ("no\n", failed.out);
    CliRun refused = runCli({"-p", pid, "tst-echo", std::string(5000, 'x')});
    EXPECT_EQ(2, refused.status);
    EXPECT_NE(std::string::npos, refused.err.find("line too long")) << refused.err;
}

TEST(MdfCliTest, ExitsTwoWhenNoServer) {
    const std::string path = "/tmp/mdf-cli-test-nobody." + std::to_string(getpid());
    CliRun run = runCli({"-s", path, "help"});
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("mdf-cli: cannot connect to " + path + ": No such file or directory\n", run.err);
    EXPECT_EQ("", run.out);
}

TEST(MdfCliTest, ExitsTwoWhenTheServerNeverAnswers) {
    const std::string path = "/tmp/mdf-cli-test-mute." + std::to_string(getpid());
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    int mute = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(0, bind(mute, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, listen(mute, 4));  // connections wait in the backlog, never answered
    CliRun run = runCli({"-s", path, "help"});
    close(mute);
    unlink(path.c_str());
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("mdf-cli: no answer from " + path + ": Connection timed out\n", run.err);
}

class MdfCliUsageTest : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(MdfCliUsageTest, ExitsSixtyFourOnUsageError) {
    CliRun run = runCli(GetParam());
    EXPECT_EQ(64, run.status);
    EXPECT_NE(std::string::npos, run.err.find("usage: mdf-cli")) << run.err;
    EXPECT_EQ("", run.out);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, MdfCliUsageTest,
    testing::Values(std::vector<std::string>{}, std::vector<std::string>{"help"},
                    std::vector<std::string>{"-s"}, std::vector<std::string>{"-s", "/tmp/x"},
                    std::vector<std::string>{"-s", "/tmp/x", "-p", "1", "help"},
                    std::vector<std::string>{"-p", "12abc", "help"},
                    std::vector<std::string>{"-p", "0", "help"},
                    std::vector<std::string>{"-x", "help"}));

TEST(MdfCliTest, HelpPrintsUsageAndExitsZero) {
    CliRun run = runCli({"--help"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(0u, run.out.find("usage: mdf-cli [-s SOCKET | -p PID] COMMAND [ARGS...]\n"));
}

}  // namespace
