// The harness's scenarios, each run on one subject in a fresh child process.
//
//   latency   1000 one-shots, deadlines 2 ms apart over 2 s, armed in shuffled order:
//             lateness percentiles and maximum (µs), early firings, missing expiries.
//   burst     10000 one-shots with one deadline, five times: time from the deadline to the
//             last callback (ms), callbacks per second over that time, and process CPU time per
//             callback (µs); each the median of the five bursts.
//   periodic  100 timers every 1 ms for 3 s: expiries delivered per second, process CPU time
//             per expiry (µs), drift: mean lateness of each expiry after the previous expiry of
//             its timer plus the period (µs).
//   threads-N 320 periodic timers of 10 to 19 ms for 3 s, spread over N threads that each run
//             a subject (a loop) of their own: expiries per second and process CPU time per
//             expiry (µs), to set beside threads-1.
//   memory    65000 pending one-shots: resident bytes per timer.
//   idle      3 s with no timer armed, the loop waiting: context switches and CPU time (µs)
//             of every thread but the measuring one.
// Thread: the calling thread becomes the subject's loop thread.
#ifndef BENCHMARKS_HARNESS_SCENARIOS_H
#define BENCHMARKS_HARNESS_SCENARIOS_H

#include <string>
#include <utility>
#include <vector>

namespace bench {

typedef std::vector<std::pair<std::string, double>> Figures;

// The scenario names in their order of report.
const std::vector<std::string>& scenarioNames();

// Runs `scenario` on a new subject named `subject`. Appends the figures; writes the latency
// scenario's lateness samples (µs, one a line) to samplesPath when it is not empty. False
// with a message on standard error when the subject or scenario is unknown or failed.
bool runScenario(const std::string& subject, const std::string& scenario,
                 const std::string& samplesPath, Figures& figures_r);

}  // namespace bench

#endif  // BENCHMARKS_HARNESS_SCENARIOS_H
