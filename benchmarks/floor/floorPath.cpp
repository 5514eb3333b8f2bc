// The floor of the expiry path: driver thread, timerfd, datagram, epoll loop.
#include "floorPath.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

namespace bench {

namespace {

const int64_t kNoDeadline = std::numeric_limits<int64_t>::max();

// std::*_heap build max-heaps; "later" makes the earliest deadline the top.
struct Later {
    template <class T>
    bool operator()(const T& a_r, const T& b_r) const {
        if (a_r.deadlineNs != b_r.deadlineNs) {
            return a_r.deadlineNs > b_r.deadlineNs;
        }
        return a_r.sequence > b_r.sequence;
    }
};

void setAbsolute(int timerFd, int64_t deadlineNs) {
    struct itimerspec setting = {};
    setting.it_value.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
    setting.it_value.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
    if (setting.it_value.tv_sec == 0 && setting.it_value.tv_nsec == 0) {
        setting.it_value.tv_nsec = 1;  // zero would disarm
    }
    if (timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &setting, nullptr) != 0) {
        perror("floor: timerfd_settime");
    }
}

void closeIfOpen(int& fd_r) {
    if (fd_r >= 0) {
        close(fd_r);
        fd_r = -1;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// FloorDriver
// ---------------------------------------------------------------------------------------------

FloorDriver::FloorDriver(int sendFd) : sendFd_m(sendFd), armedNs_m(kNoDeadline) {}

FloorDriver::~FloorDriver() {
    stop();
    closeIfOpen(timerFd_m);
}

bool FloorDriver::start() {
    timerFd_m = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (timerFd_m < 0) {
        perror("floor: timerfd_create");
        return false;
    }
    struct timeval sendTimeout = {0, 50000};
    if (setsockopt(sendFd_m, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout)) != 0) {
        perror("floor: setsockopt(SO_SNDTIMEO)");
        return false;
    }
    thread_m = std::thread(&FloorDriver::run, this);
    return true;
}

void FloorDriver::stop() {
    if (!thread_m.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_m);
        stopping_m.store(true);
        setAbsolute(timerFd_m, 1);  // long past: wakes the blocked read at once
    }
    thread_m.join();
}

void FloorDriver::arm(uint32_t id, int64_t deadlineNs) {
    std::lock_guard<std::mutex> lock(mutex_m);
    heap_m.push_back(Item{deadlineNs, ++sequence_m, id});
    std::push_heap(heap_m.begin(), heap_m.end(), Later());
    programLocked();
}

void FloorDriver::programLocked() {
    if (!heap_m.empty() && heap_m.front().deadlineNs < armedNs_m) {
        armedNs_m = heap_m.front().deadlineNs;
        setAbsolute(timerFd_m, armedNs_m);
    }
}

void FloorDriver::popDueLocked(int64_t nowNs, std::vector<uint32_t>& due_r) {
    while (!heap_m.empty() && heap_m.front().deadlineNs <= nowNs) {
        due_r.push_back(heap_m.front().id);
        std::pop_heap(heap_m.begin(), heap_m.end(), Later());
        heap_m.pop_back();
    }
}

// Blocking sends: a full socket holds the driver back, as it holds the library's driver. The
// send timeout only lets a stop request through when nobody reads any more.
void FloorDriver::sendAll(const std::vector<uint32_t>& due) {
    for (uint32_t id : due) {
        while (send(sendFd_m, &id, sizeof(id), 0) < 0) {
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                perror("floor: send");
                break;
            }
            if (stopping_m.load(std::memory_order_relaxed)) {
                return;
            }
        }
    }
}

// The read blocks until the timerfd expires; an arming from another thread that moves the
// earliest deadline earlier re-programs it under the mutex, which the read then honours.
void FloorDriver::run() {
    pthread_setname_np(pthread_self(), "floor-driver");
    std::vector<uint32_t> due;
    due.reserve(1024);
    std::unique_lock<std::mutex> lock(mutex_m);
    while (!stopping_m.load(std::memory_order_relaxed)) {
        due.clear();
        popDueLocked(nowNs(), due);
        programLocked();
        lock.unlock();
        if (!due.empty()) {
            sendAll(due);
            lock.lock();
            continue;
        }
        uint64_t expirations = 0;
        ssize_t result = read(timerFd_m, &expirations, sizeof(expirations));
        lock.lock();
        if (result == static_cast<ssize_t>(sizeof(expirations))) {
            armedNs_m = kNoDeadline;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// FloorLoop
// ---------------------------------------------------------------------------------------------

FloorLoop::FloorLoop(int receiveFd) : receiveFd_m(receiveFd) {}

FloorLoop::~FloorLoop() {
    closeIfOpen(stopFd_m);
    closeIfOpen(epollFd_m);
}

bool FloorLoop::open() {
    epollFd_m = epoll_create1(EPOLL_CLOEXEC);
    stopFd_m = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epollFd_m < 0 || stopFd_m < 0) {
        perror("floor: epoll_create1/eventfd");
        return false;
    }
    struct epoll_event event = {};
    event.events = EPOLLIN;
    event.data.fd = receiveFd_m;
    struct epoll_event stopEvent = {};
    stopEvent.events = EPOLLIN;
    stopEvent.data.fd = stopFd_m;
    if (epoll_ctl(epollFd_m, EPOLL_CTL_ADD, receiveFd_m, &event) != 0 ||
        epoll_ctl(epollFd_m, EPOLL_CTL_ADD, stopFd_m, &stopEvent) != 0) {
        perror("floor: epoll_ctl");
        return false;
    }
    return true;
}

bool FloorLoop::runOnce(int timeoutMs, uint32_t& id_r) {
    struct epoll_event event;
    int ready = epoll_wait(epollFd_m, &event, 1, timeoutMs);
    if (ready <= 0 || event.data.fd != receiveFd_m) {
        return false;
    }
    uint32_t id = 0;
    if (recv(receiveFd_m, &id, sizeof(id), 0) != static_cast<ssize_t>(sizeof(id))) {
        return false;
    }
    id_r = id;
    return true;
}

void FloorLoop::stop() {
    uint64_t one = 1;
    if (write(stopFd_m, &one, sizeof(one)) < 0) {
        perror("floor: write(eventfd)");
    }
}

// ---------------------------------------------------------------------------------------------
// FloorPath
// ---------------------------------------------------------------------------------------------

FloorPath::FloorPath() {}

FloorPath::~FloorPath() {
    delete driver_mp;  // joins the driver thread before its socket closes
    delete loop_mp;
    closeIfOpen(fds_m[0]);
    closeIfOpen(fds_m[1]);
}

bool FloorPath::open() {
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds_m) != 0) {
        perror("floor: socketpair");
        return false;
    }
    loop_mp = new FloorLoop(fds_m[0]);
    driver_mp = new FloorDriver(fds_m[1]);
    return loop_mp->open() && driver_mp->start();
}

}  // namespace bench
