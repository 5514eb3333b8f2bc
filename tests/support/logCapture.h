// ScopedLogCapture: records every emitted debug-log message while it lives.
//
// Installs a sink with DebugLogger::setSink and restores standard error when destroyed. Only
// messages that the module's level lets through reach it: raise the level first to see debug
// messages. Safe to feed from several threads.
#ifndef TESTS_SUPPORT_LOGCAPTURE_H
#define TESTS_SUPPORT_LOGCAPTURE_H

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "dbgLog.h"

namespace cmn {
namespace test {

class ScopedLogCapture {
public:
    struct Record {
        std::string module;
        DebugLogLevelType level;
        std::string file;
        int line;
        std::string text;
    };

    ScopedLogCapture() {
        cmn::SingletonHolder<cmn::DebugLogger>::getInstance().setSink(
            [this](const cmn::DbgModuleDescriptor& module, DebugLogLevelType level,
                   const char* file, int line, const std::string& text) {
                std::lock_guard<std::mutex> lock(mutex_m);
                records_m.push_back(Record{module.getModuleName(), level, file, line, text});
            });
    }
    ~ScopedLogCapture() {
        cmn::SingletonHolder<cmn::DebugLogger>::getInstance().setSink(cmn::DebugLogger::Sink());
    }
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

    std::vector<Record> records() const {
        std::lock_guard<std::mutex> lock(mutex_m);
        return records_m;
    }
    // The texts of `level`, in order.
    std::vector<std::string> texts(DebugLogLevelType level) const {
        std::vector<std::string> result;
        for (const Record& record : records()) {
            if (record.level == level) {
                result.push_back(record.text);
            }
        }
        return result;
    }
    // True when a message of `level` is exactly `text`.
    bool contains(DebugLogLevelType level, const std::string& text) const {
        std::vector<std::string> all = texts(level);
        return std::find(all.begin(), all.end(), text) != all.end();
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_m);
        records_m.clear();
    }

private:
    mutable std::mutex mutex_m;
    std::vector<Record> records_m;
};

}  // namespace test
}  // namespace cmn

#endif  // TESTS_SUPPORT_LOGCAPTURE_H
