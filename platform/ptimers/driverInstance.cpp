// DriverInstance: descriptors, the driver thread and its loop, start and stop.
#include "driverInstance.h"

#include <errno.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <new>

#include "driverTime.h"

namespace cmn {
namespace detail {

namespace {

const int kMaxEvents = 3;  // two timerfds and the wake-up eventfd

void ignoreInterrupt(int) {}

// Installed once per process. Without SA_RESTART, so that a send blocked in a callback fails
// with EINTR when a re-arming, deleting or stopping thread signals the driver thread.
int installInterruptHandler() {
    static const int result = [] {
        struct sigaction action = {};
        action.sa_handler = ignoreInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        return sigaction(interruptSignal(), &action, nullptr);
    }();
    return result;
}

void closeIfOpen(int& fd_r) {
    if (fd_r >= 0) {
        close(fd_r);
        fd_r = -1;
    }
}

int watch(int epollFd, int fd, uint32_t events) {
    struct epoll_event event = {};
    event.events = events;
    event.data.fd = fd;
    return epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event);
}

// Only the interrupt signal may reach the driver thread; every other signal is for the
// application's own threads.
void prepareDriverThread() {
    if (prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) != 0) {
        PTIMER_SYSLOG(LOG_ERR, "prctl(PR_SET_TIMERSLACK) failed: %m");
    }
    pthread_setname_np(pthread_self(), "ptimer-driver");
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, interruptSignal());
    pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
}

}  // namespace

int interruptSignal() { return SIGRTMIN + 5; }

int DriverInstance::openDescriptors() {
    epollFd_m = epoll_create1(EPOLL_CLOEXEC);
    monotonic_m.fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    realtime_m.fd = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    wakeFd_m = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // The timerfds are watched edge-triggered: each expiry is reported once, so the driver never
    // has to read them to clear them. Programming a timerfd again clears its expiry count.
    if (epollFd_m < 0 || monotonic_m.fd < 0 || realtime_m.fd < 0 || wakeFd_m < 0 ||
        watch(epollFd_m, monotonic_m.fd, EPOLLIN | EPOLLET) != 0 ||
        watch(epollFd_m, realtime_m.fd, EPOLLIN | EPOLLET) != 0 ||
        watch(epollFd_m, wakeFd_m, EPOLLIN) != 0) {
        const int error = errno;
        closeDescriptors();
        errno = error;
        return -1;
    }
    return 0;
}

void DriverInstance::closeDescriptors() {
    closeIfOpen(epollFd_m);
    closeIfOpen(monotonic_m.fd);
    closeIfOpen(realtime_m.fd);
    closeIfOpen(wakeFd_m);
}

int DriverInstance::startThread() {
    // The thread inherits a mask with every signal blocked, so none can reach it before it
    // has set itself up.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const int error = pthread_create(&thread_m, nullptr, threadMain, this);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

void DriverInstance::resetLocked() {
    monotonic_m.armedNs = kNoDeadline;
    realtime_m.armedNs = kNoDeadline;
    firingBatch_m = false;
    firing_mp.store(nullptr);
}

int DriverInstance::start() {
    if (installInterruptHandler() != 0) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(mutex_m);
    resetLocked();
    if (openDescriptors() != 0) {
        return -1;
    }
    if (startThread() != 0) {
        closeDescriptors();
        return -1;
    }
    stopping_m = false;
    return 0;
}

void DriverInstance::stop() {
    {
        std::unique_lock<std::mutex> lock(mutex_m);
        if (stopping_m) {
            return;
        }
        stopping_m = true;
        const uint64_t one = 1;
        if (write(wakeFd_m, &one, sizeof(one)) != static_cast<ssize_t>(sizeof(one))) {
            PTIMER_SYSLOG(LOG_ERR, "write(eventfd %d) failed: %m", wakeFd_m);
        }
        awaitCallbackLocked(lock, nullptr);
    }
    pthread_join(thread_m, nullptr);
    std::lock_guard<std::mutex> lock(mutex_m);
    orphanRecordsLocked();
    closeDescriptors();
}

// Records attached in the run that ends here no longer match run_m: every later operation on
// them sees them orphaned.
void DriverInstance::orphanRecordsLocked() {
    monotonic_m.heap.clear();
    realtime_m.heap.clear();
    ++run_m;
}

// A thread of the parent may have been waiting on callbackDone_m at the fork; the child's copy
// of the condition variable would still count it, so it is made afresh. The mutex was locked by
// this very thread in the prepare handler and is simply released.
void DriverInstance::forgetAfterFork() {
    new (&callbackDone_m) std::condition_variable();
    stopping_m = true;
    firing_mp.store(nullptr);
    firingBatch_m = false;
    waiters_m.store(0);
    orphanRecordsLocked();
    closeDescriptors();
    mutex_m.unlock();
}

void* DriverInstance::threadMain(void* self_p) {
    prepareDriverThread();
    static_cast<DriverInstance*>(self_p)->run();
    return nullptr;
}

void DriverInstance::run() {
    std::unique_lock<std::mutex> lock(mutex_m);
    while (!stopping_m) {
        fireDue(lock);
        if (stopping_m) {
            break;
        }
        if (programIfEarlierLocked(monotonic_m) != 0 || programIfEarlierLocked(realtime_m) != 0) {
            PTIMER_SYSLOG(LOG_ERR, "timerfd_settime failed: %m");
        }
        waitForEvents(lock);
    }
}

void DriverInstance::waitForEvents(std::unique_lock<std::mutex>& lock_r) {
    struct epoll_event events[kMaxEvents];
    lock_r.unlock();
    int count;
    do {
        count = epoll_wait(epollFd_m, events, kMaxEvents, -1);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        PTIMER_SYSLOG(LOG_ERR, "epoll_wait(%d) failed: %m", epollFd_m);
        // Cannot happen with our own descriptor; pause so a broken loop does not spin.
        usleep(100000);
    }
    lock_r.lock();
    for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        // An expiry leaves the timerfd disarmed, or armed for a time gone by if an arming
        // re-programmed it meanwhile: either way it is programmed afresh.
        if (fd == monotonic_m.fd) {
            monotonic_m.armedNs = kNoDeadline;
        } else if (fd == realtime_m.fd) {
            realtime_m.armedNs = kNoDeadline;
        } else {
            // The stop request itself is stopping_m; the read only clears the readiness.
            uint64_t value;
            if (read(wakeFd_m, &value, sizeof(value)) < 0 && errno != EAGAIN) {
                PTIMER_SYSLOG(LOG_ERR, "read(eventfd %d) failed: %m", wakeFd_m);
            }
        }
    }
}

}  // namespace detail
}  // namespace cmn
