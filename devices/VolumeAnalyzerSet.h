#pragma once
// File-system recognition of one partition: the NTFS, FAT and exFAT analysers, asked in that
// order. The analysers live in the file-system libraries above this one: each file system's row of
// the engine's plug-in table fills its slot at start-up; a slot without a factory is left out of
// every set.
#include <memory>
#include <vector>

#include "devices/Volume.h"
#include "platform/Types.h"

class IStorageDevice;

enum class VolumeAnalyzerSlot : u32 { kNtfs = 0, kFat = 1, kExFat = 2 };
constexpr u32 kVolumeAnalyzerSlotCount = 3;

// Makes the analyser of the partition at firstSector of device. The NTFS and FAT factories always
// answer an analyser (one that says 9 when the partition is not theirs); the exFAT factory answers
// null when the partition is not exFAT. Null is always tolerated.
using VolumeAnalyzerFactory = IVolume* (*)(IStorageDevice* device, u64 firstSector);
// Registers (or, with null, removes) the factory of a slot. Thread-safe.
void RegisterVolumeAnalyzer(VolumeAnalyzerSlot slot, VolumeAnalyzerFactory factory);
VolumeAnalyzerFactory GetVolumeAnalyzerFactory(VolumeAnalyzerSlot slot);

// Boot-sector classifiers of BootSectorFileSystemCode: the FAT one answers the FAT reader's
// code (1 FAT16, 2 FAT32, 9 not FAT), the NTFS one 3 when the sector is a valid NTFS boot sector
// and 9 otherwise. Only the kNtfs and kFat slots are consulted.
using BootSectorClassifier = u32 (*)(const u8* sector, u32 sectorSize);
void RegisterBootSectorClassifier(VolumeAnalyzerSlot slot, BootSectorClassifier classifier);
BootSectorClassifier GetBootSectorClassifier(VolumeAnalyzerSlot slot);

class VolumeAnalyzerSet {
public:
    VolumeAnalyzerSet(IStorageDevice* device, u64 firstSector);
    VolumeAnalyzerSet(const VolumeAnalyzerSet&) = delete;
    VolumeAnalyzerSet& operator=(const VolumeAnalyzerSet&) = delete;

    // The first analyser whose code is not 9; when none recognises the partition, the last one
    // asked; null only when the set is empty. The set keeps ownership.
    IVolume* GetRecognized();
    size_t Count() const { return m_analyzers.size(); }

private:
    std::vector<std::unique_ptr<IVolume>> m_analyzers;
};
