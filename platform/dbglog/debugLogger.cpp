// cmn::DebugLogger and the formatting half of cmn::DbgModuleDescriptor.
//
// Sink swapping: the current sink lives in a shared holder that setSink() replaces under the
// logger's mutex. A delivery copies the holder's pointer under the mutex, counts itself in the
// holder, and calls the sink with no lock held, so a sink may itself log (or log from another
// thread it waits for) without deadlock. setSink() waits until no delivery is still inside the
// old sink, so whatever the old sink refers to may be destroyed once setSink() returns; called
// from inside a sink, it does not wait (it would wait for itself). The old sink is destroyed
// after the mutex is released, since its captures' destructors are the application's code.
//
// fork(): the handlers are installed when the library is loaded, so the logger's mutex, a leaf
// that nobody holds while waiting for another lock, is taken after the locks of components
// whose handlers come later (the command server's chain lock, the managers' socket registry).
// Prepare takes only the mutex, never waits for a running sink: a sink runs without it.
// The child has none of the parent's other threads, so the sink calls they were making never
// end there: the child gets a fresh holder of the same sink, whose count is its own, and a fresh
// condition variable, which no waiter of the parent's is still registered with.
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "dbgLog.h"
#include "stderrSink.h"

namespace cmn {

template <>
volatile DebugLogger* SingletonHolder<DebugLogger>::instance_spm = nullptr;
template <>
pthread_mutex_t SingletonHolder<DebugLogger>::mutex_sm = PTHREAD_MUTEX_INITIALIZER;

namespace {

// Messages up to this size are formatted without touching the heap.
const size_t stackBufferSize = 512;

// Sinks the calling thread is inside; setSink() from within a sink must not wait for itself.
thread_local int sinkDepth = 0;

// One installed sink and the calls currently inside it. The function is shared, so that a
// child of fork() can take it over with a count of its own.
struct SinkHolder {
    explicit SinkHolder(std::shared_ptr<const DebugLogger::Sink> sink_p)
        : sink_mp(std::move(sink_p)), activeCalls_m(0) {}
    const std::shared_ptr<const DebugLogger::Sink> sink_mp;
    uint32_t activeCalls_m;  // guarded by the logger's mutex
};

// Formats with the caller's errno in place, so that %m names the error of the call site.
std::string formatMessage(int callerErrno, const char* format, va_list args)
    CMN_DBGLOG_FORMAT(2, 0);

std::string formatMessage(int callerErrno, const char* format, va_list args) {
    if (format == nullptr) {
        return "(null format)";
    }
    char stackBuffer[stackBufferSize];
    va_list retryArgs;
    va_copy(retryArgs, args);
    errno = callerErrno;
    int length = vsnprintf(stackBuffer, sizeof(stackBuffer), format, args);
    std::string text;
    if (length < 0) {
        text = std::string("(unformattable message) ") + format;
    } else if (static_cast<size_t>(length) < sizeof(stackBuffer)) {
        text.assign(stackBuffer, static_cast<size_t>(length));
    } else {
        text.resize(static_cast<size_t>(length));
        errno = callerErrno;
        vsnprintf(&text[0], text.size() + 1, format, retryArgs);
    }
    va_end(retryArgs);
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// DbgModuleDescriptor
// ---------------------------------------------------------------------------------------------

DbgModuleDescriptor::DbgModuleDescriptor(const std::string& moduleName)
    : m_moduleName(moduleName), m_debugLevel(DBGLEVEL_INFO), m_logCount(0) {}

void DbgModuleDescriptor::emit(DebugLogLevelType level, const char* file, int line,
                               const char* format, va_list args) const {
    int callerErrno = errno;
    std::string text = formatMessage(callerErrno, format, args);
    m_logCount.fetch_add(1, std::memory_order_relaxed);
    SingletonHolder<DebugLogger>::getInstance().deliver(*this, level, file, line, text);
    errno = callerErrno;
}

// ---------------------------------------------------------------------------------------------
// DebugLogger
// ---------------------------------------------------------------------------------------------

struct DebugLogger::Impl {
    std::mutex mutex_m;
    std::condition_variable sinkCallsDone_m;
    std::string processName_m;
    // Descriptors are never freed: handles stay valid for the life of the process.
    std::map<std::string, std::unique_ptr<DbgModuleDescriptor>> modules_m;
    std::shared_ptr<SinkHolder> sink_m;  // null: standard error

    static void prepareFork();
    static void resumeParent();
    static void resumeChild();
    void forgetOtherThreadsInChild();

    // The logger the fork handlers lock, and the result of installing them at library load.
    static std::atomic<Impl*> living_sm;
    static const int forkHandlersResult_sm;
};

std::atomic<DebugLogger::Impl*> DebugLogger::Impl::living_sm{nullptr};
const int DebugLogger::Impl::forkHandlersResult_sm =
    pthread_atfork(&Impl::prepareFork, &Impl::resumeParent, &Impl::resumeChild);

// Sets `living_sm` to the logger it locked, so that the other two release the same one.
void DebugLogger::Impl::prepareFork() {
    Impl* impl_p = living_sm.load();
    if (impl_p != nullptr) {
        impl_p->mutex_m.lock();
    }
}

void DebugLogger::Impl::resumeParent() {
    Impl* impl_p = living_sm.load();
    if (impl_p != nullptr) {
        impl_p->mutex_m.unlock();
    }
}

void DebugLogger::Impl::resumeChild() {
    Impl* impl_p = living_sm.load();
    if (impl_p != nullptr) {
        impl_p->forgetOtherThreadsInChild();
        impl_p->mutex_m.unlock();
    }
}

// Called in the child with mutex_m held. The old holder stays alive while the forking thread
// itself is still inside its sink; that call then ends on the old holder. The old condition
// variable is left as it is, not destroyed: a waiter of the parent may still be registered.
void DebugLogger::Impl::forgetOtherThreadsInChild() {
    new (&sinkCallsDone_m) std::condition_variable();
    if (sink_m) {
        sink_m = std::make_shared<SinkHolder>(sink_m->sink_mp);
    }
}

DebugLogger::DebugLogger() : impl_mp(new Impl()) {
    if (Impl::forkHandlersResult_sm != 0) {
        detail::writeToStandardError("DebugLogger", DBGLEVEL_CRITICAL, __FILE__, __LINE__,
                                     "pthread_atfork failed: a child of fork() may inherit the "
                                     "logger's lock held");
    }
    Impl::living_sm.store(impl_mp);
}

DebugLogger::~DebugLogger() {
    Impl::living_sm.store(nullptr);
    delete impl_mp;
}

bool DebugLogger::initialize(const std::string& processName) {
    std::lock_guard<std::mutex> lock(impl_mp->mutex_m);
    impl_mp->processName_m = processName;
    return true;
}

const DbgModuleDescriptor* DebugLogger::registerModule(const std::string& moduleName) {
    std::lock_guard<std::mutex> lock(impl_mp->mutex_m);
    std::unique_ptr<DbgModuleDescriptor>& module_r = impl_mp->modules_m[moduleName];
    if (!module_r) {
        module_r.reset(new DbgModuleDescriptor(moduleName));
    }
    return module_r.get();
}

bool DebugLogger::setModuleDebugLevel(DbgModuleDescriptor* module_p, DebugLogLevelType level) {
    if (module_p == nullptr) {
        return false;
    }
    int value = static_cast<int>(level);
    if (value < DBGLEVEL_EMERG || value >= MAX_LEVELS) {
        return false;
    }
    module_p->m_debugLevel.store(value, std::memory_order_relaxed);
    return true;
}

void DebugLogger::setSink(Sink sink) {
    std::shared_ptr<SinkHolder> replacement_p;
    if (sink) {
        replacement_p = std::make_shared<SinkHolder>(std::make_shared<const Sink>(std::move(sink)));
    }
    std::shared_ptr<SinkHolder> old_p;  // declared first: destroyed after the lock is released
    std::unique_lock<std::mutex> lock(impl_mp->mutex_m);
    old_p = std::move(impl_mp->sink_m);
    impl_mp->sink_m = std::move(replacement_p);
    if (old_p && sinkDepth == 0) {
        impl_mp->sinkCallsDone_m.wait(lock, [&old_p] { return old_p->activeCalls_m == 0; });
    }
}

void DebugLogger::deliver(const DbgModuleDescriptor& module, DebugLogLevelType level,
                          const char* file, int line, const std::string& text) {
    std::shared_ptr<SinkHolder> sink_p;
    {
        std::lock_guard<std::mutex> lock(impl_mp->mutex_m);
        sink_p = impl_mp->sink_m;
        if (sink_p) {
            ++sink_p->activeCalls_m;
        }
    }
    if (!sink_p) {
        detail::writeToStandardError(module.getModuleName(), level, file, line, text);
        return;
    }
    ++sinkDepth;
    (*sink_p->sink_mp)(module, level, file != nullptr ? file : "?", line, text);
    --sinkDepth;
    std::lock_guard<std::mutex> lock(impl_mp->mutex_m);
    if (--sink_p->activeCalls_m == 0) {
        impl_mp->sinkCallsDone_m.notify_all();
    }
}

const char* debugLogLevelName(DebugLogLevelType level) {
    static const char* const names[MAX_LEVELS] = {"EMERG",   "ALERT", "CRIT", "ERR",
                                                  "WARNING", "NOTE",  "INFO", "DEBUG"};
    int value = static_cast<int>(level);
    if (value < 0 || value >= MAX_LEVELS) {
        return "?";
    }
    return names[value];
}

}  // namespace cmn
