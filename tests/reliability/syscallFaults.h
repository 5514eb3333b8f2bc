// Fault injection and observation for C library calls that the library and the platform layer
// make. Linking syscallFaults.cpp into a test executable replaces sendto, recvfrom, socket,
// bind, epoll_ctl, syslog, clock_gettime, timerfd_create and timerfd_settime for the whole
// process (the executable's definitions come first in symbol lookup); each replacement forwards
// to the real function unless a failure is pending or the wall clock was stepped.
//
// Thread: every knob and counter may be used from any thread (the driver thread sends).
#ifndef TESTS_RELIABILITY_SYSCALLFAULTS_H
#define TESTS_RELIABILITY_SYSCALLFAULTS_H

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace cmn::test {

enum class FaultyCall { sendto_c, recvfrom_c, socket_c, epollAdd_c, timerfdSettime_c };

// The next call of that kind fails with `error` (not 0) without reaching the system. For
// epollAdd_c only EPOLL_CTL_ADD operations count. timerfdSettime_c is the exception: the call
// reaches the system and, if that succeeded, then fails with `error`, the way the kernel
// reports a wall-clock step (ECANCELED) for a timer it has armed all the same.
void failNextCall(FaultyCall call, int error);

// Steps the process's wall clock by deltaNs (negative: back), as a step of the system clock
// would look to it, without touching the system clock: clock_gettime(CLOCK_REALTIME) reads the
// stepped time, and an absolute time given to a CLOCK_REALTIME timerfd from then on is taken
// as stepped time (gettimeofday and time are not stepped). A timerfd armed before the step
// keeps its instant: after a step back it goes off before the stepped clock reaches the time
// it was armed for, after a step forward late. Steps add up.
void stepWallClock(int64_t deltaNs);

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
