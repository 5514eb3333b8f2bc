// Smoke test of the timer manager on the real driver, dispatcher and socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "commonTimerManager.h"
#include "loopSteps.h"
#include "tempPath.h"

namespace {

class CountingClient : public cmn::PATimerClient {
public:
    bool timerExpired(uint32_t timerId, cmn::PAUserData*) override {
        lastId_m = timerId;
        ++calls_m;
        return true;
    }
    std::string getClientName() const override { return "smoke"; }

    uint32_t lastId_m = 0;
    int calls_m = 0;
};

class TimerSmokeTest : public testing::Test {
protected:
    cmn::TimerManager& manager() {
        return cmn::SingletonPerThread<cmn::TimerManager>::getInstance();
    }
    void TearDown() override {
        cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance();
        EXPECT_FALSE(cmn::test::pathExists(cmn::test::callbackSocketPathOfThisThread()));
    }
};

TEST_F(TimerSmokeTest, OneShotExpiryReachesClientAndLeavesTable) {
    CountingClient client;
    uint32_t timerId = 0;
    ASSERT_TRUE(manager().startOneShotTimer(timerId, 5, &client, nullptr,
                                            cmn::TimerManager::millisecondGranularity_c));
    ASSERT_TRUE(cmn::test::runUntil([&] { return client.calls_m > 0; }, 5000));
    EXPECT_EQ(timerId, client.lastId_m);
    // A one-shot entry leaves the table after its expiry: the id is unknown now.
    EXPECT_FALSE(
        manager().changeTimerPeriod(timerId, 5, cmn::TimerManager::millisecondGranularity_c));
    EXPECT_EQ(1u, manager().getTimeoutCount());
}

TEST_F(TimerSmokeTest, CallbackSocketIsOwnerOnlyAndCloseOnExec) {
    int socketFd = manager().getCbSocket();
    ASSERT_GE(socketFd, 0);
    struct stat info;
    ASSERT_EQ(0, lstat(cmn::test::callbackSocketPathOfThisThread().c_str(), &info));
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(0u, info.st_mode & (S_IRWXG | S_IRWXO));
    EXPECT_NE(0, fcntl(socketFd, F_GETFD) & FD_CLOEXEC);
}

}  // namespace
