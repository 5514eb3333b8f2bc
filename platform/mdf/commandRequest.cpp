// A command line handed to its owner's thread: the state that decides whether it runs, and the
// hand-back of its result.
#include "commandRequest.h"

#include <chrono>

namespace mdf {
namespace detail {

CommandRequest::CommandRequest(const std::string& line, const std::string& verb,
                               uint64_t registration, cmn::Dispatcher::LoopId replyLoop,
                               const Reply& reply)
    : line_m(line),
      verb_m(verb),
      registration_m(registration),
      replyLoop_m(replyLoop),
      reply_m(reply),
      state_m(pending_c),
      finished_m(false),
      result_m(false),
      text_m() {}

std::shared_ptr<CommandRequest> CommandRequest::finished(bool result, const std::string& text) {
    std::shared_ptr<CommandRequest> request =
        std::make_shared<CommandRequest>(std::string(), std::string(), 0, 0, Reply());
    request->state_m.store(finished_c);
    request->deliver(result, text);
    return request;
}

std::string CommandRequest::notRunText(const std::string& verb, const std::string& why) {
    return "\"" + verb + "\" did not run: " + why + "\n";
}

std::string CommandRequest::notServedText(const std::string& verb) {
    return notRunText(verb, "the thread that owns it did not serve its loop within " +
                                std::to_string(ownerWaitMs_c) + " ms");
}

bool CommandRequest::move(State from, State to) {
    int expected = from;
    return state_m.compare_exchange_strong(expected, to);
}

bool CommandRequest::begin() { return move(pending_c, running_c); }

void CommandRequest::finish(bool result, const std::string& text) {
    state_m.store(finished_c);
    deliver(result, text);
}

void CommandRequest::drop(const std::string& why) {
    if (move(pending_c, finished_c)) {
        deliver(false, notRunText(verb_m, why));
    }
}

bool CommandRequest::abandon() { return move(pending_c, abandoned_c); }

// The waiter is woken before the reply is posted; a request has one or the other.
void CommandRequest::deliver(bool result, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_m);
        finished_m = true;
        result_m = result;
        text_m = text;
    }
    done_m.notify_all();
    if (!reply_m) {
        return;
    }
    Reply reply = reply_m;
    // False when the requesting loop's thread has ended: nobody is left to answer.
    cmn::SingletonHolder<cmn::Dispatcher>::getInstance().post(
        replyLoop_m, [reply, result, text]() { reply(result, text); });
}

bool CommandRequest::waitFor(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_m);
    return done_m.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return finished_m; });
}

void CommandRequest::wait() {
    std::unique_lock<std::mutex> lock(mutex_m);
    done_m.wait(lock, [this] { return finished_m; });
}

bool CommandRequest::isFinished() {
    std::lock_guard<std::mutex> lock(mutex_m);
    return finished_m;
}

bool CommandRequest::result() {
    std::lock_guard<std::mutex> lock(mutex_m);
    return result_m;
}

std::string CommandRequest::text() {
    std::lock_guard<std::mutex> lock(mutex_m);
    return text_m;
}

DropIfUnrun::~DropIfUnrun() { request_m->drop("the thread that owns it has ended"); }

}  // namespace detail
}  // namespace mdf
