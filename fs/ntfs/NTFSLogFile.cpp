#include "fs/ntfs/NTFSLogFile.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "devices/StorageDevice.h"
#include "engine/DataRunList.h"
#include "fs/ntfs/CommonFileRecordInfo.h"
#include "fs/ntfs/NTFSFileProperties.h"

using namespace ntfs;
using namespace ntfslog;

namespace {
// The largest journal read into memory. The system makes logs of a few to some tens of MiB; a
// run list that claims more is damaged, and only this much of it is walked.
constexpr u64 kMaxLogBytes = 256ull << 20;
// Sectors read at the start of the $MFT to reach record 2 at any record size.
constexpr u32 kMinMFTHeadSectors = 20;

constexpr u16 kPageUsaOffset = 40;
constexpr u16 kPageUsaCount = 9;
constexpr u32 kPageStride = 512;
// The largest cluster whose records the four block offsets of the journal name one by one.
constexpr u64 kFourRecordClusterBytes = 4096;

inline u64 PageLastLSN(const u8* page) { return ReadLE64(page + 8); }
inline u64 PageLastEndLSN(const u8* page) { return ReadLE64(page + 32); }

// The 8-byte-aligned place, from the data start on, where the page's last record begins.
i32 FindLastRecordOffset(const u8* page) {
    const u64 lsn = PageLastLSN(page);
    for (u32 pos = kPageHeaderSize; pos + 8 <= kPageSize; pos += 8) {
        if (ReadLE64(page + pos) == lsn) return i32(pos);
    }
    return -1;
}

bool MulFits(u64 a, u64 b, u64& out) {
    if (b != 0 && a > ~u64(0) / b) return false;
    out = a * b;
    return true;
}

// The journal keeps record images as they are in memory: the ends of their 512-byte strides hold
// data, not the update sequence number. The record readers accept only protected records, so
// the image is protected as it would be on disk; reading undoes it again.
void ProtectRecordImage(u8* image, u32 length) {
    if (!IsValidFileRecordHeader(image, length) || CheckFileRecordFixups(image, length)) return;
    const u32 usa = RecordUsaOffset(image);
    const u32 count = RecordUsaCount(image);
    if (count == 0 || usa + 2 * count > ntfs::kFixupStride - 2) return;
    const u16 usn = ReadLE16(image + usa);
    const u32 strides = std::min(count - 1, length / ntfs::kFixupStride);
    for (u32 i = 0; i < strides; ++i) {
        u8* slot = image + (i + 1) * ntfs::kFixupStride - 2;
        std::memcpy(image + usa + 2 * (i + 1), slot, 2);
        WriteLE16(slot, usn);
    }
}

// Sectors of a run that the device holds from the run's first sector on: a damaged run that
// claims more than the device, or lies past it, is read no further than the device's end.
u64 RunSectorsOnDevice(const DataRunExtent& e, u32 sectorsPerCluster, u64 partitionStart, u64 deviceSectors) {
    u64 sectors = 0;
    if (!MulFits(e.length, sectorsPerCluster, sectors)) sectors = ~u64(0);
    if (e.start == kSparseExtentStart) return std::min(sectors, deviceSectors);
    u64 first = 0;
    if (!MulFits(u64(e.start), sectorsPerCluster, first) || first > ~u64(0) - partitionStart) return 0;
    first += partitionStart;
    if (first >= deviceSectors) return 0;
    return std::min(sectors, deviceSectors - first);
}
}  // namespace

bool IsValidLogPage(const u8* page, u32 length) {
    if (page == nullptr || length < kPageSize) return false;
    if (std::memcmp(page, "RCRD", 4) != 0) return false;
    if (ReadLE16(page + 4) != kPageUsaOffset || ReadLE16(page + 6) != kPageUsaCount) return false;
    const u16 usn = ReadLE16(page + kPageUsaOffset);
    for (u32 i = 1; i < kPageUsaCount; ++i) {
        if (ReadLE16(page + i * kPageStride - 2) != usn) return false;
    }
    return true;
}

bool ApplyLogPageFixups(u8* page, u32 length) {
    if (!IsValidLogPage(page, length)) return false;
    for (u32 i = 1; i < kPageUsaCount; ++i) {
        std::memcpy(page + i * kPageStride - 2, page + kPageUsaOffset + 2 * i, 2);
    }
    return true;
}

CNTFSLogFileParser::~CNTFSLogFileParser() { Reset(); }

void CNTFSLogFileParser::Reset() {
    m_pages.reset();
    m_store.reset();
    m_pagesLoaded = false;
    m_storeCapacity = 0;
    m_storeUsed = 0;
    m_pageCount = 0;
    delete m_runs;
    m_runs = nullptr;
    m_logFileProperties.reset();
    m_images.clear();
    m_folders.clear();
    m_logRecords.clear();
    m_byTarget.clear();
    m_device = nullptr;
    m_opened = false;
    m_parsed = false;
    m_compressed = false;
}

u64 CNTFSLogFileParser::TargetRecordNumber(u64 vcn, u16 clusterBlockOffset, u32 sectorsPerCluster,
                                           u32 sectorSize) {
    const u64 clusterBytes = u64(sectorsPerCluster) * sectorSize;
    if (clusterBytes > kFourRecordClusterBytes) {
        // A cluster above 4 KiB holds more records than the four named below: the block offset
        // counts 512-byte blocks into the cluster, and a record starts every kilobyte.
        const u64 within = u64(clusterBlockOffset) * kLogBlockBytes;
        if (within >= clusterBytes || within % kImageSize != 0) return ~u64(0);
        return vcn * (clusterBytes / kImageSize) + within / kImageSize;
    }
    if (sectorsPerCluster < 3) return vcn;
    // A cluster of several records: the 512-byte block says which 1024-byte record in it.
    switch (clusterBlockOffset) {
        case 0: return vcn * 4;
        case 2: return vcn * 4 + 1;
        case 4: return vcn * 4 + 2;
        case 6: return vcn * 4 + 3;
        default: return vcn * 4 - 1;
    }
}

bool CNTFSLogFileParser::Open(IStorageDevice* device, const NTFSRunList* mftRuns, u32 sectorsPerCluster,
                              u64 partitionStart) {
    Reset();
    if (device == nullptr || mftRuns == nullptr || mftRuns->empty()) return false;
    m_device = device;
    m_sectorsPerCluster = sectorsPerCluster != 0 ? sectorsPerCluster : 8;
    m_partitionStart = partitionStart;
    const u32 sectorSize = device->GetSectorSize();
    // Pages are read as whole sectors, so a sector must divide a page.
    if (sectorSize < 512 || sectorSize > kPageSize || kPageSize % sectorSize != 0) return false;
    m_sectorSize = sectorSize;

    const NTFSRun& first = mftRuns->front();
    if (first.lcn == kSparseLCN) return false;
    u64 sector = 0;
    if (!MulFits(first.lcn, m_sectorsPerCluster, sector) || sector > ~u64(0) - partitionStart) return false;
    sector += partitionStart;
    // Record 2 lies at twice the record size; records are up to 4096 bytes.
    const u32 count = std::max<u32>(kMinMFTHeadSectors, (3 * kMaxRecordSize + sectorSize - 1) / sectorSize);
    std::vector<u8> head(size_t(count) * sectorSize, 0);
    if (device->Read(head.data(), sector, count) == 0) return false;

    // The record size is the one record 0 declares; failing that, the usual one for the sector.
    u32 recordSize = sectorSize == 512 ? 1024 : sectorSize;
    if (IsValidFileRecordHeader(head.data(), u32(head.size()))) {
        const u32 declared = RecordAllocatedSize(head.data());
        if (IsUsableFileRecordSize(declared, sectorSize)) recordSize = declared;
    }
    const u32 offset = 2 * recordSize;
    CNTFSFileRecord record;
    if (!record.Init(head.data() + offset, recordSize, sector + offset / sectorSize, device, nullptr)) return false;
    PropertiesRef<CNTFSFileProperties> properties =
        MakeNTFSFileProperties(sector + offset / sectorSize, record, u64(m_sectorsPerCluster) * sectorSize, nullptr);
    if (!properties) return false;
    const char* name = properties->GetName();
    if (name == nullptr || std::strstr(name, "$LogFile") == nullptr) return false;
    m_runs = properties->CreateDataRunList();
    m_logFileProperties = std::move(properties);
    if (m_runs == nullptr || m_runs->IsResident()) {
        delete m_runs;
        m_runs = nullptr;
        return false;
    }

    const u64 sectorsPerPage = kPageSize / sectorSize;
    const u64 deviceSectors = device->GetTotalSectors();
    u64 pages = 0;
    for (size_t i = 0; i < m_runs->GetExtentCount(); ++i) {
        const u64 sectors =
            RunSectorsOnDevice(m_runs->GetExtent(i), m_sectorsPerCluster, partitionStart, deviceSectors);
        pages += std::min(sectors / sectorsPerPage, kMaxLogBytes / kPageSize);
        if (pages >= kMaxLogBytes / kPageSize) {
            pages = kMaxLogBytes / kPageSize;
            break;
        }
    }
    m_pageCount = pages;
    m_opened = true;
    return true;
}

bool CNTFSLogFileParser::LoadPages() {
    if (m_pagesLoaded) return true;
    if (!m_opened || m_pageCount == 0) return false;
    const u64 bytes = m_pageCount * kPageSize;
    std::unique_ptr<u8[]> pages(new (std::nothrow) u8[bytes]);
    std::unique_ptr<u8[]> store(new (std::nothrow) u8[bytes]);
    if (!pages || !store) {
        // Without both buffers no page can be had, and both walks end at once.
        m_pageCount = 0;
        return false;
    }
    std::memset(pages.get(), 0, bytes);

    u64 done = 0;
    const u64 deviceSectors = m_device->GetTotalSectors();
    for (size_t i = 0; i < m_runs->GetExtentCount() && done < bytes; ++i) {
        const DataRunExtent& e = m_runs->GetExtent(i);
        const u64 sectors = RunSectorsOnDevice(e, m_sectorsPerCluster, m_partitionStart, deviceSectors);
        const u64 room = (bytes - done) / m_sectorSize;
        if (room == 0) break;
        const u64 take = std::min(sectors, room);
        if (take == 0) continue;
        u64 first = 0;
        // A hole stays zero; so does a run the device cannot give.
        if (e.start != kSparseExtentStart && MulFits(u64(e.start), m_sectorsPerCluster, first) &&
            first <= ~u64(0) - m_partitionStart) {
            m_device->Read(pages.get() + done, m_partitionStart + first, take);
        }
        done += take * m_sectorSize;
    }
    m_pages = std::move(pages);
    m_store = std::move(store);
    m_storeCapacity = bytes;
    m_storeUsed = 0;
    m_pagesLoaded = true;
    return true;
}

void CNTFSLogFileParser::ReadLastPageCarry(std::vector<u8>& carry) {
    carry.clear();
    if (m_runs == nullptr || m_runs->GetExtentCount() == 0) return;
    const DataRunExtent& last = m_runs->GetExtent(m_runs->GetExtentCount() - 1);
    const u64 sectorsPerPage = kPageSize / m_sectorSize;
    u64 firstSector = 0, sectors = 0;
    if (last.start == kSparseExtentStart || !MulFits(u64(last.start), m_sectorsPerCluster, firstSector) ||
        !MulFits(last.length, m_sectorsPerCluster, sectors) || sectors < sectorsPerPage ||
        firstSector > ~u64(0) - sectors || firstSector + sectors > ~u64(0) - m_partitionStart) {
        return;
    }
    std::vector<u8> page(kPageSize, 0);
    if (m_device->Read(page.data(), m_partitionStart + firstSector + sectors - sectorsPerPage, sectorsPerPage) == 0) {
        return;
    }
    if (!ApplyLogPageFixups(page.data(), kPageSize)) return;
    if (PageLastLSN(page.data()) == PageLastEndLSN(page.data())) return;
    // The log wraps: its last record goes on at the first record page.
    const i32 pos = FindLastRecordOffset(page.data());
    if (pos >= 0) carry.assign(page.begin() + pos, page.end());
}

void CNTFSLogFileParser::WalkPages(Walk walk) {
    if (!m_opened || !LoadPages()) return;
    auto step = [&](const u8* record, u32 available) {
        if (walk == Walk::kImages) {
            StepImages(record, available);
        } else {
            StepLogRecords(record, available);
        }
    };

    std::vector<u8> carry;
    ReadLastPageCarry(carry);
    u8 page[kPageSize];
    u8 joined[kPageSize];
    bool skipping = false;    // inside a record that spans more than two pages
    u64 skipRemaining = 0;

    for (u64 p = kFirstRecordPage; p < m_pageCount; ++p) {
        std::memcpy(page, m_pages.get() + p * kPageSize, kPageSize);
        if (std::memcmp(page, "RCRD", 4) != 0) {
            // What was carried or skipped cannot go on over a page that is not a log page.
            carry.clear();
            skipping = false;
            continue;
        }
        ApplyLogPageFixups(page, kPageSize);
        const u64 lastLSN = PageLastLSN(page);
        const bool continuing = lastLSN != PageLastEndLSN(page);

        u64 offset = kPageHeaderSize;
        if (skipping) {
            if (skipRemaining > kPageDataSize) {
                skipRemaining -= kPageDataSize;
                continue;
            }
            offset += skipRemaining;
            skipping = false;
            skipRemaining = 0;
        }

        u64 needed = 0;
        bool carried = false;
        if (!carry.empty()) {
            if (carry.size() < kLogRecordHeaderSize) {
                carry.clear();
                continue;
            }
            const u64 total = u64(kLogRecordHeaderSize) + LogClientDataLength(carry.data());
            needed = total > carry.size() ? total - carry.size() : 0;
            if (needed > kPageDataSize) {
                // Spread over three pages or more: dropped, and its bytes are stepped over.
                carry.clear();
                skipping = true;
                skipRemaining = needed - kPageDataSize;
                continue;
            }
            carried = true;
        }

        while (offset < kPageSize) {
            u64 advance = 0;
            u64 lsn = 0;
            if (carried) {
                carried = false;
                const u32 held = u32(std::min<size_t>(carry.size(), kPageSize - 1));
                const u32 added = u32(std::min<u64>(needed, kPageSize - 1 - held));
                std::memcpy(joined, carry.data(), held);
                std::memcpy(joined + held, page + kPageHeaderSize, added);
                carry.clear();
                lsn = LogRecordLSN(joined);
                step(joined, held + added);
                advance = needed;
            } else {
                if (kPageSize - offset < kLogRecordHeaderSize) break;
                const u8* record = page + offset;
                lsn = LogRecordLSN(record);
                if (continuing && lsn == lastLSN) {
                    carry.assign(record, static_cast<const u8*>(page + kPageSize));
                    break;
                }
                step(record, u32(kPageSize - offset));
                advance = u64(kLogRecordHeaderSize) + LogClientDataLength(record);
            }
            if (lsn == lastLSN) break;
            offset += advance;
            if (offset + kLogRecordHeaderSize > kPageSize) {
                if (continuing) {
                    const i32 pos = FindLastRecordOffset(page);
                    if (pos >= 0) carry.assign(page + pos, page + kPageSize);
                }
                break;
            }
        }
    }
}

void CNTFSLogFileParser::StepImages(const u8* record, u32 available) {
    if (available < kRedoImageOffset + 5) return;
    const u32 clientLength = LogClientDataLength(record);
    if (std::memcmp(record + kRedoImageOffset, "FILE0", 5) != 0 || clientLength <= 112) return;
    u8 image[kImageSize] = {};
    const u32 length = std::min({clientLength - 40, kImageSize, available - kRedoImageOffset});
    std::memcpy(image, record + kRedoImageOffset, length);
    if (RecordBaseReference(image) != 0) return;
    ProtectRecordImage(image, kImageSize);
    if (RecordIsDirectory(image)) {
        KeepFolderImage(record, image);
        return;
    }

    u64 parent = ~u64(0);
    PropertiesRef<CNTFSFileProperties> properties = ImageProperties(image, &parent);
    if (!properties) return;
    // Data kept inside the image lies nowhere on the volume: such an image cannot lend its runs.
    std::unique_ptr<IDataRunList> runs(properties->CreateDataRunList());
    if (properties->GetSize() == 0 || (runs && runs->IsResident())) return;
    m_images.push_back({parent, std::move(properties)});
}

PropertiesRef<CNTFSFileProperties> CNTFSLogFileParser::ImageProperties(const u8* image, u64* parent) const {
    CNTFSFileRecord file;
    if (!file.Init(image, kImageSize, 0, nullptr, nullptr)) return PropertiesRef<CNTFSFileProperties>();
    return MakeNTFSFileProperties(0, file, u64(m_sectorsPerCluster) * m_sectorSize, parent);
}

void CNTFSLogFileParser::KeepFolderImage(const u8* logRecord, const u8* image) {
    CCommonFileRecordInfo info;
    if (!info.FillFromRecord(image, kImageSize, 0) || info.GetParentRecord() == ~u64(0)) return;
    // Older records do not carry their own number; the log record names the one it wrote.
    u64 number = info.GetRecordNumber();
    if (number == ~u64(0)) {
        number = TargetRecordNumber(ReadLE32(logRecord + kLogRecordHeaderSize + 24),
                                    ReadLE16(logRecord + kLogRecordHeaderSize + 20), m_sectorsPerCluster, m_sectorSize);
    }
    const u64 key = number == ~u64(0) ? ~u64(0) : StaleFolderId(number, info.GetSequence());
    if (key == ~u64(0) || StaleFolderRecord(key) == ~u64(0)) return;
    u64 parent = ~u64(0);
    PropertiesRef<CNTFSFileProperties> properties = ImageProperties(image, &parent);
    if (!properties) return;
    // A later image of the same folder replaces an earlier one.
    m_folders[key] = {info.GetParentRecord(), info.GetParentSequence(), std::move(properties)};
}

const NTFSLoggedFolder* CNTFSLogFileParser::FindFolder(u64 number, u16 sequence) const {
    const u64 key = StaleFolderId(number, sequence);
    if (StaleFolderRecord(key) == ~u64(0)) return nullptr;
    auto it = m_folders.find(key);
    return it != m_folders.end() ? &it->second : nullptr;
}

void CNTFSLogFileParser::StepLogRecords(const u8* record, u32 available) {
    const u64 total = u64(kLogRecordHeaderSize) + LogClientDataLength(record);
    if (total >= kPageDataSize || total > available) return;
    if (m_storeUsed + total > m_storeCapacity) return;
    u8* copy = m_store.get() + m_storeUsed;
    std::memcpy(copy, record, total);
    m_storeUsed += total;

    u8 head[kRedoImageOffset] = {};
    std::memcpy(head, copy, std::min<u64>(total, kRedoImageOffset));
    LogRecord entry;
    entry.length = u32(total);
    entry.clientLength = LogClientDataLength(head);
    entry.undoOffset = ReadLE16(head + 48 + 8);
    entry.undoLength = ReadLE16(head + 48 + 10);
    entry.recordOffset = ReadLE16(head + 48 + 16);
    entry.attributeOffset = ReadLE16(head + 48 + 18);
    entry.clusterBlockOffset = ReadLE16(head + 48 + 20);
    entry.targetVCN = ReadLE32(head + 48 + 24);
    entry.bytes = copy;
    m_logRecords.push_back(entry);
    m_byTarget.emplace(TargetRecordNumber(entry.targetVCN, entry.clusterBlockOffset, m_sectorsPerCluster, m_sectorSize),
                       m_logRecords.size() - 1);
}

bool CNTFSLogFileParser::Parse() {
    // The log records point into the store: a second parse must not replace it.
    if (m_parsed) return true;
    WalkPages(Walk::kImages);
    WalkPages(Walk::kLogRecords);
    // The stored log records point into the store, which stays; the page image goes.
    m_pages.reset();
    m_parsed = true;
    return true;
}
