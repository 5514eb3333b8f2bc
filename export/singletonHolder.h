// cmn::SingletonHolder<T>: one lazily created, process-wide instance of T.
//
// The first getInstance() creates the instance with T's default constructor under mutex_sm;
// the instance then lives for the rest of the process (the library never deletes it). The
// pointer is published with release semantics and read with acquire semantics, so a thread
// that sees it also sees the constructed object.
//
// fork(): mutex_sm is held through a detail::CreationLock, which the library's fork handler
// knows. A child of fork() finds every creation lock free, except those its own thread holds
// (a constructor that forks): a creation that another thread of the parent had under way is
// abandoned in the child, whose first getInstance() makes an instance of its own. A fork never
// waits for a constructor, which may itself wait for a lock that a fork handler holds.
//
// The process-wide services (logger, dispatcher, command server) define their own
// instance_spm and mutex_sm in the component that provides them; their headers declare those
// explicit specialisations. Other types use the generic definitions below.
// Thread: every call may come from any thread.
#ifndef EXPORT_SINGLETONHOLDER_H
#define EXPORT_SINGLETONHOLDER_H

#include <pthread.h>

#include "criticalSection.h"

namespace cmn {

namespace detail {

// Holds a singleton's creation mutex for one scope (defined in the library).
// Construction records `mutex_r` for the library's fork handler and locks it; destruction
// unlocks it. Locks held by one thread nest, innermost last. In a child of fork(), every recorded
// mutex is made afresh, unlocked, except those the forking thread holds.
// Thread: an object belongs to the thread that made it.
class CreationLock {
public:
    explicit CreationLock(pthread_mutex_t& mutex_r);
    ~CreationLock();

private:
    friend class CreationLockTable;
    CreationLock(const CreationLock&) = delete;
    CreationLock& operator=(const CreationLock&) = delete;

    pthread_mutex_t& mutex_rm;
    CreationLock* outer_mp;  // the creation lock this thread held before, if any
};

}  // namespace detail

// The process-wide instance of T, made on first use and never deleted by the library.
template <class T>
class SingletonHolder {
public:
    // The process's instance, created on the first call.
    static T& getInstance() {
        T* instance_p = load();
        if (instance_p == nullptr) {
            detail::CreationLock lock(mutex_sm);
            instance_p = load();
            if (instance_p == nullptr) {
                instance_p = new T();
                __atomic_store_n(&instance_spm, instance_p, __ATOMIC_RELEASE);
            }
        }
        return *instance_p;
    }

    // Destroys the instance. Only for a process that knows no other thread uses it any more;
    // the library never calls it.
    static void deleteInstance() {
        detail::CreationLock lock(mutex_sm);
        T* instance_p = load();
        __atomic_store_n(&instance_spm, static_cast<T*>(nullptr), __ATOMIC_RELEASE);
        delete instance_p;
    }

private:
    SingletonHolder() = delete;
    SingletonHolder(const SingletonHolder&) = delete;
    SingletonHolder& operator=(const SingletonHolder&) = delete;

    static T* load() { return const_cast<T*>(__atomic_load_n(&instance_spm, __ATOMIC_ACQUIRE)); }

    static volatile T* instance_spm;
    static pthread_mutex_t mutex_sm;
};

template <class T>
volatile T* SingletonHolder<T>::instance_spm = nullptr;
template <class T>
pthread_mutex_t SingletonHolder<T>::mutex_sm = PTHREAD_MUTEX_INITIALIZER;

}  // namespace cmn

#endif  // EXPORT_SINGLETONHOLDER_H
