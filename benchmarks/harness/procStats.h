// Process figures read from the kernel: resident memory, CPU time, and per-thread context
// switches and run time. Thread: any; each call reads afresh.
#ifndef BENCHMARKS_HARNESS_PROCSTATS_H
#define BENCHMARKS_HARNESS_PROCSTATS_H

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <string>

namespace bench {

// Resident set size of the process in bytes; 0 when /proc cannot be read.
uint64_t residentBytes();

// User plus system CPU time of the whole process (every thread), in nanoseconds.
int64_t processCpuNs();

// Context switches (voluntary and not; the voluntary ones, a thread going to sleep, also
// apart) and run time summed over the process's threads.
struct ThreadTotals {
    uint64_t contextSwitches = 0;
    uint64_t voluntarySwitches = 0;
    uint64_t runNs = 0;
    int threads = 0;
};

// Sums over every thread of the process except `excludedTid` (the measuring thread).
ThreadTotals threadTotals(pid_t excludedTid);

// The same sums kept apart by thread name (the kernel's "comm", at most 15 characters), so
// that the threads of one kind (a loop, a driver) can be set beside each other.
std::map<std::string, ThreadTotals> threadTotalsByName(pid_t excludedTid);

// The calling thread's kernel id.
pid_t currentTid();

}  // namespace bench

#endif  // BENCHMARKS_HARNESS_PROCSTATS_H
