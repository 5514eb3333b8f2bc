// The event dispatcher and the base class of its clients.
//
// cmn::ADispatcherClient is the base of every object whose descriptor the dispatcher watches:
// it names the descriptor (getPrimarySocket) and receives one callback per ready event type.
// cmn::Dispatcher is one process-wide object (reached through
// cmn::SingletonHolder<cmn::Dispatcher>) with one epoll loop per thread: a client is watched by
// the loop of the thread that added it, and listenOnce()/listen() serve the calling thread's
// clients only, so each client is called back on the thread that registered it.
//
// Ownership: the dispatcher holds clients by plain pointer and never deletes them; a client
// must be removed before it is destroyed.
// Thread: addClient, removeClient, post and stop may be called from any thread; listenOnce and
// listen serve the calling thread's loop. post() hands work to another thread's loop.
// fork(): the child starts with no loop and no watch of its own and never changes the parent's
// epoll sets; it makes fresh loops on first use.
#ifndef EXPORT_COMMONDISPATCHER_H
#define EXPORT_COMMONDISPATCHER_H

#include <stdint.h>
#include <time.h>

#include <functional>
#include <string>

#include "singletonHolder.h"

namespace cmn {

// Base of every object whose descriptor the dispatcher watches. Not copyable.
class ADispatcherClient {
public:
    // What a descriptor is watched for; fdUndefinedEvent_c names nothing and is refused.
    enum FdEventType {
        fdUndefinedEvent_c = 0,
        fdReadEvent_c = 1,
        fdWriteEvent_c = 2,
        fdExceptionEvent_c = 3
    };
    // What kind of subscriber a client is; kept for its owner, not used by the dispatcher.
    enum SubscriberType { unknown_c = 0, cSubscriber_c = 1, cppSubscriber_c = 2 };

    // A cppSubscriber_c client with no events counted.
    ADispatcherClient();
    // A client of subscriber type `type` with no events counted.
    explicit ADispatcherClient(SubscriberType type);
    virtual ~ADispatcherClient();

    // The descriptor the dispatcher is to watch for this client; negative when there is none.
    virtual int getPrimarySocket() = 0;
    // A name for `socketFd`, for diagnostics.
    virtual std::string getSocketName(int socketFd) const = 0;

    // The subscriber type given at construction.
    SubscriberType getSubscriberType();
    // Number of events handed to this client through handleEvent.
    uint32_t getEventCount();

    // Counts the event and hands it to the callback of its type (read: socketCallback, write:
    // writeCallback, exception: exceptionCallback); returns the callback's result. False for
    // fdUndefinedEvent_c or any other value, which is not counted.
    bool handleEvent(int socketFd, FdEventType eventType);

    // "fdUndefinedEvent_c", "fdReadEvent_c", "fdWriteEvent_c", "fdExceptionEvent_c", or
    // "unknown FdEventType" for other values. The text is static and must not be written.
    char* fdEventTypeToStr(FdEventType eventType);

private:
    // Defaults: each reports the missing override to syslog (LOG_CRIT, with the source
    // position) and refuses the event with false.
    virtual bool socketCallback(int socketFd);
    virtual bool writeCallback(int socketFd);
    virtual bool exceptionCallback(int socketFd);

    ADispatcherClient(const ADispatcherClient&) = delete;
    ADispatcherClient& operator=(const ADispatcherClient&) = delete;

    SubscriberType subscriberType_m;
    uint32_t eventCount_m;
};

// The process-wide event dispatcher: one epoll loop per thread (see the top of this file).
class Dispatcher {
public:
    // Names one thread's loop; never reused within the process. 0 names no loop.
    typedef uint64_t LoopId;

    Dispatcher();
    ~Dispatcher();

    // Watches client_p->getPrimarySocket() for `eventType` in the calling thread's loop. False
    // for a null client, a negative descriptor, a (descriptor, event type) pair already
    // watched, an undefined event type, or a refusal from the kernel (logged with errno).
    bool addClient(ADispatcherClient* client_p, ADispatcherClient::FdEventType eventType);

    // Stops watching the pair, in whichever thread's loop holds it. False when it is not
    // watched. A client removed during a round gets no further callback in that round. Called
    // on another thread while the loop's thread is inside this pair's callback, it waits for
    // the callback to return, so the client may then be destroyed.
    bool removeClient(int fd, ADispatcherClient::FdEventType eventType);

    // Runs one round of the calling thread's loop: waits up to timeoutMs for a watched
    // descriptor or a posted task (negative: no limit; 0: no wait), then calls back once per
    // ready (descriptor, event type) pair and runs the posted tasks. Returns the number of
    // callbacks and tasks run; 0 only when the time ran out or a signal interrupted the wait (a
    // wake-up with nothing to do, such as a stop(), does not end it early); -1 when called from
    // inside a round of the same loop or on any other failure, which is logged. An exception
    // from a callback or task passes out and leaves the loop usable.
    // Thread: the loop's thread.
    int listenOnce(time_t timeoutMs);

    // Runs rounds of the calling thread's loop until stop() is called. A descriptor that stays
    // ready (a datagram left queued while timers are disabled, say) is reported in every round,
    // so the loop then spins until the client reads it or is removed.
    void listen();

    // Makes every running listen() return after its current round, and wakes the loops that
    // are waiting. A listen() started afterwards runs until the next stop(); a listenOnce()
    // keeps its time.
    // Thread: any, including a callback.
    void stop();

    // The calling thread's loop, made on first use (as addClient/listenOnce make it).
    // 0 when it cannot be made (logged). Thread: any; the result names the caller's own loop.
    LoopId currentLoop();

    // Queues `task` to run once on the thread of `loop`, inside a round of that thread's
    // listenOnce()/listen(), in the order posted; never inside post() itself, also when the
    // caller is that thread. A task run counts as one callback in listenOnce's result.
    // Returns false, and destroys the task unrun before returning, when `loop` names no loop or
    // its thread has ended. A task still queued when the loop's thread ends is destroyed unrun
    // (its destructor runs, so a waiter can learn it was dropped).
    // Ownership: the dispatcher owns the task from the call on. Thread: any.
    bool post(LoopId loop, std::function<void()> task);

    // The calling thread's loop descriptor, for embedding in a foreign event loop: a
    // level-triggered epoll descriptor that is readable whenever listenOnce(0) on this thread
    // has work (a ready watched descriptor or a posted task). The dispatcher owns it; it closes
    // with the loop. -1 when the loop cannot be made (logged).
    // Thread: any; the descriptor belongs to the caller's own loop, served by listenOnce(0) on
    // that thread only.
    int getLoopDescriptor();

private:
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    struct Impl;
    Impl* impl_mp;
};

template <>
volatile Dispatcher* SingletonHolder<Dispatcher>::instance_spm;
template <>
pthread_mutex_t SingletonHolder<Dispatcher>::mutex_sm;

}  // namespace cmn

#endif  // EXPORT_COMMONDISPATCHER_H
