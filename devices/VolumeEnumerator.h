#pragma once
// The background enumeration of disks, partitions, volumes, unpartitioned areas and mounted
// volumes, and the size and free-space texts of the place page. A Linux volume has no drive
// letter: records carry the letter 0, and where the program shows or keys by a letter the volume's
// mount point stands in its place.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devices/DiskDevice.h"
#include "devices/VolumeRecord.h"
#include "platform/ScanThreads.h"
#include "platform/Types.h"

// Gaps between partitions larger than this (in sectors) are listed as unpartitioned areas.
constexpr u64 kUnpartitionedGapSectors = 0x32000;
constexpr i32 kMaxEnumeratedDisks = 32;
// Statistics codes of the disk and partition size texts.
constexpr u32 kStatsCodeDiskSizes = 0x2005;
constexpr u32 kStatsCodePartitionSizes = 0x2004;
// One disk of the statistics library's disk table: UTF-16 product[260], u64 total sectors,
// u32 bytes per sector, u32 bus type.
constexpr u32 kStatsDiskEntrySize = 536;

struct MountedVolumeInfo {
    u32 diskNumber = 0;
    u64 firstSector = 0;
    u64 sectorCount = 0;
    u64 freeBytesToCaller = 0;
    u64 totalBytes = 0;
    u64 totalFreeBytes = 0;
    u32 sectorSize = 512;
    u32 flag = 1;
    std::string path;  // the mount point
    std::string name;  // the mounted device ("/dev/sdb1")
    u32 fsCode = kFsUnknown;
};

// FsCode of a mounted file system's type name: NTFS 3, FAT32 2, FAT 1, anything else 9.
u32 MountedFileSystemCode(const std::string& fsType);

// Records whose devices the list may own (collected volumes) or not (unpartitioned areas, whose
// devices live in a list of their own).
class VolumeRecordList {
public:
    explicit VolumeRecordList(bool ownsDevices) : m_ownsDevices(ownsDevices) {}
    ~VolumeRecordList() { Clear(); }
    VolumeRecordList(const VolumeRecordList&) = delete;
    VolumeRecordList& operator=(const VolumeRecordList&) = delete;

    void Add(std::unique_ptr<VolumeRecord> record);
    void Clear();
    size_t Size() const { return m_records.size(); }
    VolumeRecord* At(size_t i) const { return m_records[i]; }
    const std::vector<VolumeRecord*>& Records() const { return m_records; }
    std::vector<VolumeRecord*>& MutableRecords() { return m_records; }

private:
    bool m_ownsDevices;
    std::vector<VolumeRecord*> m_records;
};

// One dynamic volume as the LDM reader hands it to the collection (see VolumeDynamic.cpp).
struct CollectedDynamicVolume {
    std::unique_ptr<IStorageDevice> device;
    u32 fsCode = kFsUnknown;
    char driveLetter = 0;
    char label[kVolumeLabelSize] = {};
    char typeName[40] = {};
    u64 totalSectors = 0;
    std::vector<VolumeExtent> members;  // each member's first sector, sector count and disk
};
// The dynamic volumes on the disks (none until the LDM reader is built in).
void CollectDynamicVolumes(const std::vector<CDiskDevice*>& disks, std::vector<CollectedDynamicVolume>& out);

class CCollectAllBasicPartitionandDynamicVolume {
public:
    // Basic partitions, then dynamic volumes, then sorted by drive letter (letterless last).
    static void CollectAllBasicPartitionandDynamicVolume(const std::vector<CDiskDevice*>& disks,
                                                         VolumeRecordList& out);
    static void CollectBasicVolumes(const std::vector<CDiskDevice*>& disks, VolumeRecordList& out);
    static void CollectDynamicVolumeRecords(const std::vector<CDiskDevice*>& disks, VolumeRecordList& out);
    // Stable sort by letter; the letterless records, which sort first, then move to the end in
    // the order collected.
    static void SortByDriveLetter(std::vector<VolumeRecord*>& records);
};

// The disk text of a description: "vendor  product  bus" or "product  bus", at most 49 characters.
std::string MakeDiskText(const DiskDescription& d);

struct UnpartitionedGap {
    u64 firstSector;
    u64 sectorCount;
};
// Gaps of more than 0x32000 sectors among the extents (first, count) of a disk of `totalSectors`:
// before the first, between them and after the last. Overlapping extents leave no gap.
std::vector<UnpartitionedGap> FindUnpartitionedGaps(std::vector<VolumeExtent> extents, u64 totalSectors);

// Opens disks 0 to 31, logs the disk table, hands the figures to the statistics library and keeps
// the disks that opened.
void LogDiskTable(std::vector<std::unique_ptr<CDiskDevice>>& out);

// Drive letters of a disk's basic partitions. Linux has none: the letters stay 0.
void GetPartitionDriveLetters(CDiskDevice* disk, std::vector<VolumeRecord*>& partitions);
char GetDynamicVolumeDriveLetter(const char* volumeName, const char* diskGroupName);
char GetVolumeGuidPathLetter(const u8 volumeGuid[16]);

// The mounted volumes that lie on disks of the disk table (with MORVENDA_DISKS set, only those on
// its images), one entry per volume.
std::vector<MountedVolumeInfo> ListMountedVolumes();

// "%.2f %s %s %.2f %s": free, unit, the localized "FreeOf", total, unit (GB above 1 GiB, else MB).
// 0, or -1 when the mount point cannot be measured or holds less than 101 bytes.
i32 GetFreeOfText(const std::string& mountPoint, float* usedPercent, std::string* text);
// The size text of a volume: free of total when a mounted volume starts where one of its extents
// does (its mount point is then given back), else the extents' size ("%.2f %s").
void GetVolumeSizeText(const VolumeRecord* record, const std::vector<MountedVolumeInfo>& mounted, std::string* text,
                       float* usedPercent, std::string* mountPoint);
void GetVolumeSizeText(const VolumeRecord* record, std::string* text, float* usedPercent, std::string* mountPoint);
// 0 with the free bytes when the mount point can take files, -1 otherwise.
i32 CheckDestinationDrive(const std::string& mountPoint, u64* freeBytes);
// The drive geometry of the disk of the record's first extent; false without a record, device or disk.
bool GetFirstDiskGeometry(const VolumeRecord* record, DiskGeometry* out = nullptr);
// The mount point of the mounted volume that starts where one of the record's extents does.
std::string FindVolumeMountPoint(const VolumeRecord* record, const std::vector<MountedVolumeInfo>& mounted);

// What one enumeration found. Every record's device and extent disks belong to the same object,
// which lives as long as anyone holds it or one of its records: a refresh publishes a new one
// and leaves a scan's volume, device and disks alone until the scan lets them go.
struct EnumeratedVolumes {
    // Declared first, so destroyed last: the devices below read through the disks.
    std::vector<std::unique_ptr<CDiskDevice>> disks;
    VolumeRecordList volumes{true};
    VolumeRecordList areas{false};
    std::vector<std::unique_ptr<IStorageDevice>> areaDevices;
    std::vector<MountedVolumeInfo> mounted;
};

class EnumCollectPartition {
public:
    // The process-wide object; the first call builds it and starts the enumeration and the
    // network threads.
    static EnumCollectPartition& Instance();
    static EnumCollectPartition& GetInstance() { return Instance(); }

    // An object of its own (tests): the threads start only through StartEnumeration.
    EnumCollectPartition();
    ~EnumCollectPartition();
    EnumCollectPartition(const EnumCollectPartition&) = delete;
    EnumCollectPartition& operator=(const EnumCollectPartition&) = delete;

    // Starts the enumeration thread again (the place page's refresh).
    void StartEnumeration();
    // An enumeration on the calling thread; false when another enumeration was running and a
    // stop was requested while waiting for it.
    bool EnumThread();
    // Nothing to list on Linux: the network thread ends at once.
    static void NetworkThread() {}

    // Asked while an enumeration waits for an earlier one; the scan session's stop word.
    using StopQuery = bool (*)();
    static void SetStopQuery(StopQuery query);
    // Called once an enumeration has listed the disks, before it reads them (tests hold one
    // there).
    using ListedHook = void (*)(EnumCollectPartition*);
    static void SetListedHook(ListedHook hook);

    // True once lists are published that were begun after the last ask for an enumeration (or
    // once the asks were given up on a stop, and the last lists stand).
    bool IsDone() const;
    bool IsRunning() const { return m_running.load() != 0; }
    // Blocks until the enumeration has finished or the time ran out (milliseconds).
    bool WaitDone(u32 milliseconds);

    // The lists of the last finished enumeration. Read them only while IsDone(): the next
    // enumeration that finishes replaces them. To keep a record, its device or its disks past
    // that, hold the record (Hold) or the whole snapshot (Snapshot).
    const std::vector<std::unique_ptr<CDiskDevice>>& Disks() const { return Current()->disks; }
    const std::vector<VolumeRecord*>& Volumes() const { return Current()->volumes.Records(); }
    const std::vector<VolumeRecord*>& UnpartitionedAreas() const { return Current()->areas.Records(); }
    const std::vector<MountedVolumeInfo>& MountedVolumes() const { return Current()->mounted; }

    std::shared_ptr<const EnumeratedVolumes> Snapshot() const { return Current(); }
    // The record (a collected volume or an unpartitioned area of the last finished enumeration)
    // with shared ownership of everything it points to; null for any other record.
    std::shared_ptr<VolumeRecord> Hold(const VolumeRecord* record) const;
    // Hold through the process-wide object when it exists and lists the record; otherwise a
    // handle that does not own the record (one its caller made and keeps).
    static std::shared_ptr<VolumeRecord> HoldEnumerated(VolumeRecord* record);

    // The text handed to the statistics library by the last enumeration (codes 0x2005, 0x2004).
    const std::string& DiskSizeText() const { return m_diskSizeText; }
    const std::string& PartitionSizeText() const { return m_partitionSizeText; }

private:
    std::shared_ptr<EnumeratedVolumes> Current() const;
    static void RecordUnpartitionedAreas(EnumeratedVolumes& found, CDiskDevice* disk);
    bool StopRequested() const;
    bool Enumerate();

    mutable std::mutex m_currentLock;
    std::shared_ptr<EnumeratedVolumes> m_current = std::make_shared<EnumeratedVolumes>();
    std::string m_diskSizeText;
    std::string m_partitionSizeText;

    std::atomic<u32> m_running{0};
    std::atomic<u32> m_done{0};  // some enumeration has published its lists
    // Enumerations asked for, the newest ask the published lists answer, and the newest ask
    // given up on a stop while another enumeration ran.
    std::atomic<u64> m_asked{0};
    std::atomic<u64> m_answered{0};
    std::atomic<u64> m_abandoned{0};
    std::atomic<bool> m_closing{false};
    // Taken to start a thread and to close: no thread starts once the destructor joins them.
    std::mutex m_threadsLock;
    // The enumeration and network threads; last, so joined before anything above goes.
    ScanThreads m_threads;
};
