#pragma once
// The basic partitions of one disk: the MBR with its chain of extended boot records, the GPT entry
// array behind a protective MBR, or a file system that starts at sector 0 without any table. Each
// partition becomes a BasicPartitionRecord with a partition device and the file system that the
// volume analysers recognise in it. Nothing is ever written to the disk.
#include <memory>
#include <vector>

#include "devices/StorageDevice.h"
#include "devices/VolumeRecord.h"
#include "platform/Types.h"

struct BasicPartitionRecord {
    u64 firstSector = 0;            // absolute sector on the disk
    u64 sectorCount = 0;            // never 0 in a listed record
    char volumeLabel[kVolumeLabelSize] = {};
    char driveLetter = 0;           // filled by the volume collection; 0 on Linux
    u32 fileSystemCode = kFsUnknown;
    std::unique_ptr<IStorageDevice> device;  // a CBasicPartitionDevice over the disk
};
using BasicPartitionList = std::vector<std::unique_ptr<BasicPartitionRecord>>;

// MBR and EBR layout.
constexpr u32 kMbrTableOffset = 446;
constexpr u32 kMbrEntrySize = 16;
constexpr u32 kMbrEntryCount = 4;
constexpr u8 kMbrTypeExtendedChs = 0x05;
constexpr u8 kMbrTypeExtendedLba = 0x0F;
constexpr u8 kMbrTypeLdm = 0x42;
constexpr u8 kMbrTypeGptProtective = 0xEE;
// A file system this much shorter or longer than its MBR entry is listed with both lengths.
constexpr i64 kMbrLengthMismatchSectors = 32130;
// Extended boot records walked per disk at most; a chain longer than this is damaged.
constexpr u32 kMaxPartitionTables = 256;

// GPT entry array: always 128 entries of 128 bytes from LBA 2.
constexpr u64 kGptEntryArrayLba = 2;
constexpr u32 kGptEntryArraySectors = 32;
constexpr u32 kGptEntrySize = 128;
constexpr u32 kGptEntryCount = 128;

struct MbrPartitionEntry {
    u8 bootIndicator;
    u8 type;
    u32 firstSector;
    u32 sectorCount;
    bool allZero;
};
// Decodes entry `index` (0..3) of a table sector of at least 512 bytes.
MbrPartitionEntry ReadMbrEntry(const u8* sector, u32 index);

struct GptTypeRow {
    u16 id;
    const char* name;
    const char* guidText;  // 36 upper-case characters
};
constexpr u32 kGptTypeCount = 52;
// The published GPT partition types, ids 1 to 52 in row order.
const GptTypeRow* GptPartitionTypeTable();
// The row whose GUID text equals guidText (first match), or null.
const GptTypeRow* FindGptType(const char* guidText);
// "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X" of a GUID; out holds 37 bytes.
char* FormatGuidText(const MGUID& guid, char out[37]);
MGUID ReadGuid(const u8* p);

class CPartitionTableAnalyze {
public:
    // Appends the disk's partitions to out and returns the number of records in out afterwards;
    // returns 0 without reading further when the MBR holds an LDM entry (a dynamic disk).
    static u32 AnalyseDisk(IStorageDevice* disk, BasicPartitionList& out);

    static bool HasLdmPartition(IStorageDevice* disk);
    static bool IsProtectiveMbr(IStorageDevice* disk);
    static void AnalyseGptDisk(IStorageDevice* disk, BasicPartitionList& out);
    static void AnalyseMbrDisk(IStorageDevice* disk, BasicPartitionList& out);
};

// Shared code tables of the volume code.
u32 MbrTypeToFileSystemCode(u32 typeByte);
// Copies the name (at most 9 bytes with the NUL) into out and returns out.
char* FileSystemCodeName(u32 fsCode, char* out);
// 2 "SIMPLE", 3 "MIRROR", 4 "SPANNED", 5 "STRIPPED", 6 "RAID5", else "UNKNOWN".
char* VolumeTypeName(u32 volumeType, char* out);
// The file system whose boot sector this is: the FAT reader's code when it is not 9, else 3 for a
// valid NTFS boot sector, else 9 (classifiers come from VolumeAnalyzerSet's registration).
u32 BootSectorFileSystemCode(const u8* sector, u32 sectorSize);
