// cmn::PThreadMutex: a scoped critical section over a pthread_mutex_t owned by the caller.
//
// Construction locks, destruction unlocks. The object never initialises or destroys the mutex
// and adds no recursion count: locking twice through one object is the mutex type's business.
// Thread: an object belongs to the thread that made it.
#ifndef EXPORT_CRITICALSECTION_H
#define EXPORT_CRITICALSECTION_H

#include <pthread.h>

namespace cmn {

// A scoped critical section over a mutex that the caller owns.
class PThreadMutex {
public:
    // Binds to `mutex` and locks it.
    explicit PThreadMutex(pthread_mutex_t& mutex) : isAcquired_m(false), mutex_rm(mutex) {
        beginCriticalSection();
    }

    // Unlocks the mutex if this object still holds it.
    virtual ~PThreadMutex() { endCriticalSection(); }

    // Locks the mutex; isAcquired() tells whether the lock succeeded.
    void beginCriticalSection() { isAcquired_m = (pthread_mutex_lock(&mutex_rm) == 0); }

    // Unlocks the mutex when this object holds it; a failed unlock leaves it held.
    void endCriticalSection() {
        if (!isAcquired_m) {
            return;
        }
        if (pthread_mutex_unlock(&mutex_rm) == 0) {
            isAcquired_m = false;
        }
    }

    // Whether this object holds the mutex now.
    bool isAcquired() const { return isAcquired_m; }

private:
    PThreadMutex(const PThreadMutex&) = delete;
    PThreadMutex& operator=(const PThreadMutex&) = delete;

    bool isAcquired_m;
    pthread_mutex_t& mutex_rm;
};

}  // namespace cmn

#endif  // EXPORT_CRITICALSECTION_H
