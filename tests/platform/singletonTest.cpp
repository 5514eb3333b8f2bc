// The singleton templates: one instance per thread, and one per process however many threads
// race to create it.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "criticalSection.h"
#include "gtest/gtest.h"
#include "singletonHolder.h"
#include "singletonPerThread.h"

namespace {

std::atomic<int> constructions{0}, destructions{0}, sharedConstructions{0};

class PerThreadObject {
public:
    virtual ~PerThreadObject() { ++destructions; }

private:
    friend class cmn::SingletonPerThread<PerThreadObject>;
    PerThreadObject() { ++constructions; }
};
typedef cmn::SingletonPerThread<PerThreadObject> PerThread;

TEST(SingletonTest, EachThreadGetsItsOwnInstanceUntilItEndsOrDeletesIt) {
    PerThread::deleteInstance();  // none yet: nothing happens
    PerThreadObject* main_p = &PerThread::getInstance();
    EXPECT_EQ(main_p, &PerThread::getInstance());
    PerThreadObject* other_p = nullptr;
    std::thread([&other_p] { other_p = &PerThread::getInstance(); }).join();
    EXPECT_NE(main_p, other_p);
    EXPECT_EQ(1, destructions.load());  // the other thread's went with its thread
    PerThread::deleteInstance();
    EXPECT_EQ(nullptr, pthread_getspecific(PerThread::getSingletonKey()));
    PerThread::getInstance();
    PerThread::deleteInstance();
    EXPECT_EQ(3, constructions.load());
    EXPECT_EQ(3, destructions.load());
}

struct SlowSharedObject {
    SlowSharedObject() {
        ++sharedConstructions;
        // Widens the window in which a second thread could also find no instance.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
};

TEST(SingletonTest, RacingThreadsCreateOneProcessWideInstance) {
    std::vector<SlowSharedObject*> seen(16, nullptr);
    std::vector<std::thread> threads;
    for (SlowSharedObject*& seen_r : seen) {
        threads.emplace_back(
            [&seen_r] { seen_r = &cmn::SingletonHolder<SlowSharedObject>::getInstance(); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(1, sharedConstructions.load());
    EXPECT_EQ(1u, std::set<SlowSharedObject*>(seen.begin(), seen.end()).size());
}

// An error-checking mutex refuses a second unlock, so a double unlock would show.
TEST(PThreadMutexTest, ExplicitEndUnlocksExactlyOnceAndAFailedLockNeverUnlocks) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_t mutex;
    pthread_mutex_init(&mutex, &attributes);
    {
        cmn::PThreadMutex section(mutex);
        section.endCriticalSection();
        EXPECT_FALSE(section.isAcquired());
        ASSERT_EQ(0, pthread_mutex_lock(&mutex));  // the destructor must not release this
    }
    {
        cmn::PThreadMutex section(mutex);  // EDEADLK: this thread already holds it
        EXPECT_FALSE(section.isAcquired());
    }
    EXPECT_EQ(0, pthread_mutex_unlock(&mutex));
    pthread_mutex_destroy(&mutex);
    pthread_mutexattr_destroy(&attributes);
}

}  // namespace
