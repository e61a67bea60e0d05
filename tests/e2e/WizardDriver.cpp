#include "WizardDriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
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
}

void Pump(int milliseconds) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
}

bool PumpUntil(const std::function<bool()>& pred, int milliseconds) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > milliseconds) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
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

struct ModalWatch::State {
    std::function<void(QWidget*)> fn;
    QWidget* last = nullptr;
    int seen = 0;
    QTimer* timer = nullptr;
};

ModalWatch::ModalWatch(std::function<void(QWidget*)> fn) : state_(std::make_shared<State>()) {
    state_->fn = std::move(fn);
    state_->timer = new QTimer;
    state_->timer->setInterval(10);
    std::weak_ptr<State> weak = state_;
    QObject::connect(state_->timer, &QTimer::timeout, [weak]() {
        auto s = weak.lock();
        if (!s) return;
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) return;
        // A later dialog may sit at the address of an earlier one that no tick saw go: each
        // dialog is marked once it was handed over.
        static const char* const kSeen = "wizardModalSeen";
        if (modal == s->last && modal->property(kSeen).toBool()) return;
        modal->setProperty(kSeen, true);
        s->last = modal;
        ++s->seen;
        // Let it paint once before it is looked at.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        s->fn(modal);
    });
    state_->timer->start();
}

ModalWatch::~ModalWatch() {
    state_->timer->stop();
    delete state_->timer;
}

int ModalWatch::Seen() const { return state_->seen; }

void EndModal(QWidget* dialog, int result) {
    if (auto* d = dynamic_cast<ui::Dialog*>(dialog)) d->EndDialog(result);
    else if (auto* q = qobject_cast<QDialog*>(dialog)) q->done(result);
}

bool Shot(QWidget* w, const std::string& name) {
    const std::string dir = std::string(MORVENDA_BINARY_DIR) + "/screenshots";
    std::filesystem::create_directories(dir);
    const QImage img = w->grab().toImage();
    return !img.isNull() && img.save(QString::fromStdString(dir + "/" + name + ".png"));
}

}  // namespace wizard
