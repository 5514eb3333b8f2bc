// The harness's report: the figures of every round, their medians, every figure's ratio to
// the floor and to each peer, the targets, and the files made from them.
//
// Outputs (all from one run):
//   - one JSON line per figure: {"scenario","metric","subject","value","rounds":[...],
//     "vs_floor","vs_library","vs_libuv",...}: value is the median of the rounds, vs_X the
//     value divided by X's value for the same figure;
//   - one JSON line per target: {"target","ratio","limit","met"};
//   - a Markdown table of all of it (table.md), and the pooled latency samples of each subject
//     as a cumulative distribution (latency-<subject>.dat) for the plot.
// Thread: one thread.
#ifndef BENCHMARKS_HARNESS_REPORT_H
#define BENCHMARKS_HARNESS_REPORT_H

#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "scenarios.h"

namespace bench {

class Report {
public:
    explicit Report(const std::vector<std::string>& subjects);

    // One child's figures.
    void add(const std::string& scenario, const std::string& subject, const Figures& figures);
    // A child's latency samples, pooled per subject.
    void addSamples(const std::string& subject, const std::vector<double>& samplesUs);
    // The micro-benchmarks' figures from a Google Benchmark CSV file (median aggregates when
    // the file has them). False when the file cannot be read.
    bool addMicroBenchmarks(const std::string& csvPath);

    // Writes the JSON lines to `out_p` and, when outDir is not empty, figures.jsonl, table.md
    // and the latency-<subject>.dat files there.
    void write(FILE* out_p, const std::string& outDir) const;

private:
    struct Target {
        std::string name;
        double ratio;
        double limit;
        bool atMost;  // ratio <= limit; otherwise ratio >= limit
        bool known;
        std::string note;
    };

    double median(const std::string& scenario, const std::string& metric,
                  const std::string& subject) const;
    bool has(const std::string& scenario, const std::string& metric,
             const std::string& subject) const;
    double micro(const std::string& name) const;
    std::vector<Target> targets() const;
    std::string figureLine(const std::string& scenario, const std::string& metric,
                           const std::string& subject) const;
    std::string targetLine(const Target& target) const;
    void writeTable(FILE* out_p) const;
    void writeScenarioTable(FILE* out_p, const std::string& scenario) const;
    void writeRatioRows(FILE* out_p, const std::string& scenario, const std::string& metric) const;
    void writeMicroTable(FILE* out_p) const;
    void writeTargetTable(FILE* out_p) const;
    void writeDistributions(const std::string& outDir) const;

    std::vector<std::string> subjects_m;
    // scenario -> metric -> subject -> one value per round
    std::map<std::string, std::map<std::string, std::map<std::string, std::vector<double>>>>
        values_m;
    std::vector<std::string> metricOrder_m;  // "scenario/metric" in order of arrival
    std::map<std::string, std::vector<double>> samples_m;
    std::vector<std::pair<std::string, double>> micro_m;  // benchmark name, ns per iteration
};

}  // namespace bench

#endif  // BENCHMARKS_HARNESS_REPORT_H
