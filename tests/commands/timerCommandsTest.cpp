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
    std::string out = kHyphens + "cmn::TimerManager\n" + kHyphens;
    char line[100];
    snprintf(line, sizeof(line), "SingletonKey: %d\n",
             static_cast<int>(SingletonPerThread<TimerManager>::getSingletonKey()));
    out += line;
    out += std::string("Timers are: ") + timers + "\n";
    // Each line is formatted into 100 bytes, so a long path loses the end of its line.
    std::string socketLine = "cbSocket: " + std::to_string(manager().getCbSocket()) +
                             "; cbsocket_file: " + manager().getCbAddress().sun_path + "\n";
    out += socketLine.substr(0, 99);
    out += "Total Users: " + std::to_string(total) +
           "; Current Entries: " + std::to_string(current) + ";\n";
    out += "Timeout Count: " + std::to_string(timeouts) +
           " Zombie Timeouts: " + std::to_string(zombies) + ";\n";
    return out + std::string(55, '.') + "\n";
}

struct Row {
    const char* line;
    std::string out;
    bool result;
};

class TimerCommandsTest : public TimerFixture {
protected:
    void expectRows(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            bool result = !row.result;
            EXPECT_EQ(row.out, runCommand(row.line, &result)) << row.line;
            EXPECT_EQ(row.result, result) << row.line;
        }
    }
};

TEST_F(TimerCommandsTest, ShowStateOfEmptyTable) {
    expectRows({{"tmgr-show-state", stateHeader("Enabled", 0, 0, 0, 0) + kHyphens, true}});
}

TEST_F(TimerCommandsTest, ShowStateListsEntriesOfEveryKind) {
    RecordingClient alarm("alarm");
    RecordingClient beta("beta");
    RecordingClient gamma("gamma");
    int deletions = 0;
    CountedUserData userData(&deletions);
    uint32_t timerId = 0;
    startOneShot(250, &alarm);
    startPeriodic(2500000000u, &beta, &userData, kNs);
    manager().cancelTimer(1, false);
    ASSERT_TRUE(manager().startPeriodicClockSyncTimer(timerId, 60, 0, &gamma, nullptr));
    ASSERT_TRUE(manager().startOneShotClockSyncTimer(timerId, 900, 0, &alarm, nullptr));
    startPeriodic(100, &beta);
    ASSERT_TRUE(fireAndDeliver(4));
    ASSERT_TRUE(fireAndDeliver(4));
    char userDataText[32];
    snprintf(userDataText, sizeof(userDataText), "0x%x",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(&userData)));
    std::string expected =
        stateHeader("Enabled", 5, 5, 2, 0) +
        "[0] alarm: Type: One-Shot [On] - userData: 0x0\n"
        "  Period: 250 milliseconds (0 sec : 250000000 nanosec): Timeouts: 0\n"
        "[1] beta: Type: Periodic [Cancelled] - userData: " +
        userDataText +
        "\n"
        "  Period: -1794967296 nanoseconds (2 sec : 500000000 nanosec): Timeouts: 0\n"
        "[2] gamma: Type: Periodic - clock-sync [On] - userData: 0x0\n"
        "  Period: 60000 milliseconds (" +
        std::to_string(fake.armingsOfTimer(2)[0].seconds) +
        " sec : 0 nanosec): Timeouts: 0\n"
        "[3] alarm: Type: One-Shot - clock-sync [On] - userData: 0x0\n"
        "  Period: 900000 milliseconds (" +
        std::to_string(fake.armingsOfTimer(3)[0].seconds) +
        " sec : 0 nanosec): Timeouts: 0\n"
        "[4] beta: Type: Periodic [On] - userData: 0x0\n"
        "  Period: 100 milliseconds (0 sec : 100000000 nanosec): Timeouts: 2\n" +
        kHyphens;
    expectRows({{"tmgr-show-state", expected, true}});
}

const std::string kExtraHelp =
    "  tmgr-cancel-timer : <timerId> cancel specified timer\n"
    "  tmgr-debug-enable : [1|0] - (add|remove) additional UNSAFE mdf commands\n"
    "  tmgr-disable-timers : stops all timers and prevents new ones\n"
    "  tmgr-enable-timers : restarts all timers and allows new ones \n"
    "  tmgr-show-state : shows state of mgr & all running timers\n"
    "  tmgr-simulate-timeout : <timerId> pretend specified timer expired \n";
const std::string kBaseHelp =
    "  tmgr-debug-enable : [1|0] - (add|remove) additional UNSAFE mdf commands\n"
    "  tmgr-show-state : shows state of mgr & all running timers\n";

std::string helpBlock(const std::string& commands) {
    return "cmn::TimerManager Commands:\n" + commands + std::string(56, '.') + "\n";
}

TEST_F(TimerCommandsTest, DebugEnableAddsAndRemovesTheExtraCommands) {
    EXPECT_NE(std::string::npos, runCommand("help").find(helpBlock(kBaseHelp)));
    bool result = true;
    runCommand("tmgr-disable-timers 1", &result);
    EXPECT_FALSE(result);
    const std::string adding = "Adding extra commands\n";
    const std::string removing = "Removing extra commands\n";
    expectRows({{"tmgr-debug-enable 0", removing, true},
                {"tmgr-debug-enable", adding, true},
                {"tmgr-debug-enable 1", adding, true}});
    EXPECT_NE(std::string::npos, runCommand("help").find(helpBlock(kExtraHelp)));
    expectRows({{"tmgr-debug-enable 0", removing, true}, {"tmgr-debug-enable 0", removing, true}});
    EXPECT_NE(std::string::npos, runCommand("help").find(helpBlock(kBaseHelp)));
    expectRows({{"tmgr-debug-enable -1", adding, true},
                {"tmgr-enable-timers", "Timers are enabled\n", true},
                {"tmgr-debug-enable off", removing, true}});
    runCommand("tmgr-enable-timers", &result);
    EXPECT_FALSE(result);
}

TEST_F(TimerCommandsTest, DisableThenEnableRestartsEveryEntry) {
    RecordingClient client;
    uint32_t running = startPeriodic(100, &client);
    uint32_t cancelled = startPeriodic(200, &client);
    manager().cancelTimer(cancelled, false);
    runCommand("tmgr-debug-enable");
    expectRows({{"tmgr-disable-timers", "Timers are disabled\n", true}});
    uint32_t lateId = startOneShot(300, &client);
    EXPECT_FALSE(manager().isTimersEnabled());
    EXPECT_EQ(stateHeader("Disabled", 3, 3, 0, 0),
              runCommand("tmgr-show-state").substr(0, stateHeader("Disabled", 3, 3, 0, 0).size()));
    for (uint32_t timerId : {running, cancelled, lateId}) {
        EXPECT_NE(std::string::npos, entryState(timerId).find("[Cancelled]")) << timerId;
    }
    expectRows({{"tmgr-enable-timers", "Timers are enabled\n", true}});
    EXPECT_TRUE(manager().isTimersEnabled());
    const size_t armingsAfter[] = {2, 2, 1};
    const uint32_t ids[] = {running, cancelled, lateId};
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(std::string::npos, entryState(ids[i]).find("[On]")) << ids[i];
        EXPECT_EQ(armingsAfter[i], fake.armingsOfTimer(ids[i]).size()) << ids[i];
    }
}

TEST_F(TimerCommandsTest, SimulateAndCancelAnswerEveryRow) {
    RecordingClient client;
    startPeriodic(100, &client);
    startOneShot(100, &client);
    runCommand("tmgr-debug-enable");
    const std::string simulate = "Testing TimerManager - verb = tmgr-simulate-timeout\n";
    const std::string cancel = "Testing TimerManager - verb = tmgr-cancel-timer\n";
    expectRows({
        {"tmgr-simulate-timeout 0", simulate + "Timout simulated OK on Id: 0\n", true},
        {"tmgr-simulate-timeout 1", simulate + "Timout simulated OK on Id: 1\n", true},
        {"tmgr-simulate-timeout 77", simulate + "Timout simulated OK on Id: 77\n", true},
        {"tmgr-simulate-timeout -1", simulate + "Timout simulated OK on Id: 4294967295\n", true},
        {"tmgr-simulate-timeout", simulate + "usage: tmgr-simulate-timeout [timerId]\n", false},
        {"tmgr-cancel-timer", cancel + "usage: tmgr-cancel-timer [timerId]\n", false},
        {"tmgr-cancel-timer 0", cancel + "Timer canceled OK on Id: 0\n", true},
        {"tmgr-cancel-timer -1", cancel + "Timer canceled OK on Id: 4294967295\n", true},
        {"TMGR-SIMULATE-TIMEOUT 0", "Testing TimerManager - verb = TMGR-SIMULATE-TIMEOUT\n", false},
        {"Tmgr-Cancel-Timer 0", "Testing TimerManager - verb = Tmgr-Cancel-Timer\n", false},
    });
    EXPECT_EQ((std::vector<uint32_t>{0, 1}), client.ids());
    std::string path = socketPath_m;
    EXPECT_EQ((std::vector<std::string>{
                  "triggerTimerEntry failed timerId 77, Timer manager's cbsocket file is " + path +
                      " Message source socket file is " + path + " ",
                  "triggerTimerEntry failed timerId -1, Timer manager's cbsocket file is " + path +
                      " Message source socket file is " + path + " ",
                  "deregisterSubscriberToTimery failed -1"}),
              log.texts(DBGLEVEL_CRITICAL));
    // The periodic timer stayed and was cancelled; the one-shot went after its expiry.
    EXPECT_EQ(1, counters().currentEntries);
    EXPECT_NE(std::string::npos, entryState(0).find("[Cancelled]"));
    EXPECT_EQ(0u, manager().getTimeoutCount());
}

TEST_F(TimerCommandsTest, SimulateWhileDisabledRestoresTheGate) {
    RecordingClient client;
    startPeriodic(100, &client);
    runCommand("tmgr-debug-enable");
    runCommand("tmgr-disable-timers");
    expectRows({{"tmgr-simulate-timeout 0",
                 "Testing TimerManager - verb = tmgr-simulate-timeout\n"
                 "Timout simulated OK on Id: 0\n",
                 true}});
    EXPECT_FALSE(manager().isTimersEnabled());
    EXPECT_TRUE(client.calls.empty());
    EXPECT_EQ(std::vector<std::string>{"Not running timer time out, timerId 0"},
              log.texts(DBGLEVEL_INFO));
    EXPECT_EQ(stateHeader("Disabled", 1, 0, 0, 1) + kHyphens, runCommand("tmgr-show-state"));
}

}  // namespace
}  // namespace test
}  // namespace cmn
