// Helpers for the callback socket's path and scratch files.
#ifndef TESTS_SUPPORT_TEMPPATH_H
#define TESTS_SUPPORT_TEMPPATH_H

#include <pthread.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace cmn {
namespace test {

// "/tmp/timer_manager_cb.socket.PID<pid>.TID<pthread_self>" of the calling thread.
inline std::string callbackSocketPathOfThisThread() {
    char path[256];
    snprintf(path, sizeof(path), "%s.PID%d.TID%lu", "/tmp/timer_manager_cb.socket",
             static_cast<int>(getpid()), static_cast<unsigned long>(pthread_self()));
    return path;
}

inline bool pathExists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

}  // namespace test
}  // namespace cmn

#endif  // TESTS_SUPPORT_TEMPPATH_H
