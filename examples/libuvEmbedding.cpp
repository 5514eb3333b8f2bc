// The thread's timers inside a libuv loop. The dispatcher loop's descriptor
// (cmn::Dispatcher::getLoopDescriptor) is readable whenever listenOnce(0) has work; a uv_poll_t
// watches it and runs one round of the dispatcher loop each time, on the loop's thread. libuv
// polls level-triggered, so the callback comes again while work remains.
//
// Prints one line per expiry and whether it came on the loop's thread: three cmn::Timer
// one-shots, started out of order (300 ms apart, so a thread held up between two starts keeps
// their deadline order), and libuv's own uv_timer_t among them.
#include <stdio.h>
#include <uv.h>

#include <chrono>
#include <thread>

#include "commonDispatcher.h"
#include "timer.h"

using std::chrono::milliseconds;

namespace {

struct Example {
    uv_loop_t loop;
    uv_poll_t dispatcherWatch;
    uv_timer_t own;
    std::thread::id loopThread = std::this_thread::get_id();
    int pending = 4;

    void report(const char* what_p) {
        bool onLoop = std::this_thread::get_id() == loopThread;
        printf("%s: on the loop's thread: %s\n", what_p, onLoop ? "yes" : "no");
        if (--pending == 0) {
            // With its handles closed, uv_run returns.
            uv_close(reinterpret_cast<uv_handle_t*>(&dispatcherWatch), nullptr);
            uv_close(reinterpret_cast<uv_handle_t*>(&own), nullptr);
        }
    }
};

void onDispatcherReadable(uv_poll_t*, int status, int) {
    if (status == 0) {
        cmn::SingletonHolder<cmn::Dispatcher>::getInstance().listenOnce(0);
    }
}

void onOwnTimer(uv_timer_t* timer_p) {
    static_cast<Example*>(timer_p->data)->report("uv_timer_t 250 ms");
}

}  // namespace

int main() {
    Example example;
    int loopFd = cmn::SingletonHolder<cmn::Dispatcher>::getInstance().getLoopDescriptor();
    if (loopFd < 0 || uv_loop_init(&example.loop) != 0 ||
        uv_poll_init(&example.loop, &example.dispatcherWatch, loopFd) != 0 ||
        uv_poll_start(&example.dispatcherWatch, UV_READABLE, onDispatcherReadable) != 0 ||
        uv_timer_init(&example.loop, &example.own) != 0) {
        fputs("cannot watch the dispatcher loop\n", stderr);
        return 1;
    }
    example.own.data = &example;
    uv_timer_start(&example.own, onOwnTimer, 250, 0);

    cmn::Timer last;
    cmn::Timer first;
    cmn::Timer second;
    bool started = last.start(milliseconds(700), [&] { example.report("cmn::Timer 700 ms"); }) &&
                   first.start(milliseconds(100), [&] { example.report("cmn::Timer 100 ms"); }) &&
                   second.start(milliseconds(400), [&] { example.report("cmn::Timer 400 ms"); });

    uv_run(&example.loop, UV_RUN_DEFAULT);  // until the four expiries came
    bool closed = uv_loop_close(&example.loop) == 0;
    return started && example.pending == 0 && closed ? 0 : 1;
}
