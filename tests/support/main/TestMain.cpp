// The main of every test binary: GoogleTest's, with what all binaries share. Each test keeps the
// program's own files (logs, settings, caches, single-instance locks and sockets) in folders of
// its own: tests run side by side and one after another in one process, and a file another test
// or an earlier run left (a setting changed, a lock held, a log grown) must not reach it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "TestUtil.h"

namespace {

// The variables that place the program's files; the runtime folder holds the locks and sockets.
struct StateVariable {
    const char* name;
    const char* folder;
};
constexpr std::array<StateVariable, 4> kStateVariables = {{
    {"XDG_CONFIG_HOME", "config"},
    {"XDG_STATE_HOME", "state"},
    {"XDG_CACHE_HOME", "cache"},
    {"XDG_RUNTIME_DIR", "runtime"},
}};
// As the base-directory rules ask of a runtime folder (and Qt checks).
constexpr mode_t kRuntimeFolderMode = 0700;

// Makes the folders below `root` and points the variables at them; false when one could not be
// made.
bool UseStateFolders(const std::string& root) {
    if (::mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) return false;
    for (const StateVariable& v : kStateVariables) {
        const std::string folder = root + "/" + v.folder;
        if (::mkdir(folder.c_str(), kRuntimeFolderMode) != 0 && errno != EEXIST) return false;
        // Replaced, never removed: a thread a test left running may read the variable meanwhile.
        ::setenv(v.name, folder.c_str(), 1);
    }
    return true;
}

// A test's folders live below the binary's until the process ends: a path the program keeps in a
// static for the process may still point into an earlier test's.
class StatePerTest : public ::testing::EmptyTestEventListener {
public:
    explicit StatePerTest(const testutil::TempDir& binary) : m_binary(binary) {}

    void OnTestStart(const ::testing::TestInfo& test) override {
        const std::string root = m_binary.File(std::to_string(++m_tests));
        if (!UseStateFolders(root)) {
            ADD_FAILURE() << "the state folders of " << test.test_suite_name() << "." << test.name()
                          << " could not be made below " << root;
        }
    }
    // What runs between tests (a suite's set-up and tear-down) uses the binary's folders again,
    // also where a test removed a variable.
    void OnTestEnd(const ::testing::TestInfo&) override { UseStateFolders(m_binary.File("binary")); }

private:
    const testutil::TempDir& m_binary;
    unsigned m_tests = 0;
};

// GoogleTest skips every test of a suite whose SetUpTestSuite failed (a missing fixture there, for
// one), and a skip passes the test command. Each such test fails instead, with the set-up's message.
class SuiteSetUpFailures : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        const ::testing::TestSuite* suite = ::testing::UnitTest::GetInstance()->current_test_suite();
        if (!suite || !suite->ad_hoc_test_result().Failed()) return;
        const ::testing::TestResult& setUp = suite->ad_hoc_test_result();
        for (int i = 0; i < setUp.total_part_count(); ++i) {
            const ::testing::TestPartResult& part = setUp.GetTestPartResult(i);
            if (part.failed()) ADD_FAILURE() << "the suite's set-up failed: " << part.message();
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Static, so that it goes after the program's singletons made during the tests, whose ends
    // still write to the log.
    static const testutil::TempDir binary;
    if (binary.Path().empty() || !UseStateFolders(binary.File("binary"))) {
        std::fprintf(stderr, "the tests' state folders could not be made below %s/test-tmp\n", MORVENDA_BINARY_DIR);
        return 1;
    }
    ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
    listeners.Append(new SuiteSetUpFailures);
    listeners.Append(new StatePerTest(binary));
    return RUN_ALL_TESTS();
}
