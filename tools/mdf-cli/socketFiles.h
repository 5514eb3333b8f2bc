// The timer service's socket files in a directory (normally /tmp): the command servers'
// "mdf-server.<pid>.socket" and the timer managers' "timer_manager_cb.socket.PID<pid>.TID<n>".
//
// Only sockets owned by the caller's effective user id are ever looked at; everything else
// in the directory (other users' files, files of other types, other names) is ignored.
// A file is stale when its process is gone (no process has its pid); a command socket file
// is also marked stale in the listing when nobody listens on it. Sockets bound or listening
// are read from /proc/net/unix, so looking never connects to a server.
// Thread: single-threaded program; every call is self-contained.
#ifndef TOOLS_MDF_CLI_SOCKETFILES_H
#define TOOLS_MDF_CLI_SOCKETFILES_H

#include <string>

namespace mdf {
namespace cli {

// --list: prints a header and one line per command socket file of this user in `dir`, in
// process id order: the pid, the program name (from /proc, "-" when the process is gone),
// the state ("listening", "stale: no such process", "stale: nobody listening") and the path.
// Returns exitSucceeded_c, or exitFailed_c when `dir` or /proc/net/unix cannot be read
// (said on standard error).
int listServers(const std::string& dir);

// --clean-stale: removes this user's command and callback socket files in `dir` whose process
// is gone and to which no socket is bound any more, printing "removed <path>" for each. A file
// of a live process, a file still bound (a process in another pid namespace, say), another
// user's file and anything that is not a socket are left alone.
// Returns exitSucceeded_c, or exitFailed_c when a file could not be removed or `dir` or
// /proc/net/unix cannot be read (said on standard error).
int cleanStaleFiles(const std::string& dir);

}  // namespace cli
}  // namespace mdf

#endif  // TOOLS_MDF_CLI_SOCKETFILES_H
