#include "WizardDriver.h"

#include <QApplication>
#include <cstdlib>
#include <filesystem>

#include "platform/ProgramDir.h"
#include "platform/ui/Window.h"

namespace wizard {

ProgramFolderScope::ProgramFolderScope() : savedProgramDir_(GetProgramDir()) {
    for (const auto& entry : std::filesystem::directory_iterator(savedProgramDir_)) {
        const std::string ext = entry.path().extension().string();
        if (ext == ".dat" || ext == ".xml") std::filesystem::copy_file(entry.path(), dir_.File(entry.path().filename()));
    }
    SetProgramDir(dir_.Path() + "/");
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
        hadConfig_ = true;
        savedConfig_ = old;
    }
    ::setenv("XDG_CONFIG_HOME", dir_.File("config").c_str(), 1);
}

ProgramFolderScope::~ProgramFolderScope() {
    SetProgramDir(savedProgramDir_);
    if (hadConfig_) ::setenv("XDG_CONFIG_HOME", savedConfig_.c_str(), 1);
    else ::unsetenv("XDG_CONFIG_HOME");
}

void EnsureApp() {
    static int argc = 1;
    static char name[] = "test_e2e";
    static char* argv[] = {name, nullptr};
    if (!qApp) new QApplication(argc, argv);
    ui::InstallWindowPost();
    uiwait::InstallModalGuard();
}

::testing::AssertionResult PumpUntil(const std::function<bool()>& pred, const std::string& what) {
    return uiwait::Until(pred, what);
}

void Click(UiCtrl::UiSdkWndBase& page, int x, int y) {
    SendMessage(page.GetHwnd(), WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
    SendMessage(page.GetHwnd(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    SendMessage(page.GetHwnd(), WM_LBUTTONUP, 0, MAKELPARAM(x, y));
}

bool ClickItem(UiCtrl::UiSdkWndBase& page, int id) {
    UiCtrl::UiItem* item = page.GetItem(id);
    if (!item || !item->IsVisible()) return false;
    const RECT r = item->GetRect();
    Click(page, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    return true;
}

bool Shot(QWidget* w, const std::string& name) {
    const std::string dir = std::string(MORVENDA_BINARY_DIR) + "/screenshots";
    std::filesystem::create_directories(dir);
    const QImage img = w->grab().toImage();
    return !img.isNull() && img.save(QString::fromStdString(dir + "/" + name + ".png"));
}

}  // namespace wizard
