#include "syscallFaults.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <utility>

namespace cmn::test {

namespace {

std::atomic<int> pendingErrors[5];  // per FaultyCall; 0 when none is pending

const int64_t kNsPerSecond = 1000000000;
std::atomic<int64_t> wallClockStepNs{0};
// Which descriptors are CLOCK_REALTIME timerfds, as timerfd_create made them.
const int kTrackedFds = 4096;
std::atomic<bool> realtimeTimerfd[kTrackedFds];

std::atomic<long> sentCount{0};
std::atomic<long> blockedCount{0};
std::atomic<long> failedCount{0};
std::atomic<int> lastBindMode{-1};

std::mutex syslogMutex;
std::vector<std::string>* syslogLines_p = new std::vector<std::string>();  // outlives exit

// True (errno set) when a fault of that kind is pending; consumes it.
bool takeFault(FaultyCall call) {
    const int error = pendingErrors[static_cast<int>(call)].exchange(0);
    if (error != 0) {
        errno = error;
    }
    return error != 0;
}

// The C library's definition of the function that the first argument replaces.
template <typename Function>
Function* realFunction(Function*, const char* name) {
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

void addNs(struct timespec& time_r, int64_t deltaNs) {
    const int64_t ns =
        (static_cast<int64_t>(time_r.tv_sec) * kNsPerSecond + time_r.tv_nsec) + deltaNs;
    time_r.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
    time_r.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    if (time_r.tv_nsec < 0) {
        time_r.tv_sec -= 1;
        time_r.tv_nsec += kNsPerSecond;
    }
}

// The real instant of an absolute stepped time; never zero or before the epoch, which would
// disarm the timer instead of making it due.
struct itimerspec unstepped(const struct itimerspec& setting, int64_t stepNs) {
    struct itimerspec real = setting;
    addNs(real.it_value, -stepNs);
    if (real.it_value.tv_sec < 0 || (real.it_value.tv_sec == 0 && real.it_value.tv_nsec == 0)) {
        real.it_value.tv_sec = 0;
        real.it_value.tv_nsec = 1;
    }
    return real;
}

bool isRealtimeTimerfd(int fd) { return fd >= 0 && fd < kTrackedFds && realtimeTimerfd[fd].load(); }

void recordSyslog(const char* format, va_list args) {
    char line[512];
    vsnprintf(line, sizeof(line), format, args);
    std::lock_guard<std::mutex> lock(syslogMutex);
    syslogLines_p->push_back(line);
}

}  // namespace

void failNextCall(FaultyCall call, int error) {
    pendingErrors[static_cast<int>(call)].store(error);
}

void stepWallClock(int64_t deltaNs) { wallClockStepNs += deltaNs; }

SendCounts sendCounts() {
    return SendCounts{sentCount.load(), blockedCount.load(), failedCount.load()};
}

int modeAfterLastBind() { return lastBindMode.load(); }

std::vector<std::string> takeSyslogLines() {
    std::lock_guard<std::mutex> lock(syslogMutex);
    return std::exchange(*syslogLines_p, std::vector<std::string>());
}

}  // namespace cmn::test

using cmn::test::FaultyCall;

extern "C" {

ssize_t sendto(int fd, const void* buffer, size_t length, int flags, const struct sockaddr* to,
               socklen_t toLength) {
    static auto real = cmn::test::realFunction(&sendto, "sendto");
    if (cmn::test::takeFault(FaultyCall::sendto_c)) {
        ++cmn::test::failedCount;
        return -1;
    }
    ssize_t result = real(fd, buffer, length, flags == 0 ? MSG_DONTWAIT : flags, to, toLength);
    if (flags == 0 && result == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        ++cmn::test::blockedCount;
        result = real(fd, buffer, length, flags, to, toLength);
    }
    ++(result == -1 ? cmn::test::failedCount : cmn::test::sentCount);
    return result;
}

ssize_t recvfrom(int fd, void* buffer, size_t length, int flags, struct sockaddr* from,
                 socklen_t* fromLength) {
    static auto real = cmn::test::realFunction(&recvfrom, "recvfrom");
    if (cmn::test::takeFault(FaultyCall::recvfrom_c)) {
        return -1;
    }
    return real(fd, buffer, length, flags, from, fromLength);
}

// What an optimised build with _FORTIFY_SOURCE calls instead.
ssize_t __recvfrom_chk(int fd, void* buffer, size_t length, size_t, int flags,
                       struct sockaddr* from, socklen_t* fromLength) {
    return recvfrom(fd, buffer, length, flags, from, fromLength);
}

int socket(int domain, int type, int protocol) __THROW {
    static auto real = cmn::test::realFunction(&socket, "socket");
    if (cmn::test::takeFault(FaultyCall::socket_c)) {
        return -1;
    }
    return real(domain, type, protocol);
}

int bind(int fd, const struct sockaddr* address, socklen_t length) __THROW {
    static auto real = cmn::test::realFunction(&bind, "bind");
    int result = real(fd, address, length);
    if (result == 0 && address != nullptr && address->sa_family == AF_UNIX) {
        const sockaddr_un* unix_p = reinterpret_cast<const sockaddr_un*>(address);
        struct stat info;
        if (unix_p->sun_path[0] != '\0' && lstat(unix_p->sun_path, &info) == 0) {
            cmn::test::lastBindMode.store(static_cast<int>(info.st_mode & 07777));
        }
    }
    return result;
}

int epoll_ctl(int epollFd, int operation, int fd, struct epoll_event* event) __THROW {
    static auto real = cmn::test::realFunction(&epoll_ctl, "epoll_ctl");
    if (operation == EPOLL_CTL_ADD && cmn::test::takeFault(FaultyCall::epollAdd_c)) {
        return -1;
    }
    return real(epollFd, operation, fd, event);
}

int clock_gettime(clockid_t clock, struct timespec* time_p) __THROW {
    static auto real = cmn::test::realFunction(&clock_gettime, "clock_gettime");
    const int result = real(clock, time_p);
    const int64_t stepNs = cmn::test::wallClockStepNs.load();
    if (result == 0 && clock == CLOCK_REALTIME && stepNs != 0) {
        cmn::test::addNs(*time_p, stepNs);
    }
    return result;
}

int timerfd_create(int clock, int flags) __THROW {
    static auto real = cmn::test::realFunction(&timerfd_create, "timerfd_create");
    const int fd = real(clock, flags);
    if (fd >= 0 && fd < cmn::test::kTrackedFds) {
        cmn::test::realtimeTimerfd[fd].store(clock == CLOCK_REALTIME);
    }
    return fd;
}

int timerfd_settime(int fd, int flags, const struct itimerspec* setting_p,
                    struct itimerspec* previous_p) __THROW {
    static auto real = cmn::test::realFunction(&timerfd_settime, "timerfd_settime");
    const int64_t stepNs = cmn::test::wallClockStepNs.load();
    int result;
    if (stepNs != 0 && setting_p != nullptr && (flags & TFD_TIMER_ABSTIME) != 0 &&
        cmn::test::isRealtimeTimerfd(fd)) {
        const struct itimerspec unstepped = cmn::test::unstepped(*setting_p, stepNs);
        result = real(fd, flags, &unstepped, previous_p);
    } else {
        result = real(fd, flags, setting_p, previous_p);
    }
    if (result == 0 && cmn::test::takeFault(FaultyCall::timerfdSettime_c)) {
        return -1;
    }
    return result;
}

void syslog(int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    cmn::test::recordSyslog(format, args);
    va_end(args);
}
void __syslog_chk(int, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    cmn::test::recordSyslog(format, args);
    va_end(args);
}
}
