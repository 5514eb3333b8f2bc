// The kernel side of a dispatcher loop: an epoll instance and its wake-up eventfd.
#include "epollSet.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace cmn {
namespace detail {

namespace {

int operationOf(uint32_t oldMask, uint32_t newMask) {
    if (oldMask == 0) {
        return EPOLL_CTL_ADD;
    }
    return newMask == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
}

void closeDescriptor(int fd) {
    // close() is not retried after EINTR: on Linux the descriptor is released either way.
    if (fd >= 0) {
        close(fd);
    }
}

}  // namespace

const uint64_t EpollSet::wakeMarker;

EpollSet::EpollSet() : epollFd_m(-1), wakeFd_m(-1), log_mp(nullptr) {}

EpollSet::~EpollSet() { closeDescriptors(); }

void EpollSet::closeDescriptors() {
    closeDescriptor(wakeFd_m);
    closeDescriptor(epollFd_m);
    wakeFd_m = -1;
    epollFd_m = -1;
}

const char* EpollSet::operationName(uint32_t oldMask, uint32_t newMask) {
    switch (operationOf(oldMask, newMask)) {
        case EPOLL_CTL_ADD:
            return "EPOLL_CTL_ADD";
        case EPOLL_CTL_MOD:
            return "EPOLL_CTL_MOD";
        default:
            return "EPOLL_CTL_DEL";
    }
}

bool EpollSet::open(const DbgModuleDescriptor* log_p) {
    log_mp = log_p;
    epollFd_m = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_m < 0) {
        log_mp->dbgLog_critical(__FILE__, __LINE__, "epoll_create1 failed: %m");
        return false;
    }
    wakeFd_m = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_m < 0) {
        log_mp->dbgLog_critical(__FILE__, __LINE__, "eventfd for epoll %d failed: %m", epollFd_m);
        return false;
    }
    struct epoll_event event = {};
    event.events = EPOLLIN;
    event.data.u64 = wakeMarker;
    if (epoll_ctl(epollFd_m, EPOLL_CTL_ADD, wakeFd_m, &event) != 0) {
        log_mp->dbgLog_critical(__FILE__, __LINE__,
                                "epoll_ctl(EPOLL_CTL_ADD) of wake-up eventfd %d on epoll %d "
                                "failed: %m",
                                wakeFd_m, epollFd_m);
        return false;
    }
    return true;
}

int EpollSet::update(int fd, uint32_t oldMask, uint32_t newMask, uint64_t data) {
    int op = operationOf(oldMask, newMask);
    struct epoll_event event = {};
    event.events = newMask;
    event.data.u64 = data;
    if (epoll_ctl(epollFd_m, op, fd, &event) == 0) {
        return 0;
    }
    // The kernel drops a descriptor from every epoll set when its last reference is closed.
    if (op == EPOLL_CTL_DEL && (errno == EBADF || errno == ENOENT)) {
        return 0;
    }
    return errno;
}

int EpollSet::wait(struct epoll_event* events_p, int maxEvents, int timeoutMs) {
    int ready = epoll_wait(epollFd_m, events_p, maxEvents, timeoutMs);
    if (ready >= 0) {
        return ready;
    }
    if (errno == EINTR) {
        return 0;
    }
    log_mp->dbgLog_critical(__FILE__, __LINE__, "epoll_wait on epoll %d failed: %m", epollFd_m);
    return -1;
}

int EpollSet::wake() {
    uint64_t one = 1;
    while (write(wakeFd_m, &one, sizeof(one)) < 0) {
        if (errno == EINTR) {
            continue;
        }
        // EAGAIN: the counter is saturated, so a wake-up is already pending.
        return errno == EAGAIN ? 0 : errno;
    }
    return 0;
}

void EpollSet::drainWake() {
    uint64_t count = 0;
    while (read(wakeFd_m, &count, sizeof(count)) < 0) {
        if (errno == EINTR) {
            continue;
        }
        // EAGAIN: nothing was pending.
        if (errno != EAGAIN) {
            log_mp->dbgLog_critical(__FILE__, __LINE__, "read of wake-up eventfd %d failed: %m",
                                    wakeFd_m);
        }
        return;
    }
}

}  // namespace detail
}  // namespace cmn
