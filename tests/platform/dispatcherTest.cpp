// The dispatcher: callbacks per event type, hang-ups, removal during a round and from another
// thread, stop, per-thread loops, refusals, logging outside its lock and fork(). Also the
// dispatcher-client base's defaults: syslog is interposed in this executable, so their reports
// are captured instead of sent.
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "commonDispatcher.h"
#include "dbgLog.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace {

std::vector<std::pair<int, std::string>> syslogLines;  // written by the test's own thread

void recordSyslog(int priority, const char* format, va_list args) {
    char text[1024];
    vsnprintf(text, sizeof(text), format, args);
    syslogLines.emplace_back(priority, text);
}

}  // namespace

// The fortified variant is what an optimised build with _FORTIFY_SOURCE calls.
extern "C" void syslog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    recordSyslog(priority, format, args);
    va_end(args);
}
extern "C" void __syslog_chk(int priority, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    recordSyslog(priority, format, args);
    va_end(args);
}

namespace {

using cmn::ADispatcherClient;
using std::chrono::milliseconds;

const ADispatcherClient::FdEventType readEvent = ADispatcherClient::fdReadEvent_c;

// Overrides none of the callbacks that the base has a default for.
class BareClient : public ADispatcherClient {
public:
    explicit BareClient(int fd) : fd_m(fd) {}
    int getPrimarySocket() override { return fd_m; }
    std::string getSocketName(int) const override { return "bare"; }

private:
    int fd_m;
};

// Notes each read ('r'), write ('w') and exception ('x') callback and runs `onEvent`, if set,
// inside it.
class CountingClient : public BareClient {
public:
    using BareClient::BareClient;
    std::string events;
    std::function<void()> onEvent;

private:
    bool socketCallback(int) override { return record('r'); }
    bool writeCallback(int) override { return record('w'); }
    bool exceptionCallback(int) override { return record('x'); }
    bool record(char event) {
        events += event;
        if (onEvent) {
            onEvent();
        }
        return true;
    }
};

// A connected stream pair: fds[1] is watched, fill() makes it readable.
struct SocketPair {
    SocketPair() { EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds)); }
    ~SocketPair() {
        close(fds[0]);
        close(fds[1]);
    }
    void fill() { EXPECT_EQ(1, send(fds[0], "x", 1, 0)); }
    void hangUp() {
        close(fds[0]);
        fds[0] = -1;
    }
    int fds[2];
};

class DispatcherTest : public testing::Test {
protected:
    int fd(int i) const { return pairs_m[i].fds[1]; }
    void fill(int i) { pairs_m[i].fill(); }

    cmn::Dispatcher dispatcher_m;
    SocketPair pairs_m[2];
    CountingClient first_m{fd(0)}, second_m{fd(1)};
};

TEST_F(DispatcherTest, ReadyDescriptorIsCalledBackOncePerRoundAndTypeAndBadRequestsAreRefused) {
    CountingClient writer(fd(0));
    CountingClient noDescriptor(-1);
    EXPECT_FALSE(dispatcher_m.addClient(nullptr, readEvent));
    EXPECT_FALSE(dispatcher_m.addClient(&noDescriptor, readEvent));
    EXPECT_FALSE(dispatcher_m.addClient(&first_m, ADispatcherClient::fdUndefinedEvent_c));
    EXPECT_FALSE(dispatcher_m.removeClient(fd(0), readEvent));
    ASSERT_TRUE(dispatcher_m.addClient(&first_m, readEvent));
    EXPECT_FALSE(dispatcher_m.addClient(&writer, readEvent));  // that pair is watched already
    EXPECT_EQ(0, dispatcher_m.listenOnce(0));
    fill(0);
    EXPECT_EQ(1, dispatcher_m.listenOnce(0));
    EXPECT_EQ(1, dispatcher_m.listenOnce(0));  // still unread: reported again
    ASSERT_TRUE(dispatcher_m.addClient(&writer, ADispatcherClient::fdWriteEvent_c));
    EXPECT_FALSE(dispatcher_m.removeClient(fd(1), ADispatcherClient::fdWriteEvent_c));
    EXPECT_EQ(2, dispatcher_m.listenOnce(0));
    EXPECT_TRUE(dispatcher_m.removeClient(fd(0), readEvent));
    EXPECT_FALSE(dispatcher_m.removeClient(fd(0), readEvent));
    EXPECT_EQ(1, dispatcher_m.listenOnce(0));
    EXPECT_EQ("rrr", first_m.events);
    EXPECT_EQ("ww", writer.events);
}

TEST_F(DispatcherTest, ClientRemovedMidRoundIsNotCalledAndStopEndsListen) {
    // Whichever comes first removes the other and stops the loop.
    first_m.onEvent = [this] {
        dispatcher_m.removeClient(fd(1), readEvent);
        dispatcher_m.stop();
    };
    second_m.onEvent = [this] {
        dispatcher_m.removeClient(fd(0), readEvent);
        dispatcher_m.stop();
    };
    ASSERT_TRUE(dispatcher_m.addClient(&first_m, readEvent));
    ASSERT_TRUE(dispatcher_m.addClient(&second_m, readEvent));
    fill(0);
    fill(1);
    dispatcher_m.listen();
    EXPECT_EQ("r", first_m.events + second_m.events);
}

// A client that closes its descriptor before removing it leaves the kernel reporting the old
// socket (a duplicate keeps it open) under the watch that the removal freed; a watch added
// later in its place must not receive those reports.
TEST_F(DispatcherTest, ReportsOfADescriptorClosedBeforeItsRemovalReachNoLaterClient) {
    ASSERT_TRUE(dispatcher_m.addClient(&first_m, readEvent));
    int duplicate = dup(fd(0));
    ASSERT_GE(duplicate, 0);
    close(pairs_m[0].fds[1]);
    EXPECT_TRUE(dispatcher_m.removeClient(pairs_m[0].fds[1], readEvent));
    pairs_m[0].fds[1] = duplicate;
    ASSERT_TRUE(dispatcher_m.addClient(&second_m, readEvent));
    fill(0);  // the closed descriptor's socket, still registered through the duplicate
    EXPECT_EQ(0, dispatcher_m.listenOnce(0));
    EXPECT_EQ("", first_m.events + second_m.events);
}

// The owner thread's loop serves the client; the test thread's loop does not, and the test
// thread's removeClient waits for the callback that the owner thread is running.
TEST_F(DispatcherTest, LoopServesOnlyItsThreadsClientsAndRemoveWaitsForTheirCallback) {
    std::promise<void> added, mainRan, entered;
    std::atomic<bool> callbackDone{false};
    first_m.onEvent = [&] {
        entered.set_value();
        std::this_thread::sleep_for(milliseconds(100));
        callbackDone = true;
    };
    fill(0);
    std::thread owner([&] {
        EXPECT_TRUE(dispatcher_m.addClient(&first_m, readEvent));
        added.set_value();
        mainRan.get_future().wait();
        EXPECT_EQ(1, dispatcher_m.listenOnce(60000));
    });
    added.get_future().wait();
    EXPECT_EQ(0, dispatcher_m.listenOnce(0));
    mainRan.set_value();
    const bool ran =
        entered.get_future().wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    EXPECT_TRUE(ran) << "the owner's round never ran the client";
    if (ran) {
        EXPECT_TRUE(dispatcher_m.removeClient(fd(0), readEvent));
        EXPECT_TRUE(callbackDone.load()) << "removeClient returned while the client ran";
    }
    owner.join();
    EXPECT_EQ("r", first_m.events);
}

// A stop() made before the round (here by another thread) leaves a wake-up behind; the round
// must not take it for the end of its time.
TEST_F(DispatcherTest, ListenOnceWaitsItsWholeTimeAfterAStopAndListenStillEndsOnStop) {
    ASSERT_NE(0u, dispatcher_m.currentLoop());
    std::thread([this] { dispatcher_m.stop(); }).join();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, dispatcher_m.listenOnce(100));
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(100));

    // A stop from another thread while listen() runs ends it after that round.
    std::promise<void> listening;
    std::thread stopper([&] {
        listening.get_future().wait();
        dispatcher_m.stop();
    });
    first_m.onEvent = [&] {
        if (first_m.events.size() == 1) {
            listening.set_value();
        }
    };
    ASSERT_TRUE(dispatcher_m.addClient(&first_m, readEvent));
    fill(0);
    dispatcher_m.listen();
    stopper.join();
    EXPECT_EQ('r', first_m.events.at(0));
}

// The user guide lets a callback's exception pass out of listenOnce; the loop stays usable, a
// remover on another thread does not wait for the callback that threw, and the tasks after a
// throwing task run in the next round, in order.
TEST_F(DispatcherTest, ExceptionOutOfACallbackOrTaskLeavesTheLoopUsable) {
    first_m.onEvent = [] { throw std::runtime_error("client failure"); };
    ASSERT_TRUE(dispatcher_m.addClient(&first_m, readEvent));
    fill(0);
    EXPECT_THROW(dispatcher_m.listenOnce(0), std::runtime_error);
    std::atomic<bool> removed{false};
    std::thread remover([&] { removed = dispatcher_m.removeClient(fd(0), readEvent); });
    for (int i = 0; i < 500 && !removed; ++i) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    ASSERT_TRUE(removed) << "the remover still waits for a callback that threw";
    remover.join();

    ASSERT_TRUE(dispatcher_m.addClient(&second_m, readEvent));
    fill(1);
    EXPECT_EQ(1, dispatcher_m.listenOnce(0));
    std::vector<int> ran;
    cmn::Dispatcher::LoopId loop = dispatcher_m.currentLoop();
    dispatcher_m.post(loop, [&ran] {
        ran.push_back(1);
        throw std::runtime_error("task failure");
    });
    dispatcher_m.post(loop, [&ran] { ran.push_back(2); });
    EXPECT_THROW(dispatcher_m.listenOnce(0), std::runtime_error);
    EXPECT_EQ(2, dispatcher_m.listenOnce(0));  // the second task and the unread socket
    EXPECT_EQ((std::vector<int>{1, 2}), ran);
}

// An error or hang-up reaches the read callback of a descriptor watched for read; on one
// watched for exceptions only it reaches the exception callback, so it is never lost.
struct HangUpCase {
    std::string name;
    std::vector<ADispatcherClient::FdEventType> watched;
    std::string calls;
};

void PrintTo(const HangUpCase& case_r, std::ostream* out_p) { *out_p << case_r.name; }

class DispatcherHangUpTest : public DispatcherTest,
                             public testing::WithParamInterface<HangUpCase> {};

TEST_P(DispatcherHangUpTest, PeerHangUpReachesTheCallbackTheRuleNames) {
    for (ADispatcherClient::FdEventType type : GetParam().watched) {
        ASSERT_TRUE(dispatcher_m.addClient(&first_m, type));
    }
    EXPECT_EQ(0, dispatcher_m.listenOnce(0));
    pairs_m[0].hangUp();
    EXPECT_EQ(static_cast<int>(GetParam().calls.size()), dispatcher_m.listenOnce(0));
    EXPECT_EQ(GetParam().calls, first_m.events);
}

INSTANTIATE_TEST_SUITE_P(
    Watches, DispatcherHangUpTest,
    testing::Values(
        HangUpCase{"ExceptionOnly", {ADispatcherClient::fdExceptionEvent_c}, "x"},
        HangUpCase{"ReadAndException", {readEvent, ADispatcherClient::fdExceptionEvent_c}, "r"}),
    [](const testing::TestParamInfo<HangUpCase>& info) { return info.param.name; });

// A log sink that waits for another thread's dispatcher call: logging under the dispatcher's
// lock would keep that call out until the sink gives up.
TEST_F(DispatcherTest, RefusalsAreLoggedOutsideTheDispatchersLock) {
    std::atomic<int> blocked{0};
    std::vector<std::thread> others;  // joined once the dispatcher's calls have returned
    cmn::SingletonHolder<cmn::DebugLogger>::getInstance().setSink(
        [this, &blocked, &others](const cmn::DbgModuleDescriptor&, DebugLogLevelType, const char*,
                                  int, const std::string&) {
            auto done = std::make_shared<std::promise<void>>();
            others.emplace_back([this, done] {
                dispatcher_m.removeClient(fd(1), readEvent);
                done->set_value();
            });
            if (done->get_future().wait_for(std::chrono::seconds(30)) !=
                std::future_status::ready) {
                ++blocked;
            }
        });
    char path[] = "/tmp/dispatcherTestXXXXXX";
    int fileFd = mkstemp(path);
    ASSERT_GE(fileFd, 0);
    unlink(path);
    CountingClient file(fileFd);
    ASSERT_TRUE(dispatcher_m.addClient(&first_m, readEvent));
    EXPECT_FALSE(dispatcher_m.addClient(&first_m, readEvent));  // already watched
    EXPECT_FALSE(dispatcher_m.addClient(&file, readEvent));     // refused by the kernel
    cmn::SingletonHolder<cmn::DebugLogger>::getInstance().setSink(cmn::DebugLogger::Sink());
    for (std::thread& other_r : others) {
        other_r.join();
    }
    close(fileFd);
    EXPECT_EQ(2u, others.size());
    EXPECT_EQ(0, blocked.load());
}

bool isEpollDescriptor(int fd) {
    char link[64], target[PATH_MAX] = {};
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    return readlink(link, target, sizeof(target) - 1) > 0 &&
           std::string(target) == "anon_inode:[eventpoll]";
}

// The child's own loop, its removals and its exit leave the parent's epoll set alone, and it
// keeps no copy of the parent's loop descriptor. The child reports failures as exit bits.
TEST_F(DispatcherTest, ForkedChildsLoopLeavesTheParentsWatchesAlone) {
    ASSERT_TRUE(dispatcher_m.addClient(&first_m, readEvent));
    int parentLoopFd = dispatcher_m.getLoopDescriptor();
    fill(0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failures = 0;
        failures |= isEpollDescriptor(parentLoopFd) ? 1 : 0;
        failures |= dispatcher_m.removeClient(fd(0), readEvent) ? 2 : 0;
        failures |= dispatcher_m.addClient(&second_m, readEvent) ? 0 : 4;
        fill(1);
        failures |= dispatcher_m.listenOnce(30000) == 1 && second_m.events == "r" ? 0 : 8;
        failures |= dispatcher_m.removeClient(fd(1), readEvent) ? 0 : 16;
        failures |= dispatcher_m.addClient(&first_m, readEvent) ? 0 : 32;
        failures |= dispatcher_m.removeClient(fd(0), readEvent) ? 0 : 64;
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(1, dispatcher_m.listenOnce(60000));
    EXPECT_EQ("r", first_m.events);
}

TEST(DispatcherClientTest, DefaultCallbacksLogCriticalAndRefuse) {
    BareClient bare(9);
    EXPECT_EQ(ADispatcherClient::cppSubscriber_c, bare.getSubscriberType());
    const char* names[] = {"socketCallback", "writeCallback", "exceptionCallback"};
    for (int type = 1; type <= 3; ++type) {
        EXPECT_FALSE(bare.handleEvent(31, static_cast<ADispatcherClient::FdEventType>(type)));
        ASSERT_EQ(static_cast<size_t>(type), syslogLines.size());
        EXPECT_EQ(LOG_CRIT, syslogLines.back().first);
        EXPECT_THAT(syslogLines.back().second,
                    testing::MatchesRegex(std::string("\\[.+:[0-9]+\\] ADispatcherClient::") +
                                          names[type - 1] + "\\(31\\) - not overridden!"));
    }
    EXPECT_EQ(3u, bare.getEventCount());
    CountingClient reader(7);
    EXPECT_TRUE(reader.handleEvent(7, readEvent));
    EXPECT_FALSE(reader.handleEvent(7, ADispatcherClient::fdUndefinedEvent_c));
    EXPECT_EQ("r", reader.events);
    EXPECT_EQ(1u, reader.getEventCount());
}

}  // namespace
