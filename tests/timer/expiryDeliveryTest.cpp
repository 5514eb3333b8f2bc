// Expiry delivery: datagrams of every length and origin, the foreign descriptor, the enable
// gate, and timer operations made from inside a callback.
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

// Sends `length` bytes to the manager's callback socket from `fd` (the manager's own socket
// when fd is -1).
void sendDatagram(const unsigned char* bytes, size_t length, int fd = -1) {
    sockaddr_un destination = manager().getCbAddress();
    ASSERT_EQ(static_cast<ssize_t>(length),
              sendto(fd < 0 ? manager().getCbSocket() : fd, bytes, length, 0,
                     reinterpret_cast<const sockaddr*>(&destination), sizeof(destination)));
}

void sendId(uint32_t timerId, int fd = -1) {
    unsigned char bytes[4];
    memcpy(bytes, &timerId, sizeof(bytes));
    sendDatagram(bytes, sizeof(bytes), fd);
}

using ExpiryDeliveryTest = TimerFixture;

class ExpiryDatagramLengthTest : public TimerFixture,
                                 public ::testing::WithParamInterface<size_t> {};

TEST_P(ExpiryDatagramLengthTest, IdIsFirstFourBytesWithMissingOnesZero) {
    RecordingClient client;
    for (int i = 0; i < 258; ++i) {
        startPeriodic(1000, &client);
    }
    // One byte can only name id 2; two or more name 257 (bytes 1, 1, 0, 0 in memory order).
    const size_t length = GetParam();
    const uint32_t timerId = length == 1 ? 2 : 257;
    unsigned char bytes[8];
    memset(bytes, 0xAB, sizeof(bytes));
    memcpy(bytes, &timerId, 4);
    sendDatagram(bytes, length);
    EXPECT_GT(drainReady(), 0);
    EXPECT_EQ(std::vector<uint32_t>{timerId}, client.ids());
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "recv " + std::to_string(std::min<size_t>(length, 4)) +
                                                 " bytes from socketFd(" +
                                                 std::to_string(manager().getCbSocket()) + ")"));
    EXPECT_TRUE(log.texts(DBGLEVEL_CRITICAL).empty());
}

INSTANTIATE_TEST_SUITE_P(Lengths, ExpiryDatagramLengthTest, ::testing::Values(1, 2, 3, 4, 8));

TEST_F(ExpiryDeliveryTest, UnknownIdReportsBothSocketPaths) {
    RecordingClient client;
    startPeriodic(1000, &client);
    std::string otherPath = "/tmp/ctm-expiry-test." + std::to_string(getpid()) + ".sock";
    int other = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(other, 0);
    sockaddr_un otherAddress = {};
    otherAddress.sun_family = AF_UNIX;
    strncpy(otherAddress.sun_path, otherPath.c_str(), sizeof(otherAddress.sun_path) - 1);
    ASSERT_EQ(0,
              bind(other, reinterpret_cast<const sockaddr*>(&otherAddress), sizeof(otherAddress)));
    sendId(5);
    sendId(6, other);
    sendId(0, other);
    EXPECT_GT(drainReady(), 0);
    close(other);
    unlink(otherPath.c_str());
    std::string prefix = "triggerTimerEntry failed timerId ";
    std::string mine = ", Timer manager's cbsocket file is " + socketPath_m;
    EXPECT_EQ((std::vector<std::string>{
                  prefix + "5" + mine + " Message source socket file is " + socketPath_m + " ",
                  prefix + "6" + mine + " Message source socket file is " + otherPath + " "}),
              log.texts(DBGLEVEL_CRITICAL));
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "can not find out timerId(5)"));
    // A datagram from another socket that names a live timer is delivered like any other.
    EXPECT_EQ(std::vector<uint32_t>{0}, client.ids());
    ManagerCounters after = counters();
    EXPECT_EQ(3, after.timeoutCount);
    EXPECT_EQ(0, after.zombieTimeouts);
}

TEST_F(ExpiryDeliveryTest, ForeignDescriptorIsRefused) {
    int cbSocket = manager().getCbSocket();
    EXPECT_FALSE(manager().socketCallback(cbSocket + 100));
    EXPECT_EQ(std::vector<std::string>{"socketCallback bad FD"}, log.texts(DBGLEVEL_CRITICAL));
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "cbSocket_m(" + std::to_string(cbSocket) +
                                                 "), socketFd(" + std::to_string(cbSocket + 100) +
                                                 ")"));
    EXPECT_EQ(0u, manager().getTimeoutCount());
}

TEST_F(ExpiryDeliveryTest, DisabledTimersLeaveDatagramsQueuedUntilEnabled) {
    RecordingClient client;
    for (int i = 0; i < 3; ++i) {
        startPeriodic(1000, &client);
    }
    runCommand("tmgr-debug-enable");
    runCommand("tmgr-disable-timers");
    for (uint32_t timerId = 0; timerId < 3; ++timerId) {
        ASSERT_TRUE(fake.fireTimer(timerId));
    }
    EXPECT_EQ(1, stepOnce());
    EXPECT_EQ(1, stepOnce());
    EXPECT_TRUE(client.calls.empty());
    EXPECT_EQ(2u, manager().getTimeoutCount());
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "timeoutCount_m(2), timersEnabled_m(false)"));
    runCommand("tmgr-enable-timers");
    for (size_t delivered = 1; delivered <= 3; ++delivered) {
        EXPECT_EQ(1, stepOnce());
        EXPECT_EQ(delivered, client.calls.size());
    }
    EXPECT_EQ((std::vector<uint32_t>{0, 1, 2}), client.ids());
    EXPECT_EQ(0, stepOnce());
    EXPECT_EQ(5u, manager().getTimeoutCount());
}

class ExpiryCancelInCallbackTest : public TimerFixture,
                                   public ::testing::WithParamInterface<bool> {};

TEST_P(ExpiryCancelInCallbackTest, OneShotGoesAtOncePeriodicAtNextExpiry) {
    const bool oneShot = GetParam();
    RecordingClient client;
    client.onExpiry = [](uint32_t timerId) { manager().cancelTimer(timerId, false); };
    uint32_t timerId = oneShot ? startOneShot(100, &client) : startPeriodic(100, &client);
    ASSERT_TRUE(fireAndDeliver(timerId));
    EXPECT_EQ(oneShot ? 0 : 1, counters().currentEntries);
    if (!oneShot) {
        EXPECT_NE(std::string::npos, entryState(timerId).find("[Cancelled]"));
        ASSERT_TRUE(fireAndDeliver(timerId));
        EXPECT_EQ(0, counters().currentEntries);
        EXPECT_EQ(1, counters().zombieTimeouts);
    }
    EXPECT_EQ(1u, client.calls.size());
}

INSTANTIATE_TEST_SUITE_P(OneShot, ExpiryCancelInCallbackTest, ::testing::Bool());

TEST_F(ExpiryDeliveryTest, PeriodChangedInsideCallbackTakesOver) {
    RecordingClient client;
    client.onExpiry = [](uint32_t timerId) { manager().changeTimerPeriod(timerId, 300, kMs); };
    uint32_t timerId = startPeriodic(100, &client);
    ASSERT_TRUE(fireAndDeliver(timerId));
    std::vector<FakePtimers::Arming> armings = fake.armingsOfTimer(timerId);
    ASSERT_EQ(3u, armings.size());
    EXPECT_EQ(100000000, armings[1].nanoseconds);
    EXPECT_EQ(300000000, armings[2].nanoseconds);
    ASSERT_TRUE(fireAndDeliver(timerId));
    EXPECT_EQ(2u, client.calls.size());
    EXPECT_NE(std::string::npos, entryState(timerId).find("Period: 300 milliseconds"));
}

}  // namespace
}  // namespace test
}  // namespace cmn
