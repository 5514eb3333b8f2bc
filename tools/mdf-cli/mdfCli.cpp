// mdf-cli: the operator's tool for a process's command server.
//
//   mdf-cli [-s SOCKET | -p PID] COMMAND [ARGS...]   one command line
//   mdf-cli [-s SOCKET | -p PID]                     one command line per input line
//   mdf-cli [--dir DIR] --list | --clean-stale       this user's socket files
//
// COMMAND and ARGS are joined with single blanks into one line. The server answers with a
// status line ("OK", "FAILED" or "ERROR") and the response text, which goes to standard output
// ("ERROR" text to standard error). Only a server of this user or root is spoken to.
// Exit status: 0 the command returned true, 1 it returned false, 2 no server was reached or the
// exchange failed or timed out (or the server refused the request, or belongs to another
// user), 64 usage error. The man page mdf-cli(1) says the same.
#include "cliOptions.h"
#include "serverExchange.h"
#include "session.h"
#include "socketFiles.h"

int main(int argc, char** argv) {
    mdf::cli::Options options;
    int result = mdf::cli::parseArguments(argc, argv, options);
    if (result >= 0) {
        return result;
    }
    switch (options.mode) {
        case mdf::cli::listMode_c:
            return mdf::cli::listServers(options.socketDir);
        case mdf::cli::cleanStaleMode_c:
            return mdf::cli::cleanStaleFiles(options.socketDir);
        case mdf::cli::sessionMode_c:
            return mdf::cli::runSession(options.socketPath);
        case mdf::cli::commandMode_c:
            break;
    }
    char lastOut = '\n';
    return mdf::cli::exchangeCommand(options.socketPath, options.commandLine, lastOut);
}
