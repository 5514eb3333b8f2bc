// Socket file helpers: address, stale-socket detection, removal at exit.
#include "socketFile.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace mdf {
namespace detail {

namespace {

// The file to remove at exit. Plain storage with an atomic flag: the exit hook may run while
// other threads still live, and must neither lock nor depend on destroyed objects. The owner's
// process id keeps a forked child's exit from removing its parent's socket file.
struct ExitUnlink {
    std::atomic<bool> armed;
    char path[sizeof(sockaddr_un().sun_path)];
    dev_t device;
    ino_t inode;
    pid_t owner;
};
ExitUnlink exitUnlink;
std::once_flag exitUnlinkHookOnce;

void unlinkAtExit() {
    if (exitUnlink.armed.exchange(false) && exitUnlink.owner == getpid() &&
        isSameFile(exitUnlink.path, exitUnlink.device, exitUnlink.inode)) {
        unlink(exitUnlink.path);
    }
}

// A socket file of ours that nobody listens on: its server died without removing it.
bool isStaleSocket(const std::string& path, const struct stat& info) {
    if (!S_ISSOCK(info.st_mode) || info.st_uid != geteuid()) {
        return false;
    }
    sockaddr_un address;
    if (!makeSocketAddress(path, address)) {
        return false;
    }
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) {
        return false;
    }
    int result;
    do {
        result = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    } while (result != 0 && errno == EINTR);
    bool refused = (result != 0 && errno == ECONNREFUSED);
    close(probe);
    return refused;
}

}  // namespace

bool makeSocketAddress(const std::string& path, sockaddr_un& address_r) {
    memset(&address_r, 0, sizeof(address_r));
    address_r.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address_r.sun_path) ||
        path.find('\0') != std::string::npos) {
        return false;
    }
    memcpy(address_r.sun_path, path.data(), path.size());
    return true;
}

// lstat() does not follow a symlink, so a planted link is refused like any other file. The
// stale socket is owned by us, and in a sticky directory such as /tmp nobody else can swap
// it between the check and the unlink.
bool clearSocketPath(const std::string& path, const cmn::DbgModuleDescriptor* log_p) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        log_p->dbgLog_err(__FILE__, __LINE__, "startListening(%s): lstat failed: %m", path.c_str());
        return false;
    }
    if (!isStaleSocket(path, info)) {
        log_p->dbgLog_err(__FILE__, __LINE__,
                          "startListening(%s): a file is already there; not touching it",
                          path.c_str());
        return false;
    }
    if (unlink(path.c_str()) != 0) {
        log_p->dbgLog_err(__FILE__, __LINE__, "startListening(%s): unlink of stale socket: %m",
                          path.c_str());
        return false;
    }
    log_p->dbgLog_info(__FILE__, __LINE__, "startListening(%s): replaced a stale socket file",
                       path.c_str());
    return true;
}

bool isSameFile(const std::string& path, dev_t device, ino_t inode) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

void armExitUnlink(const std::string& path, dev_t device, ino_t inode,
                   const cmn::DbgModuleDescriptor* log_p) {
    std::call_once(exitUnlinkHookOnce, [log_p]() {
        if (atexit(unlinkAtExit) != 0) {
            log_p->dbgLog_err(__FILE__, __LINE__, "%s",
                              "atexit failed: the socket file stays after exit");
        }
    });
    snprintf(exitUnlink.path, sizeof(exitUnlink.path), "%s", path.c_str());
    exitUnlink.device = device;
    exitUnlink.inode = inode;
    exitUnlink.owner = getpid();
    exitUnlink.armed.store(true);
}

void disarmExitUnlink() { exitUnlink.armed.store(false); }

}  // namespace detail
}  // namespace mdf
