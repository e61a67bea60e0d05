#pragma once
// The database of a dynamic disk group: the PRIVHEAD sector that locates it, and its area of
// 128-byte VBLK records (volumes, components, partitions and disks, a record split over several
// fragments when it is long). Every disk of a group holds the database of the whole group. All
// of it is read from disk and checked before use: fragments are joined only up to the length
// their count allows, every field is read within its record, and records are linked by index so
// that repeated ids cannot make a chain loop.
#include <memory>
#include <string>
#include <vector>

#include "devices/DynamicVolumeDevice.h"
#include "platform/Types.h"

class CDiskDevice;
class IStorageDevice;

constexpr u32 kPrivHeadSize = 512;
constexpr u32 kVblkSize = 128;
constexpr u32 kVblkHeaderSize = 24;     // up to the record data of a first fragment
constexpr u32 kVblkFirstData = 104;     // record data in the first fragment
constexpr u32 kVblkFragmentData = 112;  // record data in each continuation fragment
constexpr u32 kLdmDatabaseMaxSectors = 2048;
constexpr u32 kGptMaxEntries = 128;

// Record types.
constexpr u8 kVblkComponent = 0x32;
constexpr u8 kVblkPartition = 0x33;
constexpr u8 kVblkDisk = 0x34;
constexpr u8 kVblkDiskGuid = 0x44;
constexpr u8 kVblkVolume = 0x51;
// Volume kinds and component layouts.
constexpr u8 kLdmVolumeGeneric = 3;
constexpr u8 kLdmVolumeRaid5 = 4;
constexpr u8 kLdmLayoutStriped = 1;
constexpr u8 kLdmLayoutConcatenated = 2;
constexpr u8 kLdmLayoutRaid5 = 3;
// Flags values that add optional fields.
constexpr u8 kVblkFlagDriveHint = 0x02;
constexpr u8 kVblkFlagStripe = 0x10;
constexpr u8 kVblkFlagColumn = 0x08;
constexpr u8 kVblkFlagColumnAlt = 0x48;

struct PrivHead {
    bool valid = false;
    std::string diskGuid;       // text
    std::string diskGroupName;  // at most 32 characters
    u64 logicalDiskStart = 0;
    u64 configStart = 0;
};

struct LdmDiskRecord {
    u64 id = 0;
    std::string name;
    std::string guid;  // text, at most 64 characters
};

struct LdmPartitionRecord {
    u64 id = 0;
    std::string name;
    u64 start = 0;   // on the disk, relative to its logical disk start
    u64 volumeOffset = 0;
    u64 size = 0;
    u64 componentId = 0;
    u64 diskId = 0;
    u64 column = 0;
    i32 disk = -1;  // index in the disk list, -1 without one
};

struct LdmComponentRecord {
    u64 id = 0;
    std::string name;
    u8 layout = 0;
    u64 childCount = 0;
    u64 volumeId = 0;
    std::vector<size_t> partitions;  // indexes, in chain order
};

struct LdmVolumeRecord {
    u64 id = 0;
    std::string name;
    u8 kind = 0;
    u64 componentCount = 0;
    u64 size = 0;
    u8 partitionType = 0;
    u8 guid[16] = {};
    std::string driveHint;
    std::vector<size_t> components;  // indexes, in chain order
};

struct LdmDatabase {
    std::vector<LdmVolumeRecord> volumes;
    std::vector<LdmComponentRecord> components;
    std::vector<LdmPartitionRecord> partitions;
    std::vector<LdmDiskRecord> disks;
};

bool ReadPrivHead(IStorageDevice* disk, PrivHead& out);
// A PRIVHEAD sector as read (512 bytes); false without the magic.
bool ParsePrivHead(const u8* sector, PrivHead& out);
// The joined records of a database area: each the first fragment's 128 bytes and the data of its
// continuations, L + 24 bytes. Records whose fragments are missing, out of order or whose length
// their fragments cannot hold are left out.
std::vector<std::vector<u8>> ParseVblkRecords(const u8* area, size_t size);
// The records of the four kinds, sizes converted to the disk's sectors, linked.
LdmDatabase BuildDatabase(const std::vector<std::vector<u8>>& records, u32 sectorSize);
bool IsVolumeComplete(const LdmDatabase& db, const LdmVolumeRecord& volume);

// One listed dynamic volume.
struct DynamicVolumeRecord {
    std::unique_ptr<IDynamicDevice> device;
    u64 totalSectors = 0;
    char typeName[40] = {};
    u32 fsCode = 9;
    char label[100] = {};
    char driveLetter = 0;
};

class LdmDatabaseReader {
public:
    void CollectVolumes(const std::vector<CDiskDevice*>& disks, std::vector<DynamicVolumeRecord>& out);

    // The disk being read, null between calls; and the disks of the collection.
    CDiskDevice* CurrentDisk() const { return m_current; }
    const std::vector<CDiskDevice*>& Disks() const { return m_disks; }
    // The first dynamic disk whose PRIVHEAD names this disk GUID text.
    CDiskDevice* FindDiskDevice(const std::string& guid, PrivHead* privhead) const;

private:
    void ReadDiskDatabase(CDiskDevice* disk, std::vector<DynamicVolumeRecord>& out);

    CDiskDevice* m_current = nullptr;
    std::vector<CDiskDevice*> m_disks;
};

// Turns the complete volumes of one disk's database into devices and records, leaving out those
// already in `out` (met on another disk of the group). Defined with the volume building.
void MakeVolumes(LdmDatabaseReader& reader, const LdmDatabase& db, std::vector<DynamicVolumeRecord>& out);
