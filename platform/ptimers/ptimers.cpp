// The ptimer_* functions: each forwards to the installed PtimerBackend (the real driver unless
// a test installed another one).
#include <atomic>

#include "ptimersBackend.h"

namespace cmn {
namespace detail {

namespace {

// Null means the real driver.
std::atomic<PtimerBackend*> installedBackend_g{nullptr};

PtimerBackend& backend() {
    PtimerBackend* backend_p = installedBackend_g.load(std::memory_order_acquire);
    return backend_p != nullptr ? *backend_p : realPtimerBackend();
}

}  // namespace

PtimerBackend* setPtimerBackend(PtimerBackend* backend_p) {
    PtimerBackend* previous_p = installedBackend_g.exchange(backend_p, std::memory_order_acq_rel);
    return previous_p != nullptr ? previous_p : &realPtimerBackend();
}

}  // namespace detail
}  // namespace cmn

int ptimer_init_default(void) { return cmn::detail::backend().init(); }

int ptimer_shutdown(void) { return cmn::detail::backend().shutdown(); }

int ptimer_create(ptimer* user, ptimer_callback_t callback, void* context_p) {
    return cmn::detail::backend().create(user, callback, context_p, false);
}

int ptimer_create_cs(ptimer* user, ptimer_callback_t callback, void* context_p) {
    return cmn::detail::backend().create(user, callback, context_p, true);
}

int ptimer_settime(ptimer* user, const struct timespec* value, int flags) {
    return cmn::detail::backend().arm(user, value, flags);
}

int ptimer_delete(ptimer* user) { return cmn::detail::backend().remove(user); }
