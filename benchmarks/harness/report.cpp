// The harness's report: medians, ratios, targets, JSON lines, the Markdown table and the
// latency distributions.
#include "report.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace bench {

namespace {

double medianOf(std::vector<double> values) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string number(double value) {
    if (std::isnan(value) || std::isinf(value)) {
        return "null";
    }
    char text[64];
    snprintf(text, sizeof(text), "%.4g", value);
    return text;
}

// "-" for a ratio that has no meaning (a zero or missing denominator).
std::string ratio(double value, double base) {
    if (std::isnan(value) || std::isnan(base) || base == 0) {
        return "null";
    }
    return number(value / base);
}

bool endsWith(const std::string& text, const char* suffix) {
    size_t length = strlen(suffix);
    return text.size() > length && text.compare(text.size() - length, length, suffix) == 0;
}

std::string cell(const std::string& text) { return text == "null" ? "-" : text; }

// Google Benchmark's CSV: name (quoted), iterations, real_time, cpu_time, time_unit, ...
// CPU time, which other processes on a busy machine do not inflate, except for benchmarks
// that measure real time (their name carries "/real_time": they wait for other threads).
bool parseCsvLine(const char* line_p, std::string& name_r, double& ns_r) {
    if (line_p[0] != '"') {
        return false;
    }
    const char* end_p = strchr(line_p + 1, '"');
    if (end_p == nullptr) {
        return false;
    }
    name_r.assign(line_p + 1, end_p);
    double realTime = 0;
    double cpuTime = 0;
    char unit[8] = {0};
    if (sscanf(end_p + 1, ",%*[^,],%lf,%lf,%7[a-z]", &realTime, &cpuTime, unit) != 3) {
        return false;
    }
    double scale = strcmp(unit, "us") == 0 ? 1e3 : strcmp(unit, "ms") == 0 ? 1e6 : 1;
    bool realTimeMeasure = name_r.find("/real_time") != std::string::npos;
    ns_r = (realTimeMeasure ? realTime : cpuTime) * scale;
    return true;
}

// The micro-benchmark each one is set beside; empty for the baselines themselves.
std::string baselineOf(const std::string& name) {
    const std::string startCancel = "BM_StartCancel_";
    if (name.compare(0, startCancel.size(), startCancel) == 0) {
        std::string variant = name.find("Earliest") != std::string::npos     ? "Earliest"
                              : name.find("BackToBack") != std::string::npos ? "BackToBack"
                                                                             : "AmongOthers";
        std::string baseline = startCancel + "Libuv" + variant;
        return name == baseline ? "" : baseline;
    }
    if (name.compare(0, strlen("BM_DebugLog_Filtered"), "BM_DebugLog_Filtered") == 0) {
        return "BM_DebugLog_EmittedToNullSink";
    }
    if (name.compare(0, strlen("BM_IdAllocator_"), "BM_IdAllocator_") == 0) {
        return "BM_FreeList_PopPush";
    }
    if (name.compare(0, strlen("BM_ExpiryPath_OneTimer"), "BM_ExpiryPath_OneTimer") == 0) {
        return "BM_ExpiryPath_Floor/real_time";
    }
    if (name.compare(0, strlen("BM_ExpiryPath_Floor"), "BM_ExpiryPath_Floor") == 0 ||
        name.compare(0, strlen("BM_UnixDatagram_RoundTripToOwnPath"),
                     "BM_UnixDatagram_RoundTripToOwnPath") == 0) {
        return "BM_UnixDatagram_RoundTrip/real_time";
    }
    return "";
}

}  // namespace

Report::Report(const std::vector<std::string>& subjects) : subjects_m(subjects) {}

void Report::add(const std::string& scenario, const std::string& subject, const Figures& figures) {
    for (const auto& figure : figures) {
        std::string key = scenario + "/" + figure.first;
        if (std::find(metricOrder_m.begin(), metricOrder_m.end(), key) == metricOrder_m.end()) {
            metricOrder_m.push_back(key);
        }
        values_m[scenario][figure.first][subject].push_back(figure.second);
    }
}

void Report::addSamples(const std::string& subject, const std::vector<double>& samplesUs) {
    std::vector<double>& pool_r = samples_m[subject];
    pool_r.insert(pool_r.end(), samplesUs.begin(), samplesUs.end());
}

bool Report::addMicroBenchmarks(const std::string& csvPath) {
    FILE* file_p = fopen(csvPath.c_str(), "re");
    if (file_p == nullptr) {
        perror(csvPath.c_str());
        return false;
    }
    std::vector<std::pair<std::string, double>> plain;
    char line[1024];
    while (fgets(line, sizeof(line), file_p) != nullptr) {
        std::string name;
        double ns = 0;
        if (!parseCsvLine(line, name, ns)) {
            continue;
        }
        if (endsWith(name, "_median")) {
            micro_m.emplace_back(name.substr(0, name.size() - strlen("_median")), ns);
        } else if (!endsWith(name, "_mean") && !endsWith(name, "_stddev") &&
                   !endsWith(name, "_cv")) {
            plain.emplace_back(name, ns);
        }
    }
    fclose(file_p);
    if (micro_m.empty()) {
        micro_m = plain;
    }
    std::sort(micro_m.begin(), micro_m.end());
    return true;
}

bool Report::has(const std::string& scenario, const std::string& metric,
                 const std::string& subject) const {
    auto scenarioIt = values_m.find(scenario);
    if (scenarioIt == values_m.end()) {
        return false;
    }
    auto metricIt = scenarioIt->second.find(metric);
    return metricIt != scenarioIt->second.end() && metricIt->second.count(subject) != 0;
}

double Report::median(const std::string& scenario, const std::string& metric,
                      const std::string& subject) const {
    if (!has(scenario, metric, subject)) {
        return NAN;
    }
    return medianOf(values_m.at(scenario).at(metric).at(subject));
}

double Report::micro(const std::string& name) const {
    for (const auto& entry : micro_m) {
        if (entry.first == name) {
            return entry.second;
        }
    }
    return NAN;
}

std::vector<Report::Target> Report::targets() const {
    std::vector<Target> list;
    auto add = [&list](const std::string& name, double value, double base, double limit,
                       bool atMost, const std::string& note) {
        bool known = !std::isnan(value) && !std::isnan(base) && base != 0;
        list.push_back(Target{name, known ? value / base : NAN, limit, atMost, known, note});
    };
    const char* const variants[] = {"Earliest", "AmongOthers", "BackToBack"};
    for (const char* variant : variants) {
        add(std::string("start+cancel ") + variant + " / libuv",
            micro(std::string("BM_StartCancel_Library") + variant),
            micro(std::string("BM_StartCancel_Libuv") + variant), 2.0, true, "ns per pair");
    }
    add("latency p50 / floor", median("latency", "p50_us", "library"),
        median("latency", "p50_us", "floor"), 1.2, true, "");
    add("latency p90 / floor", median("latency", "p90_us", "library"),
        median("latency", "p90_us", "floor"), 1.2, true, "");
    add("burst callbacks/s / floor", median("burst", "callbacks_per_s", "library"),
        median("burst", "callbacks_per_s", "floor"), 0.9, false, "");
    add("periodic CPU per expiry / floor", median("periodic", "cpu_us_per_expiry", "library"),
        median("periodic", "cpu_us_per_expiry", "floor"), 1.25, true, "");
    add("periodic drift / floor", median("periodic", "drift_us", "library"),
        median("periodic", "drift_us", "floor"), 1.0, true, "");
    add("periodic expiries/s / floor", median("periodic", "expiries_per_s", "library"),
        median("periodic", "expiries_per_s", "floor"), 1.0, false, "");
    add("32 threads / 1 thread, CPU per expiry",
        median("threads-32", "cpu_us_per_expiry", "library"),
        median("threads-1", "cpu_us_per_expiry", "library"), 1.25, true, "library");
    add("memory per timer / libuv", median("memory", "bytes_per_timer", "library"),
        median("memory", "bytes_per_timer", "libuv"), 1.0, true, "");
    // Absolute targets: the ratio column holds the value itself.
    add("early firings (count)", median("latency", "early", "library"), 1, 0, true, "absolute");
    add("idle context switches (count)", median("idle", "context_switches", "library"), 1, 0, true,
        "absolute");
    add("idle CPU (µs)", median("idle", "cpu_us", "library"), 1, 0, true, "absolute");
    return list;
}

std::string Report::figureLine(const std::string& scenario, const std::string& metric,
                               const std::string& subject) const {
    double value = median(scenario, metric, subject);
    std::string line = "{\"scenario\":\"" + scenario + "\",\"metric\":\"" + metric +
                       "\",\"subject\":\"" + subject + "\",\"value\":" + number(value) +
                       ",\"rounds\":[";
    const std::vector<double>& rounds = values_m.at(scenario).at(metric).at(subject);
    for (size_t i = 0; i < rounds.size(); ++i) {
        line += (i == 0 ? "" : ",") + number(rounds[i]);
    }
    line += "]";
    for (const std::string& other : subjects_m) {
        if (other != subject) {
            line += ",\"vs_" + other + "\":" + ratio(value, median(scenario, metric, other));
        }
    }
    return line + "}";
}

std::string Report::targetLine(const Target& target) const {
    bool met = target.known &&
               (target.atMost ? target.ratio <= target.limit : target.ratio >= target.limit);
    return "{\"target\":\"" + target.name + "\",\"ratio\":" + number(target.ratio) +
           ",\"limit\":" + number(target.limit) + ",\"kind\":\"" +
           (target.atMost ? "at_most" : "at_least") +
           "\",\"met\":" + (target.known ? (met ? "true" : "false") : "null") + "}";
}

void Report::write(FILE* out_p, const std::string& outDir) const {
    FILE* jsonl_p = outDir.empty() ? nullptr : fopen((outDir + "/figures.jsonl").c_str(), "we");
    auto emit = [out_p, jsonl_p](const std::string& line) {
        fprintf(out_p, "%s\n", line.c_str());
        if (jsonl_p != nullptr) {
            fprintf(jsonl_p, "%s\n", line.c_str());
        }
    };
    for (const std::string& key : metricOrder_m) {
        std::string scenario = key.substr(0, key.find('/'));
        std::string metric = key.substr(key.find('/') + 1);
        for (const std::string& subject : subjects_m) {
            if (has(scenario, metric, subject)) {
                emit(figureLine(scenario, metric, subject));
            }
        }
    }
    for (const auto& entry : micro_m) {
        std::string baseline = baselineOf(entry.first);
        emit("{\"scenario\":\"micro\",\"metric\":\"" + entry.first +
             "\",\"unit\":\"ns\",\"value\":" + number(entry.second) + ",\"baseline\":\"" +
             baseline + "\",\"vs_baseline\":" + ratio(entry.second, micro(baseline)) + "}");
    }
    for (const Target& target : targets()) {
        emit(targetLine(target));
    }
    fflush(out_p);
    if (jsonl_p != nullptr) {
        fclose(jsonl_p);
    }
    if (outDir.empty()) {
        return;
    }
    FILE* table_p = fopen((outDir + "/table.md").c_str(), "we");
    if (table_p != nullptr) {
        writeTable(table_p);
        fclose(table_p);
    }
    writeDistributions(outDir);
}

void Report::writeTable(FILE* out_p) const {
    writeTargetTable(out_p);
    std::vector<std::string> scenarios;
    for (const std::string& key : metricOrder_m) {
        std::string scenario = key.substr(0, key.find('/'));
        if (std::find(scenarios.begin(), scenarios.end(), scenario) == scenarios.end()) {
            scenarios.push_back(scenario);
        }
    }
    for (const std::string& scenario : scenarios) {
        writeScenarioTable(out_p, scenario);
    }
    writeMicroTable(out_p);
}

void Report::writeTargetTable(FILE* out_p) const {
    fprintf(out_p, "| target | measured | limit | met |\n| --- | --- | --- | --- |\n");
    for (const Target& target : targets()) {
        bool met = target.known &&
                   (target.atMost ? target.ratio <= target.limit : target.ratio >= target.limit);
        fprintf(out_p, "| %s | %s | %s %s | %s |\n", target.name.c_str(),
                cell(number(target.ratio)).c_str(), target.atMost ? "≤" : "≥",
                number(target.limit).c_str(), target.known ? (met ? "met" : "**missed**") : "-");
    }
    fprintf(out_p, "\n");
}

// Values (median of the rounds) per subject, then every subject's ratio to each other one.
void Report::writeScenarioTable(FILE* out_p, const std::string& scenario) const {
    fprintf(out_p, "**%s**\n\n| figure |", scenario.c_str());
    for (const std::string& subject : subjects_m) {
        fprintf(out_p, " %s |", subject.c_str());
    }
    fprintf(out_p, "\n| --- |");
    for (size_t i = 0; i < subjects_m.size(); ++i) {
        fprintf(out_p, " --- |");
    }
    fprintf(out_p, "\n");
    for (const std::string& key : metricOrder_m) {
        if (key.compare(0, scenario.size() + 1, scenario + "/") != 0) {
            continue;
        }
        const std::string metric = key.substr(scenario.size() + 1);
        fprintf(out_p, "| %s |", metric.c_str());
        for (const std::string& subject : subjects_m) {
            fprintf(out_p, " %s |", cell(number(median(scenario, metric, subject))).c_str());
        }
        fprintf(out_p, "\n");
        if (metric != "threads") {
            writeRatioRows(out_p, scenario, metric);
        }
    }
    fprintf(out_p, "\n");
}

// One row per base subject; a row with no meaningful ratio (zero counts) is left out.
void Report::writeRatioRows(FILE* out_p, const std::string& scenario,
                            const std::string& metric) const {
    for (const std::string& base : subjects_m) {
        std::string row = "| " + metric + " ÷ " + base + " |";
        bool any = false;
        for (const std::string& subject : subjects_m) {
            std::string text = subject == base ? "null"
                                               : ratio(median(scenario, metric, subject),
                                                       median(scenario, metric, base));
            any = any || text != "null";
            row += " " + cell(text) + " |";
        }
        if (any) {
            fprintf(out_p, "%s\n", row.c_str());
        }
    }
}

void Report::writeMicroTable(FILE* out_p) const {
    if (micro_m.empty()) {
        return;
    }
    fprintf(out_p,
            "**micro-benchmarks** (ns per iteration: CPU time, or real time where the name says "
            "so; median of the repetitions)\n\n");
    fprintf(out_p, "| benchmark | ns | baseline | ÷ baseline |\n| --- | --- | --- | --- |\n");
    for (const auto& entry : micro_m) {
        std::string baseline = baselineOf(entry.first);
        fprintf(out_p, "| %s | %s | %s | %s |\n", entry.first.c_str(), number(entry.second).c_str(),
                baseline.c_str(), cell(ratio(entry.second, micro(baseline))).c_str());
    }
    fprintf(out_p, "\n");
}

// Sorted lateness against its cumulative fraction, for a CDF plot.
void Report::writeDistributions(const std::string& outDir) const {
    for (const auto& entry : samples_m) {
        std::vector<double> sorted = entry.second;
        std::sort(sorted.begin(), sorted.end());
        FILE* file_p = fopen((outDir + "/latency-" + entry.first + ".dat").c_str(), "we");
        if (file_p == nullptr) {
            continue;
        }
        for (size_t i = 0; i < sorted.size(); ++i) {
            fprintf(file_p, "%.3f %.5f\n", sorted[i],
                    static_cast<double>(i + 1) / static_cast<double>(sorted.size()));
        }
        fclose(file_p);
    }
}

}  // namespace bench
