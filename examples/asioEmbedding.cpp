// The thread's timers inside a Boost.Asio io_context. The dispatcher loop's descriptor
// (cmn::Dispatcher::getLoopDescriptor) is readable whenever listenOnce(0) has work; Asio watches
// it as a posix::stream_descriptor and runs the dispatcher's rounds on its own thread.
//
// Prints one line per expiry and whether it came on the loop's thread: three cmn::Timer
// one-shots, started out of order (300 ms apart, so a thread held up between two starts keeps
// their deadline order), and Asio's own steady_timer among them.
#include <stdio.h>

#include <boost/asio.hpp>
#include <chrono>
#include <thread>

#include "commonDispatcher.h"
#include "timer.h"

namespace asio = boost::asio;
using std::chrono::milliseconds;

// Serves the calling thread's dispatcher loop, whose descriptor is loopFd, from `io`, which
// runs on the same thread.
class DispatcherWatch {
public:
    DispatcherWatch(asio::io_context& io, int loopFd) : io_m(io), loop_m(io, loopFd) {
        awaitWork();
    }
    // The dispatcher owns the descriptor: Asio lets go of it without closing it.
    ~DispatcherWatch() { loop_m.release(); }

private:
    // Asio watches descriptors edge-triggered: the next wait is armed before the rounds run,
    // so work that comes in meanwhile wakes it again.
    void awaitWork() {
        loop_m.async_wait(asio::posix::stream_descriptor::wait_read,
                          [this](const boost::system::error_code& error) {
                              if (!error) {
                                  awaitWork();
                                  runRound();
                              }
                          });
    }
    // One round per handler, so Asio's own handlers run between rounds; the rounds go on
    // until one finds nothing to do.
    void runRound() {
        if (cmn::SingletonHolder<cmn::Dispatcher>::getInstance().listenOnce(0) > 0) {
            asio::post(io_m, [this] { runRound(); });
        }
    }

    asio::io_context& io_m;
    asio::posix::stream_descriptor loop_m;
};

int main() {
    int loopFd = cmn::SingletonHolder<cmn::Dispatcher>::getInstance().getLoopDescriptor();
    if (loopFd < 0) {
        fputs("no dispatcher loop on this thread\n", stderr);
        return 1;
    }
    asio::io_context io;
    DispatcherWatch watch(io, loopFd);
    const std::thread::id loopThread = std::this_thread::get_id();
    int pending = 4;
    auto report = [&](const char* what_p) {
        bool onLoop = std::this_thread::get_id() == loopThread;
        printf("%s: on the loop's thread: %s\n", what_p, onLoop ? "yes" : "no");
        if (--pending == 0) {
            io.stop();
        }
    };

    cmn::Timer last;
    cmn::Timer first;
    cmn::Timer second;
    bool started = last.start(milliseconds(700), [&] { report("cmn::Timer 700 ms"); }) &&
                   first.start(milliseconds(100), [&] { report("cmn::Timer 100 ms"); }) &&
                   second.start(milliseconds(400), [&] { report("cmn::Timer 400 ms"); });
    asio::steady_timer own(io, milliseconds(250));
    own.async_wait([&](const boost::system::error_code&) { report("asio::steady_timer 250 ms"); });

    io.run();  // until the four expiries came
    return started && pending == 0 ? 0 : 1;
}
