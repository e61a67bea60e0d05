// The dynamic volumes of the disks: each complete volume of the LDM databases becomes a device
// over its members and joins the volume collection once, however many disks of its group hold
// the database.
#include <algorithm>
#include <cstring>

#include "devices/DiskDevice.h"
#include "devices/LdmDatabase.h"
#include "devices/PartitionTable.h"
#include "devices/Volume.h"
#include "devices/VolumeAnalyzerSet.h"
#include "devices/VolumeEnumerator.h"
#include "platform/Text.h"

namespace {

constexpr u32 kDefaultSectorSize = 512;

std::vector<DynamicExtent> BuildExtents(const LdmDatabaseReader& reader, const LdmDatabase& db,
                                        const LdmComponentRecord& component) {
    std::vector<DynamicExtent> out;
    CDiskDevice* current = reader.CurrentDisk();
    const u32 ss = current && current->GetSectorSize() ? current->GetSectorSize() : kDefaultSectorSize;
    for (size_t i = 0; i < component.partitions.size() && i < component.childCount; ++i) {
        const LdmPartitionRecord& p = db.partitions[component.partitions[i]];
        DynamicExtent e;
        e.column = static_cast<u32>(p.column);
        CopyUtf8Bounded(e.diskGuid, sizeof e.diskGuid, db.disks[static_cast<size_t>(p.disk)].guid.c_str());
        e.offsetInVolume = static_cast<u64>(static_cast<unsigned __int128>(p.volumeOffset) * 512 / ss);
        e.length = p.size;
        PrivHead head;
        if (CDiskDevice* disk = reader.FindDiskDevice(e.diskGuid, &head)) {
            e.disk = disk;
            e.diskStart = p.start + head.logicalDiskStart;
        }
        out.push_back(e);
    }
    std::stable_sort(out.begin(), out.end(), [](const DynamicExtent& a, const DynamicExtent& b) {
        return a.offsetInVolume != b.offsetInVolume ? a.offsetInVolume < b.offsetInVolume : a.column < b.column;
    });
    return out;
}

// The first sector of the volume as its lowest member holds it; false without that member.
bool ReadVolumeFirstSector(const std::vector<DynamicExtent>& extents, std::vector<u8>& sector, u32& sectorSize) {
    if (extents.empty() || extents[0].disk == nullptr) return false;
    sectorSize = extents[0].disk->GetSectorSize();
    if (sectorSize == 0) return false;
    sector.assign(sectorSize, 0);
    return extents[0].disk->Read(sector.data(), extents[0].diskStart, 1) != 0;
}

void ComputeVolumeSize(u32 type, u8 partitionType, LdmVolumeInfo& info, const std::vector<DynamicExtent>& extents) {
    info.fsCode = MbrTypeToFileSystemCode(partitionType);
    std::vector<u8> sector;
    u32 ss = 0;
    if (ReadVolumeFirstSector(extents, sector, ss)) {
        const u32 code = BootSectorFileSystemCode(sector.data(), ss);
        if (code != kFsUnknown) info.fsCode = code;
    }
    const bool allPresent = std::all_of(extents.begin(), extents.end(), [](const DynamicExtent& e) {
        return e.disk != nullptr && e.disk->GetTotalSectors() >= e.length;
    });
    if (allPresent && !extents.empty()) {
        u64 sum = 0;
        for (const DynamicExtent& e : extents) sum += e.length;
        const u64 n = extents.size();
        info.totalSectors = type == kDynamicRaid5 ? sum / n * (n - 1) + sum % n * (n - 1) / n : sum;
        return;
    }
    // A member is missing: the file system's own length, when its boot sector can be read.
    if (extents.empty() || extents[0].disk == nullptr) return;
    VolumeAnalyzerSet set(extents[0].disk, extents[0].diskStart);
    IVolume* recognized = set.GetRecognized();
    if (recognized == nullptr || recognized->GetFileSystemType() == kFsUnknown) return;
    const u64 total = recognized->GetTotalSectors();
    if (total == 0) return;
    info.totalSectors = recognized->GetFileSystemType() == kFsNtfs ? total + 1 : total;
}

std::unique_ptr<IDynamicDevice> CreateComponentDevice(const LdmComponentRecord& component, const LdmVolumeInfo& info,
                                                      const std::vector<DynamicExtent>& extents) {
    if (component.layout == kLdmLayoutStriped) return CreateStripedVolumeDevice(kDynamicMirror, info, extents);
    if (component.layout != kLdmLayoutConcatenated) return nullptr;
    return component.childCount >= 2 ? CreateSpannedVolumeDevice(kDynamicMirror, info, extents)
                                     : CreateSimpleVolumeDevice(kDynamicMirror, info, extents);
}

std::unique_ptr<IDynamicDevice> CreateVolumeDevice(const LdmDatabase& db, const LdmVolumeRecord& v, LdmVolumeInfo& info,
                                                   const std::vector<DynamicExtent>& a,
                                                   const std::vector<DynamicExtent>& b) {
    const LdmComponentRecord& first = db.components[v.components[0]];
    u32 type = 0;
    if (v.kind == kLdmVolumeRaid5) {
        type = kDynamicRaid5;
    } else if (v.kind != kLdmVolumeGeneric) {
        return nullptr;
    } else if (v.components.size() >= 2) {
        type = kDynamicMirror;
    } else if (first.layout == kLdmLayoutStriped) {
        type = kDynamicStriped;
    } else if (first.layout == kLdmLayoutConcatenated) {
        type = first.childCount >= 2 ? kDynamicSpanned : kDynamicSimple;
    } else if (first.layout == kLdmLayoutRaid5) {
        type = kDynamicRaid5;
    } else {
        return nullptr;
    }
    ComputeVolumeSize(type, v.partitionType, info, a);
    switch (type) {
        case kDynamicMirror:
            return CreateMirrorVolumeDevice(type, info, CreateComponentDevice(first, info, a),
                                            CreateComponentDevice(db.components[v.components[1]], info, b));
        case kDynamicStriped: return CreateStripedVolumeDevice(type, info, a);
        case kDynamicSpanned: return CreateSpannedVolumeDevice(type, info, a);
        case kDynamicSimple: return CreateSimpleVolumeDevice(type, info, a);
        default: return CreateRaid5VolumeDevice(type, info, a);
    }
}

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

void AddVolumeIfNew(std::unique_ptr<IDynamicDevice> device, const std::string& driveHint,
                    std::vector<DynamicVolumeRecord>& out) {
    for (const DynamicVolumeRecord& r : out) {
        if (r.device.get() == device.get() || device->IsSameVolume(r.device.get())) return;
    }
    DynamicVolumeRecord r;
    r.totalSectors = device->GetTotalSectors();
    // Linux maps no dynamic volume to a drive letter; the letter Windows last gave the volume,
    // kept in its record as a hint, names it instead. The hint comes from the disk: only a
    // letter is taken, so no other byte reaches the names shown and logged.
    r.driveLetter = device->GetDriveLetter();
    if (r.driveLetter == 0 && !driveHint.empty() && IsAsciiLetter(driveHint.front())) r.driveLetter = driveHint.front();
    r.fsCode = device->GetLdmVolumeValue();
    {
        VolumeAnalyzerSet set(device.get(), 0);
        IVolume* recognized = set.GetRecognized();
        r.fsCode = recognized ? recognized->GetFileSystemType() : kFsUnknown;
        if (recognized && r.fsCode != kFsUnknown) recognized->GetVolumeLabel(r.label, sizeof r.label - 1);
    }
    VolumeTypeName(device->GetVolumeType(), r.typeName);
    r.device = std::move(device);
    out.push_back(std::move(r));
}

}  // namespace

void MakeVolumes(LdmDatabaseReader& reader, const LdmDatabase& db, std::vector<DynamicVolumeRecord>& out) {
    std::string groupName;
    PrivHead head;
    if (reader.CurrentDisk() && ReadPrivHead(reader.CurrentDisk(), head)) groupName = head.diskGroupName;
    for (const LdmVolumeRecord& v : db.volumes) {
        if (!IsVolumeComplete(db, v)) continue;
        LdmVolumeInfo info;
        info.fsCode = v.partitionType;
        info.totalSectors = v.size;
        CopyUtf8Bounded(info.volumeName, sizeof info.volumeName, v.name.c_str());
        CopyUtf8Bounded(info.diskGroupName, sizeof info.diskGroupName, groupName.c_str());
        const std::vector<DynamicExtent> a = BuildExtents(reader, db, db.components[v.components[0]]);
        const std::vector<DynamicExtent> b =
            v.components.size() >= 2 ? BuildExtents(reader, db, db.components[v.components[1]])
                                     : std::vector<DynamicExtent>();
        std::unique_ptr<IDynamicDevice> device = CreateVolumeDevice(db, v, info, a, b);
        if (device) AddVolumeIfNew(std::move(device), v.driveHint, out);
    }
}

void CollectDynamicVolumes(const std::vector<CDiskDevice*>& disks, std::vector<CollectedDynamicVolume>& out) {
    LdmDatabaseReader reader;
    std::vector<DynamicVolumeRecord> volumes;
    reader.CollectVolumes(disks, volumes);
    for (DynamicVolumeRecord& v : volumes) {
        CollectedDynamicVolume c;
        c.fsCode = v.fsCode;
        c.driveLetter = v.driveLetter;
        std::memcpy(c.label, v.label, sizeof c.label);
        std::memcpy(c.typeName, v.typeName, sizeof c.typeName);
        c.totalSectors = v.totalSectors;
        std::vector<const DynamicExtent*> extents;
        v.device->GetExtents(extents);
        for (const DynamicExtent* e : extents) {
            // The disks of the members are the enumeration's own disks.
            if (auto* disk = dynamic_cast<CDiskDevice*>(e->disk)) c.members.push_back({e->diskStart, e->length, disk});
        }
        c.device = std::move(v.device);
        out.push_back(std::move(c));
    }
}
