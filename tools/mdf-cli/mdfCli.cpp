// mdf-cli: sends one command line to a process's command server and prints the answer.
//
//   mdf-cli [-s SOCKET | -p PID] COMMAND [ARGS...]
//
// COMMAND and ARGS are joined with single blanks into one line. The server answers with a
// status line ("OK", "FAILED" or "ERROR") and the response text, which goes to standard output
// ("ERROR" text to standard error).
// Exit status: 0 the command returned true, 1 it returned false, 2 no server was reached or the
// exchange failed or timed out (or the server refused the request), 64 usage error.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "mdfServer.h"

namespace {

const int exitSucceeded_c = 0;
const int exitFailed_c = 1;
const int exitNoExchange_c = 2;
const int exitUsage_c = 64;
// Each blocking step (connect, send, every read) gives up after this long.
const int timeoutSeconds_c = 5;
// Longest status line accepted ("FAILED" is the longest the server sends).
const size_t maxStatusBytes_c = 64;

const char usageText[] =
    "usage: mdf-cli [-s SOCKET | -p PID] COMMAND [ARGS...]\n"
    "Sends one command line to a process's command server and prints the answer.\n"
    "  -s SOCKET  the server's socket path\n"
    "  -p PID     the server of process PID (its default socket path)\n"
    "  --help     print this text\n"
    "Exit status: 0 the command succeeded, 1 it failed, 2 no server was reached or the\n"
    "exchange failed, 64 usage error.\n";

struct Options {
    std::string socketPath;
    std::string commandLine;
};

int usageError(const std::string& message) {
    fprintf(stderr, "mdf-cli: %s\n%s", message.c_str(), usageText);
    return exitUsage_c;
}

bool parsePid(const char* text_p, long& pid_r) {
    char* end_p = nullptr;
    errno = 0;
    pid_r = strtol(text_p, &end_p, 10);
    return errno == 0 && end_p != text_p && *end_p == '\0' && pid_r > 0;
}

// Reads the options before COMMAND. Returns -1 to go on, or the exit status to end with.
int parseOptions(int argc, char** argv, int& next_r, Options& options_r) {
    bool haveTarget = false;
    for (next_r = 1; next_r < argc && argv[next_r][0] == '-'; ++next_r) {
        std::string option = argv[next_r];
        if (option == "--help" || option == "-h") {
            fputs(usageText, stdout);
            return exitSucceeded_c;
        }
        if (option == "--") {
            ++next_r;
            break;
        }
        if (option != "-s" && option != "-p") {
            return usageError("unknown option " + option);
        }
        if (next_r + 1 >= argc) {
            return usageError("option " + option + " needs a value");
        }
        if (haveTarget) {
            return usageError("give only one of -s SOCKET and -p PID");
        }
        haveTarget = true;
        const char* value_p = argv[++next_r];
        long pid = 0;
        if (option == "-p" && !parsePid(value_p, pid)) {
            return usageError(std::string("not a process id: ") + value_p);
        }
        options_r.socketPath = (option == "-s") ? value_p : mdf::Server::defaultSocketPath(pid);
    }
    if (!haveTarget) {
        return usageError("give -s SOCKET or -p PID");
    }
    return -1;
}

// Returns -1 when the options and the command line are in options_r, or the exit status.
int parseArguments(int argc, char** argv, Options& options_r) {
    int next = 1;
    int result = parseOptions(argc, argv, next, options_r);
    if (result >= 0) {
        return result;
    }
    if (next >= argc) {
        return usageError("no command given");
    }
    for (int i = next; i < argc; ++i) {
        if (strchr(argv[i], '\n') != nullptr) {
            return usageError("a command line cannot hold a newline");
        }
        if (i > next) {
            options_r.commandLine += ' ';
        }
        options_r.commandLine += argv[i];
    }
    return -1;
}

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
int readAnswer(int fd, const std::string& path) {
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

int main(int argc, char** argv) {
    Options options;
    int result = parseArguments(argc, argv, options);
    if (result >= 0) {
        return result;
    }
    int fd = connectTo(options.socketPath);
    if (fd < 0) {
        return exitNoExchange_c;
    }
    // A server that refuses a long request may close before taking it all; its answer is still
    // there to read, so a failed send is reported only when no answer follows.
    int sendError = sendLine(fd, options.commandLine) ? 0 : errno;
    if (sendError != 0 && sendError != EPIPE && sendError != ECONNRESET) {
        close(fd);
        return failExchange(options.socketPath, "cannot send to", sendError);
    }
    result = readAnswer(fd, options.socketPath);
    close(fd);
    return result;
}
