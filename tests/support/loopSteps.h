// Stepping the calling thread's dispatcher loop from a test.
#ifndef TESTS_SUPPORT_LOOPSTEPS_H
#define TESTS_SUPPORT_LOOPSTEPS_H

#include <chrono>
#include <functional>

#include "commonDispatcher.h"

namespace cmn {
namespace test {

// Runs rounds of the calling thread's loop until `done` holds or budgetMs has passed. Returns
// whether `done` held. The budget is a "never happened" limit, not a timing assertion.
inline bool runUntil(const std::function<bool()>& done, int budgetMs) {
    cmn::Dispatcher& dispatcher = cmn::SingletonHolder<cmn::Dispatcher>::getInstance();
    std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        dispatcher.listenOnce(10);
    }
    return true;
}

// Runs rounds without waiting until one makes no callback; returns the callbacks made.
inline int drainReady() {
    cmn::Dispatcher& dispatcher = cmn::SingletonHolder<cmn::Dispatcher>::getInstance();
    int total = 0;
    for (int made = dispatcher.listenOnce(0); made > 0; made = dispatcher.listenOnce(0)) {
        total += made;
    }
    return total;
}

}  // namespace test
}  // namespace cmn

#endif  // TESTS_SUPPORT_LOOPSTEPS_H
