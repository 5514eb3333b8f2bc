// cmn::detail::EpollSet: one epoll instance with its wake-up eventfd, the kernel side of one
// dispatcher loop. Private to the dispatcher.
//
// Owns both descriptors (close-on-exec) and closes them when destroyed or on closeDescriptors().
// Each watched descriptor carries a caller-chosen 64-bit value in epoll_event::data.u64; the
// wake-up descriptor carries wakeMarker.
// Errors: open(), wait() and drainWake() log their failures through the module given to open();
// update() and wake() return the errno instead, because their callers hold locks and log after
// releasing them.
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
    // EPOLLPRI bits), tagging its reports with `data`: adds the descriptor when oldMask is 0,
    // deletes it when newMask is 0, modifies it otherwise. Returns 0, or the errno of the failed
    // epoll_ctl (not logged). Deleting a descriptor that was already closed counts as done.
    int update(int fd, uint32_t oldMask, uint32_t newMask, uint64_t data);

    // epoll_wait for up to maxEvents events; timeoutMs negative waits without limit. Returns the
    // number of events, 0 on timeout or EINTR, -1 on any other failure (logged).
    int wait(struct epoll_event* events_p, int maxEvents, int timeoutMs);

    // Makes the current or next wait() return. Returns 0, or the errno of the failed write (not
    // logged). Safe from any thread.
    int wake();
    // Consumes pending wake-ups so the next wait() blocks again.
    void drainWake();

    // Closes both descriptors now (a forked child's copies); the set is then unusable.
    void closeDescriptors();

    int epollFd() const { return epollFd_m; }
    int wakeFd() const { return wakeFd_m; }

    // "EPOLL_CTL_ADD", "EPOLL_CTL_MOD" or "EPOLL_CTL_DEL": what update() does for the masks.
    static const char* operationName(uint32_t oldMask, uint32_t newMask);

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
