// The singleton templates and the scoped critical section.
#include <errno.h>
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

using cmn::PThreadMutex;
using cmn::SingletonHolder;
using cmn::SingletonPerThread;

std::atomic<int> perThreadConstructions{0};
std::atomic<int> perThreadDestructions{0};

class PerThreadObject {
public:
    virtual ~PerThreadObject() { ++perThreadDestructions; }

private:
    friend class cmn::SingletonPerThread<PerThreadObject>;
    PerThreadObject() { ++perThreadConstructions; }
};

std::atomic<int> sharedConstructions{0};

struct SlowSharedObject {
    SlowSharedObject() {
        ++sharedConstructions;
        // Widens the window in which a second thread could also find no instance.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
};

typedef SingletonPerThread<PerThreadObject> PerThread;

class SingletonTest : public testing::Test {
protected:
    void SetUp() override {
        PerThread::deleteInstance();
        perThreadConstructions = 0;
        perThreadDestructions = 0;
    }
    void TearDown() override { PerThread::deleteInstance(); }
};

TEST_F(SingletonTest, EachThreadGetsItsOwnInstance) {
    PerThreadObject* main_p = &PerThread::getInstance();
    EXPECT_EQ(main_p, &PerThread::getInstance());
    PerThreadObject* other_p = nullptr;
    std::thread other([&other_p] {
        other_p = &PerThread::getInstance();
        EXPECT_EQ(other_p, &PerThread::getInstance());
    });
    other.join();
    EXPECT_NE(main_p, other_p);
    EXPECT_EQ(2, perThreadConstructions.load());
    // The other thread's instance went with its thread.
    EXPECT_EQ(1, perThreadDestructions.load());
}

TEST_F(SingletonTest, DeleteInstanceWithoutInstanceDoesNothing) {
    PerThread::deleteInstance();
    EXPECT_EQ(0, perThreadDestructions.load());
    std::thread fresh([] { PerThread::deleteInstance(); });
    fresh.join();
    EXPECT_EQ(0, perThreadConstructions.load());
    EXPECT_EQ(0, perThreadDestructions.load());
}

TEST_F(SingletonTest, GetInstanceAfterDeleteInstanceCreatesAFreshOne) {
    PerThread::getInstance();
    PerThread::deleteInstance();
    EXPECT_EQ(1, perThreadDestructions.load());
    PerThread::getInstance();
    EXPECT_EQ(2, perThreadConstructions.load());
    PerThread::deleteInstance();
    EXPECT_EQ(2, perThreadDestructions.load());
    EXPECT_EQ(nullptr, pthread_getspecific(PerThread::getSingletonKey()));
}

TEST_F(SingletonTest, RacingThreadsCreateOneProcessWideInstance) {
    const int threadCount = 16;
    std::atomic<int> ready{0};
    std::vector<SlowSharedObject*> seen(threadCount, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&ready, &seen, t, threadCount] {
            ++ready;
            while (ready.load() < threadCount) {
                std::this_thread::yield();
            }
            seen[t] = &SingletonHolder<SlowSharedObject>::getInstance();
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(1, sharedConstructions.load());
    EXPECT_EQ(1u, std::set<SlowSharedObject*>(seen.begin(), seen.end()).size());
}

// ---------------------------------------------------------------------------------------------
// PThreadMutex, observed through an error-checking mutex, which refuses an unlock by a thread
// that does not hold it.
// ---------------------------------------------------------------------------------------------

class PThreadMutexTest : public testing::Test {
protected:
    void SetUp() override {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
        pthread_mutex_init(&mutex_m, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    void TearDown() override { pthread_mutex_destroy(&mutex_m); }

    pthread_mutex_t mutex_m;
};

TEST_F(PThreadMutexTest, HoldsTheMutexForItsScope) {
    {
        PThreadMutex section(mutex_m);
        EXPECT_TRUE(section.isAcquired());
        EXPECT_EQ(EDEADLK, pthread_mutex_lock(&mutex_m));
    }
    EXPECT_EQ(0, pthread_mutex_trylock(&mutex_m));
    EXPECT_EQ(0, pthread_mutex_unlock(&mutex_m));
}

TEST_F(PThreadMutexTest, ExplicitEndUnlocksExactlyOnce) {
    {
        PThreadMutex section(mutex_m);
        section.endCriticalSection();
        EXPECT_FALSE(section.isAcquired());
        // Held by the test now: a second unlock by the destructor would release it.
        ASSERT_EQ(0, pthread_mutex_lock(&mutex_m));
    }
    EXPECT_EQ(0, pthread_mutex_unlock(&mutex_m));
}

TEST_F(PThreadMutexTest, FailedLockIsNeverUnlocked) {
    ASSERT_EQ(0, pthread_mutex_lock(&mutex_m));
    {
        PThreadMutex section(mutex_m);  // EDEADLK: this thread already holds it
        EXPECT_FALSE(section.isAcquired());
    }
    EXPECT_EQ(0, pthread_mutex_unlock(&mutex_m));
}

}  // namespace
