// mdf::detail::CommandSocket: the command server's operator socket.
//
// An AF_UNIX stream socket, listening at a path, served by the dispatcher loop of the thread
// that opened it. Each accepted connection is a CommandConnection (one line in, one answer
// out); this class admits connections, enforces the limits on their number and idle time, and
// deletes them when they are done.
//
// Path rules: open() never follows, replaces or removes a file it did not create, with one
// exception: a socket file owned by this user on which connect() is refused (ECONNREFUSED:
// nobody listens, its server died) is stale and is replaced. The socket gets mode 0600 before
// bind(), so the file never exists with wider permissions. close() removes the file if it is
// still the one bound; so does normal process exit while the socket is open.
//
// Limits: maxConnections_c open connections (further ones are closed at once), and a
// connection that makes no progress for idleTimeoutMs_c is closed; a timerfd watched by the
// same loop wakes the loop for that only while connections are open.
//
// Ownership: the socket owns its descriptors and its connections. The runner is copied.
// Thread: open(), close() and the destructor on the thread whose loop serves the socket (or
// any thread once that loop no longer runs); the connections' commands run on that thread.
#ifndef PLATFORM_MDF_COMMANDSOCKET_H
#define PLATFORM_MDF_COMMANDSOCKET_H

#include <sys/types.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "commandConnection.h"
#include "commonDispatcher.h"
#include "dbgLog.h"

namespace mdf {
namespace detail {

// Most connections open at once.
const size_t maxConnections_c = 32;
// A connection that neither sends nor takes a byte for this long is closed.
const int idleTimeoutMs_c = 5000;

// Runs one command line, appending the response to out_r; returns the command's result.
typedef std::function<bool(const std::string& line, std::string& out_r)> CommandRunner;

class CommandSocket : public cmn::ADispatcherClient, private PAConnectionOwner {
public:
    CommandSocket(const CommandRunner& runner, const cmn::DbgModuleDescriptor* log_p);
    // close().
    ~CommandSocket() override;

    // Creates the socket at `path`, listens, and has the calling thread's loop watch it.
    // False (logged) when already open, when the path is too long, when a file that is not a
    // stale socket of ours is there, or when a system call or the dispatcher fails.
    bool open(const std::string& path);
    // Closes every connection and the socket, and removes the file. Nothing when not open.
    void close();

    bool isOpen() const { return listenFd_m >= 0; }
    // The path being served; empty when not open.
    const std::string& getPath() const { return path_m; }

    int getPrimarySocket() override { return listenFd_m; }
    std::string getSocketName(int socketFd) const override;

private:
    class IdleTimer;
    friend class IdleTimer;

    CommandSocket(const CommandSocket&) = delete;
    CommandSocket& operator=(const CommandSocket&) = delete;

    bool socketCallback(int socketFd) override;
    bool runCommandLine(const std::string& line, std::string& out_r) override;
    void connectionFinished(CommandConnection* connection_p) override;

    bool bindAndListen(const std::string& path);
    bool startWatching();
    void removeSocketFile();
    void admit(int fd);
    bool peerAllowed(int fd);
    void pauseAccepting();
    void onTimer();
    void expireIdleConnections(int64_t nowMs);
    void deleteFinished();
    void armTimer();

    CommandRunner runner_m;
    const cmn::DbgModuleDescriptor* log_mp;
    int listenFd_m;
    std::string path_m;
    dev_t boundDevice_m;
    ino_t boundInode_m;
    IdleTimer* timer_mp;
    bool listenerWatched_m;
    int64_t resumeAcceptMs_m;
    std::set<CommandConnection*> connections_m;
    std::vector<CommandConnection*> finished_m;
};

}  // namespace detail
}  // namespace mdf

#endif  // PLATFORM_MDF_COMMANDSOCKET_H
