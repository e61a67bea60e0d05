#pragma once
// Opening a folder in a browser with a view lists it on the loader thread; a test waits for the
// loaders to end and for their notices to reach the views, not for time.
#include <QApplication>
#include <QCoreApplication>

#include "browser/model/FileSelCtrl.h"
#include "browser/views/Container.h"

#include "browser/model/ListModel.h"

namespace testutil {

// The notices a load posts may open a folder again (a tree selecting its item): the wait goes
// on until a round of notices starts no load.
inline void WaitForRows() {
    using FileSelCtrl::CFileListData;
    for (;;) {
        for (CFileListData* model : {&CFileListData::FolderModel(), &CFileListData::SearchModel()}) model->Loader().WaitIdle();
        QCoreApplication::sendPostedEvents();
        if (!CFileListData::FolderModel().Loader().IsRunning() && !CFileListData::SearchModel().Loader().IsRunning()) return;
    }
}

// The process's browser control, made (with the application, offscreen unless told otherwise)
// at 1000 x 600, shown and emptied of earlier tests' trees.
inline FileSelCtrl::CFileSelCtrl* OpenEmptyBrowser() {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char arg0[] = "test_browser";
    static char* argv[] = {arg0, nullptr};
    if (!QApplication::instance()) new QApplication(argc, argv);
    FileSelCtrl::CFileSelCtrl* browser = FileSelCtrl::CFileSelCtrl::GetInstance();
    browser->Create(nullptr, RECT{0, 0, 1000, 600});
    browser->Container()->resize(1000, 600);
    browser->Container()->show();
    browser->ClearAll();
    return browser;
}

}  // namespace testutil
