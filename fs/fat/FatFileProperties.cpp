#include "fs/fat/FatFileProperties.h"

#include <new>

#include "engine/RSData.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatTable.h"
#include "platform/Log.h"
#include "platform/Time.h"

namespace {
FILETIME64 DosToFileTime(u16 date, u16 time) {
    u64 value = 0;
    return DosDateTimeToFileTime(date, time, value) ? value : 0;
}
}  // namespace

void CFATFileProperties::SetCreationDateTime(u16 date, u16 time) { m_creationTime = DosToFileTime(date, time); }
void CFATFileProperties::SetModificationDateTime(u16 date, u16 time) { m_modificationTime = DosToFileTime(date, time); }
void CFATFileProperties::SetAccessDate(u16 date) { m_accessTime = DosToFileTime(date, 0); }

void CFATFileProperties::SetDataRunList(IDataRunList* runs) {
    if (runs == nullptr) return;
    ReplaceRuns(runs);
    delete runs;
}

void CFATFileProperties::Save(IRSData* stream) const {
    SaveHead(stream);
    stream->WriteU32(m_firstCluster);
    stream->WriteU32(m_parentCluster);
    SaveRuns(stream);
}

void CFATFileProperties::Load(IRSData* stream) {
    LoadHead(stream, SavedName::UpToFirstZero);
    m_firstCluster = stream->ReadU32();
    m_parentCluster = stream->ReadU32();
    LoadRuns(stream);
}

CFATFileProperties* NewFATFileProperties() { return new (std::nothrow) CFATFileProperties; }

PropertiesRef<CFATFileProperties> CreateFATFilePropertiesFromEntry(const char* name, const u8* entry) {
    if (name == nullptr || entry == nullptr) return {};
    PropertiesRef<CFATFileProperties> p(NewFATFileProperties());
    if (!p) return {};
    p->SetName(name);
    p->SetSize(ReadLE32(entry + 28));
    p->SetAttributes(entry[11]);
    p->SetCreationDateTime(ReadLE16(entry + 16), ReadLE16(entry + 14));
    p->SetModificationDateTime(ReadLE16(entry + 24), ReadLE16(entry + 22));
    p->SetAccessDate(ReadLE16(entry + 18));
    p->SetState(entry[0] == kFatDeletedMark ? 1 : 0);
    return p;
}

CFATFileProperties* LoadFATFileProperties(IRSData* stream) {
    return LoadNewFileProperties(PropertiesRef<CFATFileProperties>(NewFATFileProperties()), stream);
}

void SetFolderPropertiesName(CFATFileProperties* properties, const char* name) {
    if (properties == nullptr) return;
    properties->SetName(name != nullptr ? name : "");
    properties->SetAttributes(u16(properties->GetAttributes() | kAttrDirectory));
}

IFileProperties* CreateFATFolderProperties(u32 /*fsCode*/, const char* name) {
    CFATFileProperties* p = NewFATFileProperties();
    if (p == nullptr) return nullptr;
    SetFolderPropertiesName(p, name);
    p->SetFirstCluster(0);
    p->SetParentCluster(0xFFFFFFFFu);
    return p;
}

void AppendExtentMerged(IDataRunList* list, const DataRunExtent& extent) {
    if (list == nullptr) return;
    DataRunExtent* last = list->GetLastExtent();
    if (last != nullptr && last->start >= 0 && last->start + i64(last->length) == extent.start) {
        last->length += extent.length;
        return;
    }
    list->AddExtent(extent);
}

namespace {
// Sectors from cluster 2 to the end of the volume: no run may reach beyond them.
u64 DataAreaSectors(const FatVolumeGeometry& volume) {
    return volume.totalSectors > volume.dataStart ? volume.totalSectors - volume.dataStart : 0;
}

u64 VolumeClusterLimit(const FatVolumeGeometry& volume) { return DataAreaSectors(volume) / volume.sectorsPerCluster; }

// Clusters of a deleted file's guessed run that the device holds: consecutive clusters from its
// first one are a guess, and where the device ends first (an image cut short) nothing tells that
// what follows is the file's, so the run stops there and the file stays short. A run that begins
// past the end keeps its first cluster: the file is the volume's, and its reader finds nothing.
u64 ReadableClusterLimit(const FatVolumeGeometry& volume, u64 firstCluster) {
    const u64 limit = VolumeClusterLimit(volume);
    if (volume.deviceSectors == 0 || volume.deviceSectors >= volume.totalSectors) return limit;
    const u64 held = volume.deviceSectors > volume.dataStart
                         ? (volume.deviceSectors - volume.dataStart) / volume.sectorsPerCluster
                         : 0;
    return std::min(limit, std::max(held, firstCluster - 1));
}

bool Overflows(const FatVolumeGeometry& volume, const DataRunExtent& extent) {
    return (u64(extent.start) + extent.length) * volume.sectorsPerCluster > DataAreaSectors(volume);
}

CFATDataRunList* Overflowed(CFATDataRunList* list) {
    ReleaseTrace("File overflows partition!");
    delete list;
    return nullptr;
}
}  // namespace

CFATDataRunList* BuildFATRuns(const FatVolumeGeometry& volume, u32 firstCluster, u64 size, bool deleted) {
    // A first cluster of 0 or 1 names no data (an empty file, or a damaged entry): no runs, rather
    // than extents before the data area.
    if (firstCluster < 2 || size == 0 || volume.sectorsPerCluster == 0 || volume.sectorSize == 0) return nullptr;
    const u64 clusterBytes = u64(volume.sectorsPerCluster) * volume.sectorSize;
    const u64 clusterLimit = VolumeClusterLimit(volume);
    auto* list = new CFATDataRunList;

    const u64 guessLimit = ReadableClusterLimit(volume, firstCluster);
    if (volume.fat == nullptr) {
        DataRunExtent extent{i64(firstCluster) - 2, (size + clusterBytes - 1) / clusterBytes};
        if (Overflows(volume, extent)) return Overflowed(list);
        if (u64(extent.start) + extent.length > guessLimit) extent.length = guessLimit - u64(extent.start);
        AppendExtentMerged(list, extent);
        return list;
    }

    if (deleted) {
        u64 covered = 0;
        for (u64 cluster = firstCluster; covered < size; ++cluster) {
            if (cluster - 2 >= guessLimit) break;
            if (cluster <= 0xFFFFFFFFu && volume.fat->GetEntry(u32(cluster)) == kFatBadCluster) continue;
            AppendExtentMerged(list, {i64(cluster) - 2, 1});
            covered += clusterBytes;
        }
        if (list->GetExtentCount() == 0) {
            delete list;
            return nullptr;
        }
        return list;
    }

    DataRunExtent extent{i64(firstCluster) - 2, 1};
    u64 covered = 0;
    u32 current = firstCluster;
    // A plausible FAT has no loops, but the walk is bounded by the volume's clusters all the same.
    for (u64 steps = 0;; ++steps) {
        u32 next = volume.fat->GetEntry(current);
        // The chain ends at free, bad and end marks and at a cluster outside the volume.
        const bool end = !IsFatNextCluster(next) || u64(next) - 2 >= clusterLimit || steps > clusterLimit;
        if (end) {
            const u64 remaining = size > covered ? size - covered : 0;
            extent.length = (remaining + clusterBytes - 1) / clusterBytes;
            if (extent.length == 0) break;
            if (Overflows(volume, extent)) return Overflowed(list);
            AppendExtentMerged(list, extent);
            break;
        }
        if (next != current + 1) {
            if (Overflows(volume, extent)) return Overflowed(list);
            AppendExtentMerged(list, extent);
            covered += extent.length * clusterBytes;
            if (covered >= size) break;
            extent = {i64(next) - 2, 1};
        } else {
            ++extent.length;
        }
        current = next;
    }
    if (list->GetExtentCount() == 0) {
        delete list;
        return nullptr;
    }
    return list;
}
