#pragma once
// What the FAT and exFAT deep searches share: the device and its cache, the block loop that hands
// every sector to the search's own test, the provisional root the builder pairs chosen candidates
// with, and the collection of lost files under a built tree.
#include <memory>
#include <vector>

#include "devices/StorageDevice.h"
#include "engine/FileProperties.h"
#include "engine/FileTypeHintList.h"
#include "engine/FsServices.h"
#include "engine/Progress.h"

class CFileNode;
class CSearchedPartitionInfo;
class CStorageDeviceWithCache;
class IFileProperties;

// A volume whose boot sector is gone, seen with a stand-in (or its surviving backup) in the
// place of its first sector. Neither device is owned.
class CBootOverlayDevice : public IStorageDevice {
public:
    CBootOverlayDevice(IStorageDevice* volume, std::vector<u8> boot) : m_volume(volume), m_boot(std::move(boot)) {}
    u32 Read(void* buffer, u64 first, u64 count) override;
    u64 GetTotalSectors() override { return m_volume->GetTotalSectors(); }
    u32 GetSectorSize() override { return m_volume->GetSectorSize(); }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }

private:
    IStorageDevice* m_volume;
    std::vector<u8> m_boot;
};

// Clusters [first, end), counted from cluster 2 as the run lists count them.
struct ClusterExtent {
    u64 first;
    u64 end;
};
// The clusters the live files of a tree use, sorted and merged; a file system nested in the tree
// is not its own.
std::vector<ClusterExtent> LiveFileClusters(const CFileNode* root);
bool IsClusterInExtents(const std::vector<ClusterExtent>& extents, u64 index);

// Adds to the candidate one match for every hint booked inside it whose cluster (counted from
// cluster 2 at `dataStart`) holds a file the signature search found with the type the name gives.
// The hints must be in sector order.
void CountTypeMatches(const CFileTypeHintList& hints, const CRawFileInfoPool& pool, CSearchedPartitionInfo& candidate,
                      u64 dataStart);
// The hints booked in sectors [recordFrom, recordEnd) whose cluster, of a layout of `clusters`
// clusters from `dataStart` on, holds a file the signature search found with their type.
u64 CountHintsFoundAt(const CFileTypeHintList& hints, const CRawFileInfoPool& pool, u64 recordFrom, u64 recordEnd,
                      u64 dataStart, u64 sectorsPerCluster, u64 clusters);

// The walker of a chosen volume asks whether to go on; the complete scan stops between blocks,
// not here.
class CGoOnProgress : public IProgress {
public:
    i32 OnProgress(const ProgressInfo* record) override { return record != nullptr && record->Total != 0 ? 1 : -1; }
    u32 Continued() override { return 1; }
    u32 GetState() override { return 1; }
};

// The search's own candidate among `own` that is `chosen`, or null.
template <class Candidate>
Candidate* FindOwnCandidate(const std::vector<std::unique_ptr<Candidate>>& own, const CSearchedPartitionInfo* chosen) {
    for (const auto& c : own) {
        if (c.get() == chosen) return c.get();
    }
    return nullptr;
}

class CFatFamilyCompleteSearch : public ICompleteFileSystemSearchController {
public:
    void SetDirectoryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    void SetDevice(IStorageDevice* device) override;
    void SetBlockSectorCount(u32 sectors) override { m_blockSectors = sectors; }
    u32 SearchBlock(u64 firstSector, u64 sectorCount) override;
    void SetFoundFilePool(CRawFileInfoPool* pool) override { m_pool = pool; }
    // The files the signature search found in clusters of a chosen volume that no live file of
    // its tree uses.
    u32 CollectLostFiles(std::vector<CSearchedPartitionInfo*>& chosen) override;
    u32 TestFileNode(CFileNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 ApplyToFileNode(CFileNode*, CSearchedPartitionInfo*) override { return 0; }

    const CFileTypeHintList& GetTypeHints() const { return m_hints; }

    // One sector by itself (the device's sector size, at least 512 bytes).
    virtual void ClassifySector(u64 sector, const u8* bytes) = 0;

protected:
    // Hands the builder an empty tree of `fsCode`, so that it pairs the chosen candidates of this
    // search with a tree of their kind. Takes `properties` (the root's, named as a folder) also
    // when it fails.
    // Takes over the reference; a root the builder refuses goes away with it.
    void AddProvisionalRoot(PropertiesRef<> properties, u32 fsCode, u64 id);
    // Reads one device sector into `buffer` (resized to the sector size); false past the
    // device's end or when the read fails.
    bool ReadSector(u64 sector, std::vector<u8>& buffer);

    IDirecotryTreeBuilder* m_builder = nullptr;
    IStorageDevice* m_device = nullptr;
    CStorageDeviceWithCache* m_cache = nullptr;
    CRawFileInfoPool* m_pool = nullptr;
    u32 m_blockSectors = 0;
    u32 m_sectorSize = 512;
    std::vector<u8> m_block;
    CFileTypeHintList m_hints;
};
