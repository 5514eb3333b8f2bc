// The timer driver's seam: every ptimer_* function forwards to the process's PtimerBackend.
//
// The real backend (threadBackend.cpp) is installed from the start; tests install a fake with
// setPtimerBackend() before they create any manager and restore the previous one afterwards.
// Private to the platform layer and its tests.
// Thread: setPtimerBackend is not synchronised with ptimer_* calls in flight; swap backends
// only while no timer exists.
#ifndef PLATFORM_PTIMERS_PTIMERSBACKEND_H
#define PLATFORM_PTIMERS_PTIMERSBACKEND_H

#include "ptimers.h"

namespace cmn {
namespace detail {

class PtimerBackend {
public:
    virtual ~PtimerBackend() {}
    // ptimer_init_default and ptimer_shutdown, for the calling thread.
    virtual int init() = 0;
    virtual int shutdown() = 0;
    // ptimer_create (absolute false) and ptimer_create_cs (absolute true).
    virtual int create(ptimer* user, ptimer_callback_t callback, void* context_p,
                       bool absolute) = 0;
    // ptimer_settime.
    virtual int arm(ptimer* user, const struct timespec* value, int flags) = 0;
    // ptimer_delete.
    virtual int remove(ptimer* user) = 0;
};

// Installs backend_p for every later ptimer_* call of the process; null reinstalls the real
// driver. Returns the backend that was installed before.
PtimerBackend* setPtimerBackend(PtimerBackend* backend_p);

// The real, thread-backed driver.
PtimerBackend& realPtimerBackend();

}  // namespace detail
}  // namespace cmn

#endif  // PLATFORM_PTIMERS_PTIMERSBACKEND_H
