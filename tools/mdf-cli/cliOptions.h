// mdf-cli's command line: what the operator asked for, and the usage text.
//
// The usage text is also the program's --help and agrees with the man page mdf-cli(1).
// Thread: single-threaded program; no state beyond what the calls return.
#ifndef TOOLS_MDF_CLI_CLIOPTIONS_H
#define TOOLS_MDF_CLI_CLIOPTIONS_H

#include <string>

namespace mdf {
namespace cli {

// Exit statuses of the program.
const int exitSucceeded_c = 0;
const int exitFailed_c = 1;
const int exitNoExchange_c = 2;
const int exitUsage_c = 64;

// Where the default socket paths are when --dir is not given.
extern const char defaultSocketDir_c[];

enum Mode {
    commandMode_c,    // one command line from the arguments
    sessionMode_c,    // command lines from standard input, one connection each
    listMode_c,       // --list
    cleanStaleMode_c  // --clean-stale
};

struct Options {
    Mode mode = commandMode_c;
    std::string socketDir = defaultSocketDir_c;
    std::string socketPath;   // command and session modes: the server's socket
    std::string commandLine;  // command mode: the words joined by single blanks
};

// Reads argv into options_r. Returns -1 when the program is to go on, or the exit status to
// end with: 0 after printing the usage text for --help, exitUsage_c after a message and the
// usage text on standard error.
int parseArguments(int argc, char** argv, Options& options_r);

// DIR/mdf-server.PID.socket: the command server's default path for process `pid`, in `dir`.
std::string commandSocketPath(const std::string& dir, long pid);

}  // namespace cli
}  // namespace mdf

#endif  // TOOLS_MDF_CLI_CLIOPTIONS_H
