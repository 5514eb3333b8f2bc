// mdf::detail::CommandLine: one command line split into words for a command handler.
//
// The words are the runs of bytes between blanks and tabs. Each word is copied into a buffer
// that the object owns, so argv() hands out writable, NUL-terminated strings, followed by a
// null pointer as in main()'s argv. The pointers stay valid while the object lives.
// Thread: an object belongs to the thread that made it.
#ifndef PLATFORM_MDF_COMMANDLINE_H
#define PLATFORM_MDF_COMMANDLINE_H

#include <string>
#include <vector>

namespace mdf {
namespace detail {

class CommandLine {
public:
    explicit CommandLine(const std::string& line);

    // The number of words; 0 for a line of blanks and tabs only.
    int argc() const { return static_cast<int>(argv_m.size()) - 1; }
    // argc() writable words, then a null pointer. Never null itself.
    char** argv() { return argv_m.data(); }
    // The command word, or an empty string when there is none.
    std::string verb() const { return argc() > 0 ? std::string(argv_m[0]) : std::string(); }

private:
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    std::vector<char> buffer_m;
    std::vector<char*> argv_m;
};

}  // namespace detail
}  // namespace mdf

#endif  // PLATFORM_MDF_COMMANDLINE_H
