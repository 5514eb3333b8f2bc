// The timer manager's diagnostic commands through the process's command server, byte for byte.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

const std::string kHyphens = std::string(56, '-') + "\n";

// The show-state text up to and including the dot line.
std::string stateHeader(const char* timers, int total, int current, int timeouts, int zombies) {
    // The socket line is formatted into 100 bytes, so a long path loses the end of its line.
    std::string socketLine = "cbSocket: " + std::to_string(manager().getCbSocket()) +
                             "; cbsocket_file: " + manager().getCbAddress().sun_path + "\n";
    char text[400];
    snprintf(text, sizeof(text),
             "SingletonKey: %d\nTimers are: %s\n%sTotal Users: %d; Current Entries: %d;\n"
             "Timeout Count: %d Zombie Timeouts: %d;\n",
             static_cast<int>(SingletonPerThread<TimerManager>::getSingletonKey()), timers,
             socketLine.substr(0, 99).c_str(), total, current, timeouts, zombies);
    return kHyphens + "cmn::TimerManager\n" + kHyphens + text + std::string(55, '.') + "\n";
}

// The response text, then the result.
std::string run(const std::string& line) {
    bool result = false;
    std::string out = runCommand(line, &result);
    return out + (result ? "true" : "false");
}

using TimerCommandsTest = TimerFixture;

TEST_F(TimerCommandsTest, DebugEnableAddsAndRemovesTheExtraCommands) {
    const std::string adding = "Adding extra commands\ntrue";
    const std::string removing = "Removing extra commands\ntrue";
    EXPECT_EQ(removing, run("tmgr-debug-enable 0"));
    EXPECT_EQ(adding, run("tmgr-debug-enable"));
    EXPECT_EQ(adding, run("tmgr-debug-enable 1"));
    EXPECT_NE(std::string::npos,
              runCommand("help").find(
                  "cmn::TimerManager Commands:\n"
                  "  tmgr-cancel-timer : <timerId> cancel specified timer\n"
                  "  tmgr-debug-enable : [1|0] - (add|remove) additional UNSAFE mdf commands\n"
                  "  tmgr-disable-timers : stops all timers and prevents new ones\n"
                  "  tmgr-enable-timers : restarts all timers and allows new ones \n"
                  "  tmgr-show-state : shows state of mgr & all running timers\n"
                  "  tmgr-simulate-timeout : <timerId> pretend specified timer expired \n."));
    EXPECT_EQ(removing, run("tmgr-debug-enable 0"));
    EXPECT_EQ(adding, run("tmgr-debug-enable -1"));
    EXPECT_EQ(removing, run("tmgr-debug-enable off"));
    EXPECT_EQ(0u, run("tmgr-enable-timers").find("unknown command"));
}

// Timer 0 runs, timer 1 was cancelled, timers 2 and 3 start while timers are disabled. A
// simulated timeout of timer 3 runs with timers enabled and leaves them disabled.
TEST_F(TimerCommandsTest, DisableThenEnableRestartsEveryEntry) {
    RecordingClient client;
    startPeriodic(100, &client);
    startPeriodic(200, &client);
    manager().cancelTimer(1, false);
    runCommand("tmgr-debug-enable");
    EXPECT_EQ("Timers are disabled\ntrue", run("tmgr-disable-timers"));
    startOneShot(300, &client);
    startOneShot(300, &client);
    EXPECT_EQ(
        "Testing TimerManager - verb = tmgr-simulate-timeout\nTimout simulated OK on Id: 3\ntrue",
        run("tmgr-simulate-timeout 3"));
    EXPECT_FALSE(manager().isTimersEnabled());
    EXPECT_EQ(0u, runCommand("tmgr-show-state").find(stateHeader("Disabled", 4, 3, 0, 1)));
    EXPECT_EQ("Timers are enabled\ntrue", run("tmgr-enable-timers"));
    for (uint32_t timerId = 0; timerId < 3; ++timerId) {
        EXPECT_NE(std::string::npos, entryState(timerId).find("[On]")) << timerId;
    }
    EXPECT_TRUE(client.calls.empty());
}

// Timer 0 is periodic with user data, 1 and 3 are one-shots, 2 is a periodic clock-sync timer.
TEST_F(TimerCommandsTest, SimulateAndCancelAnswerEveryRowAndShowStateListsEveryKind) {
    RecordingClient client;
    PAUserData userData;
    uint32_t timerId = 0;
    startPeriodic(2500000000u, &client, &userData, kNs);
    startOneShot(100, &client);
    ASSERT_TRUE(manager().startPeriodicClockSyncTimer(timerId, 60, 0, &client, nullptr));
    startOneShot(250, &client);
    runCommand("tmgr-debug-enable");
    const std::string simulate = "Testing TimerManager - verb = tmgr-simulate-timeout\n";
    const std::string cancel = "Testing TimerManager - verb = tmgr-cancel-timer\n";
    EXPECT_EQ(simulate + "Timout simulated OK on Id: 0\ntrue", run("tmgr-simulate-timeout 0"));
    EXPECT_EQ(simulate + "Timout simulated OK on Id: 1\ntrue", run("tmgr-simulate-timeout 1"));
    EXPECT_EQ(simulate + "Timout simulated OK on Id: 4294967295\ntrue",
              run("tmgr-simulate-timeout -1"));
    EXPECT_EQ(simulate + "usage: tmgr-simulate-timeout [timerId]\nfalse",
              run("tmgr-simulate-timeout"));
    EXPECT_EQ(cancel + "usage: tmgr-cancel-timer [timerId]\nfalse", run("tmgr-cancel-timer"));
    EXPECT_EQ(cancel + "Timer canceled OK on Id: 0\ntrue", run("tmgr-cancel-timer 0"));
    EXPECT_EQ(cancel + "Timer canceled OK on Id: 77\ntrue", run("tmgr-cancel-timer 77"));
    EXPECT_EQ("Testing TimerManager - verb = Tmgr-Cancel-Timer\nfalse", run("Tmgr-Cancel-Timer 0"));
    EXPECT_EQ((std::vector<uint32_t>{0, 1}), client.ids());
    char userData_p[16];
    snprintf(userData_p, sizeof(userData_p), "0x%x",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(&userData)));
    EXPECT_EQ(stateHeader("Enabled", 4, 3, 0, 0) +
                  "[0] client: Type: Periodic [Cancelled] - userData: " + userData_p +
                  "\n  Period: -1794967296 nanoseconds (2 sec : 500000000 nanosec): Timeouts: 1\n"
                  "[2] client: Type: Periodic - clock-sync [On] - userData: 0x0\n"
                  "  Period: 60000 milliseconds (" +
                  std::to_string(fake.armingsOfTimer(2)[0].seconds) +
                  " sec : 0 nanosec): Timeouts: 0\n"
                  "[3] client: Type: One-Shot [On] - userData: 0x0\n"
                  "  Period: 250 milliseconds (0 sec : 250000000 nanosec): Timeouts: 0\n" +
                  kHyphens + "true",
              run("tmgr-show-state"));
}

}  // namespace
}  // namespace test
}  // namespace cmn
