// The library as a subject: the calling thread's timer manager, served by its dispatcher loop.
#include <vector>

#include "commonDispatcher.h"
#include "commonTimerManager.h"
#include "subject.h"

namespace bench {

namespace {

typedef cmn::TimerManager Manager;

// One client for every timer; timer ids map back to the harness's indexes.
class IndexClient : public cmn::PATimerClient {
public:
    IndexClient() : indexOf_m(65536, 0) {}
    bool timerExpired(uint32_t timerId, cmn::PAUserData*) override {
        expiryLog().record(indexOf_m[timerId & 0xFFFF]);
        return true;
    }
    std::string getClientName() const override { return "harness"; }
    void bind(uint32_t timerId, uint32_t index) { indexOf_m[timerId & 0xFFFF] = index; }

private:
    std::vector<uint32_t> indexOf_m;
};

// A period up to about 4.29 s fits the nanosecond granularity exactly; a longer one is given
// in milliseconds, rounded up so that it never fires early.
bool start(Manager& manager_r, IndexClient& client_r, uint32_t index, int64_t delayNs,
           bool periodic) {
    uint32_t timerId = 0;
    uint32_t period;
    Manager::TimerGranularity granularity;
    if (delayNs % 1000000 == 0 && delayNs / 1000000 <= UINT32_MAX) {
        period = static_cast<uint32_t>(delayNs / 1000000);
        granularity = Manager::millisecondGranularity_c;
    } else if (delayNs <= UINT32_MAX) {
        period = static_cast<uint32_t>(delayNs);
        granularity = Manager::nanosecondGranularity_c;
    } else {
        period = static_cast<uint32_t>((delayNs + 999999) / 1000000);
        granularity = Manager::millisecondGranularity_c;
    }
    bool started =
        periodic ? manager_r.startPeriodicTimer(timerId, period, &client_r, nullptr, granularity)
                 : manager_r.startOneShotTimer(timerId, period, &client_r, nullptr, granularity);
    if (started) {
        client_r.bind(timerId, index);
    }
    return started;
}

class LibrarySubject : public Subject {
public:
    LibrarySubject()
        : manager_rm(cmn::SingletonPerThread<Manager>::getInstance()),
          dispatcher_rm(cmn::SingletonHolder<cmn::Dispatcher>::getInstance()) {}
    ~LibrarySubject() override { cmn::SingletonPerThread<Manager>::deleteInstance(); }

    // The client's table already covers every timer id.
    void prepare(size_t) override {}
    bool startOneShotAt(uint32_t index, int64_t deadlineNs) override {
        int64_t delayNs = deadlineNs - nowNs();
        return start(manager_rm, client_m, index, delayNs < 0 ? 0 : delayNs, false);
    }
    bool startPeriodic(uint32_t index, int64_t periodNs) override {
        return start(manager_rm, client_m, index, periodNs, true);
    }
    void runUntil(const std::function<bool()>& done, int64_t untilNs) override {
        while (!done() && nowNs() < untilNs) {
            dispatcher_rm.listenOnce(remainingMs(untilNs));
        }
    }
    void runUntilStopped() override { dispatcher_rm.listen(); }
    void stop() override { dispatcher_rm.stop(); }

private:
    Manager& manager_rm;
    cmn::Dispatcher& dispatcher_rm;
    IndexClient client_m;
};

}  // namespace

Subject* makeLibrarySubject() { return new LibrarySubject(); }

}  // namespace bench
