// An outside program built against the installed package: it starts a timer on its thread's
// manager and runs the dispatcher until the timer expires.
#include <stdio.h>

#include "commonDispatcher.h"
#include "commonTimerManager.h"

namespace {
class OneShotClient : public cmn::PATimerClient {
public:
    bool timerExpired(uint32_t timerId, cmn::PAUserData*) override {
        expiredId_m = static_cast<int>(timerId);
        return true;
    }
    std::string getClientName() const override { return "consumer"; }
    int expiredId_m = -1;
};
}  // namespace

int main() {
    cmn::TimerManager& manager = cmn::SingletonPerThread<cmn::TimerManager>::getInstance();
    OneShotClient client;
    uint32_t timerId = 0;
    if (!manager.startOneShotTimer(timerId, 5, &client, nullptr,
                                   cmn::TimerManager::millisecondGranularity_c)) {
        return 1;
    }
    cmn::Dispatcher& dispatcher = cmn::SingletonHolder<cmn::Dispatcher>::getInstance();
    for (int round = 0; round < 200 && client.expiredId_m < 0; ++round) {
        dispatcher.listenOnce(50);
    }
    cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance();
    printf("expired timer %d\n", client.expiredId_m);
    return client.expiredId_m == static_cast<int>(timerId) ? 0 : 1;
}
