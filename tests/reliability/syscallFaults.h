// Fault injection and observation for C library calls that the library and the platform layer
// make. Linking syscallFaults.cpp into a test executable replaces sendto, recvfrom, socket,
// bind, epoll_ctl and syslog for the whole process (the executable's definitions come first in
// symbol lookup); each replacement forwards to the real function unless a failure is pending.
//
// Thread: every knob and counter may be used from any thread (the driver thread sends).
#ifndef TESTS_RELIABILITY_SYSCALLFAULTS_H
#define TESTS_RELIABILITY_SYSCALLFAULTS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace cmn::test {

enum class FaultyCall { sendto_c, recvfrom_c, socket_c, epollAdd_c };

// The next call of that kind fails with `error` (not 0) without reaching the system. For
// epollAdd_c only EPOLL_CTL_ADD operations count.
void failNextCall(FaultyCall call, int error);

// Datagram sends with flags 0 (the driver callback's): each is first tried without blocking;
// `blocked` counts the sends that found the receiving socket full and then waited.
struct SendCounts {
    long sent;
    long blocked;
    long failed;  // returned -1, injected or real (EINTR from an interrupted send)
};
SendCounts sendCounts();

// The mode bits of the file that the last successful AF_UNIX bind created, read right after
// the bind returned (before its caller could change them); -1 when no bind was seen.
int modeAfterLastBind();

// The syslog lines since the last call, formatted, oldest first.
std::vector<std::string> takeSyslogLines();

}  // namespace cmn::test

#endif  // TESTS_RELIABILITY_SYSCALLFAULTS_H
