#pragma once
// The disk road of the device-layer fuzzing: disk images whose partition tables (MBR, EBR chains,
// GPT header and entries) and partition boot sectors are damaged on purpose, enumerated through
// the real disk table (MORVENDA_DISKS), the dynamic-disk check, the partition-table analysis and
// the volume collection. Header-only: the harness and the smoke tests share it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "bench/fuzz/devFuzzCommon.h"
#include "devices/DiskDevice.h"
#include "devices/PartitionTable.h"
#include "devices/VolumeEnumerator.h"
#include "devices/VolumeRecord.h"

namespace devfuzz {

enum class SectorRole { kMbr, kGptHeader, kGptEntries, kBoot };

struct HotSector {
    u64 sector;
    SectorRole role;
};

// The bytes of a GPT type GUID given as its 36-character text.
inline void GuidTextToBytes(const char* text, u8 out[16]) {
    auto hex = [](char c) -> u32 {
        if (c >= '0' && c <= '9') return u32(c - '0');
        if (c >= 'A' && c <= 'F') return u32(c - 'A' + 10);
        return u32(c - 'a' + 10);
    };
    auto value = [&](const char* p, int digits) {
        u64 v = 0;
        for (int i = 0; i < digits; ++i) v = (v << 4) | hex(p[i]);
        return v;
    };
    WriteLE32(out, static_cast<u32>(value(text, 8)));
    WriteLE16(out + 4, static_cast<u16>(value(text + 9, 4)));
    WriteLE16(out + 6, static_cast<u16>(value(text + 14, 4)));
    out[8] = static_cast<u8>(value(text + 19, 2));
    out[9] = static_cast<u8>(value(text + 21, 2));
    for (int i = 0; i < 6; ++i) out[10 + i] = static_cast<u8>(value(text + 24 + 2 * i, 2));
}

inline void AddHot(std::vector<HotSector>& hot, u64 sector, SectorRole role, u64 total) {
    if (sector >= total) return;
    for (const HotSector& h : hot) {
        if (h.sector == sector) return;
    }
    hot.push_back({sector, role});
}

// The sectors worth damaging in an intact image: the MBR, every EBR of the chain, the GPT header
// and entry array (and their backups), and the first sectors of every partition found.
inline std::vector<HotSector> FindHotSectors(const std::vector<u8>& image, u32 ss) {
    std::vector<HotSector> hot;
    const u64 total = image.size() / ss;
    if (total == 0 || ss < 512) return hot;
    const u8* mbr = image.data();
    AddHot(hot, 0, SectorRole::kMbr, total);
    auto addBoot = [&](u64 first) {
        AddHot(hot, first, SectorRole::kBoot, total);
        AddHot(hot, first + 1, SectorRole::kBoot, total);  // FSInfo
        AddHot(hot, first + 6, SectorRole::kBoot, total);  // FAT32 backup boot sector
    };
    if (mbr[446 + 4] == 0xEE) {
        for (u64 s = 1; s < 34; ++s) AddHot(hot, s, s == 1 ? SectorRole::kGptHeader : SectorRole::kGptEntries, total);
        if (total > 34) {
            for (u64 s = total - 33; s < total; ++s) {
                AddHot(hot, s, s == total - 1 ? SectorRole::kGptHeader : SectorRole::kGptEntries, total);
            }
        }
        for (u32 i = 0; i < 128 && (2 * ss + (i + 1) * 128) <= image.size(); ++i) {
            const u8* e = image.data() + 2 * ss + i * 128;
            bool used = false;
            for (int b = 0; b < 16; ++b) used = used || e[b] != 0;
            if (used) addBoot(ReadLE64(e + 32));
        }
        return hot;
    }
    u64 extendedBase = 0;
    for (u32 i = 0; i < 4; ++i) {
        const u8* e = mbr + 446 + 16 * i;
        const u8 type = e[4];
        const u64 start = ReadLE32(e + 8);
        if (type == 0) continue;
        if (type == 0x05 || type == 0x0F) {
            extendedBase = start;
        } else {
            addBoot(start);
        }
    }
    std::set<u64> seen;
    for (u64 table = extendedBase; table != 0 && table < total && seen.insert(table).second && seen.size() < 64;) {
        AddHot(hot, table, SectorRole::kMbr, total);
        const u8* s = image.data() + table * ss;
        u64 next = 0;
        for (u32 i = 0; i < 4; ++i) {
            const u8* e = s + 446 + 16 * i;
            if (e[4] == 0) continue;
            if (e[4] == 0x05 || e[4] == 0x0F) {
                next = extendedBase + ReadLE32(e + 8);
            } else {
                addBoot(table + ReadLE32(e + 8));
            }
        }
        table = next;
    }
    return hot;
}

// Boot-sector fields the FAT, exFAT and NTFS readers take sizes and places from.
struct BootField {
    u32 offset;
    u32 width;
};
inline const std::vector<BootField>& BootFields() {
    static const std::vector<BootField> fields = {
        {3, 8},  {11, 2}, {13, 1}, {14, 2}, {16, 1}, {17, 2}, {19, 2}, {21, 1}, {22, 2}, {28, 4},
        {32, 4}, {36, 4}, {40, 8}, {44, 4}, {48, 8}, {56, 8}, {64, 1}, {68, 1}, {72, 8}, {80, 4},
        {84, 4}, {88, 4}, {92, 4}, {96, 4}, {100, 4}, {108, 1}, {109, 1}, {110, 1}, {510, 2}};
    return fields;
}

inline u8 RandomMbrType(Rng& rng) {
    static const u8 kTypes[] = {0x00, 0x01, 0x04, 0x05, 0x06, 0x07, 0x0B, 0x0C, 0x0E, 0x0F, 0x42, 0xEE, 0x83, 0x85};
    return rng.OneIn(8) ? static_cast<u8>(rng.Next()) : kTypes[rng.Below(sizeof kTypes)];
}

// One damage of a sector in its role. `sector` is the sector's own number, `total` the disk's
// size and `tables` the other table sectors (so that chains can be made to loop or cross).
inline void DamageSector(Rng& rng, u8* data, u32 ss, u64 sector, SectorRole role, u64 total,
                         const std::vector<u64>& tables) {
    if (rng.OneIn(4)) {
        MutateBytes(rng, data, ss);
        return;
    }
    switch (role) {
        case SectorRole::kMbr: {
            u8* e = data + 446 + 16 * rng.Below(4);
            switch (rng.Below(6)) {
                case 0: e[4] = RandomMbrType(rng); break;
                case 1: e[0] = rng.OneIn(2) ? 0x80 : static_cast<u8>(rng.Next()); break;
                case 2: {
                    // A start that points back at a table already read, at itself, or off the disk.
                    u64 v;
                    const u64 pick = rng.Below(4);
                    if (pick == 0 && !tables.empty()) v = tables[rng.Below(tables.size())];
                    else if (pick == 1) v = total - rng.Below(3);
                    else if (pick == 2) v = sector - (sector ? rng.Below(sector + 1) : 0);
                    else v = InterestingValue(rng, ReadLE32(e + 8), 4);
                    WriteLE32(e + 8, static_cast<u32>(v));
                    break;
                }
                case 3: WriteLE32(e + 12, static_cast<u32>(InterestingValue(rng, ReadLE32(e + 12), 4))); break;
                case 4: std::memset(e, 0, 16); break;
                default: data[510 + rng.Below(2)] ^= 0xFF; break;
            }
            break;
        }
        case SectorRole::kGptHeader: {
            static const BootField kHeader[] = {{0, 8}, {12, 4}, {16, 4}, {24, 8}, {32, 8}, {40, 8},
                                                {48, 8}, {72, 8}, {80, 4}, {84, 4}, {88, 4}};
            const BootField f = kHeader[rng.Below(sizeof kHeader / sizeof kHeader[0])];
            WriteField(data + f.offset, f.width, InterestingValue(rng, ReadField(data + f.offset, f.width), f.width));
            break;
        }
        case SectorRole::kGptEntries: {
            const u32 perSector = ss / 128;
            u8* e = data + 128 * rng.Below(perSector);
            switch (rng.Below(4)) {
                case 0: {
                    const GptTypeRow* rows = GptPartitionTypeTable();
                    if (rng.OneIn(6)) {
                        std::memset(e, 0, 16);
                    } else {
                        GuidTextToBytes(rows[rng.Below(kGptTypeCount)].guidText, e);
                    }
                    break;
                }
                case 1: WriteLE64(e + 32, InterestingValue(rng, ReadLE64(e + 32), 8)); break;
                case 2: WriteLE64(e + 40, InterestingValue(rng, ReadLE64(e + 40), 8)); break;
                default: {
                    // The span turned round or stretched off the disk.
                    const u64 first = ReadLE64(e + 32);
                    WriteLE64(e + 40, rng.OneIn(2) && first ? first - 1 : total + rng.Below(1u << 20));
                    break;
                }
            }
            break;
        }
        case SectorRole::kBoot: {
            const auto& fields = BootFields();
            const BootField f = fields[rng.Below(fields.size())];
            if (f.offset + f.width <= ss) {
                WriteField(data + f.offset, f.width,
                           InterestingValue(rng, ReadField(data + f.offset, f.width), f.width));
            }
            break;
        }
    }
}

// Sectors of a made-up disk that are held in memory; the rest of a larger disk reads as zeros.
constexpr u64 kSyntheticHeldSectors = 8192;

// A disk with a table made up from the generator: an MBR with primary and extended entries
// and an EBR chain (which may loop or run off the disk), or a protective MBR with a GPT entry
// array. Partitions start with copies of the given boot sectors, so the analysers see real file
// systems in windows of the wrong size.
inline std::vector<u8> MakeSyntheticDisk(Rng& rng, u32 ss, u64 totalSectors, const std::vector<std::vector<u8>>& boots,
                                         std::vector<HotSector>* hotOut) {
    const u64 held = std::min<u64>(totalSectors, kSyntheticHeldSectors);
    std::vector<u8> disk(static_cast<size_t>(held) * ss, 0);
    std::vector<HotSector> hot;
    auto sectorAt = [&](u64 s) { return disk.data() + s * ss; };
    auto placeBoot = [&](u64 first) {
        if (first >= held || boots.empty()) return;
        const std::vector<u8>& b = boots[rng.Below(boots.size())];
        const size_t n = std::min<size_t>(b.size(), static_cast<size_t>(held - first) * ss);
        std::memcpy(sectorAt(first), b.data(), n);
        AddHot(hot, first, SectorRole::kBoot, totalSectors);
    };
    auto randomStart = [&]() -> u64 { return rng.OneIn(8) ? InterestingValue(rng, totalSectors, 4) : 1 + rng.Below(totalSectors); };
    u8* mbr = sectorAt(0);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    AddHot(hot, 0, SectorRole::kMbr, totalSectors);
    if (rng.OneIn(3)) {
        // GPT behind a protective MBR.
        u8* e = mbr + 446;
        e[4] = 0xEE;
        WriteLE32(e + 8, 1);
        WriteLE32(e + 12, static_cast<u32>(std::min<u64>(totalSectors - 1, 0xFFFFFFFFu)));
        u8* h = sectorAt(1);
        std::memcpy(h, "EFI PART", 8);
        WriteLE32(h + 8, 0x00010000);
        WriteLE32(h + 12, 92);
        WriteLE64(h + 24, 1);
        WriteLE64(h + 32, totalSectors - 1);
        WriteLE64(h + 40, 34);
        WriteLE64(h + 48, totalSectors - 34);
        WriteLE64(h + 72, 2);
        WriteLE32(h + 80, 128);
        WriteLE32(h + 84, 128);
        AddHot(hot, 1, SectorRole::kGptHeader, totalSectors);
        const u32 count = 1 + static_cast<u32>(rng.Below(8));
        const GptTypeRow* rows = GptPartitionTypeTable();
        for (u32 i = 0; i < count; ++i) {
            const u32 slot = static_cast<u32>(rng.Below(128));
            u8* entry = disk.data() + 2 * ss + slot * 128;
            GuidTextToBytes(rows[rng.OneIn(3) ? 4 : rng.Below(kGptTypeCount)].guidText, entry);
            for (int b = 16; b < 32; ++b) entry[b] = static_cast<u8>(rng.Next());
            const u64 first = rng.OneIn(3) ? 34 + rng.Below(totalSectors) : randomStart();
            const u64 last = rng.OneIn(6) ? InterestingValue(rng, first, 8) : first + rng.Below(totalSectors);
            WriteLE64(entry + 32, first);
            WriteLE64(entry + 40, last);
            AddHot(hot, 2 + (slot * 128) / ss, SectorRole::kGptEntries, held);
            placeBoot(first);
        }
    } else {
        u64 extended = 0;
        for (u32 i = 0; i < 4; ++i) {
            if (rng.OneIn(3)) continue;
            u8* e = mbr + 446 + 16 * i;
            e[0] = rng.OneIn(4) ? 0x80 : 0;
            e[4] = extended == 0 && rng.OneIn(3) ? 0x0F : RandomMbrType(rng);
            const u64 start = randomStart();
            WriteLE32(e + 8, static_cast<u32>(start));
            WriteLE32(e + 12, static_cast<u32>(rng.OneIn(4) ? InterestingValue(rng, totalSectors, 4)
                                                            : rng.Below(totalSectors)));
            if ((e[4] == 0x05 || e[4] == 0x0F) && start < totalSectors && extended == 0) {
                extended = start;
            } else {
                placeBoot(start);
            }
        }
        // The chain of extended boot records: each holds a logical partition and a link.
        std::vector<u64> tables;
        u64 table = extended;
        for (u32 n = 0; table != 0 && table < held && n < 6; ++n) {
            tables.push_back(table);
            u8* s = sectorAt(table);
            s[510] = 0x55;
            s[511] = 0xAA;
            AddHot(hot, table, SectorRole::kMbr, totalSectors);
            u8* logical = s + 446;
            logical[4] = RandomMbrType(rng);
            const u64 rel = 1 + rng.Below(64);
            WriteLE32(logical + 8, static_cast<u32>(rel));
            WriteLE32(logical + 12, static_cast<u32>(rng.Below(totalSectors)));
            placeBoot(table + rel);
            u64 next = 0;
            const u64 pick = rng.Below(6);
            if (pick == 0) break;                                       // end of chain
            if (pick == 1) next = tables[rng.Below(tables.size())];     // back to a table read before
            else next = table + 64 + rng.Below(totalSectors / 4 + 1);   // onwards, maybe off the disk
            u8* link = s + 446 + 16;
            link[4] = rng.OneIn(2) ? 0x05 : 0x0F;
            WriteLE32(link + 8, static_cast<u32>(next - extended));
            WriteLE32(link + 12, static_cast<u32>(rng.Below(totalSectors)));
            table = next;
        }
    }
    if (hotOut) *hotOut = hot;
    return disk;
}

// A disk image as a file that the platform's disk table opens; table sectors are damaged in
// place and restored afterwards, so a large seed image is written only once.
class WorkDisk {
public:
    // `totalSectors` larger than the bytes given makes the file that long, the rest unwritten.
    WorkDisk(std::string path, std::vector<u8> bytes, u32 sectorSize, u64 totalSectors = 0)
        : m_path(std::move(path)), m_bytes(std::move(bytes)), m_ss(sectorSize) {
        Write(0, m_bytes.data(), m_bytes.size(), true);
        m_total = std::max<u64>(totalSectors, m_bytes.size() / m_ss);
        if (m_total * m_ss > m_bytes.size() && ::truncate(m_path.c_str(), off_t(m_total * m_ss)) != 0) std::abort();
    }
    ~WorkDisk() { ::unlink(m_path.c_str()); }
    const std::string& Path() const { return m_path; }
    u64 TotalSectors() const { return m_total; }

    // Writes a damaged copy of `sector`; Restore puts every damaged sector back.
    void Damage(u64 sector, const u8* data) {
        m_damaged.insert(sector);
        Write(sector * m_ss, data, m_ss, false);
    }
    void Restore() {
        for (u64 s : m_damaged) Write(s * m_ss, m_bytes.data() + s * m_ss, m_ss, false);
        m_damaged.clear();
    }
    const u8* Original(u64 sector) const { return m_bytes.data() + sector * m_ss; }

private:
    void Write(u64 at, const void* data, size_t n, bool truncate) {
        const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | (truncate ? O_TRUNC : 0), 0600);
        if (fd < 0) std::abort();
        size_t done = 0;
        while (done < n) {
            const ssize_t w = ::pwrite(fd, static_cast<const u8*>(data) + done, n - done, off_t(at + done));
            if (w <= 0) std::abort();
            done += size_t(w);
        }
        ::close(fd);
    }

    std::string m_path;
    std::vector<u8> m_bytes;
    u32 m_ss;
    u64 m_total = 0;
    std::set<u64> m_damaged;
};

// Damages 1 to `maxRounds` hot sectors of the work disk.
inline void DamageHotSectors(Rng& rng, WorkDisk& disk, const std::vector<HotSector>& hot, u32 ss, u32 maxRounds) {
    if (hot.empty()) return;
    std::vector<u64> tables;
    for (const HotSector& h : hot) {
        if (h.role == SectorRole::kMbr) tables.push_back(h.sector);
    }
    std::vector<std::pair<u64, std::vector<u8>>> edits;
    const u32 rounds = 1 + static_cast<u32>(rng.Below(maxRounds));
    for (u32 r = 0; r < rounds; ++r) {
        const HotSector& h = hot[rng.Below(hot.size())];
        auto it = std::find_if(edits.begin(), edits.end(), [&](const auto& e) { return e.first == h.sector; });
        if (it == edits.end()) {
            edits.emplace_back(h.sector, std::vector<u8>(disk.Original(h.sector), disk.Original(h.sector) + ss));
            it = edits.end() - 1;
        }
        DamageSector(rng, it->second.data(), ss, h.sector, h.role, disk.TotalSectors(), tables);
    }
    for (const auto& e : edits) disk.Damage(e.first, e.second.data());
}

// What one enumeration of the damaged disks gave, and any listed volume that breaks a rule every
// consumer relies on (an extent off its disk, a device that cannot read its own first sector).
struct EnumerationOutcome {
    size_t volumes = 0;
    size_t areas = 0;
    std::vector<std::string> violations;
};

inline void VisitRecord(const VolumeRecord* r, const std::vector<MountedVolumeInfo>& mounted, EnumerationOutcome& out) {
    if (!r) return;
    const u32 n = r->ExtentCount();
    for (u32 i = 0; i < n; ++i) {
        const VolumeExtent& e = r->extents[i];
        const u64 total = e.disk->GetTotalSectors();
        if (e.sectorCount == 0 || e.firstSector >= total || e.sectorCount > total - e.firstSector) {
            out.violations.push_back("extent " + std::to_string(e.firstSector) + "+" + std::to_string(e.sectorCount) +
                                     " outside a disk of " + std::to_string(total));
        }
    }
    if (r->device) {
        const u32 ss = r->device->GetSectorSize();
        const u64 sectors = r->device->GetTotalSectors();
        if (ss >= 512 && ss <= 65536 && sectors > 0) {
            std::vector<u8> buffer(ss);
            if (r->device->Read(buffer.data(), 0, 1) != 1) out.violations.push_back("first sector unreadable");
            if (r->device->Read(buffer.data(), sectors - 1, 1) != 1) out.violations.push_back("last sector unreadable");
            r->device->Read(buffer.data(), sectors, 1);  // one past the end: refused or zeros, never more
        }
    }
    u8 stored[kVolumeRecordSize];
    StoreVolumeRecord(*r, stored);
    VolumeRecord loaded;
    LoadVolumeRecord(stored, sizeof stored, &loaded);
    std::string text;
    float used = 0;
    std::string mountPoint;
    GetVolumeSizeText(r, mounted, &text, &used, &mountPoint);
}

// Runs the real enumeration over the disks of `disksVariable` on the calling thread.
inline EnumerationOutcome EnumerateDisks(const std::string& disksVariable) {
    ::setenv("MORVENDA_DISKS", disksVariable.c_str(), 1);
    EnumerationOutcome out;
    EnumCollectPartition enumeration;
    enumeration.EnumThread();
    out.volumes = enumeration.Volumes().size();
    out.areas = enumeration.UnpartitionedAreas().size();
    for (const VolumeRecord* r : enumeration.Volumes()) VisitRecord(r, enumeration.MountedVolumes(), out);
    for (const VolumeRecord* r : enumeration.UnpartitionedAreas()) VisitRecord(r, enumeration.MountedVolumes(), out);
    return out;
}

}  // namespace devfuzz
