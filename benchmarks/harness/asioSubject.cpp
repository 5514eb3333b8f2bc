// Boost.Asio as a subject: an io_context and one steady_timer per timer, allocated on its own.
// steady_clock is CLOCK_MONOTONIC, so a deadline is given exactly. A periodic timer re-arms
// from its handler, one period after the delivery.
#include "subject.h"

#if CTM_BENCH_HAVE_ASIO
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <vector>

namespace bench {

namespace {

typedef boost::asio::steady_timer Timer;

Timer::time_point toTimePoint(int64_t deadlineNs) {
    return Timer::time_point(std::chrono::nanoseconds(deadlineNs));
}

class AsioSubject : public Subject {
public:
    // Concurrency hint 1: one thread runs the context, as a single-threaded user would say.
    AsioSubject() : io_m(1) {}
    // The process ends right after; the timers are left to it.
    ~AsioSubject() override {}

    void prepare(size_t timers) override { timers_m.resize(timers, nullptr); }
    bool startOneShotAt(uint32_t index, int64_t deadlineNs) override {
        Timer* timer_p = timerFor(index);
        timer_p->expires_at(toTimePoint(deadlineNs));
        timer_p->async_wait([index](const boost::system::error_code& error) {
            if (!error) {
                expiryLog().record(index);
            }
        });
        return true;
    }
    bool startPeriodic(uint32_t index, int64_t periodNs) override {
        armPeriodic(timerFor(index), index, std::chrono::nanoseconds(periodNs));
        return true;
    }
    void runUntil(const std::function<bool()>& done, int64_t untilNs) override {
        if (io_m.stopped()) {
            io_m.restart();
        }
        while (!done() && nowNs() < untilNs) {
            io_m.run_one_until(toTimePoint(untilNs));
            if (io_m.stopped()) {
                io_m.restart();
            }
        }
    }
    void runUntilStopped() override {
        boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work(
            io_m.get_executor());
        io_m.run();
    }
    void stop() override { io_m.stop(); }

private:
    void armPeriodic(Timer* timer_p, uint32_t index, std::chrono::nanoseconds period) {
        timer_p->expires_after(period);
        timer_p->async_wait([this, timer_p, index, period](const boost::system::error_code& error) {
            if (error) {
                return;
            }
            armPeriodic(timer_p, index, period);
            expiryLog().record(index);
        });
    }
    Timer* timerFor(uint32_t index) {
        if (index >= timers_m.size()) {
            timers_m.resize(index + 1, nullptr);
        }
        if (timers_m[index] == nullptr) {
            timers_m[index] = new Timer(io_m);
        }
        return timers_m[index];
    }

    boost::asio::io_context io_m;
    std::vector<Timer*> timers_m;
};

}  // namespace

Subject* makeAsioSubject() { return new AsioSubject(); }

}  // namespace bench

#else

namespace bench {
Subject* makeAsioSubject() { return nullptr; }
}  // namespace bench

#endif
