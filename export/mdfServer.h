// The diagnostic command server and its command handlers.
//
// mdf::Server (one per process, reached through cmn::SingletonHolder<mdf::Server>) keeps a chain
// of command handlers and runs command lines through it: in-process with executeCommand(), or
// for operators over an AF_UNIX stream socket (startListening) served by the dispatcher loop of
// the thread that started it. A handler (mdf::PACommandHandler) runs the words it knows and
// passes the others to its successor. mdf::ACommandHandler<T, F> binds lower-case command words
// to member functions of one target object through mdf::CommandSet and mdf::CommandDescriptor.
//
// Ownership: the server never owns handlers; their owners register them before use and
// deregister them before destroying them. A handler owns its descriptors; a descriptor never
// owns its target object.
// Thread: a handler belongs to the thread that registers it (its owner), which owns its target,
// adds and removes its commands and withdraws it. The server runs each handler's commands on
// the owner's thread: directly when the caller is that thread, otherwise through the owner's
// dispatcher loop, which must be served for the command to run. The server's own commands
// ("help", "mdf-show-state") run on the calling thread. Every Server call may come from any
// thread. Changing a handler's commands and counting an accepted command hold the server's
// chain lock, under which other threads read them.
#ifndef EXPORT_MDFSERVER_H
#define EXPORT_MDFSERVER_H

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>

#include "singletonHolder.h"

namespace mdf {

// The abstract handler the server knows: a name, a count of accepted commands and a link to
// the next handler of the chain (not owned).
class PACommandHandler {
public:
    // A handler named handlerName, with no accepted command and no successor.
    explicit PACommandHandler(const std::string& handlerName)
        : handlerName_m(handlerName), commandCount_m(0), successor_mp(nullptr) {}
    virtual ~PACommandHandler() {}

    // Runs the command `verb_r` (argv[0]; arguments from argv[1]) or passes it to the
    // successor. Appends the response to out_r and returns the command's result; false when no
    // handler of the chain knows the word.
    virtual bool handleCommand(const std::string& verb_r, int argc, char** argv,
                               std::string& out_r) = 0;
    // True when this handler (not its successors) knows `verb_r`, in any case.
    virtual bool canHandleCommand(const std::string& verb_r) const = 0;
    // Appends this handler's help block, and the successors' when showSuccessor is set.
    virtual void showHelp(std::string& out_r, bool showSuccessor) const = 0;
    // Appends this handler's state line and those of all its successors.
    virtual void showState(std::string& out_r, bool detail) const = 0;

    // The name given at construction.
    const std::string& getHandlerName() const { return handlerName_m; }
    // Links the next handler of the chain (null: none); the server sets the links.
    void setSuccessor(PACommandHandler* successor_p) { successor_mp = successor_p; }
    // The next handler of the chain, or null.
    PACommandHandler* getSuccessor() { return successor_mp; }

protected:
    // True when a successor is linked.
    bool haveSuccessor() const { return successor_mp != nullptr; }

    // Set at construction, never changed.
    std::string handlerName_m;
    // Commands this handler accepted ("Msg Rx"); only grows.
    uint32_t commandCount_m;
    // The next handler of the chain, not owned; null at the end.
    PACommandHandler* successor_mp;
};

namespace detail {
// A copy of `verb_r` whose bytes before the first NUL went through tolower().
inline std::string lowerCaseWord(const std::string& verb_r) {
    std::string lower = verb_r;
    size_t length = strlen(verb_r.c_str());
    for (size_t i = 0; i < length; ++i) {
        lower[i] = static_cast<char>(tolower(static_cast<unsigned char>(lower[i])));
    }
    return lower;
}
}  // namespace detail

// One command: the target object, its member function and one line of help.
template <class T, class F>
class CommandDescriptor {
public:
    // Binds fcnPtr_p on object_r (not owned) with one line of help (no newline).
    CommandDescriptor(T& object_r, F fcnPtr_p, const std::string& helpString)
        : object_mr(object_r), function_mp(fcnPtr_p), helpString_m(helpString) {}
    ~CommandDescriptor() {}

    // Calls the member function on the target and returns its result.
    bool executeCommand(int argc, char** argv, std::string& out_r) {
        return (object_mr.*function_mp)(argc, argv, out_r);
    }
    // Appends the help text and a newline.
    void showHelp(std::string& out_r) const {
        out_r += helpString_m;
        out_r += "\n";
    }

private:
    CommandDescriptor() = delete;
    CommandDescriptor(const CommandDescriptor&) = delete;
    CommandDescriptor& operator=(const CommandDescriptor&) = delete;

    T& object_mr;
    F function_mp;
    std::string helpString_m;
};

// The commands of one handler, by lower-case word. Owns the descriptors in its map; its owner
// calls deleteAllCommands() before destroying it.
template <class T, class F>
class CommandSet {
public:
    CommandSet() : commandLookup_m() {}
    ~CommandSet() {}

    // Takes ownership of newCommand_p under `verb_r` (already lower case). False for a null
    // descriptor or a word the set holds in any case; the caller keeps the descriptor then.
    bool addCommand(const std::string& verb_r, CommandDescriptor<T, F>* newCommand_p) {
        if (newCommand_p == nullptr) {
            return false;
        }
        if (findCommand(verb_r) != nullptr) {
            return false;
        }
        return commandLookup_m.insert(std::make_pair(verb_r, newCommand_p)).second;
    }

    // Erases `verb_r` (compared unchanged) without deleting its descriptor, which goes back to
    // the caller. False when the word is not there.
    bool removeCommand(const std::string& verb_r) {
        typename LookupMap::iterator it = commandLookup_m.find(verb_r);
        if (it == commandLookup_m.end()) {
            return false;
        }
        commandLookup_m.erase(it);
        return true;
    }

    // The descriptor of `verb_r` in any case, or null.
    CommandDescriptor<T, F>* findCommand(const std::string& verb_r) const {
        typename LookupMap::const_iterator it = commandLookup_m.find(detail::lowerCaseWord(verb_r));
        return it == commandLookup_m.end() ? nullptr : it->second;
    }

    // Runs `verb_r`; false when the set does not hold it.
    bool executeCommand(const std::string& verb_r, int argc, char** argv, std::string& out_r) {
        CommandDescriptor<T, F>* command_p = findCommand(verb_r);
        if (command_p == nullptr) {
            return false;
        }
        return command_p->executeCommand(argc, argv, out_r);
    }

    // Deletes every descriptor, in word order, and empties the set.
    void deleteAllCommands() {
        for (typename LookupMap::iterator it = commandLookup_m.begin(); it != commandLookup_m.end();
             ++it) {
            if (it->second != nullptr) {
                delete it->second;
            }
        }
        commandLookup_m.clear();
    }

    // Appends "  <word> : <help>\n" for each command, in byte order of the words.
    void showHelp(std::string& out_r) const {
        for (typename LookupMap::const_iterator it = commandLookup_m.begin();
             it != commandLookup_m.end(); ++it) {
            out_r += "  ";
            out_r += it->first;
            out_r += " : ";
            it->second->showHelp(out_r);
        }
    }

    // The number of commands held.
    int size() const { return static_cast<int>(commandLookup_m.size()); }

private:
    typedef std::map<std::string, CommandDescriptor<T, F>*> LookupMap;

    CommandSet(const CommandSet&) = delete;
    CommandSet& operator=(const CommandSet&) = delete;

    LookupMap commandLookup_m;
};

// A handler whose commands are member functions (F = bool (T::*)(int, char**, std::string&))
// of target objects of class T.
template <class T, class F>
class ACommandHandler : public PACommandHandler {
public:
    // A handler named handlerName with no commands.
    explicit ACommandHandler(const std::string& handlerName)
        : PACommandHandler(handlerName), commandSet_m() {}
    ~ACommandHandler() override { commandSet_m.deleteAllCommands(); }

    // Binds `verb_r` (stored in lower case) to commandFcn_p on object_r. False when the
    // process's command server already offers the word, or this handler holds it in any case.
    bool addCommand(const std::string& verb_r, const std::string& help_r, F commandFcn_p,
                    T& object_r);

    // Removes `verb_r` in any case and deletes its descriptor. False when it is not here.
    bool removeCommand(const std::string& verb_r);

    bool handleCommand(const std::string& verb_r, int argc, char** argv,
                       std::string& out_r) override;

    bool canHandleCommand(const std::string& verb_r) const override {
        return commandSet_m.findCommand(verb_r) != nullptr;
    }

    void showHelp(std::string& out_r, bool showSuccessor) const override {
        out_r += handlerName_m;
        out_r += " Commands:\n";
        commandSet_m.showHelp(out_r);
        out_r += "........................................................\n";
        if (showSuccessor && haveSuccessor()) {
            successor_mp->showHelp(out_r, showSuccessor);
        }
    }

    void showState(std::string& out_r, bool /*detail*/) const override {
        char line[100];
        snprintf(line, sizeof(line), " Hdlr Name: %s; Cmds Registered: %d; Msg Rx: %d \n",
                 handlerName_m.c_str(), commandSet_m.size(), static_cast<int>(commandCount_m));
        out_r += line;
        if (haveSuccessor()) {
            successor_mp->showState(out_r, false);
        }
    }

private:
    ACommandHandler(const ACommandHandler&) = delete;
    ACommandHandler& operator=(const ACommandHandler&) = delete;

    CommandSet<T, F> commandSet_m;
};

// The process's command server. In a child of fork() it starts with no handlers and not
// listening; the parent's socket file and dispatcher registrations are left alone.
class Server {
public:
    Server();
    ~Server();

    // Appends handler_p to the chain (linking it with setSuccessor). False for null or a
    // handler already registered.
    bool registerNewHandler(PACommandHandler* handler_p);
    // Withdraws handler_p and relinks the chain around it. False for null or a handler that is
    // not registered.
    bool deregisterHandler(PACommandHandler* handler_p);
    // True when a registered handler knows `verb` in any case.
    bool commandExists(const std::string& verb) const;
    // Holds the process's server's chain lock for its scope. The lock guards the handler chain
    // and is recursive, because the server's own commands and "tmgr-debug-enable" call back into
    // the server on the same thread. ACommandHandler holds it while it changes its commands or
    // counts one, so that the check for a word and the change are one step and a walk of the
    // chain on another thread never meets a command set in the middle of a change. Never held
    // while a handler's command runs. Thread: any.
    class ChainLock {
    public:
        ChainLock();
        ~ChainLock();

    private:
        ChainLock(const ChainLock&) = delete;
        ChainLock& operator=(const ChainLock&) = delete;

        Server& server_rm;
    };

    // Splits commandLine at blanks and tabs and runs it (argv[0] the command word) on the
    // thread that owns the handler knowing the word: at once when that is the calling thread
    // (or the word is one of the server's own), otherwise by handing it to the owner's
    // dispatcher loop and waiting. The wait for the owner to take it is bounded (3 s): past it
    // the call returns false with a one-line explanation in out_r, and the command never runs
    // later; a command the owner has begun is waited for to its end. False with an explanation
    // too when the owner's thread has ended or withdrew the handler or word meanwhile.
    // Returns the command's result; out_r receives exactly the text the command appended. An
    // empty line or an unknown word returns false with a short explanation in out_r. "help"
    // lists every registered handler's help.
    // Thread: any. Two threads each running the other's command wait out the bound; nothing
    // deadlocks.
    bool executeCommand(const std::string& commandLine, std::string& out_r);

    // Serves operators on an AF_UNIX stream socket at socketPath (empty: the default path,
    // defaultSocketPath(getpid())), registered with the calling thread's dispatcher loop. One
    // connection carries one command line and gets the response text and the result; a command
    // runs as executeCommand runs it, and the loop serves other connections while one waits
    // for its owner. The file is owner-only; peers of another user id (root aside) are
    // refused. False (logged) when the socket cannot be made or is already listening.
    bool startListening(const std::string& socketPath);
    // Closes the listening socket and its connections and removes the socket file.
    // Thread: the thread whose loop serves the socket (not from inside one of its commands),
    // or any thread once that loop no longer runs.
    void stopListening();
    // The path being served, empty when not listening.
    std::string getListeningPath() const;

    // "/tmp/mdf-server.<pid>.socket": where startListening("") listens and mdf-cli -p looks.
    static std::string defaultSocketPath(long pid);

private:
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The server's own commands ("help", "mdf-show-state"), bound in its own handler.
    bool helpCommand(int argc, char** argv, std::string& out_r);
    bool showStateCommand(int argc, char** argv, std::string& out_r);

    struct Impl;
    Impl* impl_mp;
};

}  // namespace mdf

namespace cmn {
template <>
volatile mdf::Server* SingletonHolder<mdf::Server>::instance_spm;
template <>
pthread_mutex_t SingletonHolder<mdf::Server>::mutex_sm;
}  // namespace cmn

namespace mdf {

template <class T, class F>
bool ACommandHandler<T, F>::handleCommand(const std::string& verb_r, int argc, char** argv,
                                          std::string& out_r) {
    if (canHandleCommand(verb_r)) {
        {
            Server::ChainLock lock;
            ++commandCount_m;
        }
        return commandSet_m.executeCommand(verb_r, argc, argv, out_r);
    }
    if (haveSuccessor()) {
        return successor_mp->handleCommand(verb_r, argc, argv, out_r);
    }
    return false;
}

template <class T, class F>
bool ACommandHandler<T, F>::addCommand(const std::string& verb_r, const std::string& help_r,
                                       F commandFcn_p, T& object_r) {
    Server& server_r = cmn::SingletonHolder<Server>::getInstance();
    Server::ChainLock lock;
    if (server_r.commandExists(verb_r)) {
        return false;
    }
    CommandDescriptor<T, F>* command_p =
        new CommandDescriptor<T, F>(object_r, commandFcn_p, help_r);
    if (commandSet_m.addCommand(detail::lowerCaseWord(verb_r), command_p)) {
        return true;
    }
    delete command_p;
    return false;
}

template <class T, class F>
bool ACommandHandler<T, F>::removeCommand(const std::string& verb_r) {
    Server::ChainLock lock;
    std::string lowerVerb = detail::lowerCaseWord(verb_r);
    CommandDescriptor<T, F>* command_p = commandSet_m.findCommand(lowerVerb);
    if (command_p == nullptr) {
        return false;
    }
    if (!commandSet_m.removeCommand(lowerVerb)) {
        return false;
    }
    delete command_p;
    return true;
}

}  // namespace mdf

#endif  // EXPORT_MDFSERVER_H
