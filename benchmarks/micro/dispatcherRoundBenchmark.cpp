// Dispatcher rounds on many threads at once, beside the bare epoll round.
//
// DispatcherRound: each benchmark thread owns a loop and a connected socket pair: one byte is
// written, one round finds the descriptor ready and the callback reads the byte back. No thread
// hop, no timer: what grows with the thread count is what the threads share. EpollRound is the
// same round made with epoll directly (the floor). DispatcherCallbacks: each thread's loop
// watches 64 descriptors that stay readable, so a round makes 64 callbacks for one epoll_wait
// and the dispatcher's own cost per callback (finding the watch, checking it, calling it)
// dominates. Compare the process CPU time per round or callback at 1 and at 32 threads.
#include <benchmark/benchmark.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "commonDispatcher.h"

namespace {

class ByteReader : public cmn::ADispatcherClient {
public:
    explicit ByteReader(int fd) : fd_m(fd) {}
    int getPrimarySocket() override { return fd_m; }
    std::string getSocketName(int) const override { return "bench"; }

private:
    bool socketCallback(int fd) override {
        char byte = 0;
        return read(fd, &byte, 1) == 1;
    }
    int fd_m;
};

// Leaves its byte unread, so its descriptor is reported in every round.
class Idler : public ByteReader {
public:
    using ByteReader::ByteReader;

private:
    bool socketCallback(int) override { return true; }
};

struct SocketPair {
    SocketPair() : ok(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {}
    ~SocketPair() {
        if (ok) {
            close(fds[0]);
            close(fds[1]);
        }
    }
    bool ok;
    int fds[2];
};

void BM_DispatcherRound_Threads(benchmark::State& state) {
    cmn::Dispatcher& dispatcher = cmn::SingletonHolder<cmn::Dispatcher>::getInstance();
    SocketPair pair;
    ByteReader reader(pair.fds[1]);
    if (!pair.ok || !dispatcher.addClient(&reader, cmn::ADispatcherClient::fdReadEvent_c)) {
        state.SkipWithError("socket pair or addClient failed");
        return;
    }
    for (auto _ : state) {
        if (write(pair.fds[0], "x", 1) != 1 || dispatcher.listenOnce(-1) != 1) {
            state.SkipWithError("round failed");
            break;
        }
    }
    dispatcher.removeClient(pair.fds[1], cmn::ADispatcherClient::fdReadEvent_c);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DispatcherRound_Threads)->ThreadRange(1, 32)->UseRealTime()->MeasureProcessCPUTime();

void BM_DispatcherCallbacks_Threads(benchmark::State& state) {
    const int descriptors = 64;
    cmn::Dispatcher& dispatcher = cmn::SingletonHolder<cmn::Dispatcher>::getInstance();
    std::vector<std::unique_ptr<SocketPair>> pairs;
    std::vector<std::unique_ptr<ByteReader>> readers;
    for (int i = 0; i < descriptors; ++i) {
        pairs.emplace_back(new SocketPair());
        readers.emplace_back(new Idler(pairs.back()->fds[1]));
        if (!pairs.back()->ok || write(pairs.back()->fds[0], "x", 1) != 1 ||
            !dispatcher.addClient(readers.back().get(), cmn::ADispatcherClient::fdReadEvent_c)) {
            state.SkipWithError("socket pair or addClient failed");
            return;
        }
    }
    for (auto _ : state) {
        if (dispatcher.listenOnce(0) != descriptors) {
            state.SkipWithError("round failed");
            break;
        }
    }
    for (const std::unique_ptr<SocketPair>& pair_r : pairs) {
        dispatcher.removeClient(pair_r->fds[1], cmn::ADispatcherClient::fdReadEvent_c);
    }
    state.SetItemsProcessed(state.iterations() * descriptors);
}
BENCHMARK(BM_DispatcherCallbacks_Threads)
    ->ThreadRange(1, 32)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_EpollRound_Threads(benchmark::State& state) {
    SocketPair pair;
    int epollFd = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event event = {};
    event.events = EPOLLIN;
    event.data.fd = pair.fds[1];
    if (!pair.ok || epollFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, pair.fds[1], &event) != 0) {
        state.SkipWithError("socket pair or epoll failed");
        return;
    }
    for (auto _ : state) {
        char byte = 0;
        struct epoll_event ready;
        if (write(pair.fds[0], "x", 1) != 1 || epoll_wait(epollFd, &ready, 1, -1) != 1 ||
            read(pair.fds[1], &byte, 1) != 1) {
            state.SkipWithError("round failed");
            break;
        }
    }
    close(epollFd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EpollRound_Threads)->ThreadRange(1, 32)->UseRealTime()->MeasureProcessCPUTime();

}  // namespace
