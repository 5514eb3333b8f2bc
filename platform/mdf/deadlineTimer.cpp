// A timerfd on the dispatcher loop that calls back at an absolute deadline.
#include "deadlineTimer.h"

#include <errno.h>
#include <string.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace mdf {
namespace detail {

DeadlineTimer::DeadlineTimer(const std::function<void()>& onDeadline,
                             const cmn::DbgModuleDescriptor* log_p)
    : onDeadline_m(onDeadline), log_mp(log_p), fd_m(-1), watched_m(false) {}

DeadlineTimer::~DeadlineTimer() {
    if (fd_m < 0) {
        return;
    }
    if (watched_m) {
        cmn::SingletonHolder<cmn::Dispatcher>::getInstance().removeClient(fd_m, fdReadEvent_c);
    }
    close(fd_m);
}

bool DeadlineTimer::start() {
    fd_m = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (fd_m < 0) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "timerfd_create failed: %m");
        return false;
    }
    watched_m = cmn::SingletonHolder<cmn::Dispatcher>::getInstance().addClient(this, fdReadEvent_c);
    if (!watched_m) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "%s", "the dispatcher refused the deadline timer");
    }
    return watched_m;
}

void DeadlineTimer::armAt(int64_t deadlineMs) {
    struct itimerspec when;
    memset(&when, 0, sizeof(when));
    when.it_value.tv_sec = static_cast<time_t>(deadlineMs / 1000);
    when.it_value.tv_nsec = static_cast<long>(deadlineMs % 1000) * 1000000L;
    if (timerfd_settime(fd_m, TFD_TIMER_ABSTIME, &when, nullptr) != 0) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "timerfd_settime(%d) failed: %m", fd_m);
    }
}

void DeadlineTimer::closeDescriptorInChild() {
    if (fd_m >= 0) {
        close(fd_m);
        fd_m = -1;
    }
}

bool DeadlineTimer::socketCallback(int /*socketFd*/) {
    uint64_t expirations;
    ssize_t got;
    do {
        got = read(fd_m, &expirations, sizeof(expirations));
    } while (got < 0 && errno == EINTR);
    // EAGAIN: a re-arm after the expiry already cleared it; the callback is harmless then.
    onDeadline_m();
    return true;
}

}  // namespace detail
}  // namespace mdf
