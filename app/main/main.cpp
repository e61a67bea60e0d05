// Morvenda Data Recovery: the program's entry.
#include <QApplication>

#include "app/CrashFilter.h"
#include "app/QZMUIApp.h"
#include "platform/ui/Window.h"

int main(int argc, char** argv) {
    // Before any window exists: whatever fails from here on leaves a report.
    InstallCrashFilter();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(kProgramTitle));
    ui::InstallWindowPost();
    CQZMUIApp program(__DATE__, __TIME__);
    return program.InitInstance();
}
