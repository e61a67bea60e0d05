#pragma once
// Opening a folder in a browser with a view lists it on the loader thread; a test waits for the
// loaders to end and for their notices to reach the views, not for time.
#include <QCoreApplication>

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

}  // namespace testutil
