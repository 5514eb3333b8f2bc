// The debug logger: level filtering, %m, sinks, the standard-error format, module handles and
// logging from several threads.
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "dbgLog.h"
#include "gtest/gtest.h"
#include "logCapture.h"

namespace {

using cmn::DbgModuleDescriptor;
using cmn::DebugLogger;
using cmn::test::ScopedLogCapture;

DebugLogger& logger() { return cmn::SingletonHolder<DebugLogger>::getInstance(); }

// A module of the test's own, so that levels set by one test never leak into another.
DbgModuleDescriptor* moduleOfThisTest() {
    const testing::TestInfo* info_p = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info_p->test_suite_name()) + "." + info_p->name();
    return const_cast<DbgModuleDescriptor*>(logger().registerModule(name));
}

// Sends descriptor 2 into a datagram socket for the life of the object, so that every write(2)
// arrives as one datagram that can be read back whole.
class StandardErrorCapture {
public:
    StandardErrorCapture() {
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds_m));
        savedFd_m = dup(2);
        EXPECT_EQ(2, dup2(fds_m[1], 2));
    }
    ~StandardErrorCapture() {
        dup2(savedFd_m, 2);
        close(savedFd_m);
        close(fds_m[0]);
        close(fds_m[1]);
    }
    // The writes made so far, one string per write.
    std::vector<std::string> writes() {
        std::vector<std::string> result;
        char buffer[8192];
        for (;;) {
            ssize_t length = recv(fds_m[0], buffer, sizeof(buffer), MSG_DONTWAIT);
            if (length < 0) {
                return result;
            }
            result.emplace_back(buffer, static_cast<size_t>(length));
        }
    }

private:
    int fds_m[2];
    int savedFd_m;
};

class DbgLogTest : public testing::Test {
protected:
    DbgModuleDescriptor* module_p = moduleOfThisTest();
};

// ---------------------------------------------------------------------------------------------
// Level filtering
// ---------------------------------------------------------------------------------------------

struct FilterCase {
    const char* name;
    DebugLogLevelType moduleLevel;
    // Whether critical, err, info and debug are emitted.
    bool emitted[4];
};

void PrintTo(const FilterCase& c, std::ostream* os_p) { *os_p << c.name; }

class DbgLogFilterTest : public DbgLogTest, public testing::WithParamInterface<FilterCase> {};

TEST_P(DbgLogFilterTest, EmitsExactlyTheLevelsAtOrBelowTheModuleLevel) {
    const FilterCase& c = GetParam();
    ASSERT_TRUE(logger().setModuleDebugLevel(module_p, c.moduleLevel));
    ScopedLogCapture capture;
    module_p->dbgLog_critical(__FILE__, __LINE__, "%s", "c");
    module_p->dbgLog_err(__FILE__, __LINE__, "%s", "e");
    module_p->dbgLog_info(__FILE__, __LINE__, "%s", "i");
    module_p->dbgLog_debug(__FILE__, __LINE__, "%s", "d");

    const DebugLogLevelType levels[] = {DBGLEVEL_CRITICAL, DBGLEVEL_ERROR, DBGLEVEL_INFO,
                                        DBGLEVEL_DEBUG};
    uint32_t expectedCount = 0;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(c.emitted[i] ? 1u : 0u, capture.count(levels[i])) << "level " << levels[i];
        expectedCount += c.emitted[i] ? 1 : 0;
    }
    EXPECT_EQ(expectedCount, capture.records().size());
    EXPECT_EQ(expectedCount, module_p->getLogCount());
}

INSTANTIATE_TEST_SUITE_P(
    Levels, DbgLogFilterTest,
    testing::Values(FilterCase{"ModuleAtEmergency", DBGLEVEL_EMERG, {false, false, false, false}},
                    FilterCase{"ModuleAtCritical", DBGLEVEL_CRITICAL, {true, false, false, false}},
                    FilterCase{"ModuleAtError", DBGLEVEL_ERROR, {true, true, false, false}},
                    FilterCase{"ModuleAtInfo", DBGLEVEL_INFO, {true, true, true, false}},
                    FilterCase{"ModuleAtDebug", DBGLEVEL_DEBUG, {true, true, true, true}}),
    [](const testing::TestParamInfo<FilterCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// Formatting
// ---------------------------------------------------------------------------------------------

TEST_F(DbgLogTest, SinkGetsTheMessageWithPercentMAsTheErrnoOfTheCall) {
    ScopedLogCapture capture;
    std::string padding(1000, 'x');  // past the stack buffer, so the retry also sees errno
    errno = ENOENT;
    module_p->dbgLog_err("a/b.cpp", 42, "open %s failed: %m", "f");
    EXPECT_EQ(ENOENT, errno);
    errno = EACCES;
    module_p->dbgLog_err(__FILE__, __LINE__, "%s: %m", padding.c_str());
    EXPECT_EQ(EACCES, errno);

    std::vector<ScopedLogCapture::Record> records = capture.records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(std::string("open f failed: ") + strerror(ENOENT), records[0].text);
    EXPECT_EQ(padding + ": " + strerror(EACCES), records[1].text);
    EXPECT_EQ(module_p->getModuleName(), records[0].module);
    EXPECT_EQ(DBGLEVEL_ERROR, records[0].level);
    EXPECT_EQ("a/b.cpp", records[0].file);
    EXPECT_EQ(42, records[0].line);
}

// ---------------------------------------------------------------------------------------------
// Standard error
// ---------------------------------------------------------------------------------------------

TEST_F(DbgLogTest, StandardErrorGetsOneWritePerMessage) {
    StandardErrorCapture stderrCapture;
    module_p->dbgLog_critical("f.cpp", 9, "%s", "first");
    module_p->dbgLog_info("g.cpp", 10, "two\nlines %d", 2);
    std::string name = module_p->getModuleName();
    std::vector<std::string> writes = stderrCapture.writes();
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(name + " CRIT f.cpp:9 first\n", writes[0]);
    EXPECT_EQ(name + " INFO g.cpp:10 two\nlines 2\n", writes[1]);
}

TEST_F(DbgLogTest, EmptySinkRestoresStandardError) {
    StandardErrorCapture stderrCapture;
    {
        ScopedLogCapture capture;
        module_p->dbgLog_err("f.cpp", 1, "%s", "captured");
        EXPECT_TRUE(capture.contains(DBGLEVEL_ERROR, "captured"));
    }
    module_p->dbgLog_err("f.cpp", 2, "%s", "restored");
    std::vector<std::string> writes = stderrCapture.writes();
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ(module_p->getModuleName() + " ERR f.cpp:2 restored\n", writes[0]);
}

// ---------------------------------------------------------------------------------------------
// Modules and levels
// ---------------------------------------------------------------------------------------------

TEST_F(DbgLogTest, SameNameGivesSameHandleAtInfo) {
    const DbgModuleDescriptor* fresh_p = logger().registerModule("DbgLogTest.fresh");
    EXPECT_EQ(fresh_p, logger().registerModule("DbgLogTest.fresh"));
    EXPECT_NE(fresh_p, logger().registerModule("DbgLogTest.other"));
    EXPECT_EQ(DBGLEVEL_INFO, fresh_p->getDebugLevel());
    EXPECT_EQ("DbgLogTest.fresh", fresh_p->getModuleName());
}

TEST_F(DbgLogTest, SetLevelRefusesNullAndLevelsOutsideTheRange) {
    EXPECT_FALSE(logger().setModuleDebugLevel(nullptr, DBGLEVEL_DEBUG));
    ASSERT_TRUE(logger().setModuleDebugLevel(module_p, DBGLEVEL_ERROR));
    EXPECT_FALSE(logger().setModuleDebugLevel(module_p, MAX_LEVELS));
    EXPECT_FALSE(logger().setModuleDebugLevel(module_p, DBGLEVEL_NOLEVEL));
    EXPECT_FALSE(logger().setModuleDebugLevel(module_p, static_cast<DebugLogLevelType>(-1)));
    EXPECT_EQ(DBGLEVEL_ERROR, module_p->getDebugLevel());
    EXPECT_TRUE(logger().setModuleDebugLevel(module_p, DBGLEVEL_EMERG));
    EXPECT_TRUE(logger().setModuleDebugLevel(module_p, DBGLEVEL_DEBUG));
    EXPECT_EQ(DBGLEVEL_DEBUG, module_p->getDebugLevel());
}

// ---------------------------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------------------------

TEST_F(DbgLogTest, ConcurrentLoggingDeliversEveryMessage) {
    const int threadCount = 4;
    const int messagesPerThread = 500;
    ScopedLogCapture capture;
    std::string name = module_p->getModuleName();
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&name, t] {
            const DbgModuleDescriptor* shared_p = logger().registerModule(name);
            for (int i = 0; i < messagesPerThread; ++i) {
                shared_p->dbgLog_info(__FILE__, __LINE__, "thread %d message %d", t, i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(static_cast<size_t>(threadCount * messagesPerThread), capture.count(DBGLEVEL_INFO));
    EXPECT_EQ(static_cast<uint32_t>(threadCount * messagesPerThread), module_p->getLogCount());
}

TEST_F(DbgLogTest, SinkMayLogAndReplaceTheSink) {
    const DbgModuleDescriptor* inner_p = module_p;
    std::atomic<int> calls{0};
    logger().setSink([&calls, inner_p](const DbgModuleDescriptor&, DebugLogLevelType, const char*,
                                       int, const std::string& text) {
        if (++calls == 1) {
            inner_p->dbgLog_err(__FILE__, __LINE__, "nested %s", text.c_str());
            logger().setSink(DebugLogger::Sink());
        }
    });
    StandardErrorCapture stderrCapture;
    module_p->dbgLog_err(__FILE__, __LINE__, "%s", "outer");
    EXPECT_EQ(2, calls.load());
    module_p->dbgLog_err("f.cpp", 3, "%s", "after");
    std::vector<std::string> writes = stderrCapture.writes();
    ASSERT_EQ(1u, writes.size());
    EXPECT_NE(std::string::npos, writes[0].find("after"));
}

TEST_F(DbgLogTest, SetSinkWaitsForRunningCallOfTheOldSink) {
    std::atomic<bool> inSink{false};
    std::atomic<bool> release{false};
    std::atomic<bool> sinkReturned{false};
    logger().setSink(
        [&](const DbgModuleDescriptor&, DebugLogLevelType, const char*, int, const std::string&) {
            inSink = true;
            while (!release) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            sinkReturned = true;
        });
    std::thread logging([this] { module_p->dbgLog_err(__FILE__, __LINE__, "%s", "slow"); });
    while (!inSink) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::thread releaser([&release] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        release = true;
    });
    logger().setSink(DebugLogger::Sink());
    EXPECT_TRUE(sinkReturned.load());
    logging.join();
    releaser.join();
}

}  // namespace
