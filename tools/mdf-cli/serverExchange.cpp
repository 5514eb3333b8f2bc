// One command exchange: the status line ("OK", "FAILED", "ERROR") and then the response text.
#include "serverExchange.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "cliOptions.h"

namespace mdf {
namespace cli {

namespace {

// Each blocking step (connect, send, every read) gives up after this long.
const int timeoutSeconds_c = 5;
// Longest status line accepted ("FAILED" is the longest the server sends).
const size_t maxStatusBytes_c = 64;

int failExchange(const std::string& path, const char* what_p, int error) {
    fprintf(stderr, "mdf-cli: %s %s: %s\n", what_p, path.c_str(), strerror(error));
    return exitNoExchange_c;
}

bool setTimeouts(int fd) {
    struct timeval limit;
    limit.tv_sec = timeoutSeconds_c;
    limit.tv_usec = 0;
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) == 0;
}

// A connected socket with send and receive timeouts, or -1 after a message on stderr.
int connectTo(const std::string& path) {
    sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        failExchange(path, "cannot connect to", ENAMETOOLONG);
        return -1;
    }
    memcpy(address.sun_path, path.data(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || !setTimeouts(fd)) {
        failExchange(path, "cannot connect to", errno);
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    int result;
    do {
        result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        // A full backlog that stays full past the timeout reports EAGAIN.
        failExchange(path, "cannot connect to", errno == EAGAIN ? ETIMEDOUT : errno);
        close(fd);
        return -1;
    }
    return fd;
}

// True when the listener behind fd runs as this user or as root. The credentials are the
// listener's at the time it called listen(), so a socket handed over later changes nothing.
bool serverTrusted(int fd, const std::string& path) {
    struct ucred peer;
    socklen_t length = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        failExchange(path, "cannot tell who serves", errno);
        return false;
    }
    if (peer.uid == geteuid() || peer.uid == 0) {
        return true;
    }
    fprintf(stderr,
            "mdf-cli: %s is served by user id %u (pid %d), neither this user (%u) nor root; "
            "nothing was sent\n",
            path.c_str(), static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid),
            static_cast<unsigned>(geteuid()));
    return false;
}

// Sends the line and its newline, then shuts the write side. errno is set when false.
bool sendLine(int fd, const std::string& line) {
    std::string request = line + "\n";
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t done = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0) {
            if (errno == EAGAIN) {
                errno = ETIMEDOUT;
            }
            return false;
        }
        sent += static_cast<size_t>(done);
    }
    return shutdown(fd, SHUT_WR) == 0;
}

// One read: > 0 bytes, 0 at the end, -1 with errno on failure. A reset after the answer has
// begun counts as the end: the server may close with unread bytes still queued.
ssize_t readSome(int fd, char* buffer_p, size_t size, bool haveStatus) {
    ssize_t got;
    do {
        got = recv(fd, buffer_p, size, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && errno == ECONNRESET && haveStatus) {
        return 0;
    }
    if (got < 0 && errno == EAGAIN) {
        errno = ETIMEDOUT;
    }
    return got;
}

// Maps the status line to the exit status; -1 when it is not one the server sends.
int statusToExit(const std::string& status) {
    if (status == "OK") {
        return exitSucceeded_c;
    }
    if (status == "FAILED") {
        return exitFailed_c;
    }
    if (status == "ERROR") {
        return exitNoExchange_c;
    }
    return -1;
}

// Reads the status line and copies the rest of the answer to standard output (standard error
// for "ERROR"). Returns the exit status.
int readAnswer(int fd, const std::string& path, char& lastOut_r) {
    std::string pending;
    int exitStatus = -1;
    char buffer[4096];
    for (;;) {
        ssize_t got = readSome(fd, buffer, sizeof(buffer), exitStatus >= 0);
        if (got < 0) {
            return failExchange(path, "no answer from", errno);
        }
        if (got == 0) {
            break;
        }
        pending.append(buffer, static_cast<size_t>(got));
        if (exitStatus < 0) {
            size_t newline = pending.find('\n');
            if (newline == std::string::npos && pending.size() <= maxStatusBytes_c) {
                continue;
            }
            exitStatus = statusToExit(pending.substr(0, newline));
            if (exitStatus < 0) {
                fprintf(stderr, "mdf-cli: %s does not speak the command protocol\n", path.c_str());
                return exitNoExchange_c;
            }
            if (exitStatus == exitNoExchange_c) {
                fputs("mdf-cli: the server refused the request: ", stderr);
            }
            pending.erase(0, newline + 1);
        }
        if (exitStatus != exitNoExchange_c && !pending.empty()) {
            lastOut_r = pending.back();
        }
        fwrite(pending.data(), 1, pending.size(), exitStatus == exitNoExchange_c ? stderr : stdout);
        pending.clear();
    }
    if (exitStatus < 0) {
        fprintf(stderr, "mdf-cli: %s closed the connection without an answer\n", path.c_str());
        return exitNoExchange_c;
    }
    if (fflush(stdout) != 0) {
        return failExchange(path, "cannot print the answer of", errno);
    }
    return exitStatus;
}

}  // namespace

int exchangeCommand(const std::string& path, const std::string& line, char& lastOut_r) {
    lastOut_r = '\n';
    int fd = connectTo(path);
    if (fd < 0) {
        return exitNoExchange_c;
    }
    if (!serverTrusted(fd, path)) {
        close(fd);
        return exitNoExchange_c;
    }
    // A server that refuses a long request may close before taking it all; its answer is still
    // there to read, so a failed send is reported only when no answer follows.
    int sendError = sendLine(fd, line) ? 0 : errno;
    if (sendError != 0 && sendError != EPIPE && sendError != ECONNRESET) {
        close(fd);
        return failExchange(path, "cannot send to", sendError);
    }
    int result = readAnswer(fd, path, lastOut_r);
    close(fd);
    return result;
}

}  // namespace cli
}  // namespace mdf
