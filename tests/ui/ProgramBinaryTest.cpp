// The program itself, started as a user starts it (offscreen): a copy killed outright leaves no
// lock behind that blocks the next start, a running copy takes requests on its socket, and a
// crash leaves its report in the state folder.
#include <gtest/gtest.h>
#include <signal.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestUtil.h"
#include "UiTestEnv.h"
#include "app/QZMUIApp.h"
#include "core/VersionInfo.h"
#include "platform/SingleInstance.h"

namespace {

// A start, a kill or a crash report that has not ended by then has hung; the limit only guards.
const int kGuardMs = static_cast<int>(uiwait::kGuard.count());

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Every thread of the process asleep: the program waits for events. A signal then finds no thread
// inside the logger or the allocator, which the crash path's own log line needs as well.
bool Idle(qint64 pid) {
    std::error_code ec;
    size_t threads = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const size_t name = line.rfind(')');
        if (name == std::string::npos || name + 2 >= line.size() || line[name + 2] != 'S') return false;
        ++threads;
    }
    return !ec && threads > 0;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

class ProgramBinary : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::permissions(runtime_.Path(), std::filesystem::perms::owner_all);
        const std::string bin = std::string(MORVENDA_BINARY_DIR) + "/bin/";
        for (const auto& entry : std::filesystem::directory_iterator(bin)) {
            const std::string ext = entry.path().extension().string();
            if (ext == ".dat" || ext == ".xml") std::filesystem::copy_file(entry.path(), program_.File(entry.path().filename()));
        }
        std::filesystem::create_directories(disks_.File("none"));
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert("QT_QPA_PLATFORM", "offscreen");
        env_.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime_.Path()));
        env_.insert("XDG_STATE_HOME", QString::fromStdString(state_.Path()));
        env_.insert("MORVENDA_PROGRAM_DIR", QString::fromStdString(program_.Path()));
        env_.insert("MORVENDA_DISKS", QString::fromStdString(disks_.File("none")));
        binary_ = QString::fromStdString(bin + "morvenda");
    }
    void Start(QProcess& p) {
        p.setProcessEnvironment(env_);
        p.start(binary_, {});
        ASSERT_TRUE(p.waitForStarted(kGuardMs));
    }
    // True once the running copy answers on its socket.
    ::testing::AssertionResult WaitUntilListening() {
        ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
        return uiwait::Until([] { return InstanceBeacon::Send(kMainWindowClass, "ping"); }, "the program's socket");
    }
    // The trace log holds the given number of starts' descriptions of the system.
    ::testing::AssertionResult StartDescribed(size_t starts) const {
        const std::string trace = state_.Path() + "/Morvenda/MorvendaTrace.log";
        return uiwait::Until([&] { return Count(ReadAll(trace), "[info] Total physical memory:") >= starts; },
                             "start " + std::to_string(starts) + " described in the trace log");
    }
    void TearDown() override {
        if (oldRuntime_) ::setenv("XDG_RUNTIME_DIR", savedRuntime_.c_str(), 1);
        else ::unsetenv("XDG_RUNTIME_DIR");
    }

    testutil::TempDir runtime_{testutil::kRuntimeTempBase}, state_, program_, disks_;
    QProcessEnvironment env_;
    QString binary_;
    const char* oldRuntime_ = std::getenv("XDG_RUNTIME_DIR");
    std::string savedRuntime_ = oldRuntime_ ? oldRuntime_ : "";
};

TEST_F(ProgramBinary, AKilledCopyDoesNotBlockTheNextStartAndACrashLeavesItsReport) {
    ASSERT_TRUE(std::filesystem::exists(binary_.toStdString())) << "the program is built with the tests";
    QProcess first;
    Start(first);
    ASSERT_TRUE(WaitUntilListening()) << first.readAllStandardError().toStdString();
    // The socket answers before the start has described the system: that is waited for too.
    ASSERT_TRUE(StartDescribed(1));
    first.kill();
    ASSERT_TRUE(first.waitForFinished(kGuardMs));

    QProcess second;
    Start(second);
    ASSERT_TRUE(WaitUntilListening()) << "the second start came up as the running copy";
    EXPECT_TRUE(InstanceBeacon::Send(kMainWindowClass, kRaiseRequest));
    ASSERT_TRUE(StartDescribed(2));
    ASSERT_TRUE(uiwait::Until([&] { return Idle(second.processId()); }, "the second start to wait for events"));

    ::kill(static_cast<pid_t>(second.processId()), SIGSEGV);
    ASSERT_TRUE(second.waitForFinished(kGuardMs));
    EXPECT_EQ(second.exitStatus(), QProcess::CrashExit);
    const std::string report = ReadAll(state_.Path() + "/Morvenda/Qzmdump0.dmp");
    EXPECT_NE(report.find("Signal: 11 (SIGSEGV)"), std::string::npos) << report;
    EXPECT_NE(report.find("Backtrace:"), std::string::npos);

    const std::string log = ReadAll(state_.Path() + "/Morvenda/Morvenda.log");
    EXPECT_EQ(Count(log, std::string(" ") + ProductVersionText() + " build on "), 2u) << log;
    const std::string trace = ReadAll(state_.Path() + "/Morvenda/MorvendaTrace.log");
    EXPECT_EQ(Count(trace, "[info] OS - "), 2u) << "each start describes the system";
    EXPECT_GE(Count(trace, "[info] Total physical memory:"), 3u) << "at each start and at the crash";
    EXPECT_NE(trace.find("Caught an excetpion! Exception Code:c0000005"), std::string::npos);
}

}  // namespace
