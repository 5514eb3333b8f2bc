// The dispatcher's hand-over between threads: post() to a loop, its order and thread, tasks
// dropped with their thread, and the loop descriptor that a foreign event loop waits on.
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "commonDispatcher.h"
#include "gtest/gtest.h"

namespace {

using cmn::Dispatcher;

// Sets its flag when destroyed, so a test learns that a task holding it was dropped.
struct DropFlag {
    explicit DropFlag(std::atomic<bool>& flag_r) : flag_mr(flag_r) {}
    ~DropFlag() { flag_mr = true; }
    std::atomic<bool>& flag_mr;
};

bool isReadable(int fd) {
    struct pollfd entry = {fd, POLLIN, 0};
    return poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}

std::string linkOf(int fd) {
    char path[64], target[PATH_MAX] = {};
    snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    ssize_t length = readlink(path, target, sizeof(target) - 1);
    return length < 0 ? std::string() : std::string(target, static_cast<size_t>(length));
}

// A thread that makes its loop, reports it, and ends when told to, running no round.
class IdleLoopThread {
public:
    explicit IdleLoopThread(Dispatcher& dispatcher_r)
        : thread_m([this, &dispatcher_r] {
              ids_m.set_value({dispatcher_r.currentLoop(), dispatcher_r.getLoopDescriptor()});
              end_m.get_future().wait();
          }) {
        std::pair<Dispatcher::LoopId, int> ids = ids_m.get_future().get();
        loop = ids.first;
        descriptor = ids.second;
    }
    void end() {
        end_m.set_value();
        thread_m.join();
    }

    Dispatcher::LoopId loop = 0;
    int descriptor = -1;

private:
    std::promise<std::pair<Dispatcher::LoopId, int>> ids_m;
    std::promise<void> end_m;
    std::thread thread_m;
};

class DispatcherPostTest : public testing::Test {
protected:
    // Runs rounds on the calling thread until `done`, within a generous budget of rounds.
    void runUntil(const std::function<bool()>& done) {
        for (int round = 0; round < 10000 && !done(); ++round) {
            ASSERT_GE(dispatcher_m.listenOnce(100), 0);
        }
        ASSERT_TRUE(done()) << "never delivered";
    }

    Dispatcher dispatcher_m;
};

TEST_F(DispatcherPostTest, TasksRunInOrderOnTheLoopsThreadAndAPostFromThereRunsNextRound) {
    std::promise<Dispatcher::LoopId> loop;
    std::promise<void> posted;
    std::vector<int> order;
    std::thread::id ranOn;
    int firstRound = -1, secondRound = -1;
    std::thread owner([&] {
        loop.set_value(dispatcher_m.currentLoop());
        posted.get_future().wait();
        firstRound = dispatcher_m.listenOnce(60000);
        secondRound = dispatcher_m.listenOnce(60000);
    });
    Dispatcher::LoopId id = loop.get_future().get();
    ASSERT_NE(0u, id);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(dispatcher_m.post(id, [&, i] {
            order.push_back(i);
            ranOn = std::this_thread::get_id();
            if (i == 2) {
                // Posted from the loop's own thread inside its round: never run in this round.
                EXPECT_TRUE(dispatcher_m.post(id, [&] { order.push_back(3); }));
                EXPECT_EQ(3u, order.size());
            }
        }));
    }
    posted.set_value();
    std::thread::id ownerId = owner.get_id();
    owner.join();
    EXPECT_EQ(3, firstRound);
    EXPECT_EQ(1, secondRound);
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), order);
    EXPECT_EQ(ownerId, ranOn);
}

TEST_F(DispatcherPostTest, TaskIsDroppedUnrunWhenItsLoopsThreadEndsAndLaterPostsAreRefused) {
    std::atomic<bool> ran{false}, queuedDropped{false}, refusedDropped{false};
    IdleLoopThread idle(dispatcher_m);
    auto queuedFlag = std::make_shared<DropFlag>(queuedDropped);
    ASSERT_TRUE(dispatcher_m.post(idle.loop, [&ran, queuedFlag] { ran = true; }));
    queuedFlag.reset();
    EXPECT_FALSE(queuedDropped);
    idle.end();
    EXPECT_TRUE(queuedDropped) << "a queued task outlived its loop's thread";
    EXPECT_FALSE(ran);

    auto refusedFlag = std::make_shared<DropFlag>(refusedDropped);
    std::function<void()> task = [&ran, refusedFlag] { ran = true; };
    refusedFlag.reset();
    EXPECT_FALSE(dispatcher_m.post(idle.loop, std::move(task)));
    EXPECT_TRUE(refusedDropped) << "a refused task was kept";
    EXPECT_FALSE(dispatcher_m.post(0, [] {}));
    EXPECT_FALSE(dispatcher_m.post(dispatcher_m.currentLoop(), std::function<void()>()));
    EXPECT_FALSE(ran);
}

// Each poster's tasks keep their order among the others' (run under TSan as well).
TEST_F(DispatcherPostTest, ManyThreadsPostConcurrentlyAndEachKeepsItsOrder) {
    const int posters = 4, perPoster = 500;
    Dispatcher::LoopId id = dispatcher_m.currentLoop();
    std::vector<int> next(posters, 0);
    int run = 0, outOfOrder = 0;
    std::vector<std::thread> threads;
    threads.reserve(posters);
    for (int p = 0; p < posters; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < perPoster; ++i) {
                EXPECT_TRUE(dispatcher_m.post(id, [&, p, i] {
                    outOfOrder += next[p] != i;
                    next[p] = i + 1;
                    ++run;
                }));
            }
        });
    }
    runUntil([&] { return run == posters * perPoster; });
    for (std::thread& thread_r : threads) {
        thread_r.join();
    }
    EXPECT_EQ(0, outOfOrder);
}

TEST_F(DispatcherPostTest, LoopDescriptorIsReadableWhileARoundHasWorkAndClosesWithItsThread) {
    int loopFd = dispatcher_m.getLoopDescriptor();
    ASSERT_GE(loopFd, 0);
    EXPECT_FALSE(isReadable(loopFd));
    int run = 0;
    ASSERT_TRUE(dispatcher_m.post(dispatcher_m.currentLoop(), [&run] { ++run; }));
    EXPECT_TRUE(isReadable(loopFd));
    EXPECT_TRUE(isReadable(loopFd)) << "not level-triggered: a late foreign loop lost the work";
    EXPECT_EQ(1, dispatcher_m.listenOnce(0));
    EXPECT_EQ(1, run);
    EXPECT_FALSE(isReadable(loopFd));

    IdleLoopThread idle(dispatcher_m);
    ASSERT_EQ("anon_inode:[eventpoll]", linkOf(idle.descriptor));
    idle.end();
    EXPECT_NE("anon_inode:[eventpoll]", linkOf(idle.descriptor)) << "loop descriptor leaked";
}

}  // namespace
