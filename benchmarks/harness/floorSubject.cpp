// The floor as a subject. A periodic timer is re-armed by the reading loop after each
// delivery, as the library re-arms in its owning thread.
#include <stdio.h>

#include <vector>

#include "subject.h"

namespace bench {

namespace {

class FloorSubject : public Subject {
public:
    FloorSubject() {
        if (!path_m.open()) {
            fprintf(stderr, "floor: could not open the path\n");
        }
    }

    void prepare(size_t timers) override { periodNs_m.resize(timers, 0); }
    bool startOneShotAt(uint32_t index, int64_t deadlineNs) override {
        setPeriod(index, 0);
        path_m.driver().arm(index, deadlineNs);
        return true;
    }
    bool startPeriodic(uint32_t index, int64_t periodNs) override {
        setPeriod(index, periodNs);
        path_m.driver().arm(index, nowNs() + periodNs);
        return true;
    }
    void runUntil(const std::function<bool()>& done, int64_t untilNs) override {
        while (!done() && nowNs() < untilNs) {
            uint32_t id = 0;
            if (path_m.loop().runOnce(remainingMs(untilNs), id)) {
                deliver(id);
            }
        }
    }
    void runUntilStopped() override {
        uint32_t id = 0;
        while (path_m.loop().runOnce(-1, id)) {
            deliver(id);
        }
    }
    void stop() override { path_m.loop().stop(); }

private:
    void setPeriod(uint32_t index, int64_t periodNs) {
        if (index >= periodNs_m.size()) {
            periodNs_m.resize(index + 1, 0);
        }
        periodNs_m[index] = periodNs;
    }
    void deliver(uint32_t id) {
        if (id < periodNs_m.size() && periodNs_m[id] != 0) {
            path_m.driver().arm(id, nowNs() + periodNs_m[id]);
        }
        expiryLog().record(id);
    }

    FloorPath path_m;
    std::vector<int64_t> periodNs_m;
};

}  // namespace

Subject* makeFloorSubject() { return new FloorSubject(); }

}  // namespace bench
