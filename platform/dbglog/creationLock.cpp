// cmn::detail::CreationLock: the creation locks of cmn::SingletonHolder across fork().
//
// A creation lock is held while a constructor runs, and a constructor may take any lock: the
// logger's, the dispatcher's, the driver's, the command server's, the application's. So no
// prepare handler may wait for one: whatever the order of the handlers, some constructor could
// be waiting for a lock that a prepare handler earlier in the sequence already holds. The child
// handler makes the locks afresh instead. The child has only the forking thread, so any creation
// lock held at the fork was held by a thread the child does not have, unless the forking thread
// holds it itself (a constructor that forks), and that one is left to it. A creation that another
// thread had under way is abandoned in the child: the instance was not published yet, so the
// child's first getInstance() makes its own.
//
// Every mutex ever locked through a CreationLock is recorded in a table that is only appended
// to, without a lock, so that recording never waits and the child can read the table whatever
// the parent's threads were doing.
#include <pthread.h>

#include <atomic>
#include <cstddef>

#include "dbgLog.h"
#include "singletonHolder.h"
#include "stderrSink.h"

namespace cmn {
namespace detail {

// The recorded creation mutexes and the child's fork handler over them. Every member may be
// used from any thread; the handler runs on the forking thread, in the child.
class CreationLockTable {
public:
    // Records the mutex once, without waiting; reports a full table once, on standard error.
    static void record(pthread_mutex_t* mutex_p);
    // Installs the child's handler; reports a failure on standard error. Called at library load.
    static int installForkHandler();

    static thread_local CreationLock* innermost_spm;  // the calling thread's newest lock

private:
    static const size_t capacity_c = 128;
    static bool isHeldByCaller(const pthread_mutex_t* mutex_p);
    static void resumeChild();
    static void report(int line, const char* text_p);

    static std::atomic<pthread_mutex_t*> mutexes_sm[capacity_c];  // filled in order, append-only
    static std::atomic<bool> overflowReported_sm;
};

thread_local CreationLock* CreationLockTable::innermost_spm = nullptr;
std::atomic<pthread_mutex_t*> CreationLockTable::mutexes_sm[capacity_c] = {};
std::atomic<bool> CreationLockTable::overflowReported_sm{false};

namespace {

// Installed when the library is loaded; a failure is reported then.
[[maybe_unused]] const int forkHandlerResult = CreationLockTable::installForkHandler();

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

int CreationLockTable::installForkHandler() {
    const int result = pthread_atfork(nullptr, nullptr, resumeChild);
    if (result != 0) {
        report(__LINE__,
               "pthread_atfork failed: a child of fork() may inherit a creation lock "
               "held by another thread");
    }
    return result;
}

bool CreationLockTable::isHeldByCaller(const pthread_mutex_t* mutex_p) {
    for (const CreationLock* lock_p = innermost_spm; lock_p != nullptr; lock_p = lock_p->outer_mp) {
        if (&lock_p->mutex_rm == mutex_p) {
            return true;
        }
    }
    return false;
}

// The logger cannot be used here: its own creation goes through this table.
void CreationLockTable::report(int line, const char* text_p) {
    writeToStandardError("SingletonHolder", DBGLEVEL_CRITICAL, __FILE__, line, text_p);
}

void CreationLockTable::resumeChild() {
    for (std::atomic<pthread_mutex_t*>& slot_r : mutexes_sm) {
        pthread_mutex_t* mutex_p = slot_r.load();
        if (mutex_p == nullptr) {
            return;
        }
        if (!isHeldByCaller(mutex_p)) {
            pthread_mutex_init(mutex_p, nullptr);
        }
    }
}

CreationLock::CreationLock(pthread_mutex_t& mutex_r)
    : mutex_rm(mutex_r), outer_mp(CreationLockTable::innermost_spm) {
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
