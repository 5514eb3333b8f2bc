// Talking to a command server the way an operator does: raw connections to its socket, and
// programs (mdf-cli, tmgr-demo) run as child processes; and, in process, the server's own view
// of its socket.
#ifndef TESTS_SUPPORT_OPERATORCLIENT_H
#define TESTS_SUPPORT_OPERATORCLIENT_H

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mdfServer.h"

extern char** environ;

namespace cmn {
namespace test {

// The address of the socket file at `path`.
inline sockaddr_un unixAddress(const std::string& path) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    return address;
}

// A socket of `type` bound at `path`, listening if it is a stream socket; -1 on failure.
inline int bindAt(const std::string& path, int type) {
    sockaddr_un address = unixAddress(path);
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        (type == SOCK_STREAM && listen(fd, 8) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// A connected stream socket to `path`, or -1.
inline int connectTo(const std::string& path) {
    sockaddr_un address = unixAddress(path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until the peer closes (eof_r true) or the budget runs out.
inline std::string readAll(int fd, int budgetMs, bool& eof_r) {
    std::string text;
    eof_r = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
    while (!eof_r && std::chrono::steady_clock::now() < deadline) {
        pollfd ready = {fd, POLLIN, 0};
        char buffer[8192];
        ssize_t got = poll(&ready, 1, 50) > 0 ? recv(fd, buffer, sizeof(buffer), 0) : -2;
        eof_r = got == 0 || got == -1;
        text.append(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    }
    return text;
}

// One request on a fresh connection, with the write side shut after it; the whole answer,
// "<no connection>" or the partial answer followed by "<no end>".
inline std::string askServer(const std::string& path, const std::string& request, int budgetMs) {
    int fd = connectTo(path);
    if (fd < 0) {
        return "<no connection>";
    }
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    bool eof = false;
    std::string answer = readAll(fd, budgetMs, eof);
    close(fd);
    return eof ? answer : answer + "<no end>";
}

// Closes `fd`, then returns the content of `path` and removes it.
inline std::string takeFile(int fd, const char* path) {
    close(fd);
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    unlink(path);
    return text.str();
}

// Runs `line` through this process's command server: the response text, then "true" or "false"
// for the result.
inline std::string execute(const std::string& line) {
    std::string out;
    bool result = SingletonHolder<mdf::Server>::getInstance().executeCommand(line, out);
    return out + (result ? "true" : "false");
}

// The line of this process's "mdf-show-state" that describes the operator socket.
inline std::string listeningLine() {
    std::string out;
    SingletonHolder<mdf::Server>::getInstance().executeCommand("mdf-show-state", out);
    size_t at = out.find("Listening on: ");
    return at == std::string::npos ? std::string() : out.substr(at, out.find('\n', at) - at);
}

// Polls `done` every 5 ms until it holds (true) or the budget runs out (false).
inline bool waitUntil(const std::function<bool()>& done, int budgetMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

// Waits until the listening line ends with `text` ("connections: 3 of 32, 0 waiting for a
// command", say); false when the budget ran out first.
inline bool waitForListeningLine(const std::string& text, int budgetMs) {
    return waitUntil(
        [&text] {
            std::string line = listeningLine();
            return line.size() >= text.size() &&
                   line.compare(line.size() - text.size(), text.size(), text) == 0;
        },
        budgetMs);
}

struct ProgramRun {
    int status;  // exit status, -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Starts `program` with `args`, its standard output and error going to `outFd` and `errFd`.
// Returns the child's pid, or -1.
inline pid_t spawnProgram(const std::string& program, const std::vector<std::string>& args,
                          int outFd, int errFd) {
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    pid_t child = -1;
    bool spawned =
        posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return spawned ? child : -1;
}

// Runs `program` to its end and collects its exit status and output.
inline ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args) {
    char outPath[] = "/tmp/ctm-test-out.XXXXXX";
    char errPath[] = "/tmp/ctm-test-err.XXXXXX";
    int outFd = mkostemp(outPath, O_CLOEXEC);
    int errFd = mkostemp(errPath, O_CLOEXEC);
    pid_t child = spawnProgram(program, args, outFd, errFd);
    int status = -1;
    bool exited = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status);
    return ProgramRun{exited ? WEXITSTATUS(status) : -1, takeFile(outFd, outPath),
                      takeFile(errFd, errPath)};
}

}  // namespace test
}  // namespace cmn

#endif  // TESTS_SUPPORT_OPERATORCLIENT_H
