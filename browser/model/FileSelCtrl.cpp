#include "browser/model/FileSelCtrl.h"

#include <QCoreApplication>
#include <QWidget>
#include <cstdlib>

#include "browser/model/BrowserConfig.h"
#include "browser/model/FileSelCtrlSink.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "browser/views/Container.h"
#include "browser/views/PreviewEntry.h"
#include "engine/FileRecoverer.h"
#include "engine/FileSystemNode.h"
#include "engine/SavedResult.h"

namespace FileSelCtrl {

namespace {
CFileSelCtrl* g_instance = nullptr;
bool g_viewBusy = false;
// Windows still open when the process ends after the toolkit: they are left to the end of the
// process, since the toolkit's own globals may be gone already.
CFileSelCtrlContainer* g_leftAtExit = nullptr;
}

void SetViewBusy(bool busy) {
    g_viewBusy = busy;
    if (!busy && g_instance && g_instance->Container()) g_instance->Container()->RepaintLists();
}

bool IsViewBusy() { return g_viewBusy; }

void CFileSelCtrl::DestroyAtExit() {
    if (!g_instance) return;
    g_leftAtExit = g_instance->m_container.release();
    CFileVirtualNodeManager::Instance().SetSearchListener(nullptr);
    DestroyInstance();
}

CFileSelCtrl* CFileSelCtrl::GetInstance() {
    if (!g_instance) {
        g_instance = new CFileSelCtrl();
        // Its windows must go while the toolkit still runs: with the application object, when
        // there is one, else at exit.
        if (QCoreApplication::instance()) {
            qAddPostRoutine(&CFileSelCtrl::DestroyInstance);
        } else {
            std::atexit(&DestroyAtExit);
        }
    }
    return g_instance;
}

void CFileSelCtrl::DestroyInstance() {
    delete g_instance;
    g_instance = nullptr;
}

CFileSelCtrl::CFileSelCtrl() { CFileVirtualNodeManager::Instance().CreateRoots(); }

CFileSelCtrl::~CFileSelCtrl() {
    if (m_container) SetRecoverMessagePump(nullptr);
    CFileVirtualNodeManager::Instance().SetSearchListener(nullptr);
    m_container.reset();
    CFileVirtualNodeManager::Instance().SetSink(nullptr);
}

void CFileSelCtrl::SetRootText(const char* text) { CFileVirtualNodeManager::Instance().SetRootText(text); }

void CFileSelCtrl::AddNodes(const std::vector<CFileNode*>& nodes, u32) {
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    for (CFileNode* node : nodes) manager.AddNode(node);
}

void CFileSelCtrl::AddFileSystemNode(CFileSystemNode* root, bool walk) {
    CFileVirtualNodeManager::Instance().AddFileSystemNode(root, nullptr, nullptr, walk);
}

void CFileSelCtrl::RemoveFileSystemNode(CFileSystemNode* root) {
    // Everything the UI shows of the tree is dropped on the UI thread; this returns once it has.
    CFileVirtualNodeManager::Instance().RemoveFileSystemNode(root);
}

void CFileSelCtrl::SetBuildState(bool building) {
    const u64 ask = CFileVirtualNodeManager::Instance().SetBuildState(building);
    // A build that starts takes the checks away at once; its end gives them back in the queue's
    // order (the node manager's idle listener).
    if (building && m_container) m_container->AskIdle(false, ask);
}

void CFileSelCtrl::SelectNode(CFileNode* node) { CFileVirtualNodeManager::Instance().SelectNode(node); }

u32 CFileSelCtrl::FilterNodes(const std::vector<CFileNode*>& in, std::vector<CFileNode*>& out, u32) {
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    for (CFileNode* node : in) {
        if (manager.AddNode(node)) out.push_back(node);
    }
    return 1;
}

u32 CFileSelCtrl::AddFileSystemNodeWithCallback(CFileSystemNode* root, bool (*callback)(CFileNode*, void*), void* context,
                                                bool walk) {
    CFileVirtualNodeManager::Instance().AddFileSystemNode(root, callback, context, walk);
    return 1;
}

bool CFileSelCtrl::Create(QWidget* parent, const RECT& rect) {
    if (m_container) return false;
    m_container = std::make_unique<CFileSelCtrlContainer>();
    if (parent) m_container->setParent(parent);
    m_container->setGeometry(rect.left, rect.top, rect.Width(), rect.Height());
    m_container->setObjectName(QString::number(kContainerControlId));
    CFileSelCtrlContainer* container = m_container.get();
    CFileVirtualNodeManager::Instance().SetSearchListener([container] { container->Left()->ShowSearchTab(); });
    // A preview's copy keeps the window going while it waits for the writer.
    SetRecoverMessagePump(&PumpWindowMessages);
    if (parent) m_container->show();
    return true;
}

void CFileSelCtrl::MoveWindow(const RECT& rect) {
    if (!m_container) return;
    m_container->setGeometry(rect.left, rect.top, rect.Width(), rect.Height());
    PostMessage(m_container->Handle(), WM_FILESEL_LAYOUT, 0, 0);
}

void CFileSelCtrl::ClearAll() {
    CFileVirtualNodeManager::Instance().ClearAll();
    if (!m_container) return;
    m_container->ResetRightView();
    m_container->SetIdle(false);
}

void CFileSelCtrl::SetSink(IFileSelCtrlSink* sink) {
    m_sink = sink;
    CFileVirtualNodeManager::Instance().SetSink(sink);
}

bool CFileSelCtrl::SetLanguage(int id) {
    // Also for the id already kept: the first call after start-up brings the locale along.
    CFileSelIconManager::Instance().ApplyLanguage(id);
    if (!CFileSelCtrlConfig::Instance().SetLanguage(id)) return false;
    if (m_container) m_container->ApplyLanguage();
    return true;
}

void CFileSelCtrl::Search(const std::string& text) {
    // The search thread reads the trees; the hits and the Search tab reach the UI thread
    // through the node manager's queue.
    CFileVirtualNodeManager::Instance().Search(text);
}

void CFileSelCtrl::CloseSearch() {
    if (m_container) m_container->Left()->CloseSearch();
}

void CFileSelFilterManager::AddDirectory(const std::string& path) {
    CFileVirtualNodeManager::Instance().Filter().AddDirectory(path);
}

}  // namespace FileSelCtrl

void AddFilterDirectory(const char* path) {
    if (path) FileSelCtrl::CFileVirtualNodeManager::Instance().Filter().AddDirectory(path);
}

bool ExportBrowserScanResult(IRSData* stream, IDIRBuildCallback* callback) {
    return FileSelCtrl::CFileVirtualNodeManager::Instance().ExportScanResult(stream, callback);
}

bool ImportScanResultFile(IRSData* stream, IDIRBuildCallback* callback, std::vector<CFileSystemNode*>& roots) {
    if (!stream || !callback) return false;
    return LoadScanTrees(stream, roots, callback);
}
