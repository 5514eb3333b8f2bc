// mdf-cli as an operator meets it: who it agrees to talk to, the listing and cleaning of
// socket files, and the interactive session through a pipe and on a terminal. The servers are
// the test's own sockets in a scratch directory (passed with --dir), so every case decides
// who listens where and nothing in the real /tmp is touched.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "operatorClient.h"
#include "tempPath.h"

namespace {

using cmn::test::pathExists;
using cmn::test::ProgramRun;

// Only a "never happened" bound.
const int kBudgetMs = 20000;

bool waitFor(const std::function<bool()>& done) {
    for (int waited = 0; waited < kBudgetMs && !done(); waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// A socket of `type` bound at `path` (and listening for a stream socket); -1 on failure.
int bindAt(const std::string& path, int type) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        (type == SOCK_STREAM && listen(fd, 8) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Leaves a socket file at `path` with nothing bound to it any more.
void leaveSocketFile(const std::string& path, int type) { ASSERT_EQ(0, close(bindAt(path, type))); }

// Reads one request (up to '\n' or the end) from a connection.
std::string readRequest(int fd) {
    std::string request;
    char c;
    pollfd ready = {fd, POLLIN, 0};
    while (poll(&ready, 1, kBudgetMs) > 0 && read(fd, &c, 1) == 1 && c != '\n') {
        request += c;
    }
    return request;
}

// In a forked child: drops root for `uid` (its group the same number, no other groups).
bool becomeUser(uid_t uid) {
    return setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0;
}

// Runs mdf-cli with `input` on standard input, as user `uid` when it is not 0.
ProgramRun runCli(const std::vector<std::string>& args, const std::string& input, uid_t uid = 0) {
    char inPath[] = "/tmp/ctm-cli-in.XXXXXX";
    char outPath[] = "/tmp/ctm-cli-out.XXXXXX";
    char errPath[] = "/tmp/ctm-cli-err.XXXXXX";
    int fds[] = {mkstemp(inPath), mkstemp(outPath), mkstemp(errPath)};
    EXPECT_EQ(static_cast<ssize_t>(input.size()), write(fds[0], input.data(), input.size()));
    lseek(fds[0], 0, SEEK_SET);
    std::vector<char*> argv = {const_cast<char*>(MDF_CLI_PATH)};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (uid != 0 && !becomeUser(uid)) {
            _exit(99);
        }
        for (int i = 0; i < 3; ++i) {
            dup2(fds[i], i);
        }
        execv(MDF_CLI_PATH, argv.data());
        _exit(98);
    }
    int status = -1;
    waitpid(child, &status, 0);
    cmn::test::takeFile(fds[0], inPath);
    return ProgramRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                      cmn::test::takeFile(fds[1], outPath), cmn::test::takeFile(fds[2], errPath)};
}

class MdfCliToolTest : public testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/ctm-cli.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        dir_m = dir;
        ASSERT_EQ(0, chmod(dir, 01777));  // like /tmp: other users' test servers bind here too
    }
    void TearDown() override {
        for (pid_t child : children_m) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        for (int fd : fds_m) {
            close(fd);
        }
        DIR* stream_p = opendir(dir_m.c_str());
        while (const dirent* entry_p = stream_p ? readdir(stream_p) : nullptr) {
            unlink((dir_m + "/" + entry_p->d_name).c_str());
        }
        closedir(stream_p);
        EXPECT_EQ(0, rmdir(dir_m.c_str()));
    }

    std::string serverPath(pid_t pid) const {
        return dir_m + "/mdf-server." + std::to_string(pid) + ".socket";
    }
    std::string callbackPath(pid_t pid, int thread) const {
        return dir_m + "/timer_manager_cb.socket.PID" + std::to_string(pid) + ".TID" +
               std::to_string(thread);
    }
    // The pid of a process that has ended and been reaped.
    pid_t goneProcess() {
        pid_t child = fork();
        if (child == 0) {
            _exit(0);
        }
        waitpid(child, nullptr, 0);
        return child;
    }
    // A process that lives until the test ends.
    pid_t liveProcess() {
        pid_t child = fork();
        if (child == 0) {
            pause();
            _exit(0);
        }
        children_m.push_back(child);
        return child;
    }
    void keep(int fd) {
        ASSERT_GE(fd, 0);
        fds_m.push_back(fd);
    }
    ProgramRun cli(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"--dir", dir_m});
        return runCli(args, input);
    }

    std::string dir_m;
    std::vector<pid_t> children_m;
    std::vector<int> fds_m;
};

std::string listLine(pid_t pid, const std::string& program, const std::string& state,
                     const std::string& path) {
    char line[512];
    snprintf(line, sizeof(line), "%-8d %-16s %-24s %s\n", static_cast<int>(pid), program.c_str(),
             state.c_str(), path.c_str());
    return line;
}

TEST_F(MdfCliToolTest, ListShowsThisUsersServersAndMarksStaleOnes) {
    std::string program;
    std::getline(std::ifstream("/proc/self/comm"), program);
    pid_t gone = goneProcess();
    pid_t idle = liveProcess();
    keep(bindAt(serverPath(getpid()), SOCK_STREAM));
    leaveSocketFile(serverPath(gone), SOCK_STREAM);
    leaveSocketFile(serverPath(idle), SOCK_STREAM);
    // Never listed: a callback socket, a non-socket, a name with a padded pid, another user's.
    leaveSocketFile(callbackPath(gone, 7), SOCK_DGRAM);
    std::ofstream(serverPath(1)) << "not a socket";
    leaveSocketFile(dir_m + "/mdf-server.0" + std::to_string(idle) + ".socket", SOCK_STREAM);
    if (geteuid() == 0) {
        pid_t otherUsers = goneProcess();
        leaveSocketFile(serverPath(otherUsers), SOCK_STREAM);
        ASSERT_EQ(0, chown(serverPath(otherUsers).c_str(), 65534, 65534));
    }
    std::vector<std::pair<pid_t, std::string>> rows = {
        {getpid(), listLine(getpid(), program, "listening", serverPath(getpid()))},
        {gone, listLine(gone, "-", "stale: no such process", serverPath(gone))},
        {idle, listLine(idle, program, "stale: nobody listening", serverPath(idle))}};
    std::sort(rows.begin(), rows.end());
    std::string expected = "PID      PROGRAM          STATE                    SOCKET\n";
    for (const auto& row : rows) {
        expected += row.second;
    }
    ProgramRun run = cli({"--list"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ(expected, run.out);
    EXPECT_TRUE(pathExists(serverPath(gone)));  // marked, not removed
}

TEST_F(MdfCliToolTest, CleanStaleRemovesOnlySocketFilesOfGoneProcesses) {
    pid_t gone = goneProcess();
    leaveSocketFile(serverPath(gone), SOCK_STREAM);
    leaveSocketFile(callbackPath(gone, 1), SOCK_DGRAM);
    const std::vector<std::string> removed = {serverPath(gone), callbackPath(gone, 1)};
    // Kept: files of a live process, a socket still bound (a process of another pid
    // namespace), a regular file, a symlink to a socket, another user's socket.
    leaveSocketFile(serverPath(getpid()), SOCK_STREAM);
    leaveSocketFile(callbackPath(getpid(), 1), SOCK_DGRAM);
    keep(bindAt(callbackPath(gone, 2), SOCK_DGRAM));
    std::ofstream(callbackPath(gone, 3)) << "not a socket";
    leaveSocketFile(dir_m + "/target", SOCK_DGRAM);
    ASSERT_EQ(0, symlink((dir_m + "/target").c_str(), callbackPath(gone, 4).c_str()));
    std::vector<std::string> kept = {serverPath(getpid()),  callbackPath(getpid(), 1),
                                     callbackPath(gone, 2), callbackPath(gone, 3),
                                     callbackPath(gone, 4), dir_m + "/target"};
    if (geteuid() == 0) {
        leaveSocketFile(callbackPath(gone, 5), SOCK_DGRAM);
        ASSERT_EQ(0, chown(callbackPath(gone, 5).c_str(), 65534, 65534));
        kept.push_back(callbackPath(gone, 5));
    }
    const std::string stillBound =
        "kept " + callbackPath(gone, 2) + ": a socket is still bound to it\n";

    ProgramRun run = cli({"--clean-stale"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("removed " + removed[0] + "\nremoved " + removed[1] + "\n" + stillBound, run.out);
    for (const std::string& path : removed) {
        EXPECT_FALSE(pathExists(path)) << path;
    }
    for (const std::string& path : kept) {
        EXPECT_TRUE(pathExists(path)) << path;
    }
    run = cli({"--clean-stale"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(stillBound, run.out);
}

// A server stand-in at `path`, answering every connection on a thread of its own: "fail"
// gets FAILED, "refuse" gets ERROR, anything else OK with "got <line>" (no newline).
class StandInServer {
public:
    explicit StandInServer(const std::string& path) : fd_m(bindAt(path, SOCK_STREAM)) {
        thread_m = std::thread([this] { serve(); });
    }
    ~StandInServer() {
        stop_m = true;
        thread_m.join();
        close(fd_m);
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_m);
        return lines_m;
    }

private:
    void serve() {
        pollfd ready = {fd_m, POLLIN, 0};
        while (!stop_m) {
            int connection = poll(&ready, 1, 10) > 0 ? accept(fd_m, nullptr, nullptr) : -1;
            if (connection >= 0) {
                answer(connection, readRequest(connection));
                close(connection);
            }
        }
    }
    void answer(int connection, const std::string& line) {
        std::string reply = line == "fail"     ? "FAILED\nno\n"
                            : line == "refuse" ? "ERROR\nnot today\n"
                                               : "OK\ngot " + line;
        send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
        std::lock_guard<std::mutex> lock(mutex_m);
        lines_m.push_back(line);
    }

    int fd_m;
    std::atomic<bool> stop_m{false};
    std::mutex mutex_m;
    std::vector<std::string> lines_m;
    std::thread thread_m;
};

struct SessionCase {
    std::string input;
    std::vector<std::string> linesSent;  // one connection each
    std::string out;
    std::string err;
    int status;  // the last command's
};

void PrintTo(const SessionCase& session, std::ostream* out_p) {
    *out_p << "input " << testing::PrintToString(session.input);
}

class MdfCliSessionTest : public MdfCliToolTest, public testing::WithParamInterface<SessionCase> {};

TEST_P(MdfCliSessionTest, InputLinesRunOneConnectionEach) {
    StandInServer server(serverPath(getpid()));
    ProgramRun run = cli({"-p", std::to_string(getpid())}, GetParam().input);
    EXPECT_EQ(GetParam().status, run.status);
    EXPECT_EQ(GetParam().out, run.out);
    EXPECT_EQ(GetParam().err, run.err);
    EXPECT_EQ(GetParam().linesSent, server.lines());
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, MdfCliSessionTest,
    testing::Values(
        SessionCase{"show a\n\n \t\r\nshow b\r\nfail\n",
                    {"show a", "show b", "fail"},
                    "got show a\ngot show b\nno\n",
                    "",
                    1},
        SessionCase{"fail\nrefuse\nshow last",
                    {"fail", "refuse", "show last"},
                    "no\ngot show last\n",
                    "mdf-cli: the server refused the request: not today\n",
                    0},
        SessionCase{
            "refuse\n", {"refuse"}, "", "mdf-cli: the server refused the request: not today\n", 2},
        SessionCase{"", {}, "", "", 0}));

// On a terminal: a prompt, the line editor's history (the up arrow sends the last line
// again), and the end of input (Ctrl-D) ends the session.
TEST_F(MdfCliToolTest, TerminalSessionPromptsAndRecallsHistory) {
    StandInServer server(serverPath(getpid()));
    int terminal = -1;
    const std::string pid = std::to_string(getpid());
    pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("TERM", "vt100", 1);
        execl(MDF_CLI_PATH, MDF_CLI_PATH, "--dir", dir_m.c_str(), "-p", pid.c_str(), nullptr);
        _exit(98);
    }
    std::string screen;
    auto shows = [&](const std::string& text, size_t count) {
        return waitFor([&] {
            char buffer[512];
            pollfd ready = {terminal, POLLIN, 0};
            ssize_t got = poll(&ready, 1, 0) > 0 ? read(terminal, buffer, sizeof(buffer)) : 0;
            screen.append(buffer, got > 0 ? static_cast<size_t>(got) : 0);
            size_t found = 0;
            for (size_t at = screen.find(text); at != std::string::npos;
                 at = screen.find(text, at + 1)) {
                ++found;
            }
            return found >= count;
        });
    };
    ASSERT_TRUE(shows("mdf-cli> ", 1)) << screen;
    ASSERT_EQ(7, write(terminal, "show 1\r", 7));
    EXPECT_TRUE(shows("got show 1", 1)) << screen;
    EXPECT_TRUE(shows("mdf-cli> ", 2)) << screen;
#ifdef MDF_CLI_HAVE_LIBEDIT
    ASSERT_EQ(4, write(terminal, "\x1b[A\r", 4));
    EXPECT_TRUE(shows("got show 1", 2)) << screen;
    EXPECT_TRUE(shows("mdf-cli> ", 3)) << screen;
#endif
    ASSERT_EQ(1, write(terminal, "\x04", 1));
    int status = -1;
    waitpid(child, &status, 0);
    close(terminal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<std::string> expected = {"show 1"};
#ifdef MDF_CLI_HAVE_LIBEDIT
    expected.push_back("show 1");
#endif
    EXPECT_EQ(expected, server.lines());
}

// A server stand-in run as another user: it reports what it was sent, then answers "OK".
struct PeerCase {
    uid_t serverUid;
    uid_t clientUid;
    bool spoken;
};

void PrintTo(const PeerCase& peer, std::ostream* out_p) {
    *out_p << "server uid " << peer.serverUid << ", mdf-cli uid " << peer.clientUid;
}

class MdfCliPeerTest : public MdfCliToolTest, public testing::WithParamInterface<PeerCase> {
protected:
    // Starts the stand-in as `uid`; its report (the bytes it was sent) comes on report_m.
    void startStandIn(const std::string& path, uid_t uid) {
        int ready[2], report[2];
        ASSERT_EQ(0, pipe(ready));
        ASSERT_EQ(0, pipe(report));
        pid_t child = fork();
        if (child == 0) {
            if (uid != 0 && !becomeUser(uid)) {
                _exit(99);
            }
            int fd = bindAt(path, SOCK_STREAM);
            if (fd < 0 || chmod(path.c_str(), 0666) != 0 || write(ready[1], "r", 1) != 1) {
                _exit(97);
            }
            pollfd waiting = {fd, POLLIN, 0};
            int connection = poll(&waiting, 1, kBudgetMs) > 0 ? accept(fd, nullptr, nullptr) : -1;
            std::string request = readRequest(connection);
            send(connection, "OK\nserved\n", 10, MSG_NOSIGNAL);
            _exit(write(report[1], request.data(), request.size()) < 0 ? 96 : 0);
        }
        children_m.push_back(child);
        close(ready[1]);
        close(report[1]);
        char byte;
        ASSERT_EQ(1, read(ready[0], &byte, 1)) << "the stand-in did not start";
        close(ready[0]);
        report_m = report[0];
        keep(report_m);
    }
    std::string standInReport() {
        std::string text;
        char buffer[256];
        for (ssize_t got; (got = read(report_m, buffer, sizeof(buffer))) > 0;) {
            text.append(buffer, static_cast<size_t>(got));
        }
        return text;
    }

    int report_m = -1;
};

TEST_P(MdfCliPeerTest, OnlyAServerOfThisUserOrRootIsSpokenTo) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "running the two sides as other users needs root";
    }
    const PeerCase& peer = GetParam();
    const std::string path = dir_m + "/impostor.socket";
    startStandIn(path, peer.serverUid);
    ProgramRun run = runCli({"-s", path, "tmgr-disable-timers"}, "", peer.clientUid);
    std::string sent = standInReport();
    if (peer.spoken) {
        EXPECT_EQ(0, run.status) << run.err;
        EXPECT_EQ("served\n", run.out);
        EXPECT_EQ("tmgr-disable-timers", sent);
        return;
    }
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", sent);
    EXPECT_NE(std::string::npos,
              run.err.find(path + " is served by user id " + std::to_string(peer.serverUid)))
        << run.err;
}

INSTANTIATE_TEST_SUITE_P(Users, MdfCliPeerTest,
                         testing::Values(PeerCase{65534, 0, false}, PeerCase{65533, 65534, false},
                                         PeerCase{0, 65534, true}, PeerCase{65534, 65534, true}));

}  // namespace
