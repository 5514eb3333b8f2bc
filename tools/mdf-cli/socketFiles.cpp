// Finding, listing and removing the timer service's socket files.
#include "socketFiles.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "cliOptions.h"

namespace mdf {
namespace cli {

namespace {

// The timer manager's callback socket name, "<base>.PID%d.TID%lu" without the directory.
const char callbackPrefix_c[] = "timer_manager_cb.socket.PID";
const char callbackThreadTag_c[] = ".TID";
// __SO_ACCEPTCON in /proc/net/unix's flags: the socket listens.
const unsigned long listeningFlag_c = 0x10000;

struct SocketFile {
    bool command;  // a command server's socket, else a manager's callback socket
    std::string path;
    long pid;
    dev_t device;
    ino_t inode;
};

// The paths that sockets are bound to, each with whether one of them listens.
typedef std::map<std::string, bool> Bindings;

bool failWith(const std::string& what, const std::string& path) {
    fprintf(stderr, "mdf-cli: %s %s: %s\n", what.c_str(), path.c_str(), strerror(errno));
    return false;
}

// The decimal number at name[pos_r...], advancing pos_r; false when there is none.
bool takeNumber(const std::string& name, size_t& pos_r, unsigned long& value_r) {
    size_t start = pos_r;
    while (pos_r < name.size() && name[pos_r] >= '0' && name[pos_r] <= '9') {
        ++pos_r;
    }
    if (pos_r == start || pos_r - start > 19) {
        return false;
    }
    value_r = strtoul(name.substr(start, pos_r - start).c_str(), nullptr, 10);
    return true;
}

// The pid of a command socket name, or 0. The name must be exactly the one the server makes.
long commandSocketPid(const std::string& name) {
    size_t pos = name.find_first_of("0123456789");
    unsigned long pid = 0;
    if (pos == std::string::npos || !takeNumber(name, pos, pid) || pid == 0 || pid > INT_MAX) {
        return 0;
    }
    return commandSocketPath("", static_cast<long>(pid)) == "/" + name ? static_cast<long>(pid) : 0;
}

// The pid of a callback socket name, or 0.
long callbackSocketPid(const std::string& name) {
    const size_t prefixLength = sizeof(callbackPrefix_c) - 1;
    const size_t tagLength = sizeof(callbackThreadTag_c) - 1;
    if (name.compare(0, prefixLength, callbackPrefix_c) != 0) {
        return 0;
    }
    size_t pos = prefixLength;
    unsigned long pid = 0;
    unsigned long thread = 0;
    if (!takeNumber(name, pos, pid) || name.compare(pos, tagLength, callbackThreadTag_c) != 0) {
        return 0;
    }
    pos += tagLength;
    if (!takeNumber(name, pos, thread) || pos != name.size() || pid == 0 || pid > INT_MAX) {
        return 0;
    }
    return static_cast<long>(pid);
}

// This user's socket files in `dir`, sorted by pid then path. False (said) when unreadable.
bool findSocketFiles(const std::string& dir, std::vector<SocketFile>& files_r) {
    DIR* stream_p = opendir(dir.c_str());
    if (stream_p == nullptr) {
        return failWith("cannot read", dir);
    }
    while (const dirent* entry_p = readdir(stream_p)) {
        const std::string name = entry_p->d_name;
        long commandPid = commandSocketPid(name);
        long pid = commandPid != 0 ? commandPid : callbackSocketPid(name);
        struct stat info;
        std::string path = dir;
        path += "/";
        path += name;
        if (pid == 0 || lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) ||
            info.st_uid != geteuid()) {
            continue;
        }
        files_r.push_back(SocketFile{commandPid != 0, path, pid, info.st_dev, info.st_ino});
    }
    closedir(stream_p);
    std::sort(files_r.begin(), files_r.end(), [](const SocketFile& a, const SocketFile& b) {
        return a.pid != b.pid ? a.pid < b.pid : a.path < b.path;
    });
    return true;
}

// Every path that a socket of this network namespace is bound to. False (said) when
// /proc/net/unix cannot be read. Line: "Num RefCount Protocol Flags Type St Inode Path".
bool readBindings(Bindings& bindings_r) {
    std::ifstream table("/proc/net/unix");
    if (!table) {
        return failWith("cannot read", "/proc/net/unix");
    }
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string num, refCount, protocol, flags, type, state, inode, path;
        fields >> num >> refCount >> protocol >> flags >> type >> state >> inode;
        std::getline(fields >> std::ws, path);  // the rest of the line: a path may hold blanks
        if (path.empty() || path[0] != '/') {
            continue;
        }
        bool& listening = bindings_r[path];
        listening = listening || (strtoul(flags.c_str(), nullptr, 16) & listeningFlag_c) != 0;
    }
    return true;
}

// The directory as the kernel names bound paths: absolute, no symlinks, no "." or "..".
bool resolveDir(const std::string& dir, std::string& resolved_r) {
    char* resolved_p = realpath(dir.c_str(), nullptr);
    if (resolved_p == nullptr) {
        return failWith("cannot read", dir);
    }
    resolved_r = resolved_p;
    free(resolved_p);
    if (resolved_r == "/") {
        resolved_r.clear();  // paths are joined with "/"
    }
    return true;
}

bool processGone(long pid) { return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

// The kernel's name of the process's program, or "-".
std::string programName(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    return std::getline(comm, name) && !name.empty() ? name : "-";
}

// Gathers this user's socket files of `dir` and the bound paths. False when already said.
bool survey(const std::string& dir, std::vector<SocketFile>& files_r, Bindings& bindings_r) {
    std::string resolved;
    return resolveDir(dir, resolved) && findSocketFiles(resolved, files_r) &&
           readBindings(bindings_r);
}

const char* serverState(const SocketFile& file, bool gone, const Bindings& bindings) {
    if (gone) {
        return "stale: no such process";
    }
    Bindings::const_iterator it = bindings.find(file.path);
    return it != bindings.end() && it->second ? "listening" : "stale: nobody listening";
}

// Removes the file if it is still the one examined. The directory is sticky (/tmp) or the
// caller's own, so only this user or root can have replaced it meanwhile.
bool removeIfSame(const SocketFile& file) {
    struct stat info;
    if (lstat(file.path.c_str(), &info) != 0 || info.st_dev != file.device ||
        info.st_ino != file.inode) {
        return true;
    }
    if (unlink(file.path.c_str()) != 0 && errno != ENOENT) {
        return failWith("cannot remove", file.path);
    }
    printf("removed %s\n", file.path.c_str());
    return true;
}

}  // namespace

int listServers(const std::string& dir) {
    std::vector<SocketFile> files;
    Bindings bindings;
    if (!survey(dir, files, bindings)) {
        return exitFailed_c;
    }
    printf("%-8s %-16s %-24s %s\n", "PID", "PROGRAM", "STATE", "SOCKET");
    for (const SocketFile& file : files) {
        if (file.command) {
            const bool gone = processGone(file.pid);
            printf("%-8ld %-16s %-24s %s\n", file.pid, gone ? "-" : programName(file.pid).c_str(),
                   serverState(file, gone, bindings), file.path.c_str());
        }
    }
    return fflush(stdout) == 0 ? exitSucceeded_c : exitFailed_c;
}

int cleanStaleFiles(const std::string& dir) {
    std::vector<SocketFile> files;
    Bindings bindings;
    if (!survey(dir, files, bindings)) {
        return exitFailed_c;
    }
    bool allRemoved = true;
    for (const SocketFile& file : files) {
        if (!processGone(file.pid)) {
            continue;
        }
        if (bindings.count(file.path) != 0) {
            printf("kept %s: a socket is still bound to it\n", file.path.c_str());
            continue;
        }
        allRemoved = removeIfSame(file) && allRemoved;
    }
    return allRemoved && fflush(stdout) == 0 ? exitSucceeded_c : exitFailed_c;
}

}  // namespace cli
}  // namespace mdf
