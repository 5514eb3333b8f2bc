// Faults injected through the platform layer's seams: the fake driver failing, the expiry's
// send and receive failing, and the dispatcher refusing the manager's registration.
#include <errno.h>
#include <gmock/gmock.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "syscallFaults.h"
#include "timerFixture.h"

namespace cmn::test {
namespace {

using FaultTest = TimerFixture;

TEST_F(FaultTest, FailedSendLosesOnlyThatExpiry) {
    RecordingClient client;
    uint32_t lost = startOneShot(10, &client);
    uint32_t next = startOneShot(10, &client);
    takeSyslogLines();
    failNextCall(FaultyCall::sendto_c, ENOBUFS);
    ASSERT_TRUE(fake.fireTimer(lost));
    EXPECT_EQ(0, drainReady());
    EXPECT_THAT(takeSyslogLines(), ::testing::ElementsAre(::testing::MatchesRegex(
                                       "\\[.+\\] ptimerCallback: sendto\\(\\) FAILED")));
    ASSERT_TRUE(fireAndDeliver(next));
    // The lost expiry's entry still counts as running; a restart brings it back.
    EXPECT_NE(std::string::npos, entryState(lost).find("[On]"));
    ASSERT_TRUE(manager().changeTimerPeriod(lost, 5, kMs));
    ASSERT_TRUE(fireAndDeliver(lost));
    EXPECT_EQ((std::vector<uint32_t>{next, lost}), client.ids());
}

TEST_F(FaultTest, FailedReceiveIsLoggedAndDatagramReadNextRound) {
    RecordingClient client;
    uint32_t timerId = startOneShot(10, &client);
    ASSERT_TRUE(fake.fireTimer(timerId));
    failNextCall(FaultyCall::recvfrom_c, ENOMEM);
    log.clear();
    EXPECT_EQ(1, stepOnce());
    EXPECT_TRUE(client.calls.empty());
    EXPECT_EQ(std::vector<std::string>{"recvfrom error : " + std::string(strerror(ENOMEM))},
              log.texts(DBGLEVEL_CRITICAL));
    drainReady();
    EXPECT_EQ(std::vector<uint32_t>{timerId}, client.ids());
    EXPECT_EQ(2, counters().timeoutCount);
}

// A driver call that fails for one timer leaves every other timer working.
struct DriverFault {
    const char* name;
    void (FakePtimers::*inject)();
    const char* message;
};

void PrintTo(const DriverFault& fault, std::ostream* os) { *os << fault.name; }

class DriverFaultTest : public TimerFixture, public ::testing::WithParamInterface<DriverFault> {};

TEST_P(DriverFaultTest, OtherTimersKeepWorking) {
    RecordingClient client;
    uint32_t before = startPeriodic(10, &client);
    (fake.*GetParam().inject)();
    uint32_t faulty = startOneShot(10, &client);
    fake.fireTimer(faulty);
    drainReady();
    uint32_t after = startOneShot(10, &client);
    EXPECT_TRUE(log.contains(DBGLEVEL_CRITICAL, GetParam().message));
    ASSERT_TRUE(fireAndDeliver(before));
    ASSERT_TRUE(fireAndDeliver(after));
    ASSERT_TRUE(fireAndDeliver(before));
    // Whether the faulty timer itself fired does not matter; its id was not handed out again.
    std::vector<uint32_t> ids = client.ids();
    ids.erase(std::remove(ids.begin(), ids.end(), faulty), ids.end());
    EXPECT_EQ((std::vector<uint32_t>{before, after, before}), ids);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DriverFaultTest,
    ::testing::Values(DriverFault{"Create", &FakePtimers::failNextCreate, "ptimer_create failed"},
                      DriverFault{"Settime", &FakePtimers::failNextArm, "ptimer_start_once failed"},
                      DriverFault{"Delete", &FakePtimers::failNextDelete, "ptimer_delete failed"}),
    [](const ::testing::TestParamInfo<DriverFault>& info) { return info.param.name; });

// The construction that the dispatcher refuses ends the process with status 1 and removes the
// socket file that it had already bound.
struct RegistrationFault {
    const char* name;
    FaultyCall call;
    int error;
    const char* messages;  // what standard error must show, as a regular expression
};

void PrintTo(const RegistrationFault& fault, std::ostream* os) { *os << fault.name; }

std::string childSocketPath;

void failIfSocketFileLeft() {
    if (pathExists(childSocketPath)) {
        _exit(2);
    }
}

class RegistrationDeathTest : public ::testing::TestWithParam<RegistrationFault> {};

TEST_P(RegistrationDeathTest, ExitsWithStatusOneAndLeavesNoSocketFile) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            FakePtimers fake;
            childSocketPath = callbackSocketPathOfThisThread();
            atexit(failIfSocketFileLeft);
            // The thread's loop exists now, so the next epoll add is the manager's.
            SingletonHolder<Dispatcher>::getInstance().listenOnce(0);
            failNextCall(GetParam().call, GetParam().error);
            manager();
        },
        ::testing::ExitedWithCode(1), GetParam().messages);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RegistrationDeathTest,
    ::testing::Values(RegistrationFault{"EpollAdd", FaultyCall::epollAdd_c, ENOMEM,
                                        "Dispatcher register failed\\."},
                      RegistrationFault{"Socket", FaultyCall::socket_c, EMFILE,
                                        "create cbSocket_m failed : Too many open files.*"
                                        "Dispatcher register failed\\."}),
    [](const ::testing::TestParamInfo<RegistrationFault>& info) { return info.param.name; });

}  // namespace
}  // namespace cmn::test
