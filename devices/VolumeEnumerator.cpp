#include "devices/VolumeEnumerator.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>

#include "core/Shell.h"
#include "core/Strings.h"
#include "devices/PartitionDevice.h"
#include "devices/PartitionTable.h"
#include "platform/Log.h"
#include "platform/Mounts.h"
#include "platform/Stats.h"
#include "platform/Sync.h"
#include "platform/Text.h"

namespace {
constexpr u64 kMiB = 1048576;
constexpr u64 kGiB = 1073741824;
constexpr size_t kDiskTextMax = 49;

std::atomic<EnumCollectPartition::StopQuery> g_stopQuery{nullptr};
std::atomic<EnumCollectPartition::ListedHook> g_listedHook{nullptr};
// The process-wide object once Instance has made it.
std::atomic<EnumCollectPartition*> g_processEnumeration{nullptr};

// Raises `value` to `to`; never lowers it, whatever the order the threads come in.
void RaiseTo(std::atomic<u64>& value, u64 to) {
    u64 now = value.load();
    while (now < to && !value.compare_exchange_weak(now, to)) {
    }
}

void TraceLine(int line) {
    WriteLog("P[%04d]:T[%04d] run to %s %d\r\n", static_cast<int>(CurrentProcessId()),
             static_cast<int>(CurrentThreadId()), "EnumCollectPartition::EnumThread", line);
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buf[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    return buf;
}

std::string DiskTextOf(CDiskDevice* disk) {
    DiskDescription d{};
    if (!disk || !disk->GetDiskDescription(&d)) return std::string();
    return MakeDiskText(d);
}

// "%.2f %s" pieces: GB above 1 GiB, else MB.
void SizeUnit(u64 bytes, double* divisor, const char** unit) {
    if (bytes > kGiB) {
        *divisor = static_cast<double>(kGiB);
        *unit = "GB";
    } else {
        *divisor = static_cast<double>(kMiB);
        *unit = "MB";
    }
}

std::string FreeOfText(u64 freeBytes, u64 totalBytes) {
    double divisor;
    const char* unit;
    SizeUnit(totalBytes, &divisor, &unit);
    const std::string freeOf = GetLocalizedString("FreeOf");
    return Format("%.2f %s %s %.2f %s", static_cast<double>(freeBytes) / divisor, unit, freeOf.c_str(),
                  static_cast<double>(totalBytes) / divisor, unit);
}

float UsedPercent(u64 freeBytes, u64 totalBytes) {
    if (totalBytes == 0) return 0.0f;
    const u64 used = totalBytes > freeBytes ? totalBytes - freeBytes : 0;
    return static_cast<float>(static_cast<double>(used) * 100.0 / static_cast<double>(totalBytes));
}

const MountedVolumeInfo* FindMounted(const VolumeRecord* record, const std::vector<MountedVolumeInfo>& mounted) {
    if (!record) return nullptr;
    const u32 n = record->ExtentCount();
    for (u32 i = 0; i < n; ++i) {
        const VolumeExtent& e = record->extents[i];
        const i32 diskNumber = e.disk->GetDiskNumber();
        if (diskNumber < 0) continue;
        for (const MountedVolumeInfo& m : mounted) {
            if (m.diskNumber == static_cast<u32>(diskNumber) && m.firstSector == e.firstSector) return &m;
        }
    }
    return nullptr;
}

// A partition whose volume runs past its disk's end (an image that stops where the copy of a
// failing disk did) is read as far as the disk goes; what lies beyond is counted unread by
// whoever reads there. Said once per enumeration, so that a short listing is not taken for the
// volume's own length.
void LogIfLongerThanDisk(const VolumeRecord& r, i32 diskNumber) {
    const u64 volumeSectors = r.device ? r.device->GetVolumeSectors() : 0;
    const u64 held = r.extents[0].sectorCount;
    if (volumeSectors <= held) return;
    char name[16];
    LogInfo("Partition at sector %" PRIu64 " of disk %d (%s) is %" PRIu64
            " sectors long, of which the disk holds %" PRIu64
            ": the image is shorter than the volume; what lies past its end cannot be read\r\n",
            r.extents[0].firstSector, static_cast<int>(diskNumber), FileSystemCodeName(r.fsCode, name), volumeSectors,
            held);
}
}  // namespace

u32 MountedFileSystemCode(const std::string& fsType) {
    const std::string t = AsciiLower(fsType);
    if (t == "ntfs" || t == "ntfs3") return kFsNtfs;
    if (t == "fat32") return kFsFat32;
    // Linux mounts every FAT variant as "vfat" (or "msdos"): the type name cannot tell FAT32.
    if (t == "fat" || t == "vfat" || t == "msdos") return kFsFat16;
    return kFsUnknown;
}

void VolumeRecordList::Add(std::unique_ptr<VolumeRecord> record) { m_records.push_back(record.release()); }

void VolumeRecordList::Clear() {
    for (VolumeRecord* r : m_records) {
        if (m_ownsDevices) delete r->device;
        delete r;
    }
    m_records.clear();
}

std::string MakeDiskText(const DiskDescription& d) {
    std::string vendor(d.vendor, strnlen(d.vendor, sizeof(d.vendor)));
    const std::string product(d.product, strnlen(d.product, sizeof(d.product)));
    const std::string bus(d.busName, strnlen(d.busName, sizeof(d.busName)));
    if (!vendor.empty() && vendor[0] == '(') vendor.clear();
    const std::string text = vendor.empty() ? product + "  " + bus : vendor + "  " + product + "  " + bus;
    return std::string(Utf8Prefix(text, kDiskTextMax));
}

std::vector<UnpartitionedGap> FindUnpartitionedGaps(std::vector<VolumeExtent> extents, u64 totalSectors) {
    std::stable_sort(extents.begin(), extents.end(),
                     [](const VolumeExtent& a, const VolumeExtent& b) { return a.firstSector < b.firstSector; });
    std::vector<UnpartitionedGap> gaps;
    u64 cursor = 0;  // the end of everything covered so far
    for (const VolumeExtent& e : extents) {
        if (e.firstSector > cursor && e.firstSector - cursor > kUnpartitionedGapSectors) {
            gaps.push_back({cursor, e.firstSector - cursor});
        }
        const u64 end = e.sectorCount > UINT64_MAX - e.firstSector ? UINT64_MAX : e.firstSector + e.sectorCount;
        cursor = std::max(cursor, end);
    }
    if (totalSectors > cursor && totalSectors - cursor > kUnpartitionedGapSectors) {
        gaps.push_back({cursor, totalSectors - cursor});
    }
    return gaps;
}

void LogDiskTable(std::vector<std::unique_ptr<CDiskDevice>>& out) {
    const std::string dashes(106, '-');
    LogInfo("%s\r\n", dashes.c_str());
    LogInfo("Disk    TotalSectors       Cylinders    Heads    Sectors/Track     DIskInfo");
    std::vector<u8> entries(static_cast<size_t>(kStatsDiskEntrySize) * kMaxEnumeratedDisks, 0);
    u32 entryCount = 0;
    // Read once: a disk that comes or goes meanwhile shifts no number of this enumeration.
    const std::vector<DiskTableEntry> table = GetDiskTable();
    for (i32 n = 0; n < kMaxEnumeratedDisks && static_cast<size_t>(n) < table.size(); ++n) {
        auto disk = std::make_unique<CDiskDevice>(n, table[static_cast<size_t>(n)]);
        if (!disk->IsOpen()) continue;
        DiskGeometry g{};
        disk->GetGeometry(&g);
        DiskDescription desc{};
        disk->GetDiskDescription(&desc);
        const std::string text = MakeDiskText(desc);
        LogInfo("%d  %16" PRId64 "  %10" PRId64 "  %10d   %16d   %30s", n, static_cast<i64>(disk->GetTotalSectors()),
                static_cast<i64>(g.cylinders), static_cast<int>(g.tracksPerCylinder),
                static_cast<int>(g.sectorsPerTrack), text.c_str());
        u8* e = entries.data() + static_cast<size_t>(entryCount) * kStatsDiskEntrySize;
        const std::u16string product = Utf8ToUtf16(std::string(desc.product, strnlen(desc.product, sizeof(desc.product))));
        const size_t units = std::min<size_t>(product.size(), 259);
        for (size_t i = 0; i < units; ++i) WriteLE16(e + 2 * i, static_cast<u16>(product[i]));
        WriteLE64(e + 520, disk->GetTotalSectors());
        WriteLE32(e + 528, g.bytesPerSector);
        WriteLE32(e + 532, desc.busType);
        ++entryCount;
        out.push_back(std::move(disk));
    }
    if (entryCount > 0) StatsDiskTable(entries.data(), entryCount);
    LogInfo("%s\r\n", dashes.c_str());
}

void GetPartitionDriveLetters(CDiskDevice* /*disk*/, std::vector<VolumeRecord*>& partitions) {
    for (VolumeRecord* r : partitions) r->driveLetter = 0;
}

char GetDynamicVolumeDriveLetter(const char* /*volumeName*/, const char* /*diskGroupName*/) { return 0; }

char GetVolumeGuidPathLetter(const u8* /*volumeGuid*/) { return 0; }

void CCollectAllBasicPartitionandDynamicVolume::CollectBasicVolumes(const std::vector<CDiskDevice*>& disks,
                                                                    VolumeRecordList& out) {
    LogInfo("-----------------------------begin collect basic volume-----------------------------------");
    LogInfo("DriverLetter   FileSystem  StartSector     TotalSectors     ParentDisk: Disk      VolumeLabel\r\n");
    for (CDiskDevice* disk : disks) {
        if (!disk) continue;
        BasicPartitionList partitions;
        CPartitionTableAnalyze::AnalyseDisk(disk, partitions);
        if (partitions.empty()) continue;
        DiskDescription desc{};
        const bool haveDesc = disk->GetDiskDescription(&desc);
        const std::string diskText = haveDesc ? MakeDiskText(desc) : std::string();
        const u32 usb = haveDesc && desc.busType == bus_type::kUsb ? 1 : 0;

        std::vector<std::unique_ptr<VolumeRecord>> made;
        for (auto& p : partitions) {
            if (!p->device) continue;
            // A damaged table may list one partition many times over (a GPT of equal entries):
            // each extent of the disk is one volume, listed and scanned once.
            const bool listed = std::any_of(made.begin(), made.end(), [&](const std::unique_ptr<VolumeRecord>& m) {
                return m->extents[0].firstSector == p->firstSector && m->extents[0].sectorCount == p->sectorCount;
            });
            if (listed) continue;
            auto r = std::make_unique<VolumeRecord>();
            r->kind = kVolumeKindBasic;
            r->device = p->device.release();
            r->AddExtent(p->firstSector, p->sectorCount, disk);
            r->driveLetter = p->driveLetter;
            r->fsCode = p->fileSystemCode;
            std::memcpy(r->label, p->volumeLabel, kVolumeLabelSize);
            r->label[kVolumeLabelSize - 1] = 0;
            r->usb = usb;
            r->SetDiskText(diskText.c_str());
            made.push_back(std::move(r));
        }
        std::vector<VolumeRecord*> view;
        for (auto& r : made) view.push_back(r.get());
        GetPartitionDriveLetters(disk, view);
        for (auto& r : made) {
            char name[16];
            LogInfo("%c  %16s  %16" PRId64 "  %16" PRId64 "  %16d  %20s\r\n", r->driveLetter ? r->driveLetter : '*',
                    FileSystemCodeName(r->fsCode, name), static_cast<i64>(r->extents[0].firstSector),
                    static_cast<i64>(r->extents[0].sectorCount), disk->GetDiskNumber(), r->label);
            LogIfLongerThanDisk(*r, disk->GetDiskNumber());
            out.Add(std::move(r));
        }
    }
    LogInfo("-----------------------------end collect basic volume-----------------------------------\r\n");
}

void CCollectAllBasicPartitionandDynamicVolume::CollectDynamicVolumeRecords(const std::vector<CDiskDevice*>& disks,
                                                                            VolumeRecordList& out) {
    LogInfo("-----------------------------begin collect dynamic volume-----------------------------------");
    LogInfo("DriverLetter   FileSystem   DynamicVolumeType   TotalSectors       VolumeLabel      ParentDiskInfo\r\n");
    std::vector<CollectedDynamicVolume> volumes;
    CollectDynamicVolumes(disks, volumes);
    std::map<CDiskDevice*, std::string> diskTexts;
    for (CollectedDynamicVolume& v : volumes) {
        if (!v.device) continue;
        auto r = std::make_unique<VolumeRecord>();
        r->kind = kVolumeKindDynamic;
        r->fsCode = v.fsCode;
        r->driveLetter = v.driveLetter;
        std::memcpy(r->label, v.label, kVolumeLabelSize);
        r->label[kVolumeLabelSize - 1] = 0;
        std::string text;
        for (const VolumeExtent& m : v.members) {
            r->AddExtent(m.firstSector, m.sectorCount, m.disk);
            auto it = diskTexts.find(m.disk);
            if (it == diskTexts.end()) it = diskTexts.emplace(m.disk, DiskTextOf(m.disk)).first;
            text += it->second + "\n";
        }
        if (text.size() >= 3 && text.back() == '\n') text.pop_back();
        r->SetDiskText(text.c_str());
        char name[16];
        v.typeName[sizeof(v.typeName) - 1] = 0;
        LogInfo("%c  %16s  %16s  %16" PRId64 "  %20s  %50s\r\n", r->driveLetter ? r->driveLetter : '*',
                FileSystemCodeName(r->fsCode, name), v.typeName, static_cast<i64>(v.totalSectors), r->label,
                r->diskText);
        r->device = v.device.release();
        out.Add(std::move(r));
    }
    LogInfo("-----------------------------end collect dynamic volume-------------------------------------\r\n");
}

void CCollectAllBasicPartitionandDynamicVolume::SortByDriveLetter(std::vector<VolumeRecord*>& records) {
    std::stable_sort(records.begin(), records.end(), [](const VolumeRecord* a, const VolumeRecord* b) {
        return static_cast<u8>(a->driveLetter) < static_cast<u8>(b->driveLetter);
    });
    std::stable_partition(records.begin(), records.end(), [](const VolumeRecord* r) { return r->driveLetter != 0; });
}

void CCollectAllBasicPartitionandDynamicVolume::CollectAllBasicPartitionandDynamicVolume(
    const std::vector<CDiskDevice*>& disks, VolumeRecordList& out) {
    if (disks.empty()) return;
    const auto started = std::chrono::steady_clock::now();
    CollectBasicVolumes(disks, out);
    CollectDynamicVolumeRecords(disks, out);
    SortByDriveLetter(out.MutableRecords());
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    DebugTrace("%s dwElapsedTime %u \n", "CCollectAllBasicPartitionandDynamicVolume::CollectAllBasicPartitionandDynamicVolume",
               static_cast<unsigned>(ms.count()));
}

std::vector<MountedVolumeInfo> ListMountedVolumes() {
    const std::vector<DiskTableEntry> table = GetDiskTable();
    const std::vector<MountEntry> mounts = ReadMountInfo();
    std::vector<MountedVolumeInfo> out;
    std::vector<std::pair<u32, u32>> seen;
    // A device mounted more than once is one volume: its whole-volume mount first, bind mounts after.
    for (int pass = 0; pass < 2; ++pass) {
        for (const MountEntry& m : mounts) {
            if (m.major == 0) continue;  // no block device behind it
            if ((pass == 0) != (m.root == "/")) continue;
            const auto dev = std::make_pair(m.major, m.minor);
            if (std::find(seen.begin(), seen.end(), dev) != seen.end()) continue;
            BlockDevicePlace place;
            if (!LocateBlockDevice(m.major, m.minor, table, &place)) continue;
            VolumeSpace space;
            if (!QueryVolumeSpace(m.mountPoint, &space)) continue;
            seen.push_back(dev);
            MountedVolumeInfo v;
            v.diskNumber = static_cast<u32>(place.diskNumber);
            v.sectorSize = place.sectorSize ? place.sectorSize : 512;
            v.firstSector = place.startBytes / v.sectorSize;
            v.sectorCount = place.lengthBytes / v.sectorSize;
            v.freeBytesToCaller = space.freeBytesToCaller;
            v.totalBytes = space.totalBytes;
            v.totalFreeBytes = space.totalFreeBytes;
            v.path = m.mountPoint;
            v.name = m.source;
            v.fsCode = MountedFileSystemCode(m.fsType);
            out.push_back(std::move(v));
        }
    }
    return out;
}

i32 GetFreeOfText(const std::string& mountPoint, float* usedPercent, std::string* text) {
    VolumeSpace space;
    if (mountPoint.empty() || !QueryVolumeSpace(mountPoint, &space) || space.totalBytes < 101) return -1;
    if (text) *text = FreeOfText(space.freeBytesToCaller, space.totalBytes);
    if (usedPercent) *usedPercent = UsedPercent(space.freeBytesToCaller, space.totalBytes);
    return 0;
}

void GetVolumeSizeText(const VolumeRecord* record, const std::vector<MountedVolumeInfo>& mounted, std::string* text,
                       float* usedPercent, std::string* mountPoint) {
    if (!record) return;
    if (const MountedVolumeInfo* m = FindMounted(record, mounted)) {
        if (text) *text = FreeOfText(m->freeBytesToCaller, m->totalBytes);
        if (usedPercent) *usedPercent = UsedPercent(m->freeBytesToCaller, m->totalBytes);
        if (mountPoint) *mountPoint = m->path;
        return;
    }
    u64 bytes = 0;
    const u32 n = record->ExtentCount();
    for (u32 i = 0; i < n; ++i) {
        const VolumeExtent& e = record->extents[i];
        bytes += e.sectorCount * e.disk->GetSectorSize();
    }
    double divisor;
    const char* unit;
    SizeUnit(bytes, &divisor, &unit);
    if (text) *text = Format("%.2f %s", static_cast<double>(bytes) / divisor, unit);
}

void GetVolumeSizeText(const VolumeRecord* record, std::string* text, float* usedPercent, std::string* mountPoint) {
    GetVolumeSizeText(record, EnumCollectPartition::Instance().MountedVolumes(), text, usedPercent, mountPoint);
}

i32 CheckDestinationDrive(const std::string& mountPoint, u64* freeBytes) {
    VolumeSpace space;
    if (mountPoint.empty() || !QueryVolumeSpace(mountPoint, &space) || space.totalBytes < 101) return -1;
    if (freeBytes) *freeBytes = space.freeBytesToCaller;
    return 0;
}

bool GetFirstDiskGeometry(const VolumeRecord* record, DiskGeometry* out) {
    if (!record || !record->device || !record->extents[0].disk) return false;
    DiskGeometry g{};
    if (!record->extents[0].disk->GetGeometry(&g)) return false;
    if (out) *out = g;
    return true;
}

std::string FindVolumeMountPoint(const VolumeRecord* record, const std::vector<MountedVolumeInfo>& mounted) {
    const MountedVolumeInfo* m = FindMounted(record, mounted);
    return m ? m->path : std::string();
}

// ---------------------------------------------------------------------------------------------

EnumCollectPartition& EnumCollectPartition::Instance() {
    static EnumCollectPartition instance;
    static std::once_flag started;
    std::call_once(started, [] {
        g_processEnumeration.store(&instance);
        instance.StartEnumeration();
        std::lock_guard<std::mutex> lk(instance.m_threadsLock);
        if (!instance.m_closing.load()) instance.m_threads.Start([](u64) { NetworkThread(); });
    });
    return instance;
}

std::shared_ptr<EnumeratedVolumes> EnumCollectPartition::Current() const {
    std::lock_guard<std::mutex> lk(m_currentLock);
    return m_current;
}

std::shared_ptr<VolumeRecord> EnumCollectPartition::Hold(const VolumeRecord* record) const {
    if (!record) return nullptr;
    std::shared_ptr<EnumeratedVolumes> found = Current();
    for (const VolumeRecordList* list : {&found->volumes, &found->areas}) {
        for (VolumeRecord* r : list->Records()) {
            if (r == record) return std::shared_ptr<VolumeRecord>(found, r);
        }
    }
    return nullptr;
}

std::shared_ptr<VolumeRecord> EnumCollectPartition::HoldEnumerated(VolumeRecord* record) {
    if (!record) return nullptr;
    if (EnumCollectPartition* process = g_processEnumeration.load()) {
        if (std::shared_ptr<VolumeRecord> held = process->Hold(record)) return held;
    }
    return std::shared_ptr<VolumeRecord>(record, [](VolumeRecord*) {});
}

EnumCollectPartition::EnumCollectPartition() = default;

EnumCollectPartition::~EnumCollectPartition() {
    // The lists must not go while a thread still fills them.
    {
        std::lock_guard<std::mutex> lk(m_threadsLock);
        m_closing.store(true);
    }
    m_threads.JoinAll();
    if (g_processEnumeration.load() == this) g_processEnumeration.store(nullptr);
}

void EnumCollectPartition::SetStopQuery(StopQuery query) { g_stopQuery.store(query); }

void EnumCollectPartition::SetListedHook(ListedHook hook) { g_listedHook.store(hook); }

bool EnumCollectPartition::StopRequested() const {
    if (m_closing.load()) return true;
    StopQuery q = g_stopQuery.load();
    return q && q();
}

void EnumCollectPartition::StartEnumeration() {
    std::lock_guard<std::mutex> lk(m_threadsLock);
    if (m_closing.load()) return;
    // Whoever waits for the lists from now on waits for lists begun after this ask, not for an
    // enumeration that was already under way (it may predate the device change behind the ask).
    m_asked.fetch_add(1);
    m_threads.Start([this](u64) { Enumerate(); });
}

bool EnumCollectPartition::IsDone() const {
    const u64 answered = m_answered.load();
    return m_done.load() != 0 && answered >= m_asked.load();
}

bool EnumCollectPartition::EnumThread() {
    m_asked.fetch_add(1);
    return Enumerate();
}

bool EnumCollectPartition::WaitDone(u32 milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!IsDone()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        SleepMs(10);
    }
    return true;
}

bool EnumCollectPartition::Enumerate() {
    // One enumeration at a time: a second one waits for the first, or gives up on a stop.
    for (;;) {
        u32 expected = 0;
        if (m_running.compare_exchange_strong(expected, 1)) break;
        for (int slice = 0; slice < 10; ++slice) {
            if (StopRequested()) {
                // Nothing newer comes for the asks so far: the lists of the one that runs answer
                // them once it ends (or now, if it has just ended), so no waiter waits for ever.
                // The running one clears its flag before it reads this, and this is stored before
                // the flag is read: one of the two sees the other.
                const u64 asks = m_asked.load();
                RaiseTo(m_abandoned, asks);
                if (m_running.load() == 0) RaiseTo(m_answered, asks);
                return false;
            }
            SleepMs(100);
        }
    }
    // Every ask made so far is answered by lists built from here on.
    const u64 asks = m_asked.load();

    // Built aside and published whole: the lists of the last enumeration stay readable meanwhile,
    // and whoever holds them keeps them.
    auto found = std::make_shared<EnumeratedVolumes>();
    found->mounted = ListMountedVolumes();
    TraceLine(111);
    LogDiskTable(found->disks);
    TraceLine(114);
    if (ListedHook hook = g_listedHook.load()) hook(this);
    std::vector<CDiskDevice*> disks;
    for (auto& d : found->disks) disks.push_back(d.get());
    if (!disks.empty()) {
        CCollectAllBasicPartitionandDynamicVolume::CollectAllBasicPartitionandDynamicVolume(disks, found->volumes);
        TraceLine(122);
    }

    m_diskSizeText.clear();
    m_partitionSizeText.clear();
    for (u32 d = 0; d < disks.size(); ++d) {
        CDiskDevice* disk = disks[d];
        const u64 sectorSize = disk->GetSectorSize();
        m_diskSizeText += Format("Disk[%d]:size[%" PRIu64 "]M;", static_cast<int>(d),
                                 disk->GetTotalSectors() * sectorSize / kMiB);
        const auto& records = found->volumes.Records();
        for (size_t pos = 0; pos < records.size(); ++pos) {
            const VolumeRecord* r = records[pos];
            if (r->kind != kVolumeKindBasic) continue;
            u64 sectors = 0;
            const u32 n = r->ExtentCount();
            for (u32 i = 0; i < n; ++i) {
                if (r->extents[i].disk == disk) sectors += r->extents[i].sectorCount;
            }
            if (sectors) {
                m_partitionSizeText += Format("Disk[%d]:partition:[%d]size[%" PRIu64 "]M;", static_cast<int>(d),
                                              static_cast<int>(pos), sectors * sectorSize / kMiB);
            }
        }
        RecordUnpartitionedAreas(*found, disk);
    }

    {
        std::lock_guard<std::mutex> lk(m_currentLock);
        m_current = std::move(found);
    }
    m_done.store(1);
    TraceLine(201);
    StatsNoteText(kStatsCodeDiskSizes, m_diskSizeText.c_str());
    StatsNoteText(kStatsCodePartitionSizes, m_partitionSizeText.c_str());
    // Only now may a waiting enumeration start: it clears the texts handed over just above.
    m_running.store(0);
    RaiseTo(m_answered, std::max(asks, m_abandoned.load()));
    return true;
}

void EnumCollectPartition::RecordUnpartitionedAreas(EnumeratedVolumes& found, CDiskDevice* disk) {
    std::vector<VolumeExtent> extents;
    for (const VolumeRecord* r : found.volumes.Records()) {
        if (r->kind != kVolumeKindBasic) continue;
        const u32 n = r->ExtentCount();
        for (u32 i = 0; i < n; ++i) {
            if (r->extents[i].disk == disk) extents.push_back(r->extents[i]);
        }
    }
    const std::string lostDesc = GetLocalizedString("LostDesc");
    for (const UnpartitionedGap& gap : FindUnpartitionedGaps(std::move(extents), disk->GetTotalSectors())) {
        auto device = std::make_unique<CBasicPartitionDevice>(disk, gap.firstSector, gap.sectorCount);
        auto r = std::make_unique<VolumeRecord>();
        r->kind = kVolumeKindBasic;
        r->fsCode = kFsFat12;
        r->device = device.get();
        r->SetLabel(Format("%s-%d", lostDesc.c_str(), static_cast<int>(found.areas.Size() + 1)).c_str());
        r->AddExtent(gap.firstSector, gap.sectorCount, disk);
        found.areaDevices.push_back(std::move(device));
        found.areas.Add(std::move(r));
    }
}
