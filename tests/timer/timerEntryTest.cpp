// Timer entries and the expiry path: arming arithmetic, re-arming and removal around the client
// call, driver failures and a timer without a client, the expiry datagram from every origin,
// the enable gate, and cancelling from inside a callback.
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

using TimerEntryTest = TimerFixture;

TEST_F(TimerEntryTest, ArmsRelativeDelayFromPeriod) {
    RecordingClient client;
    const struct {
        uint32_t period;
        TimerManager::TimerGranularity granularity;
        int64_t seconds;
        int64_t nanoseconds;
    } cases[] = {{1500, kMs, 1, 500000000},
                 {4294967295u, kMs, 4294967, 295000000},
                 {2500000000u, kNs, 2, 500000000},
                 {999999999, kNs, 0, 999999999}};
    for (const auto& c : cases) {
        for (uint32_t timerId : {startOneShot(c.period, &client, nullptr, c.granularity),
                                 startPeriodic(c.period, &client, nullptr, c.granularity)}) {
            std::vector<FakePtimers::Arming> armings = fake.armingsOfTimer(timerId);
            ASSERT_EQ(1u, armings.size());
            EXPECT_EQ(
                std::make_tuple(c.seconds, c.nanoseconds, false),
                std::make_tuple(armings[0].seconds, armings[0].nanoseconds, armings[0].absolute))
                << c.period;
        }
    }
}

TEST_F(TimerEntryTest, PeriodicIsRearmedBeforeClientCallAndOneShotGoesAfterIt) {
    RecordingClient client;
    PAUserData userData;
    uint32_t periodic = startPeriodic(100, &client);
    uint32_t oneShot = startOneShot(1500, &client, &userData);
    std::vector<size_t> armingsAtCall;
    client.onExpiry = [&](uint32_t id) { armingsAtCall.push_back(fake.armingsOfTimer(id).size()); };
    for (uint32_t timerId : {periodic, periodic, oneShot, periodic}) {
        ASSERT_TRUE(fireAndDeliver(timerId));
    }
    EXPECT_EQ((std::vector<size_t>{2, 3, 1, 4}), armingsAtCall);
    EXPECT_EQ(&userData, client.calls[2].userData_p);
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG,
                             "timerId_m(1), isOneShotTimer_m(true), isClockSyncTimer_m(false), "
                             "timerRunning_m(true)                   , timeoutCount_m(1)"));
    EXPECT_EQ("", entryState(oneShot));
    EXPECT_EQ(
        "[0] client: Type: Periodic [On] - userData: 0x0\n"
        "  Period: 100 milliseconds (0 sec : 100000000 nanosec): Timeouts: 3\n",
        entryState(periodic));
}

TEST_F(TimerEntryTest, FailedRearmStillCallsClientAndNullClientIsNeverCalled) {
    RecordingClient client;
    uint32_t rearmFails = startPeriodic(10, &client);
    fake.failNextArm();
    ASSERT_TRUE(fireAndDeliver(rearmFails));
    uint32_t clockSync = 0;
    fake.failNextCreate();
    EXPECT_TRUE(manager().startPeriodicClockSyncTimer(clockSync, 60, 0, &client, nullptr));
    uint32_t clientless = startPeriodic(100, nullptr);
    ASSERT_TRUE(fireAndDeliver(clientless));
    // An entry whose driver timer was not created is still armed, and that arming fails. An
    // entry without a client is neither counted nor re-armed nor shown.
    EXPECT_EQ((std::vector<std::string>{"ptimer_start_once failed", "clockSyncTimer_create failed",
                                        "ptimer_start_once failed", "client_mp is NULL"}),
              log.texts(DBGLEVEL_CRITICAL));
    EXPECT_EQ(std::vector<uint32_t>{rearmFails}, client.ids());
    EXPECT_NE(std::string::npos, entryState(rearmFails).find("[Cancelled]"));
    EXPECT_NE(std::string::npos, entryState(clockSync).find("[Cancelled]"));
    EXPECT_EQ(1u, fake.armingsOfTimer(clientless).size());
    EXPECT_EQ("", entryState(clientless));
    EXPECT_EQ(3, counters().currentEntries);
}

// Sends the first `length` bytes of `timerId`, then 0xAB bytes, to the manager's callback
// socket from `fd` (the manager's own socket when fd is -1).
void sendId(uint32_t timerId, size_t length = 4, int fd = -1) {
    unsigned char bytes[8];
    memset(bytes, 0xAB, sizeof(bytes));
    memcpy(bytes, &timerId, 4);
    sockaddr_un destination = manager().getCbAddress();
    ASSERT_EQ(static_cast<ssize_t>(length),
              sendto(fd < 0 ? manager().getCbSocket() : fd, bytes, length, 0,
                     reinterpret_cast<const sockaddr*>(&destination), sizeof(destination)));
}

using ExpiryDeliveryTest = TimerFixture;

TEST_F(ExpiryDeliveryTest, IdIsFirstFourBytesWithMissingOnesZero) {
    RecordingClient client;
    for (int i = 0; i < 258; ++i) {
        startPeriodic(1000, &client);
    }
    sendId(2, 1);    // byte 2 alone
    sendId(257, 8);  // bytes 1, 1, 0, 0 and four more
    EXPECT_EQ(2, drainReady());
    EXPECT_EQ((std::vector<uint32_t>{2, 257}), client.ids());
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "recv 1 bytes from socketFd(" +
                                                 std::to_string(manager().getCbSocket()) + ")"));
}

TEST_F(ExpiryDeliveryTest, UnknownIdReportsBothSocketPathsAndForeignDescriptorIsRefused) {
    RecordingClient client;
    startPeriodic(1000, &client);
    EXPECT_FALSE(manager().socketCallback(manager().getCbSocket() + 100));
    std::string otherPath = "/tmp/ctm-expiry-test." + std::to_string(getpid()) + ".sock";
    int other = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un otherAddress = {};
    otherAddress.sun_family = AF_UNIX;
    strncpy(otherAddress.sun_path, otherPath.c_str(), sizeof(otherAddress.sun_path) - 1);
    ASSERT_EQ(0,
              bind(other, reinterpret_cast<const sockaddr*>(&otherAddress), sizeof(otherAddress)));
    sendId(5);
    sendId(6, 4, other);
    sendId(0, 4, other);  // another socket naming a live timer is delivered like any other
    EXPECT_GT(drainReady(), 0);
    close(other);
    unlink(otherPath.c_str());
    std::string mine = ", Timer manager's cbsocket file is " + socketPath_m;
    EXPECT_EQ((std::vector<std::string>{"socketCallback bad FD",
                                        "triggerTimerEntry failed timerId 5" + mine +
                                            " Message source socket file is " + socketPath_m + " ",
                                        "triggerTimerEntry failed timerId 6" + mine +
                                            " Message source socket file is " + otherPath + " "}),
              log.texts(DBGLEVEL_CRITICAL));
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "can not find out timerId(5)"));
    EXPECT_EQ(std::vector<uint32_t>{0}, client.ids());
    EXPECT_EQ(3u, manager().getTimeoutCount());
}

// Enabling restarts every timer, so the expiries queued while disabled are read one per call
// as stale ones, and the restarted timers' own expiries are delivered.
TEST_F(ExpiryDeliveryTest, DisabledTimersLeaveDatagramsQueuedUntilEnabled) {
    RecordingClient client;
    for (uint32_t timerId = 0; timerId < 3; ++timerId) {
        startPeriodic(1000, &client);
    }
    runCommand("tmgr-debug-enable");
    runCommand("tmgr-disable-timers");
    for (uint32_t timerId = 0; timerId < 3; ++timerId) {
        ASSERT_TRUE(fake.fireTimer(timerId));
    }
    EXPECT_EQ(1, stepOnce());
    EXPECT_EQ(1, stepOnce());
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "timeoutCount_m(2), timersEnabled_m(false)"));
    runCommand("tmgr-enable-timers");
    for (int stale = 1; stale <= 3; ++stale) {
        EXPECT_EQ(1, stepOnce());
        EXPECT_EQ(stale, counters().zombieTimeouts);
    }
    EXPECT_TRUE(client.calls.empty());
    for (uint32_t timerId : {2, 0, 1}) {
        ASSERT_TRUE(fireAndDeliver(timerId));
    }
    EXPECT_EQ((std::vector<uint32_t>{2, 0, 1}), client.ids());
    EXPECT_EQ(8u, manager().getTimeoutCount());
}

TEST_F(ExpiryDeliveryTest, CancelInsideCallbackRemovesOneShotAtOncePeriodicAtNextExpiry) {
    RecordingClient client;
    client.onExpiry = [](uint32_t timerId) { manager().cancelTimer(timerId, false); };
    uint32_t oneShot = startOneShot(100, &client);
    uint32_t periodic = startPeriodic(100, &client);
    ASSERT_TRUE(fireAndDeliver(oneShot));
    ASSERT_TRUE(fireAndDeliver(periodic));
    EXPECT_EQ(1, counters().currentEntries);
    ASSERT_TRUE(fireAndDeliver(periodic));  // re-armed before the callback cancelled it
    EXPECT_EQ(0, counters().currentEntries);
    EXPECT_EQ(1, counters().zombieTimeouts);
    EXPECT_EQ((std::vector<uint32_t>{oneShot, periodic}), client.ids());
}

// A period changed from inside the callback replaces the re-arming that preceded the call.
TEST_F(ExpiryDeliveryTest, PeriodChangedInsideCallbackRearmsWithTheNewPeriod) {
    RecordingClient client;
    client.onExpiry = [](uint32_t timerId) { manager().changeTimerPeriod(timerId, 2500, kMs); };
    uint32_t periodic = startPeriodic(100, &client);
    ASSERT_TRUE(fireAndDeliver(periodic));
    std::vector<FakePtimers::Arming> armings = fake.armingsOfTimer(periodic);
    ASSERT_EQ(3u, armings.size());  // start, re-arm before the call, reset inside it
    EXPECT_EQ(2, armings[2].seconds);
    EXPECT_EQ(500000000, armings[2].nanoseconds);
    EXPECT_EQ(1, counters().currentEntries);
}

}  // namespace
}  // namespace test
}  // namespace cmn
