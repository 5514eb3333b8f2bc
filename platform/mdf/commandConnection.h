// mdf::detail::CommandConnection: one operator connection of the command server's socket.
//
// Protocol: the client sends one command line ended by '\n' (or by shutting down its write
// side); a '\r' before the '\n' is dropped. The connection stops reading, has its owner start
// the line, waits for the result when the command runs on another thread, and sends back a
// status line, then the response text, then closes:
//   "OK\n"      the command ran and returned true;
//   "FAILED\n"  the command returned false (or the word was unknown, the line was empty, or
//              the command did not run: its owner's thread did not take it in time or ended);
//   "ERROR\n"   the request was refused or the connection closed before a result (too long,
//              NUL byte, idle too long, open too long, closed to make room).
// Limits (maxLineBytes_c, maxResponseBytes_c) keep one client from growing memory without
// bound; the owner applies the time limits through nextDeadlineMs() and checkDeadlines().
//
// Ownership: the owner (PAConnectionOwner) creates the connection for an accepted descriptor,
// which the connection then owns and closes. When the exchange is over the connection calls
// connectionFinished(), after which the owner deletes it.
// Thread: the thread whose dispatcher loop watches the connection (the owner's).
#ifndef PLATFORM_MDF_COMMANDCONNECTION_H
#define PLATFORM_MDF_COMMANDCONNECTION_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

#include "commandRequest.h"
#include "commonDispatcher.h"
#include "dbgLog.h"

namespace mdf {
namespace detail {

// Longest command line accepted, without its '\n'.
const size_t maxLineBytes_c = 4096;
// Longest response sent (status line excluded); a longer one is cut and says so.
const size_t maxResponseBytes_c = size_t{1024} * 1024;
// A connection that neither sends nor takes a byte for this long (waiting for a command's
// result aside) is closed.
const int idleTimeoutMs_c = 5000;
// Every connection is closed this long after it was accepted, whatever it is doing.
const int connectionDeadlineMs_c = 10000;

// Milliseconds of CLOCK_MONOTONIC.
int64_t monotonicMs();

class CommandConnection;

// What a connection needs from the socket that accepted it.
class PAConnectionOwner {
public:
    virtual ~PAConnectionOwner() {}
    // Starts one command line: the request returned has finished, or its result comes later
    // through `reply`, called on this loop's thread.
    virtual std::shared_ptr<CommandRequest> startCommand(const std::string& line,
                                                         const CommandRequest::Reply& reply) = 0;
    // The connection started or stopped waiting for a command's result (its next deadline
    // may have moved earlier).
    virtual void waitingChanged() = 0;
    // The exchange on connection_p is over; the owner deletes it (never from inside the
    // call chain of this connection's own callback: see CommandSocket).
    virtual void connectionFinished(CommandConnection* connection_p) = 0;
};

class CommandConnection : public cmn::ADispatcherClient {
public:
    // `serial` orders connections by their accept.
    CommandConnection(int fd, uint64_t serial, PAConnectionOwner& owner_r,
                      const cmn::DbgModuleDescriptor* log_p);
    // Stops watching the descriptor and closes it; a reply still to come finds nobody.
    ~CommandConnection() override;

    // Starts watching for the command line. False (logged) when the dispatcher refuses.
    bool start();
    uint64_t serial() const { return serial_m; }
    // True while a command started for it runs (or waits to run) on another thread.
    bool isWaiting() const { return state_m == waiting_c; }
    // CLOCK_MONOTONIC milliseconds of the next deadline: the end of the wait for the owner's
    // thread to take the command, the idle limit, or the limit from accept.
    int64_t nextDeadlineMs() const;
    // Acts on every deadline passed at nowMs: a command not taken by its owner's thread is
    // abandoned and answered as failed; an idle or too old connection is closed.
    void checkDeadlines(int64_t nowMs);
    // Closes a connection that is not waiting, to make room for a new one.
    void evict();
    // In a forked child: closes this process's copy of the descriptor, nothing else.
    void closeDescriptorInChild();

    int getPrimarySocket() override { return fd_m; }
    std::string getSocketName(int socketFd) const override;

private:
    enum State { reading_c, waiting_c, writing_c, finished_c };

    CommandConnection(const CommandConnection&) = delete;
    CommandConnection& operator=(const CommandConnection&) = delete;

    bool socketCallback(int socketFd) override;
    bool writeCallback(int socketFd) override;
    bool exceptionCallback(int socketFd) override;

    bool readInput();
    bool takeLine(std::string& line_r);
    void runLine(const std::string& line);
    void commandDone(bool result, const std::string& text);
    void answer(const char* status_p, const std::string& text);
    void giveUp(const char* why_p);
    void flushOutput();
    bool watch(FdEventType eventType, bool on);
    void finish();

    int fd_m;
    const uint64_t serial_m;
    PAConnectionOwner& owner_rm;
    const cmn::DbgModuleDescriptor* log_mp;
    State state_m;
    bool peerClosed_m;
    bool watchingRead_m;
    bool watchingWrite_m;
    std::string input_m;
    std::string output_m;
    size_t written_m;
    const int64_t acceptedMs_m;
    int64_t lastActivityMs_m;
    std::shared_ptr<CommandRequest> request_m;  // while waiting
    int64_t waitStartMs_m;
    bool ownerWaitOver_m;
    // Names this object to replies posted back from other threads; null once it is gone.
    std::shared_ptr<CommandConnection*> self_m;
};

}  // namespace detail
}  // namespace mdf

#endif  // PLATFORM_MDF_COMMANDCONNECTION_H
