// cmn::detail::DeferredLog: a log message composed while a dispatcher lock is held and logged
// once it is released, so that a log sink may itself call the dispatcher or wait for a thread
// that does. Private to the dispatcher.
//
// Holds at most one message (a later one replaces it), truncated to 255 bytes. The format is
// printf's, %m included (the errno of the moment the message is composed).
// Thread: one object per call, on the calling thread.
#ifndef PLATFORM_DISPATCHER_DEFERREDLOG_H
#define PLATFORM_DISPATCHER_DEFERREDLOG_H

#include <stdarg.h>

#include "dbgLog.h"

namespace cmn {
namespace detail {

class DeferredLog {
public:
    // Compose the message at level err or critical; `file` and `line` are the caller's source
    // position (`file` a string literal, kept by pointer).
    void err(const char* file, int line, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    void critical(const char* file, int line, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    // Logs the message, if any, through `log_p`.
    void emit(const DbgModuleDescriptor* log_p) const;

private:
    void compose(int level, const char* file, int line, const char* format, va_list args_p)
        __attribute__((format(printf, 5, 0)));

    int level_m = 0;  // 0: nothing to log
    const char* file_m = "";
    int line_m = 0;
    char text_m[256] = {};
};

}  // namespace detail
}  // namespace cmn

#endif  // PLATFORM_DISPATCHER_DEFERREDLOG_H
