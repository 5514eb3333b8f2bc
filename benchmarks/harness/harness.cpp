// ctm-harness: whole-process figures of the library, the floor and the peers.
//
//   ctm-harness [--rounds N] [--scenarios a,b] [--subjects a,b] [--out-dir DIR] [--micro CSV]
//               [--compare NAME=PATH]...
//       Runs every scenario on every subject, each run in a fresh child process (this program
//       re-executed), interleaved: round by round, scenario by scenario, with the subjects'
//       order rotated each round. Prints one JSON line per figure and per target; with
//       --out-dir also writes figures.jsonl, table.md and the latency distributions there.
//       --micro adds the micro-benchmarks' CSV output (Google Benchmark) to the report.
//       --compare adds a subject NAME: the library as built into the harness at PATH (another
//       build, say before a change), run interleaved with the others for a before/after
//       figure from one run.
//   ctm-harness --child SUBJECT SCENARIO [--samples FILE]
//       Runs one scenario on one subject and prints its figures as one JSON line.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "report.h"
#include "scenarios.h"
#include "subject.h"

namespace {

using bench::Figures;

// A child that has not finished by then is killed and its figures are missing.
const unsigned kChildSeconds = 120;

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) {
            comma = text.size();
        }
        if (comma > start) {
            items.push_back(text.substr(start, comma - start));
        }
        start = comma + 1;
    }
    return items;
}

int childMain(const std::string& subject, const std::string& scenario,
              const std::string& samplesPath) {
    alarm(kChildSeconds);
    Figures figures;
    if (!bench::runScenario(subject, scenario, samplesPath, figures)) {
        return 1;
    }
    printf("{\"subject\":\"%s\",\"scenario\":\"%s\",\"figures\":{", subject.c_str(),
           scenario.c_str());
    for (size_t i = 0; i < figures.size(); ++i) {
        printf("%s\"%s\":%.6g", i == 0 ? "" : ",", figures[i].first.c_str(), figures[i].second);
    }
    printf("}}\n");
    fflush(stdout);
    return 0;
}

// The "figures" object of a child's line: "name":number pairs.
Figures parseFigures(const std::string& line) {
    Figures figures;
    size_t position = line.find("\"figures\":{");
    if (position == std::string::npos) {
        return figures;
    }
    position += strlen("\"figures\":{");
    while (position < line.size() && line[position] == '"') {
        size_t nameEnd = line.find('"', position + 1);
        if (nameEnd == std::string::npos || line[nameEnd + 1] != ':') {
            break;
        }
        std::string name = line.substr(position + 1, nameEnd - position - 1);
        char* end_p = nullptr;
        double value = strtod(line.c_str() + nameEnd + 2, &end_p);
        figures.emplace_back(name, value);
        position = static_cast<size_t>(end_p - line.c_str());
        if (position < line.size() && line[position] == ',') {
            ++position;
        }
    }
    return figures;
}

// Runs this program (or, for a compared build, the harness at `program`) again as a child and
// returns what it printed.
bool runChild(const std::string& program, const std::string& subject, const std::string& scenario,
              const std::string& samplesPath, std::string& output_r) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        perror("pipe2");
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return false;
    }
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        std::vector<const char*> args = {"ctm-harness", "--child", subject.c_str(),
                                         scenario.c_str()};
        if (!samplesPath.empty()) {
            args.push_back("--samples");
            args.push_back(samplesPath.c_str());
        }
        args.push_back(nullptr);
        execv(program.c_str(), const_cast<char* const*>(args.data()));
        _exit(127);
    }
    close(pipeFds[1]);
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof(buffer))) != 0) {
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            break;
        }
        output_r.append(buffer, static_cast<size_t>(got));
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<double> readSamples(const std::string& path) {
    std::vector<double> samples;
    FILE* file_p = fopen(path.c_str(), "re");
    if (file_p == nullptr) {
        return samples;
    }
    double value;
    while (fscanf(file_p, "%lf", &value) == 1) {
        samples.push_back(value);
    }
    fclose(file_p);
    unlink(path.c_str());
    return samples;
}

struct Options {
    int rounds = 3;
    std::vector<std::string> scenarios = bench::scenarioNames();
    std::vector<std::string> subjects = bench::subjectNames();
    std::string outDir;
    std::string microCsv;
    std::map<std::string, std::string> compared;  // subject name -> harness of another build
};

void runRound(const Options& options, int round, bench::Report& report_r) {
    for (const std::string& scenario : options.scenarios) {
        std::vector<std::string> order = options.subjects;
        std::rotate(order.begin(), order.begin() + round % order.size(), order.end());
        for (const std::string& subject : order) {
            std::string samplesPath;
            if (scenario == "latency") {
                std::string dir = options.outDir.empty() ? "/tmp" : options.outDir;
                samplesPath = dir + "/samples-" + subject + "." + std::to_string(getpid());
            }
            auto compared = options.compared.find(subject);
            bool isCompared = compared != options.compared.end();
            std::string output;
            bool ok = runChild(isCompared ? compared->second : "/proc/self/exe",
                               isCompared ? "library" : subject, scenario, samplesPath, output);
            fprintf(stderr, "round %d %-8s %-9s %s%s", round + 1, scenario.c_str(), subject.c_str(),
                    ok ? "" : "FAILED ", output.c_str());
            if (ok) {
                report_r.add(scenario, subject, parseFigures(output));
            }
            if (!samplesPath.empty()) {
                report_r.addSamples(subject, readSamples(samplesPath));
            }
        }
    }
}

bool parseOptions(int argc, char** argv, Options& options_r) {
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        std::string value = argv[++i];
        if (option == "--rounds") {
            options_r.rounds = std::max(1, atoi(value.c_str()));
        } else if (option == "--scenarios") {
            options_r.scenarios = splitList(value);
        } else if (option == "--subjects") {
            options_r.subjects = splitList(value);
        } else if (option == "--out-dir") {
            options_r.outDir = value;
        } else if (option == "--micro") {
            options_r.microCsv = value;
        } else if (option == "--compare" && value.find('=') != std::string::npos) {
            std::string name = value.substr(0, value.find('='));
            options_r.compared[name] = value.substr(value.find('=') + 1);
        } else {
            return false;
        }
    }
    for (const auto& compared : options_r.compared) {
        options_r.subjects.push_back(compared.first);
    }
    return !options_r.subjects.empty();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && strcmp(argv[1], "--child") == 0) {
        std::string samplesPath = argc >= 6 && strcmp(argv[4], "--samples") == 0 ? argv[5] : "";
        return childMain(argv[2], argv[3], samplesPath);
    }
    Options options;
    if (!parseOptions(argc, argv, options)) {
        fprintf(stderr,
                "usage: %s [--rounds N] [--scenarios a,b] [--subjects a,b] [--out-dir DIR] "
                "[--micro CSV]\n       [--compare NAME=PATH]...\n       %s --child SUBJECT "
                "SCENARIO [--samples FILE]\n",
                argv[0], argv[0]);
        return 64;
    }
    signal(SIGPIPE, SIG_IGN);
    bench::Report report(options.subjects);
    for (int round = 0; round < options.rounds; ++round) {
        runRound(options, round, report);
    }
    if (!options.microCsv.empty()) {
        report.addMicroBenchmarks(options.microCsv);
    }
    report.write(stdout, options.outDir);
    return 0;
}
