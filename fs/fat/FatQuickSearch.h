#pragma once
// The deleted-file scan of a FAT16 or FAT32 volume: it confirms the boot sector, loads the FAT,
// walks the directory tree from the root and hands the tree builder the root, every deleted file
// and folder, everything inside a deleted folder, and every live folder.
#include <vector>

#include "engine/FsServices.h"
#include "fs/fat/FatSearchedPartitionInfo.h"

class IRawFileAnalyser;

// Search results.
constexpr u32 kFatQuickDone = 0;
constexpr u32 kFatQuickMissingArgument = 0xCD0005;
constexpr u32 kFatQuickNoBootSector = 0xF20015;
constexpr u32 kFatQuickStopped = 0x148000D;

// Whether the sector is a usable FAT16/FAT32 boot sector of the volume at partitionStart whose
// FAT copies begin with their marks. fatCode receives 9, or the code of the FAT marks found
// (copy 2 decides when both copies show marks).
bool CheckFATBootSector(const u8* sector, u64 partitionStart, IStorageDevice* device, u32& fatCode);

class CFATQuickSearch : public IQuickFileSystemSearchController {
public:
    CFATQuickSearch();
    ~CFATQuickSearch() override = default;

    void SetDirectoryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    void GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) override { out.push_back(&m_record); }
    u32 Search(IStorageDevice* device, IProgress* progress) override;

    // The header analysers of the revise pass; by default those the RAW registry offers.
    void SetReviseAnalysers(const std::vector<IRawFileAnalyser*>& analysers) {
        m_analysers = analysers;
        m_analysersSet = true;
    }

    IDirecotryTreeBuilder* GetBuilder() const { return m_builder; }
    CFATSearchedPartitionInfo& GetRecord() { return m_record; }
    const std::vector<IRawFileAnalyser*>& GetReviseAnalysers();

private:
    IDirecotryTreeBuilder* m_builder = nullptr;
    IStorageDevice* m_device = nullptr;
    IProgress* m_progress = nullptr;
    CFATSearchedPartitionInfo m_record;
    std::vector<IRawFileAnalyser*> m_analysers;
    bool m_analysersSet = false;
};
