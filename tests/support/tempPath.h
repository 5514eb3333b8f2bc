// Helpers for the callback socket's path and scratch files.
#ifndef TESTS_SUPPORT_TEMPPATH_H
#define TESTS_SUPPORT_TEMPPATH_H

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace cmn {
namespace test {

// "/tmp/timer_manager_cb.socket.PID<pid>.TID<pthread_self>" of the calling thread.
inline std::string callbackSocketPathOfThisThread() {
    return "/tmp/timer_manager_cb.socket.PID" + std::to_string(getpid()) + ".TID" +
           std::to_string(static_cast<unsigned long>(pthread_self()));
}

inline bool pathExists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

}  // namespace test
}  // namespace cmn

#endif  // TESTS_SUPPORT_TEMPPATH_H
