// mdf::detail::CommandRequest: one command line handed to the thread that owns its handler.
//
// The caller makes the request, posts a task that runs it to the owner's dispatcher loop, and
// then either waits for it (executeCommand) or has the result posted back to its own loop as a
// reply (the operator socket). Whether the command runs is decided once, by an atomic
// compare-exchange on the request's state:
//
//   pending --begin()----> running --finish()--> finished
//   pending --abandon()--> abandoned   (the caller gave up: the command never runs)
//   pending --drop()-----> finished    (the task was destroyed unrun: its thread ended)
//
// so a request the caller gave up on is never run later, and one that has begun always
// finishes. The result and the text reach the caller exactly once: a waiter is woken, and a
// reply (when set) is posted to the loop that made the request.
//
// Ownership: shared (std::shared_ptr) by the caller and the posted task; the last one frees it.
// Thread: begin() and finish() on the owner's thread; abandon() and the waits on the caller's;
// drop() on whichever thread destroys the task. Every call is safe against the others.
#ifndef PLATFORM_MDF_COMMANDREQUEST_H
#define PLATFORM_MDF_COMMANDREQUEST_H

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "commonDispatcher.h"

namespace mdf {
namespace detail {

// How long a caller waits for the owner's loop to begin its command, in milliseconds.
const int ownerWaitMs_c = 3000;

class CommandRequest {
public:
    // Receives the command's result and text on the loop that made the request.
    typedef std::function<void(bool result, const std::string& text)> Reply;

    // A request for `line`, whose command word is `verb`, to run in the handler registration
    // numbered `registration`. replyLoop and reply are for a caller that does not wait; a reply
    // is posted to replyLoop when the request finishes (an empty reply: none).
    CommandRequest(const std::string& line, const std::string& verb, uint64_t registration,
                   cmn::Dispatcher::LoopId replyLoop, const Reply& reply);

    // A request that has already finished with `result` and `text` (a command run at once).
    static std::shared_ptr<CommandRequest> finished(bool result, const std::string& text);

    const std::string& line() const { return line_m; }
    const std::string& verb() const { return verb_m; }
    uint64_t registration() const { return registration_m; }

    // Owner's thread: true when the command is to run now (pending -> running); false when the
    // caller gave up or the request was dropped.
    bool begin();
    // Owner's thread, after begin(): the command's result and the text it appended.
    void finish(bool result, const std::string& text);
    // The task carrying the request was destroyed unrun: finishes a pending request with false
    // and `why`. Nothing when it has begun or was abandoned.
    void drop(const std::string& why);
    // Caller: gives up on a pending request. True when the command will never run; false when
    // it has begun (it then finishes) or has finished.
    bool abandon();

    // Caller: waits up to timeoutMs for the request to finish; true when it has.
    bool waitFor(int timeoutMs);
    // Caller: waits for a request that has begun to finish.
    void wait();
    bool isFinished();
    // After the request finished: its result and text.
    bool result();
    std::string text();

    // The one-line explanation of a command that did not run, and the one for a caller that
    // gave up after ownerWaitMs_c.
    static std::string notRunText(const std::string& verb, const std::string& why);
    static std::string notServedText(const std::string& verb);

private:
    enum State { pending_c, running_c, finished_c, abandoned_c };

    CommandRequest(const CommandRequest&) = delete;
    CommandRequest& operator=(const CommandRequest&) = delete;

    bool move(State from, State to);
    void deliver(bool result, const std::string& text);

    const std::string line_m;
    const std::string verb_m;
    const uint64_t registration_m;
    const cmn::Dispatcher::LoopId replyLoop_m;
    const Reply reply_m;
    std::atomic<int> state_m;
    std::mutex mutex_m;
    std::condition_variable done_m;
    bool finished_m;  // guarded by mutex_m, with the two below
    bool result_m;
    std::string text_m;
};

// Destroying the last copy of a posted task drops its request if it never ran (the loop's
// thread ended with the task still queued, or post() refused it).
class DropIfUnrun {
public:
    explicit DropIfUnrun(const std::shared_ptr<CommandRequest>& request) : request_m(request) {}
    ~DropIfUnrun();

private:
    DropIfUnrun(const DropIfUnrun&) = delete;
    DropIfUnrun& operator=(const DropIfUnrun&) = delete;

    std::shared_ptr<CommandRequest> request_m;
};

}  // namespace detail
}  // namespace mdf

#endif  // PLATFORM_MDF_COMMANDREQUEST_H
