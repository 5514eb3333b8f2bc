// The dispatcher-client base: defaults of the callbacks and the counters. syslog is interposed
// in this executable, so the base's reports are captured instead of sent.
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

#include <mutex>
#include <string>
#include <vector>

#include "commonDispatcher.h"
#include "gtest/gtest.h"

namespace {

struct SyslogLine {
    int priority;
    std::string text;
};

std::mutex syslogMutex;
std::vector<SyslogLine> syslogLines;

void recordSyslog(int priority, const char* format, va_list args) {
    char text[1024];
    vsnprintf(text, sizeof(text), format, args);
    std::lock_guard<std::mutex> lock(syslogMutex);
    syslogLines.push_back(SyslogLine{priority, text});
}

std::vector<SyslogLine> takeSyslogLines() {
    std::lock_guard<std::mutex> lock(syslogMutex);
    std::vector<SyslogLine> lines;
    lines.swap(syslogLines);
    return lines;
}

}  // namespace

// The fortified variants are what an optimised build with _FORTIFY_SOURCE calls.
extern "C" {
void syslog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    recordSyslog(priority, format, args);
    va_end(args);
}
void vsyslog(int priority, const char* format, va_list args) {
    recordSyslog(priority, format, args);
}
void __syslog_chk(int priority, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    recordSyslog(priority, format, args);
    va_end(args);
}
void __vsyslog_chk(int priority, int, const char* format, va_list args) {
    recordSyslog(priority, format, args);
}
}

namespace {

using cmn::ADispatcherClient;

// Overrides only the read callback, as the timer manager does.
class ReadOnlyClient : public ADispatcherClient {
public:
    ReadOnlyClient() = default;
    explicit ReadOnlyClient(SubscriberType type) : ADispatcherClient(type) {}
    int getPrimarySocket() override { return 7; }
    std::string getSocketName(int) const override { return "readOnly"; }
    int reads = 0;

private:
    bool socketCallback(int) override {
        ++reads;
        return true;
    }
};

// Overrides nothing that the base has a default for.
class BareClient : public ADispatcherClient {
public:
    int getPrimarySocket() override { return 9; }
    std::string getSocketName(int) const override { return "bare"; }
};

class DispatcherClientTest : public testing::Test {
protected:
    void SetUp() override { takeSyslogLines(); }
};

TEST_F(DispatcherClientTest, FreshClientIsCppSubscriberWithNoEvents) {
    ReadOnlyClient client;
    EXPECT_EQ(ADispatcherClient::cppSubscriber_c, client.getSubscriberType());
    EXPECT_EQ(0u, client.getEventCount());
    ReadOnlyClient typed(ADispatcherClient::cSubscriber_c);
    EXPECT_EQ(ADispatcherClient::cSubscriber_c, typed.getSubscriberType());
    EXPECT_EQ(0u, typed.getEventCount());
}

struct DefaultCase {
    const char* name;
    ADispatcherClient::FdEventType type;
    const char* text;
};

void PrintTo(const DefaultCase& c, std::ostream* os_p) { *os_p << c.name; }

class DispatcherClientDefaultTest : public DispatcherClientTest,
                                    public testing::WithParamInterface<DefaultCase> {};

TEST_P(DispatcherClientDefaultTest, DefaultLogsCriticalAndRefuses) {
    ReadOnlyClient readOnly;
    BareClient bare;
    ADispatcherClient& client_r = GetParam().type == ADispatcherClient::fdReadEvent_c
                                      ? static_cast<ADispatcherClient&>(bare)
                                      : static_cast<ADispatcherClient&>(readOnly);
    EXPECT_FALSE(client_r.handleEvent(31, GetParam().type));
    std::vector<SyslogLine> lines = takeSyslogLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(LOG_CRIT, lines[0].priority);
    const std::string& text = lines[0].text;
    ASSERT_EQ('[', text[0]);
    size_t close = text.find("] ");
    ASSERT_NE(std::string::npos, close);
    EXPECT_NE(std::string::npos, text.find(':')) << "no source position in " << text;
    EXPECT_EQ(GetParam().text, text.substr(close + 2));
    EXPECT_EQ(1u, client_r.getEventCount());
}

INSTANTIATE_TEST_SUITE_P(
    Callbacks, DispatcherClientDefaultTest,
    testing::Values(DefaultCase{"Read", ADispatcherClient::fdReadEvent_c,
                                "ADispatcherClient::socketCallback(31) - not overridden!"},
                    DefaultCase{"Write", ADispatcherClient::fdWriteEvent_c,
                                "ADispatcherClient::writeCallback(31) - not overridden!"},
                    DefaultCase{"Exception", ADispatcherClient::fdExceptionEvent_c,
                                "ADispatcherClient::exceptionCallback(31) - not overridden!"}),
    [](const testing::TestParamInfo<DefaultCase>& info) { return info.param.name; });

TEST_F(DispatcherClientTest, OverriddenReadIsCountedAndLogsNothing) {
    ReadOnlyClient client;
    EXPECT_TRUE(client.handleEvent(7, ADispatcherClient::fdReadEvent_c));
    EXPECT_TRUE(client.handleEvent(7, ADispatcherClient::fdReadEvent_c));
    EXPECT_EQ(2, client.reads);
    EXPECT_EQ(2u, client.getEventCount());
    EXPECT_TRUE(takeSyslogLines().empty());
}

TEST_F(DispatcherClientTest, UndefinedEventIsRefusedUncounted) {
    ReadOnlyClient client;
    EXPECT_FALSE(client.handleEvent(7, ADispatcherClient::fdUndefinedEvent_c));
    EXPECT_FALSE(client.handleEvent(7, static_cast<ADispatcherClient::FdEventType>(42)));
    EXPECT_EQ(0, client.reads);
    EXPECT_EQ(0u, client.getEventCount());
    EXPECT_TRUE(takeSyslogLines().empty());
}

}  // namespace
