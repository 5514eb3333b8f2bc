// mdf::detail::CommandSocket: the command server's operator socket.
//
// An AF_UNIX stream socket, listening at a path, served by the dispatcher loop of the thread
// that opened it. Each accepted connection is a CommandConnection (one line in, one answer
// out); this class admits connections, enforces the limits on their number and their time
// limits, and deletes them when they are done. It never blocks its loop: a command that runs on
// another thread answers its connection later, through a reply posted back to this loop.
//
// Path rules: open() never follows, replaces or removes a file it did not create, with one
// exception: a socket file owned by this user on which connect() is refused (ECONNREFUSED:
// nobody listens, its server died) is stale and is replaced. The socket gets mode 0600 before
// bind(), so the file never exists with wider permissions. close() removes the file if it is
// still the one bound; so does normal process exit while the socket is open.
//
// Limits: maxConnections_c open connections. When they are all open, a new connection makes
// room by evicting the oldest connection that is not waiting for a command's result; when
// every one is waiting, the new one is closed at once. A connection is closed when it makes no
// progress for idleTimeoutMs_c and connectionDeadlineMs_c after its accept, and a command its
// owner's thread has not taken within ownerWaitMs_c is answered as not run. A timerfd watched
// by the same loop wakes the loop for these only while connections are open.
//
// Ownership: the socket owns its descriptors and its connections. The starter is copied.
// Thread: open(), close() and the destructor on the thread whose loop serves the socket (or
// any thread once that loop no longer runs); the connections' commands run on that thread.
#ifndef PLATFORM_MDF_COMMANDSOCKET_H
#define PLATFORM_MDF_COMMANDSOCKET_H

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "commandConnection.h"
#include "commonDispatcher.h"
#include "dbgLog.h"
#include "deadlineTimer.h"

namespace mdf {
namespace detail {

// Most connections open at once.
const size_t maxConnections_c = 32;

// Starts one command line, as PAConnectionOwner::startCommand says.
typedef std::function<std::shared_ptr<CommandRequest>(const std::string& line,
                                                      const CommandRequest::Reply& reply)>
    CommandStarter;

class CommandSocket : public cmn::ADispatcherClient, private PAConnectionOwner {
public:
    CommandSocket(const CommandStarter& starter, const cmn::DbgModuleDescriptor* log_p);
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
    // Connections open now, and those of them waiting for a command's result. Thread: any.
    int openConnections() const { return openConnections_m.load(); }
    int waitingConnections() const { return waitingConnections_m.load(); }
    // In a forked child: closes this process's copies of every descriptor, and nothing else
    // (no dispatcher call, no file removal). The object is not to be used afterwards.
    void closeDescriptorsInChild();

    int getPrimarySocket() override { return listenFd_m; }
    std::string getSocketName(int socketFd) const override;

private:
    CommandSocket(const CommandSocket&) = delete;
    CommandSocket& operator=(const CommandSocket&) = delete;

    bool socketCallback(int socketFd) override;
    std::shared_ptr<CommandRequest> startCommand(const std::string& line,
                                                 const CommandRequest::Reply& reply) override;
    void waitingChanged() override;
    void connectionFinished(CommandConnection* connection_p) override;

    bool bindAndListen(const std::string& path);
    bool startWatching();
    void removeSocketFile();
    void admit(int fd);
    bool peerAllowed(int fd);
    bool makeRoom();
    void pauseAccepting();
    void onTimer();
    void checkDeadlines(int64_t nowMs);
    void deleteFinished();
    void armTimer();
    void countConnections();

    CommandStarter starter_m;
    const cmn::DbgModuleDescriptor* log_mp;
    int listenFd_m;
    std::string path_m;
    dev_t boundDevice_m;
    ino_t boundInode_m;
    DeadlineTimer* timer_mp;
    bool listenerWatched_m;
    int64_t resumeAcceptMs_m;
    uint64_t lastSerial_m;
    // By serial: the oldest first.
    std::map<uint64_t, CommandConnection*> connections_m;
    std::vector<CommandConnection*> finished_m;
    std::atomic<int> openConnections_m;
    std::atomic<int> waitingConnections_m;
};

}  // namespace detail
}  // namespace mdf

#endif  // PLATFORM_MDF_COMMANDSOCKET_H
