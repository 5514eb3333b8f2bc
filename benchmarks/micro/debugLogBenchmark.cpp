// A debug message filtered out by the module's level, as the library traces every start and
// expiry, beside the same message emitted (to a sink that drops it) as the baseline of what
// the filter saves.
//
// Direct: through a module handle at hand, with the call made and the level tested inside it.
// LevelTestedInline: the same, with the level tested at the call site first, as the library's
// traces do (the logger's variadic methods cannot be inlined). ThroughThreadManager: through
// the calling thread's manager, as a timer entry logs, the level tested inline.
#include <benchmark/benchmark.h>

#include "commonTimerManager.h"
#include "dbgLog.h"

namespace {

const cmn::DbgModuleDescriptor* benchModule(DebugLogLevelType level) {
    cmn::DebugLogger& logger = cmn::SingletonHolder<cmn::DebugLogger>::getInstance();
    const cmn::DbgModuleDescriptor* module_p = logger.registerModule("Bench");
    logger.setModuleDebugLevel(const_cast<cmn::DbgModuleDescriptor*>(module_p), level);
    return module_p;
}

void logStartTrace(const cmn::DbgModuleDescriptor* module_p, int timerId) {
    module_p->dbgLog_debug(__FILE__, __LINE__,
                           "timerId_r(%d), periodInTimerGranularity(%d), timerGranularity(%s)",
                           timerId, 1500, "millisecondGranularity_c");
}

void BM_DebugLog_FilteredDirect(benchmark::State& state) {
    const cmn::DbgModuleDescriptor* module_p = benchModule(DBGLEVEL_INFO);
    int i = 0;
    for (auto _ : state) {
        logStartTrace(module_p, i++);
    }
    benchmark::DoNotOptimize(i);
}
BENCHMARK(BM_DebugLog_FilteredDirect);

void BM_DebugLog_FilteredLevelTestedInline(benchmark::State& state) {
    const cmn::DbgModuleDescriptor* module_p = benchModule(DBGLEVEL_INFO);
    int i = 0;
    for (auto _ : state) {
        if (module_p->isEnabled(DBGLEVEL_DEBUG)) {
            logStartTrace(module_p, i);
        }
        benchmark::DoNotOptimize(++i);
    }
}
BENCHMARK(BM_DebugLog_FilteredLevelTestedInline);

void BM_DebugLog_FilteredThroughThreadManager(benchmark::State& state) {
    cmn::SingletonPerThread<cmn::TimerManager>::getInstance();
    int i = 0;
    for (auto _ : state) {
        const cmn::DbgModuleDescriptor* module_p =
            cmn::SingletonPerThread<cmn::TimerManager>::getInstance().getDbgModuleDescriptor();
        if (module_p->isEnabled(DBGLEVEL_DEBUG)) {
            logStartTrace(module_p, i);
        }
        benchmark::DoNotOptimize(++i);
    }
    benchmark::DoNotOptimize(i);
    cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance();
}
BENCHMARK(BM_DebugLog_FilteredThroughThreadManager);

void BM_DebugLog_EmittedToNullSink(benchmark::State& state) {
    const cmn::DbgModuleDescriptor* module_p = benchModule(DBGLEVEL_DEBUG);
    cmn::DebugLogger& logger = cmn::SingletonHolder<cmn::DebugLogger>::getInstance();
    logger.setSink([](const cmn::DbgModuleDescriptor&, DebugLogLevelType, const char*, int,
                      const std::string& text) { benchmark::DoNotOptimize(text.data()); });
    int i = 0;
    for (auto _ : state) {
        logStartTrace(module_p, i++);
    }
    logger.setSink(cmn::DebugLogger::Sink());
    benchModule(DBGLEVEL_INFO);
}
BENCHMARK(BM_DebugLog_EmittedToNullSink);

}  // namespace
