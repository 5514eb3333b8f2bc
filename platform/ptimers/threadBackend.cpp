// The real driver backend: one DriverInstance per thread that called ptimer_init_default.
//
// The calling thread's instance is a thread_local pointer. A pthread key with the same value
// stops an instance that its thread left running when the thread exits. Instances are never
// freed but pooled for the next initialisation, because another thread may still lock one
// through a stale record while it is being stopped. Handles are validated through the
// process-wide HandleTable before anything of theirs is used.
//
// fork(): a child starts with no instance. The prepare handler takes the pool's mutex, every
// instance's and the handle table's, in that order (no other code holds two of them at once),
// so the child inherits none of them in the middle of a change. The child then forgets every
// instance it copied: their runs end without touching the parent's threads or descriptors, the
// forking thread's pointer and key no longer name one, and all of them are idle for the child's
// own initialisations. The handlers are installed when the library is loaded, before those of
// any component that installs its own on first use: prepare handlers run in the reverse order
// of installation, so the driver's locks are taken after the locks that a caller may hold while
// it calls the driver (the command server's, the manager's). The driver calls out to nobody
// while it holds a lock of its own, so its prepare handler never waits for a thread that waits
// for it.
#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "driverInstance.h"
#include "driverTime.h"
#include "handleTable.h"
#include "ptimersBackend.h"

namespace cmn {
namespace detail {

namespace {

thread_local DriverInstance* threadInstance_p = nullptr;

// Every instance ever made, by number, for the lock-free step from a record to its instance.
// Static storage, so the pages that no instance uses are never touched.
std::atomic<DriverInstance*> instancesByNumber_g[UINT16_MAX + 1];

// Null for 0 (a detached record) and for a number no instance has.
DriverInstance* instanceNumbered(uint16_t number) {
    return instancesByNumber_g[number].load(std::memory_order_acquire);
}

pthread_key_t exitKey_g;
pthread_once_t exitKeyOnce_g = PTHREAD_ONCE_INIT;
int exitKeyResult_g = -1;

class InstancePool {
public:
    // Null when the process already runs the most instances that can be told apart.
    DriverInstance* acquire() {
        std::lock_guard<std::mutex> lock(mutex_m);
        if (idle_m.empty()) {
            if (all_m.size() >= UINT16_MAX) {
                return nullptr;
            }
            const uint16_t number = static_cast<uint16_t>(all_m.size() + 1);
            all_m.push_back(new DriverInstance(number));
            instancesByNumber_g[number].store(all_m.back(), std::memory_order_release);
            return all_m.back();
        }
        DriverInstance* instance_p = idle_m.back();
        idle_m.pop_back();
        return instance_p;
    }
    void release(DriverInstance* instance_p) {
        std::lock_guard<std::mutex> lock(mutex_m);
        idle_m.push_back(instance_p);
    }

    void lockForFork() {
        mutex_m.lock();
        for (DriverInstance* instance_p : all_m) {
            instance_p->lockForFork();
        }
    }
    void unlockAfterFork() {
        for (DriverInstance* instance_p : all_m) {
            instance_p->unlockAfterFork();
        }
        mutex_m.unlock();
    }
    void forgetAfterFork() {
        for (DriverInstance* instance_p : all_m) {
            instance_p->forgetAfterFork();
        }
        idle_m = all_m;
        mutex_m.unlock();
    }

private:
    std::mutex mutex_m;
    std::vector<DriverInstance*> all_m;  // every instance ever made
    std::vector<DriverInstance*> idle_m;
};

InstancePool& instancePool() {
    // Leaked on purpose, like the instances it holds.
    static InstancePool* pool_p = new InstancePool();
    return *pool_p;
}

void stopInstance(DriverInstance* instance_p) {
    instance_p->stop();
    instancePool().release(instance_p);
}

// Runs at the exit of a thread that never called ptimer_shutdown.
void stopOnThreadExit(void* instance_p) {
    threadInstance_p = nullptr;
    stopInstance(static_cast<DriverInstance*>(instance_p));
}

void prepareFork() {
    instancePool().lockForFork();
    HandleTable::instance().lockForFork();
}

void resumeParentAfterFork() {
    HandleTable::instance().unlockAfterFork();
    instancePool().unlockAfterFork();
}

// Only the forking thread exists in the child; its key value goes too, or the thread's exit
// would stop (join) an instance whose thread is the parent's.
void forgetInstancesInChild() {
    HandleTable::instance().unlockAfterFork();
    instancePool().forgetAfterFork();
    threadInstance_p = nullptr;
    if (exitKeyResult_g == 0) {
        pthread_setspecific(exitKey_g, nullptr);
    }
}

const int forkHandlersResult_g =
    pthread_atfork(prepareFork, resumeParentAfterFork, forgetInstancesInChild);

void createExitKey() { exitKeyResult_g = pthread_key_create(&exitKey_g, stopOnThreadExit); }

bool validArming(const struct timespec* value, int flags) {
    return value != nullptr && flags == 0 && value->tv_sec >= 0 && value->tv_nsec >= 0 &&
           value->tv_nsec < kNsPerSecond;
}

class ThreadBackend : public PtimerBackend {
public:
    int init() override;
    int shutdown() override;
    int create(ptimer* user, ptimer_callback_t callback, void* context_p, bool absolute) override;
    int arm(ptimer* user, const struct timespec* value, int flags) override;
    int remove(ptimer* user) override;
};

int ThreadBackend::init() {
    if (threadInstance_p != nullptr) {
        return 0;
    }
    // Without the fork handlers, a forked child would inherit instances it cannot run.
    pthread_once(&exitKeyOnce_g, createExitKey);
    if (exitKeyResult_g != 0 || forkHandlersResult_g != 0) {
        return -1;
    }
    DriverInstance* instance_p = instancePool().acquire();
    if (instance_p == nullptr) {
        return -1;
    }
    if (instance_p->start() != 0) {
        instancePool().release(instance_p);
        return -1;
    }
    if (pthread_setspecific(exitKey_g, instance_p) != 0) {
        stopInstance(instance_p);
        return -1;
    }
    threadInstance_p = instance_p;
    return 0;
}

int ThreadBackend::shutdown() {
    DriverInstance* instance_p = threadInstance_p;
    if (instance_p == nullptr) {
        return -1;
    }
    threadInstance_p = nullptr;
    pthread_setspecific(exitKey_g, nullptr);
    stopInstance(instance_p);
    return 0;
}

int ThreadBackend::create(ptimer* user, ptimer_callback_t callback, void* context_p,
                          bool absolute) {
    DriverInstance* instance_p = threadInstance_p;
    if (instance_p == nullptr || user == nullptr || callback == nullptr) {
        return -1;
    }
    HandleTable& table = HandleTable::instance();
    RecordRef ref;
    if (table.lookup(user, ref)) {
        return -1;  // already a live timer: creating it again would leak its slot
    }
    TimerRecord* record_p = table.acquire(user);
    if (record_p == nullptr) {
        return -1;
    }
    __atomic_store_n(&user->isabstime, absolute ? 1 : 0, __ATOMIC_RELAXED);
    if (instance_p->attach(record_p, callback, context_p, absolute) != 0) {
        if (table.lookup(user, ref)) {
            table.release(user, ref);
        }
        return -1;
    }
    return 0;
}

int ThreadBackend::arm(ptimer* user, const struct timespec* value, int flags) {
    if (!validArming(value, flags)) {
        return -1;
    }
    RecordRef ref;
    if (!HandleTable::instance().lookup(user, ref)) {
        return -1;
    }
    DriverInstance* instance_p =
        instanceNumbered(ref.record_p->instance_m.load(std::memory_order_acquire));
    if (instance_p == nullptr) {
        return -1;  // its instance was shut down
    }
    return instance_p->arm(user, ref, *value);
}

// A record whose instance was shut down (or is gone meanwhile) is only released.
int ThreadBackend::remove(ptimer* user) {
    HandleTable& table = HandleTable::instance();
    RecordRef ref;
    if (!table.lookup(user, ref)) {
        return -1;
    }
    DriverInstance* instance_p =
        instanceNumbered(ref.record_p->instance_m.load(std::memory_order_acquire));
    if (instance_p != nullptr && instance_p->detach(user, ref) == DriverInstance::refused_c) {
        return -1;
    }
    return table.release(user, ref) ? 0 : -1;
}

}  // namespace

PtimerBackend& realPtimerBackend() {
    // Never destroyed: driver threads may call into it while the process exits.
    static ThreadBackend* backend_p = new ThreadBackend();
    return *backend_p;
}

}  // namespace detail
}  // namespace cmn
