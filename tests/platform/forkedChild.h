// runInForkedChild: runs a function in a child of fork() and reports how the child ended.
//
// The child calls _exit() with the function's result, so it never runs the parent's static
// destructors or gtest's exit handlers. The parent waits for the child for at most `budget`;
// a child that is still running then is killed, so a hang fails the test instead of the run.
// Under ThreadSanitizer, which still counts the parent's threads in the child, the child ends
// with a bare exit_group (its exit checks would report those threads as leaked), and must not
// start threads: see childMayStartThreads.
// Thread: any; the child has only the forking thread, so `body` must not wait for another.
#ifndef TESTS_PLATFORM_FORKEDCHILD_H
#define TESTS_PLATFORM_FORKEDCHILD_H

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

namespace cmn {
namespace test {

#if defined(__SANITIZE_THREAD__)
const bool childMayStartThreads = false;
#else
const bool childMayStartThreads = true;
#endif

// The child's exit status, or -1 when fork() failed or the child hung past `budget`.
inline int runInForkedChild(const std::function<int()>& body,
                            std::chrono::seconds budget = std::chrono::seconds(20)) {
    const pid_t child = fork();
    if (child == 0) {
        const int status = body();
        if (!childMayStartThreads) {
            syscall(SYS_exit_group, status);
        }
        _exit(status);
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
