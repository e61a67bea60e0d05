#pragma once
// The FAT volume analyser that the volume enumeration asks for a partition's file system, size
// and label, and the cluster-use test that the deep searches hand to the lost-file pass.
#include <vector>

#include "devices/Volume.h"
#include "platform/Types.h"

class IStorageDevice;

class CFatVolumeAnalyze : public IVolume {
public:
    static constexpr u32 kLabelSize = 100;

    CFatVolumeAnalyze(IStorageDevice* device, u64 firstSector);
    ~CFatVolumeAnalyze() override = default;

    u32 GetFileSystemType() override { return m_fsCode; }
    u64 GetTotalSectors() override { return m_totalSectors; }
    // Copies min(size, 100) bytes of the zero-filled label; no terminator is added.
    void GetVolumeLabel(char* out, u32 size) override;

private:
    u32 m_fsCode = kFsUnknown;
    u64 m_totalSectors = 0;
    char m_label[kLabelSize] = {};
};

// The analyser as the volume enumeration makes it.
IVolume* CreateFatVolumeAnalyzer(IStorageDevice* device, u64 firstSector);

// A description of which clusters of a volume are known to be in use.
struct CClusterUseInfo {
    const std::vector<u8>* bits = nullptr;  // one bit per cluster index (cluster - 2), LSB first
    u64 firstSector = 0;                    // device sector of cluster 2
    u32 sectorsPerCluster = 0;
    u64 clusterCount = 0;
};

class IIsClusterUsed {
public:
    virtual bool IsClusterUsed(u64 sector) = 0;

protected:
    ~IIsClusterUsed() = default;
};

class CClusterUseBitMap : public IIsClusterUsed {
public:
    explicit CClusterUseBitMap(const CClusterUseInfo& info) : m_info(info) {}
    virtual ~CClusterUseBitMap() = default;
    // Sectors before the cluster area and beyond the last whole cluster count as used; nothing is
    // known to be used when the description holds no cluster.
    bool IsClusterUsed(u64 sector) override;

private:
    CClusterUseInfo m_info;
};
