// tmgr-demo: runs the four kinds of timer on the main thread's manager, serves the command
// socket, and prints one line per expiry with the timer's id, kind and lateness.
//
//   tmgr-demo [--seconds N]
//
// Ends after N seconds (default 12), or at SIGINT or SIGTERM, prints the manager's state
// ("tmgr-show-state"), removes its sockets and exits 0.
// While it runs, `mdf-cli -p <pid> tmgr-show-state` inspects it from another shell.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>

#include "commonDispatcher.h"
#include "commonTimerManager.h"
#include "mdfServer.h"

namespace {

const uint32_t oneShotMs = 1500;
const uint32_t periodicMs = 1000;
const uint32_t periodicNs = 700000000;
const uint32_t clockSyncSeconds = 5;
const int defaultSeconds = 12;

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

// SIGINT and SIGTERM end the run normally. Without SA_RESTART the signal interrupts the
// dispatcher's wait, which then returns at once.
bool installStopHandlers() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

int64_t monotonicMicros() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int64_t wallClockMicros() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}

// Prints each expiry and how late it came: against the time it was due on the monotonic
// clock (relative timers, re-armed one period after each processing) or against the
// wall-clock boundary it stands for (the clock-synchronised timer).
class DemoClient : public cmn::PATimerClient {
public:
    struct Timer {
        std::string kind;
        int64_t periodMicros;
        int64_t dueMicros;
        bool clockSync;
    };

    void addRelative(uint32_t timerId, const std::string& kind, int64_t periodMicros) {
        timers_m[timerId] = Timer{kind, periodMicros, monotonicMicros() + periodMicros, false};
    }
    void addClockSync(uint32_t timerId, const std::string& kind, int64_t periodMicros) {
        timers_m[timerId] = Timer{kind, periodMicros, 0, true};
    }

    bool timerExpired(uint32_t timerId, cmn::PAUserData*) override {
        std::map<uint32_t, Timer>::iterator it = timers_m.find(timerId);
        if (it == timers_m.end()) {
            printf("expiry: timer %u (unknown)\n", timerId);
            return true;
        }
        Timer& timer = it->second;
        int64_t lateMicros;
        if (timer.clockSync) {
            int64_t now = wallClockMicros();
            lateMicros = now % timer.periodMicros;
        } else {
            int64_t now = monotonicMicros();
            lateMicros = now - timer.dueMicros;
            timer.dueMicros = now + timer.periodMicros;
        }
        printf("expiry: timer %u %-22s late %lld us\n", timerId, timer.kind.c_str(),
               static_cast<long long>(lateMicros));
        fflush(stdout);
        return true;
    }

    std::string getClientName() const override { return "tmgr-demo"; }

private:
    std::map<uint32_t, Timer> timers_m;
};

// The --help text; the man page tmgr-demo(1) says the same.
const char usageText[] =
    "usage: tmgr-demo [--seconds N]\n"
    "Runs a one-shot, two periodic and a clock-synchronised timer on the main thread's timer\n"
    "manager, serves the command socket /tmp/mdf-server.<pid>.socket, prints one line per\n"
    "expiry and, at the end, the manager's state.\n"
    "  --seconds N  run for N seconds, 1 to 86400 (default 12)\n"
    "  -h, --help   print this text\n"
    "Ends early at SIGINT or SIGTERM. Exit status: 0 after a normal run, 1 when the command\n"
    "socket or a timer cannot be set up, 64 usage error.\n";

int parseSeconds(int argc, char** argv) {
    int seconds = defaultSeconds;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(usageText, stdout);
            exit(0);
        }
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            char* end_p = nullptr;
            long value = strtol(argv[++i], &end_p, 10);
            if (*end_p == '\0' && value > 0 && value <= 86400) {
                seconds = static_cast<int>(value);
                continue;
            }
        }
        fprintf(stderr, "tmgr-demo: bad argument %s\n%s", argv[i], usageText);
        exit(64);
    }
    return seconds;
}

bool startTimers(cmn::TimerManager& manager, DemoClient& client) {
    uint32_t id = 0;
    bool ok = manager.startOneShotTimer(id, oneShotMs, &client, nullptr,
                                        cmn::TimerManager::millisecondGranularity_c);
    client.addRelative(id, "one-shot 1500 ms", oneShotMs * 1000LL);
    ok = ok && manager.startPeriodicTimer(id, periodicMs, &client, nullptr,
                                          cmn::TimerManager::millisecondGranularity_c);
    client.addRelative(id, "periodic 1000 ms", periodicMs * 1000LL);
    ok = ok && manager.startPeriodicTimer(id, periodicNs, &client, nullptr,
                                          cmn::TimerManager::nanosecondGranularity_c);
    client.addRelative(id, "periodic 700000000 ns", periodicNs / 1000);
    ok = ok && manager.startPeriodicClockSyncTimer(id, clockSyncSeconds, 0, &client, nullptr);
    client.addClockSync(id, "clock-sync every 5 s", clockSyncSeconds * 1000000LL);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = parseSeconds(argc, argv);
    // Before any socket file exists: a stop request from here on ends the demo the orderly
    // way, which removes them.
    if (!installStopHandlers()) {
        perror("tmgr-demo: sigaction");
        return 1;
    }
    cmn::TimerManager& manager = cmn::SingletonPerThread<cmn::TimerManager>::getInstance();
    mdf::Server& server = cmn::SingletonHolder<mdf::Server>::getInstance();
    cmn::Dispatcher& dispatcher = cmn::SingletonHolder<cmn::Dispatcher>::getInstance();

    if (!server.startListening("")) {
        fprintf(stderr, "tmgr-demo: cannot serve the command socket\n");
        return 1;
    }
    printf("tmgr-demo: pid %d, running %d s; try: mdf-cli -p %d tmgr-show-state\n",
           static_cast<int>(getpid()), seconds, static_cast<int>(getpid()));
    fflush(stdout);

    DemoClient client;
    if (!startTimers(manager, client)) {
        fprintf(stderr, "tmgr-demo: a timer could not be started\n");
        server.stopListening();
        return 1;
    }

    int64_t endMicros = monotonicMicros() + seconds * 1000000LL;
    for (int64_t left = endMicros - monotonicMicros(); left > 0 && stopRequested == 0;
         left = endMicros - monotonicMicros()) {
        dispatcher.listenOnce(static_cast<time_t>((left + 999) / 1000));
    }

    std::string state;
    server.executeCommand("tmgr-show-state", state);
    fputs(state.c_str(), stdout);
    server.stopListening();
    cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance();
    return 0;
}
