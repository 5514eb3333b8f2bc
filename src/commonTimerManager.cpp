// The timer service: the per-thread timer manager, its timer entries, clock-synchronised
// timing, the timer table, the timer operations, the expiry path and the diagnostic commands.
//
// Every message goes through the "TimerManager" debug-log module: the manager logs through its
// own handle, an entry through the manager of the calling thread. The driver callback runs on
// a driver thread and reports through syslog only.
#include "commonTimerManager.h"

#include <assert.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <iterator>
#include <list>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <vector>

// A debug trace. Traces sit on every start, cancel and expiry, and the logger's variadic
// methods are never inlined: the level test is made here, inline, so that a filtered trace costs
// a load and a compare instead of a call with all its arguments. A macro keeps the format a
// literal at the call site, where the compiler checks it against its values.
#define CTM_TRACE(log_p, ...)                                          \
    do {                                                               \
        const DbgModuleDescriptor* traceLog_p = (log_p);               \
        if (traceLog_p->isEnabled(DBGLEVEL_DEBUG)) {                   \
            traceLog_p->dbgLog_debug(__FILE__, __LINE__, __VA_ARGS__); \
        }                                                              \
    } while (0)

namespace cmn {

template <>
pthread_key_t SingletonPerThread<TimerManager>::singleton_key_sm = 0;
template <>
pthread_once_t SingletonPerThread<TimerManager>::singleton_key_once_sm = PTHREAD_ONCE_INIT;

namespace {

const char* const callbackSocketBase = "/tmp/timer_manager_cb.socket";
const char* const moduleName = "TimerManager";
const char* const handlerName = "cmn::TimerManager";
const char* const socketName = "cmn::TimerManager";
const uint32_t idAllocatorCacheSize = 8;

const uint32_t secondsPerDay = 86400;
const uint32_t secondsPerHour = 3600;
const uint32_t secondsPerMinute = 60;

const char* boolText(bool value) { return value ? "true" : "false"; }

const char* granularityText(TimerManager::TimerGranularity timerGranularity) {
    return timerGranularity == TimerManager::millisecondGranularity_c ? "millisecondGranularity_c"
                                                                      : "nanosecondGranularity_c";
}

// The calling thread's manager, beside its thread key: an entry reaches its manager on every
// construction, arming and trace, and a thread-local load is far cheaper than pthread_once and
// two pthread_getspecific calls. Set as the manager is made, cleared as the last step of its
// destruction and in a child of fork(): it is either null or the key's value.
thread_local TimerManager* threadManager_g = nullptr;

// The calling thread's manager, made on first use as SingletonPerThread makes it.
TimerManager& threadManager() {
    TimerManager* manager_p = threadManager_g;
    return manager_p != nullptr ? *manager_p : SingletonPerThread<TimerManager>::getInstance();
}

// The module handle of the calling thread's manager. Entries log through it.
const DbgModuleDescriptor* threadLog() { return threadManager().getDbgModuleDescriptor(); }

[[noreturn]] void exitProcess(const DbgModuleDescriptor* log_p, const char* message_p) {
    log_p->dbgLog_critical(__FILE__, __LINE__, "%s", message_p);
    exit(1);
}

}  // namespace

// ============================================================================================
// Process life: exit() and fork()
// ============================================================================================

namespace {

// The callback sockets of this process's live managers, so that none stays behind after a
// normal exit: the main thread's manager is not reached by the thread-key destructors (they run
// when a thread ends, not at exit()), and other threads may still run. The registry is never
// deleted, so a thread that outlives the static destructors can still withdraw its manager's
// socket; its lock is held across fork() so that a child never inherits it held.
struct SocketRecord {
    const TimerManager* manager_mp;
    pid_t pid_m;  // a child's copy of its parent's records is never acted on
    char path_m[sizeof(sockaddr_un().sun_path)];
};
struct SocketRegistry {
    std::mutex mutex_m;
    std::vector<SocketRecord> records_m;
};
SocketRegistry& socketRegistry() {
    static SocketRegistry* const registry_p = new SocketRegistry();
    return *registry_p;
}

std::once_flag forkHookOnce_g;

// Client callbacks running on this thread: exit() from inside one must not destroy the manager
// whose frames are still below it.
thread_local int clientCallDepth_g = 0;

// Counts one client call for as long as it runs, also when the client throws.
class ClientCallScope {
public:
    ClientCallScope() { ++clientCallDepth_g; }
    ~ClientCallScope() { --clientCallDepth_g; }
    ClientCallScope(const ClientCallScope&) = delete;
    ClientCallScope& operator=(const ClientCallScope&) = delete;
};

// What a child of fork() inherited from the forking thread: kept reachable, never used.
TimerManager* inheritedManager_gp = nullptr;

bool onMainThread() { return getpid() == gettid(); }

void registerCallbackSocket(const TimerManager* manager_p, const sockaddr_un& address_r) {
    SocketRecord record = {manager_p, getpid(), {}};
    memcpy(record.path_m, address_r.sun_path, sizeof(record.path_m));
    record.path_m[sizeof(record.path_m) - 1] = '\0';
    SocketRegistry& registry = socketRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex_m);
    registry.records_m.push_back(record);
}

void withdrawCallbackSocket(const TimerManager* manager_p) {
    SocketRegistry& registry = socketRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex_m);
    for (std::vector<SocketRecord>::iterator it = registry.records_m.begin();
         it != registry.records_m.end(); ++it) {
        if (it->manager_mp == manager_p && it->pid_m == getpid()) {
            registry.records_m.erase(it);
            return;
        }
    }
}

bool hasCallbackSockets() {
    SocketRegistry& registry = socketRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex_m);
    for (const SocketRecord& record : registry.records_m) {
        if (record.pid_m == getpid()) {
            return true;
        }
    }
    return false;
}

// The files of managers that stay alive through the exit; the managers themselves are left
// alone (no lock of theirs, no join, nothing freed).
void unlinkRemainingCallbackSockets() {
    SocketRegistry& registry = socketRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex_m);
    std::vector<SocketRecord> others;
    for (const SocketRecord& record : registry.records_m) {
        if (record.pid_m == getpid()) {
            unlink(record.path_m);
        } else {
            others.push_back(record);
        }
    }
    registry.records_m.swap(others);
}

// exit() on the main thread, outside any client callback: the main thread's manager is
// destroyed in full (handler withdrawn, driver shut down, socket closed and unlinked, entries
// deleted). Otherwise the main thread may still be using its manager, or is inside it. Every
// socket file still registered after that, of the main thread's manager in use or of other
// threads' managers, is removed.
void releaseManagersAtExit() {
    if (!hasCallbackSockets()) {
        return;
    }
    if (onMainThread() && clientCallDepth_g == 0) {
        SingletonPerThread<TimerManager>::deleteInstance();
    }
    unlinkRemainingCallbackSockets();
}

// Constructed when the library is loaded, before any static object of the application, so it
// is destroyed after all of them (static destructors and exit handlers run in the reverse order
// of their registration): a static client that cancels its timers in its destructor still finds
// the main thread's manager. Exit handlers registered later, such as the command server's, have
// run by then; the dispatcher, the logger and the command server themselves are never deleted.
struct ManagerReaper {
    ~ManagerReaper() { releaseManagersAtExit(); }
};
ManagerReaper managerReaper_g;

void lockRegistryForFork() { socketRegistry().mutex_m.lock(); }

void unlockRegistryAfterFork() { socketRegistry().mutex_m.unlock(); }

// A child of fork() has a copy of the forking thread's manager, whose socket it shares with the
// parent and whose timers belong to the parent's driver instance: using or destroying the copy
// would read the parent's expiries, unlink the parent's socket file or deregister the parent's
// socket. So the child forgets it: the thread's key no longer names it, and the registry's
// records of the parent are not the child's. The child's first getInstance() then makes a
// manager of its own (the driver and the dispatcher give a child a fresh instance and loop).
// Only calls that are safe in a child of a threaded process are made.
void forgetManagerInChild() {
    pthread_key_t key = SingletonPerThread<TimerManager>::getSingletonKey();
    void* inherited_p = pthread_getspecific(key);
    if (inherited_p != nullptr) {
        inheritedManager_gp = static_cast<TimerManager*>(inherited_p);
        pthread_setspecific(key, nullptr);
    }
    threadManager_g = nullptr;
    unlockRegistryAfterFork();
}

// Runs at the end of every construction; the fork hooks are installed once per process.
void watchProcessLife(const TimerManager* manager_p, const DbgModuleDescriptor* log_p,
                      const sockaddr_un& address_r) {
    std::call_once(forkHookOnce_g, [log_p] {
        if (pthread_atfork(lockRegistryForFork, unlockRegistryAfterFork, forgetManagerInChild) !=
            0) {
            log_p->dbgLog_critical(__FILE__, __LINE__, "%s",
                                   "pthread_atfork failed: a forked child may destroy the "
                                   "parent's manager");
        }
    });
    registerCallbackSocket(manager_p, address_r);
}

}  // namespace

// ============================================================================================
// Slot pools of the timer entries and the timer table's nodes
// ============================================================================================

namespace detail {

namespace {

// The address sanitizer finds a use after free only in memory that goes back to its own
// allocator, so its builds leave pooling out.
#if defined(__SANITIZE_ADDRESS__)
const bool kPoolSlots = false;
#else
const bool kPoolSlots = true;
#endif

// Slots are cut from chunks of about 64 KiB, first by bumping through the newest chunk (so a
// page is touched only when a slot on it is first used), then from the freed slots, which are
// linked through their first word. A thread's pools are plain data in thread-local storage:
// nothing runs at thread exit, and a manager destroyed by the thread-key destructor (which
// runs after the thread-local destructors) still finds them.
struct SlotChunk {
    SlotChunk* next_mp;
    // The slots follow the header, aligned for any fundamental type.
    alignas(alignof(max_align_t)) char slots_m[1];
};

struct SlotPool {
    size_t live_m;
    void* freeList_mp;
    char* bump_mp;
    char* bumpEnd_mp;
    SlotChunk* chunks_mp;
};

const size_t kChunkBytes = 64 * 1024 - 64;  // leaves room for malloc's own header
// One pool per size class of 8 bytes, the alignment of the entry and of the node (pointers and
// 32-bit fields only), up to kMaxSlotSize: a size finds its pool by index, with no search.
const size_t kSlotGranule = 8;
const size_t kMaxSlotSize = 128;

thread_local SlotPool slotPools_g[kMaxSlotSize / kSlotGranule];

// The pool of slots of `size` bytes, or null for a size that is not pooled (0, or above
// kMaxSlotSize; the address sanitizer's builds pool nothing).
SlotPool* poolFor(size_t size, size_t& slotSize_r) {
    const size_t index = (size - 1) / kSlotGranule;  // a size of 0 wraps round to no pool
    if (!kPoolSlots || index >= kMaxSlotSize / kSlotGranule) {
        return nullptr;
    }
    slotSize_r = (index + 1) * kSlotGranule;
    return &slotPools_g[index];
}

bool addChunk(SlotPool& pool_r) {
    SlotChunk* chunk_p = static_cast<SlotChunk*>(malloc(kChunkBytes));
    if (chunk_p == nullptr) {
        return false;
    }
    chunk_p->next_mp = pool_r.chunks_mp;
    pool_r.chunks_mp = chunk_p;
    pool_r.bump_mp = chunk_p->slots_m;
    pool_r.bumpEnd_mp = reinterpret_cast<char*>(chunk_p) + kChunkBytes;
    return true;
}

}  // namespace

// The pool is reached once: each reach of thread-local storage is a call in a shared library.
void* allocateTimerSlot(size_t size) {
    size_t slotSize = 0;
    SlotPool* pool_p = poolFor(size, slotSize);
    if (pool_p == nullptr) {
        return malloc(size);
    }
    void* slot_p = pool_p->freeList_mp;
    if (slot_p != nullptr) {
        pool_p->freeList_mp = *static_cast<void**>(slot_p);
    } else {
        if (static_cast<size_t>(pool_p->bumpEnd_mp - pool_p->bump_mp) < slotSize &&
            !addChunk(*pool_p)) {
            return nullptr;
        }
        slot_p = pool_p->bump_mp;
        pool_p->bump_mp += slotSize;
    }
    ++pool_p->live_m;
    return slot_p;
}

void releaseTimerSlot(void* slot_p, size_t size) {
    if (slot_p == nullptr) {
        return;
    }
    size_t slotSize = 0;
    SlotPool* pool_p = poolFor(size, slotSize);
    if (pool_p == nullptr) {
        free(slot_p);
        return;
    }
    *static_cast<void**>(slot_p) = pool_p->freeList_mp;
    pool_p->freeList_mp = slot_p;
    --pool_p->live_m;
}

void releaseIdleTimerSlots() {
    for (SlotPool& pool_r : slotPools_g) {
        if (pool_r.live_m != 0) {
            continue;
        }
        while (pool_r.chunks_mp != nullptr) {
            SlotChunk* chunk_p = pool_r.chunks_mp;
            pool_r.chunks_mp = chunk_p->next_mp;
            free(chunk_p);
        }
        pool_r.freeList_mp = nullptr;
        pool_r.bump_mp = nullptr;
        pool_r.bumpEnd_mp = nullptr;
    }
}

}  // namespace detail

// ============================================================================================
// Lifecycle: construction, the callback socket, destruction, accessors
// ============================================================================================

namespace {

const DbgModuleDescriptor* registerLogModule() {
    DebugLogger& logger = SingletonHolder<DebugLogger>::getInstance();
    // The logger's own setup result does not stop the manager: it can log either way.
    logger.initialize(moduleName);
    const DbgModuleDescriptor* log_p = logger.registerModule(moduleName);
    // The logger owns the handle and hands it out const; setting its level is the logger's
    // own business, reached through the non-const parameter it declares.
    if (!logger.setModuleDebugLevel(const_cast<DbgModuleDescriptor*>(log_p), DBGLEVEL_INFO)) {
        log_p->dbgLog_critical(__FILE__, __LINE__, "%s",
                               "set module debugLevel DBGLEVEL_INFO failed");
    }
    return log_p;
}

void initTimerDriver(const DbgModuleDescriptor* log_p) {
    if (ptimer_init_default() != 0) {
        log_p->dbgLog_critical(__FILE__, __LINE__, "%s", "ptimer_init_default failed");
    }
}

// "/tmp/timer_manager_cb.socket.PID<pid>.TID<thread>": one path per process and thread, so a
// manager created again on the same thread binds the same path (destruction unlinks it).
void buildCallbackAddress(const DbgModuleDescriptor* log_p, char (&path_r)[256],
                          sockaddr_un& address_r) {
    memset(&address_r, 0, sizeof(address_r));
    address_r.sun_family = AF_UNIX;
    if (snprintf(path_r, sizeof(path_r), "%s.PID%d.TID%lu", callbackSocketBase,
                 static_cast<int>(getpid()), static_cast<unsigned long>(pthread_self())) == -1) {
        log_p->dbgLog_critical(__FILE__, __LINE__, "%s", "snprintf error");
    }
    // strncpy's effect, at most 108 bytes over the zero-filled address, spelt so that the
    // compiler does not flag the bound; the path is far shorter, so it stays terminated.
    memcpy(address_r.sun_path, path_r, strnlen(path_r, sizeof(address_r.sun_path)));
}

// A construction that ends the process after the socket was bound removes the socket's file
// first: the manager never reaches the thread's key, so nothing else would.
void discardCallbackSocket(TimerManager& manager_r) {
    if (manager_r.getCbSocket() < 0) {
        return;
    }
    close(manager_r.getCbSocket());
    unlink(manager_r.getCbAddress().sun_path);
}

// The dispatcher calls getPrimarySocket() inside addClient, which makes the socket.
void registerWithDispatcher(TimerManager& manager_r, const DbgModuleDescriptor* log_p) {
    if (!SingletonHolder<Dispatcher>::getInstance().addClient(&manager_r,
                                                              ADispatcherClient::fdReadEvent_c)) {
        discardCallbackSocket(manager_r);
        exitProcess(log_p, "Dispatcher register failed.");
    }
    if (manager_r.getCbSocket() == -1) {
        exitProcess(log_p, "Can not create callback socket");
    }
}

IdAllocator* createIdAllocator(TimerManager& manager_r, const DbgModuleDescriptor* log_p) {
    IdAllocator* allocator_p = new (std::nothrow) IdAllocator(idAllocatorCacheSize);
    if (allocator_p == nullptr) {
        SingletonHolder<Dispatcher>::getInstance().removeClient(manager_r.getCbSocket(),
                                                                ADispatcherClient::fdReadEvent_c);
        discardCallbackSocket(manager_r);
        exitProcess(log_p, "id Allocator create failed");
    }
    return allocator_p;
}

// Each step runs whatever the previous one returned.
void releaseCallbackSocket(const DbgModuleDescriptor* log_p, int socketFd, const char* path_p) {
    if (!SingletonHolder<Dispatcher>::getInstance().removeClient(
            socketFd, ADispatcherClient::fdReadEvent_c)) {
        log_p->dbgLog_critical(__FILE__, __LINE__, "Failed to remove client %d: %m", socketFd);
    }
    if (close(socketFd) < 0) {
        log_p->dbgLog_critical(__FILE__, __LINE__, "Failed to close %d : %m", socketFd);
    }
    if (unlink(path_p) < 0) {
        log_p->dbgLog_critical(__FILE__, __LINE__, "Failed to unlink file %s : %m", path_p);
    }
}

}  // namespace

TimerManager::TimerManager()
    : TimerTable(),
      ADispatcherClient(),
      cbSocket_m(-1),
      cbsocket_file(),
      cbAddr_m(),
      timeoutCount_m(0),
      totalUserCount_m(0),
      zombieTimeouts_m(0),
      timersEnabled_m(true),
      idAllocator_mp(nullptr),
      dbgDescriptorTimerManager_m(nullptr),
      mdfHandler_m(handlerName),
      tableRemovals_m(0) {
    dbgDescriptorTimerManager_m = registerLogModule();
    initTimerDriver(dbgDescriptorTimerManager_m);
    buildCallbackAddress(dbgDescriptorTimerManager_m, cbsocket_file, cbAddr_m);
    registerWithDispatcher(*this, dbgDescriptorTimerManager_m);
    idAllocator_mp = createIdAllocator(*this, dbgDescriptorTimerManager_m);
    setupMdfHandlers();
    watchProcessLife(this, dbgDescriptorTimerManager_m, cbAddr_m);
    // Only SingletonPerThread makes a manager, and it stores it under the thread's key next.
    threadManager_g = this;
}

// The command handler is withdrawn first, so that no command runs on what is being freed. The
// driver is shut down next, so no callback sends on the socket while it is closed and no
// callback reads an entry while it is deleted.
TimerManager::~TimerManager() {
    SingletonHolder<mdf::Server>::getInstance().deregisterHandler(&mdfHandler_m);
    CTM_TRACE(dbgDescriptorTimerManager_m, "%s", "calling TimerManager::~TimerManager()");
    withdrawCallbackSocket(this);
    ptimer_shutdown();
    if (cbSocket_m >= 0) {
        releaseCallbackSocket(dbgDescriptorTimerManager_m, cbSocket_m, cbsocket_file);
    }
    // Ids are not handed back: the allocator goes with the manager.
    for (iterator it = begin(); it != end(); ++it) {
        delete it->second;
    }
    clear();
    if (idAllocator_mp != nullptr) {
        delete idAllocator_mp;
        idAllocator_mp = nullptr;
    }
    detail::releaseIdleTimerSlots();
    // Entries deleted above still logged through this manager, as the thread's key names it
    // while SingletonPerThread deletes it.
    if (threadManager_g == this) {
        threadManager_g = nullptr;
    }
}

// Made on the first call only. The socket is close-on-exec and made owner-only before bind,
// so its file never exists with wider permissions. Nothing is unlinked first: a file left at
// the path makes the bind fail.
int TimerManager::getPrimarySocket() {
    if (cbSocket_m != -1) {
        return cbSocket_m;
    }
    cbSocket_m = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // The trace must not change the errno that the failure report prints.
    int socketErrno = errno;
    CTM_TRACE(dbgDescriptorTimerManager_m, "cbSocket_m(%d)", cbSocket_m);
    if (cbSocket_m < 0) {
        errno = socketErrno;
        dbgDescriptorTimerManager_m->dbgLog_critical(__FILE__, __LINE__, "%s : %m",
                                                     "create cbSocket_m failed");
        return cbSocket_m;
    }
    if (fchmod(cbSocket_m, S_IRUSR | S_IWUSR) == -1) {
        dbgDescriptorTimerManager_m->dbgLog_critical(__FILE__, __LINE__, "%s : %m",
                                                     "restrict cbSocket_m permissions failed");
        close(cbSocket_m);
        cbSocket_m = -1;
        return -1;
    }
    if (bind(cbSocket_m, reinterpret_cast<const sockaddr*>(&cbAddr_m), sizeof(cbAddr_m)) == -1) {
        dbgDescriptorTimerManager_m->dbgLog_critical(__FILE__, __LINE__, "%s : %m",
                                                     "Bad bind return code");
        close(cbSocket_m);
        cbSocket_m = -1;
        return -1;
    }
    CTM_TRACE(dbgDescriptorTimerManager_m, "get primary socket successful : cbSocket_m(%d)",
              cbSocket_m);
    return cbSocket_m;
}

int TimerManager::getCbSocket() const { return cbSocket_m; }

sockaddr_un TimerManager::getCbAddress() { return cbAddr_m; }

std::string TimerManager::getSocketName(int /*socketFd*/) const { return socketName; }

const DbgModuleDescriptor* TimerManager::getDbgModuleDescriptor() const {
    return dbgDescriptorTimerManager_m;
}

// ============================================================================================
// Timer entry
// ============================================================================================

TimerEntry::TimerEntry(PATimerClient* client_p, uint32_t timerId, uint32_t periodInTimerGranularity,
                       TimerManager::TimerGranularity timerGranularity, PAUserData* userData_p,
                       bool oneShotTimer, bool clockSyncTimer, uint32_t syncBoundaryInMilliseconds)
    : client_mp(client_p),
      userData_mp(userData_p),
      timer_m(),
      context_m(),
      timerId_m(timerId),
      periodInTimerGranularity_m(periodInTimerGranularity),
      timerGranularity_m(timerGranularity),
      seconds_m(0),
      nanoSeconds_m(0),
      timeoutCount_m(0),
      syncBoundaryInMilliseconds_m(syncBoundaryInMilliseconds),
      staleDatagrams_m(0),
      isOneShotTimer_m(oneShotTimer),
      isClockSyncTimer_m(clockSyncTimer),
      timerRunning_m(false),
      expiryOutstanding_m(false) {
    memset(&timer_m, 0, sizeof(timer_m));
    context_m.timerId_m = timerId_m;
    context_m.timerMgr_p = &threadManager();
    // A failed creation is only reported: the entry is used as if it had worked, and its
    // arming then fails and leaves it cancelled.
    if (isClockSyncTimer_m) {
        if (ptimer_create_cs(&timer_m, &TimerManager::ptimerCallback, &context_m) != 0) {
            context_m.timerMgr_p->getDbgModuleDescriptor()->dbgLog_critical(
                __FILE__, __LINE__, "%s", "clockSyncTimer_create failed");
        }
    } else if (ptimer_create(&timer_m, &TimerManager::ptimerCallback, &context_m) != 0) {
        context_m.timerMgr_p->getDbgModuleDescriptor()->dbgLog_critical(__FILE__, __LINE__, "%s",
                                                                        "ptimer_create failed");
    }
}

// Slots are aligned to 8 bytes (see kSlotGranule).
static_assert(alignof(TimerEntry) <= 8, "a timer entry needs more than a slot's alignment");
static_assert(sizeof(void*) != 8 || sizeof(TimerEntry) <= 80, "a timer entry grew past 80 bytes");

void* TimerEntry::operator new(size_t size) {
    void* slot_p = detail::allocateTimerSlot(size);
    if (slot_p == nullptr) {
        throw std::bad_alloc();
    }
    return slot_p;
}

void* TimerEntry::operator new(size_t size, const std::nothrow_t&) noexcept {
    return detail::allocateTimerSlot(size);
}

void TimerEntry::operator delete(void* entry_p, size_t size) noexcept {
    detail::releaseTimerSlot(entry_p, size);
}

// Deleting the driver timer ends it; nothing is cancelled first. User data still attached is
// the client's: it is let go of, never deleted here.
TimerEntry::~TimerEntry() {
    const DbgModuleDescriptor* log_p = threadLog();
    CTM_TRACE(log_p, "%s", "calling TimerEntry::~TimerEntry()");
    if (userData_mp != nullptr) {
        userData_mp = nullptr;
        log_p->dbgLog_critical(__FILE__, __LINE__, "%s", "user error - leaking user data");
    }
    if (ptimer_delete(&timer_m) != 0) {
        log_p->dbgLog_critical(__FILE__, __LINE__, "%s", "ptimer_delete failed");
    }
}

// The driver arms for a single expiry; periodic entries are re-armed by timeout().
void TimerEntry::startTimer() {
    const DbgModuleDescriptor* log_p = threadLog();
    CTM_TRACE(log_p,
              "isClockSyncTimer_m(%s),                   timerGranularity_m(%s), "
              "periodInTimerGranularity_m(%d)                   , "
              "syncBoundaryInMilliseconds_m(%d)",
              boolText(isClockSyncTimer_m), granularityText(timerGranularity_m),
              static_cast<int>(periodInTimerGranularity_m),
              static_cast<int>(syncBoundaryInMilliseconds_m));
    bool computed = isClockSyncTimer_m ? computeClockSyncExpiry() : computeRelativeExpiry();
    if (!computed) {
        return;
    }
    if (armDriverTimer() != 0) {
        cancelTimer();
        log_p->dbgLog_critical(__FILE__, __LINE__, "%s", "ptimer_start_once failed");
        return;
    }
    timerRunning_m = true;
    CTM_TRACE(log_p, "%s", "finish start Timer");
}

namespace {

// A far-off expiry (136 years ahead, or the year 2106 for an absolute timer) that holds a timer
// while the datagrams of its earlier armings are counted.
const uint32_t parkedSeconds = UINT32_MAX;

// The most stale datagrams an entry counts: more than any socket's buffer can queue.
const uint32_t maxStaleDatagrams = (1u << 24) - 1;

}  // namespace

// Arms the driver timer for seconds_m and nanoSeconds_m and works out how many expiry datagrams
// of earlier armings are still queued: those are stale. With no expiry outstanding (the entry
// was never armed, or the expiry of its last arming has been read, and stale ones are queued
// ahead of it) there are none: the first arming and the periodic re-arming after a delivery
// cost nothing more. Otherwise: when ptimer_settime returns, no callback of an earlier arming is
// running or will run, so the count read then holds every datagram that they sent and that was
// not read. It may also hold one of the new arming, which can fire before the call returns; so
// when the count moved during the arming, the timer is parked on a far-off expiry (which leaves
// no callback in flight), counted and armed again. That path costs two atomic loads and, only
// in the race, two more driver calls.
int TimerEntry::armDriverTimer() {
    if (!expiryOutstanding_m) {
        int result = ptimer_start_once(&timer_m, seconds_m, nanoSeconds_m);
        expiryOutstanding_m = result == 0;
        return result;
    }
    std::atomic<uint32_t>& queued_r = context_m.queuedExpiries_m;
    const uint32_t queuedBefore = queued_r.load(std::memory_order_acquire);
    int result = ptimer_start_once(&timer_m, seconds_m, nanoSeconds_m);
    if (result != 0) {
        return result;
    }
    uint32_t queued = queued_r.load(std::memory_order_acquire);
    if (queued != queuedBefore) {
        result = ptimer_start_once(&timer_m, parkedSeconds, 0);
        if (result != 0) {
            return result;
        }
        queued = queued_r.load(std::memory_order_acquire);
        result = ptimer_start_once(&timer_m, seconds_m, nanoSeconds_m);
        if (result != 0) {
            return result;
        }
    }
    // More read than sent: datagrams from elsewhere named this id. They are forgotten, so they
    // cannot hide a later stale datagram; sends of the new arming counted meanwhile stay.
    if (static_cast<int32_t>(queued) < 0) {
        queued_r.fetch_sub(queued, std::memory_order_relaxed);
        queued = 0;
    }
    staleDatagrams_m = queued < maxStaleDatagrams ? queued : maxStaleDatagrams;
    return 0;
}

// Stale datagrams are queued ahead of any datagram of the current arming: the driver finished
// their callbacks before it armed the current one. So the first datagram that is not stale is
// the current arming's expiry, and none is outstanding after it. (A datagram from elsewhere that
// names this id is taken for it too: only the timer's own callback is expected to send.)
bool TimerEntry::consumeDatagram() {
    context_m.queuedExpiries_m.fetch_sub(1, std::memory_order_relaxed);
    if (staleDatagrams_m == 0) {
        expiryOutstanding_m = false;
        return false;
    }
    staleDatagrams_m = staleDatagrams_m - 1;
    return true;
}

// The delay of one period, split into seconds and nanoseconds.
bool TimerEntry::computeRelativeExpiry() {
    const uint32_t period = periodInTimerGranularity_m;
    switch (timerGranularity_m) {
        case TimerManager::millisecondGranularity_c:
            seconds_m = period / 1000;
            nanoSeconds_m = (period % 1000) * 1000000;
            return true;
        case TimerManager::nanosecondGranularity_c:
            seconds_m = period / 1000000000;
            nanoSeconds_m = period % 1000000000;
            return true;
    }
    cancelTimer();
    threadLog()->dbgLog_critical(__FILE__, __LINE__, "%s", "wrong granularity type");
    return false;
}

// Only the running flag changes: the driver timer stays armed and its expiry comes back as a
// zombie timeout.
void TimerEntry::cancelTimer() { timerRunning_m = false; }

// A periodic entry is re-armed before its client is called, so the client may cancel or
// change it from inside the callback. The entry is read again after the call: the manager
// deletes entries only outside this function.
void TimerEntry::timeout() {
    if (client_mp == nullptr) {
        threadLog()->dbgLog_critical(__FILE__, __LINE__, "%s", "client_mp is NULL");
        return;
    }
    if (isRunning()) {
        ++timeoutCount_m;
    }
    if (!isOneShotTimer()) {
        startTimer();
    }
    client_mp->timerExpired(timerId_m, userData_mp);
    CTM_TRACE(threadLog(),
              "timerId_m(%d), isOneShotTimer_m(%s), isClockSyncTimer_m(%s), "
              "timerRunning_m(%s)                   , timeoutCount_m(%d)",
              static_cast<int>(timerId_m), boolText(isOneShotTimer_m), boolText(isClockSyncTimer_m),
              boolText(timerRunning_m), static_cast<int>(timeoutCount_m));
}

// A failed restart leaves the entry cancelled; the result is true regardless.
bool TimerEntry::reset(uint32_t period, TimerManager::TimerGranularity timerGranularity) {
    periodInTimerGranularity_m = period;
    timerGranularity_m = timerGranularity;
    cancelTimer();
    startTimer();
    CTM_TRACE(threadLog(), "finish reset period(%d), timerGranularity(%s)",
              static_cast<int>(period), granularityText(timerGranularity));
    return true;
}

bool TimerEntry::hasClient(const PATimerClient* client_p) const { return client_mp == client_p; }

bool TimerEntry::hasUserData() const { return userData_mp != nullptr; }

bool TimerEntry::accessUserData(PAUserData*& userData_rp) {
    userData_rp = userData_mp;
    return userData_mp != nullptr;
}

bool TimerEntry::detachUserData(PAUserData*& userData_rp) {
    bool detached = userData_mp != nullptr;
    userData_rp = userData_mp;
    userData_mp = nullptr;
    CTM_TRACE(threadLog(), "finish detach user data result(%s)", boolText(detached));
    return detached;
}

// Each line is cut to 99 characters, as the fixed buffer allows.
void TimerEntry::showState(std::string& out_r, bool /*details*/) const {
    if (client_mp == nullptr) {
        threadLog()->dbgLog_critical(__FILE__, __LINE__, "%s", "client_mp is NULL");
        return;
    }
    std::string clientName = client_mp->getClientName();
    char line[100];
    snprintf(line, sizeof(line), "[%d] %s: Type: %s%s [%s] - userData: 0x%x\n",
             static_cast<int>(timerId_m), clientName.c_str(),
             isOneShotTimer_m ? "One-Shot" : "Periodic", isClockSyncTimer_m ? " - clock-sync" : "",
             timerRunning_m ? "On" : "Cancelled",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(userData_mp)));
    out_r += line;
    snprintf(line, sizeof(line), "  Period: %d %s (%d sec : %d nanosec): Timeouts: %d\n",
             static_cast<int>(periodInTimerGranularity_m),
             timerGranularity_m != TimerManager::millisecondGranularity_c ? "nanoseconds"
                                                                          : "milliseconds",
             static_cast<int>(seconds_m), static_cast<int>(nanoSeconds_m),
             static_cast<int>(timeoutCount_m));
    out_r += line;
}

bool TimerEntry::isOneShotTimer() const { return isOneShotTimer_m; }

bool TimerEntry::isClockSyncTimer() const { return isClockSyncTimer_m; }

TimerManager::TimerGranularity TimerEntry::getTimerGranularity() const {
    return timerGranularity_m;
}

uint32_t TimerEntry::getSeconds() const { return seconds_m; }

uint32_t TimerEntry::getNanoSeconds() const { return nanoSeconds_m; }

uint32_t TimerEntry::getTimeoutCount() const { return timeoutCount_m; }

uint32_t TimerEntry::getPeriodInTimerGranularity() const { return periodInTimerGranularity_m; }

// ============================================================================================
// Clock-synchronised timing
// ============================================================================================

namespace {

// The wall clock; with a valid buffer and no time zone gettimeofday cannot fail.
timeval readClock() {
    timeval now;
    int result = gettimeofday(&now, nullptr);
    assert(result == 0);
    (void)result;
    return now;
}

bool isWholeDivisorOf(uint32_t whole, uint32_t period) { return whole % period == 0; }

}  // namespace

// Allowed periods divide the day on the clock grid: whole hours dividing the day, whole
// minutes dividing the hour, or seconds dividing the minute. A period of a whole day is
// refused too.
bool TimerManager::isValidPeriodForClockSyncTimer(const uint32_t& syncPeriodInSeconds) const {
    const uint32_t period = syncPeriodInSeconds;
    if (period == 0) {
        dbgDescriptorTimerManager_m->dbgLog_critical(__FILE__, __LINE__, "%s",
                                                     "syncPeriodInSeconds is zero.");
        return false;
    }
    if (period > secondsPerDay - 1) {
        dbgDescriptorTimerManager_m->dbgLog_critical(
            __FILE__, __LINE__,
            "FAILED: Periods over one day are not supported.\nperiod length = <%dsec> ",
            static_cast<int>(period));
        return false;
    }
    bool valid;
    if (period >= secondsPerHour) {
        valid = period % secondsPerHour == 0 && isWholeDivisorOf(secondsPerDay, period);
    } else if (period >= secondsPerMinute) {
        valid = period % secondsPerMinute == 0 && isWholeDivisorOf(secondsPerHour, period);
    } else {
        valid = isWholeDivisorOf(secondsPerMinute, period);
    }
    if (valid) {
        CTM_TRACE(dbgDescriptorTimerManager_m, "syncPeriodInSeconds(%d) is valid",
                  static_cast<int>(period));
    }
    return valid;
}

// Whole milliseconds from a fresh clock reading to the next boundary: 1 to the full period.
// A sub-second rest of the period is dropped.
bool TimerEntry::getRemainingMillisecondsInPeriod(uint32_t periodInMilliseconds,
                                                  uint32_t& millisecondsRemainingInPeriod_r) const {
    const DbgModuleDescriptor* log_p = threadLog();
    if (periodInMilliseconds <= 999) {
        log_p->dbgLog_critical(__FILE__, __LINE__, "%s",
                               "The period must be equal or greater than 1 second.");
        return false;
    }
    timeval currentTime = readClock();
    const uint32_t periodInSeconds = periodInMilliseconds / 1000;
    const uint32_t secondsToNextTimeout =
        periodInSeconds - static_cast<uint32_t>(currentTime.tv_sec) % periodInSeconds;
    millisecondsRemainingInPeriod_r =
        secondsToNextTimeout * 1000 - static_cast<uint32_t>(currentTime.tv_usec / 1000);
    CTM_TRACE(log_p,
              "get remaining milliseconds in period successful : "
              "periodInMilliseconds(%d), millisecondsRemainingInPeriod_r(%d)",
              static_cast<int>(periodInMilliseconds),
              static_cast<int>(millisecondsRemainingInPeriod_r));
    return true;
}

// The next boundary as an absolute time, skipping it when it is nearer than the sync
// boundary. The boundary comes from one clock reading and the remaining time from a second
// one; a boundary passing between them yields a time just past, which the driver fires at
// once.
bool TimerEntry::computeClockSyncExpiry() {
    if (timerGranularity_m != TimerManager::millisecondGranularity_c) {
        cancelTimer();
        threadLog()->dbgLog_critical(
            __FILE__, __LINE__, "%s",
            "Error!Nanosecond Granularity not supported by clock sync timer!");
        return false;
    }
    const uint32_t period = periodInTimerGranularity_m;
    if (period <= 999) {
        cancelTimer();
        threadLog()->dbgLog_critical(__FILE__, __LINE__, "%s",
                                     "The period must be equal or greater than 1 second.");
        return false;
    }
    const uint32_t periodInSeconds = period / 1000;
    timeval currentTime = readClock();
    uint32_t millisecondsRemainingInPeriod = 0;
    bool remainingKnown = getRemainingMillisecondsInPeriod(period, millisecondsRemainingInPeriod);
    assert(remainingKnown);
    (void)remainingKnown;
    const uint32_t boundariesAhead =
        syncBoundaryInMilliseconds_m <= millisecondsRemainingInPeriod ? 1 : 2;
    seconds_m = (static_cast<uint32_t>(currentTime.tv_sec) / periodInSeconds + boundariesAhead) *
                periodInSeconds;
    nanoSeconds_m = 0;
    return true;
}

// The whole second that starts on a boundary counts as synced.
bool TimerManager::isCurrentTimeSyncedToInterval(uint16_t intervalInSeconds) const {
    if (intervalInSeconds == 0) {
        dbgDescriptorTimerManager_m->dbgLog_critical(__FILE__, __LINE__, "%s",
                                                     "intervalInSeconds is zero.");
        return false;
    }
    timeval currentTime = readClock();
    return static_cast<int32_t>(currentTime.tv_sec) % static_cast<int32_t>(intervalInSeconds) == 0;
}

// ============================================================================================
// Timer table and identifiers
// ============================================================================================

// The allocator's result is taken as it is: an id in use is caught by the duplicate check of
// the registration.
bool TimerManager::getValidIndex(uint32_t& index) {
    assert(idAllocator_mp != nullptr);
    index = idAllocator_mp->allocateId();
    CTM_TRACE(dbgDescriptorTimerManager_m, "get valid index(%d)", static_cast<int>(index));
    return true;
}

bool TimerManager::registerSubscriberToTimer(uint32_t timerId, uint32_t periodInTimerGranularity,
                                             TimerGranularity timerGranularity,
                                             PATimerClient* client_p, PAUserData* userData_p,
                                             bool isOneShotTimer, bool isClockSyncTimer,
                                             uint32_t syncBoundaryInMilliseconds) {
    const DbgModuleDescriptor* log_p = dbgDescriptorTimerManager_m;
    CTM_TRACE(log_p,
              "timerId(%d), periodInTimerGranularity(%d), "
              "syncBoundaryInMilliseconds(%d)                  , timerGranularity(%s), "
              "isOneShotTimer(%s), isClockSyncTimer(%s)",
              static_cast<int>(timerId), static_cast<int>(periodInTimerGranularity),
              static_cast<int>(syncBoundaryInMilliseconds), granularityText(timerGranularity),
              boolText(isOneShotTimer), boolText(isClockSyncTimer));
    // Fresh ids come from the allocator in increasing order: an id past the last key, the
    // common case, goes at the end without a search.
    iterator position = empty() || rbegin()->first < timerId ? end() : lower_bound(timerId);
    bool found = position != end() && position->first == timerId;
    CTM_TRACE(log_p, "%s find out timerId(%d)", found ? "can" : " can not",
              static_cast<int>(timerId));
    if (found) {
        log_p->dbgLog_critical(__FILE__, __LINE__, "Duplicate entry attempted %d",
                               static_cast<int>(timerId));
        return false;
    }
    TimerEntry* newEntry_p = new (std::nothrow)
        TimerEntry(client_p, timerId, periodInTimerGranularity, timerGranularity, userData_p,
                   isOneShotTimer, isClockSyncTimer, syncBoundaryInMilliseconds);
    if (newEntry_p == nullptr) {
        log_p->dbgLog_err(__FILE__, __LINE__, "%s", "newEntry_p is NULL");
        return false;
    }
    iterator inserted = insert(position, value_type(timerId, newEntry_p));
    if (inserted->second != newEntry_p) {
        delete newEntry_p;
        log_p->dbgLog_critical(__FILE__, __LINE__, "new entry failed %d",
                               static_cast<int>(timerId));
        return false;
    }
    if (timersEnabled_m) {
        newEntry_p->startTimer();
    }
    ++totalUserCount_m;
    CTM_TRACE(log_p, "totalUserCount_m(%d), timersEnabled_m(%s)",
              static_cast<int>(totalUserCount_m), boolText(timersEnabled_m));
    return true;
}

// Fresh ids come in increasing order, so a timer cancelled soon after its start is usually the
// table's last key: that is checked first, in constant time, before a search of the tree.
TimerManager::iterator TimerManager::findNewestFirst(uint32_t timerId) {
    if (!empty()) {
        iterator last = std::prev(end());
        if (last->first == timerId) {
            return last;
        }
    }
    return find(timerId);
}

// Cancelling keeps the entry in the table: its armed expiry still comes and removes it as a
// zombie timeout.
void TimerManager::deregisterSubscriberToTimer(uint32_t timerId, bool deleteUserData) {
    iterator it = findNewestFirst(timerId);
    bool found = it != end();
    CTM_TRACE(dbgDescriptorTimerManager_m, "%s find out timerId(%d), deleteUserData(%s)",
              found ? " can" : "can not", static_cast<int>(timerId), boolText(deleteUserData));
    if (!found) {
        dbgDescriptorTimerManager_m->dbgLog_critical(__FILE__, __LINE__,
                                                     "deregisterSubscriberToTimery failed %d",
                                                     static_cast<int>(timerId));
        return;
    }
    TimerEntry* entry_p = it->second;
    if (deleteUserData && entry_p->hasUserData()) {
        PAUserData* userData_p = nullptr;
        bool detached = entry_p->detachUserData(userData_p);
        if (detached && userData_p != nullptr) {
            delete userData_p;
        }
        if (!detached) {
            dbgDescriptorTimerManager_m->dbgLog_critical(
                __FILE__, __LINE__, "detachUserData failed %d", static_cast<int>(timerId));
        }
    }
    entry_p->cancelTimer();
}

// Removal hands the id back before the entry goes, then erases it.
void TimerManager::deleteSubscriberIfApplicable(const iterator& it, bool forceDelete) {
    if (!forceDelete && !it->second->canBeDeleted()) {
        return;
    }
    // deallocateId's result is ignored: the id came from this allocator.
    idAllocator_mp->deallocateId(static_cast<uint16_t>(it->first & 0xFFFFu));
    delete it->second;
    erase(it);
    ++tableRemovals_m;
}

// ============================================================================================
// Timer operations
// ============================================================================================

bool TimerManager::startOneShotTimer(uint32_t& timerId_r, uint32_t periodInTimerGranularity,
                                     PATimerClient* client_p, PAUserData* userData_p,
                                     TimerGranularity timerGranularity) {
    CTM_TRACE(dbgDescriptorTimerManager_m,
              "timerId_r(%d), periodInTimerGranularity(%d), timerGranularity(%s)",
              static_cast<int>(timerId_r), static_cast<int>(periodInTimerGranularity),
              granularityText(timerGranularity));
    return privateStartTimer(timerId_r, periodInTimerGranularity, timerGranularity, client_p,
                             userData_p, true, false, 0);
}

bool TimerManager::startPeriodicTimer(uint32_t& timerId_r, uint32_t periodInTimerGranularity,
                                      PATimerClient* client_p, PAUserData* userData_p,
                                      TimerGranularity timerGranularity) {
    CTM_TRACE(dbgDescriptorTimerManager_m,
              "timerId_r(%d), periodInTimerGranularity(%d), timerGranularity(%s)",
              static_cast<int>(timerId_r), static_cast<int>(periodInTimerGranularity),
              granularityText(timerGranularity));
    return privateStartTimer(timerId_r, periodInTimerGranularity, timerGranularity, client_p,
                             userData_p, false, false, 0);
}

bool TimerManager::startPeriodicClockSyncTimer(uint32_t& timerId_r, uint32_t syncPeriodInSeconds,
                                               uint32_t syncBoundaryInMilliseconds,
                                               PATimerClient* client_p, PAUserData* userData_p) {
    return startClockSyncTimer(timerId_r, syncPeriodInSeconds, syncBoundaryInMilliseconds, client_p,
                               userData_p, false);
}

bool TimerManager::startOneShotClockSyncTimer(uint32_t& timerId_r, uint32_t syncPeriodInSeconds,
                                              uint32_t syncBoundaryInMilliseconds,
                                              PATimerClient* client_p, PAUserData* userData_p) {
    return startClockSyncTimer(timerId_r, syncPeriodInSeconds, syncBoundaryInMilliseconds, client_p,
                               userData_p, true);
}

// The clock-synchronised starts check the period before anything is allocated. An accepted
// period is at most 43200 s, so the period in milliseconds cannot overflow.
bool TimerManager::startClockSyncTimer(uint32_t& timerId_r, uint32_t syncPeriodInSeconds,
                                       uint32_t syncBoundaryInMilliseconds, PATimerClient* client_p,
                                       PAUserData* userData_p, bool isOneShot) {
    CTM_TRACE(dbgDescriptorTimerManager_m,
              "timerId_r(%d), syncPeriodInSeconds(%d), syncBoundaryInMilliseconds(%d)",
              static_cast<int>(timerId_r), static_cast<int>(syncPeriodInSeconds),
              static_cast<int>(syncBoundaryInMilliseconds));
    if (!isValidPeriodForClockSyncTimer(syncPeriodInSeconds)) {
        dbgDescriptorTimerManager_m->dbgLog_critical(
            __FILE__, __LINE__,
            "Error! Invalid period received for clock sync timer!\nperiod length = <%dsec>",
            static_cast<int>(syncPeriodInSeconds));
        return false;
    }
    return privateStartTimer(timerId_r, syncPeriodInSeconds * 1000, millisecondGranularity_c,
                             client_p, userData_p, isOneShot, true, syncBoundaryInMilliseconds);
}

// Nothing but the clock-sync period is validated: a null client, a zero period or an unknown
// granularity reaches the entry unchanged. After a failed registration the id stays allocated
// and timerId_r keeps it.
bool TimerManager::privateStartTimer(uint32_t& timerId_r, uint32_t periodInTimerGranularity,
                                     TimerGranularity timerGranularity, PATimerClient* client_p,
                                     PAUserData* userData_p, bool isOneShot, bool isClockSync,
                                     uint32_t syncBoundaryInMilliseconds) {
    const DbgModuleDescriptor* log_p = dbgDescriptorTimerManager_m;
    CTM_TRACE(log_p,
              "timerId_r(%d), periodInTimerGranularity(%d), "
              "syncBoundaryInMilliseconds(%d)                  timerGranularity(%s), "
              "isOneShot(%s), isClockSync(%s)",
              static_cast<int>(timerId_r), static_cast<int>(periodInTimerGranularity),
              static_cast<int>(syncBoundaryInMilliseconds), granularityText(timerGranularity),
              boolText(isOneShot), boolText(isClockSync));
    if (!getValidIndex(timerId_r)) {
        log_p->dbgLog_critical(__FILE__, __LINE__, "%s", "getValidIndex failed");
        return false;
    }
    if (!registerSubscriberToTimer(timerId_r, periodInTimerGranularity, timerGranularity, client_p,
                                   userData_p, isOneShot, isClockSync,
                                   syncBoundaryInMilliseconds)) {
        log_p->dbgLog_critical(__FILE__, __LINE__, "%s", "registerSubscriberToTimer failed.");
        return false;
    }
    CTM_TRACE(log_p, "%s", "private start timer successful");
    return true;
}

void TimerManager::cancelTimer(uint32_t timerId, bool deleteUserData) {
    deregisterSubscriberToTimer(timerId, deleteUserData);
}

// The walk only collects ids; each cancellation then looks its id up afresh.
void TimerManager::cancelAllTimersForClient(PATimerClient* client_p, bool deleteUserData) {
    std::list<uint32_t> timersToDelete;
    for (const_iterator it = begin(); it != end(); ++it) {
        if (it->second->hasClient(client_p)) {
            timersToDelete.push_back(it->first);
        }
    }
    for (std::list<uint32_t>::const_iterator it = timersToDelete.begin();
         it != timersToDelete.end(); ++it) {
        deregisterSubscriberToTimer(*it, deleteUserData);
    }
}

// While timers are disabled nothing is looked up or changed, and the answer is true.
bool TimerManager::changeTimerPeriod(uint32_t timerId, uint32_t newPeriodInTimerGranularity,
                                     TimerGranularity timerGranularity) {
    const DbgModuleDescriptor* log_p = dbgDescriptorTimerManager_m;
    CTM_TRACE(log_p, "timersEnabled_m(%s)", boolText(timersEnabled_m));
    CTM_TRACE(log_p, "timerId(%d), newPeriodInTimerGranularity(%d), timerGranularity(%s)",
              static_cast<int>(timerId), static_cast<int>(newPeriodInTimerGranularity),
              granularityText(timerGranularity));
    if (!timersEnabled_m) {
        return true;
    }
    iterator it = find(timerId);
    bool found = it != end();
    CTM_TRACE(log_p, "%s find out timerId(%d)", found ? " can" : "can not",
              static_cast<int>(timerId));
    if (found) {
        return it->second->reset(newPeriodInTimerGranularity, timerGranularity);
    }
    log_p->dbgLog_critical(__FILE__, __LINE__, "changeTimerPeriod failed %d",
                           static_cast<int>(timerId));
    return false;
}

// The user-data operations' lookup: traced with the "can" / " can not" pair; an unknown id is
// reported at level critical as "<operation> failed <id>". Null when the id is not a key.
TimerEntry* TimerManager::findForUserData(uint32_t timerId, const char* operation_p) const {
    const_iterator it = find(timerId);
    bool found = it != end();
    CTM_TRACE(dbgDescriptorTimerManager_m, "%s find out timerId(%d)", found ? "can" : " can not",
              static_cast<int>(timerId));
    if (found) {
        return it->second;
    }
    dbgDescriptorTimerManager_m->dbgLog_critical(__FILE__, __LINE__, "%s failed %d", operation_p,
                                                 static_cast<int>(timerId));
    return nullptr;
}

bool TimerManager::detachUserDataFromTimer(uint32_t timerId, PAUserData*& userData_rp) {
    TimerEntry* entry_p = findForUserData(timerId, "detachUserDataFromTimer");
    return entry_p != nullptr && entry_p->detachUserData(userData_rp);
}

bool TimerManager::accessUserDataFromTimer(uint32_t timerId, PAUserData*& userData_rp) {
    TimerEntry* entry_p = findForUserData(timerId, "accessUserDataFromTimer");
    return entry_p != nullptr && entry_p->accessUserData(userData_rp);
}

bool TimerManager::timerHasUserData(uint32_t timerId) const {
    TimerEntry* entry_p = findForUserData(timerId, "timerHasUserData");
    return entry_p != nullptr && entry_p->hasUserData();
}

uint32_t TimerManager::getTimeoutCount() const { return timeoutCount_m; }

bool TimerManager::isTimersEnabled() const { return timersEnabled_m; }

// ============================================================================================
// Expiry delivery
// ============================================================================================

// Runs on a driver thread: it touches only the context, the socket and a copy of its address,
// and reports through syslog (the debug logger belongs to the manager's thread). A failed send
// loses the expiry; it is not retried.
void TimerManager::ptimerCallback(void* c_p) {
    if (c_p == nullptr) {
        syslog(LOG_ERR, "[%s:%d] context_p is NULL", __FILE__, __LINE__);
        return;
    }
    TimerContext* context_p = static_cast<TimerContext*>(c_p);
    int socketFd = context_p->timerMgr_p->getCbSocket();
    if (socketFd == -1) {
        syslog(LOG_CRIT, "[%s:%d] ptimerCallback() - bad socket", __FILE__, __LINE__);
        return;
    }
    sockaddr_un destination = context_p->timerMgr_p->getCbAddress();
    char datagram[sizeof(uint32_t)];
    memset(datagram, 0, sizeof(datagram));
    memcpy(datagram, &context_p->timerId_m, sizeof(datagram));
    if (sendto(socketFd, datagram, sizeof(datagram), 0,
               reinterpret_cast<const sockaddr*>(&destination), sizeof(destination)) == -1) {
        syslog(LOG_CRIT, "[%s:%d] ptimerCallback: sendto() FAILED", __FILE__, __LINE__);
        return;
    }
    // Released so that an arming thread that sees the count also sees the datagram queued.
    context_p->queuedExpiries_m.fetch_add(1, std::memory_order_release);
}

// One datagram per call: with several queued the socket stays readable and the dispatcher
// calls again. While timers are disabled the datagram stays queued.
bool TimerManager::socketCallback(int socketFd) {
    const DbgModuleDescriptor* log_p = dbgDescriptorTimerManager_m;
    CTM_TRACE(log_p, "cbSocket_m(%d), socketFd(%d)", cbSocket_m, socketFd);
    if (socketFd != cbSocket_m) {
        log_p->dbgLog_critical(__FILE__, __LINE__, "%s", "socketCallback bad FD");
        return false;
    }
    ++timeoutCount_m;
    CTM_TRACE(log_p, "timeoutCount_m(%d), timersEnabled_m(%s)", static_cast<int>(timeoutCount_m),
              boolText(timersEnabled_m));
    if (!timersEnabled_m) {
        return true;
    }
    char datagram[sizeof(uint32_t)];
    memset(datagram, 0, sizeof(datagram));
    sockaddr_un source;
    memset(&source, 0, sizeof(source));
    socklen_t sourceLength = sizeof(source);
    ssize_t received = recvfrom(socketFd, datagram, sizeof(datagram), 0,
                                reinterpret_cast<sockaddr*>(&source), &sourceLength);
    if (received == -1) {
        log_p->dbgLog_critical(__FILE__, __LINE__, "%s : %m", "recvfrom error");
        return true;
    }
    CTM_TRACE(log_p, "recv %d bytes from socketFd(%d)", static_cast<int>(received), socketFd);
    // A short datagram leaves its missing bytes zero; a long one is cut to 4 bytes.
    uint32_t timerId = 0;
    memcpy(&timerId, datagram, sizeof(timerId));
    CTM_TRACE(log_p, "timerId(%d)", static_cast<int>(timerId));
    return triggerTimerEntry(timerId, source, datagramExpiry_c);
}

namespace {

// sun_path need not be terminated; the copy is, and never reads past the address.
std::string socketPathOf(const sockaddr_un& address_r) {
    return std::string(address_r.sun_path, strnlen(address_r.sun_path, sizeof(address_r.sun_path)));
}

}  // namespace

bool TimerManager::triggerTimerEntry(uint32_t timerId, const sockaddr_un& srcAddr) {
    return triggerTimerEntry(timerId, srcAddr, simulatedExpiry_c);
}

// A stale datagram is dropped before the running test: it belongs to an arming that a restart
// replaced, and only the current arming's expiry may remove a cancelled entry. The entry is
// looked up again after its timeout(): the client's callback may have changed the table.
bool TimerManager::triggerTimerEntry(uint32_t timerId, const sockaddr_un& srcAddr,
                                     ExpiryOrigin origin) {
    const DbgModuleDescriptor* log_p = dbgDescriptorTimerManager_m;
    iterator it = find(timerId);
    CTM_TRACE(log_p, "%s find out timerId(%d)", it == end() ? "can not" : " can",
              static_cast<int>(timerId));
    if (it == end()) {
        log_p->dbgLog_critical(__FILE__, __LINE__,
                               "triggerTimerEntry failed timerId %d, Timer manager's cbsocket "
                               "file is %s Message source socket file is %s ",
                               static_cast<int>(timerId), cbsocket_file,
                               socketPathOf(srcAddr).c_str());
        return true;
    }
    if (origin == datagramExpiry_c && it->second->consumeDatagram()) {
        ++zombieTimeouts_m;
        log_p->dbgLog_info(__FILE__, __LINE__, "Stale timer time out, timerId %d",
                           static_cast<int>(timerId));
        return true;
    }
    if (!it->second->isRunning()) {
        ++zombieTimeouts_m;
        log_p->dbgLog_info(__FILE__, __LINE__, "Not running timer time out, timerId %d",
                           static_cast<int>(timerId));
        deleteSubscriberIfApplicable(it, true);
        return true;
    }
    // Only a removal invalidates a table iterator; when the callback removed no entry at all,
    // the one at hand is still the timer's.
    const uint32_t removalsBefore = tableRemovals_m;
    {
        ClientCallScope clientCall;
        it->second->timeout();
    }
    if (tableRemovals_m != removalsBefore) {
        it = find(timerId);
    }
    CTM_TRACE(log_p, "%s find out timerId(%d)", it == end() ? "can not" : " can",
              static_cast<int>(timerId));
    if (it == end()) {
        return true;
    }
    deleteSubscriberIfApplicable(it, false);
    CTM_TRACE(log_p, "%s", "trigger timer entry successful");
    return true;
}

// ============================================================================================
// Diagnostic commands
// ============================================================================================

namespace {

const char* const showStateWord = "tmgr-show-state";
const char* const debugEnableWord = "tmgr-debug-enable";
const char* const disableTimersWord = "tmgr-disable-timers";
const char* const enableTimersWord = "tmgr-enable-timers";
const char* const simulateTimeoutWord = "tmgr-simulate-timeout";
const char* const cancelTimerWord = "tmgr-cancel-timer";

const char* const hyphenLine = "--------------------------------------------------------\n";
const char* const dotLine = ".......................................................\n";

// snprintf into a 100-byte buffer, so the piece is cut to 99 bytes, then appended.
void appendFormatted(std::string& out_r, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

void appendFormatted(std::string& out_r, const char* format, ...) {
    char line[100];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    out_r += line;
}

}  // namespace

// The handler is registered before its commands are added, so the server's check for an
// existing word already covers it. Both adds' results are ignored.
void TimerManager::setupMdfHandlers() {
    SingletonHolder<mdf::Server>::getInstance().registerNewHandler(&mdfHandler_m);
    mdfHandler_m.addCommand(showStateWord, "shows state of mgr & all running timers",
                            &TimerManager::showState, *this);
    mdfHandler_m.addCommand(debugEnableWord, "[1|0] - (add|remove) additional UNSAFE mdf commands",
                            &TimerManager::addExtraMdfCommands, *this);
}

// A refused add or removal is silent: the response and the result stay the same.
bool TimerManager::addExtraMdfCommands(int argc, char** argv, std::string& out_r) {
    if (argv == nullptr) {
        out_r += "argv is NULL\n";
        return false;
    }
    if (argc == 0) {
        out_r += "argc is zero\n";
        return false;
    }
    bool addMore = argc == 1 || atoi(argv[1]) != 0;
    if (addMore) {
        out_r += "Adding extra commands\n";
        mdfHandler_m.addCommand(disableTimersWord, "stops all timers and prevents new ones",
                                &TimerManager::disableTimers, *this);
        mdfHandler_m.addCommand(enableTimersWord, "restarts all timers and allows new ones ",
                                &TimerManager::enableTimers, *this);
        mdfHandler_m.addCommand(simulateTimeoutWord, "<timerId> pretend specified timer expired ",
                                &TimerManager::simulateStuff, *this);
        mdfHandler_m.addCommand(cancelTimerWord, "<timerId> cancel specified timer",
                                &TimerManager::simulateStuff, *this);
    } else {
        out_r += "Removing extra commands\n";
        mdfHandler_m.removeCommand(disableTimersWord);
        mdfHandler_m.removeCommand(enableTimersWord);
        mdfHandler_m.removeCommand(simulateTimeoutWord);
        mdfHandler_m.removeCommand(cancelTimerWord);
    }
    return true;
}

bool TimerManager::showState(int /*argc*/, char** /*argv*/, std::string& out_r) {
    out_r += hyphenLine;
    out_r += "cmn::TimerManager\n";
    out_r += hyphenLine;
    appendFormatted(out_r, "SingletonKey: %d\n",
                    static_cast<int>(SingletonPerThread<TimerManager>::getSingletonKey()));
    appendFormatted(out_r, "Timers are: %s\n", timersEnabled_m ? "Enabled" : "Disabled");
    appendFormatted(out_r, "cbSocket: %d; cbsocket_file: %s\n", cbSocket_m, cbsocket_file);
    appendFormatted(out_r, "Total Users: %d; ", static_cast<int>(totalUserCount_m));
    appendFormatted(out_r, "Current Entries: %d;\n", static_cast<int>(size()));
    appendFormatted(out_r, "Timeout Count: %d Zombie Timeouts: %d;\n",
                    static_cast<int>(timeoutCount_m), static_cast<int>(zombieTimeouts_m));
    out_r += dotLine;
    for (const_iterator it = begin(); it != end(); ++it) {
        it->second->showState(out_r, false);
    }
    out_r += hyphenLine;
    return true;
}

bool TimerManager::disableTimers(int /*argc*/, char** /*argv*/, std::string& out_r) {
    timersEnabled_m = false;
    for (iterator it = begin(); it != end(); ++it) {
        it->second->cancelTimer();
    }
    out_r += "Timers are disabled\n";
    return true;
}

// Every entry is started afresh, whether or not it was running before.
bool TimerManager::enableTimers(int /*argc*/, char** /*argv*/, std::string& out_r) {
    timersEnabled_m = true;
    for (iterator it = begin(); it != end(); ++it) {
        it->second->startTimer();
    }
    out_r += "Timers are enabled\n";
    return true;
}

// "tmgr-simulate-timeout" and "tmgr-cancel-timer", told apart by the exact command word. A
// call with no command word (argc 0) is answered like one without a timer id.
bool TimerManager::simulateStuff(int argc, char** argv, std::string& out_r) {
    if (argv == nullptr) {
        dbgDescriptorTimerManager_m->dbgLog_err(__FILE__, __LINE__, "%s", "argv is NULL");
        return false;
    }
    std::string verb = argc >= 1 && argv[0] != nullptr ? argv[0] : "";
    std::ostringstream response;
    uint32_t timerId = 0;
    bool success = false;
    response << "Testing TimerManager - verb = " << verb << "\n";
    if (argc <= 1) {
        response << "usage: " << verb << " [timerId]"
                 << "\n";
        out_r += response.str();
        return false;
    }
    timerId = static_cast<uint32_t>(atoi(argv[1]));
    if (verb == simulateTimeoutWord) {
        // Timers count as enabled while the expiry runs, so a timer that the client starts
        // from its callback is started.
        bool timersEnabledBefore = timersEnabled_m;
        timersEnabled_m = true;
        success = triggerTimerEntry(timerId, cbAddr_m);
        timersEnabled_m = timersEnabledBefore;
        response << "Timout simulated " << (success ? "OK" : "FAILED") << " on Id: " << timerId
                 << "\n";
    } else if (verb == cancelTimerWord) {
        cancelTimer(timerId, false);
        success = true;
        response << "Timer canceled "
                 << "OK"
                 << " on Id: " << timerId << "\n";
    }
    out_r += response.str();
    return success;
}

}  // namespace cmn
