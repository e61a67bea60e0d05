#include "devices/LdmDatabase.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "devices/DiskDevice.h"

namespace {

constexpr char kPrivHeadMagic[] = "PRIVHEAD";
constexpr char kVblkMagic[] = "VBLK";
constexpr char kGptMagic[] = "EFI PART";
constexpr u32 kPrivHeadGuidOffset = 0x30;
constexpr u32 kPrivHeadGuidMax = 0xF0 - 0x30;
constexpr u32 kPrivHeadGroupOffset = 0xF0;
constexpr u32 kPrivHeadLogicalStartOffset = 0x11B;
constexpr u32 kPrivHeadConfigStartOffset = 0x12B;
constexpr u64 kPrivHeadSectorMbr = 6;
constexpr u64 kPrivHeadSectorAlt = 2081;
constexpr u32 kReadBufferMin = 4096;
constexpr u32 kGptEntryMin = 128;
constexpr u32 kGptNameOffset = 56;
constexpr u32 kGptNameCompare = 43;  // all but the high byte of the last character
constexpr u32 kMaxNumberBytes = 64;
constexpr u32 kVolumeNameMax = kLdmVolumeNameSize - 1;
constexpr u32 kDiskGuidMax = kDiskGuidTextSize - 1;
constexpr u32 kDriveHintMax = 19;
constexpr u32 kDroppedTextMax = 259;

u32 BE32(const u8* p) { return (u32(p[0]) << 24) | (u32(p[1]) << 16) | (u32(p[2]) << 8) | p[3]; }
u16 BE16(const u8* p) { return static_cast<u16>((p[0] << 8) | p[1]); }
u64 BE64(const u8* p) { return (u64(BE32(p)) << 32) | BE32(p + 4); }

std::string BoundedText(const u8* p, size_t max) {
    const size_t n = strnlen(reinterpret_cast<const char*>(p), max);
    return std::string(reinterpret_cast<const char*>(p), n);
}

// Reads the fields of one joined record; nothing is read outside it.
class VblkCursor {
public:
    explicit VblkCursor(const std::vector<u8>& record) : m_r(record), m_pos(kVblkHeaderSize) {}

    u8 Peek() const { return m_pos < m_r.size() ? m_r[m_pos] : 0; }
    u8 Byte() {
        const u8 v = m_pos < m_r.size() ? m_r[m_pos] : 0;
        Skip(1);
        return v;
    }
    void Skip(size_t n) { m_pos = std::min(m_r.size(), m_pos + n); }
    // Fixed-width bytes; what lies past the record reads as zeros.
    void Bytes(u8* out, size_t n) {
        for (size_t i = 0; i < n; ++i) out[i] = Byte();
    }
    u64 U64BE() {
        u8 b[8];
        Bytes(b, sizeof b);
        return BE64(b);
    }
    // A length byte and that many bytes, most significant first; all ones when the length is
    // not 1 to 64 or runs past the record (only the length byte is consumed then).
    u64 Number() {
        const u32 n = Byte();
        if (n < 1 || n > kMaxNumberBytes || n > Left()) return ~0ull;
        u64 v = 0;
        for (u32 i = 0; i < n; ++i) v = (v << 8) | m_r[m_pos + i];
        Skip(n);
        return v;
    }
    // A length byte and that many bytes of text, of which at most `max` are kept.
    std::string String(size_t max) {
        const u32 n = Byte();
        if (n < 1 || n > Left()) return "";
        std::string s(reinterpret_cast<const char*>(m_r.data() + m_pos), n);
        Skip(n);
        s = s.substr(0, s.find('\0'));
        if (s.size() > max) s.resize(max);
        return s;
    }

private:
    size_t Left() const { return m_r.size() - m_pos; }

    const std::vector<u8>& m_r;
    size_t m_pos;
};

u64 ToDiskSectors(u64 value512, u32 sectorSize) {
    if (sectorSize == 0 || sectorSize == 512) return value512;
    return static_cast<u64>(static_cast<unsigned __int128>(value512) * 512 / sectorSize);
}

bool ReadPrivHeadAt(IStorageDevice* disk, u64 sector, PrivHead& out) {
    const u32 ss = disk->GetSectorSize();
    std::vector<u8> buffer(std::max(kReadBufferMin, ss), 0);
    if (!disk->Read(buffer.data(), sector, 1)) return false;
    return ParsePrivHead(buffer.data(), out);
}

bool FindPrivHeadInGpt(IStorageDevice* disk, PrivHead& out) {
    const u32 ss = disk->GetSectorSize();
    std::vector<u8> buffer(std::max(kReadBufferMin, ss), 0);
    if (!disk->Read(buffer.data(), 1, 1) || std::memcmp(buffer.data(), kGptMagic, 8) != 0) return false;
    const u32 count = ReadLE32(buffer.data() + 80);
    const u32 entrySize = ReadLE32(buffer.data() + 84);
    u64 lba = ReadLE64(buffer.data() + 72);
    // An entry must hold its name, and a sector at least one entry.
    if (count == 0 || count > kGptMaxEntries || entrySize < kGptEntryMin || entrySize > ss) return false;
    u8 name[kGptNameCompare + 1] = {};
    const char* text = "LDM metadata partition";
    for (size_t i = 0; i < 22; ++i) WriteLE16(name + 2 * i, static_cast<u16>(text[i]));
    for (u32 left = count; left > 0; ++lba) {
        std::fill(buffer.begin(), buffer.end(), 0);
        if (!disk->Read(buffer.data(), lba, 1)) return false;
        const u32 take = std::min(ss / entrySize, left);
        for (u32 i = 0; i < take; ++i) {
            const u8* e = buffer.data() + i * entrySize;
            const u64 first = ReadLE64(e + 32);
            const u64 last = ReadLE64(e + 40);
            if (first != 0 && std::memcmp(e + kGptNameOffset, name, kGptNameCompare) == 0 &&
                ReadPrivHeadAt(disk, last, out)) {
                return true;
            }
        }
        left -= take;
    }
    return false;
}

void ParseVolume(const std::vector<u8>& r, LdmVolumeRecord& v) {
    VblkCursor c(r);
    v.id = c.Number();
    v.name = c.String(kVolumeNameMax);
    c.String(kVolumeNameMax);  // volume type text
    if (c.Peek() == 0) {
        c.Skip(1);
    } else {
        c.String(kDroppedTextMax);
    }
    c.Skip(14);  // state text
    v.kind = c.Byte();
    c.Skip(1);
    c.Byte();
    c.Skip(3);
    c.Byte();
    v.componentCount = c.Number();
    c.Skip(16);
    v.size = c.Number();
    c.Skip(4);
    v.partitionType = c.Byte();
    c.Bytes(v.guid, sizeof v.guid);
    if (r[18] == kVblkFlagDriveHint) v.driveHint = c.String(kDriveHintMax);
}

void ParseComponent(const std::vector<u8>& r, LdmComponentRecord& k) {
    VblkCursor c(r);
    k.id = c.Number();
    k.name = c.String(kVolumeNameMax);
    c.String(kVolumeNameMax);  // state text
    k.layout = c.Byte();
    c.Skip(4);
    k.childCount = c.Number();
    c.Skip(16);
    k.volumeId = c.Number();
    c.Skip(1);
    if (r[18] == kVblkFlagStripe) {
        c.Number();  // stripe size: the devices use a fixed stripe
        c.Number();  // column count
    }
}

void ParsePartition(const std::vector<u8>& r, LdmPartitionRecord& p) {
    VblkCursor c(r);
    p.id = c.Number();
    p.name = c.String(kVolumeNameMax);
    c.Skip(12);
    p.start = c.U64BE();
    p.volumeOffset = c.U64BE();
    p.size = c.Number();
    p.componentId = c.Number();
    p.diskId = c.Number();
    if (r[18] == kVblkFlagColumn || r[18] == kVblkFlagColumnAlt) p.column = c.Number();
}

void ParseDisk(const std::vector<u8>& r, LdmDiskRecord& d) {
    VblkCursor c(r);
    d.id = c.Number();
    d.name = c.String(kVolumeNameMax);
    if (r[19] == kVblkDisk) {
        d.guid = c.String(kDiskGuidMax);
        c.String(kVolumeNameMax);  // alternate name
    } else {
        // The GUID as 16 raw bytes: kept in the text field as they are, so it matches no
        // PRIVHEAD text.
        u8 raw[16];
        c.Bytes(raw, sizeof raw);
        d.guid.assign(reinterpret_cast<const char*>(raw), sizeof raw);
        d.guid = d.guid.substr(0, d.guid.find('\0'));
    }
}

}  // namespace

bool ParsePrivHead(const u8* sector, PrivHead& out) {
    if (std::memcmp(sector, kPrivHeadMagic, 8) != 0) return false;
    out.valid = true;
    out.diskGuid = BoundedText(sector + kPrivHeadGuidOffset, kPrivHeadGuidMax);
    out.diskGroupName = BoundedText(sector + kPrivHeadGroupOffset, kDiskGroupNameSize);
    out.logicalDiskStart = BE64(sector + kPrivHeadLogicalStartOffset);
    out.configStart = BE64(sector + kPrivHeadConfigStartOffset);
    return true;
}

bool ReadPrivHead(IStorageDevice* disk, PrivHead& out) {
    out = PrivHead();
    if (disk == nullptr) return false;
    const u64 total = disk->GetTotalSectors();
    if (total > 0 && ReadPrivHeadAt(disk, total - 1, out)) return true;
    if (ReadPrivHeadAt(disk, kPrivHeadSectorMbr, out)) return true;
    if (ReadPrivHeadAt(disk, kPrivHeadSectorAlt, out)) return true;
    return FindPrivHeadInGpt(disk, out);
}

std::vector<std::vector<u8>> ParseVblkRecords(const u8* area, size_t size) {
    std::vector<const u8*> firsts;
    std::set<u32> groups;
    std::map<u32, std::vector<const u8*>> continuations;  // by group, in the order met
    const size_t slots = size / kVblkSize;
    for (size_t i = 0; i < slots; ++i) {
        const u8* s = area + i * kVblkSize;
        if (std::memcmp(s, kVblkMagic, 4) != 0) continue;
        const u32 group = BE32(s + 8);
        const u16 index = BE16(s + 12);
        const u16 count = BE16(s + 14);
        if (group == 0) continue;
        if (count >= 1 && index == 0) {
            // A group names one record: a second first fragment of it could only claim the same
            // continuations again.
            if (groups.insert(group).second) firsts.push_back(s);
        } else if (count >= 2 && index >= 1) {
            continuations[group].push_back(s);
        }
    }
    std::vector<std::vector<u8>> records;
    for (const u8* s : firsts) {
        const u64 length = BE32(s + 20);
        const u16 count = BE16(s + 14);
        // A record's length cannot claim more than its fragments hold, and nothing is allocated
        // for fragments the area does not have.
        const u64 capacity = kVblkFirstData + u64(count - 1) * kVblkFragmentData;
        if (length > capacity) continue;
        const auto it = continuations.find(BE32(s + 8));
        const bool joined = count > 1 && length > kVblkFirstData;
        const u64 needed = joined ? (length - kVblkFirstData + kVblkFragmentData - 1) / kVblkFragmentData : 0;
        if (joined && (it == continuations.end() || it->second.size() < needed)) continue;
        std::vector<u8> r(length + kVblkHeaderSize, 0);
        std::memcpy(r.data(), s, std::min<size_t>(r.size(), kVblkSize));
        if (joined) {
            u64 missing = length - kVblkFirstData;
            u32 expected = 1;
            size_t to = kVblkSize;
            for (const u8* c : it->second) {
                if (missing == 0) break;
                if (BE16(c + 12) != expected) continue;
                const size_t n = std::min<u64>(missing, kVblkFragmentData);
                std::memcpy(r.data() + to, c + 16, n);
                to += n;
                missing -= n;
                ++expected;
            }
            // Fragments out of order, or fewer than the record counts, leave it out.
            if (missing != 0 || expected != count) continue;
        }
        records.push_back(std::move(r));
    }
    return records;
}

LdmDatabase BuildDatabase(const std::vector<std::vector<u8>>& records, u32 sectorSize) {
    LdmDatabase db;
    for (const std::vector<u8>& r : records) {
        if (r.size() < kVblkHeaderSize) continue;
        switch (r[19]) {
            case kVblkVolume: {
                LdmVolumeRecord v;
                ParseVolume(r, v);
                v.size = ToDiskSectors(v.size, sectorSize);
                db.volumes.push_back(std::move(v));
                break;
            }
            case kVblkComponent: {
                LdmComponentRecord k;
                ParseComponent(r, k);
                db.components.push_back(std::move(k));
                break;
            }
            case kVblkPartition: {
                LdmPartitionRecord p;
                ParsePartition(r, p);
                p.size = ToDiskSectors(p.size, sectorSize);
                p.start = ToDiskSectors(p.start, sectorSize);
                db.partitions.push_back(std::move(p));
                break;
            }
            case kVblkDisk:
            case kVblkDiskGuid: {
                LdmDiskRecord d;
                ParseDisk(r, d);
                db.disks.push_back(std::move(d));
                break;
            }
            default:
                break;
        }
    }
    // Links by index: a record met twice, or ids that repeat, give longer lists, never a loop.
    std::map<u64, i32> diskById;
    for (size_t i = db.disks.size(); i-- > 0;) diskById[db.disks[i].id] = static_cast<i32>(i);
    std::multimap<u64, size_t> partitionsByComponent;
    for (size_t i = 0; i < db.partitions.size(); ++i) {
        LdmPartitionRecord& p = db.partitions[i];
        const auto d = diskById.find(p.diskId);
        p.disk = d == diskById.end() ? -1 : d->second;
        partitionsByComponent.emplace(p.componentId, i);
    }
    std::multimap<u64, size_t> componentsByVolume;
    for (size_t i = 0; i < db.components.size(); ++i) {
        LdmComponentRecord& k = db.components[i];
        const auto range = partitionsByComponent.equal_range(k.id);
        for (auto it = range.first; it != range.second; ++it) k.partitions.insert(k.partitions.begin(), it->second);
        componentsByVolume.emplace(k.volumeId, i);
    }
    for (LdmVolumeRecord& v : db.volumes) {
        const auto range = componentsByVolume.equal_range(v.id);
        for (auto it = range.first; it != range.second; ++it) v.components.insert(v.components.begin(), it->second);
    }
    return db;
}

bool IsVolumeComplete(const LdmDatabase& db, const LdmVolumeRecord& v) {
    if ((v.kind != kLdmVolumeGeneric && v.kind != kLdmVolumeRaid5) || v.components.empty()) return false;
    for (size_t k : v.components) {
        const LdmComponentRecord& c = db.components[k];
        if (c.layout < kLdmLayoutStriped || c.layout > kLdmLayoutRaid5 || c.partitions.empty()) return false;
        for (size_t p : c.partitions) {
            if (db.partitions[p].disk < 0) return false;
        }
    }
    return true;
}

CDiskDevice* LdmDatabaseReader::FindDiskDevice(const std::string& guid, PrivHead* privhead) const {
    for (CDiskDevice* d : m_disks) {
        PrivHead head;
        if (d->IsDynamicDisk() && ReadPrivHead(d, head) && head.diskGuid == guid) {
            if (privhead) *privhead = head;
            return d;
        }
    }
    return nullptr;
}

void LdmDatabaseReader::CollectVolumes(const std::vector<CDiskDevice*>& disks, std::vector<DynamicVolumeRecord>& out) {
    m_disks.clear();
    for (CDiskDevice* d : disks) {
        if (d) m_disks.push_back(d);
    }
    for (CDiskDevice* d : m_disks) {
        m_current = d;
        ReadDiskDatabase(d, out);
    }
    m_current = nullptr;
}

void LdmDatabaseReader::ReadDiskDatabase(CDiskDevice* disk, std::vector<DynamicVolumeRecord>& out) {
    PrivHead head;
    if (!ReadPrivHead(disk, head)) return;
    const u64 total = disk->GetTotalSectors();
    const u32 ss = disk->GetSectorSize();
    if (ss == 0) return;
    u64 n = kLdmDatabaseMaxSectors;
    if (total >= head.configStart + 2) n = std::min<u64>(total - head.configStart - 2, kLdmDatabaseMaxSectors);
    if (n == 0) return;
    std::vector<u8> area(n * ss, 0);
    if (!disk->Read(area.data(), head.configStart, n)) return;
    const LdmDatabase db = BuildDatabase(ParseVblkRecords(area.data(), area.size()), ss);
    MakeVolumes(*this, db, out);
}
