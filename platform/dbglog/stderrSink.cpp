// Standard-error destination of the debug logger.
#include "stderrSink.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

namespace cmn {
namespace detail {

namespace {

const int standardErrorFd = 2;

std::string buildLine(const std::string& moduleName, DebugLogLevelType level, const char* file,
                      int line, const std::string& text) {
    char lineNumber[16];
    snprintf(lineNumber, sizeof(lineNumber), "%d", line);
    std::string message;
    message.reserve(moduleName.size() + text.size() + 64);
    message.append(moduleName)
        .append(" ")
        .append(debugLogLevelName(level))
        .append(" ")
        .append(file != nullptr ? file : "?")
        .append(":")
        .append(lineNumber)
        .append(" ")
        .append(text)
        .append("\n");
    return message;
}

// A short write happens only when fd 2 is a pipe or socket that is nearly full; the rest goes
// out in further writes rather than being lost.
void writeAll(const std::string& message) {
    const char* next_p = message.data();
    size_t left = message.size();
    while (left > 0) {
        ssize_t written = write(standardErrorFd, next_p, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        next_p += written;
        left -= static_cast<size_t>(written);
    }
}

}  // namespace

void writeToStandardError(const std::string& moduleName, DebugLogLevelType level, const char* file,
                          int line, const std::string& text) {
    int savedErrno = errno;
    writeAll(buildLine(moduleName, level, file, line, text));
    errno = savedErrno;
}

}  // namespace detail
}  // namespace cmn
