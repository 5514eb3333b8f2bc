// mdf::detail::RecursiveLock: a recursive lock made of a plain mutex, its holder's thread id
// and a depth.
//
// A recursive pthread mutex records its owner's kernel thread id, which the child of a fork()
// does not have, so the child could not release one the forking thread held. This lock
// compares std::thread ids (pthread_self(), which the child's thread keeps), so the command
// server can hold it across fork() and release it on both sides.
// Thread: any; unlock() by the holder only.
#ifndef PLATFORM_MDF_RECURSIVELOCK_H
#define PLATFORM_MDF_RECURSIVELOCK_H

#include <pthread.h>

#include <atomic>
#include <thread>

namespace mdf {
namespace detail {

class RecursiveLock {
public:
    RecursiveLock() = default;
    ~RecursiveLock() { pthread_mutex_destroy(&mutex_m); }

    void lock() {
        if (holder_m.load() == std::this_thread::get_id()) {
            ++depth_m;
            return;
        }
        pthread_mutex_lock(&mutex_m);
        holder_m.store(std::this_thread::get_id());
        depth_m = 1;
    }
    void unlock() {
        if (--depth_m > 0) {
            return;
        }
        holder_m.store(std::thread::id());
        pthread_mutex_unlock(&mutex_m);
    }

    // Holds the lock for its scope.
    class Hold {
    public:
        explicit Hold(RecursiveLock& lock_r) : lock_rm(lock_r) { lock_rm.lock(); }
        ~Hold() { lock_rm.unlock(); }

    private:
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

        RecursiveLock& lock_rm;
    };

private:
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    // A plain mutex: any thread may unlock it, the child of a fork() included. A static
    // initialiser cannot fail.
    pthread_mutex_t mutex_m = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<std::thread::id> holder_m{std::thread::id()};
    int depth_m = 0;  // the holder's
};

}  // namespace detail
}  // namespace mdf

#endif  // PLATFORM_MDF_RECURSIVELOCK_H
