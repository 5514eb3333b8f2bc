// mdf::Server: the handler chain, in-process command execution and the operator socket.
//
// Locking: one recursive mutex guards the chain (the registered handlers and their successor
// links) and the socket object. executeCommand() holds it while the command runs, so another
// thread cannot withdraw (and then destroy) a handler that the command's walk along the chain
// is passing through. It is recursive because commands call back into the server on the same
// thread: "tmgr-debug-enable" adds commands, and ACommandHandler::addCommand asks
// commandExists(). The price: commands from different threads run one at a time, and a
// command must not wait for another thread that is itself calling the server.
#include "mdfServer.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "commandLine.h"
#include "commandSocket.h"
#include "criticalSection.h"
#include "dbgLog.h"

namespace cmn {
template <>
volatile mdf::Server* SingletonHolder<mdf::Server>::instance_spm = nullptr;
template <>
pthread_mutex_t SingletonHolder<mdf::Server>::mutex_sm = PTHREAD_MUTEX_INITIALIZER;
}  // namespace cmn

namespace mdf {

namespace {

typedef bool (Server::*ServerCommand)(int, char**, std::string&);

}  // namespace

struct Server::Impl {
    Impl()
        : mdfHandler_m("mdf::Server"),
          handlers_m(),
          ownCommandsAdded_m(false),
          socket_mp(nullptr),
          log_mp(
              cmn::SingletonHolder<cmn::DebugLogger>::getInstance().registerModule("mdf::Server")) {
    }
    ~Impl() {
        delete socket_mp;
        pthread_mutex_destroy(&chainMutex_m);
    }

    // Adding a command asks cmn::SingletonHolder<Server>::getInstance(), which cannot be
    // reached while the server's constructor runs under the singleton's creation lock; so the
    // server's own words go in at its first use instead. Called with chainMutex_m held.
    void addOwnCommands(Server& server_r) {
        if (ownCommandsAdded_m) {
            return;
        }
        // Set first: addCommand() comes back here through commandExists().
        ownCommandsAdded_m = true;
        mdfHandler_m.addCommand("help", "lists the commands of every handler", &Server::helpCommand,
                                server_r);
        mdfHandler_m.addCommand("mdf-show-state",
                                "shows each handler's state and the operator socket",
                                &Server::showStateCommand, server_r);
    }

    // The handler before `index` in the chain: the server's own for the first one.
    PACommandHandler* predecessor(size_t index) {
        return index == 0 ? &mdfHandler_m : handlers_m[index - 1];
    }

    // Recursive: see the top of this file. A static initialiser cannot fail.
    pthread_mutex_t chainMutex_m = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    // Head of the chain, always; the registered handlers follow in registration order.
    ACommandHandler<Server, ServerCommand> mdfHandler_m;
    std::vector<PACommandHandler*> handlers_m;
    bool ownCommandsAdded_m;
    detail::CommandSocket* socket_mp;
    const cmn::DbgModuleDescriptor* log_mp;
};

Server::Server() : impl_mp(new Impl()) {}

Server::~Server() {
    stopListening();
    delete impl_mp;
}

std::string Server::defaultSocketPath(long pid) {
    return "/tmp/mdf-server." + std::to_string(pid) + ".socket";
}

// ---------------------------------------------------------------------------------------------
// The server's own commands.

bool Server::helpCommand(int /*argc*/, char** /*argv*/, std::string& out_r) {
    impl_mp->mdfHandler_m.showHelp(out_r, true);
    return true;
}

bool Server::showStateCommand(int /*argc*/, char** /*argv*/, std::string& out_r) {
    impl_mp->mdfHandler_m.showState(out_r, true);
    std::string path = getListeningPath();
    out_r += "Listening on: " + (path.empty() ? std::string("-") : path) + "\n";
    return true;
}

// ---------------------------------------------------------------------------------------------
// The chain.

bool Server::registerNewHandler(PACommandHandler* handler_p) {
    if (handler_p == nullptr) {
        impl_mp->log_mp->dbgLog_err(__FILE__, __LINE__, "%s", "registerNewHandler(NULL) refused");
        return false;
    }
    cmn::PThreadMutex lock(impl_mp->chainMutex_m);
    impl_mp->addOwnCommands(*this);
    std::vector<PACommandHandler*>& handlers_r = impl_mp->handlers_m;
    if (handler_p == &impl_mp->mdfHandler_m ||
        std::find(handlers_r.begin(), handlers_r.end(), handler_p) != handlers_r.end()) {
        impl_mp->log_mp->dbgLog_err(__FILE__, __LINE__, "registerNewHandler(%s): already there",
                                    handler_p->getHandlerName().c_str());
        return false;
    }
    // The server owns the links: a stale successor left in the handler must not survive.
    handler_p->setSuccessor(nullptr);
    impl_mp->predecessor(handlers_r.size())->setSuccessor(handler_p);
    handlers_r.push_back(handler_p);
    impl_mp->log_mp->dbgLog_debug(__FILE__, __LINE__, "registered handler %s",
                                  handler_p->getHandlerName().c_str());
    return true;
}

bool Server::deregisterHandler(PACommandHandler* handler_p) {
    if (handler_p == nullptr) {
        impl_mp->log_mp->dbgLog_err(__FILE__, __LINE__, "%s", "deregisterHandler(NULL) refused");
        return false;
    }
    cmn::PThreadMutex lock(impl_mp->chainMutex_m);
    std::vector<PACommandHandler*>& handlers_r = impl_mp->handlers_m;
    std::vector<PACommandHandler*>::iterator it =
        std::find(handlers_r.begin(), handlers_r.end(), handler_p);
    if (it == handlers_r.end()) {
        impl_mp->log_mp->dbgLog_err(__FILE__, __LINE__, "deregisterHandler(%s): not registered",
                                    handler_p->getHandlerName().c_str());
        return false;
    }
    impl_mp->predecessor(static_cast<size_t>(it - handlers_r.begin()))
        ->setSuccessor(handler_p->getSuccessor());
    handler_p->setSuccessor(nullptr);
    handlers_r.erase(it);
    impl_mp->log_mp->dbgLog_debug(__FILE__, __LINE__, "withdrew handler %s",
                                  handler_p->getHandlerName().c_str());
    return true;
}

pthread_mutex_t& Server::chainMutex() { return impl_mp->chainMutex_m; }

bool Server::commandExists(const std::string& verb) const {
    cmn::PThreadMutex lock(impl_mp->chainMutex_m);
    impl_mp->addOwnCommands(const_cast<Server&>(*this));
    if (impl_mp->mdfHandler_m.canHandleCommand(verb)) {
        return true;
    }
    for (PACommandHandler* handler_p : impl_mp->handlers_m) {
        if (handler_p->canHandleCommand(verb)) {
            return true;
        }
    }
    return false;
}

bool Server::executeCommand(const std::string& commandLine, std::string& out_r) {
    detail::CommandLine words(commandLine);
    cmn::PThreadMutex lock(impl_mp->chainMutex_m);
    impl_mp->addOwnCommands(*this);
    if (words.argc() == 0) {
        out_r += "empty command line; \"help\" lists the commands\n";
        return false;
    }
    std::string verb = words.verb();
    if (!commandExists(verb)) {
        impl_mp->log_mp->dbgLog_debug(__FILE__, __LINE__, "unknown command %s", verb.c_str());
        out_r += "unknown command \"" + verb + "\"; \"help\" lists the commands\n";
        return false;
    }
    return impl_mp->mdfHandler_m.handleCommand(verb, words.argc(), words.argv(), out_r);
}

// ---------------------------------------------------------------------------------------------
// The operator socket.

bool Server::startListening(const std::string& socketPath) {
    cmn::PThreadMutex lock(impl_mp->chainMutex_m);
    impl_mp->addOwnCommands(*this);
    if (impl_mp->socket_mp == nullptr) {
        impl_mp->socket_mp = new detail::CommandSocket(
            [this](const std::string& line, std::string& out_r) {
                return executeCommand(line, out_r);
            },
            impl_mp->log_mp);
    }
    return impl_mp->socket_mp->open(socketPath.empty() ? defaultSocketPath(getpid()) : socketPath);
}

void Server::stopListening() {
    cmn::PThreadMutex lock(impl_mp->chainMutex_m);
    if (impl_mp->socket_mp != nullptr) {
        impl_mp->socket_mp->close();
    }
}

std::string Server::getListeningPath() const {
    cmn::PThreadMutex lock(impl_mp->chainMutex_m);
    return impl_mp->socket_mp == nullptr ? std::string() : impl_mp->socket_mp->getPath();
}

}  // namespace mdf
