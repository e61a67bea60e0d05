// Completing a deleted MFT record from what the journal holds.
#include <algorithm>
#include <cstring>

#include "devices/StorageDevice.h"
#include "engine/DataRunList.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSLogFile.h"

using namespace ntfs;
using namespace ntfslog;

namespace {
// The base record and its extension records, one kilobyte each, in the work buffer.
constexpr u32 kMaxWorkRecords = 8;
// Unnamed $DATA attributes looked at per record.
constexpr u32 kMaxDataAttributes = 5;
// The $DATA attributes of one record whose undo data is laid back; far more than a record holds.
constexpr u32 kMaxLaidAttributes = 64;

bool SameName(const char* a, const char* b) { return a != nullptr && b != nullptr && std::strcmp(a, b) == 0; }
}  // namespace

const CNTFSLogFileParser::RecordImage* CNTFSLogFileParser::ChooseImage(const u8* record,
                                                                     const CNTFSFileProperties* properties,
                                                                     u64 key) const {
    const char* name = properties->GetName();
    if (name == nullptr) return nullptr;
    const u32 recordNumber = RecordNumberField(record);
    for (const RecordImage& image : m_images) {
        const bool byKey = image.key == key;
        const bool byNumber = key == ~u64(0) && image.properties->GetRecordNumber() == recordNumber;
        if ((byKey || byNumber) && SameName(image.properties->GetName(), name)) return &image;
    }
    for (const RecordImage& image : m_images) {
        if (SameName(image.properties->GetName(), name)) return &image;
    }
    return nullptr;
}

void CNTFSLogFileParser::LayLogOverRecord(u8* record) {
    const u64 recordNumber = RecordNumberField(record);
    const auto range = m_byTarget.equal_range(recordNumber);
    if (range.first == range.second) return;
    const u16 minUndo = m_compressed ? 24 : 10;

    i64 lastEnd = -1;
    std::vector<const LogRecord*> selected;
    for (u32 n = 0; n < kMaxLaidAttributes; ++n) {
        const i32 attributeOffset = FindRecordAttributeOffset(record, kImageSize, kAttrData, n);
        if (attributeOffset < 0) break;
        selected.clear();
        for (auto it = range.first; it != range.second; ++it) {
            const LogRecord& r = m_logRecords[it->second];
            if (r.recordOffset == u32(attributeOffset) && r.attributeOffset != 0 && r.undoLength > minUndo) {
                selected.push_back(&r);
            }
        }
        if (selected.empty()) {
            lastEnd = -1;
            continue;
        }
        // Log order decides among copies with the same place: the later one wins.
        std::stable_sort(selected.begin(), selected.end(), [](const LogRecord* a, const LogRecord* b) {
            if (a->recordOffset != b->recordOffset) return a->recordOffset < b->recordOffset;
            return a->attributeOffset < b->attributeOffset;
        });
        i64 end = -1;
        for (const LogRecord* r : selected) {
            // The undo data must lie inside the stored record, and the copy inside the record.
            const u64 source = u64(kLogRecordHeaderSize) + r->undoOffset;
            if (source + r->undoLength > r->length) continue;
            const u64 target = u64(r->recordOffset) + r->attributeOffset;
            if (target >= kImageSize) continue;
            const u32 length = u32(std::min<u64>(r->undoLength, kImageSize - target));
            std::memcpy(record + target, r->bytes + source, length);
            end = i64(target + length);
        }
        if (end < 0) {
            lastEnd = -1;
            continue;
        }
        if (u64(attributeOffset) + 8 <= kImageSize) WriteLE32(record + attributeOffset + 4, u32(end - attributeOffset));
        lastEnd = end;
    }
    if (lastEnd >= 0 && lastEnd + 4 <= i64(kImageSize)) WriteLE32(record + lastEnd, kAttrEnd);
}

void CNTFSLogFileParser::CollectDataAttributes(const u8* record, std::vector<std::vector<u8>>& out) {
    for (u32 n = 0; n < kMaxDataAttributes; ++n) {
        const i32 offset = FindRecordAttributeOffset(record, kImageSize, kAttrData, n);
        if (offset < 0) break;
        const u8* a = record + offset;
        if (AttrNameLength(a) != 0) continue;
        const u32 length = std::min<u32>(AttrLength(a), kImageSize - u32(offset));
        out.emplace_back(a, a + length);
    }
}

bool CNTFSLogFileParser::ApplyToRecord(const u8* record, CNTFSFileProperties* properties, u64 key,
                                       const NTFSExtensionRecordList* extensions) {
    if (record == nullptr || properties == nullptr) return false;
    const RecordImage* image = ChooseImage(record, properties, key);
    if (image == nullptr &&
        (properties->GetAttributes() == kAttrDirectory || (properties->GetState() & kStateDeleted) == 0)) {
        return false;
    }
    m_compressed = (properties->GetAttributes() & kAttrCompressed) != 0;

    std::vector<u8> work(size_t(kMaxWorkRecords) * kImageSize, 0);
    std::memcpy(work.data(), record, kImageSize);
    LayLogOverRecord(work.data());
    std::vector<std::vector<u8>> attributes;
    CollectDataAttributes(work.data(), attributes);

    u32 used = 1;
    if (extensions != nullptr && m_device != nullptr) {
        const u32 sectorSize = m_device->GetSectorSize();
        const u32 sectors = sectorSize != 0 ? (kImageSize + sectorSize - 1) / sectorSize : 0;
        std::vector<u8> buffer(size_t(sectors) * sectorSize);
        for (const NTFSExtensionRecordLocation& e : *extensions) {
            if (used >= kMaxWorkRecords || sectors == 0) break;
            if (e.sector == ~u64(0)) continue;
            if (m_device->Read(buffer.data(), e.sector, sectors) == 0) continue;
            u8* slot = work.data() + size_t(used) * kImageSize;
            std::memcpy(slot, buffer.data(), kImageSize);
            ApplyFileRecordFixups(slot, kImageSize);
            LayLogOverRecord(slot);
            CollectDataAttributes(slot, attributes);
            ++used;
        }
    }

    // Each extent's mapping pairs count their clusters from 0, so each is decoded on its own
    // and the extents follow one another.
    std::unique_ptr<CNoneResidentNTFSDataRunList> runs;
    for (const std::vector<u8>& a : attributes) {
        if (a.size() < 64 || !AttrIsNonResident(a.data())) continue;
        u32 pairsLength = 0;
        const u8* pairs = AttrMappingPairs(a.data(), &pairsLength);
        if (pairs == nullptr) continue;
        pairsLength = std::min<u32>(pairsLength, u32(a.size()) - AttrMappingPairsOffset(a.data()));
        if (!runs) runs = std::make_unique<CNoneResidentNTFSDataRunList>();
        DecodeMappingPairsInto(*runs, pairs, pairsLength);
    }
    if (runs && runs->GetExtentCount() == 0) runs.reset();

    if (image == nullptr) {
        if (runs) {
            u64 clusters = 0;
            for (size_t i = 0; i < runs->GetExtentCount(); ++i) {
                const u64 n = runs->GetExtent(i).length;
                clusters = clusters > ~u64(0) - n ? ~u64(0) : clusters + n;
            }
            const u64 bytesPerCluster = u64(m_sectorsPerCluster) * m_sectorSize;
            const u64 size = clusters > ~u64(0) / bytesPerCluster ? ~u64(0) : clusters * bytesPerCluster;
            properties->SetSize(size);
            properties->SetRunList(runs.get());
        }
        return true;
    }
    if (runs) {
        properties->SetRunList(runs.get());
    } else {
        std::unique_ptr<IDataRunList> imageRuns(image->properties->CreateDataRunList());
        properties->SetRunList(imageRuns.get());
    }
    properties->SetSize(image->properties->GetSize());
    return true;
}
