// The callback socket's hardening: its file is owner-only from the moment it exists (the kernel
// then keeps other users from sending to it), a file or symbolic link planted at its path ends
// the process and is neither followed nor removed, and every descriptor that the library and
// the timer driver open is close-on-exec.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "realDriverTest.h"
#include "syscallFaults.h"

namespace cmn::test {
namespace {

using SecurityTest = RealDriverTest;

TEST_F(SecurityTest, SocketFileIsOwnerOnlyFromTheMomentOfBind) {
    // With no umask a socket file would get every permission bit, unless the descriptor was
    // restricted before the bind made the file.
    mode_t previous = umask(0);
    manager();
    umask(previous);
    EXPECT_EQ(0600, modeAfterLastBind());
}

// The descriptors open now, each with its close-on-exec flag.
std::map<int, bool> openDescriptors() {
    std::map<int, bool> fds;
    for (int fd = 0; fd < 1024; ++fd) {
        const int flags = fcntl(fd, F_GETFD);
        if (flags != -1) {
            fds[fd] = (flags & FD_CLOEXEC) != 0;
        }
    }
    return fds;
}

TEST_F(SecurityTest, EveryDescriptorOfLibraryAndDriverIsCloseOnExec) {
    const std::map<int, bool> before = openDescriptors();
    RecordingClient client;
    uint32_t timerId = 0;
    ASSERT_TRUE(manager().startOneShotTimer(timerId, 1, &client, nullptr, kMs));
    ASSERT_TRUE(manager().startOneShotClockSyncTimer(timerId, 1, 0, &client, nullptr));
    ASSERT_TRUE(runUntil([&] { return !client.calls.empty(); }, kNeverMs));
    std::map<int, bool> opened = openDescriptors();
    for (const std::pair<const int, bool>& fd : before) {
        opened.erase(fd.first);
    }
    // The callback socket and the driver's epoll set, eventfd and two timerfds at least (the
    // dispatcher's epoll set too, unless an earlier case in this process made it).
    EXPECT_GE(opened.size(), 5u);
    EXPECT_THAT(opened, ::testing::Each(::testing::Pair(::testing::_, true)));
}

// A file planted at the socket path before the manager exists: the bind fails on it, the
// process ends with status 1, and nothing is created, changed or removed, at the path or at a
// link's target.
struct Planted {
    const char* name;
    bool link;        // a symbolic link, else a stale regular file
    bool targetFile;  // the link points to an existing file, else nowhere
};

void PrintTo(const Planted& planted, std::ostream* os) { *os << planted.name; }

std::string plantedPath;

void removePlanted() { unlink(plantedPath.c_str()); }

std::string targetPathFor(pid_t testProcess) {
    return "/tmp/ctm-planted-target." + std::to_string(testProcess);
}

// Runs in the death test's child: plants the file, then makes the manager.
void plantAndCreateManager(const Planted& planted_r) {
    FakePtimers fake;
    plantedPath = callbackSocketPathOfThisThread();
    const std::string target = targetPathFor(getppid());
    const bool planted = (!planted_r.targetFile || (std::ofstream(target) << "precious" &&
                                                    chmod(target.c_str(), 0644) == 0)) &&
                         (planted_r.link ? symlink(target.c_str(), plantedPath.c_str()) == 0
                                         : static_cast<bool>(std::ofstream(plantedPath)));
    if (!planted) {
        _exit(3);
    }
    atexit(removePlanted);
    manager();
}

class PlantedPathDeathTest : public ::testing::TestWithParam<Planted> {};

TEST_P(PlantedPathDeathTest, EndsProcessAndTouchesNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child runs this body again up to the death statement, so everything that names a
    // process id happens inside the statement.
    EXPECT_EXIT(plantAndCreateManager(GetParam()), ::testing::ExitedWithCode(1),
                "Bad bind return code");
    const std::string target = targetPathFor(getpid());
    struct stat info;
    const bool exists = lstat(target.c_str(), &info) == 0;
    EXPECT_EQ(GetParam().targetFile, exists);
    if (exists) {
        std::ifstream file(target);
        EXPECT_EQ("precious", std::string(std::istreambuf_iterator<char>(file), {}));
        EXPECT_EQ(S_IFREG | 0644u, info.st_mode);
        unlink(target.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Files, PlantedPathDeathTest,
                         ::testing::Values(Planted{"StaleFile", false, false},
                                           Planted{"DanglingLink", true, false},
                                           Planted{"LinkToFile", true, true}),
                         [](const ::testing::TestParamInfo<Planted>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace cmn::test
