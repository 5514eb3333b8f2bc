// cmn::detail::CreationLock: the creation locks of cmn::SingletonHolder across fork().
//
// Every mutex ever locked through a CreationLock is recorded in a table that is only appended
// to, without a lock: a thread may record a mutex while a fork's prepare handler waits for a
// creation lock that thread holds, so recording must never wait.
//
// Prepare takes every recorded mutex except those of the forking thread. It never holds one
// while it waits for another: when one is busy it releases all it took, waits for the busy one
// and starts again. A thread that holds an outer creation lock (a constructor running) while it
// waits for an inner one (a singleton that constructor uses) therefore always gets it, and the
// fork happens once no creation is under way. What prepare took is recorded per thread, so two
// threads that fork at once do not mix their records.
//
// The handlers are installed at the first creation lock of the process, after those installed
// when the library is loaded (dispatcher, driver, logger). Prepare handlers run in the reverse
// order of installation, so the creation locks, which are held while constructors take those
// components' locks, are taken before them.
#include <pthread.h>

#include <atomic>
#include <cstddef>

#include "dbgLog.h"
#include "singletonHolder.h"
#include "stderrSink.h"

namespace cmn {
namespace detail {

// The recorded creation mutexes and the fork handlers over them. Every member may be used from
// any thread; the handlers run on the forking thread.
class CreationLockTable {
public:
    // Records the mutex once, without waiting; reports a full table once, on standard error.
    static void record(pthread_mutex_t* mutex_p);
    // Whether the calling thread holds the mutex through one of its CreationLock objects.
    static bool isHeldByCaller(const pthread_mutex_t* mutex_p);
    // Installs the fork handlers; reports a failure on standard error. Called once.
    static void installForkHandlers();

    static thread_local CreationLock* innermost_spm;  // the calling thread's newest lock

private:
    static const size_t capacity_c = 128;
    static void prepareFork();
    static void resumeParent();
    static void resumeChild();
    static void report(int line, const char* text_p);
    static bool takeAllOrWait();

    static std::atomic<pthread_mutex_t*> mutexes_sm[capacity_c];  // filled in order, append-only
    static std::atomic<bool> overflowReported_sm;
    static thread_local bool takenForFork_sm[capacity_c];  // by this thread's fork, per slot
};

thread_local CreationLock* CreationLockTable::innermost_spm = nullptr;
thread_local bool CreationLockTable::takenForFork_sm[capacity_c] = {};
std::atomic<pthread_mutex_t*> CreationLockTable::mutexes_sm[capacity_c] = {};
std::atomic<bool> CreationLockTable::overflowReported_sm{false};

namespace {

pthread_once_t handlersOnce = PTHREAD_ONCE_INIT;

}  // namespace

// Slots are filled in order and never change once set, so two threads recording the same
// mutex meet at the same slot and it is recorded once.
void CreationLockTable::record(pthread_mutex_t* mutex_p) {
    for (std::atomic<pthread_mutex_t*>& slot_r : mutexes_sm) {
        pthread_mutex_t* expected_p = nullptr;
        if (slot_r.compare_exchange_strong(expected_p, mutex_p) || expected_p == mutex_p) {
            return;
        }
    }
    if (!overflowReported_sm.exchange(true)) {
        report(__LINE__,
               "too many singleton types: a child of fork() may inherit a creation "
               "lock held by another thread");
    }
}

bool CreationLockTable::isHeldByCaller(const pthread_mutex_t* mutex_p) {
    for (const CreationLock* lock_p = innermost_spm; lock_p != nullptr; lock_p = lock_p->outer_mp) {
        if (&lock_p->mutex_rm == mutex_p) {
            return true;
        }
    }
    return false;
}

void CreationLockTable::installForkHandlers() {
    if (pthread_atfork(prepareFork, resumeParent, resumeChild) != 0) {
        report(__LINE__,
               "pthread_atfork failed: a child of fork() may inherit a creation lock "
               "held by another thread");
    }
}

// The logger cannot be used here: its own creation goes through this table.
void CreationLockTable::report(int line, const char* text_p) {
    writeToStandardError("SingletonHolder", DBGLEVEL_CRITICAL, __FILE__, line, text_p);
}

// One pass over the table. True when every recorded mutex not held by this thread is taken;
// otherwise nothing is held on return, and the busy mutex has been free once.
bool CreationLockTable::takeAllOrWait() {
    for (size_t i = 0; i < capacity_c; ++i) {
        pthread_mutex_t* mutex_p = mutexes_sm[i].load();
        if (mutex_p == nullptr) {
            return true;
        }
        if (isHeldByCaller(mutex_p)) {
            continue;
        }
        if (pthread_mutex_trylock(mutex_p) == 0) {
            takenForFork_sm[i] = true;
            continue;
        }
        resumeParent();
        pthread_mutex_lock(mutex_p);
        pthread_mutex_unlock(mutex_p);
        return false;
    }
    return true;
}

void CreationLockTable::prepareFork() {
    while (!takeAllOrWait()) {
    }
}

void CreationLockTable::resumeParent() {
    for (size_t i = 0; i < capacity_c; ++i) {
        if (takenForFork_sm[i]) {
            takenForFork_sm[i] = false;
            pthread_mutex_unlock(mutexes_sm[i].load());
        }
    }
}

// A mutex recorded after prepare's pass may have been locked by a thread the child does not
// have; the child's only thread holds none of them but its own, so they are made afresh.
void CreationLockTable::resumeChild() {
    for (size_t i = 0; i < capacity_c; ++i) {
        pthread_mutex_t* mutex_p = mutexes_sm[i].load();
        if (mutex_p == nullptr) {
            return;
        }
        if (takenForFork_sm[i]) {
            takenForFork_sm[i] = false;
            pthread_mutex_unlock(mutex_p);
        } else if (!isHeldByCaller(mutex_p)) {
            pthread_mutex_init(mutex_p, nullptr);
        }
    }
}

CreationLock::CreationLock(pthread_mutex_t& mutex_r)
    : mutex_rm(mutex_r), outer_mp(CreationLockTable::innermost_spm) {
    pthread_once(&handlersOnce, CreationLockTable::installForkHandlers);
    CreationLockTable::record(&mutex_rm);
    pthread_mutex_lock(&mutex_rm);
    CreationLockTable::innermost_spm = this;
}

CreationLock::~CreationLock() {
    CreationLockTable::innermost_spm = outer_mp;
    pthread_mutex_unlock(&mutex_rm);
}

}  // namespace detail
}  // namespace cmn
