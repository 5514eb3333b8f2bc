// A process whose main thread owns a timer manager and then ends in the way its argument
// names. It prints its callback socket's path first, so that the test that runs it can check
// afterwards that the file went with the process, and every log message of level err or worse
// as "log: <text>".
//
//   return            returns from main with a timer still armed
//   exit-in-callback  calls exit(7) from inside a timer's callback
//   exit-from-thread  another thread calls exit(5) while the main thread runs the loop
//   delete-then-exit  deletes the manager, then calls exit(0)
//   static-client     a client with static storage, constructed before main, starts a timer
//                     and cancels it in its destructor, which prints "client-cancelled"; main
//                     returns
//   throw-in-callback a callback throws and main catches it; then a timer with user data still
//                     attached is left for exit(0), whose destruction of the manager reports the
//                     leak
//   worker-alive      a second thread makes its own manager (its path printed second) and
//                     runs its loop; main returns while it still runs
//   fork-child        with the command server listening too (its path printed second), a child
//                     of fork() deletes the manager it inherited and exits; the parent prints
//                     "parent-socket-kept" and "parent-command-socket-kept" when both files
//                     are still there, "parent-expiry-delivered" when its own expiry still
//                     comes, and returns
//   fork-child-timers the parent runs a periodic timer; a child of fork() makes its own manager,
//                     runs its own periodic timer, deletes the manager and, once the parent
//                     has had three expiries since the fork, exits, while the parent keeps
//                     running its loop. The parent prints "child-timers-fired" when
//                     the child's timer fired and its socket file went with it,
//                     "parent-expiries-delivered" when its own timer kept firing during and
//                     after the child, and "parent-socket-kept"
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "commonTimerManager.h"

namespace {

cmn::TimerManager& manager() { return cmn::SingletonPerThread<cmn::TimerManager>::getInstance(); }

void printLogs() {
    cmn::SingletonHolder<cmn::DebugLogger>::getInstance().setSink(
        [](const cmn::DbgModuleDescriptor&, DebugLogLevelType level, const char*, int,
           const std::string& text) {
            if (level <= DBGLEVEL_ERROR) {
                printf("log: %s\n", text.c_str());
                fflush(stdout);
            }
        });
}

// Counts its expiries; throws from the callback when asked to.
class CountingClient : public cmn::PATimerClient {
public:
    bool timerExpired(uint32_t, cmn::PAUserData*) override {
        ++expiries_m;
        if (throws_m) {
            throw std::runtime_error("client failure");
        }
        return true;
    }
    std::string getClientName() const override { return "exitHelper"; }
    int expiries_m = 0;
    bool throws_m = false;
};

// Static storage, constructed before main: cancels its timer in its destructor, after main.
class StaticClient : public CountingClient {
public:
    ~StaticClient() override {
        if (started_m) {
            manager().cancelTimer(timerId_m, false);
            printf("client-cancelled\n");
            fflush(stdout);
        }
    }
    void start() {
        started_m = manager().startPeriodicTimer(timerId_m, 3600000, this, nullptr,
                                                 cmn::TimerManager::millisecondGranularity_c);
    }

private:
    uint32_t timerId_m = 0;
    bool started_m = false;
};
StaticClient staticClient_g;

// Runs the calling thread's loop until `count` has reached `target` or `budgetMs` has passed.
bool runUntilCount(const int& count, int target, int budgetMs) {
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
    while (count < target && std::chrono::steady_clock::now() < deadline) {
        cmn::SingletonHolder<cmn::Dispatcher>::getInstance().listenOnce(10);
    }
    return count >= target;
}

uint32_t startPeriodic(cmn::PATimerClient* client_p, uint32_t periodMs,
                       cmn::PAUserData* userData_p = nullptr) {
    uint32_t timerId = 0;
    if (!manager().startPeriodicTimer(timerId, periodMs, client_p, userData_p,
                                      cmn::TimerManager::millisecondGranularity_c)) {
        exit(91);
    }
    return timerId;
}

// Exits with `exitCode_m` from its callback, unless that is negative.
class Client : public cmn::PATimerClient {
public:
    explicit Client(int exitCode) : exitCode_m(exitCode) {}
    bool timerExpired(uint32_t, cmn::PAUserData*) override {
        if (exitCode_m >= 0) {
            exit(exitCode_m);
        }
        return called_m = true;
    }
    std::string getClientName() const override { return "exitHelper"; }
    bool called_m = false;

private:
    int exitCode_m;
};

// Starts a one-shot timer of `periodMs` for the client; with `runMs`, then runs the loop until
// it expires or that time has passed. Returns whether it expired.
bool startAndRun(Client& client_r, uint32_t periodMs, int runMs = 0) {
    uint32_t timerId = 0;
    if (!manager().startOneShotTimer(timerId, periodMs, &client_r, nullptr,
                                     cmn::TimerManager::millisecondGranularity_c)) {
        exit(90);
    }
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(runMs);
    while (!client_r.called_m && std::chrono::steady_clock::now() < deadline) {
        cmn::SingletonHolder<cmn::Dispatcher>::getInstance().listenOnce(10);
    }
    return client_r.called_m;
}

void printIf(bool condition, const std::string& line) {
    if (condition) {
        printf("%s\n", line.c_str());
        fflush(stdout);
    }
}

int forkChild(const std::string& path) {
    mdf::Server& server = cmn::SingletonHolder<mdf::Server>::getInstance();
    server.startListening("");  // on failure the parent's command-socket line is missing
    const std::string commandPath = server.getListeningPath();
    printIf(true, commandPath);
    pid_t child = fork();
    if (child == 0) {
        cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance();
        exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || status != 0) {
        return 92;
    }
    printIf(access(path.c_str(), F_OK) == 0, "parent-socket-kept");
    printIf(access(commandPath.c_str(), F_OK) == 0, "parent-command-socket-kept");
    Client client(-1);
    printIf(startAndRun(client, 1, 10000), "parent-expiry-delivered");
    return 0;
}

// The child's own manager, on a fresh path, must see its own timer fire; its file must go with
// it. Exit status 0 when all of that held.
int runForkedChild(const std::string& parentPath) {
    const std::string path = manager().getCbAddress().sun_path;
    if (path == parentPath) {
        return 10;
    }
    CountingClient client;
    startPeriodic(&client, 5);
    if (!runUntilCount(client.expiries_m, 3, 10000)) {
        return 11;
    }
    cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance();
    return access(path.c_str(), F_OK) == 0 ? 12 : 0;
}

// The parent's loop keeps running while the child runs its own: a child that shared the
// parent's loop or driver would take the parent's expiries away. The child stays alive until
// the parent writes to `release` after three expiries of its own, or closes it.
int forkChildTimers(const std::string& path) {
    CountingClient client;
    startPeriodic(&client, 5);
    if (!runUntilCount(client.expiries_m, 2, 10000)) {
        return 95;
    }
    int release[2];
    if (pipe2(release, O_CLOEXEC) != 0) {
        return 91;
    }
    const int beforeChild = client.expiries_m;
    pid_t child = fork();
    if (child == 0) {
        close(release[1]);
        const int result = runForkedChild(path);
        char byte;
        while (read(release[0], &byte, 1) < 0 && errno == EINTR) {
        }
        exit(result);
    }
    close(release[0]);
    if (child < 0) {
        close(release[1]);
        return 92;
    }
    int status = 0;
    pid_t waited = 0;
    bool firedDuringChild = false;
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waited == 0 && std::chrono::steady_clock::now() < deadline) {
        cmn::SingletonHolder<cmn::Dispatcher>::getInstance().listenOnce(10);
        if (!firedDuringChild && client.expiries_m >= beforeChild + 3) {
            firedDuringChild = write(release[1], "", 1) == 1;
        }
        waited = waitpid(child, &status, WNOHANG);
    }
    close(release[1]);
    if (waited == 0) {
        waited = waitpid(child, &status, 0);
    }
    printIf(waited == child && WIFEXITED(status) && WEXITSTATUS(status) == 0, "child-timers-fired");
    printIf(firedDuringChild && runUntilCount(client.expiries_m, client.expiries_m + 3, 10000),
            "parent-expiries-delivered");
    printIf(access(path.c_str(), F_OK) == 0, "parent-socket-kept");
    return 0;
}

// The worker's manager stays alive through the exit: only its socket file must go. The worker
// notifies under the lock, so it is done with the hand-over before main goes on.
int workerAlive() {
    std::mutex mutex;
    std::condition_variable ready;
    std::string workerPath;
    std::thread([&] {
        CountingClient client;
        startPeriodic(&client, 1);
        {
            std::lock_guard<std::mutex> lock(mutex);
            workerPath = manager().getCbAddress().sun_path;
            ready.notify_one();
        }
        for (;;) {
            cmn::SingletonHolder<cmn::Dispatcher>::getInstance().listenOnce(10);
        }
    }).detach();
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait(lock, [&] { return !workerPath.empty(); });
    printIf(true, workerPath);
    return 0;
}

int throwInCallback() {
    CountingClient thrower;
    thrower.throws_m = true;
    startPeriodic(&thrower, 1);
    try {
        runUntilCount(thrower.expiries_m, 1, 10000);
    } catch (const std::runtime_error&) {
        static cmn::PAUserData attached;
        CountingClient quiet;
        startPeriodic(&quiet, 3600000, &attached);
        exit(0);
    }
    return 96;
}

}  // namespace

int main(int argc, char** argv) {
    printLogs();
    const std::string mode = argc == 2 ? argv[1] : "";
    const std::string path = manager().getCbAddress().sun_path;
    printIf(true, path);
    if (mode == "static-client") {
        staticClient_g.start();
        return 0;
    }
    if (mode == "throw-in-callback") {
        return throwInCallback();
    }
    if (mode == "worker-alive") {
        return workerAlive();
    }
    if (mode == "fork-child-timers") {
        return forkChildTimers(path);
    }
    Client quiet(-1);
    if (mode == "exit-in-callback") {
        Client exiting(7);
        startAndRun(exiting, 1, 10000);
        return 93;  // the callback never came
    }
    startAndRun(quiet, 3600000);
    if (mode == "exit-from-thread") {
        std::thread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            exit(5);
        }).detach();
        startAndRun(quiet, 3600000, 10000);
        return 94;
    }
    if (mode == "delete-then-exit") {
        cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance();
        exit(0);
    }
    return mode == "fork-child" ? forkChild(path) : mode == "return" ? 0 : 64;
}
