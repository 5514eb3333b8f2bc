// The dispatcher: callbacks per event type, changes during a round, timeouts, stop, per-thread
// loops, refusals and the loops' descriptors.
#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "commonDispatcher.h"
#include "gtest/gtest.h"
#include "logCapture.h"

namespace {

using cmn::ADispatcherClient;
using cmn::Dispatcher;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

const ADispatcherClient::FdEventType readEvent = ADispatcherClient::fdReadEvent_c;
const ADispatcherClient::FdEventType writeEvent = ADispatcherClient::fdWriteEvent_c;

// Counts its callbacks and runs `onEvent`, if set, inside each.
class CountingClient : public ADispatcherClient {
public:
    explicit CountingClient(int fd) : fd_m(fd) {}
    int getPrimarySocket() override { return fd_m; }
    std::string getSocketName(int) const override { return "counting"; }

    std::atomic<int> reads{0}, writes{0}, exceptions{0};
    std::function<void()> onEvent;

private:
    bool socketCallback(int) override { return record(reads); }
    bool writeCallback(int) override { return record(writes); }
    bool exceptionCallback(int) override { return record(exceptions); }
    bool record(std::atomic<int>& counter_r) {
        ++counter_r;
        if (onEvent) {
            onEvent();
        }
        return true;
    }
    int fd_m;
};

// A connected AF_UNIX stream pair: fd(1) is watched, fd(0) makes it readable.
struct SocketPair {
    SocketPair() { EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds)); }
    ~SocketPair() {
        close(fds[0]);
        close(fds[1]);
    }
    int fd(int i) const { return fds[i]; }
    void fill() { EXPECT_EQ(1, send(fds[0], "x", 1, 0)); }
    void drain() {
        char byte;
        EXPECT_EQ(1, recv(fds[1], &byte, 1, MSG_DONTWAIT));
    }
    int fds[2];
};

int openDescriptorCount() {
    int count = 0;
    DIR* dir_p = opendir("/proc/self/fd");
    while (dirent* entry_p = readdir(dir_p)) {
        count += entry_p->d_name[0] != '.' ? 1 : 0;
    }
    closedir(dir_p);
    return count;
}

bool waitFor(const std::function<bool()>& done) {
    steady_clock::time_point deadline = steady_clock::now() + milliseconds(5000);
    while (!done() && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    return done();
}

class DispatcherTest : public testing::Test {
protected:
    Dispatcher dispatcher_m;
    SocketPair first_m, second_m;
    CountingClient firstClient_m{first_m.fd(1)}, secondClient_m{second_m.fd(1)};
};

// ---------------------------------------------------------------------------------------------
// Callbacks
// ---------------------------------------------------------------------------------------------

TEST_F(DispatcherTest, ReadyDescriptorIsCalledBackOncePerRoundAndType) {
    CountingClient writer(first_m.fd(1));
    ASSERT_TRUE(dispatcher_m.addClient(&firstClient_m, readEvent));
    EXPECT_EQ(0, dispatcher_m.listenOnce(0));
    first_m.fill();
    EXPECT_EQ(1, dispatcher_m.listenOnce(0));
    EXPECT_EQ(1, dispatcher_m.listenOnce(0));  // still unread: reported again
    ASSERT_TRUE(dispatcher_m.addClient(&writer, writeEvent));
    EXPECT_EQ(2, dispatcher_m.listenOnce(0));
    EXPECT_TRUE(dispatcher_m.removeClient(first_m.fd(1), readEvent));
    EXPECT_EQ(1, dispatcher_m.listenOnce(0));
    EXPECT_EQ(3, firstClient_m.reads.load());
    EXPECT_EQ(2, writer.writes.load());
    EXPECT_EQ(0, firstClient_m.writes + writer.reads + firstClient_m.exceptions);
}

TEST_F(DispatcherTest, UrgentDataIsAnExceptionAndHangUpIsReadable) {
    if (send(first_m.fd(0), "u", 1, MSG_OOB) != 1) {
        GTEST_SKIP() << "no out-of-band data on AF_UNIX here";
    }
    int pipeFds[2];
    ASSERT_EQ(0, pipe2(pipeFds, O_CLOEXEC));
    close(pipeFds[1]);  // the read end now reports EPOLLHUP alone
    CountingClient hungUp(pipeFds[0]);
    ASSERT_TRUE(dispatcher_m.addClient(&firstClient_m, ADispatcherClient::fdExceptionEvent_c));
    ASSERT_TRUE(dispatcher_m.addClient(&hungUp, readEvent));
    EXPECT_EQ(2, dispatcher_m.listenOnce(0));
    EXPECT_EQ(1, firstClient_m.exceptions.load());
    EXPECT_EQ(1, hungUp.reads.load());
    EXPECT_TRUE(dispatcher_m.removeClient(pipeFds[0], readEvent));
    close(pipeFds[0]);
}

// ---------------------------------------------------------------------------------------------
// Changes during a round
// ---------------------------------------------------------------------------------------------

TEST_F(DispatcherTest, ClientRemovedMidRoundIsNotCalled) {
    // Whichever comes first removes the other.
    firstClient_m.onEvent = [this] { dispatcher_m.removeClient(second_m.fd(1), readEvent); };
    secondClient_m.onEvent = [this] { dispatcher_m.removeClient(first_m.fd(1), readEvent); };
    ASSERT_TRUE(dispatcher_m.addClient(&firstClient_m, readEvent));
    ASSERT_TRUE(dispatcher_m.addClient(&secondClient_m, readEvent));
    first_m.fill();
    second_m.fill();
    EXPECT_EQ(1, dispatcher_m.listenOnce(0));
    EXPECT_EQ(1, firstClient_m.reads + secondClient_m.reads);
}

TEST_F(DispatcherTest, PairAddedMidRoundWaitsForTheNextRound) {
    CountingClient replacement(second_m.fd(1));
    firstClient_m.onEvent = [&] {
        firstClient_m.onEvent = nullptr;
        dispatcher_m.removeClient(second_m.fd(1), readEvent);
        EXPECT_TRUE(dispatcher_m.addClient(&replacement, readEvent));
    };
    ASSERT_TRUE(dispatcher_m.addClient(&firstClient_m, readEvent));
    ASSERT_TRUE(dispatcher_m.addClient(&secondClient_m, readEvent));
    first_m.fill();
    second_m.fill();
    dispatcher_m.listenOnce(0);
    EXPECT_EQ(0, replacement.reads.load());
    EXPECT_EQ(2, dispatcher_m.listenOnce(0));
    EXPECT_EQ(1, replacement.reads.load());
}

TEST_F(DispatcherTest, RemoveFromAnotherThreadWaitsForTheRunningCallback) {
    std::atomic<bool> inCallback{false}, callbackDone{false};
    firstClient_m.onEvent = [&] {
        inCallback = true;
        std::this_thread::sleep_for(milliseconds(100));
        callbackDone = true;
    };
    ASSERT_TRUE(dispatcher_m.addClient(&firstClient_m, readEvent));
    first_m.fill();
    std::thread remover([&] {
        ASSERT_TRUE(waitFor([&] { return inCallback.load(); }));
        EXPECT_TRUE(dispatcher_m.removeClient(first_m.fd(1), readEvent));
        EXPECT_TRUE(callbackDone.load()) << "removeClient returned while the client ran";
    });
    EXPECT_EQ(1, dispatcher_m.listenOnce(0));
    remover.join();
}

// ---------------------------------------------------------------------------------------------
// Timeouts and stop
// ---------------------------------------------------------------------------------------------

class DispatcherTimeoutTest : public DispatcherTest, public testing::WithParamInterface<int> {};

TEST_P(DispatcherTimeoutTest, ListenOnceWaitsOutItsTimeout) {
    ASSERT_TRUE(dispatcher_m.addClient(&firstClient_m, readEvent));
    steady_clock::time_point start = steady_clock::now();
    EXPECT_EQ(0, dispatcher_m.listenOnce(GetParam()));
    EXPECT_GE(steady_clock::now() - start, milliseconds(GetParam()));
    EXPECT_EQ(0, firstClient_m.reads.load());
}

INSTANTIATE_TEST_SUITE_P(Timeouts, DispatcherTimeoutTest, testing::Values(0, 30));

TEST_F(DispatcherTest, NegativeTimeoutWaitsUntilStop) {
    dispatcher_m.listenOnce(0);  // the loop exists before stop() looks for loops to wake
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(30));
        stopped = true;
        dispatcher_m.stop();
    });
    EXPECT_EQ(0, dispatcher_m.listenOnce(-1));
    EXPECT_TRUE(stopped.load());
    stopper.join();
}

TEST_F(DispatcherTest, StopFromAnotherThreadEndsListenAndListenRunsAgain) {
    firstClient_m.onEvent = [this] { first_m.drain(); };
    std::atomic<int> listensReturned{0};
    std::thread loop([&] {
        ASSERT_TRUE(dispatcher_m.addClient(&firstClient_m, readEvent));
        dispatcher_m.listen();
        ++listensReturned;
        dispatcher_m.listen();
        ++listensReturned;
        EXPECT_TRUE(dispatcher_m.removeClient(first_m.fd(1), readEvent));
    });
    first_m.fill();
    ASSERT_TRUE(waitFor([&] { return firstClient_m.reads == 1; }));
    dispatcher_m.stop();
    ASSERT_TRUE(waitFor([&] { return listensReturned == 1; }));
    first_m.fill();  // the second listen() serves events until the next stop()
    ASSERT_TRUE(waitFor([&] { return firstClient_m.reads == 2; }));
    EXPECT_EQ(1, listensReturned.load());
    dispatcher_m.stop();
    loop.join();
}

TEST_F(DispatcherTest, StopFromCallbackEndsListenAfterTheRound) {
    firstClient_m.onEvent = [this] { dispatcher_m.stop(); };
    secondClient_m.onEvent = [this] { dispatcher_m.stop(); };
    ASSERT_TRUE(dispatcher_m.addClient(&firstClient_m, readEvent));
    ASSERT_TRUE(dispatcher_m.addClient(&secondClient_m, readEvent));
    first_m.fill();
    second_m.fill();
    dispatcher_m.listen();
    EXPECT_EQ(1, firstClient_m.reads.load());
    EXPECT_EQ(1, secondClient_m.reads.load());
}

// ---------------------------------------------------------------------------------------------
// Per-thread loops and their descriptors
// ---------------------------------------------------------------------------------------------

TEST_F(DispatcherTest, LoopServesOnlyItsOwnThreadsClients) {
    first_m.fill();
    std::promise<void> added, mainRan;
    std::thread owner([&] {
        EXPECT_TRUE(dispatcher_m.addClient(&firstClient_m, readEvent));
        added.set_value();
        mainRan.get_future().wait();
        EXPECT_EQ(1, dispatcher_m.listenOnce(0));
        EXPECT_TRUE(dispatcher_m.removeClient(first_m.fd(1), readEvent));
    });
    added.get_future().wait();
    EXPECT_EQ(0, dispatcher_m.listenOnce(0));
    EXPECT_EQ(0, firstClient_m.reads.load());
    mainRan.set_value();
    owner.join();
    EXPECT_EQ(1, firstClient_m.reads.load());
}

TEST_F(DispatcherTest, LoopDescriptorsAreReleasedWithTheirThread) {
    int before = openDescriptorCount();
    std::thread tidy([this] {
        EXPECT_TRUE(dispatcher_m.addClient(&firstClient_m, readEvent));
        EXPECT_TRUE(dispatcher_m.removeClient(first_m.fd(1), readEvent));
    });
    tidy.join();
    EXPECT_EQ(before, openDescriptorCount());
    // A thread that ends with a watch left keeps its loop until the watch is removed.
    std::thread untidy([this] { EXPECT_TRUE(dispatcher_m.addClient(&firstClient_m, readEvent)); });
    untidy.join();
    EXPECT_TRUE(dispatcher_m.removeClient(first_m.fd(1), readEvent));
    EXPECT_EQ(before, openDescriptorCount());
}

TEST_F(DispatcherTest, LoopDescriptorsAreCloseOnExecAndGoWithTheDispatcher) {
    int before = openDescriptorCount();
    std::unique_ptr<Dispatcher> own_p(new Dispatcher());
    EXPECT_EQ(0, own_p->listenOnce(0));
    int found = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        char target[64] = {};
        std::string path = "/proc/self/fd/" + std::to_string(fd);
        if (readlink(path.c_str(), target, sizeof(target) - 1) > 0 &&
            (strstr(target, "[eventpoll]") != nullptr || strstr(target, "[eventfd]") != nullptr)) {
            ++found;
            EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC) << target;
        }
    }
    EXPECT_GE(found, 2);
    own_p.reset();
    EXPECT_EQ(before, openDescriptorCount());
}

// ---------------------------------------------------------------------------------------------
// Refusals
// ---------------------------------------------------------------------------------------------

TEST_F(DispatcherTest, AddAndRemoveRefuseBadRequests) {
    CountingClient noDescriptor(-1);
    EXPECT_FALSE(dispatcher_m.addClient(nullptr, readEvent));
    EXPECT_FALSE(dispatcher_m.addClient(&noDescriptor, readEvent));
    EXPECT_FALSE(dispatcher_m.addClient(&firstClient_m, ADispatcherClient::fdUndefinedEvent_c));
    EXPECT_FALSE(dispatcher_m.removeClient(first_m.fd(1), readEvent));
    ASSERT_TRUE(dispatcher_m.addClient(&firstClient_m, readEvent));
    CountingClient duplicate(first_m.fd(1));
    EXPECT_FALSE(dispatcher_m.addClient(&duplicate, readEvent));
    EXPECT_FALSE(dispatcher_m.removeClient(first_m.fd(1), writeEvent));
    first_m.fill();  // the refused duplicate left the first watch alone
    EXPECT_EQ(1, dispatcher_m.listenOnce(0));
    EXPECT_EQ(0, duplicate.reads.load());
    EXPECT_TRUE(dispatcher_m.removeClient(first_m.fd(1), readEvent));
    EXPECT_FALSE(dispatcher_m.removeClient(first_m.fd(1), readEvent));
}

TEST_F(DispatcherTest, KernelRefusalIsLoggedAndLeavesNothingWatched) {
    char path[] = "/tmp/dispatcherTest.XXXXXX";
    int fileFd = mkostemp(path, O_CLOEXEC);
    ASSERT_GE(fileFd, 0);
    unlink(path);
    CountingClient client(fileFd);
    cmn::test::ScopedLogCapture capture;
    EXPECT_FALSE(dispatcher_m.addClient(&client, readEvent));  // epoll refuses regular files
    std::vector<std::string> critical = capture.texts(DBGLEVEL_CRITICAL);
    ASSERT_EQ(1u, critical.size());
    EXPECT_NE(std::string::npos, critical[0].find("epoll_ctl(EPOLL_CTL_ADD)"));
    EXPECT_NE(std::string::npos, critical[0].find(strerror(EPERM)));
    EXPECT_FALSE(dispatcher_m.removeClient(fileFd, readEvent));
    close(fileFd);
}

}  // namespace
