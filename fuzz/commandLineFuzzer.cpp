// Fuzzes the command server's handling of operator input. Each input goes, as it is, to
// mdf::Server::executeCommand, and as the request of a real connection to the server's operator
// socket, which this thread's dispatcher loop serves while the fuzzer steps it. A timer manager
// with its extra commands and a few timers is on the thread, so every command word exists.
//
// Oracle: every connection is answered with a status line and closed. A request the framing
// refuses (more than 4096 bytes before its newline, or a NUL byte in its line) gets "ERROR" with
// its reason; any other gets "OK" or "FAILED" as executeCommand answers the same line, and an
// empty or unknown command gets the very text executeCommand gives.
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "fuzzSupport.h"

namespace {

using cmn::fuzz::check;

const size_t maxLineBytes = 4096;
// Loop rounds an exchange may take; the server needs a handful.
const int maxRounds = 100000;

class QuietClient : public cmn::PATimerClient {
public:
    bool timerExpired(uint32_t /*timerId*/, cmn::PAUserData* /*userData_p*/) override {
        return true;
    }
    std::string getClientName() const override { return "fuzz"; }
};

QuietClient client;

std::string socketPath() {
    return "/tmp/ctm-fuzz-commands." + std::to_string(getpid()) + ".socket";
}

void setUpOnce() {
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    cmn::fuzz::setUpProcess();
    check(cmn::SingletonHolder<mdf::Server>::getInstance().startListening(socketPath()),
          "the operator socket opens");
}

// Entries of each kind for "tmgr-show-state", "tmgr-simulate-timeout" and the rest to act on.
void startTimers(cmn::TimerManager& manager_r) {
    uint32_t timerId = 0;
    manager_r.startOneShotTimer(timerId, 100, &client, nullptr,
                                cmn::TimerManager::millisecondGranularity_c);
    manager_r.startPeriodicTimer(timerId, 5000, &client, nullptr,
                                 cmn::TimerManager::nanosecondGranularity_c);
    manager_r.startPeriodicClockSyncTimer(timerId, 60, 10, &client, nullptr);
    manager_r.startOneShotTimer(timerId, 7, &client, nullptr,
                                cmn::TimerManager::millisecondGranularity_c);
    manager_r.cancelTimer(timerId, false);
}

// The line the server runs for `request`; false when it refuses the request instead.
bool framedLine(const std::string& request, std::string& line_r, std::string& reason_r) {
    size_t newline = request.find('\n');
    if (newline != std::string::npos && newline <= maxLineBytes) {
        line_r = request.substr(0, newline);
    } else if (request.size() > maxLineBytes) {
        reason_r = "line too long: more than 4096 bytes\n";
        return false;
    } else {
        line_r = request;
    }
    if (!line_r.empty() && line_r[line_r.size() - 1] == '\r') {
        line_r.erase(line_r.size() - 1);
    }
    reason_r = "line contains a NUL byte\n";
    return line_r.find('\0') == std::string::npos;
}

int connectToServer() {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::string path = socketPath();
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    check(fd >= 0, "socket");
    check(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0, "connect");
    return fd;
}

// Sends up to `piece` bytes, as the socket takes them; false once the server has closed its
// side.
bool sendSome(int fd, const std::string& request, size_t piece, size_t& sent_r) {
    size_t length = std::min(piece, request.size() - sent_r);
    ssize_t got = send(fd, request.data() + sent_r, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (got >= 0) {
        sent_r += static_cast<size_t>(got);
        return true;
    }
    check(errno == EAGAIN || errno == EINTR || errno == EPIPE || errno == ECONNRESET, "send");
    return errno == EAGAIN || errno == EINTR;
}

// Reads what is there; true at the end of the answer.
bool receiveSome(int fd, std::string& answer_r) {
    char buffer[4096];
    ssize_t got = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got > 0) {
        answer_r.append(buffer, static_cast<size_t>(got));
        return false;
    }
    // A reset comes only after every byte the server sent has been read.
    check(got == 0 || errno == EAGAIN || errno == EINTR || errno == ECONNRESET, "recv");
    return got == 0 || errno == ECONNRESET;
}

// One request over a fresh connection, sent in pieces with a round of the loop after each, so
// the server reads it in parts; the whole answer. The write side is shut only when the request
// holds no line end that the server will see.
std::string exchange(const std::string& request) {
    // The piece size follows from the input, so a run replays exactly.
    const size_t piece = 1 + (request.size() * 31) % 1024;
    int fd = connectToServer();
    bool ended = request.find('\n') <= maxLineBytes;
    size_t sent = 0;
    bool sending = true;
    std::string answer;
    for (int round = 0; round < maxRounds; ++round) {
        if (sending && sent < request.size()) {
            sending = sendSome(fd, request, piece, sent);
        }
        if (!ended && (!sending || sent == request.size())) {
            shutdown(fd, SHUT_WR);
            ended = true;
        }
        cmn::fuzz::stepLoop();
        if (receiveSome(fd, answer)) {
            close(fd);
            return answer;
        }
    }
    cmn::fuzz::fail("the server never finished its answer");
}

void checkAnswer(const std::string& request, const std::string& answer) {
    std::string line;
    std::string reason;
    if (!framedLine(request, line, reason)) {
        check(answer == "ERROR\n" + reason, "a refused request gets ERROR and its reason");
        return;
    }
    std::string expected;
    bool succeeded = cmn::fuzz::runCommand(line, expected);
    size_t statusEnd = answer.find('\n');
    check(statusEnd != std::string::npos, "the answer starts with a status line");
    check(answer.compare(0, statusEnd, succeeded ? "OK" : "FAILED") == 0,
          "the status is the command's result");
    if (expected.find("empty command line") == 0 || expected.find("unknown command") == 0) {
        check(answer.compare(statusEnd + 1, std::string::npos, expected) == 0,
              "an empty or unknown command gets executeCommand's text");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setUpOnce();
    startTimers(cmn::fuzz::freshManager());
    std::string request(reinterpret_cast<const char*>(data), size);
    std::string ignored;
    cmn::fuzz::runCommand(request, ignored);
    checkAnswer(request, exchange(request));
    cmn::fuzz::dropManager();
    // The server deletes a finished connection in a later round.
    cmn::fuzz::drainLoop();
    return 0;
}
