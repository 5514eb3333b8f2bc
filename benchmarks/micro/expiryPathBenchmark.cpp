// One expiry through the whole path, beside the floor and the bare datagram.
//
// OneTimer: the library: a one-shot timer of zero delay is started, the driver thread fires
// it and sends its datagram, the dispatcher round reads it, the client is called and the
// entry is removed. Floor: the floor's driver thread, timerfd, datagram and epoll round.
// UnixDatagram_RoundTrip: a 4-byte datagram sent on a connected pair and read back through
// epoll on one thread, no timer and no thread hop; ..._RoundTripToOwnPath: the same, sent as
// the manager sends, to the path name its socket is bound to.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "commonDispatcher.h"
#include "commonTimerManager.h"
#include "floorPath.h"

namespace {

class CountingClient : public cmn::PATimerClient {
public:
    bool timerExpired(uint32_t, cmn::PAUserData*) override {
        ++expiries_m;
        return true;
    }
    std::string getClientName() const override { return "bench"; }
    uint64_t expiries_m = 0;
};

void BM_ExpiryPath_OneTimer(benchmark::State& state) {
    cmn::TimerManager& manager = cmn::SingletonPerThread<cmn::TimerManager>::getInstance();
    cmn::Dispatcher& dispatcher = cmn::SingletonHolder<cmn::Dispatcher>::getInstance();
    CountingClient client;
    for (auto _ : state) {
        uint64_t before = client.expiries_m;
        uint32_t timerId = 0;
        manager.startOneShotTimer(timerId, 0, &client, nullptr,
                                  cmn::TimerManager::nanosecondGranularity_c);
        while (client.expiries_m == before) {
            dispatcher.listenOnce(1000);
        }
    }
    cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance();
}
BENCHMARK(BM_ExpiryPath_OneTimer)->UseRealTime();

void BM_ExpiryPath_Floor(benchmark::State& state) {
    bench::FloorPath path;
    if (!path.open()) {
        state.SkipWithError("floor path could not be opened");
        return;
    }
    for (auto _ : state) {
        path.driver().arm(0, bench::nowNs());
        uint32_t id = 0;
        while (!path.loop().runOnce(1000, id)) {
        }
    }
}
BENCHMARK(BM_ExpiryPath_Floor)->UseRealTime();

// Sends a 4-byte datagram from sendFd (to `to_p`, or to its peer when null), waits for it with
// epoll_wait and reads it from recvFd, once per iteration.
void datagramRoundTrips(benchmark::State& state, int sendFd, int recvFd, const sockaddr_un* to_p) {
    int epollFd = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event event = {};
    event.events = EPOLLIN;
    event.data.fd = recvFd;
    if (epollFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, recvFd, &event) != 0) {
        state.SkipWithError("epoll set-up failed");
    }
    const sockaddr* address_p = reinterpret_cast<const sockaddr*>(to_p);
    const socklen_t addressLength = to_p != nullptr ? sizeof(*to_p) : 0;
    uint32_t id = 7;
    for (auto _ : state) {
        if (sendto(sendFd, &id, sizeof(id), 0, address_p, addressLength) != sizeof(id)) {
            state.SkipWithError("send failed");
            break;
        }
        struct epoll_event ready;
        epoll_wait(epollFd, &ready, 1, -1);
        if (recv(recvFd, &id, sizeof(id), 0) != sizeof(id)) {
            state.SkipWithError("recv failed");
            break;
        }
    }
    close(epollFd);
}

void BM_UnixDatagram_RoundTrip(benchmark::State& state) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds) != 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    datagramRoundTrips(state, fds[1], fds[0], nullptr);
    close(fds[0]);
    close(fds[1]);
}
BENCHMARK(BM_UnixDatagram_RoundTrip)->UseRealTime();

// As the manager sends an expiry: from a socket bound to a path name to that same path, whose
// name the kernel resolves at every send.
void BM_UnixDatagram_RoundTripToOwnPath(benchmark::State& state) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "/tmp/ctm-bench-dgram-%d", getpid());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        state.SkipWithError("socket or bind failed");
    } else {
        datagramRoundTrips(state, fd, fd, &address);
        unlink(address.sun_path);
    }
    if (fd >= 0) {
        close(fd);
    }
}
BENCHMARK(BM_UnixDatagram_RoundTripToOwnPath)->UseRealTime();

}  // namespace
