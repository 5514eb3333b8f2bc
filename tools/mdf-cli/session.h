// mdf-cli's interactive session: command lines read from standard input, one per line.
//
// Each line goes to the server on a connection of its own (the server takes one command line
// per connection) and its answer is printed as for a single command, with a newline added
// when the answer does not end its last line. On a terminal the
// session prompts and, when built with the line-editing library, offers editing and the
// session's history; otherwise it reads plain lines and prints no prompt, so a script can
// feed it through a pipe.
// Thread: single-threaded program.
#ifndef TOOLS_MDF_CLI_SESSION_H
#define TOOLS_MDF_CLI_SESSION_H

#include <string>

namespace mdf {
namespace cli {

// Prompt of the interactive session on a terminal.
extern const char sessionPrompt_c[];

// Runs every non-blank line of standard input against the server at `path` until the end
// of input. Returns the exit status of the last command run (exitSucceeded_c when none ran).
int runSession(const std::string& path);

}  // namespace cli
}  // namespace mdf

#endif  // TOOLS_MDF_CLI_SESSION_H
