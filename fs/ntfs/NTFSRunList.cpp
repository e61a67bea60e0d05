#include "fs/ntfs/NTFSRunList.h"

#include <algorithm>
#include <cstring>

#include "devices/StorageDevice.h"
#include "engine/RSData.h"
#include "fs/ntfs/NTFSDBR.h"
#include "fs/ntfs/NTFSFileRecord.h"
#include "fs/ntfs/NTFSRecord.h"

namespace {
u64 SatAdd(u64 a, u64 b) { return a > ~u64(0) - b ? ~u64(0) : a + b; }

u64 ReadField(const u8* p, u32 width) {
    u64 v = 0;
    for (u32 i = 0; i < width; ++i) v |= u64(p[i]) << (8 * i);
    return v;
}

i64 SignExtend(u64 v, u32 width) {
    if (width == 0 || width >= 8) return i64(v);
    const u64 sign = u64(1) << (8 * width - 1);
    if (v & sign) v |= ~((sign << 1) - 1);
    return i64(v);
}
}  // namespace

bool ValidateMappingPairs(const u8* bytes, u32 length) {
    if (bytes == nullptr) return false;
    u32 pos = 0;
    for (;;) {
        if (pos >= length) return false;
        const u8 h = bytes[pos];
        if (h == 0) return true;
        const u32 lw = h & 0x0F, ow = h >> 4;
        if (lw > 4 || ow > 4) return false;
        const u32 next = pos + 1 + lw + ow;
        if (next >= length) return false;
        pos = next;
    }
}

void DecodeNTFSDataRuns(const u8* bytes, u32 length, NTFSRunList& list) {
    if (bytes == nullptr) return;
    u32 pos = 0;
    u64 lcn = 0, vcn = 0;
    while (pos < length && bytes[pos] != 0) {
        const u8 h = bytes[pos];
        const u32 lw = h & 0x0F, ow = h >> 4;
        if (lw > 8 || ow > 8 || u64(pos) + 1 + lw + ow > length) break;
        const u64 count = ReadField(bytes + pos + 1, lw);
        const i64 offset = SignExtend(ReadField(bytes + pos + 1 + lw, ow), ow);
        NTFSRun run;
        run.vcn = vcn;
        run.count = count;
        if (ow == 0) {
            run.lcn = kSparseLCN;
        } else {
            lcn += u64(offset);  // two's-complement wrap, as the format means it
            run.lcn = lcn;
        }
        list.push_back(run);
        vcn += count;
        pos += 1 + lw + ow;
    }
}

bool DecodeRunsChecked(NTFSRunList& list, const u8* bytes, u32 length) {
    list.clear();
    if (!ValidateMappingPairs(bytes, length)) return false;
    DecodeNTFSDataRuns(bytes, length, list);
    return true;
}

bool DecodeRunsAtVCN(NTFSRunList& list, const u8* bytes, u32 length, u64 firstVCN) {
    if (!ValidateMappingPairs(bytes, length)) return false;
    NTFSRunList decoded;
    DecodeNTFSDataRuns(bytes, length, decoded);
    for (NTFSRun& r : decoded) {
        r.vcn += firstVCN;
        list.push_back(r);
    }
    return true;
}

u64 SumMappingPairsLengths(const u8* bytes, u32 length) {
    if (bytes == nullptr) return 0;
    u64 total = 0;
    u32 pos = 0;
    while (pos < length && bytes[pos] != 0) {
        const u32 lw = bytes[pos] & 0x0F, ow = bytes[pos] >> 4;
        if (lw > 8 || ow > 8 || u64(pos) + 1 + lw + ow > length) break;
        total = SatAdd(total, ReadField(bytes + pos + 1, lw));
        pos += 1 + lw + ow;
    }
    return total;
}

u64 TotalRunClusters(const NTFSRunList& list) {
    u64 total = 0;
    for (const NTFSRun& r : list) total = SatAdd(total, r.count);
    return total;
}

u64 LookupLCN(const NTFSRunList& list, u64 vcn) {
    for (const NTFSRun& r : list) {
        if (vcn >= r.vcn && vcn - r.vcn < r.count) {
            // A position inside a hole has no cluster.
            return r.lcn == kSparseLCN ? kSparseLCN : r.lcn + (vcn - r.vcn);
        }
    }
    return kSparseLCN;
}

bool ContainsLCN(const NTFSRunList& list, u64 lcn) {
    for (const NTFSRun& r : list) {
        if (r.lcn != kSparseLCN && lcn >= r.lcn && lcn - r.lcn < r.count) return true;
    }
    return false;
}

u64 LookupVCN(const NTFSRunList& list, u64 lcn) {
    for (const NTFSRun& r : list) {
        if (r.lcn != kSparseLCN && lcn >= r.lcn && lcn - r.lcn < r.count) return r.vcn + (lcn - r.lcn);
    }
    return kSparseLCN;
}

bool RunListsEqual(const NTFSRunList& a, const NTFSRunList& b) { return a == b; }

void CopyRunList(const NTFSRunList& from, NTFSRunList& to) {
    if (&from == &to) return;
    to.insert(to.end(), from.begin(), from.end());
}

void SortRunsByVCN(NTFSRunList& list) {
    if (list.size() < 2) return;
    std::stable_sort(list.begin(), list.end(), [](const NTFSRun& a, const NTFSRun& b) { return a.vcn < b.vcn; });
}

bool ClipRunsToVolume(NTFSRunList& list, u64 volumeClusters) {
    if (volumeClusters == 0) return false;
    bool changed = false;
    for (NTFSRun& r : list) {
        if (r.lcn == kSparseLCN) continue;
        if (r.lcn >= volumeClusters) {
            r.lcn = kSparseLCN;
            r.count = std::min(r.count, volumeClusters);
            changed = true;
        } else if (r.count > volumeClusters - r.lcn) {
            r.count = volumeClusters - r.lcn;
            changed = true;
        }
    }
    return changed;
}

bool DecodeAttributeRuns(const u8* a, u64* dataSize, u64* firstVCN, NTFSRunList& list) {
    if (a == nullptr || !AttrIsNonResident(a) || AttrNameLength(a) != 0) return false;
    if (!IsValidAttributeHeader(a, AttrLength(a)) || AttrLength(a) == 0) return false;
    const u64 vcn = AttrFirstVCN(a);
    u32 pairsLength = 0;
    const u8* pairs = AttrMappingPairs(a, &pairsLength);
    u64 size = 0;
    if (pairs != nullptr && pairs[0] != 0) {
        if (!DecodeRunsAtVCN(list, pairs, pairsLength, vcn)) return false;
        size = AttrDataSize(a);
    }
    if (dataSize) *dataSize = size;
    if (firstVCN) *firstVCN = vcn;
    return true;
}

bool CollectUnnamedDataRuns(CNTFSFileRecord& record, NTFSRunList& list, bool checkLengths, u64* dataSize) {
    if (!record.HasRecord()) return false;
    // Every extent is a distinct attribute; the walk is bounded by the attributes that exist.
    for (u32 i = 0;; ++i) {
        const u8* a = record.FindAttribute(ntfs::kAttrData, i, nullptr, nullptr);
        if (a == nullptr) return true;
        if (AttrLength(a) < 1) return false;
        if (AttrNameLength(a) != 0) continue;
        if (!AttrIsNonResident(a)) return false;
        if (checkLengths && (AttrFlags(a) & ntfs::kAttrFlagCompressed) == 0) {
            u32 pairsLength = 0;
            const u8* pairs = AttrMappingPairs(a, &pairsLength);
            const u64 first = AttrFirstVCN(a), last = AttrLastVCN(a);
            if (last < first || SumMappingPairsLengths(pairs, pairsLength) != last - first + 1) return false;
        }
        u64 size = 0, vcn = 0;
        if (!DecodeAttributeRuns(a, &size, &vcn, list)) return false;
        if (vcn == 0 && dataSize) *dataSize = size;
    }
}

bool CollectUnnamedDataRunsRaw(const u8* bytes, u32 length, NTFSRunList& list, bool checkLengths, u64* dataSize) {
    CNTFSFileRecord record;
    if (!record.Init(bytes, length, ~u64(0), nullptr, nullptr)) return false;
    return CollectUnnamedDataRuns(record, list, checkLengths, dataSize);
}

u64 ComputeRecordSector(u64 recordNumber, u32 sectorsPerCluster, u64 partitionStart, const NTFSRunList& mftRuns,
                        u8 sectorsPerRecord) {
    if (sectorsPerCluster == 0) return kSparseLCN;
    const u64 s = recordNumber * sectorsPerRecord;
    const u64 lcn = LookupLCN(mftRuns, s / sectorsPerCluster);
    if (lcn == kSparseLCN) return kSparseLCN;
    return partitionStart + lcn * sectorsPerCluster + s % sectorsPerCluster;
}

bool ReadNonResidentAttributeData(const u8* pairs, u32 length, u8* buffer, u64 capacity, u64 partitionStart,
                                  u32 sectorsPerCluster, IStorageDevice* device) {
    if (pairs == nullptr || buffer == nullptr || device == nullptr || sectorsPerCluster == 0) return false;
    const u64 sectorSize = device->GetSectorSize();
    if (sectorSize == 0) return false;
    NTFSRunList runs;
    DecodeNTFSDataRuns(pairs, length, runs);
    u64 done = 0;  // bytes of the buffer the earlier runs cover
    for (const NTFSRun& r : runs) {
        const u64 sectors = r.count * sectorsPerCluster;
        if (r.count != 0 && sectors / r.count != sectorsPerCluster) return true;  // absurd length
        if (sectors > (capacity - done) / sectorSize) return true;
        const u64 bytes = sectors * sectorSize;
        if (r.lcn == kSparseLCN) {
            std::memset(buffer + done, 0, bytes);
        } else if (sectors != 0) {
            device->Read(buffer + done, partitionStart + r.lcn * sectorsPerCluster, sectors);
        }
        done += bytes;
    }
    return true;
}

bool NTFSMFTLocation::LoadFromRecord(CNTFSFileRecord& record, u64 sector) {
    const u32 spc = GetSectorsPerClusterFromMFTRecord(record);
    if (spc == 0) return false;
    m_sectorsPerCluster = spc;
    m_runs.clear();
    u64 size = 0;
    CollectUnnamedDataRuns(record, m_runs, false, &size);
    m_startSector = sector;
    return !m_runs.empty();
}

NTFSMFTLocation* NTFSMFTLocation::CreateFromRecord(CNTFSFileRecord& record, u64 sector) {
    NTFSMFTLocation* location = new NTFSMFTLocation();
    if (!location->LoadFromRecord(record, sector) || location->GetLCNOfFirstCluster() == kSparseLCN) {
        delete location;
        return nullptr;
    }
    return location;
}

void NTFSMFTLocation::Save(IRSData* stream) const {
    stream->WriteU64(m_startSector);
    stream->WriteU8(m_sectorsPerRecord);
    // One byte, encoded as the boot sector encodes it, so that forms saved before clusters
    // above 64 KiB were read still load.
    stream->WriteU8(EncodeNtfsSectorsPerCluster(m_sectorsPerCluster));
    stream->WriteU64(m_runs.size());
    for (const NTFSRun& r : m_runs) {
        stream->WriteU64(r.lcn);
        stream->WriteU64(r.count);
        stream->WriteU64(r.vcn);
    }
}

void NTFSMFTLocation::Load(IRSData* stream) {
    m_runs.clear();
    m_startSector = stream->ReadU64();
    m_sectorsPerRecord = stream->ReadU8();
    m_sectorsPerCluster = DecodeNtfsSectorsPerCluster(stream->ReadU8());
    const u64 count = stream->ReadU64();
    if (count > ~u64(0) / 24) throw CRSException(kRSEndOfData);
    stream->CheckReadable(count * 24);
    m_runs.reserve(size_t(count));
    for (u64 i = 0; i < count; ++i) {
        NTFSRun r;
        r.lcn = stream->ReadU64();
        r.count = stream->ReadU64();
        r.vcn = stream->ReadU64();
        m_runs.push_back(r);
    }
}
