// An outside program that calls the timer manager only, never the platform layer: linked with
// --as-needed it records libcommonTimerManager alone, which must then find
// libcommonTimerPlatform by itself. It starts a timer on its thread's manager and cancels it.
#include "commonTimerManager.h"

namespace {
class IdleClient : public cmn::PATimerClient {
public:
    bool timerExpired(uint32_t, cmn::PAUserData*) override { return true; }
    std::string getClientName() const override { return "managerOnly"; }
};
}  // namespace

int main() {
    cmn::TimerManager& manager = cmn::SingletonPerThread<cmn::TimerManager>::getInstance();
    IdleClient client;
    uint32_t timerId = 0;
    bool started = manager.startOneShotTimer(timerId, 60000, &client, nullptr,
                                             cmn::TimerManager::millisecondGranularity_c);
    if (started) {
        manager.cancelTimer(timerId, false);
    }
    cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance();
    return started ? 0 : 1;
}
