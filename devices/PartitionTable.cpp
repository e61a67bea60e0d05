#include "devices/PartitionTable.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "devices/PartitionDevice.h"
#include "devices/VolumeAnalyzerSet.h"
#include "platform/Text.h"

namespace {
// Table reads take whole sectors; the MBR fields need the first 512 bytes.
constexpr u32 kMinSectorSize = 512;
// Above this a sector size is not believed (a device answering garbage).
constexpr u32 kMaxSectorSize = 64 * 1024;

bool UsableSectorSize(u32 ss) { return ss >= kMinSectorSize && ss <= kMaxSectorSize; }

// Reads one sector into a buffer of one sector; false when the read fails.
bool ReadOneSector(IStorageDevice* disk, u64 sector, std::vector<u8>& buffer) {
    const u32 ss = disk->GetSectorSize();
    if (!UsableSectorSize(ss)) return false;
    buffer.assign(ss, 0);
    return disk->Read(buffer.data(), sector, 1) == 1;
}

bool HasBootSignature(const std::vector<u8>& s) { return s.size() >= 512 && s[510] == 0x55 && s[511] == 0xAA; }

bool AreBootIndicatorsValid(const std::vector<u8>& s) {
    for (u32 i = 0; i < kMbrEntryCount; ++i) {
        const u8 b = s[kMbrTableOffset + i * kMbrEntrySize];
        if (b != 0x00 && b != 0x80) return false;
    }
    return true;
}

bool IsExtendedType(u8 type) { return type == kMbrTypeExtendedChs || type == kMbrTypeExtendedLba; }

enum class Completion { kGpt, kMbr, kMbrAsIs };

// The tables visited on one disk: a chain that points back to a table already read, or that is
// longer than any real disk holds, ends there.
struct WalkState {
    std::set<u64> tables;
    bool Enter(u64 sector) {
        if (tables.size() >= kMaxPartitionTables) return false;
        return tables.insert(sector).second;
    }
};

void CompleteRecord(IStorageDevice* disk, u64 first, i64 count, u32 entryCount, Completion mode,
                    BasicPartitionList& out);

// MBR entry, relative to base: the file system's own length wins over the table's, and a
// partition whose file system differs from its entry by 32130 sectors or more is listed with
// both lengths (the entry's first).
void AddMbrPartition(IStorageDevice* disk, const MbrPartitionEntry& e, u64 base, BasicPartitionList& out) {
    CompleteRecord(disk, base + e.firstSector, e.sectorCount, e.sectorCount, Completion::kMbr, out);
}

void CompleteRecord(IStorageDevice* disk, u64 first, i64 count, u32 entryCount, Completion mode,
                    BasicPartitionList& out) {
    const u64 total = disk->GetTotalSectors();
    if (first >= total) return;  // no sector of it lies on the disk
    // The length the partition has before the disk's end cuts it: its entry's, or, where its
    // volume's own runs past that end too, the shorter of the two (a failing disk's partial image).
    u64 claimed = count > 0 ? static_cast<u64>(count) : 0;
    // From here on the count is positive: at most the sectors left on the disk, at least one.
    const u64 room = total - first;
    if (count <= 0 || static_cast<u64>(count) > room) count = static_cast<i64>(room);

    auto record = std::make_unique<BasicPartitionRecord>();
    record->firstSector = first;
    {
        VolumeAnalyzerSet set(disk, first);
        IVolume* analyzer = set.GetRecognized();
        if (analyzer && analyzer->GetFileSystemType() != kFsUnknown) {
            const u64 n = analyzer->GetTotalSectors();
            if (mode != Completion::kMbrAsIs && n > 0 && n < room) {
                if (mode == Completion::kMbr) {
                    const i32 diff = static_cast<i32>(static_cast<u32>(n) - entryCount);
                    if (std::llabs(static_cast<long long>(diff)) >= kMbrLengthMismatchSectors) {
                        CompleteRecord(disk, first, entryCount, entryCount, Completion::kMbrAsIs, out);
                    }
                }
                count = static_cast<i64>(n);
                claimed = n;  // the volume fits: its own length, not an entry that runs past the disk
            } else if (mode != Completion::kMbrAsIs && n > 0 && claimed >= room) {
                // Both run past the disk's end; the shorter of the two is believed, so that a
                // damaged length field does not make the volume longer than its table says.
                claimed = std::min(claimed, n);
            }
            record->fileSystemCode = analyzer->GetFileSystemType();
            analyzer->GetVolumeLabel(record->volumeLabel, kVolumeLabelSize);
            record->volumeLabel[kVolumeLabelSize - 1] = 0;
        }
    }
    record->sectorCount = static_cast<u64>(count);
    record->device = std::make_unique<CBasicPartitionDevice>(disk, first, record->sectorCount, claimed);
    out.push_back(std::move(record));
}

void ScanExtendedChain(IStorageDevice* disk, u64 extendedStart, u64 tableSector, WalkState& state,
                       BasicPartitionList& out) {
    if (!state.Enter(tableSector)) return;
    std::vector<u8> sector;
    if (!ReadOneSector(disk, tableSector, sector)) return;
    if (!HasBootSignature(sector) || !AreBootIndicatorsValid(sector)) return;
    for (u32 i = 0; i < kMbrEntryCount; ++i) {
        const MbrPartitionEntry e = ReadMbrEntry(sector.data(), i);
        if (e.allZero) continue;
        const u64 start = tableSector + e.firstSector;
        bool repeated = false;
        for (const auto& r : out) {
            if (r->firstSector == start) {
                repeated = true;
                break;
            }
        }
        if (repeated) return;
        if (e.type == kMbrTypeLdm) continue;
        if (IsExtendedType(e.type)) {
            ScanExtendedChain(disk, extendedStart, extendedStart + e.firstSector, state, out);
        } else {
            // A logical partition is relative to the table that holds it.
            AddMbrPartition(disk, e, tableSector, out);
        }
    }
}

void ScanMbr(IStorageDevice* disk, BasicPartitionList& out) {
    WalkState state;
    state.Enter(0);
    std::vector<u8> sector;
    if (!ReadOneSector(disk, 0, sector)) return;
    if (!HasBootSignature(sector) || !AreBootIndicatorsValid(sector)) return;
    for (u32 i = 0; i < kMbrEntryCount; ++i) {
        const MbrPartitionEntry e = ReadMbrEntry(sector.data(), i);
        if (e.allZero || e.type == kMbrTypeLdm) continue;
        if (IsExtendedType(e.type)) {
            ScanExtendedChain(disk, e.firstSector, e.firstSector, state, out);
        } else {
            AddMbrPartition(disk, e, 0, out);
        }
    }
}

// A disk without a partition table whose sector 0 holds a file system.
void AddWholeDiskVolume(IStorageDevice* disk, BasicPartitionList& out) {
    const u64 total = disk->GetTotalSectors();
    VolumeAnalyzerSet set(disk, 0);
    IVolume* analyzer = set.GetRecognized();
    if (!analyzer || analyzer->GetFileSystemType() == kFsUnknown || total == 0) return;
    auto record = std::make_unique<BasicPartitionRecord>();
    const u64 claimed = analyzer->GetTotalSectors();
    u64 count = claimed;
    if (count == 0 || count > total) count = total;
    record->firstSector = 0;
    record->sectorCount = count;
    record->fileSystemCode = analyzer->GetFileSystemType();
    analyzer->GetVolumeLabel(record->volumeLabel, kVolumeLabelSize);
    record->volumeLabel[kVolumeLabelSize - 1] = 0;
    record->device = std::make_unique<CBasicPartitionDevice>(disk, 0, count, claimed);
    out.push_back(std::move(record));
}

void AddGptPartition(IStorageDevice* disk, const u8* entry, BasicPartitionList& out) {
    const u64 first = ReadLE64(entry + 32);
    const u64 last = ReadLE64(entry + 40);
    // last - first + 1 as the signed count a damaged entry can make negative.
    const i64 count = static_cast<i64>(last - first + 1);
    CompleteRecord(disk, first, count, 0, Completion::kGpt, out);
}
}  // namespace

MbrPartitionEntry ReadMbrEntry(const u8* sector, u32 index) {
    const u8* p = sector + kMbrTableOffset + index * kMbrEntrySize;
    MbrPartitionEntry e{};
    e.bootIndicator = p[0];
    e.type = p[4];
    e.firstSector = ReadLE32(p + 8);
    e.sectorCount = ReadLE32(p + 12);
    e.allZero = true;
    for (u32 i = 0; i < kMbrEntrySize; ++i) {
        if (p[i]) {
            e.allZero = false;
            break;
        }
    }
    return e;
}

bool CPartitionTableAnalyze::HasLdmPartition(IStorageDevice* disk) {
    std::vector<u8> sector;
    if (!ReadOneSector(disk, 0, sector)) return false;
    for (u32 i = 0; i < kMbrEntryCount; ++i) {
        if (ReadMbrEntry(sector.data(), i).type == kMbrTypeLdm) return true;
    }
    return false;
}

bool CPartitionTableAnalyze::IsProtectiveMbr(IStorageDevice* disk) {
    std::vector<u8> sector;
    if (!ReadOneSector(disk, 0, sector)) return false;
    return HasBootSignature(sector) && ReadMbrEntry(sector.data(), 0).type == kMbrTypeGptProtective;
}

void CPartitionTableAnalyze::AnalyseGptDisk(IStorageDevice* disk, BasicPartitionList& out) {
    const u32 ss = disk->GetSectorSize();
    if (!UsableSectorSize(ss)) return;
    std::vector<u8> array(static_cast<size_t>(ss) * kGptEntryArraySectors, 0);
    if (disk->Read(array.data(), kGptEntryArrayLba, kGptEntryArraySectors) != 1) return;
    const u32 entries = std::min<u32>(kGptEntryCount, static_cast<u32>(array.size() / kGptEntrySize));
    for (u32 i = 0; i < entries; ++i) {
        const u8* entry = array.data() + static_cast<size_t>(i) * kGptEntrySize;
        char text[37];
        const GptTypeRow* row = FindGptType(FormatGuidText(ReadGuid(entry), text));
        if (row && row->id > 1) AddGptPartition(disk, entry, out);
    }
}

void CPartitionTableAnalyze::AnalyseMbrDisk(IStorageDevice* disk, BasicPartitionList& out) {
    AddWholeDiskVolume(disk, out);
    ScanMbr(disk, out);
}

u32 CPartitionTableAnalyze::AnalyseDisk(IStorageDevice* disk, BasicPartitionList& out) {
    if (!disk) return static_cast<u32>(out.size());
    if (HasLdmPartition(disk)) return 0;
    if (IsProtectiveMbr(disk)) {
        AnalyseGptDisk(disk, out);
    } else {
        AnalyseMbrDisk(disk, out);
    }
    return static_cast<u32>(out.size());
}

u32 MbrTypeToFileSystemCode(u32 type) {
    switch (type) {
        case 0x01: case 0x11:
            return kFsFat12;
        case 0x04: case 0x06: case 0x0E: case 0x14: case 0x16: case 0x1E:
            return kFsFat16;
        case 0x0B: case 0x0C: case 0x1B:
            return kFsFat32;
        case 0x07: case 0x17:
            return kFsNtfs;
        case 0x82: case 0x83: case 0x85: case 0x8E: case 0x92: case 0x93:
            return kFsExt2;
        default:
            return kFsUnknown;
    }
}

char* FileSystemCodeName(u32 fsCode, char* out) {
    std::strcpy(out, FsCodeLogName(fsCode));
    return out;
}

char* VolumeTypeName(u32 volumeType, char* out) {
    const char* name = "UNKNOWN";
    switch (volumeType) {
        case 2: name = "SIMPLE"; break;
        case 3: name = "MIRROR"; break;
        case 4: name = "SPANNED"; break;
        case 5: name = "STRIPPED"; break;
        case 6: name = "RAID5"; break;
        default: break;
    }
    std::strcpy(out, name);
    return out;
}

u32 BootSectorFileSystemCode(const u8* sector, u32 sectorSize) {
    if (!sector) return kFsUnknown;
    if (BootSectorClassifier fat = GetBootSectorClassifier(VolumeAnalyzerSlot::kFat)) {
        const u32 code = fat(sector, sectorSize);
        if (code != kFsUnknown) return code;
    }
    if (BootSectorClassifier ntfs = GetBootSectorClassifier(VolumeAnalyzerSlot::kNtfs)) {
        if (ntfs(sector, sectorSize) == kFsNtfs) return kFsNtfs;
    }
    return kFsUnknown;
}
