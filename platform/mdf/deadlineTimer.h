// mdf::detail::DeadlineTimer: a timerfd watched by the calling thread's dispatcher loop, which
// calls back when an absolute CLOCK_MONOTONIC deadline passes.
//
// The command socket arms it at the earliest deadline of its connections and disarms it when
// there is none, so an idle server never wakes.
// Ownership: owns its descriptor. Thread: start() on the loop's thread, which then runs the
// callback; armAt() and the destructor on that thread too.
#ifndef PLATFORM_MDF_DEADLINETIMER_H
#define PLATFORM_MDF_DEADLINETIMER_H

#include <stdint.h>

#include <functional>
#include <string>

#include "commonDispatcher.h"
#include "dbgLog.h"

namespace mdf {
namespace detail {

class DeadlineTimer : public cmn::ADispatcherClient {
public:
    DeadlineTimer(const std::function<void()>& onDeadline, const cmn::DbgModuleDescriptor* log_p);
    // Stops watching the descriptor and closes it.
    ~DeadlineTimer() override;

    // Makes the timerfd and has the calling thread's loop watch it. False (logged) on failure.
    bool start();
    // Calls back once CLOCK_MONOTONIC reaches deadlineMs (milliseconds); 0 disarms. A failure is
    // logged.
    void armAt(int64_t deadlineMs);
    // In a forked child: closes this process's copy of the descriptor, and nothing else.
    void closeDescriptorInChild();

    int getPrimarySocket() override { return fd_m; }
    std::string getSocketName(int /*socketFd*/) const override { return "mdf::Server timer"; }

private:
    DeadlineTimer(const DeadlineTimer&) = delete;
    DeadlineTimer& operator=(const DeadlineTimer&) = delete;

    bool socketCallback(int socketFd) override;

    std::function<void()> onDeadline_m;
    const cmn::DbgModuleDescriptor* log_mp;
    int fd_m;
    bool watched_m;
};

}  // namespace detail
}  // namespace mdf

#endif  // PLATFORM_MDF_DEADLINETIMER_H
