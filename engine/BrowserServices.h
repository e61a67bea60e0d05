#pragma once
// What the engine calls of the file browser. The browser (browser/) implements these; the
// engine sees no Qt type.
#include <string>
#include <vector>

#include "engine/DirectoryTree.h"
#include "platform/Types.h"

class IRSData;
class IDIRBuildCallback;

namespace FileSelCtrl {

// The browser control as the scan session's consumer of trees: IDirectoryTree plus two
// operations of its own. The browser's CFileSelCtrl implements it.
class IFileSelCtrl : public IDirectoryTree {
public:
    // Binds each node into the browser's trees and copies to out those it accepted.
    virtual u32 FilterNodes(const std::vector<CFileNode*>& in, std::vector<CFileNode*>& out, u32 arg) = 0;
    // Binds a whole tree and calls back for each node bound; a false answer stops the calls.
    virtual u32 AddFileSystemNodeWithCallback(CFileSystemNode* root, bool (*callback)(CFileNode*, void*),
                                              void* context, bool flag) = 0;
};

// The browser's folder filter.
class CFileSelFilterManager {
public:
    // Drops the drive part of the path, appends a separator when missing and adds the result as
    // a folder filter; the scan thread calls it for each chosen folder before a deleted-file scan.
    static void AddDirectory(const std::string& path);
};

}  // namespace FileSelCtrl

// Adds a folder path to the browser's folder filter (the import of a saved result).
void AddFilterDirectory(const char* path);
// Writes the trees the browser shows into a saved result (the save of the result page's window);
// false for a null stream or callback, or when the writing failed.
bool ExportBrowserScanResult(IRSData* stream, IDIRBuildCallback* callback);
// Reads the trees of a saved result and hands back their roots (the load of the window); false
// for a null stream or callback, or when the reading failed.
bool ImportScanResultFile(IRSData* stream, IDIRBuildCallback* callback, std::vector<CFileSystemNode*>& roots);
