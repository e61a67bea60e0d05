#pragma once
// Gathers the entries of a tree that never found their parent under one "LostFiles" folder.
// Orphans whose parent is itself an orphan folder are first hung under that folder, so orphaned
// sub-trees keep their shape below "LostFiles".
#include <map>
#include <vector>

#include "devices/FileSystemCode.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "platform/Types.h"

class CFileNode;
class IFileProperties;

// Orphans by the id of the parent they wait for.
using OrphanMap = std::multimap<u64, CFileNode*>;

class LostFilesBuilder {
public:
    LostFilesBuilder() = default;
    void Init(u32 fsCode, OrphanMap* orphanFolders, OrphanMap* orphanFiles);
    void SetCode(u32 fsCode) { m_code = fsCode; }

    // Builds the folder and links every orphan without a parent below it (directly or through
    // an orphan folder). The orphans stay in their maps: the tree keeps owning them. Returns the
    // new folder, owned by the caller, or null when the file system has no folder properties or
    // no orphan was left. With an output vector, the folder, the orphan folders that received
    // children and every node linked are put in front of its contents (folder first).
    TreeNodePtr Build(std::vector<CFileNode*>* output);

    // Properties of a folder named `name` of the file system `fsCode`: FAT (0, 1, 2), NTFS (3),
    // RAW (6) or exFAT (7); null for other codes and for file systems whose properties are not
    // available.
    static PropertiesRef<> CreateFolderProperties(u32 fsCode, const char* name);

private:
    u32 m_code = kFsUnknown;
    OrphanMap* m_orphanFolders = nullptr;
    OrphanMap* m_orphanFiles = nullptr;
};

// The name of the folder that holds a tree's orphans.
constexpr const char* kLostFilesFolderName = "LostFiles";
