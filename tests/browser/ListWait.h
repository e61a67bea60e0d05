#pragma once
// Opening a folder in a browser with a view lists it on the loader thread; a test waits for the
// loaders to end and for their notices to reach the views, not for time.
#include <QCoreApplication>

#include "browser/model/ListModel.h"

namespace testutil {

inline void WaitForRows() {
    for (FileSelCtrl::CFileListData* model : {&FileSelCtrl::CFileListData::FolderModel(), &FileSelCtrl::CFileListData::SearchModel()}) {
        model->Loader().WaitIdle();
    }
    QCoreApplication::sendPostedEvents();
}

}  // namespace testutil
