// The manager's life: its callback socket, one manager per thread, re-creation, a stale
// socket file, driver initialisation and the order of destruction.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

using ManagerLifecycleTest = TimerFixture;

TEST_F(ManagerLifecycleTest, SocketLivesWithManagerAndIsBoundAgainOnRecreation) {
    EXPECT_EQ(socketPath_m, manager().getCbAddress().sun_path);
    EXPECT_TRUE(pathExists(socketPath_m));
    int cbSocket = manager().getCbSocket();
    ASSERT_GE(cbSocket, 0);
    log.clear();
    EXPECT_EQ(cbSocket, manager().getPrimarySocket());
    EXPECT_TRUE(log.records().empty());
    EXPECT_EQ("cmn::TimerManager", manager().getSocketName(cbSocket + 7));
    EXPECT_EQ(1, fake.initCount());

    SingletonPerThread<TimerManager>::deleteInstance();
    EXPECT_FALSE(pathExists(socketPath_m));
    EXPECT_EQ(1, fake.shutdownCount());
    EXPECT_GE(manager().getCbSocket(), 0);
    EXPECT_TRUE(pathExists(socketPath_m));
    EXPECT_EQ(2, fake.initCount());
}

TEST_F(ManagerLifecycleTest, TwoThreadsGetPathsDifferingAfterTid) {
    std::string otherPath;
    bool existedInThread = false;
    std::thread other([&] {
        otherPath = manager().getCbAddress().sun_path;
        existedInThread = pathExists(otherPath);
    });
    other.join();
    EXPECT_TRUE(existedInThread);
    // Thread exit destroyed that thread's manager.
    EXPECT_FALSE(pathExists(otherPath));
    size_t tid = socketPath_m.find(".TID");
    ASSERT_NE(std::string::npos, tid);
    EXPECT_EQ(socketPath_m.substr(0, tid + 4), otherPath.substr(0, tid + 4));
    EXPECT_NE(socketPath_m, otherPath);
    EXPECT_EQ(2, fake.initCount());
    EXPECT_EQ(1, fake.shutdownCount());
}

TEST_F(ManagerLifecycleTest, DriverInitFailureIsLoggedAndManagerWorks) {
    SingletonPerThread<TimerManager>::deleteInstance();
    fake.failNextInit();
    log.clear();
    RecordingClient client;
    uint32_t timerId = startOneShot(10, &client);
    EXPECT_EQ(std::vector<std::string>{"ptimer_init_default failed"}, log.texts(DBGLEVEL_CRITICAL));
    ASSERT_TRUE(fireAndDeliver(timerId));
    EXPECT_EQ(1u, client.calls.size());
}

// Records the driver calls of destruction together with what the socket looked like then.
class OrderingFake : public FakePtimers {
public:
    int shutdown() override {
        events.push_back(std::string("shutdown") + socketState());
        return FakePtimers::shutdown();
    }
    int remove(ptimer* user) override {
        events.push_back(std::string("delete") + socketState());
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
    int deletions = 0;
    CountedUserData userData(&deletions);
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
    EXPECT_EQ(0u, fake.liveTimerCount());
    EXPECT_EQ(0, deletions);
    std::vector<std::string> debug = log.texts(DBGLEVEL_DEBUG);
    ASSERT_FALSE(debug.empty());
    EXPECT_EQ("calling TimerManager::~TimerManager()", debug.front());
    EXPECT_EQ(2, std::count(debug.begin(), debug.end(), "calling TimerEntry::~TimerEntry()"));
    EXPECT_EQ(std::vector<std::string>{"user error - leaking user data"},
              log.texts(DBGLEVEL_CRITICAL));
    EXPECT_FALSE(pathExists(fake.path));
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
