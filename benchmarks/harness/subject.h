// What the harness measures: one timer implementation behind a common face (a "subject"), and
// the log its expiries are recorded in.
//
// Each subject arms timers identified by a dense index and runs its own loop on the calling
// thread; every expiry ends in ExpiryLog::record(index) on that thread. The subjects are the
// library (through its public interface), the floor (benchmarks/floor), and the peers a user
// might pick instead: libuv, libevent and Boost.Asio, when they were found at build time.
//
// Ownership: the caller owns the subject; a subject owns its timers. Thread: a subject is
// made, used and destroyed on one thread; only stop() may come from another.
#ifndef BENCHMARKS_HARNESS_SUBJECT_H
#define BENCHMARKS_HARNESS_SUBJECT_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "floorPath.h"

namespace bench {

// When each timer first expired and how many expiries came in all. Filled by the loop thread.
class ExpiryLog {
public:
    // Forgets everything and makes room for `timers` indexes, so that recording never
    // allocates.
    void reset(size_t timers) {
        firstNs_m.assign(timers, 0);
        count_m = 0;
    }
    void record(uint32_t index) {
        ++count_m;
        if (index < firstNs_m.size() && firstNs_m[index] == 0) {
            firstNs_m[index] = nowNs();
        }
    }
    uint64_t count() const { return count_m; }
    const std::vector<int64_t>& firstNs() const { return firstNs_m; }

private:
    std::vector<int64_t> firstNs_m;
    uint64_t count_m = 0;
};

ExpiryLog& expiryLog();

class Subject {
public:
    virtual ~Subject() {}

    // Makes room for `timers` indexes in the subject's own bookkeeping (the harness's, not the
    // implementation's), so that it does not count in the memory figure.
    virtual void prepare(size_t timers) = 0;
    // Arms timer `index` for one expiry at or after deadlineNs (CLOCK_MONOTONIC). False when
    // the implementation refused.
    virtual bool startOneShotAt(uint32_t index, int64_t deadlineNs) = 0;
    // Arms timer `index` to expire every periodNs, each period counted from the delivery of
    // the previous expiry (as the library re-arms).
    virtual bool startPeriodic(uint32_t index, int64_t periodNs) = 0;
    // Runs the loop on the calling thread until done() holds (checked after every round) or
    // CLOCK_MONOTONIC passes untilNs.
    virtual void runUntil(const std::function<bool()>& done, int64_t untilNs) = 0;
    // Runs the loop until stop() is called from another thread.
    virtual void runUntilStopped() = 0;
    virtual void stop() = 0;
};

// The subjects built into this harness, the floor first.
std::vector<std::string> subjectNames();
// A new subject made on the calling thread; null for a name not built in.
Subject* makeSubject(const std::string& name);

// The factories, one per source file; the peers' return null when their package was missing.
Subject* makeLibrarySubject();
Subject* makeFloorSubject();
Subject* makeLibuvSubject();
Subject* makeLibeventSubject();
Subject* makeAsioSubject();

// The milliseconds left until untilNs, rounded up; 0 once it has passed. A round of a loop
// waits at most this long, so that runUntil() returns in time.
inline int remainingMs(int64_t untilNs) {
    int64_t left = untilNs - nowNs();
    return left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
}

}  // namespace bench

#endif  // BENCHMARKS_HARNESS_SUBJECT_H
