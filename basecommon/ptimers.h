// The timer driver: one-shot timers whose expiries are reported on a driver thread.
//
// A thread calls ptimer_init_default() once to get its own driver instance (one driver thread,
// one timerfd per clock) and ptimer_shutdown() when it is done with it. Timers created on that
// thread belong to its instance. A timer is armed for a single expiry with ptimer_settime();
// arming an armed timer replaces its pending expiry. Relative timers (ptimer_create) follow
// CLOCK_MONOTONIC, absolute ones (ptimer_create_cs) CLOCK_REALTIME, wall-clock steps included.
// Expiries of one clock come in deadline order, equal deadlines in arming order.
//
// Ownership: the caller owns the ptimer record and must keep it at one address from
// ptimer_create to ptimer_delete; its fields belong to the driver. The context pointer is the
// caller's and is handed back unchanged to the callback.
//
// Threads: callbacks run on the driver thread of the instance that created the timer, never
// on the arming thread, and without any driver lock held. ptimer_settime and ptimer_delete may
// be called from any thread. A child of fork() starts with no instance (ptimer_init_default
// gives it its own); in the child, a handle inherited from the parent is refused by
// ptimer_settime and only released by ptimer_delete, and the parent's timers never notice.
//
// Every function returns 0 on success and a non-zero value on failure (a handle that was
// never created or was deleted, a bad argument, a kernel refusal).
#ifndef BASECOMMON_PTIMERS_H
#define BASECOMMON_PTIMERS_H

#include <stdint.h>
#include <time.h>

// The driver's handle record. Zero-filled by its owner before ptimer_create; from then on its
// fields are the driver's, and the owner only passes the record's address.
struct ptimer {
    // The driver's record of the timer, checked against the driver's own table before use.
    void* ptr;
    // The index of that record in the table plus one, so a zero-filled handle names none.
    int magic;
    // 1 for a timer made by ptimer_create_cs (absolute CLOCK_REALTIME times), 0 otherwise.
    int isabstime;
};

// A timer's callback: called once per expiry, on the driver thread, with the context given
// at creation.
typedef void (*ptimer_callback_t)(void* context_p);

// Starts the calling thread's driver instance (its thread and clocks). A second call on a
// thread that already has an instance succeeds and changes nothing.
int ptimer_init_default(void);

// Stops the calling thread's instance: its thread is joined and its timers never fire again.
// Timers of other threads' instances keep running. Returns promptly even while a callback is
// blocked in a send (the send is interrupted). Handles of the stopped instance stay valid for
// ptimer_delete, which then only releases them. Non-zero when the thread has no instance.
int ptimer_shutdown(void);

// Creates a relative (CLOCK_MONOTONIC) timer, not yet armed, in the calling thread's
// instance. Non-zero when the calling thread has no running instance.
int ptimer_create(ptimer* user, ptimer_callback_t callback, void* context_p);

// As ptimer_create, for a timer armed with absolute CLOCK_REALTIME times.
int ptimer_create_cs(ptimer* user, ptimer_callback_t callback, void* context_p);

// Arms the timer for one expiry: after *value for a relative timer, at *value (seconds since
// the epoch) for an absolute one. A zero delay or a past time fires as soon as it can.
// flags must be 0. tv_nsec must lie in 0..999999999.
// When it returns, no callback of an earlier arming of that timer is running or will run: a
// pending expiry is replaced, and a callback of the timer that is running is waited for (and,
// if it is blocked in a send, interrupted, as ptimer_delete does). A callback that re-arms its
// own timer does not wait for itself. With no callback of the timer running, arming makes no
// system call beyond the one that re-programs the clock when its earliest deadline moves.
int ptimer_settime(ptimer* user, const struct timespec* value, int flags);

// Deletes the timer. When it returns, no callback of this timer is running or will run.
// Succeeds after ptimer_shutdown of the owning instance.
int ptimer_delete(ptimer* user);

// Arms `user` for one expiry after (or, for an absolute timer, at) sec seconds and nsec
// nanoseconds.
inline int ptimer_start_once(ptimer* user, uint32_t sec, uint32_t nsec) {
    struct timespec tt;
    tt.tv_sec = sec;
    tt.tv_nsec = nsec;
    return ptimer_settime(user, &tt, 0);
}

#endif  // BASECOMMON_PTIMERS_H
