// The command server's listening socket: path safety, accepting, limits, connection deadlines.
#include "commandSocket.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "socketFile.h"

namespace mdf {
namespace detail {

namespace {

// Connections accepted per listener callback, so a flood of connects cannot hold the loop.
const int maxAcceptsPerRound_c = 16;
// How long accepting pauses after the process ran out of descriptors or memory: the listener
// stays readable meanwhile, and the loop would spin on it.
const int acceptPauseMs_c = 1000;
// A timer deadline that has passed already, so the timer fires in the next round.
const int64_t deadlineNowMs_c = 1;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Opening and closing.

CommandSocket::CommandSocket(const CommandStarter& starter, const cmn::DbgModuleDescriptor* log_p)
    : starter_m(starter),
      log_mp(log_p),
      listenFd_m(-1),
      path_m(),
      boundDevice_m(0),
      boundInode_m(0),
      timer_mp(nullptr),
      listenerWatched_m(false),
      resumeAcceptMs_m(0),
      lastSerial_m(0),
      connections_m(),
      finished_m(),
      openConnections_m(0),
      waitingConnections_m(0) {}

CommandSocket::~CommandSocket() { close(); }

std::string CommandSocket::getSocketName(int /*socketFd*/) const {
    return "mdf::Server socket " + path_m;
}

bool CommandSocket::open(const std::string& path) {
    if (isOpen()) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "startListening(%s): already listening on %s",
                           path.c_str(), path_m.c_str());
        return false;
    }
    if (!bindAndListen(path)) {
        return false;
    }
    if (!startWatching()) {
        close();
        return false;
    }
    armExitUnlink(path_m, boundDevice_m, boundInode_m, log_mp);
    log_mp->dbgLog_info(__FILE__, __LINE__, "listening on %s", path_m.c_str());
    return true;
}

bool CommandSocket::bindAndListen(const std::string& path) {
    sockaddr_un address;
    if (!makeSocketAddress(path, address)) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "startListening(%s): not a path of 1 to %d bytes",
                           path.c_str(), static_cast<int>(sizeof(address.sun_path) - 1));
        return false;
    }
    if (!clearSocketPath(path, log_mp)) {
        return false;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "startListening(%s): socket failed: %m",
                           path.c_str());
        return false;
    }
    // bind() gives the new file the socket inode's mode less the umask: setting 0600 first
    // means the file never exists with wider permissions.
    if (fchmod(fd, S_IRUSR | S_IWUSR) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "startListening(%s): fchmod/bind failed: %m",
                           path.c_str());
        ::close(fd);
        return false;
    }
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || listen(fd, static_cast<int>(maxConnections_c)) != 0) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "startListening(%s): lstat/listen failed: %m",
                           path.c_str());
        ::close(fd);
        unlink(path.c_str());
        return false;
    }
    listenFd_m = fd;
    path_m = path;
    boundDevice_m = info.st_dev;
    boundInode_m = info.st_ino;
    return true;
}

bool CommandSocket::startWatching() {
    timer_mp = new DeadlineTimer([this]() { onTimer(); }, log_mp);
    if (!timer_mp->start()) {
        return false;
    }
    listenerWatched_m =
        cmn::SingletonHolder<cmn::Dispatcher>::getInstance().addClient(this, fdReadEvent_c);
    if (!listenerWatched_m) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "startListening(%s): the dispatcher refused it",
                           path_m.c_str());
    }
    return listenerWatched_m;
}

void CommandSocket::close() {
    if (!isOpen()) {
        return;
    }
    for (const std::pair<const uint64_t, CommandConnection*>& entry : connections_m) {
        delete entry.second;
    }
    connections_m.clear();
    countConnections();
    deleteFinished();
    if (listenerWatched_m) {
        cmn::SingletonHolder<cmn::Dispatcher>::getInstance().removeClient(listenFd_m,
                                                                          fdReadEvent_c);
        listenerWatched_m = false;
    }
    delete timer_mp;
    timer_mp = nullptr;
    ::close(listenFd_m);
    listenFd_m = -1;
    removeSocketFile();
    log_mp->dbgLog_info(__FILE__, __LINE__, "stopped listening on %s", path_m.c_str());
    path_m.clear();
    resumeAcceptMs_m = 0;
}

// Removes the file only if it is still the one bound: never someone else's file put there
// since.
void CommandSocket::removeSocketFile() {
    disarmExitUnlink();
    if (!isSameFile(path_m, boundDevice_m, boundInode_m)) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "%s is no longer our socket; left in place",
                           path_m.c_str());
        return;
    }
    if (unlink(path_m.c_str()) != 0) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "unlink(%s) failed: %m", path_m.c_str());
    }
}

// ---------------------------------------------------------------------------------------------
// Accepting.

bool CommandSocket::socketCallback(int /*socketFd*/) {
    deleteFinished();
    for (int i = 0; i < maxAcceptsPerRound_c; ++i) {
        int fd = accept4(listenFd_m, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            admit(fd);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            log_mp->dbgLog_err(__FILE__, __LINE__, "accept on %s failed: %m", path_m.c_str());
            pauseAccepting();
        }
        break;
    }
    armTimer();
    return true;
}

void CommandSocket::admit(int fd) {
    if (!peerAllowed(fd)) {
        ::close(fd);
        return;
    }
    if (connections_m.size() >= maxConnections_c && !makeRoom()) {
        log_mp->dbgLog_err(__FILE__, __LINE__,
                           "%s: %d connections wait for their commands; closing a new one",
                           path_m.c_str(), static_cast<int>(connections_m.size()));
        ::close(fd);
        return;
    }
    CommandConnection* connection_p = new CommandConnection(fd, ++lastSerial_m, *this, log_mp);
    if (!connection_p->start()) {
        delete connection_p;
        return;
    }
    connections_m[connection_p->serial()] = connection_p;
    countConnections();
}

// Evicts the oldest connection not waiting for a command's result: a client that holds every
// slot by reconnecting, or by trickling bytes, loses its oldest one to each new operator. One
// waiting for a result is kept: its command may be running. False when every one waits.
bool CommandSocket::makeRoom() {
    for (const std::pair<const uint64_t, CommandConnection*>& entry : connections_m) {
        if (!entry.second->isWaiting()) {
            entry.second->evict();
            return true;
        }
    }
    return false;
}

// Only this user and root may send commands.
bool CommandSocket::peerAllowed(int fd) {
    struct ucred peer;
    socklen_t length = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "SO_PEERCRED on connection %d failed: %m", fd);
        return false;
    }
    if (peer.uid == geteuid() || peer.uid == 0) {
        return true;
    }
    log_mp->dbgLog_err(__FILE__, __LINE__, "%s: refused a connection from uid %d (pid %d)",
                       path_m.c_str(), static_cast<int>(peer.uid), static_cast<int>(peer.pid));
    return false;
}

void CommandSocket::pauseAccepting() {
    if (listenerWatched_m) {
        cmn::SingletonHolder<cmn::Dispatcher>::getInstance().removeClient(listenFd_m,
                                                                          fdReadEvent_c);
        listenerWatched_m = false;
    }
    resumeAcceptMs_m = monotonicMs() + acceptPauseMs_c;
}

std::shared_ptr<CommandRequest> CommandSocket::startCommand(const std::string& line,
                                                            const CommandRequest::Reply& reply) {
    return starter_m(line, reply);
}

void CommandSocket::waitingChanged() {
    countConnections();
    armTimer();
}

void CommandSocket::countConnections() {
    int waiting = 0;
    for (const std::pair<const uint64_t, CommandConnection*>& entry : connections_m) {
        waiting += entry.second->isWaiting() ? 1 : 0;
    }
    openConnections_m.store(static_cast<int>(connections_m.size()));
    waitingConnections_m.store(waiting);
}

void CommandSocket::closeDescriptorsInChild() {
    for (const std::pair<const uint64_t, CommandConnection*>& entry : connections_m) {
        entry.second->closeDescriptorInChild();
    }
    for (CommandConnection* connection_p : finished_m) {
        connection_p->closeDescriptorInChild();
    }
    if (timer_mp != nullptr) {
        timer_mp->closeDescriptorInChild();
    }
    if (listenFd_m >= 0) {
        ::close(listenFd_m);
        listenFd_m = -1;
    }
}

// ---------------------------------------------------------------------------------------------
// Finished connections and deadlines.

void CommandSocket::connectionFinished(CommandConnection* connection_p) {
    // Deleted from a later callback of the listener or the timer, never inside the
    // connection's own callback, which is still running.
    connections_m.erase(connection_p->serial());
    countConnections();
    finished_m.push_back(connection_p);
    armTimer();
}

void CommandSocket::onTimer() {
    int64_t nowMs = monotonicMs();
    if (resumeAcceptMs_m != 0 && nowMs >= resumeAcceptMs_m) {
        resumeAcceptMs_m = 0;
        listenerWatched_m =
            cmn::SingletonHolder<cmn::Dispatcher>::getInstance().addClient(this, fdReadEvent_c);
        if (!listenerWatched_m) {
            log_mp->dbgLog_err(__FILE__, __LINE__, "%s: cannot resume accepting", path_m.c_str());
            resumeAcceptMs_m = nowMs + acceptPauseMs_c;
        }
    }
    checkDeadlines(nowMs);
    deleteFinished();
    armTimer();
}

void CommandSocket::checkDeadlines(int64_t nowMs) {
    // Acting on a deadline may finish the connection, which leaves the map.
    std::vector<CommandConnection*> due;
    for (const std::pair<const uint64_t, CommandConnection*>& entry : connections_m) {
        if (entry.second->nextDeadlineMs() <= nowMs) {
            due.push_back(entry.second);
        }
    }
    for (CommandConnection* connection_p : due) {
        connection_p->checkDeadlines(nowMs);
    }
}

void CommandSocket::deleteFinished() {
    for (CommandConnection* connection_p : finished_m) {
        delete connection_p;
    }
    finished_m.clear();
}

// The earliest of: now (a finished connection to delete), the first connection deadline, the
// end of an accept pause. Disarmed when there is none, so an idle server never wakes.
void CommandSocket::armTimer() {
    if (timer_mp == nullptr) {
        return;
    }
    int64_t deadlineMs = finished_m.empty() ? 0 : deadlineNowMs_c;
    for (const std::pair<const uint64_t, CommandConnection*>& entry : connections_m) {
        int64_t connectionMs = entry.second->nextDeadlineMs();
        if (deadlineMs == 0 || connectionMs < deadlineMs) {
            deadlineMs = connectionMs;
        }
    }
    if (resumeAcceptMs_m != 0 && (deadlineMs == 0 || resumeAcceptMs_m < deadlineMs)) {
        deadlineMs = resumeAcceptMs_m;
    }
    timer_mp->armAt(deadlineMs);
}

}  // namespace detail
}  // namespace mdf
