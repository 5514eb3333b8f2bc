// Fuzzes the timer manager's commands with argument vectors that the command server never
// builds: argc 0 to 8, any bytes in a word, empty words, a null argv, a command word that is
// not argv[0], words in any case.
//
// Route, through public calls only: a probe handler is registered with the command server
// before any manager exists, so the server links each manager's handler (registered later, at
// the tail) as the probe's successor; PACommandHandler::getSuccessor() hands it over and its
// handleCommand() is called directly, as the server's chain would call it.
//
// Input: records of {control, argc, [command word,] argc words}, a word ending at a NUL byte or
// at the end of the input. control bits 0-2 pick the command word (0-5 the manager's words,
// 6 argv[0], 7 a word of its own), bit 3 passes a null argv, bit 4 upper-cases the command word,
// bit 5 then fires a timer and delivers its expiry, bit 6 then starts another timer.
//
// Oracle: a command only appends to its response; a word the handler does not hold returns false
// and appends nothing; each command's result follows its arguments (the commands' own rules).
#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fuzzSupport.h"

namespace {

using cmn::fuzz::check;

const int maxArgc = 8;
const char* const kWords[] = {"tmgr-show-state",    "tmgr-debug-enable",     "tmgr-disable-timers",
                              "tmgr-enable-timers", "tmgr-simulate-timeout", "tmgr-cancel-timer"};
enum WordIndex { showState_c, debugEnable_c, disable_c, enable_c, simulate_c, cancel_c, none_c };

class Probe {};
typedef mdf::ACommandHandler<Probe, bool (Probe::*)(int, char**, std::string&)> ProbeHandler;

class QuietClient : public cmn::PATimerClient {
public:
    bool timerExpired(uint32_t /*timerId*/, cmn::PAUserData* /*userData_p*/) override {
        return true;
    }
    std::string getClientName() const override { return "fuzz"; }
};

ProbeHandler* probeHandler_p = nullptr;
QuietClient client;

class Reader {
public:
    Reader(const uint8_t* data_p, size_t size) : data_mp(data_p), left_m(size) {}
    bool atEnd() const { return left_m == 0; }
    uint8_t byte() {
        if (left_m == 0) {
            return 0;
        }
        --left_m;
        return *data_mp++;
    }
    std::string word() {
        std::string text;
        while (left_m > 0) {
            --left_m;
            char c = static_cast<char>(*data_mp++);
            if (c == '\0') {
                break;
            }
            text += c;
        }
        return text;
    }

private:
    const uint8_t* data_mp;
    size_t left_m;
};

// Writable copies of the words, then a null pointer, as main() gets them.
class Arguments {
public:
    explicit Arguments(const std::vector<std::string>& words) {
        for (const std::string& word : words) {
            buffers_m.push_back(std::vector<char>(word.begin(), word.end()));
            buffers_m.back().push_back('\0');
        }
        for (std::vector<char>& buffer : buffers_m) {
            argv_m.push_back(buffer.data());
        }
        argv_m.push_back(nullptr);
    }
    char** argv() { return argv_m.data(); }

private:
    std::vector<std::vector<char>> buffers_m;
    std::vector<char*> argv_m;
};

void setUpOnce() {
    if (probeHandler_p != nullptr) {
        return;
    }
    cmn::fuzz::setUpProcess();
    probeHandler_p = new ProbeHandler("fuzz::Probe");
    check(cmn::SingletonHolder<mdf::Server>::getInstance().registerNewHandler(probeHandler_p),
          "the probe handler registers");
}

mdf::PACommandHandler& managerHandler() {
    mdf::PACommandHandler* handler_p = probeHandler_p->getSuccessor();
    check(handler_p != nullptr && handler_p->getHandlerName() == "cmn::TimerManager",
          "the manager's handler follows the probe");
    return *handler_p;
}

WordIndex indexOf(const std::string& verb) {
    std::string lower = verb;
    for (char& c : lower) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    for (int i = showState_c; i < none_c; ++i) {
        if (lower == kWords[i]) {
            return static_cast<WordIndex>(i);
        }
    }
    return none_c;
}

// The result the command must give and, when it is fixed, the text it must append (null: not
// checked). Follows "tmgr-debug-enable" in extras_r.
bool expectedResult(WordIndex word, int argc, char** argv, const std::vector<std::string>& words,
                    bool& extras_r, const char*& text_rp) {
    text_rp = nullptr;
    switch (word) {
        case debugEnable_c:
            if (argv == nullptr || argc == 0) {
                text_rp = argv == nullptr ? "argv is NULL\n" : "argc is zero\n";
                return false;
            }
            extras_r = argc == 1 || atoi(words[1].c_str()) != 0;
            text_rp = extras_r ? "Adding extra commands\n" : "Removing extra commands\n";
            return true;
        case simulate_c:
        case cancel_c:
            if (argv == nullptr) {
                text_rp = "";
                return false;
            }
            return argc > 1 && (words[0] == kWords[simulate_c] || words[0] == kWords[cancel_c]);
        default:
            return true;
    }
}

// Runs one record; returns its control byte.
uint8_t runRecord(Reader& in, bool& extras_r) {
    uint8_t control = in.byte();
    int argc = in.byte() % (maxArgc + 1);
    int source = control & 7;
    std::string verb = source == 7 ? in.word() : std::string();
    std::vector<std::string> words;
    for (int i = 0; i < argc; ++i) {
        words.push_back(in.word());
    }
    if (source < none_c) {
        verb = kWords[source];
    } else if (source == 6) {
        verb = argc > 0 ? words[0] : std::string();
    }
    if ((control & 0x10) != 0) {
        for (char& c : verb) {
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        }
    }
    Arguments arguments(words);
    char** argv = (control & 0x08) != 0 ? nullptr : arguments.argv();
    WordIndex word = indexOf(verb);
    bool held = word <= debugEnable_c || (word != none_c && extras_r);
    const std::string before = "earlier text\n";
    std::string out = before;
    bool result = managerHandler().handleCommand(verb, argc, argv, out);
    check(out.compare(0, before.size(), before) == 0, "a command only appends");
    if (!held) {
        check(!result && out == before, "a word the handler does not hold does nothing");
        return control;
    }
    const char* text_p = nullptr;
    check(result == expectedResult(word, argc, argv, words, extras_r, text_p),
          "the command's result follows its arguments");
    check(text_p == nullptr || out == before + text_p, "the command's fixed text");
    return control;
}

// Fires the armed timer `pick` points at and delivers its expiry. Nothing while timers are
// disabled: the datagram would stay queued and fill the socket.
void fireOne(uint8_t pick) {
    if (!cmn::SingletonPerThread<cmn::TimerManager>::getInstance().isTimersEnabled()) {
        return;
    }
    cmn::fuzz::drainLoop();
    cmn::fuzz::fakeDriver().fireTimer(pick % 16);
    cmn::fuzz::drainLoop();
}

void startOne(uint8_t how) {
    uint32_t timerId = 0;
    cmn::TimerManager& manager_r = cmn::SingletonPerThread<cmn::TimerManager>::getInstance();
    cmn::TimerManager::TimerGranularity unit = (how & 1) != 0
                                                   ? cmn::TimerManager::nanosecondGranularity_c
                                                   : cmn::TimerManager::millisecondGranularity_c;
    if ((how & 2) != 0) {
        manager_r.startPeriodicTimer(timerId, how, &client, nullptr, unit);
    } else {
        manager_r.startOneShotTimer(timerId, how, &client, nullptr, unit);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setUpOnce();
    cmn::fuzz::freshManager();
    for (uint8_t how = 0; how < 4; ++how) {
        startOne(how);
    }
    bool extras = true;
    Reader in(data, size);
    while (!in.atEnd()) {
        uint8_t control = runRecord(in, extras);
        if ((control & 0x20) != 0) {
            fireOne(in.byte());
        }
        if ((control & 0x40) != 0) {
            startOne(in.byte());
        }
    }
    cmn::fuzz::dropManager();
    return 0;
}
