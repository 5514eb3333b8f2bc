// One command exchange with a command server: connect, check who serves, send, print.
//
// The server must run as this user or as root: the peer credentials of the connected socket
// (SO_PEERCRED, the listener's user id) are checked before a byte is sent, so a socket file
// planted at a server's path by another user gets neither the command nor a chance to answer.
// Messages on standard error begin with "mdf-cli: ".
// Thread: single-threaded program; every call is self-contained.
#ifndef TOOLS_MDF_CLI_SERVEREXCHANGE_H
#define TOOLS_MDF_CLI_SERVEREXCHANGE_H

#include <string>

namespace mdf {
namespace cli {

// Sends `line` to the server listening at `path`, on a connection of its own, and copies the
// answer as it arrives: the response text to standard output, the reason of a refused
// request ("ERROR") to standard error. Each blocking step gives up after 5 s.
// Returns the exit status: exitSucceeded_c (the command returned true), exitFailed_c (it
// returned false), exitNoExchange_c (no server, another user's server, a refused request, a
// failed or timed-out exchange; said on standard error). lastOut_r gets the last byte written
// to standard output, or '\n' when nothing was.
int exchangeCommand(const std::string& path, const std::string& line, char& lastOut_r);

}  // namespace cli
}  // namespace mdf

#endif  // TOOLS_MDF_CLI_SERVEREXCHANGE_H
