// One operator connection: read a line, run it, send the answer, close.
#include "commandConnection.h"

#include <assert.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace mdf {
namespace detail {

namespace {

// Bytes of unread input thrown away before closing; see discardUnread().
const size_t maxDiscardBytes_c = size_t{64} * 1024;

// Closing a Unix stream socket whose receive queue still holds data makes the peer's next read
// fail with ECONNRESET instead of seeing the end of the response, so whatever the client sent
// after its line (or beyond the length limit) is read and dropped first, up to a bound.
void discardUnread(int fd) {
    char scratch[4096];
    size_t total = 0;
    while (total < maxDiscardBytes_c) {
        ssize_t got = recv(fd, scratch, sizeof(scratch), MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return;
        }
        total += static_cast<size_t>(got);
    }
}

}  // namespace

int64_t monotonicMs() {
    struct timespec now;
    int result = clock_gettime(CLOCK_MONOTONIC, &now);
    assert(result == 0);  // CLOCK_MONOTONIC always exists on Linux
    (void)result;
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

CommandConnection::CommandConnection(int fd, uint64_t serial, PAConnectionOwner& owner_r,
                                     const cmn::DbgModuleDescriptor* log_p)
    : fd_m(fd),
      serial_m(serial),
      owner_rm(owner_r),
      log_mp(log_p),
      state_m(reading_c),
      peerClosed_m(false),
      watchingRead_m(false),
      watchingWrite_m(false),
      input_m(),
      output_m(),
      written_m(0),
      acceptedMs_m(monotonicMs()),
      lastActivityMs_m(acceptedMs_m),
      request_m(),
      waitStartMs_m(0),
      ownerWaitOver_m(false),
      self_m(std::make_shared<CommandConnection*>(this)) {}

CommandConnection::~CommandConnection() {
    *self_m = nullptr;
    if (request_m) {
        request_m->abandon();
    }
    if (fd_m < 0) {
        return;
    }
    watch(fdReadEvent_c, false);
    watch(fdWriteEvent_c, false);
    discardUnread(fd_m);
    close(fd_m);
}

bool CommandConnection::start() { return watch(fdReadEvent_c, true); }

std::string CommandConnection::getSocketName(int socketFd) const {
    return "mdf::Server connection " + std::to_string(socketFd);
}

bool CommandConnection::watch(FdEventType eventType, bool on) {
    bool& watching_r = (eventType == fdReadEvent_c) ? watchingRead_m : watchingWrite_m;
    if (watching_r == on) {
        return true;
    }
    cmn::Dispatcher& dispatcher = cmn::SingletonHolder<cmn::Dispatcher>::getInstance();
    bool done =
        on ? dispatcher.addClient(this, eventType) : dispatcher.removeClient(fd_m, eventType);
    if (!done) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "connection %d: cannot %s watching %s events", fd_m,
                           on ? "start" : "stop", fdEventTypeToStr(eventType));
    }
    // A failed removal means the pair was not watched any more: either way it is not now.
    watching_r = on && done;
    return done;
}

bool CommandConnection::socketCallback(int /*socketFd*/) {
    if (state_m != reading_c) {
        return true;
    }
    if (!readInput()) {
        finish();
        return true;
    }
    std::string line;
    if (takeLine(line)) {
        runLine(line);
    }
    return true;
}

bool CommandConnection::writeCallback(int /*socketFd*/) {
    if (state_m == writing_c) {
        flushOutput();
    }
    return true;
}

bool CommandConnection::exceptionCallback(int /*socketFd*/) {
    finish();
    return true;
}

// Reads until the line is complete, the client closes its side, the length limit is passed
// or nothing more is ready. False on a read error.
bool CommandConnection::readInput() {
    char chunk[1024];
    while (input_m.find('\n') == std::string::npos && input_m.size() <= maxLineBytes_c &&
           !peerClosed_m) {
        size_t room = maxLineBytes_c + 1 - input_m.size();
        ssize_t got = recv(fd_m, chunk, room < sizeof(chunk) ? room : sizeof(chunk), 0);
        if (got > 0) {
            input_m.append(chunk, static_cast<size_t>(got));
            lastActivityMs_m = monotonicMs();
        } else if (got == 0) {
            peerClosed_m = true;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return true;
        } else {
            log_mp->dbgLog_debug(__FILE__, __LINE__, "connection %d: recv failed: %m", fd_m);
            return false;
        }
    }
    return true;
}

// True when a line is ready to run (in line_r); answers an over-long request itself.
bool CommandConnection::takeLine(std::string& line_r) {
    size_t newline = input_m.find('\n');
    if (newline != std::string::npos) {
        line_r.assign(input_m, 0, newline);
        return true;
    }
    if (input_m.size() > maxLineBytes_c) {
        log_mp->dbgLog_info(__FILE__, __LINE__, "connection %d: line longer than %d bytes refused",
                            fd_m, static_cast<int>(maxLineBytes_c));
        answer("ERROR", "line too long: more than " + std::to_string(maxLineBytes_c) + " bytes\n");
        return false;
    }
    if (peerClosed_m) {
        line_r = input_m;
        return true;
    }
    return false;
}

void CommandConnection::runLine(const std::string& line) {
    std::string command = line;
    if (!command.empty() && command[command.size() - 1] == '\r') {
        command.erase(command.size() - 1);
    }
    if (command.find('\0') != std::string::npos) {
        answer("ERROR", "line contains a NUL byte\n");
        return;
    }
    log_mp->dbgLog_debug(__FILE__, __LINE__, "connection %d: command \"%s\"", fd_m,
                         command.c_str());
    // The reply runs on this thread, in a later round, and may find the connection gone.
    std::shared_ptr<CommandConnection*> self = self_m;
    std::shared_ptr<CommandRequest> request =
        owner_rm.startCommand(command, [self](bool result, const std::string& text) {
            if (*self != nullptr) {
                (*self)->commandDone(result, text);
            }
        });
    if (request->isFinished()) {
        answer(request->result() ? "OK" : "FAILED", request->text());
        return;
    }
    state_m = waiting_c;
    watch(fdReadEvent_c, false);
    request_m = request;
    waitStartMs_m = monotonicMs();
    owner_rm.waitingChanged();
}

void CommandConnection::commandDone(bool result, const std::string& text) {
    if (state_m != waiting_c) {
        return;
    }
    request_m.reset();
    answer(result ? "OK" : "FAILED", text);
    owner_rm.waitingChanged();
}

// Queues the status line and the text, and starts sending. May finish the connection.
void CommandConnection::answer(const char* status_p, const std::string& text) {
    state_m = writing_c;
    watch(fdReadEvent_c, false);
    input_m.clear();
    output_m = status_p;
    output_m += "\n";
    if (text.size() > maxResponseBytes_c) {
        output_m.append(text, 0, maxResponseBytes_c);
        output_m += "\n[response cut at " + std::to_string(maxResponseBytes_c) + " bytes]\n";
    } else {
        output_m += text;
    }
    written_m = 0;
    flushOutput();
}

// Sends what the socket takes now; waits for a write event for the rest. May finish the
// connection, after which nothing of it may be touched.
void CommandConnection::flushOutput() {
    while (written_m < output_m.size()) {
        ssize_t sent = send(fd_m, output_m.data() + written_m, output_m.size() - written_m,
                            MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) {
            written_m += static_cast<size_t>(sent);
            lastActivityMs_m = monotonicMs();
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!watch(fdWriteEvent_c, true)) {
                finish();
            }
            return;
        } else {
            log_mp->dbgLog_debug(__FILE__, __LINE__, "connection %d: send failed: %m", fd_m);
            finish();
            return;
        }
    }
    finish();
}

int64_t CommandConnection::nextDeadlineMs() const {
    int64_t deadlineMs = acceptedMs_m + connectionDeadlineMs_c;
    int64_t stepMs = state_m != waiting_c ? lastActivityMs_m + idleTimeoutMs_c
                     : ownerWaitOver_m    ? deadlineMs
                                          : waitStartMs_m + ownerWaitMs_c;
    return stepMs < deadlineMs ? stepMs : deadlineMs;
}

void CommandConnection::checkDeadlines(int64_t nowMs) {
    if (state_m == waiting_c && !ownerWaitOver_m && nowMs >= waitStartMs_m + ownerWaitMs_c) {
        ownerWaitOver_m = true;
        // A command its owner has begun is waited for, up to the connection's own limit.
        if (request_m->abandon()) {
            std::string verb = request_m->verb();
            log_mp->dbgLog_err(__FILE__, __LINE__,
                               "connection %d: \"%s\" not run: its owner's loop did not take it "
                               "in %d ms",
                               fd_m, verb.c_str(), ownerWaitMs_c);
            request_m.reset();
            answer("FAILED", CommandRequest::notServedText(verb));
            owner_rm.waitingChanged();
            return;
        }
    }
    if (nowMs >= acceptedMs_m + connectionDeadlineMs_c) {
        giveUp("open for too long");
    } else if (state_m != waiting_c && nowMs - lastActivityMs_m >= idleTimeoutMs_c) {
        giveUp("idle for too long");
    }
}

void CommandConnection::evict() { giveUp("closed to make room for a new connection"); }

// Tells a client that still expects its answer why there is none (best effort only: a client
// that says nothing may not read either), then finishes. A client in the middle of its answer
// just sees the stream end short.
void CommandConnection::giveUp(const char* why_p) {
    if (state_m == reading_c || state_m == waiting_c) {
        std::string text = std::string("ERROR\n") + why_p + "\n";
        ssize_t ignored = send(fd_m, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)ignored;
    }
    log_mp->dbgLog_info(__FILE__, __LINE__, "connection %d: %s; closed", fd_m, why_p);
    finish();
}

void CommandConnection::closeDescriptorInChild() {
    if (fd_m >= 0) {
        close(fd_m);
        fd_m = -1;
    }
}

// Closes the descriptor at once, so the client sees the end of the response now, and hands
// the object back to its owner, which deletes it later.
void CommandConnection::finish() {
    if (state_m == finished_c) {
        return;
    }
    state_m = finished_c;
    if (request_m) {
        // Nobody is left to answer: a command not begun yet is not run.
        request_m->abandon();
        request_m.reset();
    }
    // The owner stops counting it first: once the client sees the end, the server's state
    // already leaves it out.
    owner_rm.connectionFinished(this);
    watch(fdReadEvent_c, false);
    watch(fdWriteEvent_c, false);
    discardUnread(fd_m);
    close(fd_m);
    fd_m = -1;
}

}  // namespace detail
}  // namespace mdf
