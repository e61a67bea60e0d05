#pragma once
// The scan session's own IDirectoryTree: the controllers hand their trees to it, and it forwards
// them to the view the session was given while counting found and checked files. While its view
// is null nothing reaches the browser.
//
// A view that is the browser control (FileSelCtrl::IFileSelCtrl) is driven through its own
// FilterNodes and AddFileSystemNodeWithCallback; any other IDirectoryTree (the headless consumer
// of the scan driver and the tests) gets the plain calls, and the detour counts as if every node
// had been accepted.
#include <atomic>
#include <vector>

#include "engine/DirectoryTree.h"
#include "engine/RecoveryGraph.h"

class RecoveryGraph::DetourTree : public IDirectoryTree {
public:
    explicit DetourTree(RecoveryGraph* owner) : m_owner(owner) {}
    ~DetourTree() override = default;

    void SetRootText(const char* text) override;
    void AddNodes(const std::vector<CFileNode*>& nodes, u32 arg) override;
    void AddFileSystemNode(CFileSystemNode* root, bool flag) override;
    void RemoveFileSystemNode(CFileSystemNode* root) override;
    void OnFileFound(CFileNode* node) override;
    void SelectNode(CFileNode* node) override;

    IDirectoryTree* GetView() const { return m_view.load(); }
    void SetView(IDirectoryTree* view) { m_view.store(view); }
    RecoveryGraph* GetOwner() const { return m_owner; }

private:
    RecoveryGraph* m_owner;
    std::atomic<IDirectoryTree*> m_view{nullptr};
};

// Found files above this size are counted but not added to the found bytes.
constexpr u64 kMaxSummedFoundFileSize = 0x80000000ULL;
