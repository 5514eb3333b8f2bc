// Commands run on the thread that registered their handler: from executeCommand on another
// thread and through the operator socket, with a bounded wait for an owner that does not serve
// its loop, and against an owner that withdraws its handler or ends. The owners here are
// threads of the test's own; the test thread plays the caller.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commonDispatcher.h"
#include "commonTimerManager.h"
#include "mdfServer.h"
#include "operatorClient.h"
#include "singletonPerThread.h"
#include "tempPath.h"

namespace {

using cmn::test::askServer;
using cmn::test::execute;

// "Never happened" bound, far beyond the server's 3 s wait for an owner.
const int kBudgetMs = 20000;
const std::string kNotServed =
    "did not run: the thread that owns it did not serve its loop within 3000 ms\n";

mdf::Server& server() { return cmn::SingletonHolder<mdf::Server>::getInstance(); }
cmn::Dispatcher& dispatcher() { return cmn::SingletonHolder<cmn::Dispatcher>::getInstance(); }

// A thread that serves its dispatcher loop until stopped and, between rounds, runs what call()
// hands it. After hold() it no longer serves its loop (calls still run) until release().
class LoopThread {
public:
    LoopThread() : thread_m([this] { serve(); }) {}
    ~LoopThread() { stop(); }

    // Runs fn on the thread and waits for it.
    void call(const std::function<void()>& fn) {
        std::packaged_task<void()> task(fn);
        std::future<void> done = task.get_future();
        {
            std::lock_guard<std::mutex> lock(mutex_m);
            calls_m.push_back(std::move(task));
        }
        wake_m.notify_all();
        done.get();
    }
    // Returns once the thread is between rounds and will start no other.
    void hold() {
        call([this] { held_m = true; });
    }
    void release() {
        call([this] { held_m = false; });
    }
    // Ends the thread (tasks still queued in its loop go with it).
    void stop() {
        if (!thread_m.joinable()) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_m);
            stop_m = true;
        }
        wake_m.notify_all();
        thread_m.join();
    }
    std::thread::id id() const { return thread_m.get_id(); }

private:
    void serve() {
        for (;;) {
            std::deque<std::packaged_task<void()>> calls;
            {
                std::unique_lock<std::mutex> lock(mutex_m);
                wake_m.wait(lock, [this] { return stop_m || !calls_m.empty() || !held_m; });
                if (stop_m) {
                    return;
                }
                calls.swap(calls_m);
            }
            for (std::packaged_task<void()>& task : calls) {
                task();
            }
            if (!held_m) {
                dispatcher().listenOnce(10);
            }
        }
    }

    std::mutex mutex_m;
    std::condition_variable wake_m;
    std::deque<std::packaged_task<void()>> calls_m;
    bool held_m = false;  // the thread's own
    bool stop_m = false;
    std::thread thread_m;
};

// Commands that note the thread they ran on.
class Target {
public:
    bool note(int argc, char** argv, std::string& out_r) {
        std::lock_guard<std::mutex> lock(mutex_m);
        threads_m.push_back(std::this_thread::get_id());
        out_r += argc > 1 ? argv[1] : "noted";
        return true;
    }
    // Blocks until `release` is set, after setting `started`.
    bool block(int /*argc*/, char** /*argv*/, std::string& out_r) {
        started.set_value();
        release.get_future().wait();
        out_r += "unblocked";
        return true;
    }
    std::vector<std::thread::id> threads() {
        std::lock_guard<std::mutex> lock(mutex_m);
        return threads_m;
    }

    std::promise<void> started;
    std::promise<void> release;

private:
    std::mutex mutex_m;
    std::vector<std::thread::id> threads_m;
};

typedef mdf::ACommandHandler<Target, bool (Target::*)(int, char**, std::string&)> TargetHandler;

// A timer client that notes the thread of each expiry.
class ThreadNotingClient : public cmn::PATimerClient {
public:
    bool timerExpired(uint32_t /*timerId*/, cmn::PAUserData* /*userData_p*/) override {
        std::lock_guard<std::mutex> lock(mutex_m);
        threads_m.push_back(std::this_thread::get_id());
        return true;
    }
    std::string getClientName() const override { return "noting"; }
    std::vector<std::thread::id> threads() {
        std::lock_guard<std::mutex> lock(mutex_m);
        return threads_m;
    }

private:
    std::mutex mutex_m;
    std::vector<std::thread::id> threads_m;
};

// An owner thread (the worker) and a thread whose loop serves the operator socket.
class OwnerThreadTest : public testing::Test {
protected:
    void SetUp() override {
        listener_m.call([this] { listening_m = server().startListening(path_m); });
        ASSERT_TRUE(listening_m);
    }
    void TearDown() override {
        listener_m.call([] { server().stopListening(); });
        server().deregisterHandler(&handler_m);
    }
    // Registers handler_m with "tst-note" and "tst-block" on the worker.
    void registerOnWorker() {
        worker_m.call([this] {
            ASSERT_TRUE(server().registerNewHandler(&handler_m));
            ASSERT_TRUE(handler_m.addCommand("tst-note", "notes", &Target::note, target_m));
            ASSERT_TRUE(handler_m.addCommand("tst-block", "blocks", &Target::block, target_m));
        });
    }
    std::string ask(const std::string& request) { return askServer(path_m, request, kBudgetMs); }

    std::string path_m = "/tmp/mdf-owner-test." + std::to_string(getpid()) + ".socket";
    Target target_m;
    TargetHandler handler_m{"owned"};
    LoopThread worker_m;
    LoopThread listener_m;
    bool listening_m = false;
};

TEST_F(OwnerThreadTest, WorkerManagersCommandsRunOnTheWorkerAndMakeNoOtherManager) {
    ThreadNotingClient client;
    std::string listenerSocketFile;
    listener_m.call([&] { listenerSocketFile = cmn::test::callbackSocketPathOfThisThread(); });
    worker_m.call([&client] {
        uint32_t timerId = 0;
        ASSERT_TRUE(cmn::SingletonPerThread<cmn::TimerManager>::getInstance().startPeriodicTimer(
            timerId, 3600000, &client, nullptr, cmn::TimerManager::millisecondGranularity_c));
        ASSERT_EQ(0u, timerId);
    });
    const std::string simulated =
        "Testing TimerManager - verb = tmgr-simulate-timeout\nTimout simulated OK on Id: 0\n";
    EXPECT_EQ("Adding extra commands\ntrue", execute("tmgr-debug-enable"));
    EXPECT_EQ(simulated + "true", execute("tmgr-simulate-timeout 0"));
    EXPECT_EQ("OK\n" + simulated, ask("tmgr-simulate-timeout 0\n"));
    EXPECT_EQ("OK\nRemoving extra commands\n", ask("tmgr-debug-enable 0\n"));
    EXPECT_EQ((std::vector<std::thread::id>{worker_m.id(), worker_m.id()}), client.threads());
    EXPECT_FALSE(cmn::test::pathExists(cmn::test::callbackSocketPathOfThisThread()));
    EXPECT_FALSE(cmn::test::pathExists(listenerSocketFile));
    worker_m.call([] { cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance(); });
}

// The same command through executeCommand and the socket at once, while the worker does not
// serve its loop: both give up after the bound, and once the worker serves again the abandoned
// requests are not run.
TEST_F(OwnerThreadTest, OwnerNotServingItsLoopGivesFalseAfterTheBoundAndNeverRuns) {
    registerOnWorker();
    EXPECT_EQ("ranoncetrue", execute("tst-note ranonce"));
    worker_m.hold();
    std::future<std::string> viaSocket =
        std::async(std::launch::async, [this] { return ask("tst-note late\n"); });
    EXPECT_EQ("\"tst-note\" " + kNotServed + "false", execute("tst-note late"));
    EXPECT_EQ("FAILED\n\"tst-note\" " + kNotServed, viaSocket.get());
    worker_m.release();
    // One more request, queued behind the abandoned ones, shows they had their turn.
    EXPECT_EQ("lasttrue", execute("tst-note last"));
    EXPECT_EQ(2u, target_m.threads().size());
}

// While a command runs on the worker the socket serves other connections; then the listener
// closes that command's connection: the reply that comes back afterwards finds no connection
// and touches nothing (run it under AddressSanitizer).
TEST_F(OwnerThreadTest, SocketServesOthersWhileACommandRunsAndDropsItsReplyOnceClosed) {
    registerOnWorker();
    std::future<std::string> blocked =
        std::async(std::launch::async, [this] { return ask("tst-block\n"); });
    target_m.started.get_future().wait();
    EXPECT_EQ(0u, ask("help\n").find("OK\nmdf::Server Commands:\n"));
    listener_m.call([] { server().stopListening(); });
    EXPECT_EQ("", blocked.get());
    target_m.release.set_value();
    worker_m.call([] {});  // the command has finished and posted its reply
    listener_m.call([] { dispatcher().listenOnce(0); });
    listener_m.call([this] { EXPECT_TRUE(server().startListening(path_m)); });
    EXPECT_EQ("OK\nagain", ask("tst-note again\n"));
}

// Two owners each running the other's command from inside their own thread, and serving no loop
// until both have their answer: both give up after the bound instead of waiting for ever.
TEST_F(OwnerThreadTest, TwoOwnersWaitingForEachOtherBothGiveUp) {
    registerOnWorker();
    LoopThread other;
    Target otherTarget;
    TargetHandler otherHandler("other");
    other.call([&] {
        ASSERT_TRUE(server().registerNewHandler(&otherHandler));
        ASSERT_TRUE(otherHandler.addCommand("tst-other", "other", &Target::note, otherTarget));
    });
    // Held, neither serves its loop between calls (the first to give up would then run the
    // other's command); both are inside their call before either asks.
    worker_m.hold();
    other.hold();
    std::atomic<int> arrived{0};
    auto askWhenBothArrived = [&arrived](const std::string& line, std::string& result_r) {
        ++arrived;
        while (arrived.load() < 2) {
            std::this_thread::yield();
        }
        result_r = execute(line);
    };
    std::string fromWorker;
    std::string fromOther;
    std::future<void> workerAsks = std::async(std::launch::async, [&] {
        worker_m.call([&] { askWhenBothArrived("tst-other a", fromWorker); });
    });
    other.call([&] { askWhenBothArrived("tst-note b", fromOther); });
    workerAsks.get();
    EXPECT_EQ("\"tst-other\" " + kNotServed + "false", fromWorker);
    EXPECT_EQ("\"tst-note\" " + kNotServed + "false", fromOther);
    EXPECT_TRUE(target_m.threads().empty());
    EXPECT_TRUE(otherTarget.threads().empty());
    other.call([&otherHandler] { server().deregisterHandler(&otherHandler); });
}

// A request queued for a thread that ends, or made after it ended, is refused at once.
TEST_F(OwnerThreadTest, OwnerThreadEndingRefusesItsQueuedAndLaterCommands) {
    registerOnWorker();
    worker_m.hold();
    std::future<std::string> queued =
        std::async(std::launch::async, [] { return execute("tst-note queued"); });
    worker_m.stop();
    const std::string ended = "\"tst-note\" did not run: the thread that owns it has ended\n";
    EXPECT_EQ(ended + "false", queued.get());
    EXPECT_EQ("FAILED\n" + ended, ask("tst-note after\n"));
    EXPECT_TRUE(target_m.threads().empty());
}

// The worker makes and destroys its manager over and over while this thread runs its command:
// each request runs whole on a live manager or is refused, never on a freed one (run it under
// AddressSanitizer and ThreadSanitizer).
TEST_F(OwnerThreadTest, CommandRacingItsManagersDestructionRunsBeforeOrIsRefused) {
    std::atomic<bool> done{false};
    std::thread owner([&done] {
        for (int cycle = 0; cycle < 100; ++cycle) {
            cmn::SingletonPerThread<cmn::TimerManager>::getInstance();
            for (int round = 0; round < 3; ++round) {
                dispatcher().listenOnce(1);
            }
            cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance();
            dispatcher().listenOnce(0);
        }
        done.store(true);
    });
    int ran = 0;
    while (!done.load()) {
        std::string out;
        if (server().executeCommand("tmgr-show-state", out)) {
            ++ran;
            EXPECT_EQ(0u, out.find(std::string(56, '-') + "\ncmn::TimerManager\n")) << out;
            EXPECT_NE(std::string::npos, out.find("Current Entries: 0;")) << out;
        } else {
            EXPECT_TRUE(out ==
                            "unknown command \"tmgr-show-state\"; \"help\" lists the commands\n" ||
                        out.find("\"tmgr-show-state\" did not run: ") == 0)
                << out;
        }
    }
    owner.join();
    RecordProperty("commandsRun", ran);
}

}  // namespace
