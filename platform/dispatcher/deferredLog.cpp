// Log messages held back until the dispatcher's locks are released.
#include "deferredLog.h"

#include <stdarg.h>
#include <stdio.h>

namespace cmn {
namespace detail {

void DeferredLog::err(const char* file, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    compose(DBGLEVEL_ERROR, file, line, format, args);
    va_end(args);
}

void DeferredLog::critical(const char* file, int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    compose(DBGLEVEL_CRITICAL, file, line, format, args);
    va_end(args);
}

void DeferredLog::compose(int level, const char* file, int line, const char* format,
                          va_list args_p) {
    vsnprintf(text_m, sizeof(text_m), format, args_p);
    level_m = level;
    file_m = file;
    line_m = line;
}

void DeferredLog::emit(const DbgModuleDescriptor* log_p) const {
    if (level_m == DBGLEVEL_CRITICAL) {
        log_p->dbgLog_critical(file_m, line_m, "%s", text_m);
    } else if (level_m == DBGLEVEL_ERROR) {
        log_p->dbgLog_err(file_m, line_m, "%s", text_m);
    }
}

}  // namespace detail
}  // namespace cmn
