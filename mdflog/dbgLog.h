// The debug logger: named modules, each with a level, and one process-wide sink.
//
// A module is registered by name with cmn::DebugLogger::registerModule (the same name gives the
// same handle) and logs through the const dbgLog_* methods of its cmn::DbgModuleDescriptor. A
// message is emitted when its level is numerically at or below the module's level; a message
// that is not emitted costs a comparison and no formatting. Formats are printf formats plus
// `%m`, the text of the errno value that held when the call was made.
//
// By default an emitted message goes to standard error in one write(2):
//   "<module> <LEVEL> <file>:<line> <text>\n"
// setSink() sends messages to a function instead (with `text` the formatted message alone).
//
// Ownership: the logger owns every descriptor; handles stay valid for the life of the process.
// Thread: every call may come from any thread; a module's level and counter are atomic.
#ifndef MDFLOG_DBGLOG_H
#define MDFLOG_DBGLOG_H

#include <stdarg.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <string>

#include "singletonHolder.h"

// The level of a message and of a module, most severe first. Valid levels lie below
// MAX_LEVELS; DBGLEVEL_NOLEVEL names none, and setModuleDebugLevel refuses both.
enum DebugLogLevelType {
    DBGLEVEL_EMERG = 0,
    DBGLEVEL_ALERT = 1,
    DBGLEVEL_CRITICAL = 2,
    DBGLEVEL_ERROR = 3,
    DBGLEVEL_WARNING = 4,
    DBGLEVEL_NOTE = 5,
    DBGLEVEL_INFO = 6,
    DBGLEVEL_DEBUG = 7,
    MAX_LEVELS = 8,
    DBGLEVEL_NOLEVEL = 255
};

// printf format checking of the logging methods; argument 1 is `this`.
#if defined(__clang__)
#define CMN_DBGLOG_FORMAT(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define CMN_DBGLOG_FORMAT(fmtIndex, firstArg) \
    __attribute__((format(gnu_printf, fmtIndex, firstArg)))
#endif

namespace cmn {

class DebugLogger;

// A registered module: its name, its level and its count of emitted messages, and the methods
// that log through it. Made and owned by DebugLogger::registerModule; every registration of
// the name shares it.
class DbgModuleDescriptor {
public:
    // The name the module was registered with.
    const std::string& getModuleName() const { return m_moduleName; }
    // The module's level: messages at or below it are emitted.
    DebugLogLevelType getDebugLevel() const {
        return static_cast<DebugLogLevelType>(m_debugLevel.load(std::memory_order_relaxed));
    }
    // Number of messages this module has emitted.
    uint32_t getLogCount() const { return m_logCount.load(std::memory_order_relaxed); }

    // True when a message of `level` would be emitted.
    bool isEnabled(DebugLogLevelType level) const {
        return static_cast<int>(level) <= m_debugLevel.load(std::memory_order_relaxed);
    }

    // Logs a message at critical (2), with the caller's source file and line. Nothing is
    // formatted when the module's level filters the message out.
    void dbgLog_critical(const char* file, int line, const char* format, ...) const
        CMN_DBGLOG_FORMAT(4, 5);
    // As dbgLog_critical, at err (3).
    void dbgLog_err(const char* file, int line, const char* format, ...) const
        CMN_DBGLOG_FORMAT(4, 5);
    // As dbgLog_critical, at info (6).
    void dbgLog_info(const char* file, int line, const char* format, ...) const
        CMN_DBGLOG_FORMAT(4, 5);
    // As dbgLog_critical, at debug (7).
    void dbgLog_debug(const char* file, int line, const char* format, ...) const
        CMN_DBGLOG_FORMAT(4, 5);

    // Formats and emits one message, whatever the module's level. `args` is consumed.
    void emit(DebugLogLevelType level, const char* file, int line, const char* format,
              va_list args) const CMN_DBGLOG_FORMAT(5, 0);

private:
    friend class DebugLogger;
    explicit DbgModuleDescriptor(const std::string& moduleName);
    DbgModuleDescriptor(const DbgModuleDescriptor&) = delete;
    DbgModuleDescriptor& operator=(const DbgModuleDescriptor&) = delete;

    const std::string m_moduleName;
    std::atomic<int> m_debugLevel;
    mutable std::atomic<uint32_t> m_logCount;
};

#define CMN_DBGLOG_LEVEL_METHOD(method, level)                                                   \
    inline void DbgModuleDescriptor::method(const char* file, int line, const char* format, ...) \
        const {                                                                                  \
        if (!isEnabled(level)) {                                                                 \
            return;                                                                              \
        }                                                                                        \
        va_list args;                                                                            \
        va_start(args, format);                                                                  \
        emit(level, file, line, format, args);                                                   \
        va_end(args);                                                                            \
    }
CMN_DBGLOG_LEVEL_METHOD(dbgLog_critical, DBGLEVEL_CRITICAL)
CMN_DBGLOG_LEVEL_METHOD(dbgLog_err, DBGLEVEL_ERROR)
CMN_DBGLOG_LEVEL_METHOD(dbgLog_info, DBGLEVEL_INFO)
CMN_DBGLOG_LEVEL_METHOD(dbgLog_debug, DBGLEVEL_DEBUG)
#undef CMN_DBGLOG_LEVEL_METHOD

// The process's logger, reached through SingletonHolder<DebugLogger>: the registry of
// modules and the destination of every emitted message.
class DebugLogger {
public:
    // Takes every emitted message in place of standard error: the module, the level, the
    // caller's source file and line, and the formatted message alone.
    using Sink = std::function<void(const cmn::DbgModuleDescriptor& module, DebugLogLevelType level,
                                    const char* file, int line, const std::string& text)>;

    DebugLogger();
    ~DebugLogger();

    // Names the process in the logger's own diagnostics. Always true.
    bool initialize(const std::string& processName);

    // The module's handle, created at its first registration with level DBGLEVEL_INFO.
    const DbgModuleDescriptor* registerModule(const std::string& moduleName);

    // Sets the module's level. False for a null module or a level outside 0..MAX_LEVELS-1.
    bool setModuleDebugLevel(DbgModuleDescriptor* module_p, DebugLogLevelType level);

    // Sends every emitted message to `sink`; an empty sink restores standard error. A message
    // being emitted on another thread while the sink changes goes to the old or the new one.
    void setSink(Sink sink);

    // Delivers one formatted message to the current sink. Used by DbgModuleDescriptor::emit.
    void deliver(const DbgModuleDescriptor& module, DebugLogLevelType level, const char* file,
                 int line, const std::string& text);

private:
    DebugLogger(const DebugLogger&) = delete;
    DebugLogger& operator=(const DebugLogger&) = delete;

    struct Impl;
    Impl* impl_mp;
};

// The level's short name ("CRIT", "ERR", "INFO", "DEBUG", ...); "?" for other values.
const char* debugLogLevelName(DebugLogLevelType level);

template <>
volatile DebugLogger* SingletonHolder<DebugLogger>::instance_spm;
template <>
pthread_mutex_t SingletonHolder<DebugLogger>::mutex_sm;

}  // namespace cmn

#endif  // MDFLOG_DBGLOG_H
