#pragma once
// What the result page shows below its progress strip until the file browser takes the slot: the
// found trees, one line each with their file-system name, label and counts. It is the scan
// session's view: the scan thread hands it each finished tree, and it keeps only what it shows
// (texts and counts taken while the tree is handed over), never the tree, so a later release of
// the trees cannot leave it reading freed nodes.
#include <QWidget>
#include <mutex>
#include <string>
#include <vector>

#include "engine/DirectoryTree.h"

namespace UiCtrl {

class ResultBrowserSlot : public QWidget, public IDirectoryTree {
public:
    struct Entry {
        std::string name;
        u64 files = 0;
        u64 folders = 0;
        u64 deleted = 0;
        u64 bytes = 0;
    };
    explicit ResultBrowserSlot(QWidget* parent);

    void SetRootText(const char* text) override;
    void AddNodes(const std::vector<CFileNode*>& nodes, u32 arg) override;
    void AddFileSystemNode(CFileSystemNode* root, bool flag) override;
    void RemoveFileSystemNode(CFileSystemNode* root) override;
    void SetBuildState(bool building) override;

    // Empties the view (the browser's ClearAll).
    void ClearAll();
    std::vector<Entry> Entries() const;
    bool Building() const;

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    void RequestUpdate();
    static Entry Describe(CFileSystemNode* root);

    mutable std::mutex lock_;
    std::vector<Entry> entries_;
    // Read only while nothing builds them and before the view is emptied for their release.
    std::vector<CFileSystemNode*> roots_;
    std::string rootText_;
    bool building_ = false;
};

}  // namespace UiCtrl
