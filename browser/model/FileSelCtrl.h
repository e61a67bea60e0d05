#pragma once
// The one object through which the program reaches the file browser: the scan session's
// consumer of found-file trees, and the owner of the browser's top window.
#include <memory>
#include <string>
#include <vector>

#include "engine/BrowserServices.h"
#include "platform/ui/WinDefs.h"

class QWidget;
class IFileSelCtrlSink;

namespace FileSelCtrl {

class CFileSelCtrlContainer;

constexpr int kContainerControlId = 1023;

// The view-clearing flag: the page that holds the browser sets it for the whole of each
// operation that empties or rebuilds the browser and of each freeze of the result view. While
// it is set the trees take no selection change and the lists draw no rows; once it drops, the
// lists are drawn again. UI thread.
void SetViewBusy(bool busy);
bool IsViewBusy();

class CFileSelCtrl : public IFileSelCtrl {
public:
    static CFileSelCtrl* GetInstance();
    static void DestroyInstance();

    ~CFileSelCtrl() override;

    // IDirectoryTree: called on the delivering thread.
    void SetRootText(const char* text) override;
    void AddNodes(const std::vector<CFileNode*>& nodes, u32 arg) override;
    void AddFileSystemNode(CFileSystemNode* root, bool walk) override;
    void RemoveFileSystemNode(CFileSystemNode* root) override;
    void SetBuildState(bool building) override;
    void SelectNode(CFileNode* node) override;
    u32 FilterNodes(const std::vector<CFileNode*>& in, std::vector<CFileNode*>& out, u32 arg) override;
    u32 AddFileSystemNodeWithCallback(CFileSystemNode* root, bool (*callback)(CFileNode*, void*), void* context,
                                      bool walk) override;

    // UI thread.
    bool Create(QWidget* parent, const RECT& rect);
    void MoveWindow(const RECT& rect);
    void ClearAll();
    void SetSink(IFileSelCtrlSink* sink);
    IFileSelCtrlSink* GetSink() const { return m_sink; }
    // Switches the browser's language (0..5); false when it already is that one.
    bool SetLanguage(int id);
    // Runs a name search (from the search thread) and shows the Search tab.
    void Search(const std::string& text);
    // Leaves the search view, when it is shown, for the folder lists.
    void CloseSearch();
    CFileSelCtrlContainer* Container() const { return m_container.get(); }

private:
    CFileSelCtrl();
    static void DestroyAtExit();

    IFileSelCtrlSink* m_sink = nullptr;
    std::unique_ptr<CFileSelCtrlContainer> m_container;
};

}  // namespace FileSelCtrl
