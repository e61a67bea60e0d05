#pragma once
// Writes the disks of a dynamic disk group for the tests: each disk an MBR disk (a partition of
// type 0x42 over the disk, the PRIVHEAD at sector 6) or a GPT disk (an "LDM metadata partition"
// whose last sector holds the PRIVHEAD and an "LDM data partition"), a database area with a
// TOCBLOCK, a VMDB and the VBLK records of the group's disks, volumes, components and partitions,
// and every volume's file system laid out over its members (striped by 64 KiB columns, RAID-5
// with rotating parity, mirrored on two members). The volume contents are file-system images
// made by the real tools (the fixtures). Files are written sparse. Header-only.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Types.h"

namespace ldmtest {

constexpr u64 kSector = 512;
constexpr u64 kStripe = 128;  // sectors: 64 KiB
constexpr u64 kConfigSectors = 2048;
constexpr u64 kMbrDataStart = 63;
constexpr u64 kGptMetaStart = 40;
constexpr u64 kGptDataStart = kGptMetaStart + kConfigSectors;

enum class Layout { kSimple, kSpanned, kStriped, kMirror, kRaid5 };

struct Member {
    u32 disk;
    u64 start;   // sectors from the disk's data start
    u64 length;  // sectors
};

struct Volume {
    std::string name;
    Layout layout;
    std::vector<u8> content;      // the file system, padded by the writer
    std::vector<Member> members;  // spanned in volume order; striped and RAID-5 in column order;
                                  // mirror: the two copies
    u8 partitionType = 0x07;
    std::string driveHint;        // written with the record's hint flag when not empty
};

struct Disk {
    std::string path;
    bool gpt = false;
    u64 totalSectors = 0;
    bool privheadAtEnd = false;  // a PRIVHEAD copy in the last sector too (MBR disks)
};

inline std::string DiskGuid(size_t i) {
    char text[40];
    std::snprintf(text, sizeof text, "5a3c9d10-71e2-4b5f-9c0e-%012zx", 0x100 + i);
    return text;
}
constexpr const char* kGroupName = "MorvendaDg0";
constexpr const char* kGroupGuid = "0b7d4e2a-6c11-4f83-a5d9-3e2f10c4b7a1";

inline u32 Crc32(const u8* p, size_t n) {
    u32 crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

inline void PutBE(u8* p, u64 v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<u8>(v);
}

// Record data: numbers and strings with their length byte, fixed bytes as given.
struct Data {
    std::vector<u8> b;
    Data& Num(u64 v) {
        u8 tmp[8];
        int n = 0;
        do {
            tmp[n++] = static_cast<u8>(v);
            v >>= 8;
        } while (v);
        b.push_back(static_cast<u8>(n));
        for (int i = n - 1; i >= 0; --i) b.push_back(tmp[i]);
        return *this;
    }
    Data& Str(const std::string& s) {
        b.push_back(static_cast<u8>(s.size()));
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Data& Zero(size_t n) {
        b.insert(b.end(), n, 0);
        return *this;
    }
    Data& Byte(u8 v) {
        b.push_back(v);
        return *this;
    }
    Data& BE(u64 v, int bytes) {
        const size_t at = b.size();
        b.resize(at + static_cast<size_t>(bytes));
        PutBE(b.data() + at, v, bytes);
        return *this;
    }
    Data& Raw(const void* p, size_t n) {
        const u8* s = static_cast<const u8*>(p);
        b.insert(b.end(), s, s + n);
        return *this;
    }
};

// The 128-byte slots of one record, split into fragments when its data passes 104 bytes.
inline std::vector<std::vector<u8>> Fragments(u32 group, u32& sequence, u8 type, u8 flags, const Data& data) {
    const size_t length = data.b.size();
    const size_t count = length <= 104 ? 1 : 1 + (length - 104 + 111) / 112;
    std::vector<std::vector<u8>> out;
    for (size_t i = 0; i < count; ++i) {
        std::vector<u8> s(128, 0);
        std::memcpy(s.data(), "VBLK", 4);
        PutBE(s.data() + 4, sequence++, 4);
        PutBE(s.data() + 8, group, 4);
        PutBE(s.data() + 12, i, 2);
        PutBE(s.data() + 14, count, 2);
        if (i == 0) {
            s[18] = flags;
            s[19] = type;
            PutBE(s.data() + 20, length, 4);
            std::memcpy(s.data() + 24, data.b.data(), std::min<size_t>(104, length));
        } else {
            const size_t from = 104 + (i - 1) * 112;
            std::memcpy(s.data() + 16, data.b.data() + from, std::min<size_t>(112, length - from));
        }
        out.push_back(s);
    }
    return out;
}

class GroupWriter {
public:
    // sectorSize: the disks' own; member starts and lengths are in it, the records in 512 bytes.
    GroupWriter(std::vector<Disk> disks, std::vector<Volume> volumes, u64 sectorSize = kSector)
        : m_disks(std::move(disks)), m_volumes(std::move(volumes)), m_ss(sectorSize) {}

    // Writes every disk; false when a file cannot be written.
    bool Write() {
        for (Disk& d : m_disks) {
            const int fd = ::open(d.path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
            if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(d.totalSectors * m_ss)) != 0) return false;
            m_fds.push_back(fd);
        }
        bool ok = WritePartitioning() && WriteDatabases();
        for (const Volume& v : m_volumes) ok = ok && LayOut(v);
        for (int fd : m_fds) ::close(fd);
        m_fds.clear();
        return ok;
    }

    // Sectors of the volume's content as the volume device shows it.
    static u64 VolumeSectors(const Volume& v) {
        u64 sum = 0;
        for (const Member& m : v.members) sum += m.length;
        switch (v.layout) {
            case Layout::kMirror: return v.members.empty() ? 0 : v.members[0].length;
            case Layout::kRaid5: return sum / v.members.size() * (v.members.size() - 1);
            default: return sum;
        }
    }

private:
    u64 DataStart(size_t disk) const { return m_disks[disk].gpt ? kGptDataStart : kMbrDataStart; }
    u64 ConfigStart(size_t disk) const {
        return m_disks[disk].gpt ? kGptMetaStart : m_disks[disk].totalSectors - kConfigSectors;
    }
    u64 PrivheadSector(size_t disk) const { return m_disks[disk].gpt ? kGptDataStart - 1 : 6; }

    bool Put(size_t disk, u64 sector, const u8* data, size_t bytes) {
        // Sectors of zeros are left as holes.
        for (size_t off = 0; off < bytes; off += kSector) {
            const size_t n = std::min<size_t>(kSector, bytes - off);
            if (std::all_of(data + off, data + off + n, [](u8 c) { return c == 0; })) continue;
            const off_t at = static_cast<off_t>((sector * m_ss) + off);
            if (::pwrite(m_fds[disk], data + off, n, at) != static_cast<ssize_t>(n)) return false;
        }
        return true;
    }

    bool WritePartitioning() {
        for (size_t i = 0; i < m_disks.size(); ++i) {
            const Disk& d = m_disks[i];
            std::vector<u8> mbr(m_ss, 0);
            u8* e = mbr.data() + 446;
            e[4] = d.gpt ? 0xEE : 0x42;
            WriteLE32(e + 8, d.gpt ? 1 : static_cast<u32>(kMbrDataStart));
            WriteLE32(e + 12, static_cast<u32>(d.totalSectors - (d.gpt ? 1 : kMbrDataStart)));
            mbr[510] = 0x55;
            mbr[511] = 0xAA;
            if (!Put(i, 0, mbr.data(), m_ss)) return false;
            if (d.gpt && !WriteGpt(i)) return false;
        }
        return true;
    }

    bool WriteGpt(size_t disk) {
        const Disk& d = m_disks[disk];
        std::vector<u8> entries(32 * kSector, 0);
        // The LDM metadata and data partition types, as GPT stores them.
        static const u8 kMetaType[16] = {0xAA, 0xC8, 0x08, 0x58, 0x8F, 0x7E, 0xE0, 0x42,
                                         0x85, 0xD2, 0xE1, 0xE9, 0x04, 0x34, 0xCF, 0xB3};
        static const u8 kDataType[16] = {0xA0, 0x60, 0x9B, 0xAF, 0x31, 0x14, 0x62, 0x4F,
                                         0xBC, 0x68, 0x33, 0x11, 0x71, 0x4A, 0x69, 0xAD};
        auto entry = [&](size_t i, u64 first, u64 last, const char* name, const u8* type) {
            u8* e = entries.data() + i * 128;
            std::memcpy(e, type, 16);
            for (int k = 0; k < 16; ++k) e[16 + k] = static_cast<u8>(0x80 + disk * 16 + i * 4 + k);
            WriteLE64(e + 32, first);
            WriteLE64(e + 40, last);
            for (size_t k = 0; name[k]; ++k) WriteLE16(e + 56 + 2 * k, static_cast<u16>(name[k]));
        };
        entry(0, kGptMetaStart, kGptDataStart - 1, "LDM metadata partition", kMetaType);
        entry(1, kGptDataStart, d.totalSectors - 34, "LDM data partition", kDataType);
        const u64 entrySectors = entries.size() / m_ss;
        auto header = [&](u64 self, u64 other, u64 entriesAt) {
            std::vector<u8> h(m_ss, 0);
            std::memcpy(h.data(), "EFI PART", 8);
            WriteLE32(h.data() + 8, 0x00010000);
            WriteLE32(h.data() + 12, 92);
            WriteLE64(h.data() + 24, self);
            WriteLE64(h.data() + 32, other);
            WriteLE64(h.data() + 40, 2 + entrySectors);
            WriteLE64(h.data() + 48, d.totalSectors - 2 - entrySectors);
            for (int k = 0; k < 16; ++k) h[56 + k] = static_cast<u8>(0x40 + disk * 16 + k);  // disk GUID
            WriteLE64(h.data() + 72, entriesAt);
            WriteLE32(h.data() + 80, 128);
            WriteLE32(h.data() + 84, 128);
            WriteLE32(h.data() + 88, Crc32(entries.data(), entries.size()));
            WriteLE32(h.data() + 16, Crc32(h.data(), 92));
            return h;
        };
        const u64 last = d.totalSectors - 1;
        const std::vector<u8> primary = header(1, last, 2);
        const std::vector<u8> backup = header(last, 1, last - entrySectors);
        return Put(disk, 1, primary.data(), m_ss) && Put(disk, 2, entries.data(), entries.size()) &&
               Put(disk, last - entrySectors, entries.data(), entries.size()) && Put(disk, last, backup.data(), m_ss);
    }

    std::vector<u8> PrivHead(size_t disk) const {
        const Disk& d = m_disks[disk];
        std::vector<u8> p(m_ss, 0);
        std::memcpy(p.data(), "PRIVHEAD", 8);
        PutBE(p.data() + 0x08, 1, 4);
        PutBE(p.data() + 0x0C, 2, 2);
        PutBE(p.data() + 0x0E, 12, 2);
        const std::string guid = DiskGuid(disk);
        std::memcpy(p.data() + 0x30, guid.data(), guid.size());
        std::memcpy(p.data() + 0x70, guid.data(), guid.size());  // host id
        std::memcpy(p.data() + 0xB0, kGroupGuid, std::strlen(kGroupGuid));
        std::memcpy(p.data() + 0xF0, kGroupName, std::strlen(kGroupName));
        const u64 dataStart = DataStart(disk);
        const u64 dataSize = (d.gpt ? d.totalSectors - 34 + 1 : ConfigStart(disk)) - dataStart;
        PutBE(p.data() + 0x11B, dataStart, 8);
        PutBE(p.data() + 0x123, dataSize, 8);
        PutBE(p.data() + 0x12B, ConfigStart(disk), 8);
        PutBE(p.data() + 0x133, kConfigSectors, 8);
        PutBE(p.data() + 0x13B, 2, 8);     // TOCBLOCKs
        PutBE(p.data() + 0x143, 1, 8);     // sectors per TOCBLOCK
        PutBE(p.data() + 0x14B, 1, 4);     // configs
        PutBE(p.data() + 0x14F, 1, 4);     // logs
        PutBE(p.data() + 0x153, 1472, 8);  // config size
        PutBE(p.data() + 0x15B, 224, 8);   // log size
        return p;
    }

public:
    struct RecordCounts {
        u32 volumes = 0, components = 0, partitions = 0, disks = 0;
    };
    // The VBLK records of the whole group, the same on every disk.
    std::vector<u8> Records(RecordCounts* counts = nullptr) const {
        RecordCounts tally;
        std::vector<std::vector<u8>> slots;
        u32 sequence = 1;
        u32 group = 1;
        u64 id = 1;
        auto add = [&](u8 type, u8 flags, const Data& data) {
            for (auto& s : Fragments(group++, sequence, type, flags, data)) slots.push_back(std::move(s));
            tally.volumes += type == 0x51;
            tally.components += type == 0x32;
            tally.partitions += type == 0x33;
            tally.disks += type == 0x34;
        };
        const u64 groupId = id++;
        add(0x35, 0, Data().Num(groupId).Str(kGroupName).Str(kGroupGuid).Zero(12));
        std::vector<u64> diskIds;
        for (size_t i = 0; i < m_disks.size(); ++i) {
            diskIds.push_back(id++);
            add(0x34, 0, Data().Num(diskIds.back()).Str("Disk" + std::to_string(i + 1)).Str(DiskGuid(i)).Str("").Zero(8));
        }
        for (const Volume& v : m_volumes) {
            const u64 volumeId = id++;
            const bool raid = v.layout == Layout::kRaid5;
            const size_t components = v.layout == Layout::kMirror ? 2 : 1;
            u8 guid[16];
            for (int k = 0; k < 16; ++k) guid[k] = static_cast<u8>(volumeId * 17 + k);
            Data record =
                Data()
                    .Num(volumeId)
                    .Str(v.name)
                    .Str(raid ? "raid5" : "gen")
                    .Byte(0)
                    .Raw("ACTIVE\0\0\0\0\0\0\0\0", 14)
                    .Byte(raid ? 4 : 3)
                    .Byte(0)
                    .Byte(static_cast<u8>(volumeId))
                    .Zero(3)
                    .Byte(0)
                    .Num(components)
                    .Zero(16)
                    .Num(VolumeSectors(v) * m_ss / kSector)
                    .Zero(4)
                    .Byte(v.partitionType)
                    .Raw(guid, 16);
            if (!v.driveHint.empty()) record.Str(v.driveHint);
            add(0x51, v.driveHint.empty() ? 0 : 0x02, record);
            for (size_t c = 0; c < components; ++c) {
                const u64 componentId = id++;
                std::vector<Member> parts;
                if (v.layout == Layout::kMirror) {
                    parts.push_back(v.members[c]);
                } else {
                    parts = v.members;
                }
                const u8 layout = v.layout == Layout::kStriped ? 1 : raid ? 3 : 2;
                const bool striped = v.layout == Layout::kStriped || raid;
                Data comp;
                comp.Num(componentId).Str(v.name + "-01").Str("ACTIVE").Byte(layout).Zero(4).Num(parts.size()).Zero(16);
                comp.Num(volumeId).Byte(0);
                if (striped) comp.Num(kStripe).Num(parts.size());
                add(0x32, striped ? 0x10 : 0, comp);
                u64 offset = 0;
                for (size_t k = 0; k < parts.size(); ++k) {
                    const Member& m = parts[k];
                    Data part;
                    part.Num(id++).Str("Disk" + std::to_string(m.disk + 1) + "-" + v.name).Zero(12);
                    part.BE(m.start * m_ss / kSector, 8).BE(striped ? 0 : offset * m_ss / kSector, 8);
                    part.Num(m.length * m_ss / kSector).Num(componentId);
                    part.Num(diskIds[m.disk]);
                    if (striped) part.Num(k);
                    add(0x33, striped ? 0x08 : 0, part);
                    if (v.layout == Layout::kSpanned) offset += m.length;
                }
            }
        }
        std::vector<u8> out;
        for (const auto& s : slots) out.insert(out.end(), s.begin(), s.end());
        if (counts) *counts = tally;
        return out;
    }

private:
    bool WriteDatabases() {
        RecordCounts counts;
        const std::vector<u8> records = Records(&counts);
        for (size_t i = 0; i < m_disks.size(); ++i) {
            const std::vector<u8> head = PrivHead(i);
            const u64 config = ConfigStart(i);
            if (!Put(i, PrivheadSector(i), head.data(), m_ss)) return false;
            if (m_disks[i].privheadAtEnd && !Put(i, m_disks[i].totalSectors - 1, head.data(), m_ss)) return false;
            // The area begins with a copy of the PRIVHEAD, then its two TOCBLOCKs.
            if (!m_disks[i].gpt && !Put(i, config, head.data(), m_ss)) return false;
            std::vector<u8> toc(m_ss, 0);
            std::memcpy(toc.data(), "TOCBLOCK", 8);
            PutBE(toc.data() + 8, 1, 4);
            std::memcpy(toc.data() + 0x24, "config", 6);
            PutBE(toc.data() + 0x2E, 17, 8);
            PutBE(toc.data() + 0x36, 1472, 8);
            std::memcpy(toc.data() + 0x46, "log", 3);
            PutBE(toc.data() + 0x50, 1489, 8);
            PutBE(toc.data() + 0x58, 224, 8);
            if (!Put(i, config + 1, toc.data(), m_ss) || !Put(i, config + 2, toc.data(), m_ss)) return false;
            std::vector<u8> vmdb(m_ss, 0);
            std::memcpy(vmdb.data(), "VMDB", 4);
            PutBE(vmdb.data() + 4, 4 + records.size() / 128, 4);  // last VBLK
            PutBE(vmdb.data() + 8, 128, 4);                       // VBLK size
            PutBE(vmdb.data() + 12, 512, 4);                      // first VBLK offset
            PutBE(vmdb.data() + 16, 1, 2);
            PutBE(vmdb.data() + 18, 4, 2);
            PutBE(vmdb.data() + 20, 10, 2);
            std::memcpy(vmdb.data() + 22, kGroupName, std::strlen(kGroupName));
            std::memcpy(vmdb.data() + 53, kGroupGuid, std::strlen(kGroupGuid));
            PutBE(vmdb.data() + 117, 1, 8);  // committed sequence
            PutBE(vmdb.data() + 133, counts.volumes, 4);
            PutBE(vmdb.data() + 137, counts.components, 4);
            PutBE(vmdb.data() + 141, counts.partitions, 4);
            PutBE(vmdb.data() + 145, counts.disks, 4);
            if (!Put(i, config + 17, vmdb.data(), m_ss) || !Put(i, config + 18, records.data(), records.size())) {
                return false;
            }
        }
        return true;
    }

    // Writes `count` volume sectors at member-relative sector `at` of member m.
    bool PutMember(const Member& m, u64 at, const u8* data, u64 count) {
        return Put(m.disk, DataStart(m.disk) + m.start + at, data, count * m_ss);
    }

    bool LayOut(const Volume& v) {
        std::vector<u8> content = v.content;
        content.resize(VolumeSectors(v) * m_ss, 0);
        const u8* c = content.data();
        const u64 total = VolumeSectors(v);
        const u64 stripe = kStripe * kSector / m_ss;  // 64 KiB
        switch (v.layout) {
            case Layout::kSimple:
            case Layout::kSpanned: {
                u64 offset = 0;
                for (const Member& m : v.members) {
                    if (!PutMember(m, 0, c + offset * m_ss, m.length)) return false;
                    offset += m.length;
                }
                return true;
            }
            case Layout::kMirror:
                return PutMember(v.members[0], 0, c, total) && PutMember(v.members[1], 0, c, total);
            case Layout::kStriped: {
                const u64 n = v.members.size();
                for (u64 s = 0; s < total; s += stripe) {
                    const u64 row = s / (stripe * n);
                    const u64 column = (s / stripe) % n;
                    if (!PutMember(v.members[column], row * stripe, c + s * m_ss, stripe)) return false;
                }
                return true;
            }
            case Layout::kRaid5: {
                const u64 n = v.members.size();
                std::vector<u8> parity(stripe * m_ss);
                for (u64 row = 0; row * (n - 1) * stripe < total; ++row) {
                    const u64 parityColumn = (n - 1) - (row % n);
                    std::fill(parity.begin(), parity.end(), 0);
                    for (u64 d = 0; d < n - 1; ++d) {
                        const u64 column = (d + parityColumn + 1) % n;
                        const u8* data = c + (row * (n - 1) + d) * stripe * m_ss;
                        for (size_t k = 0; k < parity.size(); ++k) parity[k] ^= data[k];
                        if (!PutMember(v.members[column], row * stripe, data, stripe)) return false;
                    }
                    if (!PutMember(v.members[parityColumn], row * stripe, parity.data(), stripe)) return false;
                }
                return true;
            }
        }
        return false;
    }

    std::vector<Disk> m_disks;
    std::vector<Volume> m_volumes;
    u64 m_ss;
    std::vector<int> m_fds;
};

// The group the tests use: three disks (MBR, GPT, MBR) holding five volumes, each one of the
// fixtures' file systems.
struct StandardVolume {
    const char* name;
    const char* fixture;
    Layout layout;
    const char* typeName;
    const char* fsName;
    const char* label;
    u8 partitionType;
    std::vector<Member> members;
    u64 fixtureStart = 0;    // the file system's sectors in the fixture image (0, 0: all of it)
    u64 fixtureSectors = 0;
    const char* driveHint = "";  // the letter Windows gave the volume, "" for none
};

// The bytes of a standard volume's file system; empty when the fixture cannot be read.
inline std::vector<u8> StandardContent(const StandardVolume& s, const std::string& fixtures) {
    std::vector<u8> out;
    FILE* f = std::fopen((fixtures + "/" + s.fixture + ".img").c_str(), "rb");
    if (!f) return out;
    u8 buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
    std::fclose(f);
    if (s.fixtureSectors != 0) {
        const size_t from = std::min(out.size(), static_cast<size_t>(s.fixtureStart * kSector));
        const size_t to = std::min(out.size(), static_cast<size_t>((s.fixtureStart + s.fixtureSectors) * kSector));
        out = std::vector<u8>(out.begin() + static_cast<long>(from), out.begin() + static_cast<long>(to));
    }
    return out;
}

inline std::vector<StandardVolume> StandardVolumes() {
    return {
        {"Basic", "mbr-disk", Layout::kSimple, "SIMPLE", "FAT16", "MBR_FAT16", 0x06, {{0, 0, 24576}}, 104448, 24576, "E:"},
        {"Span", "fat16-basic", Layout::kSpanned, "SPANNED", "FAT16", "FIX_FAT16", 0x06,
         {{0, 24576, 40000}, {1, 0, 25536}}},
        {"Stripe", "fat32-basic", Layout::kStriped, "STRIPPED", "FAT32", "FIX_FAT32", 0x0B,
         {{1, 25536, 40960}, {2, 0, 40960}}},
        {"Mirror", "exfat-basic", Layout::kMirror, "MIRROR", "EXFAT", "FIX EXFAT", 0x07,
         {{0, 64576, 65536}, {2, 40960, 65536}}},
        {"Parity", "ntfs-basic", Layout::kRaid5, "RAID5", "NTFS", "Fixtures NTFS", 0x07,
         {{0, 130112, 65536}, {1, 66496, 65536}, {2, 106496, 65536}}},
    };
}

// Writes the standard group's disks into `folder` from the fixture images in `fixtures`; the
// disk paths, or none when a file could not be written.
inline std::vector<std::string> WriteStandardGroup(const std::string& folder, const std::string& fixtures) {
    std::vector<Disk> disks = {{folder + "/dyn0.img", false, 200704, true},
                               {folder + "/dyn1.img", true, 137216, false},
                               {folder + "/dyn2.img", false, 180224, false}};
    std::vector<Volume> volumes;
    for (const StandardVolume& s : StandardVolumes()) {
        Volume v;
        v.name = s.name;
        v.layout = s.layout;
        v.members = s.members;
        v.partitionType = s.partitionType;
        v.driveHint = s.driveHint;
        v.content = StandardContent(s, fixtures);
        if (v.content.empty()) return {};
        volumes.push_back(std::move(v));
    }
    GroupWriter writer(disks, volumes);
    if (!writer.Write()) return {};
    std::vector<std::string> out;
    for (const Disk& d : disks) out.push_back(d.path);
    return out;
}

}  // namespace ldmtest
