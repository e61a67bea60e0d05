#include "fs/fat/FatDeepSearch.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>

#include "devices/PartitionDevice.h"
#include "devices/StorageDevice.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/ClusterClaims.h"
#include "engine/DataRunList.h"
#include "devices/ScanOptions.h"
#include "engine/RSData.h"
#include "engine/RawFileInfo.h"
#include "engine/Int64HashTable.h"
#include "engine/RawFileInfoPool.h"
#include "fs/fat/FatDBR.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatQuickSearch.h"
#include "fs/fat/FatTable.h"
#include "platform/Log.h"

namespace {

constexpr u32 kBootSignatureOffset = 510;
constexpr u32 kEntryNameLength = 11;
constexpr u32 kEntryAttributeOffset = 11;
constexpr u32 kEntryClusterHighOffset = 20;
constexpr u32 kEntryClusterLowOffset = 26;
constexpr u64 kBackupBootOffset = 6;
constexpr u64 kProvisionalRootId = 0;
// What the folder analyser makes of a sector.
constexpr u32 kFolderSectorPart = 1;
constexpr u32 kFolderSectorStart = 2;
constexpr u32 kFatBootFlags = kFatFlagBootFat12 | kFatFlagBootFat16 | kFatFlagBootFat32 | kFatFlagBackupBootFat32;
constexpr u32 kFirstCluster = 2;
constexpr u32 kClusterSizes[] = {1, 2, 4, 8, 16, 32, 64, 128};
// Folder starts that must agree on a layout before it is taken for a volume.
constexpr u64 kMinLayoutVotes = 2;
// FAT copies looked at below a data area: the nearest ones belong to its volume.
constexpr size_t kFatStartsTried = 64;
// Formatters round a FAT up past what its clusters need; a copy twice that size is two copies.
constexpr u64 kFatSizeSlackDivisor = 8;
constexpr u64 kFatSizeSlackSectors = 8;
// The root region of a FAT16 volume: 224 entries at the least, 65535 at the most.
constexpr u64 kMinRootEntries = 224;
constexpr u64 kMaxRootEntries = 0xFFFF;
constexpr u64 kFat32Reserved = 32;
constexpr u64 kFat16Reserved = 1;
constexpr u64 kMaxFsInfoDistance = 0xFFFF;
constexpr u64 kFat16ClusterMin = 0xFF5;
constexpr u64 kFat16ClusterEnd = 0xFFF4;
constexpr u64 kFat32ClusterEnd = 0x0FFFFFF4;
constexpr u32 kFsInfoLeadSignature = 0x41615252;  // "RRaA"
constexpr u32 kFsInfoStructSignature = 0x61417272;  // "rrAa"
constexpr u32 kFsInfoStructOffset = 484;
constexpr u8 kFixedMedia = 0xF8;
constexpr u8 kFatAttrReservedBit = 0x40;
constexpr u8 kFatLowestNameByte = 0x1A;
constexpr u32 kEntryWriteDateOffset = 24;
constexpr u32 kDateMonthShift = 5;
constexpr u32 kDateMonthMask = 0x0F;
constexpr u32 kMonthsPerYear = 12;
constexpr u64 kFat12ClusterMin = 1;
// Entry widths in half-bytes.
constexpr u64 kFat12EntryHalfBytes = 3;
constexpr u64 kFat16EntryHalfBytes = 4;
constexpr u64 kFat32EntryHalfBytes = 8;
// A guessed layout: one reserved sector, two FATs, a FAT16 root region of 16 KiB, and root
// cluster 2 for FAT32.
constexpr u64 kGuessedReserved = 1;
constexpr u64 kGuessedFatCount = 2;
constexpr u64 kGuessedRootBytes = 16384;
constexpr u32 kGuessedRootCluster = 2;

void PutLE16(u8* p, u64 v) {
    p[0] = u8(v);
    p[1] = u8(v >> 8);
}
void PutLE32(u8* p, u64 v) {
    for (int i = 0; i < 4; ++i) p[i] = u8(v >> (8 * i));
}
u32 GetLE32(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }

// Whether the first entry of a sector can pass the entry check: the cheap part of it (attributes,
// first name byte, the month of the last-write date when dates are checked), before the sector
// is judged as a whole.
bool FirstEntryMayBeValid(const u8* e, bool dateCheck) {
    const u8 attributes = e[kEntryAttributeOffset];
    if (attributes == kFatAttrLongName) return true;
    if ((attributes & kFatAttrReservedBit) != 0) return false;
    if (e[0] < kFatLowestNameByte || e[0] == ' ') return false;
    const u16 date = ReadLE16(e + kEntryWriteDateOffset);
    const u32 month = (date >> kDateMonthShift) & kDateMonthMask;
    return !dateCheck || date == 0 || (month >= 1 && month <= kMonthsPerYear);
}

bool IsFsInfoSector(const u8* p) {
    return GetLE32(p) == kFsInfoLeadSignature && GetLE32(p + kFsInfoStructOffset) == kFsInfoStructSignature &&
           p[510] == 0x55 && p[511] == 0xAA;
}

u32 EntryCluster(const u8* e) {
    u16 high = 0;
    u16 low = 0;
    std::memcpy(&high, e + kEntryClusterHighOffset, sizeof(high));
    std::memcpy(&low, e + kEntryClusterLowOffset, sizeof(low));
    return (u32(high) << 16) | low;
}

bool IsDotEntryNamed(const u8* e, u32 dots) {
    for (u32 i = 0; i < kEntryNameLength; ++i) {
        if (e[i] != (i < dots ? '.' : ' ')) return false;
    }
    return (e[kEntryAttributeOffset] & kAttrDirectory) != 0;
}

u32 BootFlagOf(u32 fsCode) {
    switch (fsCode) {
        case kFsFat12: return kFatFlagBootFat12;
        case kFsFat16: return kFatFlagBootFat16;
        default: return kFatFlagBootFat32;
    }
}

bool SameGeometry(const FatBootSighting& a, const FatBootSighting& b) {
    return a.fsCode == b.fsCode && a.sectorsPerCluster == b.sectorsPerCluster &&
           a.reservedSectors == b.reservedSectors && a.fatCount == b.fatCount && a.sectorsPerFat == b.sectorsPerFat &&
           a.totalSectors == b.totalSectors && a.root == b.root;
}

// A volume whose own boot sector and a FAT copy check out: found on its own, not from folders.
bool IsCheckedBootVolume(const CFATSearchedPartitionInfo& c) {
    const u32 flags = c.GetFlags();
    return (flags & kFatBootFlags) != 0 && (flags & (kFatFlagFat1Seen | kFatFlagFat2Seen)) != 0;
}

}  // namespace

namespace {
struct ClusterRange {
    u64 entryHalfBytes;
    u64 low;   // included
    u64 high;  // excluded
};
ClusterRange RangeOf(u32 fsCode) {
    switch (fsCode) {
        case kFsFat12: return {kFat12EntryHalfBytes, kFat12ClusterMin, kFat16ClusterMin};
        case kFsFat16: return {kFat16EntryHalfBytes, kFat16ClusterMin, kFat16ClusterEnd};
        default: return {kFat32EntryHalfBytes, kFat16ClusterEnd, kFat32ClusterEnd};
    }
}
// Sectors a FAT needs for `clusters` entries of the type's width.
u64 FatSectorsFor(u64 clusters, u64 entryHalfBytes, u32 sectorSize) {
    return (clusters * entryHalfBytes + 2 * u64(sectorSize) - 1) / (2 * u64(sectorSize));
}
}  // namespace

u64 FatBootDataOffset(const FatBootSighting& b) {
    return u64(b.reservedSectors) + u64(b.fatCount) * b.sectorsPerFat + (b.fsCode == kFsFat32 ? 0 : u64(b.root));
}

namespace {
// Whether a volume of `total` sectors with the boot sector's layout is one: its data area lies
// inside it, its cluster count lies in its type's range, its FAT holds that many clusters and,
// for FAT32, the root cluster lies among them.
bool FatLayoutHolds(const FatBootSighting& b, u64 total, u32 sectorSize) {
    const u64 dataOffset = FatBootDataOffset(b);
    if (dataOffset >= total) return false;
    const u64 clusters = (total - dataOffset) / b.sectorsPerCluster;
    const ClusterRange range = RangeOf(b.fsCode);
    if (clusters < range.low || clusters >= range.high) return false;
    if (u64(b.sectorsPerFat) < (clusters * range.entryHalfBytes - 1 + 2 * u64(sectorSize)) / (2 * u64(sectorSize))) {
        return false;
    }
    return b.fsCode != kFsFat32 || clusters >= b.root;
}
}  // namespace

bool FatBootMakesCandidate(const FatBootSighting& b, u64 start, u64 deviceSectors, u32 sectorSize) {
    if (b.sectorsPerCluster == 0 || sectorSize == 0 || start >= deviceSectors) return false;
    if (FatBootDataOffset(b) >= deviceSectors - start) return false;
    // The volume as its boot sector gives it, also where the device ends inside it (an image cut
    // short); else, for a damaged total, the part of it the device holds.
    return FatLayoutHolds(b, b.totalSectors, sectorSize) ||
           FatLayoutHolds(b, std::min<u64>(b.totalSectors, deviceSectors - start), sectorSize);
}

bool GuessFatLayout(u64 dataStart, u32 spc, u64 deviceSectors, u32 sectorSize, FatGuessedLayout& out,
                    bool fat16RootSeen) {
    if (spc == 0 || sectorSize == 0 || dataStart >= deviceSectors) return false;
    // The entries of FATs that fill all the room before the data area but for a root region.
    const auto roomEntries = [&](const ClusterRange& range, u64 rootSectors) {
        const u64 roomPerFat = (dataStart - std::min(dataStart, kGuessedReserved + rootSectors)) / kGuessedFatCount;
        return roomPerFat * 2 * u64(sectorSize) / range.entryHalfBytes;
    };
    for (u32 code : {kFsFat32, kFsFat16}) {
        const ClusterRange range = RangeOf(code);
        u64 clusters = (deviceSectors - dataStart) / spc;
        // The device may end long before the volume does (an image cut short): the clusters it
        // holds tell too few for the type. The room before the data area is the volume's own:
        // where FAT32 FATs filling it name as many clusters as FAT32 has, and no FAT16 root
        // folder stands right before the data area, the volume is FAT32.
        const bool fat32ByRoom = code == kFsFat32 && clusters < range.low && !fat16RootSeen &&
                                 roomEntries(range, 0) >= range.low + kFirstCluster;
        if (!fat32ByRoom && (clusters < range.low || clusters >= range.high)) continue;
        const u64 fatSectors = FatSectorsFor(clusters, range.entryHalfBytes, sectorSize);
        // Both FATs must fit before the data area; else the FATs that fit bound the clusters.
        if (dataStart / 2 < fatSectors) {
            clusters = 2 * u64(sectorSize) * (dataStart / 2) / range.entryHalfBytes;
            if (clusters < range.low || clusters >= range.high) continue;
        }
        const u64 fatsEnd = kGuessedReserved + kGuessedFatCount * fatSectors;
        if (dataStart < fatsEnd) continue;
        const u64 base = dataStart - fatsEnd;
        u64 rootSectors = 0;
        if (code == kFsFat16) rootSectors = std::min<u64>(kGuessedRootBytes / sectorSize, base);
        if (fatSectors > 0xFFFFFFFFu) continue;
        out.fsCode = code;
        out.start = base - rootSectors;
        out.clusters = clusters;
        out.sectorsPerFat = u32(fatSectors);
        out.root = code == kFsFat32 ? kGuessedRootCluster : u32(rootSectors);
        out.totalSectors = clusters * spc + rootSectors + kGuessedReserved + kGuessedFatCount * fatSectors;
        // FATs that fill all the room before the data area name at most this many clusters; the
        // device may end before the volume does (an image cut short), so its own end is not known.
        const u64 entries = roomEntries(range, rootSectors);
        out.roomClusters =
            std::max(clusters, std::min(entries - std::min(entries, u64(kFirstCluster)), range.high - 1));
        return true;
    }
    return false;
}

u64 CandidateScore(u32 fsCode, u32 flags) {
    constexpr u64 kBoth = 50;
    constexpr u64 kOne = 45;
    constexpr u64 kNone = 10;
    auto grade = [&](u32 a, u32 b) {
        const bool hasA = (flags & a) != 0;
        const bool hasB = (flags & b) != 0;
        return hasA && hasB ? kBoth : (hasA || hasB ? kOne : kNone);
    };
    const u64 fats = grade(kFatFlagFat1Seen, kFatFlagFat2Seen);
    if (fsCode == kFsFat32) return fats + grade(kFatFlagBootFat32, kFatFlagBackupBootFat32);
    return fats + ((flags & (kFatFlagBootFat12 | kFatFlagBootFat16)) != 0 ? kBoth : kNone);
}

bool IsFatFolderStart(const u8* sector, u32& cluster, u32& parent) {
    if (sector[0] != '.' || sector[1] != ' ' || sector[kFatDirEntrySize] != '.' || sector[kFatDirEntrySize + 1] != '.') {
        return false;
    }
    if (!IsDotEntryNamed(sector, 1) || !IsDotEntryNamed(sector + kFatDirEntrySize, 2)) return false;
    cluster = EntryCluster(sector);
    parent = EntryCluster(sector + kFatDirEntrySize);
    // A ".." that names the folder itself is damage to that entry alone: the folder's entries
    // are as good as any other's, only the way to its parent is lost.
    return cluster >= kFirstCluster;
}

namespace {
// A boot sector that makes a volume, before the folder starts have voted for it.
struct BootVolume {
    const FatBootSighting* boot;
    u64 start;
    u32 flags;
    bool fat1;
    u64 dataStart;
    u64 total;  // clipped to the device
    u64 votes;
};

// Counts for each volume the folder starts that lie where their "." cluster says in its data
// area: a start at sector s naming cluster c votes for the data area s - (c - 2) x spc. For each
// cluster size the volumes use, the starts whose implied data area is some volume's are bucketed
// by that data area (their sectors, in the ascending order they are kept in) and each volume
// looks up its own bucket, so the count grows with volumes plus folder starts, not with their
// product, and takes eight bytes a voting start.
void CountFolderVotes(std::vector<BootVolume>& volumes, const std::vector<FatFolderStart>& folders) {
    std::vector<u32> sizes;
    for (const BootVolume& v : volumes) sizes.push_back(v.boot->sectorsPerCluster);
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    std::vector<u64> dataStarts;
    std::vector<u64> bucketEnds;  // of each data area's bucket, then its fill position
    std::vector<u64> sectors;
    for (const u32 spc : sizes) {
        dataStarts.clear();
        for (const BootVolume& v : volumes) {
            if (v.boot->sectorsPerCluster == spc) dataStarts.push_back(v.dataStart);
        }
        std::sort(dataStarts.begin(), dataStarts.end());
        dataStarts.erase(std::unique(dataStarts.begin(), dataStarts.end()), dataStarts.end());
        // The bucket of the data area a folder start votes for, or none.
        auto bucketOf = [&](const FatFolderStart& f) -> size_t {
            if (f.IsContinuation() || f.cluster < kFirstCluster) return dataStarts.size();
            const u64 offset = u64(f.cluster - kFirstCluster) * spc;
            if (offset > f.sector) return dataStarts.size();
            const auto it = std::lower_bound(dataStarts.begin(), dataStarts.end(), f.sector - offset);
            return it != dataStarts.end() && *it == f.sector - offset ? size_t(it - dataStarts.begin())
                                                                       : dataStarts.size();
        };
        bucketEnds.assign(dataStarts.size() + 1, 0);
        for (const FatFolderStart& f : folders) ++bucketEnds[bucketOf(f)];
        u64 placed = 0;
        for (size_t i = 0; i < dataStarts.size(); ++i) {
            placed += bucketEnds[i];
            bucketEnds[i] = placed - bucketEnds[i];  // the bucket's first place, filled from there
        }
        sectors.assign(placed, 0);
        for (const FatFolderStart& f : folders) {
            const size_t bucket = bucketOf(f);
            if (bucket < dataStarts.size()) sectors[bucketEnds[bucket]++] = f.sector;
        }
        for (BootVolume& v : volumes) {
            if (v.boot->sectorsPerCluster != spc) continue;
            const size_t bucket = size_t(std::lower_bound(dataStarts.begin(), dataStarts.end(), v.dataStart) -
                                         dataStarts.begin());
            const auto first = sectors.begin() + std::ptrdiff_t(bucket == 0 ? 0 : bucketEnds[bucket - 1]);
            const auto last = sectors.begin() + std::ptrdiff_t(bucketEnds[bucket]);
            // The volume's folder starts lie before its end.
            v.votes = u64(std::lower_bound(first, last, v.start + v.total) - first);
        }
    }
}
}  // namespace

std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> MakeFatCandidates(const std::vector<FatBootSighting>& boots,
                                                                          const std::vector<FatFolderStart>& folders,
                                                                          u64 deviceSectors, u32 sectorSize,
                                                                          const FatStartTest& fatStartAt,
                                                                          FatCopyUse use) {
    auto sightingAt = [&](u64 sector) -> const FatBootSighting* {
        auto it = std::lower_bound(boots.begin(), boots.end(), sector,
                                   [](const FatBootSighting& b, u64 s) { return b.sector < s; });
        return it != boots.end() && it->sector == sector ? &*it : nullptr;
    };
    std::vector<BootVolume> volumes;
    for (const FatBootSighting& b : boots) {
        if (b.sectorsPerCluster == 0 || b.totalSectors == 0) continue;
        const bool fat32 = b.fsCode == kFsFat32;
        // A FAT32 boot sector six sectors after an identical one is that volume's backup.
        if (fat32 && b.sector >= kBackupBootOffset) {
            const FatBootSighting* primary = sightingAt(b.sector - kBackupBootOffset);
            if (primary != nullptr && SameGeometry(*primary, b)) continue;
        }
        u64 start = b.sector;
        u32 flags = BootFlagOf(b.fsCode);
        bool fat1 = fatStartAt(start + b.reservedSectors);
        if (!fat1 && fat32 && b.sector >= kBackupBootOffset && fatStartAt(b.sector - kBackupBootOffset + b.reservedSectors)) {
            // Only the backup survived: the volume starts six sectors earlier.
            start = b.sector - kBackupBootOffset;
            flags = kFatFlagBackupBootFat32;
            fat1 = true;
        } else if (fat32) {
            const FatBootSighting* backup = sightingAt(b.sector + kBackupBootOffset);
            if (backup != nullptr && SameGeometry(*backup, b)) flags |= kFatFlagBackupBootFat32;
        }
        if (!FatBootMakesCandidate(b, start, deviceSectors, sectorSize)) continue;
        const u64 dataOffset = FatBootDataOffset(b);
        volumes.push_back({&b, start, flags, fat1, start + dataOffset,
                           std::min<u64>(b.totalSectors, deviceSectors - start), 0});
    }
    CountFolderVotes(volumes, folders);

    std::map<u64, std::unique_ptr<CFATSearchedPartitionInfo>> byStart;
    for (const BootVolume& v : volumes) {
        const FatBootSighting& b = *v.boot;
        if (byStart.count(v.start) != 0) continue;
        u32 flags = v.flags;
        const bool fat2 = b.fatCount > 1 && fatStartAt(v.start + b.reservedSectors + b.sectorsPerFat);
        if (v.fat1) flags |= kFatFlagFat1Seen | (use.first ? kFatFlagFat1Usable : 0);
        if (fat2) flags |= kFatFlagFat2Seen | (use.second ? kFatFlagFat2Usable : 0);
        // A boot sector that neither a FAT copy nor a folder confirms is a copy inside some file.
        if (!v.fat1 && !fat2 && v.votes == 0) continue;
        if (v.votes != 0) flags |= kFatFlagFromDirectory;

        auto c = std::unique_ptr<CFATSearchedPartitionInfo>(CreateFATSearchedPartitionInfo(sectorSize));
        if (!c) break;
        c->SetFileSystemCode(b.fsCode);
        c->SetSectorsPerCluster(b.sectorsPerCluster);
        c->SetPartitionStart(v.start);
        c->SetFoundStart(v.start);
        // A volume longer than the device (an image cut short) is the part of it the device holds.
        c->SetTotalSectors(v.total);
        c->SetFirstDataSector(v.dataStart);
        c->SetReservedSectors(b.reservedSectors);
        c->SetSectorsPerFat(b.sectorsPerFat);
        c->SetClusterCount(u32(std::min<u64>((v.start + v.total - v.dataStart) / b.sectorsPerCluster, 0xFFFFFFFFu)));
        c->SetRoot(b.root);
        c->SetFlags(flags);
        c->SetEvidenceCount(v.votes);
        c->SetBootScore(CandidateScore(b.fsCode, flags));
        byStart.emplace(v.start, std::move(c));
    }
    std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> out;
    for (auto& [start, c] : byStart) out.push_back(std::move(c));
    return out;
}

namespace {
// Where the FATs of a FAT32 volume whose data area begins at `dataStart` lie when the first
// sector of only one copy was seen, at `seen`: the copies stand back to back against the data
// area, so the one seen is the second or the first, and the other copy's second sector matches
// its own. A copy larger than the clusters up to the device's end could need belongs to no
// volume here, nor does one that another volume's start or the copies' match does not confirm.
// `copies` gets the seen flag of the copy taken.
bool PlaceLoneFat32Copy(u64 seen, u64 dataStart, u32 spc, u64 deviceSectors, u32 sectorSize,
                        const FatSectorsMatch& sectorsMatch, u64& fat1, u64& perFat, u32& copies) {
    if (!sectorsMatch || seen >= dataStart || dataStart >= deviceSectors || spc == 0) return false;
    const u64 needed = FatSectorsFor((deviceSectors - dataStart) / spc, RangeOf(kFsFat32).entryHalfBytes, sectorSize);
    const u64 largest = needed + needed / kFatSizeSlackDivisor + kFatSizeSlackSectors;
    const u64 span = dataStart - seen;
    if (span >= 2 && span <= largest && seen > span && sectorsMatch(seen - span + 1, seen + 1)) {
        fat1 = seen - span;
        perFat = span;
        copies = kFatFlagFat2Seen;
        return true;
    }
    if (span >= 4 && span % 2 == 0 && span / 2 <= largest && sectorsMatch(seen + 1, seen + span / 2 + 1)) {
        fat1 = seen;
        perFat = span / 2;
        copies = kFatFlagFat1Seen;
        return true;
    }
    return false;
}
}  // namespace

namespace {
// Whether a volume of `volumes` whose boot sector stands puts one of its FAT copies at `sector`:
// a volume formatted over an older one writes its FATs where the older one's began, and the copy
// seen there holds the newer volume's chains, not the older one's.
bool OtherVolumesFat(const std::vector<std::unique_ptr<CFATSearchedPartitionInfo>>& volumes, u64 sector) {
    return std::any_of(volumes.begin(), volumes.end(), [sector](const auto& c) {
        if ((c->GetFlags() & kFatBootFlags) == 0) return false;
        const u64 fat1 = c->GetPartitionStart() + c->GetReservedSectors();
        return sector == fat1 || sector == fat1 + c->GetSectorsPerFat();
    });
}
}  // namespace

std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> MakeFatDirectoryCandidates(
    const std::vector<FatFolderStart>& folders, const std::vector<u64>& fatStarts, const std::vector<u64>& infoSectors,
    const std::vector<std::unique_ptr<CFATSearchedPartitionInfo>>& existing, u64 deviceSectors, u32 sectorSize,
    FatCopyUse use, const FatSectorsMatch& sectorsMatch) {
    std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> out;
    if (sectorSize == 0) return out;
    // Every folder start votes, for each cluster size, for the data area it would imply. The
    // votes are counted one cluster size at a time: a device full of folder starts then needs
    // eight bytes a start for them, not eight times sixteen.
    struct Layout {
        u64 dataStart;
        u32 spc;
        u64 votes;
    };
    std::vector<Layout> agreed;
    std::vector<u64> dataStarts;
    for (u32 spc : kClusterSizes) {
        dataStarts.clear();
        for (const FatFolderStart& f : folders) {
            if (f.cluster < kFirstCluster || f.IsContinuation()) continue;
            const u64 offset = u64(f.cluster - kFirstCluster) * spc;
            if (offset <= f.sector) dataStarts.push_back(f.sector - offset);
        }
        std::sort(dataStarts.begin(), dataStarts.end());
        for (size_t i = 0; i < dataStarts.size();) {
            size_t j = i;
            while (j < dataStarts.size() && dataStarts[j] == dataStarts[i]) ++j;
            if (j - i >= kMinLayoutVotes) agreed.push_back({dataStarts[i], spc, u64(j - i)});
            i = j;
        }
    }
    // The most voted first; among equals, by data area and then cluster size.
    std::sort(agreed.begin(), agreed.end(), [](const Layout& a, const Layout& b) {
        return a.dataStart != b.dataStart ? a.dataStart < b.dataStart : a.spc < b.spc;
    });
    std::stable_sort(agreed.begin(), agreed.end(), [](const Layout& a, const Layout& b) { return a.votes > b.votes; });

    // A layout the boot sectors (or folder starts before) gave a volume already is that volume's;
    // another layout inside it is a volume of its own, formatted there before or after it.
    auto known = [](const std::vector<std::unique_ptr<CFATSearchedPartitionInfo>>& list, const Layout& l) {
        return std::any_of(list.begin(), list.end(), [&l](const auto& c) {
            return c->GetFirstDataSector() == l.dataStart && c->GetSectorsPerCluster() == l.spc;
        });
    };
    // The clusters a FAT of `perFat` sectors of type `code` gives a layout whose data area begins
    // at `dataStart`; 0 when that type cannot have that many.
    auto clustersOf = [&](u32 code, u64 perFat, u64 dataStart, u32 spc) -> u64 {
        const ClusterRange range = RangeOf(code);
        const u64 fatClusters = perFat * sectorSize * 2 / range.entryHalfBytes;
        if (fatClusters <= kFirstCluster) return 0;
        const u64 named = fatClusters - kFirstCluster;
        const u64 room = (deviceSectors - dataStart) / spc;
        // Formatters give a FAT some entries to spare. A device that ends well before the
        // clusters its FAT names (an image cut short) holds the start of a volume of about that
        // many clusters: the type is judged on those, and a FAT of more entries than the type can
        // use (two FAT32 copies read as FAT16 ones) is no such volume's.
        const u64 spareSectorEntries = kFatSizeSlackSectors * sectorSize * 2 / range.entryHalfBytes;
        const u64 spare = named / kFatSizeSlackDivisor + spareSectorEntries;
        const bool cut = room + spare < named;
        const u64 clusters = cut ? named : std::min(named, room);
        const u64 fewest = cut ? named - spare : clusters;
        return clusters < range.low || fewest >= range.high ? 0 : clusters;
    };
    for (const Layout& l : agreed) {
        if (l.dataStart >= deviceSectors || known(existing, l) || known(out, l)) continue;
        // The two FAT copies right before the data area: back to back for FAT32, with the root
        // region between them and the data area for FAT16. Of the pairs seen the nearest whose
        // type holds the clusters its FAT names is taken: a volume formatted over another one
        // leaves copies of both.
        const auto below = std::lower_bound(fatStarts.begin(), fatStarts.end(), l.dataStart);
        const size_t count = size_t(below - fatStarts.begin());
        u64 fat1 = 0;
        u64 perFat = 0;
        u64 rootSectors = 0;
        u64 clusters = 0;
        u32 code = kFsUnknown;
        u32 copies = kFatFlagFat1Seen | kFatFlagFat2Seen;
        for (size_t a = count; a-- > 0 && count - a <= kFatStartsTried && code == kFsUnknown;) {
            const u64 second = fatStarts[a];
            for (size_t b = a; b-- > 0 && a - b <= kFatStartsTried;) {
                const u64 first = fatStarts[b];
                const u64 size = second - first;
                if (size == 0) continue;
                if (second + size > l.dataStart) break;
                const u64 root = l.dataStart - (second + size);
                const u64 entries = root * sectorSize / kFatDirEntrySize;
                const u32 type = root == 0 ? kFsFat32
                                 : entries >= kMinRootEntries && entries <= kMaxRootEntries ? kFsFat16
                                                                                             : kFsUnknown;
                if (type == kFsUnknown) continue;
                clusters = clustersOf(type, size, l.dataStart, l.spc);
                if (clusters == 0) continue;
                code = type;
                fat1 = first;
                perFat = size;
                rootSectors = root;
                break;
            }
        }
        // One copy's first sector lost (a card that failed there): the other still holds the chains.
        if (code == kFsUnknown && count > 0 &&
            PlaceLoneFat32Copy(fatStarts[count - 1], l.dataStart, l.spc, deviceSectors, sectorSize, sectorsMatch, fat1,
                               perFat, copies)) {
            clusters = clustersOf(kFsFat32, perFat, l.dataStart, l.spc);
            if (clusters != 0) code = kFsFat32;
        }
        if (code == kFsUnknown) {
            // No FAT copies of the layout (both gone, or none whose type holds its clusters): the
            // layout alone places them, and the walk reads none. A FAT16 volume keeps its root
            // folder right before its data area, where a FAT32 one has the end of its second FAT.
            const u64 rootSectors = kGuessedRootBytes / sectorSize;
            const auto rootFrom = std::lower_bound(
                folders.begin(), folders.end(), l.dataStart - std::min(l.dataStart, rootSectors),
                [](const FatFolderStart& f, u64 sector) { return f.sector < sector; });
            const bool fat16RootSeen = rootFrom != folders.end() && rootFrom->sector < l.dataStart;
            FatGuessedLayout guess;
            if (!GuessFatLayout(l.dataStart, l.spc, deviceSectors, sectorSize, guess, fat16RootSeen)) continue;
            auto c = std::unique_ptr<CFATSearchedPartitionInfo>(CreateFATSearchedPartitionInfo(sectorSize));
            if (!c) break;
            c->SetFileSystemCode(guess.fsCode);
            c->SetSectorsPerCluster(l.spc);
            c->SetPartitionStart(guess.start);
            c->SetFoundStart(guess.start);
            c->SetTotalSectors(std::min(guess.totalSectors, deviceSectors - guess.start));
            c->SetFirstDataSector(l.dataStart);
            c->SetReservedSectors(u16(kGuessedReserved));
            c->SetSectorsPerFat(guess.sectorsPerFat);
            // Its files past the device's end are the volume's as far as its FATs could reach.
            c->SetClusterCount(u32(guess.roomClusters));
            c->SetRoot(guess.root);
            c->SetFlags(kFatFlagFromDirectory);
            c->SetEvidenceCount(l.votes);
            c->SetBootScore(CandidateScore(guess.fsCode, kFatFlagFromDirectory));
            out.push_back(std::move(c));
            continue;
        }

        // The information sector of FAT32 stands right after the boot sector.
        u64 reserved = code == kFsFat32 ? kFat32Reserved : kFat16Reserved;
        if (code == kFsFat32) {
            // The first one in reach: the backup boot sector carries a copy six sectors on.
            const u64 reach = fat1 > kMaxFsInfoDistance ? fat1 - kMaxFsInfoDistance : 1;
            auto info = std::lower_bound(infoSectors.begin(), infoSectors.end(), reach);
            if (info != infoSectors.end() && *info < fat1) reserved = fat1 - (*info - 1);
        }
        if (reserved > fat1) reserved = fat1;
        if (reserved == 0) continue;
        const u64 start = fat1 - reserved;
        const u64 total = std::min(l.dataStart - start + clusters * l.spc, deviceSectors - start);

        auto c = std::unique_ptr<CFATSearchedPartitionInfo>(CreateFATSearchedPartitionInfo(sectorSize));
        if (!c) break;
        u32 flags = kFatFlagFromDirectory | copies;
        if ((copies & kFatFlagFat1Seen) != 0 && use.first && !OtherVolumesFat(existing, fat1)) {
            flags |= kFatFlagFat1Usable;
        }
        if ((copies & kFatFlagFat2Seen) != 0 && use.second && !OtherVolumesFat(existing, fat1 + perFat)) {
            flags |= kFatFlagFat2Usable;
        }
        c->SetFileSystemCode(code);
        c->SetSectorsPerCluster(l.spc);
        c->SetPartitionStart(start);
        c->SetFoundStart(start);
        c->SetTotalSectors(total);
        c->SetFirstDataSector(l.dataStart);
        c->SetReservedSectors(u16(reserved));
        c->SetSectorsPerFat(u32(perFat));
        c->SetClusterCount(u32(clusters));
        c->SetRoot(code == kFsFat32 ? kFirstCluster : u32(rootSectors));
        c->SetFlags(flags);
        c->SetEvidenceCount(l.votes);
        c->SetBootScore(CandidateScore(code, flags));
        out.push_back(std::move(c));
    }
    return out;
}

void MakeStandInBootSector(const CFATSearchedPartitionInfo& c, u32 sectorSize, std::vector<u8>& out) {
    out.assign(sectorSize, 0);
    u8* b = out.data();
    const bool fat32 = c.GetFileSystemCode() == kFsFat32;
    b[0] = 0xEB;
    b[1] = fat32 ? 0x58 : 0x3C;
    b[2] = 0x90;
    std::memcpy(b + 3, "MSWIN4.1", 8);
    PutLE16(b + 11, sectorSize);
    b[13] = u8(c.GetSectorsPerCluster());
    PutLE16(b + 14, c.GetReservedSectors());
    b[16] = 2;
    b[21] = kFixedMedia;
    PutLE32(b + 28, c.GetPartitionStart());
    // The volume's own length: a device that ends inside it holds only its start.
    const u64 ownTotal =
        c.GetFirstDataSector() - c.GetPartitionStart() + u64(c.GetClusterCount()) * c.GetSectorsPerCluster();
    PutLE32(b + 32, std::min<u64>(std::max<u64>(c.GetTotalSectors(), ownTotal), 0xFFFFFFFFu));
    if (fat32) {
        PutLE32(b + 36, c.GetSectorsPerFat());
        PutLE32(b + 44, c.GetRoot());
        PutLE16(b + 48, 1);
        PutLE16(b + 50, kBackupBootOffset);
        b[66] = 0x29;
        std::memcpy(b + 71, "NO NAME    ", 11);
        std::memcpy(b + 82, "FAT32   ", 8);
    } else {
        PutLE16(b + 17, u64(c.GetRoot()) * sectorSize / kFatDirEntrySize);
        PutLE16(b + 22, c.GetSectorsPerFat());
        b[38] = 0x29;
        std::memcpy(b + 43, "NO NAME    ", 11);
        std::memcpy(b + 54, "FAT16   ", 8);
    }
    b[510] = 0x55;
    b[511] = 0xAA;
}

CFatCompleteSearch::CFatCompleteSearch() = default;
CFatCompleteSearch::~CFatCompleteSearch() = default;

void CFatCompleteSearch::BeginSearch() {
    {
        const auto lk = m_looks.Hold();
        m_boots.clear();
        m_folders.clear();
        m_fatStarts.clear();
        m_infoSectors.clear();
        m_candidates.clear();
        m_guestOf.clear();
        m_looks.Begin();
    }
    m_block.clear();
    m_hints.Clear();
    m_turnedAway = {};
    m_traced = {};
    m_shownFolderSectors = 0;
    m_handOut = true;
    m_currentParent = kFatContinuationCluster;
    const ScanOptions& options = GetScanOptions();
    m_bootTest = options.GetBootSectorAnalysis() != 0;
    m_dateCheck = options.GetFatDateCheck() != 0;
    m_copyUse.first = options.GetFatFlag80() != 0;
    m_copyUse.second = options.GetFatFlag200() != 0;
    if (!m_builder) return;
    PropertiesRef<CFATFileProperties> p(NewFATFileProperties());
    SetFolderPropertiesName(p.get(), FileSystemTypeName(kFsFat32));
    AddProvisionalRoot(std::move(p), kFsFat32, kProvisionalRootId);
}

void CFatCompleteSearch::ClassifySector(u64 sector, const u8* p) {
    // Free space and the end of a folder: nothing to classify.
    if (p[0] == 0) return;
    if (m_bootTest && p[kBootSignatureOffset] == 0x55 && p[kBootSignatureOffset + 1] == 0xAA) {
        CFATDBR dbr(p, m_sectorSize);
        if (dbr.IsValid()) {
            FatBootSighting b;
            b.sector = sector;
            b.fsCode = dbr.GetFATType();
            b.sectorsPerCluster = dbr.GetSectorsPerCluster();
            b.reservedSectors = dbr.GetReservedSectors();
            b.fatCount = dbr.GetFATCount();
            b.sectorsPerFat = dbr.GetFATSize();
            b.totalSectors = dbr.GetTotalSectors();
            b.root = b.fsCode == kFsFat32 ? dbr.GetRootCluster() : u32(CFATVolumeReader::RootRegionSectors(dbr));
            // A boot sector no volume can have (a copy inside a file, a damaged one) goes on to
            // the FAT-start and folder tests.
            const u64 deviceSectors = m_device != nullptr ? m_device->GetTotalSectors() : 0;
            const bool primary = FatBootMakesCandidate(b, sector, deviceSectors, m_sectorSize);
            const bool backup = b.fsCode == kFsFat32 && sector >= kBackupBootOffset &&
                                FatBootMakesCandidate(b, sector - kBackupBootOffset, deviceSectors, m_sectorSize);
            if (primary || backup) {
                const auto lk = m_looks.Hold();
                if (m_boots.size() < kMaxBootSightings) {
                    m_boots.push_back(b);
                    TraceSighting(kTracedBoot, sector);
                } else {
                    NoteTurnedAway(kCapBoots, sector);
                }
                return;
            }
        }
    }
    u32 code = kFsUnknown;
    if (p[1] == 0xFF && p[2] == 0xFF && IsFATStartSector(p, m_sectorSize, code)) {
        const auto lk = m_looks.Hold();
        if (m_fatStarts.size() < kMaxFatStarts) {
            m_fatStarts.push_back(sector);
        } else {
            NoteTurnedAway(kCapFatStarts, sector);
        }
        return;
    }
    if (p[0] == 'R' && IsFsInfoSector(p)) {
        const auto lk = m_looks.Hold();
        if (m_infoSectors.size() < kMaxFatStarts) {
            m_infoSectors.push_back(sector);
        } else {
            NoteTurnedAway(kCapInfoSectors, sector);
        }
        return;
    }
    const bool full = m_folders.size() >= kMaxFolderStarts;
    u32 cluster = 0;
    u32 parent = 0;
    if (p[0] == '.' && IsFatFolderStart(p, cluster, parent)) {
        if (full) {
            NoteTurnedAway(kCapFolders, sector);
            return;
        }
        AddFolderSighting({sector, cluster, parent});
        TraceSighting(kTracedFolderStart, sector);
        BookTypeHints(sector, p);
        HandOutFolderSector(sector, p, kFolderSectorStart);
        // The sectors that follow continue this folder until a sector without entries.
        m_currentParent = cluster;
        return;
    }
    // Entries without "." and "..": a folder's later sectors, kept for the lost folders.
    FolderSectorState state;
    state.length = m_sectorSize;
    if (FirstEntryMayBeValid(p, m_dateCheck) && AnalyzeFATFolderSector(state, p, nullptr, 0) &&
        state.result == kFolderSectorPart) {
        if (full) {
            NoteTurnedAway(kCapFolders, sector);
            return;
        }
        AddFolderSighting({sector, kFatContinuationCluster, kFatContinuationCluster});
        TraceSighting(kTracedFolderPart, sector);
        BookTypeHints(sector, p);
        HandOutFolderSector(sector, p, kFolderSectorPart);
    } else {
        m_currentParent = kFatContinuationCluster;
    }
}

void CFatCompleteSearch::HandOutFolderSector(u64 sector, const u8* bytes, u32 expected) {
    if (!m_handOut || m_builder == nullptr) return;
    // Each shown entry costs a node in the provisional tree, hundreds of bytes, where the sighting
    // costs sixteen: past the cap the sectors are still kept for the trees built at the end.
    if (m_shownFolderSectors >= kMaxShownFolderSectors) {
        NoteTurnedAway(kCapShown, sector);
        return;
    }
    ++m_shownFolderSectors;
    // The sector was judged once without making nodes: most look-alikes fail there, and making
    // nodes costs far more than judging.
    FolderSectorState state;
    state.length = m_sectorSize;
    m_sectorBytes = bytes;
    m_sectorNumber = sector;
    m_sectorNodes.clear();
    const bool found = AnalyzeFATFolderSector(state, bytes, this, 0);
    m_sectorBytes = nullptr;
    if (found && state.result == expected) HandOutSectorNodes();
    m_sectorNodes.clear();
}

void CFatCompleteSearch::OnFolderEntry(FolderSectorState& state, CFATDirEntry& entry, i32 longNameIndex,
                                       u32 entryIndex, bool folderHasDots, u32 /*user*/) {
    if (m_sectorBytes == nullptr || u64(entryIndex + 1) * kFatDirEntrySize > m_sectorSize) return;
    // A label stands in the root directory only: the entries after it are the root's.
    if (entry.IsVolumeLabel()) {
        m_currentParent = u32(entry.GetFirstCluster());
        return;
    }
    // The analyser names the last long-name entry it met, which may belong to an earlier entry;
    // the name of this one is the run of long-name entries right before it.
    u32 firstEntry = entryIndex;
    if (longNameIndex >= 0 && u32(longNameIndex) < entryIndex) {
        while (firstEntry > 0 && m_sectorBytes[u64(firstEntry - 1) * kFatDirEntrySize + kEntryAttributeOffset] ==
                                     kFatAttrLongName) {
            --firstEntry;
        }
    }
    PropertiesRef<CFATFileProperties> p = CreateFATFilePropertiesFromEntries(
        m_sectorBytes + u64(firstEntry) * kFatDirEntrySize, (entryIndex - firstEntry + 1) * kFatDirEntrySize);
    if (!p) return;
    const u32 cluster = u32(entry.GetFirstCluster());
    const u32 parentCluster =
        folderHasDots && state.dotCluster != 0 ? u32(state.dotCluster) : kFatContinuationCluster;
    p->SetFirstCluster(cluster);
    p->SetParentCluster(parentCluster);
    TreeNodePtr node = CreateFileNode();
    if (!node) return;
    node->SetFileProperties(p.release());
    node->SetParentId(m_currentParent != kFatContinuationCluster && !folderHasDots ? m_currentParent
                                                                                   : parentCluster);
    node->SetId(cluster);
    // The entry's own sector places it on a candidate when it is looked at before the trees exist.
    node->SetRecordSector(m_sectorNumber);
    m_sectorNodes.push_back(std::move(node));
}

void CFatCompleteSearch::HandOutSectorNodes() {
    for (TreeNodePtr& node : m_sectorNodes) {
        if (!m_handOut || !m_builder) break;
        if (!node || node->GetFileProperties() == nullptr) continue;
        u32 error = 0;
        if (m_builder->AddFoundFileNode(node.get(), kTreeKindFat, &error) != 0) {
            node.release();
            continue;
        }
        // The provisional tree is gone or full: what follows would be refused too.
        ReleaseTrace("FAT entries found from sector %llu on are not shown while scanning: refused (0x%x)",
                     static_cast<unsigned long long>(m_sectorNumber), unsigned(error));
        m_handOut = false;
    }
    m_sectorNodes.clear();
}

u32 CFatCompleteSearch::ApplyToFileNode(CFileNode* node, CSearchedPartitionInfo* candidate) {
    if (m_looks.Ended() || node == nullptr || candidate == nullptr) return 1;
    IFileProperties* p = node->GetFileProperties();
    if (p == nullptr || p->GetFileSystemKind() != kPropertiesFat || (p->GetAttributes() & kAttrDirectory) != 0) {
        return 1;
    }
    const u64 clusterBytes = u64(candidate->GetSectorsPerCluster()) * candidate->GetSectorSize();
    const u64 size = p->GetSize();
    const u64 firstCluster = node->GetId();
    // Clusters 0 and 1 hold no data: an empty file names cluster 0.
    if (clusterBytes == 0 || size == 0 || firstCluster < kFirstCluster || firstCluster > kFatContinuationCluster) {
        return 1;
    }
    auto runs = std::make_unique<CFATDataRunList>();
    runs->AppendExtent(firstCluster - kFirstCluster, (size + clusterBytes - 1) / clusterBytes);
    static_cast<CFATFileProperties*>(p)->SetDataRunList(runs.release());
    return 1;
}

void CFatCompleteSearch::BookTypeHints(u64 sector, const u8* p) {
    char name[64];
    for (u32 at = 0; at + kFatDirEntrySize <= m_sectorSize; at += kFatDirEntrySize) {
        const CFATDirEntry entry(p + at);
        if (!entry.IsValid(false)) break;
        if (entry.IsLongNameEntry() || entry.IsDirectory() || entry.IsVolumeLabel()) continue;
        const u64 cluster = entry.GetFirstCluster();
        if (cluster < kFirstCluster) continue;
        if (m_hints.GetCount() >= kMaxTypeHints) {
            NoteTurnedAway(kCapHints, sector);
            continue;
        }
        entry.GetShortName(name, false);
        m_hints.AddFromAnsiName(name, u8(std::strlen(name)), cluster - kFirstCluster, sector);
    }
}

bool CFatCompleteSearch::SectorsMatch(u64 a, u64 b) {
    std::vector<u8> first;
    std::vector<u8> second;
    if (!ReadSector(a, first) || !ReadSector(b, second) || first != second) return false;
    // Empty sectors are alike anywhere: they tell nothing.
    return std::any_of(first.begin(), first.end(), [](u8 byte) { return byte != 0; });
}

bool CFatCompleteSearch::FatStartAt(u64 sector) {
    std::vector<u8> buffer;
    if (!ReadSector(sector, buffer)) return false;
    u32 code = kFsUnknown;
    return IsFATStartSector(buffer.data(), m_sectorSize, code);
}

const CFatCompleteSearch::CapInfo CFatCompleteSearch::kCaps[kCapCount] = {
    {"boot sectors kept", kMaxBootSightings},
    {"folder sectors kept", kMaxFolderStarts},
    {"folder sectors whose entries are shown while scanning", kMaxShownFolderSectors},
    {"FAT starts kept", kMaxFatStarts},
    {"FAT32 information sectors kept", kMaxFatStarts},
    {"file-type hints kept", kMaxTypeHints},
};

void CFatCompleteSearch::NoteTurnedAway(CapKind kind, u64 sector) {
    if (m_turnedAway[kind]++ == 0) {
        ReleaseTrace("FAT deep search: %s reached its cap of %zu at sector %llu", kCaps[kind].what, kCaps[kind].cap,
                     static_cast<unsigned long long>(sector));
    }
}

void CFatCompleteSearch::LogTurnedAway() const {
    for (size_t kind = 0; kind < kCapCount; ++kind) {
        if (m_turnedAway[kind] == 0) continue;
        ReleaseTrace("FAT deep search: %s: %llu past the cap of %zu turned away", kCaps[kind].what,
                     static_cast<unsigned long long>(m_turnedAway[kind]), kCaps[kind].cap);
    }
}

void CFatCompleteSearch::TraceSighting(TracedKind kind, u64 sector) {
    if (m_traced[kind]++ >= kMaxTracedSightings) return;
    static constexpr const char* kLines[kTracedCount] = {
        "Found a valid DBR at sector:%" PRId64,
        "Found a valid first dir entry at sector:%" PRId64,
        "Found a valid part dir entry at sector:%" PRId64,
    };
    ReleaseTrace(kLines[kind], static_cast<i64>(sector));
}

void CFatCompleteSearch::LogUntraced() const {
    u64 past[kTracedCount] = {};
    for (size_t kind = 0; kind < kTracedCount; ++kind) {
        past[kind] = m_traced[kind] > kMaxTracedSightings ? m_traced[kind] - kMaxTracedSightings : 0;
    }
    if (past[kTracedBoot] + past[kTracedFolderStart] + past[kTracedFolderPart] == 0) return;
    ReleaseTrace("FAT deep search: past the first %" PRIu64 " lines of each kind, %" PRIu64 " boot sectors, %" PRIu64
                 " first folder sectors and %" PRIu64 " later folder sectors found were not written to the log",
                 kMaxTracedSightings, past[kTracedBoot], past[kTracedFolderStart], past[kTracedFolderPart]);
}

void CFatCompleteSearch::EndSearch() {
    LogTurnedAway();
    LogUntraced();
    m_sectorNodes.clear();
    std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> candidates;
    if (m_device) {
        {
            // Sightings arrive in ascending order; loaded ones may not. A look from a paused
            // preview reads them meanwhile.
            const auto lk = m_looks.Hold();
            std::sort(m_boots.begin(), m_boots.end(), [](const auto& a, const auto& b) { return a.sector < b.sector; });
            std::sort(m_folders.begin(), m_folders.end(),
                      [](const auto& a, const auto& b) { return a.sector < b.sector; });
            std::sort(m_fatStarts.begin(), m_fatStarts.end());
            std::sort(m_infoSectors.begin(), m_infoSectors.end());
        }
        // Only this thread changes the sightings, so they are read here without the lock; the
        // device is read for the FAT copies, and a look meanwhile still gets the candidates of
        // the block loop.
        candidates = MakeFatCandidates(m_boots, m_folders, m_device->GetTotalSectors(), m_sectorSize,
                                       [this](u64 sector) { return FatStartAt(sector); }, m_copyUse);
        auto fromFolders = MakeFatDirectoryCandidates(m_folders, m_fatStarts, m_infoSectors, candidates,
                                                      m_device->GetTotalSectors(), m_sectorSize, m_copyUse,
                                                      [this](u64 a, u64 b) { return SectorsMatch(a, b); });
        for (auto& c : fromFolders) candidates.push_back(std::move(c));
        for (auto& c : candidates) {
            c->SetSearchController(this);
            if (m_pool != nullptr) CountTypeMatches(m_hints, *m_pool, *c, c->GetFirstDataSector());
        }
    }
    // The finished candidates replace the block loop's at once for every later look.
    const auto lk = m_looks.Hold();
    m_candidates = std::move(candidates);
    SeatGuests();
    m_looks.End();
}

void CFatCompleteSearch::GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) {
    // A preview and the thumbnail worker may look at once, from threads of their own, while the
    // scan thread adds sightings or ends the search.
    const auto lk = m_looks.Hold();
    if (m_looks.HandOutCopies(out, SightingCount(), [this] { return MakeProvisionalCandidates(); })) return;
    for (auto& c : m_candidates) {
        if (m_guestOf.count(c.get()) == 0) out.push_back(c.get());
    }
}

void CFatCompleteSearch::AddFolderSighting(const FatFolderStart& folder) {
    const auto lk = m_looks.Hold();
    m_folders.push_back(folder);
}

std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> CFatCompleteSearch::MakeProvisionalCandidates() {
    std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> made;
    if (!m_device) return made;
    // The loop is paused on its own thread: only what it has seen so far is looked at, and the
    // device is not read. Sightings arrive in sector order.
    const u64 deviceSectors = m_device->GetTotalSectors();
    made = MakeFatCandidates(
        m_boots, m_folders, deviceSectors, m_sectorSize,
        [this](u64 sector) { return std::binary_search(m_fatStarts.begin(), m_fatStarts.end(), sector); },
        m_copyUse);
    auto fromFolders =
        MakeFatDirectoryCandidates(m_folders, m_fatStarts, m_infoSectors, made, deviceSectors, m_sectorSize, m_copyUse);
    for (auto& c : fromFolders) made.push_back(std::move(c));
    for (auto& c : made) c->SetSearchController(this);
    return made;
}

void CFatCompleteSearch::SeatGuests() {
    m_guestOf.clear();
    for (const auto& guest : m_candidates) {
        if ((guest->GetFlags() & kFatBootFlags) != 0) continue;
        const u64 start = guest->GetPartitionStart();
        const u64 end = start + guest->GetTotalSectors();
        for (const auto& host : m_candidates) {
            if (host.get() == guest.get() || !IsCheckedBootVolume(*host)) continue;
            const u64 hostStart = host->GetPartitionStart();
            if (hostStart >= end || hostStart + host->GetTotalSectors() <= start) continue;
            // A volume that begins inside the other's data area is stored in it (a disk image
            // copied there), not formatted over it.
            if (hostStart > guest->GetFirstDataSector()) continue;
            m_guestOf.emplace(guest.get(), host.get());
            ReleaseTrace("FAT volume found from its folders, data area at sector %llu with %u-sector clusters, "
                         "overlaps the volume whose boot sector stands at sector %llu: it stands in that volume's "
                         "tree",
                         static_cast<unsigned long long>(guest->GetFirstDataSector()),
                         unsigned(guest->GetSectorsPerCluster()), static_cast<unsigned long long>(hostStart));
            break;
        }
    }
}

void CFatCompleteSearch::WeighGuests(const BuiltTree& host, const std::vector<BuiltTree>& guests, u64 hostStart) const {
    CClusterClaims claims;
    const auto add = [&](const FatVolumeClaim& claim, IFileProperties* file, const ClaimAge& age,
                         CClusterClaims::Owner owner, const BuiltTree& tree) {
        const CClusterClaims::ClaimId id = claims.Add(file, age, owner);
        if (claim.file == nullptr) {
            claims.AddSectors(id, claim.first, claim.count);
            return;
        }
        std::unique_ptr<IDataRunList> runs(claim.file->CreateDataRunList());
        if (runs) {
            claims.AddRuns(id, *runs, claim.file->GetSize(), tree.dataStart, tree.sectorsPerCluster, m_sectorSize);
        }
    };
    // Whatever the volume in use holds, live or deleted, and its boot sector, FATs and root
    // region, is newer than anything of a volume formatted before it: its claims take sectors
    // and are never weighed themselves.
    for (const FatVolumeClaim& claim : host.claims) {
        ClaimAge age = claim.age;
        age.generation += kHostGenerationStep;
        add(claim, nullptr, age, 0, host);
    }
    ClaimAge structures;
    structures.generation = kHostGenerationStep;
    structures.inUse = true;
    if (host.dataStart > hostStart) {
        claims.AddSectors(claims.Add(nullptr, structures), hostStart, host.dataStart - hostStart);
    }
    // A live file of the host that holds every folder a guest's walk read stores that volume (a
    // disk image copied there): its files are that file's content, as old as it is, not a volume
    // formatted over, where the folders would have been written over. Each guest's own walk
    // weighed its files against each other: one owner each.
    const auto stores = [&](const FatVolumeClaim& claim, const std::vector<u64>& sectors) {
        if (claim.file == nullptr || !claim.age.inUse || sectors.empty()) return false;
        std::unique_ptr<IDataRunList> runs(claim.file->CreateDataRunList());
        if (!runs) return false;
        return std::all_of(sectors.begin(), sectors.end(), [&](u64 sector) {
            for (size_t i = 0; i < runs->GetExtentCount(); ++i) {
                const DataRunExtent& e = runs->GetExtent(i);
                const u64 first = host.dataStart + u64(e.start) * host.sectorsPerCluster;
                if (e.start >= 0 && sector >= first && sector - first < e.length * host.sectorsPerCluster) return true;
            }
            return false;
        });
    };
    for (size_t g = 0; g < guests.size(); ++g) {
        const std::vector<u64>& folders = guests[g].folderSectors;
        if (std::any_of(host.claims.begin(), host.claims.end(), [&](const auto& c) { return stores(c, folders); })) {
            continue;
        }
        for (const FatVolumeClaim& claim : guests[g].claims) add(claim, claim.file, claim.age, g + 1, guests[g]);
    }
    claims.Weigh("FAT volume formatted over");
}

u32 CFatCompleteSearch::BuildFileSystemTrees(std::vector<CSearchedPartitionInfo*>& chosen) {
    if (chosen.empty() || !m_builder || !m_device) return 0;
    CFATSearchedPartitionInfo* c = FindOwnCandidate(m_candidates, chosen.front());
    if (!c) return 0;
    std::vector<CFATSearchedPartitionInfo*> seated;
    for (const auto& candidate : m_candidates) {
        const auto seat = m_guestOf.find(candidate.get());
        if (seat != m_guestOf.end() && seat->second == c) seated.push_back(candidate.get());
    }
    // A folder start where a guest's layout puts its cluster is the guest's, even where this
    // volume's layout could put it too: the sightings are the folders no walk of this volume
    // reaches, and read with its clusters their entries would name other bytes.
    const auto placesAt = [](const CFATSearchedPartitionInfo& v, const FatFolderStart& f) {
        const u64 spc = v.GetSectorsPerCluster();
        return f.cluster >= kFirstCluster && !f.IsContinuation() && f.sector >= v.GetFirstDataSector() &&
               f.sector - v.GetFirstDataSector() == u64(f.cluster - kFirstCluster) * spc;
    };
    const BuiltTree host = BuildTreeOf(*c, [&](const FatFolderStart& f) {
        return std::any_of(seated.begin(), seated.end(), [&](const auto* guest) { return placesAt(*guest, f); });
    });
    CFileSystemNode* root = host.root;
    if (root == nullptr) return 0;
    // The volumes formatted under this one stand in its tree, each read with its own layout; the
    // folders this volume's walk read are not theirs.
    const auto hostRead = [&](const FatFolderStart& f) {
        const auto after = std::upper_bound(host.folderSectors.begin(), host.folderSectors.end(), f.sector);
        return after != host.folderSectors.begin() && f.sector - *std::prev(after) < host.sectorsPerCluster;
    };
    std::vector<BuiltTree> guests;
    for (CFATSearchedPartitionInfo* guest : seated) {
        BuiltTree inner = BuildTreeOf(*guest, hostRead);
        if (inner.root == nullptr) continue;
        char name[kGuestNameBytes];
        std::snprintf(name, sizeof(name), "%s at sector %llu, %llu-byte clusters",
                      FileSystemTypeName(guest->GetFileSystemCode()),
                      static_cast<unsigned long long>(guest->GetPartitionStart()),
                      static_cast<unsigned long long>(u64(guest->GetSectorsPerCluster()) * m_sectorSize));
        if (IFileProperties* p = inner.root->GetFileProperties()) p->SetName(name);
        inner.root->SetParentId(root->GetId());
        root->AddChild(inner.root);
        guests.push_back(std::move(inner));
    }
    if (!guests.empty()) WeighGuests(host, guests, c->GetPartitionStart());
    // A refused tree is still wholly ours: its folders and files go with its root.
    if (m_builder->ApplyFilter(root, c) == 0) {
        DestroySubtree(root);
        return 0;
    }
    return 1;
}

CFatCompleteSearch::BuiltTree CFatCompleteSearch::BuildTreeOf(
    CFATSearchedPartitionInfo& candidate, const std::function<bool(const FatFolderStart&)>& leftOut) {
    BuiltTree built;
    CFATSearchedPartitionInfo* c = &candidate;
    const u64 start = c->GetPartitionStart();
    const u64 spc = c->GetSectorsPerCluster();
    CBasicPartitionDevice volume(m_device, start, c->GetTotalSectors());

    FatWalkOptions options;
    options.keepTree = true;
    const u64 dataStart = c->GetFirstDataSector();
    const u64 end = start + c->GetTotalSectors();
    const u32 flags = c->GetFlags();
    options.loadFat1 = (flags & kFatFlagFat1Usable) != 0;
    options.loadFat2 = (flags & kFatFlagFat2Usable) != 0;
    for (const FatFolderStart& f : m_folders) {
        if (f.sector < dataStart || f.sector >= end || spc == 0 || leftOut(f)) continue;
        const u64 offset = f.sector - dataStart;
        if (offset % spc != 0) continue;
        const u64 cluster = offset / spc + kFirstCluster;
        if (f.IsContinuation()) {
            if (cluster < kFatContinuationCluster) options.continuationClusters.push_back(u32(cluster));
        } else if (cluster == f.cluster) {
            options.folderStarts.push_back({f.cluster, f.parent});
        }
    }
    // A volume found on its own inside this one's data area may be stored in one of its files; the
    // walk tells, once it knows the files.
    for (const auto& other : m_candidates) {
        if (other.get() == c || !IsCheckedBootVolume(*other)) continue;
        const u64 otherStart = other->GetPartitionStart();
        const u64 otherEnd = otherStart + other->GetTotalSectors();
        // Only its start tells: stored in a fragmented file, it does not lie where its length says.
        if (otherStart >= dataStart && otherStart < end && otherEnd > otherStart) {
            options.foundVolumes.emplace_back(otherStart - start, otherEnd - start);
        }
    }

    // Without a boot sector of its own the volume is read through a stand-in made from the layout
    // its folders and FAT copies showed.
    std::unique_ptr<CBootOverlayDevice> standIn;
    IStorageDevice* walked = &volume;
    if ((c->GetFlags() & kFatBootFlags) == 0) {
        std::vector<u8> boot;
        MakeStandInBootSector(*c, m_sectorSize, boot);
        standIn = std::make_unique<CBootOverlayDevice>(&volume, std::move(boot));
        walked = standIn.get();
    }
    options.fatSizeGuessed = standIn != nullptr && (flags & (kFatFlagFat1Seen | kFatFlagFat2Seen)) == 0;
    CFATQuickSearch walk;
    walk.SetDirectoryTreeBuilder(m_builder);
    walk.SetWalkOptions(std::move(options));
    CGoOnProgress progress;
    const u32 result = walk.Search(walked, &progress);
    CFileSystemNode* root = walk.TakeTree();
    if (result != kFatQuickDone || !root) {
        ReleaseTrace("FAT tree of the volume at sector %llu not built: 0x%x", static_cast<unsigned long long>(start),
                     unsigned(result));
        DestroySubtree(root);
        return built;
    }
    if (walk.GetStoredVolumeCount() != 0) {
        ReleaseTrace("FAT tree of the volume at sector %llu: %llu folder sectors of %zu volumes stored in its files "
                     "left to those volumes",
                     static_cast<unsigned long long>(start),
                     static_cast<unsigned long long>(walk.GetSightingsLeftToStoredVolumes()),
                     walk.GetStoredVolumeCount());
    }
    // The walk placed the data area on the volume; the writer reads the device.
    root->SetPartitionGeometry(start + walk.GetRecord().GetFirstDataSector(), u32(spc));
    root->SetFileSystemType(c->GetFileSystemCode());

    std::vector<u8> sector(m_sectorSize, 0);
    for (u64 at : {u64(0), kBackupBootOffset}) {
        if (walked->Read(sector.data(), at, 1) == 0) continue;
        CFATDBR dbr(sector.data(), m_sectorSize);
        if (!dbr.IsValid()) continue;
        char label[12] = {};
        CFATVolumeReader reader(walked);
        if (reader.GetVolumeLabel(0, dbr, label)) root->SetVolumeLabel(label);
        break;
    }
    const u64 walkedData = start + walk.GetRecord().GetFirstDataSector();
    built.root = root;
    built.dataStart = walkedData;
    built.sectorsPerCluster = u32(spc);
    built.claims = walk.TakeClaims();
    // The structures' claims were made in the volume's sectors.
    for (FatVolumeClaim& claim : built.claims) {
        if (claim.file == nullptr) claim.first += start;
    }
    for (const u64 cluster : walk.GetWalkedFolderClusters()) {
        if (cluster >= kFirstCluster) built.folderSectors.push_back(walkedData + (cluster - kFirstCluster) * spc);
    }
    std::sort(built.folderSectors.begin(), built.folderSectors.end());
    return built;
}

u32 CFatCompleteSearch::SaveState(IRSData* stream) {
    if (!stream) return 0;
    // The records are capped far below 2^32 while the block loop runs.
    stream->WriteU32(u32(std::min<size_t>(m_folders.size(), kMaxFolderStarts)));
    for (size_t i = 0; i < m_folders.size() && i < kMaxFolderStarts; ++i) {
        const FatFolderStart& f = m_folders[i];
        stream->WriteU64(f.sector);
        stream->WriteU32(f.cluster);
        stream->WriteU32(f.parent);
    }
    return 1;
}

u32 CFatCompleteSearch::LoadState(IRSData* stream) {
    if (!stream) return 0;
    // The count comes from a file: it must fit the bytes that remain in the section before
    // anything is sized by it.
    const u32 count = stream->ReadU32();
    stream->CheckReadable(u64(count) * kFolderStartRecordBytes);
    std::vector<FatFolderStart> folders;
    folders.reserve(std::min<size_t>(count, kMaxFolderStarts));
    for (u32 i = 0; i < count; ++i) {
        FatFolderStart f;
        f.sector = stream->ReadU64();
        f.cluster = stream->ReadU32();
        f.parent = stream->ReadU32();
        if (folders.size() < kMaxFolderStarts) folders.push_back(f);
    }
    if (count > kMaxFolderStarts) {
        ReleaseTrace("FAT deep search: %llu saved folder sectors past its cap of %zu were not loaded",
                     static_cast<unsigned long long>(count - kMaxFolderStarts), kMaxFolderStarts);
    }
    // One record per sector, in sector order.
    std::sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) { return a.sector < b.sector; });
    folders.erase(std::unique(folders.begin(), folders.end(),
                              [](const auto& a, const auto& b) { return a.sector == b.sector; }),
                  folders.end());
    m_folders = std::move(folders);
    return 1;
}

ICompleteFileSystemSearchController* CreateFatCompleteSearch() { return new (std::nothrow) CFatCompleteSearch; }
