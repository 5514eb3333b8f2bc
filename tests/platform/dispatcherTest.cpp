// The dispatcher: callbacks per event type, removal during a round and from another thread,
// stop, per-thread loops and refusals. Also the dispatcher-client base's defaults:
// syslog is interposed in this executable, so their reports are captured instead of sent.
#include <stdarg.h>
#include <stdio.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "commonDispatcher.h"
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

// Notes each read ('r') and write ('w') callback and runs `onEvent`, if set, inside it.
class CountingClient : public BareClient {
public:
    using BareClient::BareClient;
    std::string events;
    std::function<void()> onEvent;

private:
    bool socketCallback(int) override { return record('r'); }
    bool writeCallback(int) override { return record('w'); }
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
        EXPECT_EQ(1, dispatcher_m.listenOnce(5000));
    });
    added.get_future().wait();
    EXPECT_EQ(0, dispatcher_m.listenOnce(0));
    mainRan.set_value();
    entered.get_future().wait_for(std::chrono::seconds(5));
    EXPECT_TRUE(dispatcher_m.removeClient(fd(0), readEvent));
    EXPECT_TRUE(callbackDone.load()) << "removeClient returned while the client ran";
    owner.join();
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
