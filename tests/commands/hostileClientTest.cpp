// Hostile operator clients against the command server's socket: huge lines, binary bytes,
// bursts of connections, clients that never speak and clients that never read. The server runs
// in process, its dispatcher loop on a thread of its own; the test thread plays the clients.
//
// Built twice: with CTM_HOSTILE_HEAVY 1 it holds the cases that wait out the server's 5 s idle
// limit or 10 s connection limit (labelled heavy), with 0 the quick ones.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "commonDispatcher.h"
#include "logCapture.h"
#include "mdfServer.h"
#include "operatorClient.h"

namespace {

using cmn::test::askServer;
using cmn::test::connectTo;
using cmn::test::readAll;

// "Never happened" bound, far beyond the server's 5 s idle and 10 s open limits.
const int kBudgetMs = 60000;
const int kIdleLimitMs = 5000;
const size_t kResponseCap = 1048576;

mdf::Server& server() { return cmn::SingletonHolder<mdf::Server>::getInstance(); }

class Target {
public:
    bool echo(int argc, char** argv, std::string& out_r) {
        for (int i = 1; i < argc; ++i) {
            out_r += (i > 1 ? "|" : "") + std::string(argv[i]);
        }
        return true;
    }
    // As many bytes as its argument says.
    bool big(int argc, char** argv, std::string& out_r) {
        out_r.append(argc > 1 ? std::stoul(argv[1]) : 0, 'b');
        return true;
    }
};

typedef mdf::ACommandHandler<Target, bool (Target::*)(int, char**, std::string&)> TargetHandler;

// The process's open descriptors, the one that lists them left out.
std::vector<int> openDescriptorNumbers() {
    std::vector<int> numbers;
    DIR* dir_p = opendir("/proc/self/fd");
    if (dir_p == nullptr) {
        return numbers;
    }
    int own = dirfd(dir_p);
    for (dirent* entry_p = readdir(dir_p); entry_p != nullptr; entry_p = readdir(dir_p)) {
        if (entry_p->d_name[0] != '.' && atoi(entry_p->d_name) != own) {
            numbers.push_back(atoi(entry_p->d_name));
        }
    }
    closedir(dir_p);
    return numbers;
}

class HostileClientTest : public testing::Test {
protected:
    HostileClientTest()
        : path_m("/tmp/mdf-hostile-test." + std::to_string(getpid()) + ".socket"),
          handler_m("test") {}

    void SetUp() override {
        unlink(path_m.c_str());
        // The promise is a member: set_value() may still be running on the loop's thread
        // when get() returns here.
        std::future<bool> result = started_m.get_future();
        // The loop's thread owns the handler, so its commands run in the loop that serves the
        // socket.
        loop_m = std::thread([this] {
            bool listening = server().registerNewHandler(&handler_m) &&
                             handler_m.addCommand("tst-echo", "echo", &Target::echo, target_m) &&
                             handler_m.addCommand("tst-big", "big", &Target::big, target_m) &&
                             server().startListening(path_m);
            started_m.set_value(listening);
            cmn::Dispatcher& dispatcher = cmn::SingletonHolder<cmn::Dispatcher>::getInstance();
            while (listening && !stop_m.load()) {
                dispatcher.listenOnce(20);
                ++rounds_m;
            }
            server().stopListening();
        });
        ASSERT_TRUE(result.get());
        ASSERT_EQ("OK\nready", ask("tst-echo ready\n"));
    }
    void TearDown() override {
        stop_m.store(true);
        loop_m.join();
        server().deregisterHandler(&handler_m);
        unlink(path_m.c_str());
    }

    std::string ask(const std::string& request) { return askServer(path_m, request, kBudgetMs); }

    // Asks until a connection gets a slot (one beyond the limit is closed without a word).
    std::string askUntilServed(const std::string& request) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBudgetMs);
        std::string answer;
        while (answer.empty() && std::chrono::steady_clock::now() < deadline) {
            answer = ask(request);
        }
        return answer;
    }

    std::string path_m;
    Target target_m;
    TargetHandler handler_m;
    std::promise<bool> started_m;
    std::thread loop_m;
    std::atomic<bool> stop_m{false};
    std::atomic<long> rounds_m{0};
};

// True when the server has closed `fd` or sent on it: it is readable at once.
bool answeredOrClosed(int fd) {
    pollfd ready = {fd, POLLIN | POLLRDHUP, 0};
    return poll(&ready, 1, 0) > 0;
}

// Connects `count` silent clients.
std::vector<int> connectSilent(const std::string& path, int count) {
    std::vector<int> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(connectTo(path));
        EXPECT_GE(clients.back(), 0);
    }
    return clients;
}

#if !CTM_HOSTILE_HEAVY

bool waitForOpenConnections(int count) {
    return cmn::test::waitForListeningLine(
        "connections: " + std::to_string(count) + " of 32, 0 waiting for a command", kBudgetMs);
}

void closeAll(const std::vector<int>& fds) {
    for (int fd : fds) {
        close(fd);
    }
}

const std::string kEvicted = "ERROR\nclosed to make room for a new connection\n";

long residentKiB() {
    long pages = 0;
    long resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Pushes `total` bytes of `chunk` (repeated; it holds no newline) without blocking for longer than
// the budget; returns the bytes the server took before it closed.
size_t pushWithoutNewline(int fd, const std::string& chunk, size_t total) {
    size_t sent = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBudgetMs);
    while (sent < total && std::chrono::steady_clock::now() < deadline) {
        pollfd ready = {fd, POLLOUT, 0};
        if (poll(&ready, 1, 50) <= 0) {
            continue;
        }
        ssize_t got = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (got < 0 && errno != EAGAIN && errno != EINTR) {
            break;  // the server has closed its side
        }
        sent += got > 0 ? static_cast<size_t>(got) : 0;
    }
    return sent;
}

TEST_F(HostileClientTest, HugeLinesAreRefusedAndMemoryStaysBounded) {
    // Every byte value but the newline, NUL and 0xff included.
    std::string chunk;
    while (chunk.size() < 65536) {
        for (int byte = 0; byte < 256; ++byte) {
            chunk += byte == '\n' ? 'x' : static_cast<char>(byte);
        }
    }
    const size_t perClient = size_t{32} << 20;
    std::vector<int> clients = connectSilent(path_m, 8);
    long before = residentKiB();
    for (int fd : clients) {
        EXPECT_LT(pushWithoutNewline(fd, chunk, perClient), perClient);
        bool eof = false;
        EXPECT_EQ("ERROR\nline too long: more than 4096 bytes\n", readAll(fd, kBudgetMs, eof));
        EXPECT_TRUE(eof);
        close(fd);
    }
    // Buffering what was sent would take 256 MiB; the server keeps one line's worth each.
    long growth = residentKiB() - before;
    RecordProperty("residentGrowthKiB", static_cast<int>(growth));
    EXPECT_LT(growth, 8 * 1024);
    EXPECT_EQ("OK\nstill-here", ask("tst-echo still-here\n"));
}

// Connects from a child process, so only the server's process runs out of descriptors: the
// child connects `count` times once told to go on `go`, says so on `ready`, and exits when `go`
// is closed. Only system calls in the child: the parent has threads.
pid_t connectFromChild(const std::string& path, int count, int go[2], int ready[2]) {
    sockaddr_un address = cmn::test::unixAddress(path);
    pid_t child = fork();
    if (child != 0) {
        close(go[0]);
        close(ready[1]);
        return child;
    }
    close(go[1]);
    char byte = 0;
    if (read(go[0], &byte, 1) != 1) {
        _exit(1);
    }
    for (int i = 0; i < count; ++i) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            close(fd);
        }
    }
    if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 0) {
        _exit(1);
    }
    _exit(0);
}

TEST_F(HostileClientTest, RunningOutOfDescriptorsPausesAcceptingWithoutSpinning) {
    cmn::test::ScopedLogCapture log;
    // One message through the capture before descriptors run out: UBSan's vptr check opens a
    // pipe the first time it meets a dynamic type, and reports a false error when it cannot.
    EXPECT_FALSE(server().deregisterHandler(nullptr));
    int go[2];
    int ready[2];
    ASSERT_EQ(0, pipe2(go, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(ready, O_CLOEXEC));
    pid_t child = connectFromChild(path_m, 200, go, ready);
    ASSERT_GT(child, 0);
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    // A limit below which only 8 descriptor numbers are free (open ones above it stay open).
    std::vector<int> numbers = openDescriptorNumbers();
    std::sort(numbers.begin(), numbers.end());
    int limit = 0;
    for (int used = 0; limit - used < 8; ++limit) {
        used += std::binary_search(numbers.begin(), numbers.end(), limit) ? 1 : 0;
    }
    struct rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(limit);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    char byte = 'g';
    ASSERT_EQ(1, write(go[1], &byte, 1));
    ASSERT_EQ(1, read(ready[0], &byte, 1));

    auto exhausted = [&log] {
        for (const std::string& text : log.texts(DBGLEVEL_ERROR)) {
            if (text.find("Too many open files") != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(cmn::test::waitUntil(exhausted, kBudgetMs));
    // The listener stays readable meanwhile: a loop that kept watching it would spin, many
    // rounds a millisecond. A paused one ends a round per 20 ms wait, besides the pause timer's,
    // however long the window really lasts.
    const auto windowStart = std::chrono::steady_clock::now();
    const long before = rounds_m.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long rounds = rounds_m.load() - before;
    const long windowMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::steady_clock::now() - windowStart)
                                                .count());
    EXPECT_LT(rounds, windowMs / 5 + 20) << rounds << " rounds in " << windowMs << " ms";

    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
    close(go[1]);
    close(ready[0]);
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ("OK\nback", askUntilServed("tst-echo back\n"));
}

struct Exchange {
    const char* name;
    std::string request;
    std::string answer;
};

void PrintTo(const Exchange& exchange, std::ostream* out_p) { *out_p << exchange.name; }

class HostileRequestTest : public HostileClientTest,
                           public testing::WithParamInterface<Exchange> {};

TEST_P(HostileRequestTest, IsAnsweredByTheFramingRules) {
    EXPECT_EQ(GetParam().answer, ask(GetParam().request));
    EXPECT_EQ("OK\nstill-here", ask("tst-echo still-here\n"));
}

std::string everyWordByte() {
    std::string bytes;
    for (int byte = 1; byte < 256; ++byte) {
        if (byte != '\n' && byte != '\t' && byte != ' ') {
            bytes += static_cast<char>(byte);
        }
    }
    return bytes;
}

const std::string kNul("\0", 1);
const std::string kUnknown = "\"; \"help\" lists the commands\n";

INSTANTIATE_TEST_SUITE_P(
    Requests, HostileRequestTest,
    testing::Values(
        Exchange{"NulInWord", "tst-echo a" + kNul + "b\n", "ERROR\nline contains a NUL byte\n"},
        Exchange{"NulAlone", kNul, "ERROR\nline contains a NUL byte\n"},
        Exchange{"NulAfterLineEnd", "tst-echo a\n" + kNul + "\xff", "OK\na"},
        Exchange{"HighBytesAsWord", "\xff\xfe\x80\n",
                 "FAILED\nunknown command \"\xff\xfe\x80" + kUnknown},
        Exchange{"EveryWordByte", "tst-echo " + everyWordByte() + "\n", "OK\n" + everyWordByte()},
        Exchange{"OnlyOneCarriageReturnDropped", "tst-echo \r\r\n", "OK\n\r"},
        Exchange{"SeparatorsOnly", "\t \t\r\n",
                 "FAILED\nempty command line; \"help\" lists the commands\n"},
        Exchange{"NoLineEndAtAll", "",
                 "FAILED\nempty command line; \"help\" lists the commands\n"}),
    [](const testing::TestParamInfo<Exchange>& info) { return std::string(info.param.name); });

// 32 connections are admitted; one beyond them evicts the oldest idle one, and nothing else.
TEST_F(HostileClientTest, ThirtyTwoAreAdmittedAndTheThirtyThirdEvictsTheOldestIdle) {
    std::vector<int> silent = connectSilent(path_m, 32);
    ASSERT_TRUE(waitForOpenConnections(32));
    for (size_t evicted = 0; evicted < 2; ++evicted) {
        for (size_t i = evicted; i < silent.size(); ++i) {
            EXPECT_FALSE(answeredOrClosed(silent[i])) << i;
        }
        EXPECT_EQ("OK\nserved", ask("tst-echo served\n"));
        bool eof = false;
        EXPECT_EQ(kEvicted, readAll(silent[evicted], kBudgetMs, eof));
        EXPECT_TRUE(eof);
        // The evicted one and the served one are gone: one more fills the slots again.
        ASSERT_TRUE(waitForOpenConnections(31));
        silent.push_back(connectTo(path_m));
        ASSERT_TRUE(waitForOpenConnections(32));
    }
    closeAll(silent);
}

// Commands owned by a thread that does not serve its loop yet: every slot then waits for a
// result, and a new connection is closed unanswered instead of evicting one.
TEST_F(HostileClientTest, NewConnectionIsClosedWhenEverySlotWaitsForItsCommand) {
    std::promise<void> release;
    std::promise<void> ready;
    std::atomic<bool> stop{false};
    Target waiter;
    TargetHandler waiting("waiting");
    std::thread owner([&] {
        server().registerNewHandler(&waiting);
        waiting.addCommand("tst-wait", "waits", &Target::echo, waiter);
        ready.set_value();
        release.get_future().wait();
        while (!stop.load()) {
            cmn::SingletonHolder<cmn::Dispatcher>::getInstance().listenOnce(10);
        }
        server().deregisterHandler(&waiting);
    });
    ready.get_future().wait();
    std::vector<int> clients = connectSilent(path_m, 32);
    for (int fd : clients) {
        ASSERT_EQ(14, send(fd, "tst-wait done\n", 14, MSG_NOSIGNAL));
    }
    ASSERT_TRUE(cmn::test::waitForListeningLine("connections: 32 of 32, 32 waiting for a command",
                                                kBudgetMs));
    EXPECT_EQ("", ask("tst-echo refused\n"));
    release.set_value();
    for (int fd : clients) {
        bool eof = false;
        // FAILED only if this took longer than the server's 3 s wait for an owner.
        std::string answer = readAll(fd, kBudgetMs, eof);
        EXPECT_TRUE(answer == "OK\ndone" || answer.find("FAILED\n") == 0) << answer;
    }
    stop.store(true);
    owner.join();
    closeAll(clients);
}

// A client of the same user keeps every slot full by reconnecting each one the server closes:
// each new operator still gets its answer.
TEST_F(HostileClientTest, ReconnectingClientCannotLockOperatorsOut) {
    std::atomic<bool> stop{false};
    std::atomic<int> reconnects{0};
    std::vector<int> held = connectSilent(path_m, 32);
    ASSERT_TRUE(waitForOpenConnections(32));
    std::thread attacker([&] {
        while (!stop.load()) {
            for (int& fd : held) {
                if (answeredOrClosed(fd)) {
                    close(fd);
                    fd = connectTo(path_m);
                    ++reconnects;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(waitForOpenConnections(32));
        EXPECT_EQ("OK\n" + std::to_string(i), ask("tst-echo " + std::to_string(i) + "\n"));
    }
    EXPECT_TRUE(waitForOpenConnections(32));
    stop.store(true);
    attacker.join();
    EXPECT_GE(reconnects.load(), 20);
    closeAll(held);
}

#else  // CTM_HOSTILE_HEAVY

int openDescriptors() { return static_cast<int>(openDescriptorNumbers().size()); }

// Reads `text` and the end from `fd`, never before limitMs from `since` (less the server's
// millisecond rounding of its clock), and closes it.
void expectClosedNotBefore(int fd, const std::string& text,
                           std::chrono::steady_clock::time_point since, int limitMs) {
    bool eof = false;
    EXPECT_EQ(text, readAll(fd, kBudgetMs, eof));
    EXPECT_TRUE(eof);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - since)
                  .count(),
              limitMs - 2);
    close(fd);
}

TEST_F(HostileClientTest, BurstOfThousandsOfConnectionsKeepsDescriptorsBounded) {
    struct rlimit limit;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    const int burst = static_cast<int>(std::min<rlim_t>(3000, limit.rlim_cur - 200));
    ASSERT_GE(burst, 500) << "too few descriptors for a burst";

    const int baseline = openDescriptors();
    std::vector<int> held;
    int serverMost = 0;
    for (int i = 0; i < burst; ++i) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un address = cmn::test::unixAddress(path_m);
        // A full backlog refuses at once (EAGAIN): the burst goes on.
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            held.push_back(fd);
        } else {
            close(fd);
        }
        if (i % 100 == 99) {
            serverMost =
                std::max(serverMost, openDescriptors() - baseline - static_cast<int>(held.size()));
        }
    }
    // Every silent connection in a slot, one being accepted (and closed) beyond them.
    EXPECT_LE(serverMost, 32 + 1);
    // The oldest silent one makes room.
    EXPECT_EQ("OK\nanswered", askUntilServed("tst-echo answered\n"));
    for (int fd : held) {
        close(fd);
    }
    cmn::test::waitUntil([baseline] { return openDescriptors() == baseline; }, kBudgetMs);
    EXPECT_EQ(baseline, openDescriptors());
    RecordProperty("connected", static_cast<int>(held.size()));
    RecordProperty("serverDescriptorsMost", serverMost);
}

TEST_F(HostileClientTest, SilentConnectionsAreClosedAfterTheIdleLimitWhileOthersAreServed) {
    auto connected = std::chrono::steady_clock::now();
    std::vector<int> silent = connectSilent(path_m, 8);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ("OK\n" + std::to_string(i), ask("tst-echo " + std::to_string(i) + "\n"));
    }
    for (int fd : silent) {
        expectClosedNotBefore(fd, "ERROR\nidle for too long\n", connected, kIdleLimitMs);
    }
}

TEST_F(HostileClientTest, ClientThatNeverReadsBlocksNobodyAndItsBufferIsCapped) {
    const std::string request = "tst-big " + std::to_string(8 * kResponseCap) + "\n";
    std::vector<int> stuck;
    for (int i = 0; i < 4; ++i) {
        stuck.push_back(connectTo(path_m));
        ASSERT_GE(stuck.back(), 0);
        ASSERT_EQ(static_cast<ssize_t>(request.size()),
                  send(stuck.back(), request.data(), request.size(), MSG_NOSIGNAL));
    }
    EXPECT_EQ("OK\nserved", ask("tst-echo served\n"));
    // A reader gets the capped response, cut where the cap says.
    EXPECT_EQ("OK\n" + std::string(kResponseCap, 'b') + "\n[response cut at 1048576 bytes]\n",
              ask(request));
    for (int fd : stuck) {
        // The server gives up on a client that takes nothing for the idle limit.
        pollfd hangup = {fd, POLLRDHUP, 0};
        ASSERT_EQ(1, poll(&hangup, 1, kBudgetMs));
        bool eof = false;
        std::string partial = readAll(fd, kBudgetMs, eof);
        EXPECT_TRUE(eof);
        EXPECT_EQ(0u, partial.find("OK\nbbb"));
        EXPECT_LT(partial.size(), kResponseCap);
        close(fd);
    }
}

// A client that trickles a byte every second is never idle long enough to be closed as idle,
// and holds its connection until the limit from accept.
TEST_F(HostileClientTest, TricklingClientIsClosedAtTheConnectionDeadline) {
    auto connected = std::chrono::steady_clock::now();
    int fd = connectTo(path_m);
    ASSERT_GE(fd, 0);
    while (!answeredOrClosed(fd) &&
           std::chrono::steady_clock::now() - connected < std::chrono::milliseconds(kBudgetMs)) {
        send(fd, "x", 1, MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    expectClosedNotBefore(fd, "ERROR\nopen for too long\n", connected, 10000);
}

#endif  // CTM_HOSTILE_HEAVY

}  // namespace
