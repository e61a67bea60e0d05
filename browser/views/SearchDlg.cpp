#include "browser/views/SearchDlg.h"

#include "browser/model/NodeManager.h"

namespace FileSelCtrl {

namespace {
SearchDialogFunction& SearchDialog() {
    static SearchDialogFunction dialog;
    return dialog;
}
}  // namespace

void SetSearchDialog(SearchDialogFunction dialog) { SearchDialog() = std::move(dialog); }

bool RunSearchDialog(QWidget* parent, const SearchHandler& search) {
    if (!SearchDialog()) return false;
    SearchDialog()(parent, search);
    return true;
}

void CSearchRunner::Start(const std::string& text) {
    Wait();
    m_thread = std::thread([text] { CFileVirtualNodeManager::Instance().Search(text); });
}

void CSearchRunner::Wait() {
    if (m_thread.joinable()) m_thread.join();
}

CSearchRunner& SearchRunner() {
    static CSearchRunner runner;
    return runner;
}

}  // namespace FileSelCtrl
