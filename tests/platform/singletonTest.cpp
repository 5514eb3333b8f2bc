// The singleton templates: one instance per thread, and one per process however many threads
// race to create it.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "criticalSection.h"
#include "forkedChild.h"
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

// A constructor that, in the process that first runs it, waits until it is let go, so that a
// fork can happen while it runs.
struct GatedObject {
    static pid_t gatedPid;
    static std::promise<void> entered;
    static std::mutex gateMutex;
    static std::condition_variable gateOpened;
    static bool open;
    GatedObject() : madeInPid(getpid()) {
        if (madeInPid == gatedPid) {
            entered.set_value();
            std::unique_lock<std::mutex> lock(gateMutex);
            gateOpened.wait(lock, [] { return open; });
        }
    }
    static void letGo() {
        std::lock_guard<std::mutex> lock(gateMutex);
        open = true;
        gateOpened.notify_all();
    }
    const pid_t madeInPid;
};
pid_t GatedObject::gatedPid = getpid();
std::promise<void> GatedObject::entered;
std::mutex GatedObject::gateMutex;
std::condition_variable GatedObject::gateOpened;
bool GatedObject::open = false;

// The fork happens while another thread constructs the instance: the child, which does not
// have that thread, makes an instance of its own instead of waiting for it forever.
TEST(SingletonForkTest, ChildOfAForkDuringACreationMakesItsOwnInstance) {
    static bool created = false;
    if (std::exchange(created, true)) {
        GTEST_SKIP() << "the instance is created once per process";
    }
    std::thread creator([] { cmn::SingletonHolder<GatedObject>::getInstance(); });
    GatedObject::entered.get_future().wait();
    EXPECT_EQ(0, cmn::test::runInForkedChild([] {
                  return cmn::SingletonHolder<GatedObject>::getInstance().madeInPid == getpid() ? 0
                                                                                                : 1;
              }));
    GatedObject::letGo();
    creator.join();
    EXPECT_EQ(getpid(), cmn::SingletonHolder<GatedObject>::getInstance().madeInPid);
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
