#pragma once
// The exFAT deep search of the complete scan. It looks at every sector once and keeps the exFAT
// boot sectors (main, or the backup twelve sectors on) and the sectors that begin with a file
// entry set. The boot sectors become candidates, confirmed by the FAT where the boot sector puts
// it and voted for by the entry sets that begin clusters of their heap; the chosen volume's
// tree is walked from its root, and clusters of entry sets no walk reached hang under
// "Lost Folders".
#include <array>
#include <memory>
#include <vector>

#include "engine/SearchedPartitionInfo.h"
#include "fs/fat/FatFamilyDeepSearch.h"

constexpr u32 kExFatFlagBoot = 0x1;
constexpr u32 kExFatFlagBackupBoot = 0x2;
constexpr u32 kExFatFlagFatSeen = 0x4;
constexpr u32 kExFatFlagFromEntrySets = 0x10;

// An exFAT partition candidate: the base record, then the boot sector it was made from (512
// bytes) and its flags.
class CExFatSearchedPartitionInfo : public CSearchedPartitionInfo {
public:
    static constexpr u32 kBootBytes = 512;

    explicit CExFatSearchedPartitionInfo(u32 sectorSize) : CSearchedPartitionInfo(sectorSize) {}
    u32 GetKind() override { return 4; }
    void Save(IRSData* stream) override;
    void Load(IRSData* stream) override;

    const std::array<u8, kBootBytes>& GetBoot() const { return m_boot; }
    void SetBoot(const u8* bytes);
    u32 GetFlags() const { return m_flags; }
    void SetFlags(u32 flags) { m_flags = flags; }
    u64 GetHeapStart() const;  // device sector of cluster 2

private:
    std::array<u8, kBootBytes> m_boot{};
    u32 m_flags = 0;
};

// A boot sector seen during the block loop.
struct ExFatBootSighting {
    u64 sector = 0;
    std::array<u8, CExFatSearchedPartitionInfo::kBootBytes> bytes{};
};

// Whether the sector begins with a file entry set, in use or deleted: a file entry, its stream
// extension and a first name entry.
bool IsExFatEntrySetStart(const u8* sector);

class CExFatCompleteSearch : public CFatFamilyCompleteSearch {
public:
    static constexpr size_t kMaxBootSightings = 1u << 16;
    static constexpr size_t kMaxSetStarts = 1u << 20;

    CExFatCompleteSearch();
    ~CExFatCompleteSearch() override;

    void GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) override;
    void BeginSearch() override;
    void EndSearch() override;
    u32 BuildFileSystemTrees(std::vector<CSearchedPartitionInfo*>& chosen) override;
    // The entry-set sectors: a u64 count, then 8 bytes each.
    u32 SaveState(IRSData* stream) override;
    u32 LoadState(IRSData* stream) override;
    u32 GetKind() override { return 4; }

    void ClassifySector(u64 sector, const u8* bytes) override;

    const std::vector<ExFatBootSighting>& GetBootSightings() const { return m_boots; }
    const std::vector<u64>& GetSetStarts() const { return m_setStarts; }
    const std::vector<std::unique_ptr<CExFatSearchedPartitionInfo>>& GetCandidates() const { return m_candidates; }

private:
    bool FatStartAt(u64 sector);

    std::vector<ExFatBootSighting> m_boots;
    std::vector<u64> m_setStarts;
    std::vector<std::unique_ptr<CExFatSearchedPartitionInfo>> m_candidates;
};

ICompleteFileSystemSearchController* CreateExFatCompleteSearch();
