// The floor of the expiry path: the least any implementation of "driver thread fires, 4-byte
// datagram, epoll loop reads it" can cost, written without the library so that its figures
// can be set beside the library's.
//
// FloorDriver is a driver thread sleeping in a blocking read on one CLOCK_MONOTONIC timerfd,
// with a binary heap of (deadline, arming order, id) under one mutex. Arming re-programs the
// timerfd only when the earliest deadline moves earlier. Each due id is sent as a 4-byte
// datagram, in host order, on a connected AF_UNIX datagram socket (no address lookup per send).
// FloorLoop is the reading end: an epoll set holding that socket (and an eventfd to stop it),
// one epoll_wait and one recv per round, as the library's socket callback reads one datagram
// per dispatcher round.
//
// Ownership: FloorPath owns both halves and the socket pair. Thread: arm() from any thread;
// runOnce()/stop() as documented.
#ifndef BENCHMARKS_FLOOR_FLOORPATH_H
#define BENCHMARKS_FLOOR_FLOORPATH_H

#include <stdint.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace bench {

// CLOCK_MONOTONIC in nanoseconds, the clock of every deadline in the benchmarks.
inline int64_t nowNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

class FloorDriver {
public:
    // Sends on `sendFd`, which the caller keeps open until stop() has returned.
    explicit FloorDriver(int sendFd);
    ~FloorDriver();

    // Opens the timerfd and starts the driver thread. False on a refusal of the system.
    bool start();
    // Joins the driver thread; pending deadlines are dropped.
    void stop();
    // Queues `id` to be sent at deadlineNs (CLOCK_MONOTONIC). Any thread.
    void arm(uint32_t id, int64_t deadlineNs);

private:
    struct Item {
        int64_t deadlineNs;
        uint64_t sequence;
        uint32_t id;
    };

    FloorDriver(const FloorDriver&) = delete;
    FloorDriver& operator=(const FloorDriver&) = delete;

    void run();
    void popDueLocked(int64_t nowNs, std::vector<uint32_t>& due_r);
    void programLocked();
    void sendAll(const std::vector<uint32_t>& due);

    std::mutex mutex_m;
    std::vector<Item> heap_m;
    int sendFd_m;
    int timerFd_m = -1;
    int64_t armedNs_m;
    uint64_t sequence_m = 0;
    std::atomic<bool> stopping_m{false};
    std::thread thread_m;
};

class FloorLoop {
public:
    // Watches `receiveFd`; the caller keeps it open while the loop is used.
    explicit FloorLoop(int receiveFd);
    ~FloorLoop();

    bool open();
    // One round: waits up to timeoutMs (negative: no limit) and reads at most one datagram.
    // True with id_r set when a datagram was read; false on timeout or a stop request.
    bool runOnce(int timeoutMs, uint32_t& id_r);
    // Makes the current or next runOnce() return false. Any thread.
    void stop();

private:
    FloorLoop(const FloorLoop&) = delete;
    FloorLoop& operator=(const FloorLoop&) = delete;

    int receiveFd_m;
    int epollFd_m = -1;
    int stopFd_m = -1;
};

// A connected AF_UNIX datagram socket pair with a driver on one end and a loop on the other.
class FloorPath {
public:
    FloorPath();
    ~FloorPath();

    // Makes the socket pair, opens the loop and starts the driver. False on any refusal.
    bool open();
    FloorDriver& driver() { return *driver_mp; }
    FloorLoop& loop() { return *loop_mp; }

private:
    FloorPath(const FloorPath&) = delete;
    FloorPath& operator=(const FloorPath&) = delete;

    int fds_m[2] = {-1, -1};
    FloorDriver* driver_mp = nullptr;
    FloorLoop* loop_mp = nullptr;
};

}  // namespace bench

#endif  // BENCHMARKS_FLOOR_FLOORPATH_H
