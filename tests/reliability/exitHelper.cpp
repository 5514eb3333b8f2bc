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
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "commonTimerManager.h"

namespace {

cmn::TimerManager& manager() { return cmn::SingletonPerThread<cmn::TimerManager>::getInstance(); }

class Client : public cmn::PATimerClient {
public:
    explicit Client(int exitCode) : exitCode_m(exitCode) {}
    bool timerExpired(uint32_t, cmn::PAUserData*) override {
        ++calls_m;
        if (exitCode_m >= 0) {
            exit(exitCode_m);
        }
        return true;
    }
    std::string getClientName() const override { return "exitHelper"; }

    int calls_m = 0;

private:
    int exitCode_m;
};

void startTimer(Client& client_r, uint32_t periodMs) {
    uint32_t timerId = 0;
    if (!manager().startOneShotTimer(timerId, periodMs, &client_r, nullptr,
                                     cmn::TimerManager::millisecondGranularity_c)) {
        fprintf(stderr, "start failed\n");
        exit(90);
    }
}

bool runLoopUntil(const Client& client_r, int calls, int budgetMs) {
    cmn::Dispatcher& dispatcher = cmn::SingletonHolder<cmn::Dispatcher>::getInstance();
    std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
    while (client_r.calls_m < calls && std::chrono::steady_clock::now() < deadline) {
        dispatcher.listenOnce(10);
    }
    return client_r.calls_m >= calls;
}

bool exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

int forkChild(Client& client_r, const std::string& path) {
    mdf::Server& server = cmn::SingletonHolder<mdf::Server>::getInstance();
    if (!server.startListening("")) {
        return 95;
    }
    const std::string commandPath = server.getListeningPath();
    printf("%s\n", commandPath.c_str());
    fflush(stdout);
    pid_t child = fork();
    if (child < 0) {
        return 91;
    }
    if (child == 0) {
        cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance();
        exit(0);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return 92;
    }
    if (exists(path)) {
        printf("parent-socket-kept\n");
    }
    if (exists(commandPath)) {
        printf("parent-command-socket-kept\n");
    }
    startTimer(client_r, 1);
    if (runLoopUntil(client_r, 1, 10000)) {
        printf("parent-expiry-delivered\n");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s MODE\n", argv[0]);
        return 64;
    }
    const std::string mode = argv[1];
    std::string path = manager().getCbAddress().sun_path;
    printf("%s\n", path.c_str());
    fflush(stdout);
    Client quiet(-1);
    if (mode == "return") {
        startTimer(quiet, 3600000);
        return 0;
    }
    if (mode == "exit-in-callback") {
        Client exiting(7);
        startTimer(exiting, 1);
        runLoopUntil(exiting, 1, 10000);
        return 93;  // the callback never came
    }
    if (mode == "exit-from-thread") {
        startTimer(quiet, 3600000);
        std::thread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            exit(5);
        }).detach();
        runLoopUntil(quiet, 1, 10000);
        return 94;
    }
    if (mode == "delete-then-exit") {
        startTimer(quiet, 3600000);
        cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance();
        exit(0);
    }
    if (mode == "fork-child") {
        startTimer(quiet, 3600000);
        return forkChild(quiet, path);
    }
    fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 64;
}
