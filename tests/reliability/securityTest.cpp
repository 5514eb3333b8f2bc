// The callback socket's hardening: its file is owner-only from the moment it exists, another
// user cannot send to it, a symbolic link planted at its path is neither followed nor removed,
// and every descriptor that the library and the timer driver open is close-on-exec.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>

#include "syscallFaults.h"
#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

class SecurityTest : public ::testing::Test {
protected:
    void SetUp() override { socketPath_m = callbackSocketPathOfThisThread(); }
    void TearDown() override {
        SingletonPerThread<TimerManager>::deleteInstance();
        EXPECT_FALSE(pathExists(socketPath_m));
    }
    std::string socketPath_m;
};

TEST_F(SecurityTest, SocketFileIsOwnerOnlyFromTheMomentOfBind) {
    // With no umask a socket file would get every permission bit, unless the descriptor was
    // restricted before the bind made the file.
    mode_t previous = umask(0);
    manager();
    umask(previous);
    EXPECT_EQ(0600, modeAfterLastBind());
}

TEST_F(SecurityTest, AnotherUserCannotSendAnExpiry) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    sockaddr_un address = manager().getCbAddress();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only calls that are safe in the child of a threaded process.
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(3);
        }
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        uint32_t timerId = 0;
        ssize_t sent = sendto(fd, &timerId, sizeof(timerId), MSG_DONTWAIT,
                              reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        _exit(sent == -1 && errno == EACCES ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(0, drainReady());
}

std::set<int> openDescriptors() {
    std::set<int> fds;
    DIR* dir_p = opendir("/proc/self/fd");
    if (dir_p == nullptr) {
        return fds;
    }
    for (dirent* entry_p = readdir(dir_p); entry_p != nullptr; entry_p = readdir(dir_p)) {
        if (entry_p->d_name[0] != '.') {
            fds.insert(atoi(entry_p->d_name));
        }
    }
    fds.erase(dirfd(dir_p));
    closedir(dir_p);
    return fds;
}

std::string describe(int fd) {
    char target[256] = {};
    ssize_t length =
        readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof(target) - 1);
    return std::to_string(fd) + " -> " + (length > 0 ? target : "?");
}

TEST_F(SecurityTest, EveryDescriptorOfLibraryAndDriverIsCloseOnExec) {
    std::set<int> before = openDescriptors();
    RecordingClient client;
    uint32_t timerId = 0;
    ASSERT_TRUE(manager().startOneShotTimer(timerId, 1, &client, nullptr, kMs));
    uint32_t clockSyncId = 0;
    ASSERT_TRUE(manager().startOneShotClockSyncTimer(clockSyncId, 1, 0, &client, nullptr));
    ASSERT_TRUE(runUntil([&] { return !client.calls.empty(); }, 5000));
    std::set<int> after = openDescriptors();
    int opened = 0;
    for (int fd : after) {
        if (before.count(fd) == 0) {
            ++opened;
            EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC) << describe(fd);
        }
    }
    // The callback socket and the driver's epoll set, eventfd and two timerfds at least (the
    // dispatcher's epoll set too, unless an earlier case in this process made it).
    EXPECT_GE(opened, 5);
}

// A file planted at the socket path before the manager exists: the bind fails on it, the
// process ends with status 1, and nothing is created, changed or removed, at the path or at a
// link's target.
enum class Planted { staleFile_c, danglingLink_c, linkToFile_c };

std::string plantedPath;

void removePlanted() { unlink(plantedPath.c_str()); }

std::string targetPathFor(pid_t testProcess) {
    return "/tmp/ctm-planted-target." + std::to_string(testProcess);
}

class PlantedPathDeathTest : public ::testing::TestWithParam<Planted> {};

// Runs in the death test's child: plants the file, then makes the manager.
void plantAndCreateManager(Planted planted) {
    FakePtimers fake;
    plantedPath = callbackSocketPathOfThisThread();
    const std::string target = targetPathFor(getppid());
    if (planted == Planted::linkToFile_c) {
        int fd = open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, "precious", 8) != 8 || fchmod(fd, 0644) != 0) {
            _exit(3);
        }
        close(fd);
    }
    int made = planted == Planted::staleFile_c
                   ? close(open(plantedPath.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600))
                   : symlink(target.c_str(), plantedPath.c_str());
    if (made != 0) {
        _exit(3);
    }
    atexit(removePlanted);
    manager();
}

TEST_P(PlantedPathDeathTest, EndsProcessAndTouchesNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child runs this body again up to the death statement, so everything that names a
    // process id happens inside the statement.
    EXPECT_EXIT(plantAndCreateManager(GetParam()), ::testing::ExitedWithCode(1),
                "Bad bind return code");
    const std::string target = targetPathFor(getpid());
    struct stat info;
    if (GetParam() == Planted::linkToFile_c) {
        ASSERT_EQ(0, lstat(target.c_str(), &info));
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(8, info.st_size);
        EXPECT_EQ(0644u, info.st_mode & 07777);
        unlink(target.c_str());
    } else {
        EXPECT_NE(0, lstat(target.c_str(), &info));
    }
}

std::string plantedName(const ::testing::TestParamInfo<Planted>& info) {
    static const char* const names[] = {"StaleFile", "DanglingLink", "LinkToFile"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Files, PlantedPathDeathTest,
                         ::testing::Values(Planted::staleFile_c, Planted::danglingLink_c,
                                           Planted::linkToFile_c),
                         plantedName);

}  // namespace
}  // namespace test
}  // namespace cmn
