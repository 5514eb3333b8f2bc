// cmn::SingletonPerThread<T>: one lazily created instance of T per thread.
//
// The first getInstance() in a thread creates that thread's instance with `new T()` (T may
// keep its constructor private and befriend this template). The instance is destroyed on its
// own thread, at thread exit by the key's destructor or earlier by deleteInstance(); the next
// getInstance() then creates a fresh one.
// Thread: each call acts on the calling thread's instance only; no lock is taken.
#ifndef EXPORT_SINGLETONPERTHREAD_H
#define EXPORT_SINGLETONPERTHREAD_H

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

namespace cmn {

// One instance of T per thread, made on first use and destroyed on its own thread.
template <class T>
class SingletonPerThread {
public:
    // The calling thread's instance, created on the first call in that thread. Ends the process
    // with a message on standard error when the thread's value cannot be stored, rather than
    // hand out a reference to nothing.
    static T& getInstance() {
        pthread_once(&singleton_key_once_sm, singletonAlloc);
        if (pthread_getspecific(singleton_key_sm) == nullptr) {
            T* instance_p = new T();
            if (pthread_setspecific(singleton_key_sm, instance_p) != 0) {
                delete instance_p;
            }
        }
        void* value_p = pthread_getspecific(singleton_key_sm);
        if (value_p == nullptr) {
            fputs("cmn::SingletonPerThread: pthread_setspecific failed, no instance to return\n",
                  stderr);
            abort();
        }
        return *static_cast<T*>(value_p);
    }

    // Destroys the calling thread's instance, if any.
    static void deleteInstance() {
        pthread_once(&singleton_key_once_sm, singletonAlloc);
        deleteInstance(pthread_getspecific(singleton_key_sm));
    }

    // The thread-specific key that holds each thread's instance (0 until the first call).
    static pthread_key_t getSingletonKey() { return singleton_key_sm; }

private:
    SingletonPerThread() = delete;
    SingletonPerThread(const SingletonPerThread&) = delete;
    SingletonPerThread& operator=(const SingletonPerThread&) = delete;

    static void singletonAlloc() { pthread_key_create(&singleton_key_sm, deleteInstance); }

    // At thread exit the threads library clears the value before it calls this routine; the
    // value is stored again first, so that code run by T's destructor on this thread still
    // reaches the dying instance instead of creating a new one.
    static void deleteInstance(void* p) {
        if (p == nullptr) {
            return;
        }
        pthread_setspecific(singleton_key_sm, p);
        delete static_cast<T*>(p);
        pthread_setspecific(singleton_key_sm, nullptr);
    }

    static pthread_key_t singleton_key_sm;
    static pthread_once_t singleton_key_once_sm;
};

template <class T>
pthread_key_t SingletonPerThread<T>::singleton_key_sm = 0;
template <class T>
pthread_once_t SingletonPerThread<T>::singleton_key_once_sm = PTHREAD_ONCE_INIT;

}  // namespace cmn

#endif  // EXPORT_SINGLETONPERTHREAD_H
