// mdf-cli's argument parsing and usage text.
#include "cliOptions.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mdfServer.h"

namespace mdf {
namespace cli {

const char defaultSocketDir_c[] = "/tmp";

namespace {

const char usageText[] =
    "usage: mdf-cli [-s SOCKET | -p PID] COMMAND [ARGS...]\n"
    "       mdf-cli [-s SOCKET | -p PID]\n"
    "       mdf-cli [--dir DIR] --list\n"
    "       mdf-cli [--dir DIR] --clean-stale\n"
    "Sends one command line to a process's command server and prints the answer. Without\n"
    "COMMAND, reads command lines from standard input, one connection each, until its end.\n"
    "Only a server run by this user or by root is spoken to.\n"
    "  -s SOCKET      the server's socket path\n"
    "  -p PID         the server of process PID (its default socket path)\n"
    "  --dir DIR      the directory of the default socket paths (default /tmp)\n"
    "  --list         list this user's command servers, marking stale socket files\n"
    "  --clean-stale  remove this user's socket files whose process is gone\n"
    "  -h, --help     print this text\n"
    "  --             end of the options\n"
    "Exit status: 0 the command succeeded, 1 it failed, 2 no server was reached, the\n"
    "exchange failed or the server belongs to another user, 64 usage error.\n";

int usageError(const std::string& message) {
    fprintf(stderr, "mdf-cli: %s\n%s", message.c_str(), usageText);
    return exitUsage_c;
}

bool parsePid(const char* text_p, long& pid_r) {
    char* end_p = nullptr;
    errno = 0;
    pid_r = strtol(text_p, &end_p, 10);
    return errno == 0 && end_p != text_p && *end_p == '\0' && pid_r > 0;
}

// What the options before COMMAND named.
struct Seen {
    bool target = false;
    long pid = 0;
    bool list = false;
    bool cleanStale = false;
};

// Takes the option argv[next_r] (and its value). Returns -1 to go on, or the exit status.
int takeOption(int argc, char** argv, int& next_r, Seen& seen_r, Options& options_r) {
    const std::string option = argv[next_r];
    if (option == "--help" || option == "-h") {
        fputs(usageText, stdout);
        return exitSucceeded_c;
    }
    if (option == "--list" || option == "--clean-stale") {
        (option == "--list" ? seen_r.list : seen_r.cleanStale) = true;
        return -1;
    }
    if (option != "-s" && option != "-p" && option != "--dir") {
        return usageError("unknown option " + option);
    }
    if (next_r + 1 >= argc) {
        return usageError("option " + option + " needs a value");
    }
    const char* value_p = argv[++next_r];
    if (option == "--dir") {
        options_r.socketDir = value_p;
        return -1;
    }
    if (seen_r.target) {
        return usageError("give only one of -s SOCKET and -p PID");
    }
    seen_r.target = true;
    if (option == "-s") {
        options_r.socketPath = value_p;
    } else if (!parsePid(value_p, seen_r.pid)) {
        return usageError(std::string("not a process id: ") + value_p);
    }
    return -1;
}

// Joins argv[next..] into the command line. Returns -1, or the exit status.
int joinCommand(int argc, char** argv, int next, Options& options_r) {
    for (int i = next; i < argc; ++i) {
        if (strchr(argv[i], '\n') != nullptr) {
            return usageError("a command line cannot hold a newline");
        }
        if (i > next) {
            options_r.commandLine += ' ';
        }
        options_r.commandLine += argv[i];
    }
    return -1;
}

// Settles the mode once every option is read. Returns -1, or the exit status.
int chooseMode(const Seen& seen, bool haveCommand, Options& options_r) {
    if (seen.list || seen.cleanStale) {
        if (seen.list && seen.cleanStale) {
            return usageError("give only one of --list and --clean-stale");
        }
        if (seen.target || haveCommand) {
            return usageError("--list and --clean-stale take no server and no command");
        }
        options_r.mode = seen.list ? listMode_c : cleanStaleMode_c;
        return -1;
    }
    if (!seen.target) {
        return usageError("give -s SOCKET or -p PID");
    }
    if (seen.pid > 0) {
        options_r.socketPath = commandSocketPath(options_r.socketDir, seen.pid);
    }
    options_r.mode = haveCommand ? commandMode_c : sessionMode_c;
    return -1;
}

}  // namespace

int parseArguments(int argc, char** argv, Options& options_r) {
    Seen seen;
    int next = 1;
    for (; next < argc && argv[next][0] == '-'; ++next) {
        if (strcmp(argv[next], "--") == 0) {
            ++next;
            break;
        }
        int result = takeOption(argc, argv, next, seen, options_r);
        if (result >= 0) {
            return result;
        }
    }
    int result = joinCommand(argc, argv, next, options_r);
    if (result >= 0) {
        return result;
    }
    return chooseMode(seen, next < argc, options_r);
}

// The server owns the name's format; only its directory is replaced.
std::string commandSocketPath(const std::string& dir, long pid) {
    const std::string defaultPath = Server::defaultSocketPath(pid);
    return dir + defaultPath.substr(defaultPath.rfind('/'));
}

}  // namespace cli
}  // namespace mdf
