// Splitting a command line into words.
#include "commandLine.h"

namespace mdf {
namespace detail {

namespace {

bool isSeparator(char c) { return c == ' ' || c == '\t'; }

}  // namespace

CommandLine::CommandLine(const std::string& line) : buffer_m(line.begin(), line.end()), argv_m() {
    // Each separator is overwritten with a NUL, so every word ends in place; the extra NUL at
    // the end closes the last word.
    buffer_m.push_back('\0');
    bool inWord = false;
    for (size_t i = 0; i + 1 < buffer_m.size(); ++i) {
        if (isSeparator(buffer_m[i])) {
            buffer_m[i] = '\0';
            inWord = false;
        } else if (!inWord) {
            argv_m.push_back(&buffer_m[i]);
            inWord = true;
        }
    }
    argv_m.push_back(nullptr);
}

}  // namespace detail
}  // namespace mdf
