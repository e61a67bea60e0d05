#pragma once
// Stand-ins for the scan's partners in the tests and the fuzz harnesses: a view that shows
// nothing, a filter that takes every node, and a tree builder whose every call does nothing (a base
// for recording builders). Header-only.
#include <vector>

#include "engine/DirectoryTree.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/RecoveryFilter.h"

namespace testutil {

class SilentTree : public IDirectoryTree {
public:
    void SetRootText(const char*) override {}
    void AddNodes(const std::vector<CFileNode*>&, u32) override {}
    void AddFileSystemNode(CFileSystemNode*, bool) override {}
    void RemoveFileSystemNode(CFileSystemNode*) override {}
};

// Accepts every node and reports `typeMask` as each node's category bit.
class AcceptAllFilter : public IRecoveryFilter {
public:
    explicit AcceptAllFilter(u32 mask = 0) : typeMask(mask) {}
    bool GetFlag() override { return false; }
    void SetFlag(i32) override {}
    u32 Accept(CFileNode*) override { return 1; }
    void SetFileTypeMask(u32) override {}
    u32 GetFileTypeMask(CFileNode*) override { return typeMask; }
    u32 typeMask;
};

class NullTreeBuilder : public IDirecotryTreeBuilder {
public:
    u32 Init(const char*, IDirectoryTree*, IRecoveryFilter*, u32, IStorageDevice*, u32) override { return 1; }
    u32 ApplyFilter(CFileSystemNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 AddFileSystemTree(CFileSystemNode*) override { return 0; }
    u32 AddFileNode(CFileNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 AddFoundFileNode(CFileNode*, u32, u32* error) override {
        if (error) *error = 0;
        return 0;
    }
    u32 InsertNode(CFileNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 AddEvaluationItem(CSearchedPartitionInfo*) override { return 0; }
    u32 HasEvaluationItem(std::vector<CSearchedPartitionInfo*>*) override { return 0; }
    u32 FinishSearch() override { return 1; }
    u32 BuildLostFilesFolder(CSearchedPartitionInfo*) override { return 0; }
    u32 FinishBuild() override { return 1; }
    u64 GetNodeCount() override { return 0; }
    CFileSystemNode* GetTreeRoot(CSearchedPartitionInfo*) override { return nullptr; }
    u32 GetTag() override { return m_tag; }
    void SetTag(u32 tag) override { m_tag = tag; }
    // The test owns the object; Release does not delete it.
    void Release() override {}
    void SetProgress(IProgress*) override {}
    IRecoveryFilter* GetFilter() override { return nullptr; }

private:
    u32 m_tag = 0;
};

}  // namespace testutil
