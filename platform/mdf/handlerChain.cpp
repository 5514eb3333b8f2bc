// The command server's chain of handlers with their owners.
#include "handlerChain.h"

#include <algorithm>

namespace mdf {
namespace detail {

std::vector<HandlerChain::Registration>::iterator HandlerChain::find(
    const PACommandHandler* handler_p) {
    return std::find_if(registrations_m.begin(), registrations_m.end(),
                        [handler_p](const Registration& registration) {
                            return registration.handler_p == handler_p;
                        });
}

bool HandlerChain::add(PACommandHandler* handler_p, cmn::Dispatcher::LoopId ownerLoop) {
    if (handler_p == &head_rm || find(handler_p) != registrations_m.end()) {
        return false;
    }
    // The chain owns the links: a stale successor left in the handler must not survive.
    handler_p->setSuccessor(nullptr);
    predecessor(registrations_m.size())->setSuccessor(handler_p);
    registrations_m.push_back(
        Registration{handler_p, ++lastSerial_m, std::this_thread::get_id(), ownerLoop});
    return true;
}

bool HandlerChain::remove(PACommandHandler* handler_p) {
    std::vector<Registration>::iterator it = find(handler_p);
    if (it == registrations_m.end()) {
        return false;
    }
    predecessor(static_cast<size_t>(it - registrations_m.begin()))
        ->setSuccessor(handler_p->getSuccessor());
    handler_p->setSuccessor(nullptr);
    registrations_m.erase(it);
    return true;
}

bool HandlerChain::findRoute(const std::string& verb, Route& route_r) const {
    if (head_rm.canHandleCommand(verb)) {
        route_r.handler_p = &head_rm;
        return true;
    }
    for (const Registration& registration : registrations_m) {
        if (registration.handler_p->canHandleCommand(verb)) {
            route_r.handler_p = registration.handler_p;
            route_r.serial = registration.serial;
            route_r.ownerThread = registration.ownerThread;
            route_r.ownerLoop = registration.ownerLoop;
            return true;
        }
    }
    return false;
}

PACommandHandler* HandlerChain::stillOffering(uint64_t serial, const std::string& verb) const {
    for (const Registration& registration : registrations_m) {
        if (registration.serial == serial) {
            return registration.handler_p->canHandleCommand(verb) ? registration.handler_p
                                                                  : nullptr;
        }
    }
    return nullptr;
}

void HandlerChain::forget() {
    head_rm.setSuccessor(nullptr);
    registrations_m.clear();
}

}  // namespace detail
}  // namespace mdf
