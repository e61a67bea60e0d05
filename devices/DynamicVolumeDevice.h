#pragma once
// Volumes of a dynamic disk group as devices: a simple, spanned, striped, RAID-5 or mirrored
// volume spread over member partitions of one or more disks, addressed from sector 0 to its last
// sector like any partition. Members whose disk is absent are tolerated as far as the layout
// allows: striped and spanned members read as zeros, a RAID-5 member is rebuilt from parity, a
// mirror reads from whichever member answers. The same holds sector by sector for what a present
// member's disk cannot give (a bad area): a RAID-5 column rebuilds it, a mirror takes it from its
// other half, and what no member can give is reported unread (HasUnreadSectors). A volume's
// sectors are the size its present members share; one whose members disagree is not made.
#include <memory>
#include <vector>

#include "devices/StorageDevice.h"
#include "platform/Types.h"


// Volume type codes (named by VolumeTypeName).
constexpr u32 kDynamicSimple = 2;
constexpr u32 kDynamicMirror = 3;
constexpr u32 kDynamicSpanned = 4;
constexpr u32 kDynamicStriped = 5;
constexpr u32 kDynamicRaid5 = 6;

constexpr u32 kDiskGuidTextSize = 65;
constexpr u32 kDiskGroupNameSize = 32;
constexpr u32 kLdmVolumeNameSize = 128;
// Bytes of one stripe, whatever the database says.
constexpr u32 kStripeBytes = 65536;
constexpr u32 kMirrorChunkSectors = 63;

// One member of a volume.
struct DynamicExtent {
    u32 column = 0;                           // striped and RAID-5 order
    char diskGuid[kDiskGuidTextSize] = {};    // the member's disk as text
    u64 diskStart = 0;                        // absolute first sector on the disk (0 when absent)
    u64 offsetInVolume = 0;                   // first volume sector the member holds
    u64 length = 0;                           // sectors
    IStorageDevice* disk = nullptr;           // null when absent; not owned
};

struct LdmVolumeInfo {
    char diskGroupName[kDiskGroupNameSize] = {};
    char volumeName[kLdmVolumeNameSize] = {};
    u32 fsCode = 9;
    u64 totalSectors = 0;
};

class IDynamicDevice : public IStorageDevice {
public:
    virtual bool IsSameVolume(IDynamicDevice* other) = 0;
    virtual u32 GetVolumeType() = 0;
    virtual u32 GetLdmVolumeValue() = 0;
    virtual void GetExtents(std::vector<const DynamicExtent*>& out) = 0;
    // Linux maps no dynamic volume to a letter: 0.
    virtual char GetDriveLetter() = 0;
};

// Each returns null when it refuses (see the .cpp for the conditions).
std::unique_ptr<IDynamicDevice> CreateSimpleVolumeDevice(u32 type, const LdmVolumeInfo& info,
                                                         const std::vector<DynamicExtent>& extents);
std::unique_ptr<IDynamicDevice> CreateSpannedVolumeDevice(u32 type, const LdmVolumeInfo& info,
                                                          const std::vector<DynamicExtent>& extents);
std::unique_ptr<IDynamicDevice> CreateStripedVolumeDevice(u32 type, const LdmVolumeInfo& info,
                                                          const std::vector<DynamicExtent>& extents);
std::unique_ptr<IDynamicDevice> CreateRaid5VolumeDevice(u32 type, const LdmVolumeInfo& info,
                                                        const std::vector<DynamicExtent>& extents);
std::unique_ptr<IDynamicDevice> CreateMirrorVolumeDevice(u32 type, const LdmVolumeInfo& info,
                                                         std::unique_ptr<IDynamicDevice> a,
                                                         std::unique_ptr<IDynamicDevice> b);

// Length, disk start, offset, disk and disk text equal; the column is not compared.
bool ExtentsEqual(const DynamicExtent& a, const DynamicExtent& b);
