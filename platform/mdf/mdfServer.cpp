// mdf::Server: the handler chain, running each command on its owner's thread, the operator
// socket, and what a forked child keeps of them.
//
// Locking: one recursive lock (the chain lock) guards the chain (the registrations and the
// successor links) and the handlers' command sets and counts, which other threads read when
// they look a word up or run "help" and "mdf-show-state". No command of a registered handler
// runs under it: a command runs on its owner's thread, the only thread that adds or removes
// that handler's commands or withdraws it, so nothing it reads can change under it. Nothing
// that waits (for another thread, or for the dispatcher's or the logger's lock) is called under
// it either, so a fork may take it (see the fork hooks) without deadlock. It is recursive because
// the server's own commands walk the chain under it from inside a handler call, and made so by
// hand (recursiveLock.h) so that a forked child can release it. The operator socket has a lock
// of its own, held while it opens or closes.
#include "mdfServer.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "commandLine.h"
#include "commandRequest.h"
#include "commandSocket.h"
#include "criticalSection.h"
#include "dbgLog.h"
#include "handlerChain.h"
#include "recursiveLock.h"

namespace cmn {
template <>
volatile mdf::Server* SingletonHolder<mdf::Server>::instance_spm = nullptr;
template <>
pthread_mutex_t SingletonHolder<mdf::Server>::mutex_sm = PTHREAD_MUTEX_INITIALIZER;
}  // namespace cmn

namespace mdf {

namespace {

typedef bool (Server::*ServerCommand)(int, char**, std::string&);
typedef cmn::Dispatcher::LoopId LoopId;
using detail::CommandRequest;
using detail::Route;

std::string unknownText(const std::string& verb) {
    return "unknown command \"" + verb + "\"; \"help\" lists the commands\n";
}

const char emptyText[] = "empty command line; \"help\" lists the commands\n";

}  // namespace

struct Server::Impl {
    explicit Impl(Server& server_r)
        : server_rm(server_r),
          mdfHandler_m("mdf::Server"),
          chain_m(mdfHandler_m),
          ownCommandsAdded_m(false),
          socket_mp(nullptr),
          listeningPath_m(),
          log_mp(
              cmn::SingletonHolder<cmn::DebugLogger>::getInstance().registerModule("mdf::Server")) {
    }
    ~Impl() {
        delete socket_mp;
        pthread_mutex_destroy(&socketMutex_m);
    }

    void addOwnCommands();
    bool findRoute(const std::string& verb, Route& route_r);
    std::shared_ptr<CommandRequest> start(const std::string& line, LoopId replyLoop,
                                          const CommandRequest::Reply& reply);
    void postToOwner(const Route& route, const std::shared_ptr<CommandRequest>& request);
    void runPosted(CommandRequest& request);
    void forgetInChild();
    static void lockBeforeFork();
    static void unlockInParent();
    static void resetInChild();

    // The instance the fork hooks act on.
    static std::atomic<Impl*> forkInstance_sm;

    // See the top of this file.
    detail::RecursiveLock chainLock_m;
    pthread_mutex_t socketMutex_m = PTHREAD_MUTEX_INITIALIZER;
    Server& server_rm;
    // Head of the chain, always; the registered handlers follow in registration order.
    ACommandHandler<Server, ServerCommand> mdfHandler_m;
    detail::HandlerChain chain_m;
    bool ownCommandsAdded_m;
    detail::CommandSocket* socket_mp;  // made once; socketMutex_m guards its use
    std::string listeningPath_m;       // chain lock: read by "mdf-show-state" on any thread
    const cmn::DbgModuleDescriptor* log_mp;
};

Server::ChainLock::ChainLock() : server_rm(cmn::SingletonHolder<Server>::getInstance()) {
    server_rm.impl_mp->chainLock_m.lock();
}

Server::ChainLock::~ChainLock() { server_rm.impl_mp->chainLock_m.unlock(); }

// ---------------------------------------------------------------------------------------------
// Fork: a child starts with no handlers and not listening, and leaves the parent's socket file
// and its dispatcher registrations alone. The chain lock is held across fork(), so the child's
// copy of the chain is whole.

std::atomic<Server::Impl*> Server::Impl::forkInstance_sm{nullptr};

namespace {

std::once_flag forkHooksOnce_g;
// What a child inherited: kept reachable, never used.
detail::CommandSocket* inheritedSocket_gp = nullptr;

}  // namespace

void Server::Impl::lockBeforeFork() {
    Impl* impl_p = forkInstance_sm.load();
    if (impl_p != nullptr) {
        impl_p->chainLock_m.lock();
    }
}

void Server::Impl::unlockInParent() {
    Impl* impl_p = forkInstance_sm.load();
    if (impl_p != nullptr) {
        impl_p->chainLock_m.unlock();
    }
}

void Server::Impl::resetInChild() {
    Impl* impl_p = forkInstance_sm.load();
    if (impl_p != nullptr) {
        impl_p->forgetInChild();
        impl_p->chainLock_m.unlock();
    }
}

// The handlers' objects belong to the parent's threads, which the child does not have. The
// socket's descriptors are closed (the parent's stay open: a connection ends for its client
// when the parent closes it, not when the last child does) but never taken out of the
// dispatcher, whose epoll sets the child shares, and its file is not removed.
void Server::Impl::forgetInChild() {
    chain_m.forget();
    // Another thread of the parent may have held it; the child has only this one.
    pthread_mutex_init(&socketMutex_m, nullptr);
    if (socket_mp != nullptr) {
        socket_mp->closeDescriptorsInChild();
        inheritedSocket_gp = socket_mp;
        socket_mp = nullptr;
    }
    listeningPath_m.clear();
}

// ---------------------------------------------------------------------------------------------
// Construction and the server's own commands.

Server::Server() : impl_mp(new Impl(*this)) {
    Impl::forkInstance_sm.store(impl_mp);
    std::call_once(forkHooksOnce_g, [this] {
        if (pthread_atfork(Impl::lockBeforeFork, Impl::unlockInParent, Impl::resetInChild) != 0) {
            impl_mp->log_mp->dbgLog_err(__FILE__, __LINE__, "%s",
                                        "pthread_atfork failed: a forked child keeps the "
                                        "parent's handlers");
        }
    });
}

Server::~Server() {
    stopListening();
    Impl::forkInstance_sm.store(nullptr);
    delete impl_mp;
}

std::string Server::defaultSocketPath(long pid) {
    return "/tmp/mdf-server." + std::to_string(pid) + ".socket";
}

// Adding a command asks cmn::SingletonHolder<Server>::getInstance(), which cannot be reached
// while the server's constructor runs under the singleton's creation lock; so the server's own
// words go in at its first use instead. Called with the chain lock held.
void Server::Impl::addOwnCommands() {
    if (ownCommandsAdded_m) {
        return;
    }
    // Set first: addCommand() comes back here through commandExists().
    ownCommandsAdded_m = true;
    mdfHandler_m.addCommand("help", "lists the commands of every handler", &Server::helpCommand,
                            server_rm);
    mdfHandler_m.addCommand("mdf-show-state", "shows each handler's state and the operator socket",
                            &Server::showStateCommand, server_rm);
}

bool Server::helpCommand(int /*argc*/, char** /*argv*/, std::string& out_r) {
    detail::RecursiveLock::Hold hold(impl_mp->chainLock_m);
    impl_mp->mdfHandler_m.showHelp(out_r, true);
    return true;
}

bool Server::showStateCommand(int /*argc*/, char** /*argv*/, std::string& out_r) {
    detail::RecursiveLock::Hold hold(impl_mp->chainLock_m);
    impl_mp->mdfHandler_m.showState(out_r, true);
    if (impl_mp->listeningPath_m.empty()) {
        out_r += "Listening on: -\n";
        return true;
    }
    const detail::CommandSocket& socket_r = *impl_mp->socket_mp;
    out_r += "Listening on: " + impl_mp->listeningPath_m +
             "; connections: " + std::to_string(socket_r.openConnections()) + " of " +
             std::to_string(detail::maxConnections_c) + ", " +
             std::to_string(socket_r.waitingConnections()) + " waiting for a command\n";
    return true;
}

// ---------------------------------------------------------------------------------------------
// The chain.

bool Server::registerNewHandler(PACommandHandler* handler_p) {
    if (handler_p == nullptr) {
        impl_mp->log_mp->dbgLog_err(__FILE__, __LINE__, "%s", "registerNewHandler(NULL) refused");
        return false;
    }
    // Outside the chain lock: the dispatcher takes a lock of its own.
    LoopId ownerLoop = cmn::SingletonHolder<cmn::Dispatcher>::getInstance().currentLoop();
    bool added = false;
    {
        detail::RecursiveLock::Hold hold(impl_mp->chainLock_m);
        impl_mp->addOwnCommands();
        added = impl_mp->chain_m.add(handler_p, ownerLoop);
    }
    if (!added) {
        impl_mp->log_mp->dbgLog_err(__FILE__, __LINE__, "registerNewHandler(%s): already there",
                                    handler_p->getHandlerName().c_str());
    }
    return added;
}

bool Server::deregisterHandler(PACommandHandler* handler_p) {
    if (handler_p == nullptr) {
        impl_mp->log_mp->dbgLog_err(__FILE__, __LINE__, "%s", "deregisterHandler(NULL) refused");
        return false;
    }
    bool removed = false;
    {
        detail::RecursiveLock::Hold hold(impl_mp->chainLock_m);
        removed = impl_mp->chain_m.remove(handler_p);
    }
    if (!removed) {
        impl_mp->log_mp->dbgLog_err(__FILE__, __LINE__, "deregisterHandler(%s): not registered",
                                    handler_p->getHandlerName().c_str());
    }
    return removed;
}

bool Server::commandExists(const std::string& verb) const {
    Route route;
    return impl_mp->findRoute(verb, route);
}

// The first handler of the chain that knows the word, as the chain itself would pass it on.
bool Server::Impl::findRoute(const std::string& verb, Route& route_r) {
    detail::RecursiveLock::Hold hold(chainLock_m);
    addOwnCommands();
    return chain_m.findRoute(verb, route_r);
}

// ---------------------------------------------------------------------------------------------
// Running commands.

bool Server::executeCommand(const std::string& commandLine, std::string& out_r) {
    std::shared_ptr<CommandRequest> request =
        impl_mp->start(commandLine, 0, CommandRequest::Reply());
    if (!request->waitFor(detail::ownerWaitMs_c)) {
        if (request->abandon()) {
            impl_mp->log_mp->dbgLog_err(__FILE__, __LINE__,
                                        "\"%s\" not run: its owner's loop did not take it in %d ms",
                                        request->verb().c_str(), detail::ownerWaitMs_c);
            out_r += CommandRequest::notServedText(request->verb());
            return false;
        }
        // It has begun on the owner's thread, which is serving its loop: it will finish.
        request->wait();
    }
    out_r += request->text();
    return request->result();
}

// Runs the line at once when nothing needs another thread (an empty line, an unknown word, a
// server command, a handler of the calling thread's own): the request returned has finished.
// Otherwise the request is handed to the owner's loop and returned pending.
std::shared_ptr<CommandRequest> Server::Impl::start(const std::string& line, LoopId replyLoop,
                                                    const CommandRequest::Reply& reply) {
    detail::CommandLine words(line);
    if (words.argc() == 0) {
        return CommandRequest::finished(false, emptyText);
    }
    std::string verb = words.verb();
    Route route;
    if (!findRoute(verb, route)) {
        log_mp->dbgLog_debug(__FILE__, __LINE__, "unknown command %s", verb.c_str());
        return CommandRequest::finished(false, unknownText(verb));
    }
    if (route.runsHere()) {
        std::string out;
        bool result = route.handler_p->handleCommand(verb, words.argc(), words.argv(), out);
        return CommandRequest::finished(result, out);
    }
    std::shared_ptr<CommandRequest> request =
        std::make_shared<CommandRequest>(line, verb, route.serial, replyLoop, reply);
    postToOwner(route, request);
    return request;
}

// The task holds the only DropIfUnrun: when the dispatcher refuses the task, or destroys it
// queued because the owner's thread ended, the request finishes at once with false.
void Server::Impl::postToOwner(const Route& route, const std::shared_ptr<CommandRequest>& request) {
    Impl* impl_p = this;
    cmn::SingletonHolder<cmn::Dispatcher>::getInstance().post(
        route.ownerLoop,
        [impl_p, request, guard = std::make_shared<detail::DropIfUnrun>(request)]() {
            impl_p->runPosted(*request);
        });
}

// On the owner's thread. The registration is looked up again: the owner may have withdrawn the
// handler, or the word, since the request was made; it cannot do so while the command runs,
// because this is its thread.
void Server::Impl::runPosted(CommandRequest& request) {
    if (!request.begin()) {
        return;
    }
    PACommandHandler* handler_p = nullptr;
    {
        detail::RecursiveLock::Hold hold(chainLock_m);
        handler_p = chain_m.stillOffering(request.registration(), request.verb());
    }
    if (handler_p == nullptr) {
        request.finish(false,
                       CommandRequest::notRunText(request.verb(), "its handler withdrew it"));
        return;
    }
    detail::CommandLine words(request.line());
    std::string out;
    bool result = handler_p->handleCommand(request.verb(), words.argc(), words.argv(), out);
    request.finish(result, out);
}

// ---------------------------------------------------------------------------------------------
// The operator socket.

bool Server::startListening(const std::string& socketPath) {
    {
        detail::RecursiveLock::Hold hold(impl_mp->chainLock_m);
        impl_mp->addOwnCommands();
    }
    std::string path = socketPath.empty() ? defaultSocketPath(getpid()) : socketPath;
    cmn::PThreadMutex socketLock(impl_mp->socketMutex_m);
    if (impl_mp->socket_mp == nullptr) {
        Impl* impl_p = impl_mp;
        impl_mp->socket_mp = new detail::CommandSocket(
            [impl_p](const std::string& line, const CommandRequest::Reply& reply) {
                LoopId replyLoop =
                    cmn::SingletonHolder<cmn::Dispatcher>::getInstance().currentLoop();
                return impl_p->start(line, replyLoop, reply);
            },
            impl_mp->log_mp);
    }
    if (!impl_mp->socket_mp->open(path)) {
        return false;
    }
    detail::RecursiveLock::Hold hold(impl_mp->chainLock_m);
    impl_mp->listeningPath_m = path;
    return true;
}

void Server::stopListening() {
    cmn::PThreadMutex socketLock(impl_mp->socketMutex_m);
    if (impl_mp->socket_mp == nullptr) {
        return;
    }
    impl_mp->socket_mp->close();
    detail::RecursiveLock::Hold hold(impl_mp->chainLock_m);
    impl_mp->listeningPath_m.clear();
}

std::string Server::getListeningPath() const {
    detail::RecursiveLock::Hold hold(impl_mp->chainLock_m);
    return impl_mp->listeningPath_m;
}

}  // namespace mdf
