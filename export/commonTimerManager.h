// The timer service: one cmn::TimerManager per thread, its timer entries and the client
// interfaces.
//
// A thread gets its manager from cmn::SingletonPerThread<cmn::TimerManager>::getInstance() and
// starts one-shot or periodic timers in milliseconds or nanoseconds, or clock-synchronised
// timers that expire on wall-clock boundaries. Each expiry is carried from the timer driver's
// thread to the manager's own AF_UNIX datagram socket as a 4-byte datagram holding the timer
// id; the process's dispatcher (cmn::Dispatcher) finds the socket readable and the manager
// calls the client's timerExpired() on the dispatcher's thread.
//
// Ownership: the manager owns its entries, its id allocator and its command handler. It holds
// clients by plain pointer and never deletes them. User data attached to a timer stays the
// client's to detach; a cancel with deleteUserData deletes it; an entry deleted while user data
// is still attached lets go of it without deleting it (and logs "user error - leaking user
// data").
//
// Threads: nothing here takes a lock. The thread that owns a manager makes every timer
// operation and must also run the dispatcher loop (Dispatcher::listen or listenOnce) and the
// command server that serve the manager, so that callbacks and commands run on that thread.
//
// What a client may do inside timerExpired(): any timer operation of its thread's manager,
// including starting or cancelling the timer that is expiring, and changing the period of a
// periodic one. A one-shot timer is removed when its callback returns, whatever the callback
// did to it: to run it again, start a new one-shot timer. The callback must not destroy the
// manager (deleteInstance): the entry is read again after the callback returns.
//
// Process life: at exit() (or a return from main) the main thread's manager is destroyed after
// the application's own static objects, so a static client may still cancel its timers in its
// destructor; the socket files of managers that stay alive are removed. After fork() the child
// has no manager: its first getInstance() makes its own.
#ifndef EXPORT_COMMONTIMERMANAGER_H
#define EXPORT_COMMONTIMERMANAGER_H

#include <stddef.h>
#include <stdint.h>
#include <sys/un.h>

#include <atomic>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <utility>

#include "commonDispatcher.h"
#include "commonIdAllocator.h"
#include "dbgLog.h"
#include "mdfServer.h"
#include "ptimers.h"
#include "singletonPerThread.h"

namespace cmn {

// Data a client attaches to a timer; handed back on every expiry.
class PAUserData {
public:
    virtual ~PAUserData() {}
};

// Implemented by a timer's owner.
class PATimerClient {
public:
    virtual ~PATimerClient() {}
    // Called once per delivered expiry on the manager's thread; the result is ignored.
    virtual bool timerExpired(uint32_t timerId, PAUserData* userData_p) = 0;
    // The name printed in the timer's state line.
    virtual std::string getClientName() const = 0;
};

class TimerManager;
class TimerEntry;

// The context every entry hands to the driver with its timer. queuedExpiries_m counts the
// timer's expiry datagrams that are on their way: the driver callback adds one after each
// successful send (on the driver thread), the manager takes one off for each datagram it reads
// for the timer (on its own thread), and the entry reads it when it re-arms, to tell how many
// expiries of earlier armings are still queued on the callback socket. The counter sits in the
// id's padding, so the record takes 16 bytes.
struct TimerContext {
    // The timer's id, the payload of its expiry datagram.
    uint32_t timerId_m;
    // Expiry datagrams sent successfully for the timer and not read yet.
    std::atomic<uint32_t> queuedExpiries_m{0};
    // The manager whose callback socket receives the datagram.
    TimerManager* timerMgr_p;
};

namespace detail {

// Fixed-size slots for the timer entries and the timer table's nodes, from pools of the calling
// thread: no allocator header per slot and no lock. A slot is handed back on the thread that
// took it (a manager's entries and nodes come and go on its own thread). Null when the system
// refuses memory.
void* allocateTimerSlot(size_t size);
void releaseTimerSlot(void* slot_p, size_t size);
// Returns the memory of the calling thread's pools to the system when none of their slots is
// in use; the manager's destructor calls it after deleting its entries.
void releaseIdleTimerSlots();

// The timer table's allocator: a single node from the thread's slot pools, anything larger
// from operator new. Stateless: every instance frees what any other allocated.
template <typename T>
class TimerSlotAllocator {
public:
    typedef T value_type;
    TimerSlotAllocator() noexcept {}
    template <typename U>
    TimerSlotAllocator(const TimerSlotAllocator<U>&) noexcept {}
    T* allocate(size_t count) {
        if (count != 1) {
            return static_cast<T*>(::operator new(count * sizeof(T)));
        }
        void* slot_p = allocateTimerSlot(sizeof(T));
        if (slot_p == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(slot_p);
    }
    void deallocate(T* value_p, size_t count) noexcept {
        if (count != 1) {
            ::operator delete(value_p);
            return;
        }
        releaseTimerSlot(value_p, sizeof(T));
    }
};
template <typename T, typename U>
bool operator==(const TimerSlotAllocator<T>&, const TimerSlotAllocator<U>&) {
    return true;
}
template <typename T, typename U>
bool operator!=(const TimerSlotAllocator<T>&, const TimerSlotAllocator<U>&) {
    return false;
}

}  // namespace detail

// The timer table: a std::map from id to entry, ordered by id, whose nodes come from the
// thread's slot pools.
typedef std::map<uint32_t, TimerEntry*, std::less<uint32_t>,
                 detail::TimerSlotAllocator<std::pair<const uint32_t, TimerEntry*> > >
    TimerTableMap;

// A thread's timer manager: its timer table (a private map from id to entry), its callback
// socket and its commands. Reached only through SingletonPerThread<TimerManager>.
class TimerManager : private TimerTableMap, public ADispatcherClient {
public:
    // The unit of a period. The fixed underlying type keeps any other value well-defined: an
    // entry given one refuses to arm ("wrong granularity type").
    enum TimerGranularity : int { millisecondGranularity_c = 0, nanosecondGranularity_c = 1 };
    // The signature of a diagnostic command: argv[0] is the command word; the response is
    // appended to out_r; the result tells whether the command succeeded.
    typedef bool (TimerManager::*CommandFunction)(int argc, char** argv, std::string& out_r);

    // Starts a timer that expires once after periodInTimerGranularity units of
    // timerGranularity. True when the timer was entered; its id is then in timerId_r. While
    // timers are disabled the timer is entered but not started. After false, timerId_r may
    // hold an id that is not the caller's: do not use it.
    bool startOneShotTimer(uint32_t& timerId_r, uint32_t periodInTimerGranularity,
                           PATimerClient* client_p, PAUserData* userData_p,
                           TimerGranularity timerGranularity);
    // As startOneShotTimer, for a timer that expires every period until cancelled. The next
    // expiry is timed from the moment the previous one is processed.
    bool startPeriodicTimer(uint32_t& timerId_r, uint32_t periodInTimerGranularity,
                            PATimerClient* client_p, PAUserData* userData_p,
                            TimerGranularity timerGranularity);
    // A timer that expires on every wall-clock boundary of syncPeriodInSeconds (a multiple of
    // the period in seconds since the epoch), skipping a boundary that is less than
    // syncBoundaryInMilliseconds away. The period must be one of the 29 that divide the day on
    // the clock grid (1..30 s dividing 60, whole minutes dividing the hour, whole hours
    // dividing the day, below 86400 s); otherwise false and timerId_r is unchanged.
    bool startPeriodicClockSyncTimer(uint32_t& timerId_r, uint32_t syncPeriodInSeconds,
                                     uint32_t syncBoundaryInMilliseconds, PATimerClient* client_p,
                                     PAUserData* userData_p);
    // As startPeriodicClockSyncTimer, for a single expiry on the next boundary.
    bool startOneShotClockSyncTimer(uint32_t& timerId_r, uint32_t syncPeriodInSeconds,
                                    uint32_t syncBoundaryInMilliseconds, PATimerClient* client_p,
                                    PAUserData* userData_p);

    // Marks the timer not running (its client is not called again) and, with deleteUserData,
    // deletes its user data. The entry keeps its id until its armed expiry comes back.
    void cancelTimer(uint32_t timerId, bool deleteUserData);
    // cancelTimer for every timer of client_p, in ascending id order.
    void cancelAllTimersForClient(PATimerClient* client_p, bool deleteUserData);
    // Restarts the timer with a new period, timed from now: its next expiry comes one new
    // period after the call, never earlier. An expiry of the old period that was already on its
    // way (fired by the driver, not yet delivered) is dropped: it counts as a timeout and a
    // zombie timeout, and the client is not called for it. Works on running and cancelled
    // timers, and on a periodic timer from inside its own callback. A one-shot timer that calls
    // this from inside its own callback is still removed when the callback returns (true is
    // returned, but the restart is lost): start a new one-shot timer there instead.
    // True while timers are disabled (nothing changes then); otherwise false only when the id
    // is unknown.
    bool changeTimerPeriod(uint32_t timerId, uint32_t newPeriodInTimerGranularity,
                           TimerGranularity timerGranularity);
    // Hands the timer's user data to the caller (null when none) and clears it in the entry.
    // True when the pointer handed over is not null; false, userData_rp untouched, for an
    // unknown id.
    bool detachUserDataFromTimer(uint32_t timerId, PAUserData*& userData_rp);
    // Copies the timer's user-data pointer to the caller; the entry keeps it.
    bool accessUserDataFromTimer(uint32_t timerId, PAUserData*& userData_rp);
    // True when the timer has user data; false, logged, for an unknown id.
    bool timerHasUserData(uint32_t timerId) const;
    // True during the whole second that starts on a multiple of intervalInSeconds since the
    // epoch; false for 0.
    bool isCurrentTimeSyncedToInterval(uint16_t intervalInSeconds) const;
    // Read events handled on the callback socket.
    uint32_t getTimeoutCount() const;
    // False between "tmgr-disable-timers" and "tmgr-enable-timers".
    bool isTimersEnabled() const;

    // The callback socket, created and bound on the first call (by the dispatcher during
    // construction). Negative when it could not be made.
    int getPrimarySocket() override;
    // The callback socket's descriptor; -1 while there is none.
    int getCbSocket() const;
    // A copy of the callback socket's address.
    sockaddr_un getCbAddress();
    // "cmn::TimerManager", whatever the descriptor.
    std::string getSocketName(int socketFd) const override;
    // Reads and delivers one expiry datagram (none while timers are disabled: it stays
    // queued). False for a descriptor that is not the callback socket.
    bool socketCallback(int socketFd) override;
    // The "TimerManager" log module, owned by the logger; entries log through it.
    const DbgModuleDescriptor* getDbgModuleDescriptor() const;

    // The driver's expiry callback: sends the context's timer id to the callback socket. Runs
    // on a driver thread and touches nothing but the socket and syslog.
    static void ptimerCallback(void* c_p);

private:
    friend class SingletonPerThread<TimerManager>;
    typedef TimerTableMap TimerTable;
    typedef mdf::ACommandHandler<TimerManager, CommandFunction> CommandHandler;

    TimerManager();
    ~TimerManager() override;
    TimerManager(const TimerManager&) = delete;
    TimerManager& operator=(const TimerManager&) = delete;

    // Where an expiry comes from: a datagram read from the callback socket may be stale (see
    // TimerEntry::consumeDatagram); a simulated one is always delivered.
    enum ExpiryOrigin { simulatedExpiry_c, datagramExpiry_c };
    bool triggerTimerEntry(uint32_t timerId, const sockaddr_un& srcAddr);
    bool triggerTimerEntry(uint32_t timerId, const sockaddr_un& srcAddr, ExpiryOrigin origin);
    bool isValidPeriodForClockSyncTimer(const uint32_t& syncPeriodInSeconds) const;

    bool getValidIndex(uint32_t& index);
    bool registerSubscriberToTimer(uint32_t timerId, uint32_t periodInTimerGranularity,
                                   TimerGranularity timerGranularity, PATimerClient* client_p,
                                   PAUserData* userData_p, bool isOneShotTimer,
                                   bool isClockSyncTimer, uint32_t syncBoundaryInMilliseconds);
    void deregisterSubscriberToTimer(uint32_t timerId, bool deleteUserData);
    // find(), with the table's last key tried first.
    iterator findNewestFirst(uint32_t timerId);
    void deleteSubscriberIfApplicable(const iterator& it, bool forceDelete);
    // The entry of timerId for the user-data operations, or null (logged) when it is unknown.
    TimerEntry* findForUserData(uint32_t timerId, const char* operation_p) const;
    // The two clock-synchronised starts: the period checked, then privateStartTimer.
    bool startClockSyncTimer(uint32_t& timerId_r, uint32_t syncPeriodInSeconds,
                             uint32_t syncBoundaryInMilliseconds, PATimerClient* client_p,
                             PAUserData* userData_p, bool isOneShot);
    bool privateStartTimer(uint32_t& timerId_r, uint32_t periodInTimerGranularity,
                           TimerGranularity timerGranularity, PATimerClient* client_p,
                           PAUserData* userData_p, bool isOneShot, bool isClockSync,
                           uint32_t syncBoundaryInMilliseconds);

    void setupMdfHandlers();
    bool addExtraMdfCommands(int argc, char** argv, std::string& out_r);
    bool showState(int argc, char** argv, std::string& out_r);
    bool disableTimers(int argc, char** argv, std::string& out_r);
    bool enableTimers(int argc, char** argv, std::string& out_r);
    bool simulateStuff(int argc, char** argv, std::string& out_r);

    int cbSocket_m;
    char cbsocket_file[256];
    sockaddr_un cbAddr_m;
    uint32_t timeoutCount_m;
    uint32_t totalUserCount_m;
    uint32_t zombieTimeouts_m;
    bool timersEnabled_m;
    IdAllocator* idAllocator_mp;
    const DbgModuleDescriptor* dbgDescriptorTimerManager_m;
    CommandHandler mdfHandler_m;
    // Entries removed from the table so far: the expiry path re-reads the table after a client
    // callback only when this moved.
    uint32_t tableRemovals_m;
};

// One timer of a manager: its driver timer, client, period, user data and counters.
// Entries are heap objects that never move: the driver keeps the addresses of timer_m and
// context_m. An entry logs through the calling thread's manager.
class TimerEntry {
public:
    // Creates the driver timer (absolute for a clock-sync timer) with the calling thread's
    // manager in its context; a failed creation is only logged. Does not start the timer.
    TimerEntry(PATimerClient* client_p, uint32_t timerId, uint32_t periodInTimerGranularity,
               TimerManager::TimerGranularity timerGranularity, PAUserData* userData_p,
               bool oneShotTimer, bool clockSyncTimer, uint32_t syncBoundaryInMilliseconds);
    // Deletes the driver timer; user data still attached is let go of, not deleted.
    ~TimerEntry();
    // Takes the entry's memory from a slot of the calling thread's pools (see
    // detail::allocateTimerSlot); throws std::bad_alloc when the system refuses memory.
    static void* operator new(size_t size);
    // As above, but null when the system refuses memory.
    static void* operator new(size_t size, const std::nothrow_t&) noexcept;
    // Hands the slot back to the calling thread's pools: delete an entry on the thread that
    // created it.
    static void operator delete(void* entry_p, size_t size) noexcept;

    // Arms the driver timer for the next expiry; a failure leaves the entry cancelled. Expiries
    // of earlier armings that are still queued become stale (see consumeDatagram).
    void startTimer();
    // Marks the entry not running; the driver timer stays armed.
    void cancelTimer();
    // Counts the expiry (when running), re-arms a periodic timer, then calls the client. An
    // exception from the client passes through unchanged: the expiry stays counted and a
    // periodic timer re-armed, but the entry's trace is skipped and the manager does not remove
    // a one-shot timer.
    void timeout();
    // Counts one expiry datagram read for this entry from the callback socket. True when it is
    // stale: sent by an arming that a later arming replaced (a restart), so its expiry must not
    // reach the client. Thread: the manager's.
    bool consumeDatagram();
    // Stores the new period and granularity and restarts the timer. Always true.
    bool reset(uint32_t period, TimerManager::TimerGranularity timerGranularity);
    // True for a one-shot entry: it may leave the table after its expiry.
    bool canBeDeleted() const { return isOneShotTimer_m; }
    // True when client_p is this entry's client (the same object).
    bool hasClient(const PATimerClient* client_p) const;
    // True while user data is attached.
    bool hasUserData() const;
    // Copies the user-data pointer (null when none) to the caller; the entry keeps the object.
    bool accessUserData(PAUserData*& userData_rp);
    // Hands the user data to the caller and clears it here; true when it was not null.
    bool detachUserData(PAUserData*& userData_rp);
    // Appends the entry's two state lines; `details` changes nothing.
    void showState(std::string& out_r, bool details) const;

    // True from a successful arming until a cancel or a failed arming; it stays true after a
    // one-shot's expiry.
    bool isRunning() const { return timerRunning_m; }
    // One-shot (true) or periodic, as given at construction.
    bool isOneShotTimer() const;
    // Expiring on wall-clock boundaries, as given at construction.
    bool isClockSyncTimer() const;
    // The unit of the period, as last set by construction or reset().
    TimerManager::TimerGranularity getTimerGranularity() const;
    // The period in that unit (milliseconds for a clock-sync timer).
    uint32_t getPeriodInTimerGranularity() const;
    // The seconds last given to the driver: a delay, or for a clock-sync timer the absolute
    // expiry in seconds since the epoch.
    uint32_t getSeconds() const;
    // The nanoseconds last given to the driver (0 for a clock-sync timer).
    uint32_t getNanoSeconds() const;
    // Expiries that arrived while the entry was running.
    uint32_t getTimeoutCount() const;

private:
    TimerEntry() = delete;
    TimerEntry(const TimerEntry&) = delete;
    TimerEntry& operator=(const TimerEntry&) = delete;

    bool getRemainingMillisecondsInPeriod(uint32_t periodInMilliseconds,
                                          uint32_t& millisecondsRemainingInPeriod_r) const;
    bool computeClockSyncExpiry();
    bool computeRelativeExpiry();
    int armDriverTimer();

    // Ordered so that no padding is left between the members, the flags packed beside the
    // stale count: every pending timer has an entry, so its size (80 bytes) is a large part of
    // the memory per timer.
    PATimerClient* client_mp;
    PAUserData* userData_mp;
    ptimer timer_m;
    TimerContext context_m;
    uint32_t timerId_m;
    uint32_t periodInTimerGranularity_m;
    TimerManager::TimerGranularity timerGranularity_m;
    uint32_t seconds_m;
    uint32_t nanoSeconds_m;
    uint32_t timeoutCount_m;
    uint32_t syncBoundaryInMilliseconds_m;
    // How many of the datagrams queued for this entry came from armings that were replaced
    // (see consumeDatagram). 24 bits count more datagrams than a socket can hold.
    uint32_t staleDatagrams_m : 24;
    bool isOneShotTimer_m : 1;
    bool isClockSyncTimer_m : 1;
    bool timerRunning_m : 1;
    // An arming was made whose expiry has not been read yet (it may be pending, in flight or
    // queued).
    bool expiryOutstanding_m : 1;
};

template <>
pthread_key_t SingletonPerThread<TimerManager>::singleton_key_sm;
template <>
pthread_once_t SingletonPerThread<TimerManager>::singleton_key_once_sm;

}  // namespace cmn

#endif  // EXPORT_COMMONTIMERMANAGER_H
