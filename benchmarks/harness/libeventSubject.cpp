// libevent as a subject: an event base with EVENT_BASE_FLAG_PRECISE_TIMER (a timerfd and the
// precise monotonic clock), one evtimer per timer. Deadlines are given to it as delays in
// microseconds, rounded up. A periodic timer is an EV_PERSIST timer.
#include "subject.h"

#if CTM_BENCH_HAVE_LIBEVENT
#include <event2/event.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <vector>

namespace bench {

namespace {

void onTimer(evutil_socket_t, short, void* arg_p) {
    expiryLog().record(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg_p)));
}

void onStop(evutil_socket_t fd, short, void* base_p) {
    uint64_t value;
    if (read(fd, &value, sizeof(value)) < 0) {
        // Nothing to clear: the break below is what counts.
    }
    event_base_loopbreak(static_cast<event_base*>(base_p));
}

timeval toTimeval(int64_t delayNs) {
    int64_t us = delayNs <= 0 ? 0 : (delayNs + 999) / 1000;
    timeval tv;
    tv.tv_sec = static_cast<time_t>(us / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
    return tv;
}

class LibeventSubject : public Subject {
public:
    LibeventSubject() {
        event_config* config_p = event_config_new();
        event_config_set_flag(config_p, EVENT_BASE_FLAG_PRECISE_TIMER);
        base_mp = event_base_new_with_config(config_p);
        event_config_free(config_p);
        stopFd_m = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    // The process ends right after; the events are left to it.
    ~LibeventSubject() override {}

    void prepare(size_t timers) override { timers_m.resize(timers, nullptr); }
    bool startOneShotAt(uint32_t index, int64_t deadlineNs) override {
        event* event_p = timerFor(index, 0);
        timeval delay = toTimeval(deadlineNs - nowNs());
        return evtimer_add(event_p, &delay) == 0;
    }
    bool startPeriodic(uint32_t index, int64_t periodNs) override {
        event* event_p = timerFor(index, EV_PERSIST);
        timeval period = toTimeval(periodNs);
        return evtimer_add(event_p, &period) == 0;
    }
    void runUntil(const std::function<bool()>& done, int64_t untilNs) override {
        event* guard_p = evtimer_new(
            base_mp, [](evutil_socket_t, short, void*) {}, nullptr);
        timeval left = toTimeval(untilNs - nowNs());
        evtimer_add(guard_p, &left);
        while (!done() && nowNs() < untilNs) {
            event_base_loop(base_mp, EVLOOP_ONCE);
        }
        event_free(guard_p);
    }
    void runUntilStopped() override {
        event* stop_p = event_new(base_mp, stopFd_m, EV_READ, onStop, base_mp);
        event_add(stop_p, nullptr);
        event_base_loop(base_mp, EVLOOP_NO_EXIT_ON_EMPTY);
        event_free(stop_p);
    }
    void stop() override {
        uint64_t one = 1;
        if (write(stopFd_m, &one, sizeof(one)) < 0) {
            // The loop then runs on; the harness's own timeout ends the child.
        }
    }

private:
    event* timerFor(uint32_t index, short flags) {
        if (index >= timers_m.size()) {
            timers_m.resize(index + 1, nullptr);
        }
        if (timers_m[index] == nullptr) {
            timers_m[index] = event_new(base_mp, -1, flags, onTimer,
                                        reinterpret_cast<void*>(static_cast<uintptr_t>(index)));
        }
        return timers_m[index];
    }

    event_base* base_mp = nullptr;
    int stopFd_m = -1;
    std::vector<event*> timers_m;
};

}  // namespace

Subject* makeLibeventSubject() { return new LibeventSubject(); }

}  // namespace bench

#else

namespace bench {
Subject* makeLibeventSubject() { return nullptr; }
}  // namespace bench

#endif
