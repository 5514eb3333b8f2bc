// The logger's default destination: standard error, one write(2) per message.
// Private to the logger; declared in cmn::detail.
#ifndef PLATFORM_DBGLOG_STDERRSINK_H
#define PLATFORM_DBGLOG_STDERRSINK_H

#include <string>

#include "dbgLog.h"

namespace cmn {
namespace detail {

// Writes "<module> <LEVEL> <file>:<line> <text>\n" to descriptor 2 in one write(2), finishing a
// partial write and retrying after EINTR. A message that cannot be written is dropped: there is
// nowhere left to report it. errno is left as it was.
// Thread: any; each message is one write, so lines of concurrent messages do not interleave.
void writeToStandardError(const std::string& moduleName, DebugLogLevelType level, const char* file,
                          int line, const std::string& text);

}  // namespace detail
}  // namespace cmn

#endif  // PLATFORM_DBGLOG_STDERRSINK_H
