// The manager's life: its callback socket, re-creation on the same path, driver initialisation,
// the order of destruction and a stale socket file.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

using ManagerLifecycleTest = TimerFixture;

TEST_F(ManagerLifecycleTest, SocketLivesWithManagerAndIsBoundAgainOnRecreation) {
    EXPECT_EQ(socketPath_m, manager().getCbAddress().sun_path);
    int cbSocket = manager().getCbSocket();
    log.clear();
    EXPECT_EQ(cbSocket, manager().getPrimarySocket());
    EXPECT_TRUE(log.records().empty());
    EXPECT_EQ("cmn::TimerManager", manager().getSocketName(cbSocket + 7));
    SingletonPerThread<TimerManager>::deleteInstance();
    EXPECT_FALSE(pathExists(socketPath_m));
    fake.failNextInit();
    RecordingClient client;
    uint32_t timerId = startOneShot(10, &client);
    EXPECT_TRUE(pathExists(socketPath_m));
    EXPECT_EQ(std::vector<std::string>{"ptimer_init_default failed"}, log.texts(DBGLEVEL_CRITICAL));
    ASSERT_TRUE(fireAndDeliver(timerId));
    EXPECT_EQ(1u, client.calls.size());
}

// Records the driver calls of destruction together with what the socket looked like then.
class OrderingFake : public FakePtimers {
public:
    int shutdown() override {
        events.push_back("shutdown" + socketState());
        return FakePtimers::shutdown();
    }
    int remove(ptimer* user) override {
        events.push_back("delete" + socketState());
        return FakePtimers::remove(user);
    }
    std::string socketState() const {
        bool open = fcntl(cbSocket, F_GETFD) != -1;
        return std::string(open ? " open" : " closed") + (pathExists(path) ? " bound" : " gone");
    }
    std::vector<std::string> events;
    int cbSocket = -1;
    std::string path = callbackSocketPathOfThisThread();
};

TEST(ManagerDestructionTest, DriverShutsDownBeforeSocketCloseAndEntryDeletion) {
    OrderingFake fake;
    RecordingClient client;
    PAUserData userData;  // left attached: reported as a leak, never deleted
    fake.cbSocket = manager().getCbSocket();
    uint32_t timerId = 0;
    ASSERT_TRUE(manager().startPeriodicTimer(timerId, 10, &client, &userData, kMs));
    ASSERT_TRUE(manager().startOneShotTimer(timerId, 10, &client, nullptr, kMs));
    setManagerLevel(DBGLEVEL_DEBUG);
    ScopedLogCapture log;
    SingletonPerThread<TimerManager>::deleteInstance();
    EXPECT_EQ((std::vector<std::string>{"shutdown open bound", "delete closed gone",
                                        "delete closed gone"}),
              fake.events);
    std::vector<std::string> debug = log.texts(DBGLEVEL_DEBUG);
    EXPECT_EQ("calling TimerManager::~TimerManager()", debug.at(0));
    EXPECT_EQ(2, std::count(debug.begin(), debug.end(), "calling TimerEntry::~TimerEntry()"));
    EXPECT_EQ(std::vector<std::string>{"user error - leaking user data"},
              log.texts(DBGLEVEL_CRITICAL));
}

std::string staleSocketPath;

void removeStaleSocketFile() { unlink(staleSocketPath.c_str()); }

TEST(ManagerLifecycleDeathTest, StaleSocketFileEndsProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FakePtimers fake;
    EXPECT_EXIT(
        {
            staleSocketPath = callbackSocketPathOfThisThread();
            close(open(staleSocketPath.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
            atexit(removeStaleSocketFile);
            manager();
        },
        ::testing::ExitedWithCode(1), "Bad bind return code");
    EXPECT_FALSE(pathExists(callbackSocketPathOfThisThread()));
}

}  // namespace
}  // namespace test
}  // namespace cmn
