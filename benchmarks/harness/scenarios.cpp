// The scenarios, run in a child process on one subject.
#include "scenarios.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "procStats.h"
#include "subject.h"

namespace bench {

ExpiryLog& expiryLog() {
    thread_local ExpiryLog log;
    return log;
}

std::vector<std::string> subjectNames() {
    std::vector<std::string> names = {"floor", "library"};
#if CTM_BENCH_HAVE_LIBUV
    names.push_back("libuv");
#endif
#if CTM_BENCH_HAVE_LIBEVENT
    names.push_back("libevent");
#endif
#if CTM_BENCH_HAVE_ASIO
    names.push_back("asio");
#endif
    return names;
}

Subject* makeSubject(const std::string& name) {
    if (name == "library") {
        return makeLibrarySubject();
    }
    if (name == "floor") {
        return makeFloorSubject();
    }
    if (name == "libuv") {
        return makeLibuvSubject();
    }
    if (name == "libevent") {
        return makeLibeventSubject();
    }
    if (name == "asio") {
        return makeAsioSubject();
    }
    return nullptr;
}

const std::vector<std::string>& scenarioNames() {
    static const std::vector<std::string> names = {
        "latency", "burst", "periodic", "threads-1", "threads-8", "threads-32", "memory", "idle"};
    return names;
}

namespace {

const int64_t kMs = 1000000;
const int64_t kSecond = 1000000000;

bool allDelivered(size_t count) { return expiryLog().count() >= count; }

double percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) {
        return 0;
    }
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(rank, sorted.size() - 1)];
}

void writeSamples(const std::string& path, const std::vector<double>& samples) {
    if (path.empty()) {
        return;
    }
    FILE* file_p = fopen(path.c_str(), "we");
    if (file_p == nullptr) {
        perror(path.c_str());
        return;
    }
    for (double sample : samples) {
        fprintf(file_p, "%.3f\n", sample);
    }
    fclose(file_p);
}

// Deadlines 2 ms apart over 2 s, armed in a fixed shuffled order; each deadline counts from
// the moment just before its own arming.
bool latency(Subject& subject_r, const std::string& samplesPath, Figures& figures_r) {
    const size_t count = 1000;
    std::vector<int64_t> deadlines(count);
    std::vector<uint32_t> order(count);
    for (uint32_t i = 0; i < count; ++i) {
        order[i] = i;
    }
    std::shuffle(order.begin(), order.end(), std::mt19937(20261206));
    subject_r.prepare(count);
    expiryLog().reset(count);
    for (uint32_t index : order) {
        deadlines[index] = nowNs() + (index + 1) * 2 * kMs;
        if (!subject_r.startOneShotAt(index, deadlines[index])) {
            return false;
        }
    }
    subject_r.runUntil([count] { return allDelivered(count); }, nowNs() + 4 * kSecond);
    std::vector<double> lateUs;
    double early = 0;
    for (size_t i = 0; i < count; ++i) {
        int64_t firedNs = expiryLog().firstNs()[i];
        if (firedNs != 0) {
            lateUs.push_back(static_cast<double>(firedNs - deadlines[i]) / 1000.0);
            early += firedNs < deadlines[i] ? 1 : 0;
        }
    }
    std::sort(lateUs.begin(), lateUs.end());
    writeSamples(samplesPath, lateUs);
    figures_r.emplace_back("p50_us", percentile(lateUs, 0.50));
    figures_r.emplace_back("p90_us", percentile(lateUs, 0.90));
    figures_r.emplace_back("p99_us", percentile(lateUs, 0.99));
    figures_r.emplace_back("max_us", lateUs.empty() ? 0 : lateUs.back());
    figures_r.emplace_back("early", early);
    figures_r.emplace_back("missing", static_cast<double>(count - lateUs.size()));
    return true;
}

double medianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return percentile(values, 0.50);
}

struct BurstResult {
    double toLastMs = 0;
    double cpuUs = 0;  // every thread's, from the arming's end to the last callback
    size_t missing = 0;
};

// One burst: `count` one-shots with one deadline 300 ms ahead, run until the last callback.
bool runBurst(Subject& subject_r, size_t count, BurstResult& result_r) {
    expiryLog().reset(count);
    const int64_t deadlineNs = nowNs() + 300 * kMs;
    for (uint32_t i = 0; i < count; ++i) {
        if (!subject_r.startOneShotAt(i, deadlineNs)) {
            return false;
        }
    }
    if (nowNs() >= deadlineNs) {
        fprintf(stderr, "burst: arming took longer than the lead time\n");
    }
    const int64_t startCpuNs = processCpuNs();
    subject_r.runUntil([count] { return allDelivered(count); }, deadlineNs + 20 * kSecond);
    result_r.cpuUs = static_cast<double>(processCpuNs() - startCpuNs) / 1000.0;
    const std::vector<int64_t>& firedNs = expiryLog().firstNs();
    int64_t lastNs = *std::max_element(firedNs.begin(), firedNs.end());
    result_r.toLastMs = static_cast<double>(lastNs - deadlineNs) / kMs;
    result_r.missing = static_cast<size_t>(std::count(firedNs.begin(), firedNs.end(), int64_t(0)));
    return true;
}

// Five bursts one after the other, each figure the median of the five: one burst lasts only
// 20 to 150 ms, and single bursts in one process spread by a factor of 1.6 on a shared 2-CPU
// machine. The CPU time per callback is the two threads' work together: in a burst they
// mostly take turns on one CPU (the driver fills the socket, the loop drains it).
bool burst(Subject& subject_r, Figures& figures_r) {
    const size_t count = 10000;
    const int bursts = 5;
    subject_r.prepare(count);
    std::vector<double> toLastMs;
    std::vector<double> cpuUs;
    size_t missing = 0;
    for (int i = 0; i < bursts && missing == 0; ++i) {
        BurstResult result;
        if (!runBurst(subject_r, count, result)) {
            return false;
        }
        toLastMs.push_back(result.toLastMs);
        cpuUs.push_back(result.cpuUs);
        missing += result.missing;
    }
    const double toLastS = medianOf(toLastMs) / 1000.0;
    figures_r.emplace_back("to_last_ms", toLastS * 1000.0);
    figures_r.emplace_back("callbacks_per_s", toLastS > 0 ? count / toLastS : 0);
    figures_r.emplace_back("cpu_us_per_callback", medianOf(cpuUs) / count);
    figures_r.emplace_back("missing", static_cast<double>(missing));
    return true;
}

bool periodic(Subject& subject_r, Figures& figures_r) {
    const size_t count = 100;
    subject_r.prepare(count);
    expiryLog().reset(count, kMs);
    const int64_t startNs = nowNs();
    const int64_t startCpuNs = processCpuNs();
    for (uint32_t i = 0; i < count; ++i) {
        if (!subject_r.startPeriodic(i, kMs)) {
            return false;
        }
    }
    subject_r.runUntil([] { return false; }, startNs + 3 * kSecond);
    double elapsedS = static_cast<double>(nowNs() - startNs) / kSecond;
    double cpuUs = static_cast<double>(processCpuNs() - startCpuNs) / 1000.0;
    double expiries = static_cast<double>(expiryLog().count());
    figures_r.emplace_back("expiries_per_s", expiries / elapsedS);
    figures_r.emplace_back("cpu_us_per_expiry", expiries > 0 ? cpuUs / expiries : 0);
    figures_r.emplace_back("drift_us", expiryLog().meanDriftUs());
    return true;
}

// Counts arrivals; the last one to arrive releases everybody.
class Barrier {
public:
    explicit Barrier(int parties) : waiting_m(parties) {}
    void arriveAndWait() {
        std::unique_lock<std::mutex> lock(mutex_m);
        if (--waiting_m == 0) {
            released_m.notify_all();
            return;
        }
        released_m.wait(lock, [this] { return waiting_m == 0; });
    }

private:
    std::mutex mutex_m;
    std::condition_variable released_m;
    int waiting_m;
};

// The loop threads of the threads scenario carry this name; any other thread but the
// measuring one belongs to the subject (a driver thread of the library or of the floor).
const char* const kLoopThreadName = "bench-loop";

// Run time and sleeps (voluntary context switches) of the loop threads and of the subject's
// other threads between two readings, per expiry.
void addThreadKindFigures(const std::map<std::string, ThreadTotals>& before,
                          const std::map<std::string, ThreadTotals>& after, double expiries,
                          Figures& figures_r) {
    ThreadTotals loop;
    ThreadTotals other;
    for (const auto& entry_r : after) {
        auto earlier = before.find(entry_r.first);
        ThreadTotals& kind_r = entry_r.first == kLoopThreadName ? loop : other;
        kind_r.runNs += entry_r.second.runNs;
        kind_r.voluntarySwitches += entry_r.second.voluntarySwitches;
        if (earlier != before.end()) {
            kind_r.runNs -= earlier->second.runNs;
            kind_r.voluntarySwitches -= earlier->second.voluntarySwitches;
        }
    }
    const double count = expiries > 0 ? expiries : 1;
    figures_r.emplace_back("loop_cpu_us_per_expiry",
                           static_cast<double>(loop.runNs) / 1000.0 / count);
    figures_r.emplace_back("driver_cpu_us_per_expiry",
                           static_cast<double>(other.runNs) / 1000.0 / count);
    figures_r.emplace_back("loop_sleeps_per_expiry",
                           static_cast<double>(loop.voluntarySwitches) / count);
    figures_r.emplace_back("driver_sleeps_per_expiry",
                           static_cast<double>(other.voluntarySwitches) / count);
}

// 320 periodic timers of 10 to 19 ms for 3 s, spread evenly over `threadCount` threads that
// each run a subject of their own (for the library: a manager, its driver thread and its
// loop). The process CPU time counts from the moment every thread has armed its timers to the
// moment every loop has ended, so the subjects' creation and destruction are not in it; the
// subjects live on until the per-thread figures are read too.
bool threads(const std::string& name, int threadCount, Figures& figures_r) {
    const uint32_t total = 320;
    const uint32_t share = total / static_cast<uint32_t>(threadCount);
    std::atomic<uint64_t> expiries{0};
    std::atomic<bool> failed{false};
    Barrier armed(threadCount + 1);
    Barrier ran(threadCount + 1);
    Barrier measured(threadCount + 1);
    int64_t untilNs = 0;
    std::vector<std::thread> loops;
    for (int t = 0; t < threadCount; ++t) {
        loops.emplace_back([&, t] {
            pthread_setname_np(pthread_self(), kLoopThreadName);
            std::unique_ptr<Subject> subject_p(makeSubject(name));
            subject_p->prepare(share);
            expiryLog().reset(share);
            for (uint32_t i = 0; i < share; ++i) {
                const uint32_t periodMs = 10 + (t * share + i) % 10;
                if (!subject_p->startPeriodic(i, periodMs * kMs)) {
                    failed = true;
                }
            }
            armed.arriveAndWait();
            subject_p->runUntil([] { return false; }, untilNs);
            expiries += expiryLog().count();
            ran.arriveAndWait();
            measured.arriveAndWait();
        });
    }
    untilNs = nowNs() + 3 * kSecond + 100 * kMs;
    const pid_t self = currentTid();
    armed.arriveAndWait();
    const std::map<std::string, ThreadTotals> startKinds = threadTotalsByName(self);
    const int64_t startNs = nowNs();
    const int64_t startCpuNs = processCpuNs();
    ran.arriveAndWait();
    const double cpuUs = static_cast<double>(processCpuNs() - startCpuNs) / 1000.0;
    const double elapsedS = static_cast<double>(nowNs() - startNs) / kSecond;
    const std::map<std::string, ThreadTotals> endKinds = threadTotalsByName(self);
    measured.arriveAndWait();
    for (std::thread& loop_r : loops) {
        loop_r.join();
    }
    if (failed) {
        fprintf(stderr, "threads: a subject refused a timer\n");
        return false;
    }
    const double count = static_cast<double>(expiries.load());
    figures_r.emplace_back("expiries_per_s", count / elapsedS);
    figures_r.emplace_back("cpu_us_per_expiry", count > 0 ? cpuUs / count : 0);
    addThreadKindFigures(startKinds, endKinds, count, figures_r);
    return true;
}

// Far deadlines, so that nothing fires while the memory is read.
bool memory(Subject& subject_r, Figures& figures_r) {
    const size_t count = 65000;
    subject_r.prepare(count);
    expiryLog().reset(count);
    const uint64_t beforeBytes = residentBytes();
    const int64_t deadlineNs = nowNs() + 1000 * kSecond;
    for (uint32_t i = 0; i < count; ++i) {
        if (!subject_r.startOneShotAt(i, deadlineNs + i)) {
            return false;
        }
    }
    const uint64_t afterBytes = residentBytes();
    figures_r.emplace_back("bytes_per_timer",
                           static_cast<double>(afterBytes - beforeBytes) / count);
    return true;
}

// The subject lives on a loop thread of its own; after one timer has come and gone the
// measuring thread watches every other thread for 3 s.
bool idle(const std::string& name, Figures& figures_r) {
    std::mutex mutex;
    std::condition_variable changed;
    Subject* subject_p = nullptr;
    bool ready = false;
    std::thread loop([&] {
        std::unique_ptr<Subject> owned_p(makeSubject(name));
        owned_p->prepare(1);
        expiryLog().reset(1);
        owned_p->startOneShotAt(0, nowNs() + kMs);
        owned_p->runUntil([] { return allDelivered(1); }, nowNs() + kSecond);
        {
            std::lock_guard<std::mutex> lock(mutex);
            subject_p = owned_p.get();
            ready = true;
        }
        changed.notify_all();
        owned_p->runUntilStopped();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&ready] { return ready; });
    }
    usleep(100000);  // lets the loop reach its wait
    const pid_t self = currentTid();
    ThreadTotals before = threadTotals(self);
    usleep(3000000);
    ThreadTotals after = threadTotals(self);
    subject_p->stop();
    loop.join();
    figures_r.emplace_back("context_switches",
                           static_cast<double>(after.contextSwitches - before.contextSwitches));
    figures_r.emplace_back("cpu_us", static_cast<double>(after.runNs - before.runNs) / 1000.0);
    figures_r.emplace_back("threads", after.threads);
    return true;
}

}  // namespace

bool runScenario(const std::string& subject, const std::string& scenario,
                 const std::string& samplesPath, Figures& figures_r) {
    if (scenario == "idle") {
        return idle(subject, figures_r);
    }
    if (scenario.compare(0, 8, "threads-") == 0) {
        return threads(subject, std::max(1, atoi(scenario.c_str() + 8)), figures_r);
    }
    std::unique_ptr<Subject> subject_p(makeSubject(subject));
    if (!subject_p) {
        fprintf(stderr, "unknown subject %s\n", subject.c_str());
        return false;
    }
    if (scenario == "latency") {
        return latency(*subject_p, samplesPath, figures_r);
    }
    if (scenario == "burst") {
        return burst(*subject_p, figures_r);
    }
    if (scenario == "periodic") {
        return periodic(*subject_p, figures_r);
    }
    if (scenario == "memory") {
        return memory(*subject_p, figures_r);
    }
    fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
    return false;
}

}  // namespace bench
