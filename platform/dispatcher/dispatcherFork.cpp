// cmn::Dispatcher across fork(): a child starts with no loop of its own.
//
// The child shares the kernel's epoll instances with the parent (a forked descriptor refers to
// the same open set), so any epoll_ctl the child made on an inherited loop would change the
// parent's watches. So the child forgets every inherited loop and watch, closes its copies of
// their descriptors and makes fresh loops on first use. The prepare handler takes each
// dispatcher's registry mutex so that the child never inherits it locked; the loops' own
// mutexes are never touched in the child, since a parent thread may have held them.
//
// The handlers are installed when the library is loaded, before any other component installs
// its own: prepare handlers run in the reverse order of installation, so the dispatcher's
// mutex is taken after every other component's. That is the order in which the others take
// them (the command server calls the dispatcher while holding its own lock), and the dispatcher
// calls out to nobody while it holds its mutex, so the prepare handlers cannot deadlock.
#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "dispatcherImpl.h"

namespace cmn {

namespace {

// Guards the list of living dispatchers, which the fork handlers walk.
std::mutex livingMutex;

}  // namespace

// Set while the library is loaded; a failure is reported by every dispatcher made.
const int Dispatcher::Impl::forkHandlersResult_sm =
    pthread_atfork(&Impl::prepareFork, &Impl::resumeParent, &Impl::resumeChild);

// Never destroyed: a dispatcher may be destroyed during exit, after function statics.
std::vector<Dispatcher::Impl*>& Dispatcher::Impl::living() {
    static std::vector<Impl*>* living_p = new std::vector<Impl*>();
    return *living_p;
}

void Dispatcher::Impl::registerForFork() {
    if (forkHandlersResult_sm != 0) {
        errno = forkHandlersResult_sm;
        log_mp->dbgLog_critical(__FILE__, __LINE__,
                                "pthread_atfork failed: %m; a forked child may change the "
                                "parent's epoll sets");
    }
    std::lock_guard<std::mutex> lock(livingMutex);
    living().push_back(this);
}

void Dispatcher::Impl::unregisterForFork() {
    std::lock_guard<std::mutex> lock(livingMutex);
    std::vector<Impl*>& living_r = living();
    living_r.erase(std::remove(living_r.begin(), living_r.end(), this), living_r.end());
}

void Dispatcher::Impl::prepareFork() {
    livingMutex.lock();
    for (Impl* impl_p : living()) {
        impl_p->mutex_m.lock();
    }
}

void Dispatcher::Impl::resumeParent() {
    for (Impl* impl_p : living()) {
        impl_p->mutex_m.unlock();
    }
    livingMutex.unlock();
}

void Dispatcher::Impl::resumeChild() {
    for (Impl* impl_p : living()) {
        impl_p->forgetAfterFork();
        impl_p->mutex_m.unlock();
    }
    livingMutex.unlock();
}

// Called in the child with mutex_m held. The forking thread is the child's only thread, so its
// key value is the only one that can still be read.
void Dispatcher::Impl::forgetAfterFork() {
    for (const auto& entry_r : loops_m) {
        entry_r.second->epoll_m.closeDescriptors();
        abandoned_m.push_back(entry_r.second);
    }
    loops_m.clear();
    watches_m.clear();
    if (keyCreated_m) {
        pthread_setspecific(loopKey_m, nullptr);
    }
}

}  // namespace cmn
