// Log messages held back until the dispatcher's locks are released.
#include "deferredLog.h"

#include <stdarg.h>
#include <stdio.h>

namespace cmn {
namespace detail {

void DeferredLog::err(int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    compose(DBGLEVEL_ERROR, line, format, args);
    va_end(args);
}

void DeferredLog::critical(int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    compose(DBGLEVEL_CRITICAL, line, format, args);
    va_end(args);
}

void DeferredLog::compose(int level, int line, const char* format, va_list args_p) {
    vsnprintf(text_m, sizeof(text_m), format, args_p);
    level_m = level;
    line_m = line;
}

void DeferredLog::emit(const DbgModuleDescriptor* log_p) const {
    if (level_m == DBGLEVEL_CRITICAL) {
        log_p->dbgLog_critical(__FILE__, line_m, "%s", text_m);
    } else if (level_m == DBGLEVEL_ERROR) {
        log_p->dbgLog_err(__FILE__, line_m, "%s", text_m);
    }
}

}  // namespace detail
}  // namespace cmn
