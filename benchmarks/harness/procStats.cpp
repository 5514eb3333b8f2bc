// Process figures from /proc and getrusage.
#include "procStats.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace bench {

namespace {

// The value after "<key>:" in a /proc status file; 0 when absent.
uint64_t statusField(const char* path, const char* key) {
    FILE* file_p = fopen(path, "re");
    if (file_p == nullptr) {
        return 0;
    }
    char line[256];
    size_t keyLength = strlen(key);
    uint64_t value = 0;
    while (fgets(line, sizeof(line), file_p) != nullptr) {
        if (strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
            value = strtoull(line + keyLength + 1, nullptr, 10);
            break;
        }
    }
    fclose(file_p);
    return value;
}

// The first field of /proc/.../schedstat: nanoseconds spent on a CPU.
uint64_t scheduledNs(const char* path) {
    FILE* file_p = fopen(path, "re");
    if (file_p == nullptr) {
        return 0;
    }
    unsigned long long runNs = 0;
    if (fscanf(file_p, "%llu", &runNs) != 1) {
        runNs = 0;
    }
    fclose(file_p);
    return runNs;
}

// The thread's name from /proc/self/task/<tid>/comm, without its newline.
std::string threadName(const char* tid) {
    char path[300];
    snprintf(path, sizeof(path), "/proc/self/task/%s/comm", tid);
    FILE* file_p = fopen(path, "re");
    if (file_p == nullptr) {
        return "";
    }
    char name[64] = {0};
    if (fgets(name, sizeof(name), file_p) == nullptr) {
        name[0] = '\0';
    }
    fclose(file_p);
    name[strcspn(name, "\n")] = '\0';
    return name;
}

void addThread(const char* tid, ThreadTotals& totals_r) {
    char path[300];
    snprintf(path, sizeof(path), "/proc/self/task/%s/status", tid);
    uint64_t voluntary = statusField(path, "voluntary_ctxt_switches");
    totals_r.contextSwitches += voluntary + statusField(path, "nonvoluntary_ctxt_switches");
    totals_r.voluntarySwitches += voluntary;
    snprintf(path, sizeof(path), "/proc/self/task/%s/schedstat", tid);
    totals_r.runNs += scheduledNs(path);
    ++totals_r.threads;
}

// Calls visit(tid) for every thread of the process but excludedTid.
template <typename Visit>
void forEachThread(pid_t excludedTid, Visit visit) {
    DIR* dir_p = opendir("/proc/self/task");
    if (dir_p == nullptr) {
        return;
    }
    while (struct dirent* entry_p = readdir(dir_p)) {
        if (entry_p->d_name[0] != '.' && atoi(entry_p->d_name) != excludedTid) {
            visit(entry_p->d_name);
        }
    }
    closedir(dir_p);
}

}  // namespace

uint64_t residentBytes() {
    FILE* file_p = fopen("/proc/self/statm", "re");
    if (file_p == nullptr) {
        return 0;
    }
    unsigned long long sizePages = 0;
    unsigned long long residentPages = 0;
    if (fscanf(file_p, "%llu %llu", &sizePages, &residentPages) != 2) {
        residentPages = 0;
    }
    fclose(file_p);
    return residentPages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

int64_t processCpuNs() {
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        return 0;
    }
    return (static_cast<int64_t>(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000000 +
           (static_cast<int64_t>(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1000;
}

ThreadTotals threadTotals(pid_t excludedTid) {
    ThreadTotals totals;
    forEachThread(excludedTid, [&totals](const char* tid) { addThread(tid, totals); });
    return totals;
}

std::map<std::string, ThreadTotals> threadTotalsByName(pid_t excludedTid) {
    std::map<std::string, ThreadTotals> totals;
    forEachThread(excludedTid,
                  [&totals](const char* tid) { addThread(tid, totals[threadName(tid)]); });
    return totals;
}

pid_t currentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

}  // namespace bench
