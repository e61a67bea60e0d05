// The single-instance lock and the socket of the running copy, across real processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <thread>

#include "TestUtil.h"
#include "platform/SingleInstance.h"

namespace {

class RuntimeFolder : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        saved_ = old ? old : "";
        hadOld_ = old != nullptr;
        ::chmod(dir_.Path().c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", dir_.Path().c_str(), 1);
    }
    void TearDown() override {
        if (hadOld_) ::setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
        else ::unsetenv("XDG_RUNTIME_DIR");
    }
    testutil::TempDir dir_{testutil::kRuntimeTempBase};
    std::string saved_;
    bool hadOld_ = false;
};

// A child that takes the lock, says so through the pipe and waits to be killed.
pid_t ChildHoldingLock(const char* name) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        InstanceLock lock(name);
        const char ok = lock.TryAcquire() == InstanceLock::Result::kAcquired ? '1' : '0';
        if (::write(fds[1], &ok, 1) != 1) ::_exit(2);
        for (;;) ::pause();
    }
    ::close(fds[1]);
    char answer = 0;
    const bool read = ::read(fds[0], &answer, 1) == 1;
    ::close(fds[0]);
    return read && answer == '1' ? pid : -1;
}

TEST_F(RuntimeFolder, ALockHeldByAnotherProcessBlocksAndAKilledHolderDoesNot) {
    EXPECT_EQ(RuntimeDir(), dir_.Path() + "/");
    const pid_t holder = ChildHoldingLock("MorvendaTestLock");
    ASSERT_GT(holder, 0);
    {
        InstanceLock second("MorvendaTestLock");
        EXPECT_EQ(second.TryAcquire(), InstanceLock::Result::kHeldElsewhere);
        EXPECT_FALSE(second.Held());
    }
    // Killed without a chance to clean up: the lock file stays, the lock does not.
    ::kill(holder, SIGKILL);
    int status = 0;
    ::waitpid(holder, &status, 0);
    EXPECT_TRUE(testutil::FileExists(dir_.File("MorvendaTestLock.lock")));
    InstanceLock next("MorvendaTestLock");
    EXPECT_EQ(next.TryAcquire(), InstanceLock::Result::kAcquired);
    EXPECT_TRUE(next.Held());
}

TEST_F(RuntimeFolder, TheRunningCopyTakesARaiseRequestAndAStaleSocketFileIsReplaced) {
    // What a killed copy leaves behind.
    std::ofstream(dir_.File("MorvendaTestUi.sock")) << "stale";
    EXPECT_FALSE(InstanceBeacon::Send("MorvendaTestUi", kRaiseRequest));
    InstanceBeacon beacon("MorvendaTestUi");
    ASSERT_TRUE(beacon.Listen());
    EXPECT_EQ(beacon.AcceptRequest(), "") << "nothing waits";
    std::thread sender([] { EXPECT_TRUE(InstanceBeacon::Send("MorvendaTestUi", kRaiseRequest)); });
    pollfd p{beacon.Descriptor(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_EQ(beacon.AcceptRequest(), kRaiseRequest);
    sender.join();
}

TEST_F(RuntimeFolder, WithoutARuntimeFolderTheSharedTmpGetsNamesOfTheUser) {
    ::setenv("XDG_RUNTIME_DIR", "relative/path", 1);
    EXPECT_EQ(RuntimeDir(), "/tmp/");
    EXPECT_EQ(RuntimePath("Morvenda_UI"), "/tmp/Morvenda_UI-" + std::to_string(::getuid()));
}

}  // namespace
