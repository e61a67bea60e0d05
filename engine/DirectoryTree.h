#pragma once
// The consumer of finished directory trees (the browser, through the scan session).
#include <vector>

#include "platform/Types.h"

class CFileNode;
class CFileSystemNode;

class IDirectoryTree {
public:
    virtual ~IDirectoryTree() = default;
    virtual void SetRootText(const char* text) = 0;
    virtual void AddNodes(const std::vector<CFileNode*>& nodes, u32 arg) = 0;
    virtual void AddFileSystemNode(CFileSystemNode* root, bool flag) = 0;
    virtual void RemoveFileSystemNode(CFileSystemNode* root) = 0;
    // Whether the scan is adding to the view (true) or not.
    virtual void SetBuildState(bool /*building*/) {}
    virtual void OnFileFound(CFileNode* /*node*/) {}
    virtual void SelectNode(CFileNode* /*node*/) {}
};
