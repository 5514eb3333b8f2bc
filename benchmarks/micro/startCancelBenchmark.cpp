// Start+cancel of a one-shot timer with 10,000 timers pending (far deadlines), in the library
// and in the peers.
//
// Earliest: the new timer's deadline (500 s) is before every pending one (1000 s to 2000 s).
// AmongOthers: its deadline is drawn among theirs. A cancelled library entry keeps its id and
// its driver timer until its armed expiry, so the library runs in batches of at most 40,000
// pairs; the manager is deleted and made again, with its 10,000 pending timers, outside the
// timed part.
// BackToBack: what a user who starts and cancels hour-long timers gets: 10,000 pending an hour
// ahead, then pairs an hour ahead back to back until the ids run out (the table and the
// driver's queue grow with every cancelled entry), and only then a fresh manager.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "commonTimerManager.h"

#if CTM_BENCH_HAVE_LIBUV
#include <uv.h>
#endif
#if CTM_BENCH_HAVE_LIBEVENT
#include <event2/event.h>
#endif
#if CTM_BENCH_HAVE_ASIO
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#endif

namespace {

typedef cmn::TimerManager Manager;

const uint32_t kPending = 10000;
const int kBatchPairs = 40000;
const uint32_t kEarliestMs = 500000;

// Deadlines among the pending ones, 1000 s to 2000 s, the same sequence for every subject.
const std::vector<uint32_t>& amongOthersMs() {
    static const std::vector<uint32_t> periods = [] {
        std::mt19937 random(7);
        std::uniform_int_distribution<uint32_t> pick(1000000, 2000000);
        std::vector<uint32_t> values(4096);
        for (uint32_t& value : values) {
            value = pick(random);
        }
        return values;
    }();
    return periods;
}

uint32_t pendingMs(uint32_t i) { return 1000000 + i * (1000000 / kPending); }

uint32_t periodMs(bool earliest, uint64_t i) {
    return earliest ? kEarliestMs : amongOthersMs()[i % amongOthersMs().size()];
}

class NullClient : public cmn::PATimerClient {
public:
    bool timerExpired(uint32_t, cmn::PAUserData*) override { return true; }
    std::string getClientName() const override { return "bench"; }
};

// The thread's manager with kPending timers pending: all at fixedMs when it is not 0,
// otherwise spread over 1000 s to 2000 s.
Manager& freshManager(NullClient& client_r, uint32_t fixedMs) {
    Manager& manager_r = cmn::SingletonPerThread<Manager>::getInstance();
    for (uint32_t i = 0; i < kPending; ++i) {
        uint32_t timerId = 0;
        manager_r.startOneShotTimer(timerId, fixedMs != 0 ? fixedMs : pendingMs(i), &client_r,
                                    nullptr, Manager::millisecondGranularity_c);
    }
    return manager_r;
}

const uint32_t kHourMs = 3600000;

void BM_StartCancel_LibraryBackToBack(benchmark::State& state) {
    NullClient client;
    Manager* manager_p = &freshManager(client, kHourMs);
    for (auto _ : state) {
        uint32_t timerId = 0;
        if (!manager_p->startOneShotTimer(timerId, kHourMs, &client, nullptr,
                                          Manager::millisecondGranularity_c)) {
            state.PauseTiming();
            cmn::SingletonPerThread<Manager>::deleteInstance();
            manager_p = &freshManager(client, kHourMs);
            state.ResumeTiming();
            manager_p->startOneShotTimer(timerId, kHourMs, &client, nullptr,
                                         Manager::millisecondGranularity_c);
        }
        manager_p->cancelTimer(timerId, false);
    }
    cmn::SingletonPerThread<Manager>::deleteInstance();
}
BENCHMARK(BM_StartCancel_LibraryBackToBack);

void startCancelLibrary(benchmark::State& state, bool earliest) {
    NullClient client;
    Manager* manager_p = &freshManager(client, 0);
    int pairs = 0;
    uint64_t i = 0;
    for (auto _ : state) {
        if (pairs == kBatchPairs) {
            state.PauseTiming();
            cmn::SingletonPerThread<Manager>::deleteInstance();
            manager_p = &freshManager(client, 0);
            pairs = 0;
            state.ResumeTiming();
        }
        uint32_t timerId = 0;
        manager_p->startOneShotTimer(timerId, periodMs(earliest, i++), &client, nullptr,
                                     Manager::millisecondGranularity_c);
        manager_p->cancelTimer(timerId, false);
        ++pairs;
    }
    cmn::SingletonPerThread<Manager>::deleteInstance();
}

void BM_StartCancel_LibraryEarliest(benchmark::State& state) { startCancelLibrary(state, true); }
void BM_StartCancel_LibraryAmongOthers(benchmark::State& state) {
    startCancelLibrary(state, false);
}
BENCHMARK(BM_StartCancel_LibraryEarliest);
BENCHMARK(BM_StartCancel_LibraryAmongOthers);

#if CTM_BENCH_HAVE_LIBUV
// One handle started and stopped, as a libuv user holds a handle per timer. With hourAhead the
// pending timers and the pairs are all an hour ahead (the back-to-back scenario).
void startCancelLibuv(benchmark::State& state, bool earliest, bool hourAhead) {
    uv_loop_t loop;
    uv_loop_init(&loop);
    std::vector<uv_timer_t> pending(kPending);
    for (uint32_t i = 0; i < kPending; ++i) {
        uv_timer_init(&loop, &pending[i]);
        uv_timer_start(
            &pending[i], [](uv_timer_t*) {}, hourAhead ? kHourMs : pendingMs(i), 0);
    }
    uv_timer_t timer;
    uv_timer_init(&loop, &timer);
    uint64_t i = 0;
    for (auto _ : state) {
        uv_timer_start(
            &timer, [](uv_timer_t*) {}, hourAhead ? kHourMs : periodMs(earliest, i++), 0);
        uv_timer_stop(&timer);
    }
    for (uv_timer_t& handle_r : pending) {
        uv_close(reinterpret_cast<uv_handle_t*>(&handle_r), nullptr);
    }
    uv_close(reinterpret_cast<uv_handle_t*>(&timer), nullptr);
    uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
}

void BM_StartCancel_LibuvEarliest(benchmark::State& state) { startCancelLibuv(state, true, false); }
void BM_StartCancel_LibuvAmongOthers(benchmark::State& state) {
    startCancelLibuv(state, false, false);
}
void BM_StartCancel_LibuvBackToBack(benchmark::State& state) {
    startCancelLibuv(state, false, true);
}
BENCHMARK(BM_StartCancel_LibuvEarliest);
BENCHMARK(BM_StartCancel_LibuvAmongOthers);
BENCHMARK(BM_StartCancel_LibuvBackToBack);
#endif

#if CTM_BENCH_HAVE_LIBEVENT
timeval toTimeval(uint32_t ms) {
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

void BM_StartCancel_LibeventAmongOthers(benchmark::State& state) {
    event_config* config_p = event_config_new();
    event_config_set_flag(config_p, EVENT_BASE_FLAG_PRECISE_TIMER);
    event_base* base_p = event_base_new_with_config(config_p);
    event_config_free(config_p);
    std::vector<event*> pending(kPending);
    for (uint32_t i = 0; i < kPending; ++i) {
        pending[i] = evtimer_new(
            base_p, [](evutil_socket_t, short, void*) {}, nullptr);
        timeval delay = toTimeval(pendingMs(i));
        evtimer_add(pending[i], &delay);
    }
    event* timer_p = evtimer_new(
        base_p, [](evutil_socket_t, short, void*) {}, nullptr);
    uint64_t i = 0;
    for (auto _ : state) {
        timeval delay = toTimeval(periodMs(false, i++));
        evtimer_add(timer_p, &delay);
        evtimer_del(timer_p);
    }
    event_free(timer_p);
    for (event* event_p : pending) {
        event_free(event_p);
    }
    event_base_free(base_p);
}
BENCHMARK(BM_StartCancel_LibeventAmongOthers);
#endif

#if CTM_BENCH_HAVE_ASIO
// A cancelled wait completes its handler with operation_aborted; the context runs those
// handlers every 1000 pairs, inside the timed part, as they are part of a cancel's cost.
void BM_StartCancel_AsioAmongOthers(benchmark::State& state) {
    typedef boost::asio::steady_timer Timer;
    boost::asio::io_context io(1);
    std::vector<Timer*> pending(kPending);
    for (uint32_t i = 0; i < kPending; ++i) {
        pending[i] = new Timer(io, std::chrono::milliseconds(pendingMs(i)));
        pending[i]->async_wait([](const boost::system::error_code&) {});
    }
    Timer timer(io);
    uint64_t i = 0;
    for (auto _ : state) {
        timer.expires_after(std::chrono::milliseconds(periodMs(false, i++)));
        timer.async_wait([](const boost::system::error_code&) {});
        timer.cancel();
        if (i % 1000 == 0) {
            io.poll();
        }
    }
    for (Timer* timer_p : pending) {
        delete timer_p;
    }
    io.poll();
}
BENCHMARK(BM_StartCancel_AsioAmongOthers);
#endif

}  // namespace
