// runInForkedChild: runs a function in a child of fork() and returns the child's result.
//
// The child sends the function's result through a pipe and then kills itself with SIGKILL, so
// no exit-time check of a sanitizer or of valgrind runs in it: those would count as leaked the
// memory and the threads that only the parent's other threads refer to. An error such a tool
// reports while the function runs still ends the child before it sends anything. The parent
// waits for the result for at most `budget`; a child that is still running then is killed, so
// a hang fails the test instead of the run.
// Under ThreadSanitizer the child must not start threads: see childMayStartThreads.
// Thread: any; the child has only the forking thread, so `body` must not wait for another.
#ifndef TESTS_PLATFORM_FORKEDCHILD_H
#define TESTS_PLATFORM_FORKEDCHILD_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>

namespace cmn {
namespace test {

// ThreadSanitizer ends a child of a threaded process that starts a thread.
#if defined(__SANITIZE_THREAD__)
const bool childMayStartThreads = false;
#else
const bool childMayStartThreads = true;
#endif

// The result of `body` in the child (0 to 255), or -1 when the child could not be made, ended
// without sending a result, or sent none within `budget`.
inline int runInForkedChild(const std::function<int()>& body,
                            std::chrono::seconds budget = std::chrono::seconds(20)) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        const unsigned char result = static_cast<unsigned char>(body());
        if (write(pipeFds[1], &result, 1) != 1) {
            _exit(1);
        }
        kill(getpid(), SIGKILL);
    }
    close(pipeFds[1]);
    int result = -1;
    pollfd readable = {pipeFds[0], POLLIN, 0};
    unsigned char sent = 0;
    if (child > 0 && poll(&readable, 1, static_cast<int>(budget.count() * 1000)) == 1 &&
        read(pipeFds[0], &sent, 1) == 1) {
        result = sent;
    }
    close(pipeFds[0]);
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    return result;
}

}  // namespace test
}  // namespace cmn

#endif  // TESTS_PLATFORM_FORKEDCHILD_H
