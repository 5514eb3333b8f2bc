// mdf-cli as an operator meets it: whose server it talks to, the listing and cleaning of
// socket files, and the session from a file and on a terminal. The servers are the test's own
// sockets in a scratch directory passed with --dir, so nothing in the real /tmp is touched.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "operatorClient.h"
#include "tempPath.h"

namespace {

using cmn::test::bindAt;
using cmn::test::pathExists;
using cmn::test::ProgramRun;
using cmn::test::waitUntil;

const int kBudgetMs = 20000;  // a "never happened" bound only

// mdf-cli with `input` on its standard input, run as user `uid` (0: as the test runs).
ProgramRun runCli(const std::vector<std::string>& args, const std::string& input, uid_t uid = 0) {
    char paths[3][32] = {"/tmp/ctm-cli-in.XXXXXX", "/tmp/ctm-cli-out.XXXXXX",
                         "/tmp/ctm-cli-err.XXXXXX"};
    int fds[3] = {mkstemp(paths[0]), mkstemp(paths[1]), mkstemp(paths[2])};
    EXPECT_EQ(static_cast<ssize_t>(input.size()), pwrite(fds[0], input.data(), input.size(), 0));
    std::vector<char*> argv = {const_cast<char*>(MDF_CLI_PATH)};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)) {
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
    cmn::test::takeFile(fds[0], paths[0]);
    return ProgramRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                      cmn::test::takeFile(fds[1], paths[1]), cmn::test::takeFile(fds[2], paths[2])};
}

// A server stand-in at `path`, serving on a thread of its own and recording each line: "fail"
// gets FAILED, "refuse" gets ERROR, any other line OK and "got <line>" (no newline).
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
        pollfd listening = {fd_m, POLLIN, 0};
        while (!stop_m) {
            int fd = poll(&listening, 1, 10) > 0 ? accept(fd_m, nullptr, nullptr) : -1;
            pollfd ready = {fd, POLLIN, 0};
            std::string line;
            char c;
            while (fd >= 0 && poll(&ready, 1, kBudgetMs) > 0 && read(fd, &c, 1) == 1 && c != '\n') {
                line += c;
            }
            std::string reply = line == "fail"     ? "FAILED\nno\n"
                                : line == "refuse" ? "ERROR\nnot today\n"
                                                   : "OK\ngot " + line;
            // Recorded before the reply: mdf-cli may exit, and the test look, as soon as it
            // has the reply.
            if (fd >= 0) {
                {
                    std::lock_guard<std::mutex> lock(mutex_m);
                    lines_m.push_back(line);
                }
                send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
                close(fd);
            }
        }
    }

    int fd_m;
    std::atomic<bool> stop_m{false};
    std::mutex mutex_m;
    std::vector<std::string> lines_m;
    std::thread thread_m;
};

class MdfCliToolTest : public testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/ctm-cli.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        dir_m = dir;
        ASSERT_EQ(0, chmod(dir, 01777));  // like /tmp, where other users bind too
    }
    void TearDown() override {
        for (int fd : fds_m) {
            close(fd);
        }
        DIR* stream_p = opendir(dir_m.c_str());
        while (const dirent* entry_p = readdir(stream_p)) {
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
    // A socket file with nothing bound to it any more (or still bound, when `keepBound`).
    void leave(const std::string& path, int type, bool keepBound = false) {
        int fd = bindAt(path, type);
        ASSERT_GE(fd, 0) << path;
        keepBound ? fds_m.push_back(fd) : void(close(fd));
    }
    ProgramRun cli(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"--dir", dir_m});
        return runCli(args, input);
    }

    std::string dir_m;
    std::vector<int> fds_m;
};

// The pid of a process that has ended and been reaped.
pid_t goneProcess() {
    pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    return child;
}

std::string listLine(pid_t pid, const std::string& state, const std::string& path) {
    std::string program = "-";
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), program);
    char line[512];
    snprintf(line, sizeof(line), "%-8d %-16s %-24s %s\n", static_cast<int>(pid), program.c_str(),
             state.c_str(), path.c_str());
    return line;
}

// --list marks stale command socket files; --clean-stale removes those of gone processes.
TEST_F(MdfCliToolTest, ListMarksStaleFilesAndCleanRemovesOnlyThoseOfGoneProcesses) {
    pid_t gone = goneProcess();
    pid_t idle = getppid();  // alive, listening nowhere here
    leave(serverPath(getpid()), SOCK_STREAM, true);
    leave(serverPath(gone), SOCK_STREAM);
    leave(serverPath(idle), SOCK_STREAM);
    leave(callbackPath(gone, 1), SOCK_DGRAM);
    // Neither listed nor removed: a socket still bound (its process in another pid namespace),
    // a regular file, a symlink to a socket, a padded pid, another user's socket.
    leave(callbackPath(gone, 2), SOCK_DGRAM, true);
    pid_t goneToo = goneProcess();
    std::ofstream(serverPath(goneToo)) << "not a socket";
    leave(dir_m + "/target", SOCK_DGRAM);
    ASSERT_EQ(0, symlink((dir_m + "/target").c_str(), callbackPath(gone, 3).c_str()));
    const std::string padded = dir_m + "/mdf-server.0" + std::to_string(gone) + ".socket";
    leave(padded, SOCK_STREAM);
    std::vector<std::string> kept = {serverPath(getpid()),
                                     serverPath(idle),
                                     callbackPath(gone, 2),
                                     serverPath(goneToo),
                                     callbackPath(gone, 3),
                                     dir_m + "/target",
                                     padded};
    if (geteuid() == 0) {
        leave(callbackPath(gone, 4), SOCK_DGRAM);
        ASSERT_EQ(0, chown(callbackPath(gone, 4).c_str(), 65534, 65534));
        kept.push_back(callbackPath(gone, 4));
    }
    std::vector<std::pair<pid_t, std::string>> rows = {
        {getpid(), listLine(getpid(), "listening", serverPath(getpid()))},
        {gone, listLine(gone, "stale: no such process", serverPath(gone))},
        {idle, listLine(idle, "stale: nobody listening", serverPath(idle))}};
    std::sort(rows.begin(), rows.end());
    std::string listing = "PID      PROGRAM          STATE                    SOCKET\n";
    for (const auto& row : rows) {
        listing += row.second;
    }
    ProgramRun run = cli({"--list"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ(listing, run.out);

    const std::string bound = "kept " + callbackPath(gone, 2) + ": a socket is still bound to it\n";
    run = cli({"--clean-stale"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("removed " + serverPath(gone) + "\nremoved " + callbackPath(gone, 1) + "\n" + bound,
              run.out);
    EXPECT_FALSE(pathExists(serverPath(gone)) || pathExists(callbackPath(gone, 1)));
    for (const std::string& path : kept) {
        EXPECT_TRUE(pathExists(path)) << path;
    }
    run = cli({"--clean-stale"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(bound, run.out);
}

struct SessionCase {
    std::string name;
    std::string input;
    std::vector<std::string> linesSent;  // one connection each
    std::string out;
    std::string err;
    int status;  // the last command's
};

void PrintTo(const SessionCase& session, std::ostream* out_p) { *out_p << session.name; }

class MdfCliSessionTest : public MdfCliToolTest, public testing::WithParamInterface<SessionCase> {};

TEST_P(MdfCliSessionTest, InputLinesRunOneConnectionEach) {
    StandInServer server(serverPath(getpid()));
    ProgramRun run = cli({"-p", std::to_string(getpid())}, GetParam().input);
    EXPECT_EQ(GetParam().status, run.status);
    EXPECT_EQ(GetParam().out, run.out);
    EXPECT_EQ(GetParam().err, run.err);
    EXPECT_EQ(GetParam().linesSent, server.lines());
}

const char kRefused[] = "mdf-cli: the server refused the request: not today\n";

INSTANTIATE_TEST_SUITE_P(
    Inputs, MdfCliSessionTest,
    testing::Values(SessionCase{"BlankLinesSkipped",
                                "show a\n\n \t\r\nshow b\r\nfail\n",
                                {"show a", "show b", "fail"},
                                "got show a\ngot show b\nno\n",
                                "",
                                1},
                    SessionCase{"LastLineUnended",
                                "fail\nrefuse\nshow last",
                                {"fail", "refuse", "show last"},
                                "no\ngot show last\n",
                                kRefused,
                                0},
                    SessionCase{"Refused", "refuse\n", {"refuse"}, "", kRefused, 2},
                    SessionCase{"Empty", "", {}, "", "", 0}),
    [](const testing::TestParamInfo<SessionCase>& info) { return info.param.name; });

// Reads the terminal into screen_r until `text` shows at or after from_r, then moves from_r
// past it.
bool shows(int terminal, std::string& screen_r, size_t& from_r, const std::string& text) {
    bool found = waitUntil(
        [&] {
            char buffer[512];
            pollfd ready = {terminal, POLLIN, 0};
            ssize_t got = poll(&ready, 1, 0) > 0 ? read(terminal, buffer, sizeof(buffer)) : 0;
            screen_r.append(buffer, got > 0 ? static_cast<size_t>(got) : 0);
            return screen_r.find(text, from_r) != std::string::npos;
        },
        kBudgetMs);
    from_r = found ? screen_r.find(text, from_r) + text.size() : from_r;
    return found;
}

// A prompt, the line editor's history (the up arrow sends the last line again) where mdf-cli
// has line editing, and Ctrl-D ending the session.
TEST_F(MdfCliToolTest, TerminalSessionPromptsAndRecallsHistory) {
    StandInServer server(serverPath(getpid()));
    const std::string pid = std::to_string(getpid());
    int terminal = -1;
    pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child < 0) {
        GTEST_SKIP() << "no pseudo-terminal: " << strerror(errno);
    }
    if (child == 0) {
        setenv("TERM", "vt100", 1);
        execl(MDF_CLI_PATH, MDF_CLI_PATH, "--dir", dir_m.c_str(), "-p", pid.c_str(), nullptr);
        _exit(98);
    }
    std::string screen;
    size_t from = 0;
    std::vector<std::string> expected = {"show 1"};
    EXPECT_TRUE(shows(terminal, screen, from, "mdf-cli> ")) << screen;
    EXPECT_EQ(7, write(terminal, "show 1\r", 7));
    EXPECT_TRUE(shows(terminal, screen, from, "got show 1")) << screen;
    EXPECT_TRUE(shows(terminal, screen, from, "mdf-cli> ")) << screen;
#ifdef MDF_CLI_HAVE_LIBEDIT
    EXPECT_EQ(4, write(terminal, "\x1b[A\r", 4));
    EXPECT_TRUE(shows(terminal, screen, from, "got show 1")) << screen;
    expected.push_back("show 1");
#endif
    EXPECT_EQ(1, write(terminal, "\x04", 1));
    int status = -1;
    waitpid(child, &status, 0);
    close(terminal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(expected, server.lines());
}

struct PeerCase {
    uid_t serverUid;
    uid_t clientUid;
    bool spoken;
};

void PrintTo(const PeerCase& peer, std::ostream* out_p) {
    *out_p << "server uid " << peer.serverUid << ", mdf-cli uid " << peer.clientUid;
}

class MdfCliPeerTest : public MdfCliToolTest, public testing::WithParamInterface<PeerCase> {};

TEST_P(MdfCliPeerTest, OnlyAServerOfThisUserOrRootIsSpokenTo) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "running the two sides as other users needs root";
    }
    const PeerCase& peer = GetParam();
    const std::string path = dir_m + "/impostor.socket";
    // A listener's credentials are taken when it listens.
    ASSERT_EQ(0, seteuid(peer.serverUid));
    StandInServer server(path);
    ASSERT_EQ(0, seteuid(0));
    ASSERT_EQ(0, chmod(path.c_str(), 0666));
    ProgramRun run = runCli({"-s", path, "tmgr-disable-timers"}, "", peer.clientUid);
    ASSERT_TRUE(waitUntil([&] { return server.lines().size() == 1; }, kBudgetMs));
    if (peer.spoken) {
        EXPECT_EQ(0, run.status) << run.err;
        EXPECT_EQ("got tmgr-disable-timers", run.out);
        EXPECT_EQ("tmgr-disable-timers", server.lines()[0]);
        return;
    }
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", server.lines()[0]);  // connected, then closed without a byte
    EXPECT_NE(std::string::npos,
              run.err.find(path + " is served by user id " + std::to_string(peer.serverUid)))
        << run.err;
}

INSTANTIATE_TEST_SUITE_P(Users, MdfCliPeerTest,
                         testing::Values(PeerCase{65534, 0, false}, PeerCase{65533, 65534, false},
                                         PeerCase{0, 65534, true}, PeerCase{65534, 65534, true}),
                         [](const testing::TestParamInfo<PeerCase>& info) {
                             return "Server" + std::to_string(info.param.serverUid) + "Client" +
                                    std::to_string(info.param.clientUid);
                         });

}  // namespace
