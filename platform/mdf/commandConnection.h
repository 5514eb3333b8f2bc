// mdf::detail::CommandConnection: one operator connection of the command server's socket.
//
// Protocol: the client sends one command line ended by '\n' (or by shutting down its write
// side); a '\r' before the '\n' is dropped. The connection stops reading, has its owner run the
// line, and sends back a status line, then the response text, then closes:
//   "OK\n"      the command ran and returned true;
//   "FAILED\n"  the command returned false (or the word was unknown, or the line was empty);
//   "ERROR\n"   the request was refused before it ran (too long, NUL byte, idle too long).
// Limits (maxLineBytes_c, maxResponseBytes_c) keep one client from growing memory without
// bound; the owner applies the idle limit through lastActivityMs() and expire().
//
// Ownership: the owner (PAConnectionOwner) creates the connection for an accepted descriptor,
// which the connection then owns and closes. When the exchange is over the connection calls
// connectionFinished(), after which the owner deletes it.
// Thread: the thread whose dispatcher loop watches the connection (the owner's).
#ifndef PLATFORM_MDF_COMMANDCONNECTION_H
#define PLATFORM_MDF_COMMANDCONNECTION_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "commonDispatcher.h"
#include "dbgLog.h"

namespace mdf {
namespace detail {

// Longest command line accepted, without its '\n'.
const size_t maxLineBytes_c = 4096;
// Longest response sent (status line excluded); a longer one is cut and says so.
const size_t maxResponseBytes_c = size_t{1024} * 1024;

// Milliseconds of CLOCK_MONOTONIC.
int64_t monotonicMs();

class CommandConnection;

// What a connection needs from the socket that accepted it.
class PAConnectionOwner {
public:
    virtual ~PAConnectionOwner() {}
    // Runs one command line, appending its response to out_r; returns the command's result.
    virtual bool runCommandLine(const std::string& line, std::string& out_r) = 0;
    // The exchange on connection_p is over; the owner deletes it (never from inside the
    // call chain of this connection's own callback: see CommandSocket).
    virtual void connectionFinished(CommandConnection* connection_p) = 0;
};

class CommandConnection : public cmn::ADispatcherClient {
public:
    CommandConnection(int fd, PAConnectionOwner& owner_r, const cmn::DbgModuleDescriptor* log_p);
    // Stops watching the descriptor and closes it.
    ~CommandConnection() override;

    // Starts watching for the command line. False (logged) when the dispatcher refuses.
    bool start();
    // CLOCK_MONOTONIC milliseconds of the last byte read or written.
    int64_t lastActivityMs() const { return lastActivityMs_m; }
    // Gives up on a client that stayed silent (or stopped reading) too long: sends an error
    // if the client is still waiting for its line to be read, then finishes.
    void expire();

    int getPrimarySocket() override { return fd_m; }
    std::string getSocketName(int socketFd) const override;

private:
    enum State { reading_c, writing_c, finished_c };

    CommandConnection(const CommandConnection&) = delete;
    CommandConnection& operator=(const CommandConnection&) = delete;

    bool socketCallback(int socketFd) override;
    bool writeCallback(int socketFd) override;
    bool exceptionCallback(int socketFd) override;

    bool readInput();
    bool takeLine(std::string& line_r);
    void runLine(const std::string& line);
    void answer(const char* status_p, const std::string& text);
    void flushOutput();
    bool watch(FdEventType eventType, bool on);
    void finish();

    int fd_m;
    PAConnectionOwner& owner_rm;
    const cmn::DbgModuleDescriptor* log_mp;
    State state_m;
    bool peerClosed_m;
    bool watchingRead_m;
    bool watchingWrite_m;
    std::string input_m;
    std::string output_m;
    size_t written_m;
    int64_t lastActivityMs_m;
};

}  // namespace detail
}  // namespace mdf

#endif  // PLATFORM_MDF_COMMANDCONNECTION_H
