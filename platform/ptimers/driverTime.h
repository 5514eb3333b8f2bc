// Time arithmetic of the driver: deadlines are signed 64-bit nanosecond counts on their clock.
//
// Every conversion saturates, so an absurdly long delay becomes "practically never" instead of
// wrapping into the past. Also the driver thread's syslog helper (it has no module handle).
// Thread: pure functions, any thread.
#ifndef PLATFORM_PTIMERS_DRIVERTIME_H
#define PLATFORM_PTIMERS_DRIVERTIME_H

#include <stdint.h>
#include <syslog.h>
#include <time.h>

#include <limits>

namespace cmn {
namespace detail {

// The deadline of nothing armed; real deadlines are clamped below it.
const int64_t kNoDeadline = std::numeric_limits<int64_t>::max();
const int64_t kLatestDeadline = kNoDeadline - 1;
const int64_t kNsPerSecond = 1000000000;

inline int64_t clockNowNs(clockid_t clock) {
    struct timespec now;
    // Cannot fail for the two clocks the driver uses.
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

// baseNs + value, saturating at kLatestDeadline. value must be valid (tv_sec >= 0,
// tv_nsec < one second); baseNs must not be negative.
inline int64_t addSaturated(int64_t baseNs, const struct timespec& value) {
    const int64_t room = kLatestDeadline - baseNs;
    if (static_cast<int64_t>(value.tv_sec) > (room - value.tv_nsec) / kNsPerSecond) {
        return kLatestDeadline;
    }
    return baseNs + static_cast<int64_t>(value.tv_sec) * kNsPerSecond + value.tv_nsec;
}

// A timerfd absolute expiry for deadlineNs. A zero it_value would disarm the timer, so a
// deadline at or before the clock's origin becomes its first nanosecond: already passed.
inline struct itimerspec toTimerSpec(int64_t deadlineNs) {
    struct itimerspec setting = {};
    if (deadlineNs <= 0) {
        setting.it_value.tv_nsec = 1;
        return setting;
    }
    setting.it_value.tv_sec = static_cast<time_t>(deadlineNs / kNsPerSecond);
    setting.it_value.tv_nsec = static_cast<long>(deadlineNs % kNsPerSecond);
    return setting;
}

}  // namespace detail
}  // namespace cmn

// syslog with the source position in square brackets ahead of the text.
#define PTIMER_SYSLOG(priority, format, ...) \
    syslog(priority, "[%s:%d] " format, __FILE__, __LINE__, ##__VA_ARGS__)

#endif  // PLATFORM_PTIMERS_DRIVERTIME_H
