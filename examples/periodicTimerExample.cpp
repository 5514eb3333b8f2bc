// periodicExample.cpp with cmn::Timer: a periodic 200 ms timer that stops itself after five
// expiries. The callable is any lambda; the handle cancels the timer when it goes out of scope.
#include <stdio.h>

#include <chrono>

#include "commonDispatcher.h"
#include "timer.h"

int main() {
    cmn::Dispatcher& dispatcher = cmn::SingletonHolder<cmn::Dispatcher>::getInstance();
    cmn::Timer heartbeat;
    int beats = 0;
    bool started = heartbeat.start(
        std::chrono::milliseconds(200),
        [&] {
            printf("heartbeat %d\n", ++beats);
            if (beats == 5) {
                heartbeat.cancel();  // allowed here, as any other operation on the handle
                dispatcher.stop();
            }
        },
        cmn::Timer::periodic_c);
    if (!started) {
        return 1;
    }
    dispatcher.listen();  // until stop()
    return 0;
}
