// mdf::detail::HandlerChain: the command server's handlers and the threads that own them.
//
// The server's own handler heads the chain; registered handlers follow in registration order,
// linked with setSuccessor() so that the chain of responsibility holds as the handlers expect.
// Each registration records the registering thread (the owner, which runs the handler's
// commands) and its dispatcher loop, and a serial number that is never reused, so a request
// made for one registration cannot reach a later handler at the same address.
//
// Ownership: the chain never owns a handler. Thread: the caller holds the server's chain lock
// around every call.
#ifndef PLATFORM_MDF_HANDLERCHAIN_H
#define PLATFORM_MDF_HANDLERCHAIN_H

#include <stdint.h>

#include <string>
#include <thread>
#include <vector>

#include "commonDispatcher.h"
#include "mdfServer.h"

namespace mdf {
namespace detail {

// Where a command word goes: the head (serial 0, run by the caller) or a registration.
struct Route {
    PACommandHandler* handler_p = nullptr;
    uint64_t serial = 0;
    std::thread::id ownerThread;
    cmn::Dispatcher::LoopId ownerLoop = 0;

    // True when the calling thread runs the command itself. The loop is compared too: a thread
    // id can be reused once its thread has ended, a loop id cannot.
    bool runsHere() const {
        return serial == 0 ||
               (ownerThread == std::this_thread::get_id() &&
                ownerLoop == cmn::SingletonHolder<cmn::Dispatcher>::getInstance().currentLoop());
    }
};

class HandlerChain {
public:
    explicit HandlerChain(PACommandHandler& head_r) : head_rm(head_r) {}

    // Appends handler_p, owned by the calling thread and its loop ownerLoop. False when it is
    // the head or already registered.
    bool add(PACommandHandler* handler_p, cmn::Dispatcher::LoopId ownerLoop);
    // Withdraws handler_p and links its predecessor to its successor. False when it is not
    // registered.
    bool remove(PACommandHandler* handler_p);
    // The first handler of the chain that knows `verb`, in any case. False when none does.
    bool findRoute(const std::string& verb, Route& route_r) const;
    // The handler of registration `serial` if it is still registered and still knows `verb`;
    // null otherwise.
    PACommandHandler* stillOffering(uint64_t serial, const std::string& verb) const;
    // Forgets every registration and unlinks the head, touching no handler (a forked child's
    // handlers belong to threads it does not have).
    void forget();

private:
    struct Registration {
        PACommandHandler* handler_p;
        uint64_t serial;
        std::thread::id ownerThread;
        cmn::Dispatcher::LoopId ownerLoop;
    };

    HandlerChain(const HandlerChain&) = delete;
    HandlerChain& operator=(const HandlerChain&) = delete;

    std::vector<Registration>::iterator find(const PACommandHandler* handler_p);
    PACommandHandler* predecessor(size_t index) {
        return index == 0 ? &head_rm : registrations_m[index - 1].handler_p;
    }

    PACommandHandler& head_rm;
    std::vector<Registration> registrations_m;
    uint64_t lastSerial_m = 0;
};

}  // namespace detail
}  // namespace mdf

#endif  // PLATFORM_MDF_HANDLERCHAIN_H
