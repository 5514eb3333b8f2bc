// Fuzzes a live timer manager's callback socket: datagrams of 0 to 64 arbitrary bytes sent to
// its address, from two other sockets (one bound to a path, one unbound) and from the manager's
// own socket, interleaved with starting, cancelling and changing timers, firing them on the fake
// driver, disabling and enabling timers, simulated expiries and steps of the dispatcher loop.
//
// Input: a stream of operations, one byte each (the operation is the byte modulo opCount_c),
// each followed by the bytes it needs.
//
// Oracle: a client is called only for a timer of its own, with that timer's user data, while
// the timer may expire (started or restarted while timers are enabled, not cancelled since, not
// a one-shot that expired already). Nothing may crash, leak or hang. Enabling timers starts
// every entry again, cancelled ones included, so after it every timer may expire.
//
// The fake driver's expiry sends from the manager's (blocking) socket: it fires only on an
// emptied socket; the fuzzer's own sends never wait.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <iterator>
#include <map>
#include <string>

#include "fuzzSupport.h"

namespace {

using cmn::TimerManager;
using cmn::fuzz::check;

enum Op {
    startOneShot_c,
    startPeriodic_c,
    cancel_c,
    cancelClient_c,
    changePeriod_c,
    fire_c,
    sendFromPeer_c,
    sendFromOwn_c,
    sendTimerId_c,
    step_c,
    drain_c,
    toggleTimers_c,
    simulate_c,
    opCount_c
};

const size_t maxDatagram = 64;
const int tagCount = 4;

struct ModelTimer {
    cmn::PATimerClient* client_p;
    cmn::PAUserData* userData_p;
    bool periodic;
    bool mayExpire;
};

// The timers the fuzzer started in this input, by id.
std::map<uint32_t, ModelTimer> model;

class CheckingClient : public cmn::PATimerClient {
public:
    bool timerExpired(uint32_t timerId, cmn::PAUserData* userData_p) override {
        std::map<uint32_t, ModelTimer>::iterator it = model.find(timerId);
        check(it != model.end(), "the id is a timer the fuzzer started");
        check(it->second.client_p == this, "the client owns the timer");
        check(it->second.userData_p == userData_p, "the timer's own user data");
        check(it->second.mayExpire, "the timer may expire");
        if (!it->second.periodic) {
            model.erase(it);
        }
        return true;
    }
    std::string getClientName() const override { return "fuzz"; }
};

CheckingClient clients[2];
cmn::PAUserData tags[tagCount];
int boundPeer = -1;
int unboundPeer = -1;

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

private:
    const uint8_t* data_mp;
    size_t left_m;
};

std::string peerPath() { return "/tmp/ctm-fuzz-peer." + std::to_string(getpid()); }

void removePeerFile() { unlink(peerPath().c_str()); }

int makePeer(bool bound) {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    check(fd >= 0, "peer socket");
    if (bound) {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        peerPath().copy(address.sun_path, sizeof(address.sun_path) - 1);
        removePeerFile();
        check(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0, "peer bind");
        atexit(removePeerFile);
    }
    return fd;
}

void setUpOnce() {
    if (boundPeer >= 0) {
        return;
    }
    cmn::fuzz::setUpProcess();
    boundPeer = makePeer(true);
    unboundPeer = makePeer(false);
}

TimerManager& manager() { return cmn::SingletonPerThread<TimerManager>::getInstance(); }

// A timer of the model picked by `pick`, or `pick` itself when the model is empty.
uint32_t pickTimer(uint8_t pick) {
    if (model.empty()) {
        return pick;
    }
    std::map<uint32_t, ModelTimer>::iterator it = model.begin();
    std::advance(it, pick % model.size());
    return it->first;
}

void start(Reader& in, bool periodic) {
    uint8_t how = in.byte();
    uint32_t period = in.byte();
    TimerManager::TimerGranularity unit = (how & 4) != 0 ? TimerManager::nanosecondGranularity_c
                                                         : TimerManager::millisecondGranularity_c;
    ModelTimer timer = {&clients[how & 1], &tags[(how >> 1) % tagCount], periodic,
                        manager().isTimersEnabled()};
    uint32_t timerId = 0;
    bool started =
        periodic
            ? manager().startPeriodicTimer(timerId, period, timer.client_p, timer.userData_p, unit)
            : manager().startOneShotTimer(timerId, period, timer.client_p, timer.userData_p, unit);
    check(started, "a start succeeds while ids are free");
    model[timerId] = timer;
}

void cancelClient(Reader& in) {
    CheckingClient* client_p = &clients[in.byte() & 1];
    manager().cancelAllTimersForClient(client_p, false);
    for (std::pair<const uint32_t, ModelTimer>& entry : model) {
        if (entry.second.client_p == client_p) {
            entry.second.mayExpire = false;
        }
    }
}

void changePeriod(Reader& in) {
    uint32_t timerId = pickTimer(in.byte());
    uint32_t period = in.byte();
    bool enabled = manager().isTimersEnabled();
    if (manager().changeTimerPeriod(timerId, period, TimerManager::millisecondGranularity_c) &&
        enabled && model.count(timerId) != 0) {
        model[timerId].mayExpire = true;
    }
}

// The driver's expiry of a timer. Only while timers are enabled, and on an empty socket: the
// driver's send blocks when the socket is full, and nothing reads while timers are disabled.
void fire(Reader& in) {
    uint32_t timerId = pickTimer(in.byte());
    if (!manager().isTimersEnabled()) {
        return;
    }
    cmn::fuzz::drainLoop();
    cmn::fuzz::fakeDriver().fireTimer(timerId);
}

// A datagram of 0 to 64 bytes to the manager's address. Without waiting: a full socket drops it.
void sendDatagram(int fd, const uint8_t* bytes_p, size_t length) {
    sockaddr_un destination = manager().getCbAddress();
    ssize_t sent = sendto(fd, bytes_p, length, MSG_DONTWAIT | MSG_NOSIGNAL,
                          reinterpret_cast<sockaddr*>(&destination), sizeof(destination));
    (void)sent;
}

int sender(uint8_t pick) {
    int senders[] = {boundPeer, unboundPeer, manager().getCbSocket()};
    return senders[pick % 3];
}

void sendBytes(Reader& in, int fd) {
    uint8_t bytes[maxDatagram];
    size_t length = in.byte() % (maxDatagram + 1);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = in.byte();
    }
    sendDatagram(fd, bytes, length);
}

void sendTimerId(Reader& in) {
    uint8_t pick = in.byte();
    uint32_t timerId = pickTimer(in.byte());
    uint8_t bytes[sizeof(timerId)];
    memcpy(bytes, &timerId, sizeof(bytes));
    sendDatagram(sender(pick), bytes, sizeof(bytes));
}

void toggleTimers() {
    bool enable = !manager().isTimersEnabled();
    std::string out;
    check(cmn::fuzz::runCommand(enable ? "tmgr-enable-timers" : "tmgr-disable-timers", out),
          "the timers command runs");
    // Enabling starts every entry again, cancelled ones included.
    for (std::pair<const uint32_t, ModelTimer>& entry : model) {
        entry.second.mayExpire = enable;
    }
}

void simulate(Reader& in) {
    std::string out;
    cmn::fuzz::runCommand("tmgr-simulate-timeout " + std::to_string(pickTimer(in.byte())), out);
}

void runOp(Reader& in) {
    switch (in.byte() % opCount_c) {
        case startOneShot_c:
            return start(in, false);
        case startPeriodic_c:
            return start(in, true);
        case cancel_c: {
            uint32_t timerId = pickTimer(in.byte());
            manager().cancelTimer(timerId, false);
            if (model.count(timerId) != 0) {
                model[timerId].mayExpire = false;
            }
            return;
        }
        case cancelClient_c:
            return cancelClient(in);
        case changePeriod_c:
            return changePeriod(in);
        case fire_c:
            return fire(in);
        case sendFromPeer_c:
            return sendBytes(in, sender(in.byte() & 1));
        case sendFromOwn_c:
            return sendBytes(in, manager().getCbSocket());
        case sendTimerId_c:
            return sendTimerId(in);
        case step_c:
            cmn::fuzz::stepLoop();
            return;
        case drain_c:
            return manager().isTimersEnabled() ? cmn::fuzz::drainLoop()
                                               : (void)cmn::fuzz::stepLoop();
        case toggleTimers_c:
            return toggleTimers();
        default:
            return simulate(in);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setUpOnce();
    cmn::fuzz::freshManager();
    Reader in(data, size);
    while (!in.atEnd()) {
        runOp(in);
    }
    if (!manager().isTimersEnabled()) {
        toggleTimers();
    }
    cmn::fuzz::drainLoop();
    cmn::fuzz::dropManager();
    model.clear();
    return 0;
}
