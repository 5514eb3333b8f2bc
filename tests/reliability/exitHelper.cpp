// A process whose main thread owns a timer manager and then ends in the way its argument
// names. It prints its callback socket's path first, so that the test that runs it can check
// afterwards that the file went with the process.
//
//   return            returns from main with a timer still armed
//   exit-in-callback  calls exit(7) from inside a timer's callback
//   exit-from-thread  another thread calls exit(5) while the main thread runs the loop
//   delete-then-exit  deletes the manager, then calls exit(0)
//   fork-child        with the command server listening too (its path printed second), a child
//                     of fork() deletes the manager it inherited and exits; the parent prints
//                     "parent-socket-kept" and "parent-command-socket-kept" when both files
//                     are still there, "parent-expiry-delivered" when its own expiry still
//                     comes, and returns
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "commonTimerManager.h"

namespace {

cmn::TimerManager& manager() { return cmn::SingletonPerThread<cmn::TimerManager>::getInstance(); }

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

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 2 ? argv[1] : "";
    const std::string path = manager().getCbAddress().sun_path;
    printIf(true, path);
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
