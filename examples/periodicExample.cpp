// A small client of the timer manager: a periodic 200 ms timer that stops itself after five
// expiries, run by the dispatcher on the thread that owns the manager.
#include <stdio.h>

#include "commonDispatcher.h"
#include "commonTimerManager.h"

class Heartbeat : public cmn::PATimerClient {
public:
    bool timerExpired(uint32_t timerId, cmn::PAUserData*) override {
        printf("heartbeat %d from timer %u\n", ++beats_m, timerId);
        if (beats_m == 5) {
            // Any timer operation is allowed here, on the timer that is expiring too.
            cmn::SingletonPerThread<cmn::TimerManager>::getInstance().cancelTimer(timerId, false);
            cmn::SingletonHolder<cmn::Dispatcher>::getInstance().stop();
        }
        return true;
    }
    std::string getClientName() const override { return "heartbeat"; }

private:
    int beats_m = 0;
};

int main() {
    cmn::TimerManager& manager = cmn::SingletonPerThread<cmn::TimerManager>::getInstance();
    Heartbeat heartbeat;
    uint32_t timerId = 0;
    if (!manager.startPeriodicTimer(timerId, 200, &heartbeat, nullptr,
                                    cmn::TimerManager::millisecondGranularity_c)) {
        return 1;
    }
    cmn::SingletonHolder<cmn::Dispatcher>::getInstance().listen();  // until stop()
    cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance();
    return 0;
}
