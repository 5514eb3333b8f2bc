// cmn::detail::EpollSet: one epoll instance with its wake-up eventfd, the kernel side of one
// dispatcher loop. Private to the dispatcher.
//
// Owns both descriptors (close-on-exec) and closes them when destroyed. Client descriptors are
// reported with their number in epoll_event::data.u64; the wake-up descriptor with wakeMarker.
// Every failure is logged through the module given to open(), naming the call and descriptor.
// Thread: wait() and drainWake() on the loop's thread; update() and wake() from any thread
// (the kernel serialises epoll_ctl against epoll_wait).
#ifndef PLATFORM_DISPATCHER_EPOLLSET_H
#define PLATFORM_DISPATCHER_EPOLLSET_H

#include <stdint.h>
#include <sys/epoll.h>

#include "dbgLog.h"

namespace cmn {
namespace detail {

class EpollSet {
public:
    static const uint64_t wakeMarker = UINT64_MAX;

    EpollSet();
    ~EpollSet();

    // Creates the epoll instance and the eventfd and watches the eventfd. False on failure
    // (logged); the set is then unusable.
    bool open(const DbgModuleDescriptor* log_p);

    // Changes what the kernel reports for `fd` from oldMask to newMask (EPOLLIN, EPOLLOUT,
    // EPOLLPRI bits): adds the descriptor when oldMask is 0, deletes it when newMask is 0,
    // modifies it otherwise. False on failure (logged). Deleting a descriptor that was already
    // closed counts as done.
    bool update(int fd, uint32_t oldMask, uint32_t newMask);

    // epoll_wait for up to maxEvents events; timeoutMs negative waits without limit. Returns the
    // number of events, 0 on timeout or EINTR, -1 on any other failure (logged).
    int wait(struct epoll_event* events_p, int maxEvents, int timeoutMs);

    // Makes the current or next wait() return. Safe from any thread.
    void wake();
    // Consumes pending wake-ups so the next wait() blocks again.
    void drainWake();

    int epollFd() const { return epollFd_m; }

private:
    EpollSet(const EpollSet&) = delete;
    EpollSet& operator=(const EpollSet&) = delete;

    int epollFd_m;
    int wakeFd_m;
    const DbgModuleDescriptor* log_mp;
};

}  // namespace detail
}  // namespace cmn

#endif  // PLATFORM_DISPATCHER_EPOLLSET_H
