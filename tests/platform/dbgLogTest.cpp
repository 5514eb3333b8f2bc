// The debug logger: level filtering, module handles, %m, sinks and standard error.
#include <errno.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commonTimerManager.h"
#include "dbgLog.h"
#include "forkedChild.h"
#include "gtest/gtest.h"
#include "logCapture.h"

namespace {

using cmn::DbgModuleDescriptor;
using cmn::DebugLogger;
using cmn::test::ScopedLogCapture;

DebugLogger& logger() { return cmn::SingletonHolder<DebugLogger>::getInstance(); }

DbgModuleDescriptor* module(const std::string& name) {
    return const_cast<DbgModuleDescriptor*>(logger().registerModule(name));
}

TEST(DbgLogTest, EmitsTheLevelsAtOrBelowTheModuleLevelWithPercentMAsTheCallersErrno) {
    DbgModuleDescriptor* module_p = module("DbgLogTest.filter");
    EXPECT_EQ(module_p, module("DbgLogTest.filter"));
    EXPECT_EQ(DBGLEVEL_INFO, module_p->getDebugLevel());
    EXPECT_FALSE(logger().setModuleDebugLevel(nullptr, DBGLEVEL_DEBUG));
    EXPECT_FALSE(logger().setModuleDebugLevel(module_p, MAX_LEVELS));
    std::string emitted;
    ScopedLogCapture capture;
    for (DebugLogLevelType level :
         {DBGLEVEL_EMERG, DBGLEVEL_CRITICAL, DBGLEVEL_ERROR, DBGLEVEL_INFO, DBGLEVEL_DEBUG}) {
        ASSERT_TRUE(logger().setModuleDebugLevel(module_p, level));
        module_p->dbgLog_critical(__FILE__, __LINE__, "%s", "c");
        module_p->dbgLog_err(__FILE__, __LINE__, "%s", "e");
        module_p->dbgLog_info(__FILE__, __LINE__, "%s", "i");
        module_p->dbgLog_debug(__FILE__, __LINE__, "%s", "d");
        emitted += "|";
        for (const ScopedLogCapture::Record& record : capture.records()) {
            emitted += record.text + std::to_string(record.level);
        }
        capture.clear();
    }
    EXPECT_EQ("||c2|c2e3|c2e3i6|c2e3i6d7", emitted);
    const std::string padding(1000, 'x');  // past any stack buffer: a retry must see errno too
    errno = ENOENT;
    module_p->dbgLog_err("a/b.cpp", 42, "%s open failed: %m", padding.c_str());
    EXPECT_EQ(ENOENT, errno);
    const ScopedLogCapture::Record record = capture.records().at(0);
    EXPECT_EQ("DbgLogTest.filter a/b.cpp 42 3 " + padding + " open failed: " + strerror(ENOENT),
              record.module + " " + record.file + " " + std::to_string(record.line) + " " +
                  std::to_string(record.level) + " " + record.text);
    EXPECT_EQ(11u, module_p->getLogCount());
}

TEST(DbgLogTest, StandardErrorGetsTheMessagesAgainOnceTheSinkIsEmptied) {
    DbgModuleDescriptor* module_p = module("DbgLogTest.stderr");
    testing::internal::CaptureStderr();
    {
        ScopedLogCapture capture;
        module_p->dbgLog_err("f.cpp", 1, "%s", "captured");
    }
    module_p->dbgLog_info("g.cpp", 10, "two\nlines %d", 2);
    EXPECT_EQ("DbgLogTest.stderr INFO g.cpp:10 two\nlines 2\n",
              testing::internal::GetCapturedStderr());
}

TEST(DbgLogTest, SetSinkWaitsForRunningCallOfTheOldSink) {
    std::promise<void> entered;
    std::atomic<bool> sinkReturned{false};
    logger().setSink(
        [&](const DbgModuleDescriptor&, DebugLogLevelType, const char*, int, const std::string&) {
            entered.set_value();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            sinkReturned = true;
        });
    std::thread logging([] { module("DbgLogTest.slow")->dbgLog_err("f.cpp", 1, "%s", "slow"); });
    entered.get_future().wait();
    logger().setSink(DebugLogger::Sink());
    EXPECT_TRUE(sinkReturned.load());
    logging.join();
}

// The sink's captures are the application's objects: their destructors may log.
TEST(DbgLogTest, ReplacedSinkMayLogWhileItIsDestroyed) {
    struct LogsWhenDestroyed {
        ~LogsWhenDestroyed() { module("DbgLogTest.dtor")->dbgLog_debug("f.cpp", 1, "%s", "gone"); }
    };
    EXPECT_EQ(0, cmn::test::runInForkedChild([] {
                  std::shared_ptr<LogsWhenDestroyed> capture_p(new LogsWhenDestroyed());
                  logger().setSink([capture_p](const DbgModuleDescriptor&, DebugLogLevelType,
                                               const char*, int, const std::string&) {});
                  capture_p.reset();
                  logger().setSink(DebugLogger::Sink());
                  return 0;
              }));
}

// What a child of fork() does with the logger: make a manager (which registers its modules;
// not under ThreadSanitizer, as it starts a thread), log, and put standard error back. 0 when
// every message reached the sink it was sent to.
int useTheLoggerInChild(const std::atomic<int>& delivered) {
    if (cmn::test::childMayStartThreads) {
        cmn::SingletonPerThread<cmn::TimerManager>::getInstance();
    }
    const int before = delivered.load();
    module("DbgLogTest.child")->dbgLog_err("f.cpp", 1, "%s", "from the child");
    const bool reachedSink = delivered.load() == before + 1;
    logger().setSink(DebugLogger::Sink());
    module("DbgLogTest.child")->dbgLog_debug("f.cpp", 2, "%s", "filtered out");
    cmn::SingletonPerThread<cmn::TimerManager>::deleteInstance();  // none: nothing happens
    return reachedSink ? 0 : 1;
}

// Another thread is inside the sink, blocked, when the main thread forks: the child has no such
// thread, so nothing in it may wait for that call to end.
TEST(DbgLogForkTest, ChildOfAForkDuringASinkCallLogsAndReplacesTheSink) {
    std::mutex gateMutex;
    std::condition_variable gateOpened;
    bool open = false;
    std::promise<void> entered;
    std::atomic<int> delivered{0};
    logger().setSink([&](const DbgModuleDescriptor&, DebugLogLevelType, const char*, int,
                         const std::string& text) {
        if (text == "hold") {
            entered.set_value();
            std::unique_lock<std::mutex> lock(gateMutex);
            gateOpened.wait(lock, [&open] { return open; });
        }
        ++delivered;
    });
    std::thread holder([] { module("DbgLogTest.holder")->dbgLog_err("f.cpp", 1, "%s", "hold"); });
    entered.get_future().wait();
    EXPECT_EQ(0,
              cmn::test::runInForkedChild([&delivered] { return useTheLoggerInChild(delivered); }));
    {
        std::lock_guard<std::mutex> lock(gateMutex);
        open = true;
        gateOpened.notify_all();
    }
    holder.join();
    logger().setSink(DebugLogger::Sink());
    EXPECT_EQ(1, delivered.load());
}

// Forks while another thread keeps registering modules and logging, so that the logger's lock
// is often held, and its sink often running, at the moment of a fork: no child may inherit the
// lock held or wait for a call that only the parent makes. The busy thread allocates nothing
// (the names exist, the messages are short), so no child inherits an allocator lock it held.
TEST(DbgLogForkTest, ChildrenOfForksAmidRegistrationsAndDeliveriesUseTheLogger) {
    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0};
    logger().setSink([&delivered](const DbgModuleDescriptor&, DebugLogLevelType, const char*, int,
                                  const std::string&) { ++delivered; });
    std::vector<std::string> names;
    for (int i = 0; i < 16; ++i) {
        names.push_back("DbgLogTest.busy" + std::to_string(i));
        module(names.back());
    }
    std::thread busy([&stop, &names] {
        for (unsigned i = 0; !stop.load(); ++i) {
            logger().registerModule(names[i % names.size()])->dbgLog_info("f.cpp", 1, "%u", i);
        }
    });
    int result = 0;
    for (int child = 0; child < 20 && result == 0; ++child) {
        result =
            cmn::test::runInForkedChild([&delivered] { return useTheLoggerInChild(delivered); });
    }
    stop = true;
    busy.join();
    logger().setSink(DebugLogger::Sink());
    EXPECT_EQ(0, result);
}

}  // namespace
