#include "UiTestEnv.h"

#include <gtest/gtest.h>

#include <QThread>
#include <filesystem>

#include "core/Strings.h"
#include "platform/Log.h"

namespace uitest {

namespace {
int g_argc = 1;
char g_arg0[] = "test_ui";
char* g_argv[] = {g_arg0, nullptr};
QApplication* g_app = nullptr;

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        g_app = new QApplication(g_argc, g_argv);
        ui::InstallWindowPost();
        uiwait::InstallModalGuard();
        SetLanguageFile("English.dat");
    }
    // The application stays until the process ends: windows of static lifetime may outlive a
    // teardown here.
};

[[maybe_unused]] ::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment);
}  // namespace

QApplication* App() { return g_app; }

std::string ScreenshotDir() {
    const std::string dir = std::string(MORVENDA_BINARY_DIR) + "/screenshots";
    std::filesystem::create_directories(dir);
    return dir;
}

LRESULT RecordingWindow::OnMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT || message == WM_SIZE || message == WM_MOUSEMOVE) return 0;
    messages.push_back({message, wParam, lParam, QThread::currentThread() == QApplication::instance()->thread()});
    return handler ? handler(message, wParam, lParam) : 0;
}

int RecordingWindow::Count(u32 message) const {
    int n = 0;
    for (const Msg& m : messages)
        if (m.message == message) ++n;
    return n;
}

}  // namespace uitest

// The system font library keeps a few allocations for the life of the process; under the leak
// checker they are not ours to report.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
