// runInForkedChild: runs a function in a child of fork() and reports how the child ended.
//
// The child calls _exit() with the function's result, so it never runs the parent's static
// destructors or gtest's exit handlers. The parent waits for the child for at most `budget`;
// a child that is still running then is killed, so a hang fails the test instead of the run.
// Thread: any; the child has only the forking thread, so `body` must not wait for another.
#ifndef TESTS_PLATFORM_FORKEDCHILD_H
#define TESTS_PLATFORM_FORKEDCHILD_H

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

namespace cmn {
namespace test {

// The child's exit status, or -1 when fork() failed or the child hung past `budget`.
inline int runInForkedChild(const std::function<int()>& body,
                            std::chrono::seconds budget = std::chrono::seconds(20)) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(body());
    }
    if (child < 0) {
        return -1;
    }
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + budget;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace test
}  // namespace cmn

#endif  // TESTS_PLATFORM_FORKEDCHILD_H
