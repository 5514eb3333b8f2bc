// The interactive session: a line reader (line editing on a terminal, plain lines otherwise)
// in front of one command exchange per line.
#include "session.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#ifdef MDF_CLI_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

#include "cliOptions.h"
#include "serverExchange.h"

namespace mdf {
namespace cli {

const char sessionPrompt_c[] = "mdf-cli> ";

namespace {

// One line from standard input without its line end; false at the end of input.
bool readPlainLine(bool prompt, std::string& line_r) {
    if (prompt) {
        fputs(sessionPrompt_c, stdout);
        fflush(stdout);
    }
    char* buffer_p = nullptr;
    size_t capacity = 0;
    ssize_t length = getline(&buffer_p, &capacity, stdin);
    if (length >= 0) {
        line_r.assign(buffer_p, static_cast<size_t>(length));
    }
    free(buffer_p);
    return length >= 0;
}

#ifdef MDF_CLI_HAVE_LIBEDIT
// One line edited on the terminal; it joins the session's history unless blank.
bool readEditedLine(std::string& line_r) {
    char* text_p = readline(sessionPrompt_c);
    if (text_p == nullptr) {
        return false;
    }
    line_r = text_p;
    free(text_p);
    if (line_r.find_first_not_of(" \t") != std::string::npos) {
        add_history(line_r.c_str());
    }
    return true;
}
#endif

bool readSessionLine(bool terminal, std::string& line_r) {
#ifdef MDF_CLI_HAVE_LIBEDIT
    if (terminal) {
        return readEditedLine(line_r);
    }
#endif
    return readPlainLine(terminal, line_r);
}

// The line without its trailing "\n" or "\r\n".
void dropLineEnd(std::string& line_r) {
    while (!line_r.empty() && (line_r.back() == '\n' || line_r.back() == '\r')) {
        line_r.pop_back();
    }
}

}  // namespace

int runSession(const std::string& path) {
    const bool terminal = isatty(STDIN_FILENO) == 1;
    int lastStatus = exitSucceeded_c;
    std::string line;
    while (readSessionLine(terminal, line)) {
        dropLineEnd(line);
        if (line.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        char lastOut = '\n';
        lastStatus = exchangeCommand(path, line, lastOut);
        // An answer need not end its last line; the next one starts on a line of its own.
        if (lastOut != '\n') {
            fputs("\n", stdout);
        }
    }
    if (terminal) {
        fputs("\n", stdout);
    }
    return lastStatus;
}

}  // namespace cli
}  // namespace mdf
