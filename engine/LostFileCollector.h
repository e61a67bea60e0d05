#pragma once
// The lost-file pass of the complete scan: files found by signature have neither a name nor a
// folder, so they are filed under a root of their own with one folder per file type and names
// made from the analyser's text (or "Morvenda") and a counter per type.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/ClusterClaims.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/RawFileProperties.h"
#include "platform/Types.h"

class CFileNode;
class CRawFileInfo;
class CRawFileInfoPool;
class CSearchedPartitionInfo;
class IDirecotryTreeBuilder;
class IStorageDevice;

// The name of the root that holds the files found by signature.
constexpr const char* kMoreLostFilesFolderName = "更多丢失文件";

class LostFileCollector {
public:
    // Type folders use the type number as id, so types stay below this; file ids follow.
    static constexpr u32 kMaxFileTypes = 2000;
    static constexpr u64 kFirstFileId = 2001;
    static constexpr u64 kRootId = 0;
    // A generated name, its terminating zero included, fits this buffer of the saved form; the
    // properties keep at most 254 bytes of it.
    static constexpr size_t kNameBufferSize = 260;
    static constexpr size_t kMaxStoredName = 254;

    LostFileCollector() = default;

    // Files every record of the pool whose size is (or can be measured) nonzero under the
    // partition's tree (null: the builder's first tree). False when the RAW search is off, the
    // root could not be filed or the builder refused a node. `clusterUse` is what the caller has
    // at hand about the clusters its tree uses; the pass does not read it (KeepToFreeClusters
    // is how a volume's pass leaves out what its tree holds). A filed file of which a sector lies
    // in a cluster the volume gives to a live file holds that file's bytes there: it is counted
    // incomplete (kStateClustersTaken). Found files are never weighed against each other: one
    // found inside another is both's own.
    bool Collect(IStorageDevice* device, CRawFileInfoPool& pool, IDirecotryTreeBuilder* builder,
                 CSearchedPartitionInfo* partition, const void* clusterUse);

    // A record whose first sector lies in [first, first + sectors) is not filed: the tree of the
    // partition there decides about it. With any range left out, the root is made only once a
    // file is filed, so a pass that finds nothing outside adds no empty root. A filed file that
    // runs into the range is weighed against the live files and folders of `tree` (null: none).
    void LeaveOut(u64 firstSector, u64 sectors, const CFileNode* tree = nullptr);
    // Files only records that begin in one of the `clusters` clusters of `sectorsPerCluster`
    // sectors from `firstSector` on that `inUse` does not claim: the lost files of a found volume.
    // What begins elsewhere belongs to another volume, and what begins in a cluster of a live file
    // of the volume's tree stands in that tree already. Like LeaveOut, it defers the root.
    // `inUse` is asked about the clusters the filed files cover, each at most once.
    void KeepToFreeClusters(u64 firstSector, u32 sectorsPerCluster, u64 clusters, std::function<bool(u64)> inUse);

    // The builder's answer; a node it does not take is freed.
    u32 CreateMoreLostFilesFolder(IDirecotryTreeBuilder* builder, CSearchedPartitionInfo* partition);
    u32 AddFoundFile(const CRawFileInfo& record, IDirecotryTreeBuilder* builder, CSearchedPartitionInfo* partition);

    // The type's description, or its extension when the description is empty.
    static std::string FileTypeFolderName(u32 type);
    static TreeNodePtr CreateRawFolderNode(const char* name, u64 id);
    TreeNodePtr CreateRawFileNode(const CRawFileInfo& record, u64 parentId, u64 id) const;
    // The properties of a found file, named with the type's current counter; null when memory
    // runs out.
    PropertiesRef<CRAWFileProperties> CreateRawFileProperties(const CRawFileInfo& record) const;
    // "<text><nnn>.<ext>" or "Morvenda_<nnn>.<ext>", nnn the number of files of the type so far;
    // a text too long for the stored name is cut at a character boundary before the counter.
    std::string MakeRawFileName(u32 type, const std::string& nameText) const;

    // Trailing blanks removed; \ / : ? " < > | * CR LF become '_'.
    static std::string SanitizeFileNameText(std::string text);
    static void ReplaceAll(std::string& text, const std::string& what, const std::string& with);

    u64 GetNextId() const { return m_nextId; }

private:
    struct SectorRange {
        u64 first = 0;
        u64 count = 0;
        const CFileNode* tree = nullptr;  // of a range left out: the tree built there
    };
    struct VolumeClusters {
        bool set = false;  // KeepToFreeClusters was called
        u64 firstSector = 0;
        u32 sectorsPerCluster = 0;
        u64 count = 0;
        std::function<bool(u64)> inUse;
    };
    // A record to file: where it lies, and its properties, named and weighed before filing.
    struct FoundFile {
        u64 first = 0;  // device sector
        u64 size = 0;   // bytes on the device
        u32 type = 0;
        PropertiesRef<CRAWFileProperties> properties;
    };
    bool IsLeftOut(u64 sector) const;
    // The records to file, measured and cut at the device's end, in the pool's order; `complete`
    // false when one could not be made (then the files before it are answered).
    std::vector<FoundFile> GatherFiles(IStorageDevice* reader, CRawFileInfoPool& pool, bool& complete);
    // Counts incomplete every found file a live file takes a sector of (one of the volume set by
    // KeepToFreeClusters, or of a tree of a range left out): the allocation of a volume in use is
    // newer than anything found by signature.
    void WeighFoundFiles(std::vector<FoundFile>& found, u32 sectorSize) const;
    void ClaimVolumeClusters(const std::vector<FoundFile>& found, u32 sectorSize, CClusterClaims& claims,
                             CClusterClaims::ClaimId allocation) const;
    // Adds to `allocation` the live files of the trees of the ranges left out that a found file
    // runs into.
    void ClaimLiveFilesOfRanges(const std::vector<FoundFile>& found, u32 sectorSize, CClusterClaims& claims,
                                CClusterClaims::ClaimId allocation) const;
    static void ClaimLiveFiles(const CFileNode& tree, u32 sectorSize, CClusterClaims& claims,
                               CClusterClaims::ClaimId allocation);
    static TreeNodePtr MakeFileNode(PropertiesRef<CRAWFileProperties> properties, u64 parentId, u64 id);
    u32 InsertFoundFile(u32 type, PropertiesRef<CRAWFileProperties> properties, IDirecotryTreeBuilder* builder,
                        CSearchedPartitionInfo* partition);

    std::vector<SectorRange> m_leftOut;
    VolumeClusters m_volume;
    std::map<u32, CFileNode*> m_folders;
    u64 m_nextId = kFirstFileId;
    u32 m_counters[kMaxFileTypes] = {};
};
