// libuv as a subject: one uv_timer_t per timer, allocated on its own as a user's object would
// hold it. libuv counts in whole milliseconds of its cached loop time, so a deadline is
// rounded up to the next millisecond (the timer then never fires before it).
#include "subject.h"

#if CTM_BENCH_HAVE_LIBUV
#include <uv.h>

#include <vector>

namespace bench {

namespace {

void onTimer(uv_timer_t* timer_p) {
    expiryLog().record(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(timer_p->data)));
}

void onStop(uv_async_t* async_p) { uv_stop(async_p->loop); }

class LibuvSubject : public Subject {
public:
    LibuvSubject() {
        uv_loop_init(&loop_m);
        uv_timer_init(&loop_m, &guard_m);
        uv_unref(reinterpret_cast<uv_handle_t*>(&guard_m));
    }
    // The process ends right after; the loop's handles are left to it.
    ~LibuvSubject() override {}

    void prepare(size_t timers) override { timers_m.resize(timers, nullptr); }
    bool startOneShotAt(uint32_t index, int64_t deadlineNs) override {
        uv_update_time(&loop_m);
        uint64_t deadlineMs = static_cast<uint64_t>((deadlineNs + 999999) / 1000000);
        uint64_t nowMs = uv_now(&loop_m);
        return uv_timer_start(timerFor(index), onTimer, deadlineMs > nowMs ? deadlineMs - nowMs : 0,
                              0) == 0;
    }
    bool startPeriodic(uint32_t index, int64_t periodNs) override {
        uint64_t periodMs = static_cast<uint64_t>((periodNs + 999999) / 1000000);
        return uv_timer_start(timerFor(index), onTimer, periodMs, periodMs) == 0;
    }
    // The guard timer makes a round return by untilNs when nothing else happens.
    void runUntil(const std::function<bool()>& done, int64_t untilNs) override {
        uv_update_time(&loop_m);
        uv_timer_start(
            &guard_m, [](uv_timer_t*) {}, static_cast<uint64_t>(remainingMs(untilNs)), 0);
        uv_ref(reinterpret_cast<uv_handle_t*>(&guard_m));
        while (!done() && nowNs() < untilNs) {
            uv_run(&loop_m, UV_RUN_ONCE);
        }
        uv_timer_stop(&guard_m);
        uv_unref(reinterpret_cast<uv_handle_t*>(&guard_m));
    }
    void runUntilStopped() override {
        uv_async_init(&loop_m, &stop_m, onStop);
        uv_run(&loop_m, UV_RUN_DEFAULT);
    }
    void stop() override { uv_async_send(&stop_m); }

private:
    uv_timer_t* timerFor(uint32_t index) {
        if (index >= timers_m.size()) {
            timers_m.resize(index + 1, nullptr);
        }
        if (timers_m[index] == nullptr) {
            timers_m[index] = new uv_timer_t;
            uv_timer_init(&loop_m, timers_m[index]);
            timers_m[index]->data = reinterpret_cast<void*>(static_cast<uintptr_t>(index));
        }
        return timers_m[index];
    }

    uv_loop_t loop_m;
    uv_timer_t guard_m;
    uv_async_t stop_m;
    std::vector<uv_timer_t*> timers_m;
};

}  // namespace

Subject* makeLibuvSubject() { return new LibuvSubject(); }

}  // namespace bench

#else

namespace bench {
Subject* makeLibuvSubject() { return nullptr; }
}  // namespace bench

#endif
