#pragma once
// The NTFS road for the fuzzing harness and its smoke test: an in-memory volume, a mutator that
// knows where the structures of a clean NTFS image lie (boot sector, MFT records with their
// fixups and attributes, run lists, attribute lists, journal pages, compressed clusters), and one
// pass over the whole road: volume analyser, quick search into the real tree builder, recovery of
// the quick tree, then a second search whose every found file is recovered on its own. Output is
// bounded per file and per pass so that a mutated size cannot fill the disk.
// Header-only so that both the harness and the tests can use it without another library.
#include "support/TreeStubs.h"
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "devices/StorageDevice.h"
#include "engine/DirectoryTree.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileRecoverCallback.h"
#include "engine/FileRecoverer.h"
#include "engine/FileSystemNode.h"
#include "engine/HeadlessSinks.h"
#include "engine/PartitionTree.h"
#include "engine/Progress.h"
#include "engine/RecoveryFilter.h"
#include "fs/ntfs/NTFSQuickSearch.h"
#include "fs/ntfs/NTFSVolume.h"
#include "platform/Types.h"

namespace ntfsfuzz {

// A volume held in memory; reads past its end fail.
class BufferDevice : public IStorageDevice {
public:
    BufferDevice(const std::vector<u8>& bytes, u32 sectorSize) : m_bytes(bytes), m_sectorSize(sectorSize) {}
    u32 Read(void* buffer, u64 first, u64 count) override {
        const u64 total = GetTotalSectors();
        if (first >= total || count > total - first) return 0;
        std::memcpy(buffer, m_bytes.data() + first * m_sectorSize, size_t(count * m_sectorSize));
        return 1;
    }
    u64 GetTotalSectors() override { return m_bytes.size() / m_sectorSize; }
    u32 GetSectorSize() override { return m_sectorSize; }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }

private:
    const std::vector<u8>& m_bytes;
    u32 m_sectorSize;
};

// ---------------------------------------------------------------------------------------------
// Where the structures of the clean image lie.

struct Range {
    size_t offset = 0;
    size_t length = 0;
};

struct AttributeSpot {
    size_t offset = 0;  // from the record's start
    u32 type = 0;
    u32 length = 0;
    bool nonResident = false;
    Range runs;   // non-resident: the run list, from the record's start
    Range value;  // resident: the value, from the record's start
};

struct RecordSpot {
    size_t offset = 0;  // in the image
    u32 size = 0;
    u16 usaOffset = 0;
    u16 usaCount = 0;
    std::vector<AttributeSpot> attributes;
};

struct ImageMap {
    u32 sectorSize = 512;
    u32 clusterBytes = 4096;
    u32 recordSize = 1024;
    std::vector<RecordSpot> records;
    std::vector<size_t> logPages;        // 4096-byte journal pages ("RCRD"/"RSTR")
    std::vector<Range> compressedData;   // clusters of compressed $DATA streams
    std::vector<size_t> attributeLists;  // indexes into records holding an $ATTRIBUTE_LIST
};

inline bool Within(size_t offset, size_t length, size_t limit) { return offset <= limit && length <= limit - offset; }

// Decodes a run list well enough to find the clusters of the clean image's compressed streams.
inline void AddRunRanges(const u8* p, size_t length, const ImageMap& map, size_t imageBytes, std::vector<Range>& out) {
    i64 lcn = 0;
    size_t i = 0;
    for (int guard = 0; guard < 512 && i < length && p[i] != 0; ++guard) {
        const u8 head = p[i];
        const u32 lenBytes = head & 0x0F, offBytes = head >> 4;
        if (lenBytes == 0 || lenBytes > 8 || offBytes > 8 || i + 1 + lenBytes + offBytes > length) return;
        u64 count = 0;
        for (u32 b = 0; b < lenBytes; ++b) count |= u64(p[i + 1 + b]) << (8 * b);
        if (offBytes != 0) {
            i64 delta = 0;
            for (u32 b = 0; b < offBytes; ++b) delta |= i64(u64(p[i + 1 + lenBytes + b]) << (8 * b));
            if (p[i + lenBytes + offBytes] & 0x80) delta |= i64(~u64(0) << (8 * offBytes));
            lcn += delta;
            const u64 start = u64(lcn) * map.clusterBytes, bytes = count * map.clusterBytes;
            if (lcn >= 0 && Within(size_t(start), size_t(bytes), imageBytes)) out.push_back({size_t(start), size_t(bytes)});
        }
        i += 1 + lenBytes + offBytes;
    }
}

inline ImageMap MapImage(const std::vector<u8>& image, u32 sectorSize) {
    ImageMap map;
    map.sectorSize = sectorSize;
    if (image.size() < 512) return map;
    const u8* boot = image.data();
    const u32 bps = ReadLE16(boot + 0x0B);
    const u32 spc = boot[0x0D];
    if (bps != 0 && spc != 0) map.clusterBytes = bps * spc;
    const i8 encoded = i8(boot[0x40]);
    map.recordSize = encoded < 0 ? (1u << std::min(-encoded, 16)) : u32(encoded) * map.clusterBytes;
    if (map.recordSize < 512 || map.recordSize > 65536) map.recordSize = 1024;

    for (size_t off = 0; off + map.recordSize <= image.size(); off += map.recordSize) {
        const u8* r = image.data() + off;
        if (std::memcmp(r, "FILE", 4) != 0) continue;
        RecordSpot spot;
        spot.offset = off;
        spot.size = map.recordSize;
        spot.usaOffset = ReadLE16(r + 4);
        spot.usaCount = ReadLE16(r + 6);
        // The clean records' attributes, read through a fixed-up copy.
        std::vector<u8> rec(r, r + map.recordSize);
        if (Within(spot.usaOffset, size_t(spot.usaCount) * 2, rec.size()) && spot.usaCount > 1) {
            for (u32 s = 1; s < spot.usaCount && s * 512 <= rec.size(); ++s) {
                std::memcpy(&rec[s * 512 - 2], &rec[spot.usaOffset + 2 * s], 2);
            }
        }
        size_t a = ReadLE16(rec.data() + 0x14);
        for (int guard = 0; guard < 64 && a + 16 <= rec.size(); ++guard) {
            const u32 type = ReadLE32(&rec[a]);
            const u32 length = ReadLE32(&rec[a + 4]);
            if (type == 0xFFFFFFFF || length < 16 || !Within(a, length, rec.size())) break;
            AttributeSpot at;
            at.offset = a;
            at.type = type;
            at.length = length;
            at.nonResident = rec[a + 8] != 0;
            if (at.nonResident && length >= 0x40) {
                const u16 runOffset = ReadLE16(&rec[a + 0x20]);
                if (runOffset < length) at.runs = {a + runOffset, length - runOffset};
                if (type == 0x80 && ReadLE16(&rec[a + 0x22]) != 0 && runOffset < length) {
                    AddRunRanges(&rec[a + runOffset], length - runOffset, map, image.size(), map.compressedData);
                }
            } else if (!at.nonResident && length >= 0x18) {
                const u16 valueOffset = ReadLE16(&rec[a + 0x14]);
                const u32 valueLength = ReadLE32(&rec[a + 0x10]);
                if (Within(valueOffset, valueLength, length)) at.value = {a + valueOffset, valueLength};
            }
            if (type == 0x20) map.attributeLists.push_back(map.records.size());
            spot.attributes.push_back(at);
            a += length;
        }
        map.records.push_back(std::move(spot));
    }
    for (size_t off = 0; off + 4096 <= image.size(); off += 4096) {
        const u8* p = image.data() + off;
        if (std::memcmp(p, "RCRD", 4) == 0 || std::memcmp(p, "RSTR", 4) == 0) map.logPages.push_back(off);
    }
    return map;
}

// The fixtures' journals were reset by the tool that wrote them (all pages blank), so the salvage
// would see nothing: this writes log pages into the clean image's $LogFile as the journal would
// hold them after the fixtures' deletions: whole record images of the user records and undo
// records aimed at them. The page map is filled in for the mutator.
inline void PutLE(u8* p, u64 v, u32 bytes) {
    for (u32 i = 0; i < bytes; ++i) p[i] = u8(v >> (8 * i));
}

inline std::vector<u8> FixedUpRecord(const std::vector<u8>& image, const RecordSpot& spot) {
    std::vector<u8> rec(image.begin() + long(spot.offset), image.begin() + long(spot.offset + spot.size));
    if (spot.usaCount > 1 && Within(spot.usaOffset, size_t(spot.usaCount) * 2, rec.size())) {
        for (u32 s = 1; s < spot.usaCount && s * 512 <= rec.size(); ++s) {
            std::memcpy(&rec[s * 512 - 2], &rec[spot.usaOffset + 2 * s], 2);
        }
    }
    return rec;
}

inline void PlantJournal(std::vector<u8>& image, ImageMap& map) {
    const RecordSpot* logRecord = nullptr;
    for (size_t i = 0; i < map.records.size() && i < 16; ++i) {
        if (ReadLE32(image.data() + map.records[i].offset + 0x2C) == 2) logRecord = &map.records[i];
    }
    if (logRecord == nullptr) return;
    // The journal's first run.
    std::vector<Range> runs;
    const std::vector<u8> rec = FixedUpRecord(image, *logRecord);
    for (const AttributeSpot& a : logRecord->attributes) {
        if (a.type == 0x80 && a.nonResident && a.runs.length != 0) {
            AddRunRanges(&rec[a.runs.offset], a.runs.length, map, image.size(), runs);
        }
    }
    if (runs.empty() || runs[0].length < 16 * 4096) return;
    const size_t base = runs[0].offset;
    const u32 pages = u32(std::min<size_t>(runs[0].length / 4096, 24));

    // The log records: images of every user record (as the journal keeps them, unprotected),
    // then undo records over their $DATA attributes.
    std::vector<std::vector<u8>> logRecords;
    u64 lsn = 0x1000;
    auto logRecordOf = [&](const std::vector<u8>& client) {
        std::vector<u8> r(48 + client.size(), 0);
        PutLE(r.data(), lsn++, 8);
        PutLE(r.data() + 24, client.size(), 4);
        std::copy(client.begin(), client.end(), r.begin() + 48);
        return r;
    };
    const u32 recordsPerCluster = map.clusterBytes >= 1024 ? map.clusterBytes / 1024 : 1;
    for (const RecordSpot& spot : map.records) {
        const u32 number = ReadLE32(image.data() + spot.offset + 0x2C);
        if (number < 16 || spot.size != 1024) continue;
        std::vector<u8> recordBytes = FixedUpRecord(image, spot);
        std::vector<u8> client(40, 0);
        PutLE(client.data() + 4, 40, 2);
        client.insert(client.end(), recordBytes.begin(), recordBytes.end());
        logRecords.push_back(logRecordOf(client));
        for (const AttributeSpot& a : spot.attributes) {
            // The undo data of a mapping-pairs update: the runs the record had before.
            if (a.type != 0x80 || !a.nonResident || a.runs.length == 0 ||
                !Within(a.runs.offset, a.runs.length, recordBytes.size())) {
                continue;
            }
            std::vector<u8> undo(recordBytes.begin() + long(a.runs.offset),
                                 recordBytes.begin() + long(a.runs.offset + a.runs.length));
            std::vector<u8> c(40, 0);
            PutLE(c.data() + 8, 40, 2);
            PutLE(c.data() + 10, undo.size(), 2);
            PutLE(c.data() + 16, a.offset, 2);
            PutLE(c.data() + 18, a.runs.offset - a.offset, 2);
            PutLE(c.data() + 20, (number % recordsPerCluster) * 2, 2);
            PutLE(c.data() + 24, number / recordsPerCluster, 4);
            c.insert(c.end(), undo.begin(), undo.end());
            logRecords.push_back(logRecordOf(c));
        }
    }

    // Laid end to end from page 4 on, each page with its header and update sequence.
    std::vector<std::vector<u8>> pageBytes(pages, std::vector<u8>(4096, 0));
    std::vector<u64> last(pages, 0), lastEnd(pages, 0);
    std::vector<bool> used(pages, false);
    u32 page = 4, offset = 64;
    for (const std::vector<u8>& r : logRecords) {
        if (4096 - offset < 48) {
            if (++page >= pages) break;
            offset = 64;
        }
        const u64 recordLsn = ReadLE64(r.data());
        used[page] = true;
        last[page] = recordLsn;
        for (size_t i = 0; i < r.size();) {
            if (offset >= 4096) {
                if (++page >= pages) break;
                offset = 64;
                used[page] = true;
                if (last[page] == 0) last[page] = recordLsn;
            }
            const size_t n = std::min<size_t>(r.size() - i, 4096 - offset);
            std::memcpy(pageBytes[page].data() + offset, r.data() + i, n);
            i += n;
            offset += u32(n);
        }
        if (page >= pages) break;
        lastEnd[page] = recordLsn;
        offset = (offset + 7) & ~7u;
    }
    for (u32 p = 4; p < pages; ++p) {
        if (!used[p]) continue;
        u8* out = pageBytes[p].data();
        std::memcpy(out, "RCRD", 4);
        PutLE(out + 4, 40, 2);
        PutLE(out + 6, 9, 2);
        PutLE(out + 8, last[p], 8);
        PutLE(out + 32, lastEnd[p], 8);
        PutLE(out + 40, 0x0707, 2);
        for (u32 i = 1; i <= 8; ++i) {
            std::memcpy(out + 40 + 2 * i, out + i * 512 - 2, 2);
            PutLE(out + i * 512 - 2, 0x0707, 2);
        }
        std::memcpy(image.data() + base + p * 4096, out, 4096);
        map.logPages.push_back(base + p * 4096);
    }
}

// Works on a fixed-up copy of a record (or log page) and writes it back with its fixups made
// anew (refix) or with the sequence number laid over the edited stride ends, so that an edit
// reaches the parsers rather than only the fixup check.
template <typename F>
void EditRecord(std::vector<u8>& image, const RecordSpot& spot, F&& edit, bool refix = true) {
    if (!Within(spot.offset, spot.size, image.size())) return;
    u8* r = image.data() + spot.offset;
    const bool fixups = spot.usaCount > 1 && Within(spot.usaOffset, size_t(spot.usaCount) * 2, spot.size) &&
                        size_t(spot.usaCount - 1) * 512 <= spot.size;
    if (fixups) {
        for (u32 s = 1; s < spot.usaCount; ++s) std::memcpy(r + s * 512 - 2, r + spot.usaOffset + 2 * s, 2);
    }
    edit(r, size_t(spot.size));
    for (u32 s = 1; fixups && s < spot.usaCount; ++s) {
        if (refix) std::memcpy(r + spot.usaOffset + 2 * s, r + s * 512 - 2, 2);
        std::memcpy(r + s * 512 - 2, r + spot.usaOffset, 2);
    }
}

// ---------------------------------------------------------------------------------------------
// Mutations.

class Mutator {
public:
    Mutator(const ImageMap& map, u64 seed) : m_map(map), m_rng(seed) {}

    // Applies 1 to 8 mutations to `image` (a copy of the clean one).
    void Mutate(std::vector<u8>& image) {
        const u32 count = 1 + Pick(8);
        for (u32 i = 0; i < count; ++i) MutateOnce(image);
    }

private:
    u32 Pick(u32 n) { return n == 0 ? 0 : u32(m_rng() % n); }
    u64 Interesting() {
        static const u64 kValues[] = {0,          1,          2,          0x7F,       0x80,       0xFF,
                                      0x100,      0x1FF,      0x200,      0x3FF,      0x400,      0xFFF,
                                      0x1000,     0x7FFF,     0x8000,     0xFFFF,     0x10000,    0x7FFFFFFF,
                                      0x80000000, 0xFFFFFFFF, 0x100000000, 0x7FFFFFFFFFFFFFFF,
                                      0x8000000000000000, ~u64(0)};
        if (Pick(4) == 0) return m_rng();
        const u64 v = kValues[Pick(sizeof(kValues) / sizeof(kValues[0]))];
        return Pick(3) == 0 ? v - 1 - Pick(2) : v;
    }
    void Store(u8* p, size_t room) {
        static const u32 kWidths[] = {1, 2, 4, 8};
        u32 width = kWidths[Pick(4)];
        while (width > room) width /= 2;
        if (width == 0) return;
        const u64 v = Interesting();
        for (u32 b = 0; b < width; ++b) p[b] = u8(v >> (8 * b));
    }
    // One of: a field set to an interesting value, a few random bytes, a bit flip.
    void Damage(u8* base, size_t length) {
        if (length == 0) return;
        const size_t at = Pick(u32(length));
        switch (Pick(3)) {
            case 0:
                Store(base + at, length - at);
                break;
            case 1:
                for (u32 n = 1 + Pick(4); n > 0 && at + n - 1 < length; --n) base[at + n - 1] = u8(m_rng());
                break;
            default:
                base[at] ^= u8(1u << Pick(8));
                break;
        }
    }

    template <typename F>
    void InRecord(std::vector<u8>& image, const RecordSpot& spot, F&& damage) {
        EditRecord(image, spot, damage, Pick(8) != 0);
    }

    // The $FILE_NAME values of a record with names of at least `units` characters.
    static void RenameTo(u8* r, size_t size, const RecordSpot& spot, const char* name, u64 parent) {
        const u32 units = u32(std::strlen(name));
        for (const AttributeSpot& a : spot.attributes) {
            if (a.type != 0x30 || a.value.length < 66 || !Within(a.value.offset, a.value.length, size)) continue;
            u8* v = r + a.value.offset;
            if (v[64] < units || 66 + 2 * units > a.value.length) continue;
            if (parent != ~u64(0)) PutLE(v, parent, 8);
            v[64] = u8(units);
            for (u32 i = 0; i < units; ++i) PutLE(v + 66 + 2 * i, u8(name[i]), 2);
        }
    }

    // A folder named as a recycle bin with a pair of data and info files in it, the info file
    // holding (as resident data) the path the data file had.
    void MakeRecycleBin(std::vector<u8>& image) {
        const size_t n = m_map.records.size();
        const RecordSpot& folder = m_map.records[16 + Pick(u32(n - 16))];
        const RecordSpot& data = m_map.records[16 + Pick(u32(n - 16))];
        const RecordSpot& info = m_map.records[16 + Pick(u32(n - 16))];
        if (&folder == &data || &data == &info || &folder == &info) return;
        const u32 folderNumber = ReadLE32(image.data() + folder.offset + 0x2C);
        EditRecord(image, folder, [&](u8* r, size_t size) {
            if (size >= 0x18) r[0x16] |= 2;  // a folder
            RenameTo(r, size, folder, Pick(2) == 0 ? "Recycler" : "$Recycle.Bin", ~u64(0));
            for (const AttributeSpot& a : folder.attributes) {
                if (a.type == 0x30 && a.value.length >= 60 && Within(a.value.offset, 60, size)) {
                    PutLE(r + a.value.offset + 56, 0x10000000, 4);
                }
            }
        });
        const bool hash = Pick(4) == 0;
        EditRecord(image, data, [&](u8* r, size_t size) {
            RenameTo(r, size, data, hash ? "#R4F2A.b" : "$R4F2A.b", folderNumber);
            if (Pick(2) == 0 && size >= 0x18) r[0x16] &= u8(~1u);
        });
        EditRecord(image, info, [&](u8* r, size_t size) {
            RenameTo(r, size, info, hash ? "#I4F2A.b" : "$I4F2A.b", folderNumber);
            if (Pick(2) == 0 && size >= 0x18) r[0x16] &= u8(~1u);
            for (const AttributeSpot& a : info.attributes) {
                if (a.type != 0x80 || a.nonResident || a.value.length < 24 ||
                    !Within(a.value.offset, a.value.length, size)) {
                    continue;
                }
                static const char kPath[] = "C:\\Users\\me\\old report.txt";
                const size_t at = Pick(2) == 0 ? 0 : 24;
                for (size_t i = 0; at + 2 * i + 1 < a.value.length && i < sizeof(kPath); ++i) {
                    PutLE(r + a.value.offset + at + 2 * i, u8(kPath[i]), 2);
                }
                if (Pick(3) == 0) Damage(r + a.value.offset, a.value.length);
            }
        });
    }

    const RecordSpot* PickRecord() {
        if (m_map.records.empty()) return nullptr;
        // The metadata records (and the first user records) matter most: lean towards them.
        const size_t n = m_map.records.size();
        return &m_map.records[Pick(2) == 0 ? Pick(u32(std::min<size_t>(n, 40))) : Pick(u32(n))];
    }

    void MutateOnce(std::vector<u8>& image) {
        const u32 what = Pick(20);
        if (what < 2) {
            // The boot sector's fields (and now and then anything in it).
            if (image.size() < 512) return;
            if (Pick(4) == 0) return Damage(image.data(), 512);
            return Damage(image.data() + 0x0B, 0x54 - 0x0B);
        }
        if (what == 13 && !m_map.records.empty() && image.size() >= 512) {
            // A boot sector that claims a huge volume together with a run that claims a huge
            // length: walks are then bounded by nothing but the device.
            PutLE(image.data() + 0x28, Pick(2) == 0 ? Interesting() : u64(1) << (32 + Pick(30)), 8);
            const RecordSpot& spot = Pick(2) == 0 ? m_map.records[0] : *PickRecord();
            EditRecord(image, spot, [&](u8* r, size_t size) {
                for (const AttributeSpot& a : spot.attributes) {
                    if (!a.nonResident || a.runs.length < 2 || !Within(a.runs.offset, a.runs.length, size)) continue;
                    const u8 head = r[a.runs.offset];
                    const u32 lengthBytes = head & 0x0F;
                    if (lengthBytes == 0 || 1 + lengthBytes > a.runs.length) continue;
                    for (u32 b = 0; b < lengthBytes; ++b) r[a.runs.offset + 1 + b] = b + 1 == lengthBytes ? 0x7F : 0xFF;
                    if (Pick(2) == 0) return;
                }
            });
            return;
        }
        if (what == 14 && m_map.records.size() > 20) return MakeRecycleBin(image);
        if (what == 15 && m_map.records.size() > 20) {
            // A record with an attribute list whose entry names another record that really is
            // its extension, so that the extension's attributes are lent to it.
            const RecordSpot& base = m_map.records[16 + Pick(u32(m_map.records.size() - 16))];
            const RecordSpot& extension = m_map.records[16 + Pick(u32(m_map.records.size() - 16))];
            if (&base == &extension || !Within(base.offset, base.size, image.size())) return;
            const u32 baseNumber = ReadLE32(image.data() + base.offset + 0x2C);
            const u32 extensionNumber = ReadLE32(image.data() + extension.offset + 0x2C);
            InRecord(image, base, [&](u8* r, size_t size) {
                if (Pick(3) == 0) return ForgeNonResidentList(r, size, base);
                ForgeAttributeList(r, size, base);
                for (const AttributeSpot& a : base.attributes) {
                    if (a.type == 0x10 || (a.type == 0x30 && a.value.length >= 32)) {
                        // The forged list is where that attribute was: its first entry names the extension.
                        if (!a.nonResident && a.value.length >= 32 && Within(a.value.offset, 32, size)) {
                            PutLE(r + a.value.offset, 0x80, 4);
                            PutLE(r + a.value.offset + 16, extensionNumber, 4);
                            PutLE(r + a.value.offset + 20, 0, 2);
                        }
                        break;
                    }
                }
            });
            InRecord(image, extension, [&](u8* r, size_t size) {
                if (size >= 0x28) PutLE(r + 0x20, baseNumber | (Pick(2) == 0 ? u64(1) << 48 : 0), 8);
                if (Pick(2) == 0 && size >= 0x18) r[0x16] |= 1;
            });
            return;
        }
        if (what < 17) {
            const RecordSpot* spot = PickRecord();
            if (spot == nullptr) return;
            if (what == 16 && !m_map.attributeLists.empty()) {
                spot = &m_map.records[m_map.attributeLists[Pick(u32(m_map.attributeLists.size()))]];
            }
            InRecord(image, *spot, [&](u8* r, size_t size) { DamageRecord(r, size, *spot, what == 16 ? 0x20 : 0); });
            return;
        }
        if (what < 19 && !m_map.logPages.empty()) {
            const size_t page = m_map.logPages[Pick(u32(m_map.logPages.size()))];
            if (!Within(page, 4096, image.size())) return;
            RecordSpot spot;
            spot.offset = page;
            spot.size = 4096;
            spot.usaOffset = ReadLE16(image.data() + page + 4);
            spot.usaCount = ReadLE16(image.data() + page + 6);
            // Page headers and the first log records are where the parser decides most.
            InRecord(image, spot, [&](u8* p, size_t size) {
                if (Pick(2) == 0) return Damage(p, std::min<size_t>(size, 256));
                Damage(p, size);
            });
            return;
        }
        if (!m_map.compressedData.empty()) {
            const Range& r = m_map.compressedData[Pick(u32(m_map.compressedData.size()))];
            if (!Within(r.offset, r.length, image.size()) || r.length == 0) return;
            u8* base = image.data() + r.offset;
            // Chunk headers sit at the start of a unit and after each chunk.
            if (Pick(2) == 0) {
                size_t at = 0;
                for (u32 hops = Pick(6); hops > 0 && at + 2 <= r.length; --hops) at += (ReadLE16(base + at) & 0x0FFF) + 3;
                if (at + 2 <= r.length) return Store(base + at, 2);
            }
            return Damage(base, r.length);
        }
    }

    // A record number the image holds, now and then with its sequence number.
    u64 SomeReference() {
        const u64 number = m_map.records.empty() ? Pick(64) : Pick(u32(m_map.records.size() + 8));
        return number | (Pick(2) == 0 ? u64(Pick(4)) << 48 : 0);
    }

    // The fixtures hold no attribute list: a resident attribute becomes one whose entries name
    // attributes in other records, so that the extension-record walk is travelled.
    void ForgeAttributeList(u8* r, size_t size, const RecordSpot& spot) {
        for (const AttributeSpot& a : spot.attributes) {
            if (a.nonResident || a.value.length < 32 || !Within(a.value.offset, a.value.length, size)) continue;
            if (a.type != 0x10 && a.type != 0x30 && Pick(2) == 0) continue;
            PutLE(r + a.offset, 0x20, 4);
            u8* v = r + a.value.offset;
            for (size_t at = 0; at + 32 <= a.value.length; at += 32) {
                static const u32 kTypes[] = {0x10, 0x30, 0x80, 0x80, 0x80, 0xA0};
                std::memset(v + at, 0, 32);
                PutLE(v + at, kTypes[Pick(6)], 4);
                PutLE(v + at + 4, Pick(8) == 0 ? Interesting() : 32, 2);
                PutLE(v + at + 7, 26, 1);
                PutLE(v + at + 8, Pick(4) == 0 ? Interesting() : Pick(16), 8);
                PutLE(v + at + 16, SomeReference(), 8);
                PutLE(v + at + 24, Pick(8), 2);
            }
            return;
        }
    }

    // A deleted record whose data attribute lost its runs, as deletion leaves many: the search
    // then asks the journal salvage for them.
    void StripData(u8* r, size_t size, const RecordSpot& spot) {
        if (size >= 0x18 && Pick(4) != 0) r[0x16] &= u8(~1u);
        for (const AttributeSpot& a : spot.attributes) {
            if (a.type != 0x80 || !Within(a.offset, a.length, size)) continue;
            if (a.nonResident && a.runs.length != 0) {
                r[a.runs.offset] = 0;
                if (Pick(2) == 0 && a.length >= 0x40) std::memset(r + a.offset + 0x28, 0, 0x18);
            } else if (!a.nonResident && a.length >= 0x18) {
                PutLE(r + a.offset + 0x10, 0, 4);
            }
            if (Pick(3) != 0) return;
        }
    }

    // A name whose parent is another record of the volume (itself now and then), the record
    // often deleted too: folders that lead into each other, files under files.
    void Reparent(u8* r, size_t size, const RecordSpot& spot) {
        const u32 self = size >= 0x30 ? ReadLE32(r + 0x2C) : 0;
        for (const AttributeSpot& a : spot.attributes) {
            if (a.type != 0x30 || a.value.length < 8 || !Within(a.value.offset, 8, size)) continue;
            u64 parent = Pick(4) == 0 ? self : (m_map.records.empty() ? 5 : 16 + Pick(u32(m_map.records.size())));
            if (Pick(3) == 0) parent |= u64(1 + Pick(3)) << 48;
            PutLE(r + a.value.offset, parent, 8);
        }
        if (Pick(2) == 0 && size >= 0x18) r[0x16] &= u8(~1u);
    }

    // A non-resident attribute retyped as the attribute list: its clusters are read as entries.
    void ForgeNonResidentList(u8* r, size_t size, const RecordSpot& spot) {
        for (const AttributeSpot& a : spot.attributes) {
            if (!a.nonResident || a.length < 0x40 || !Within(a.offset, a.length, size)) continue;
            PutLE(r + a.offset, 0x20, 4);
            r[a.offset + 9] = 0;  // unnamed
            if (Pick(2) == 0) {
                const u64 bytes = Pick(4) == 0 ? Interesting() : 32 * (1 + Pick(64));
                PutLE(r + a.offset + 0x28, bytes, 8);
                PutLE(r + a.offset + 0x30, bytes, 8);
                PutLE(r + a.offset + 0x38, bytes, 8);
            }
            return;
        }
    }

    void DamageRecord(u8* r, size_t size, const RecordSpot& spot, u32 wantType) {
        if (Pick(6) == 0) {
            StripData(r, size, spot);
            if (Pick(2) == 0) return;
        }
        if (Pick(12) == 0) return ForgeAttributeList(r, size, spot);
        if (Pick(8) == 0) return Reparent(r, size, spot);
        // An extension record of some other record (the base reference in the header).
        if (Pick(16) == 0 && size >= 0x28) return PutLE(r + 0x20, SomeReference(), 8);
        const u32 choice = Pick(10);
        if (choice == 0 || spot.attributes.empty()) return Damage(r, std::min<size_t>(size, 0x38));
        const AttributeSpot* at = &spot.attributes[Pick(u32(spot.attributes.size()))];
        if (wantType != 0) {
            for (const AttributeSpot& a : spot.attributes) {
                if (a.type == wantType) at = &a;
            }
        } else if (Pick(2) == 0) {
            // $FILE_NAME and $DATA decide the most.
            for (const AttributeSpot& a : spot.attributes) {
                if ((a.type == 0x30 || a.type == 0x80) && Pick(2) == 0) at = &a;
            }
        }
        if (!Within(at->offset, at->length, size)) return;
        if (choice <= 3) return Damage(r + at->offset, std::min<u32>(at->length, at->nonResident ? 0x48 : 0x18));
        if (choice <= 6 && at->runs.length != 0 && Within(at->runs.offset, at->runs.length, size)) {
            return Damage(r + at->runs.offset, at->runs.length);
        }
        if (choice <= 8 && at->value.length != 0 && Within(at->value.offset, at->value.length, size)) {
            return Damage(r + at->value.offset, at->value.length);
        }
        if (choice == 9 && spot.attributes.size() > 1) {
            // A neighbour's bytes copied over this attribute.
            const AttributeSpot& other = spot.attributes[Pick(u32(spot.attributes.size()))];
            if (Within(other.offset, other.length, size)) {
                std::memmove(r + at->offset, r + other.offset, std::min<size_t>({other.length, at->length}));
            }
            return;
        }
        Damage(r + at->offset, at->length);
    }

    const ImageMap& m_map;
    std::mt19937_64 m_rng;
};

// ---------------------------------------------------------------------------------------------
// The road.

struct Limits {
    u64 maxFileBytes = 2ull << 20;   // a file that grows beyond this is cancelled
    u64 maxPassBytes = 24ull << 20;  // the quick-tree recovery stops beyond this
    u32 maxFiles = 300;              // files recovered one by one per input
};

struct RoadResult {
    u32 fsCode = 9;
    u32 searchResult = 0;
    u64 quickFiles = 0;
    u64 foundNodes = 0;
    u64 filesWritten = 0;
    u64 bytesWritten = 0;
};

class BoundedCallback : public IFileRecoverCallback {
public:
    BoundedCallback(u64 fileLimit, u64 totalLimit) : m_fileLimit(fileLimit), m_totalLimit(totalLimit) {}
    i32 OnBegin(u32, u64) override { return 0; }
    i32 OnFilesDone(u32 n) override {
        files += n;
        return 0;
    }
    i32 OnBytesDone(u64 n) override {
        m_file += n;
        bytes += n;
        return m_file > m_fileLimit || bytes > m_totalLimit ? kRecoverCancel : 0;
    }
    i32 OnStep(u32) override { return 0; }
    i32 OnFileName(const char*) override {
        m_file = 0;
        return 0;
    }
    i32 IsCancelled() override { return 0; }

    u64 files = 0;
    u64 bytes = 0;

private:
    u64 m_fileLimit;
    u64 m_totalLimit;
    u64 m_file = 0;
};

class QuietProgress : public IProgress {
public:
    i32 OnProgress(const ProgressInfo*) override { return 1; }
    u32 Continued() override { return 1; }
    u32 GetState() override { return kProgressRunning; }
};

// Keeps the root and up to `limit` file nodes (live or deleted) flat under it.
class CollectingBuilder : public IDirecotryTreeBuilder {
public:
    explicit CollectingBuilder(u32 limit) : m_limit(limit) {}
    ~CollectingBuilder() override = default;
    u32 Init(const char*, IDirectoryTree*, IRecoveryFilter*, u32, IStorageDevice*, u32) override { return 1; }
    u32 ApplyFilter(CFileSystemNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 AddFileSystemTree(CFileSystemNode* root) override {
        if (root == nullptr) return 0;
        m_roots.emplace_back(root);
        return 1;
    }
    u32 AddFileNode(CFileNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 AddFoundFileNode(CFileNode* node, u32, u32* error) override {
        if (error) *error = 0;
        if (node == nullptr) return 0;
        ++found;
        TreeNodePtr taken(node);
        const IFileProperties* p = node->GetFileProperties();
        if (m_roots.empty() || p == nullptr || (p->GetAttributes() & kAttrDirectory) != 0 || files.size() >= m_limit) {
            return 1;
        }
        files.push_back(std::move(taken));
        return 1;
    }
    u32 InsertNode(CFileNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 AddEvaluationItem(CSearchedPartitionInfo*) override { return 0; }
    u32 HasEvaluationItem(std::vector<CSearchedPartitionInfo*>*) override { return 0; }
    u32 FinishSearch() override { return 1; }
    u32 BuildLostFilesFolder(CSearchedPartitionInfo*) override { return 0; }
    u32 FinishBuild() override { return 1; }
    u64 GetNodeCount() override { return files.size(); }
    CFileSystemNode* GetTreeRoot(CSearchedPartitionInfo*) override { return m_roots.empty() ? nullptr : m_roots[0].get(); }
    u32 GetTag() override { return 0; }
    void SetTag(u32) override {}
    void Release() override {}
    void SetProgress(IProgress*) override {}
    IRecoveryFilter* GetFilter() override { return nullptr; }

    std::vector<TreeNodePtr> files;
    u64 found = 0;

private:
    u32 m_limit;
    std::vector<FileSystemNodePtr> m_roots;
};

inline void RemoveTree(const std::string& path) {
    ::nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) -> int {
            ::chmod(p, 0700);
            ::remove(p);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

// One pass over the whole road; the scratch folder is emptied afterwards.
inline RoadResult RunRoad(IStorageDevice* device, const std::string& scratch, const Limits& limits = Limits()) {
    RoadResult result;
    std::vector<u8> sector(device->GetSectorSize());
    if (device->Read(sector.data(), 0, 1)) result.fsCode = ClassifyNTFSBootSector(sector.data(), u32(sector.size()));
    {
        CNtfsVolumeAnalyze analyzer(device, 0);
        char label[128] = {};
        analyzer.GetVolumeLabel(label, sizeof(label));
        (void)analyzer.GetTotalSectors();
    }
    ::mkdir(scratch.c_str(), 0700);

    // The deleted-file scan as the session runs it: the real builder's quick tree.
    {
        testutil::AcceptAllFilter filter(0x40);
        testutil::SilentTree view;
        QuietProgress progress;
        IDirecotryTreeBuilder* builder = CreateDirectoryTreeBuilder();
        if (builder != nullptr && builder->Init("scan", &view, &filter, kBuilderQuickMode, device, 0) == 1) {
            CNTFSQuickSearch search;
            search.SetDirectoryTreeBuilder(builder);
            result.searchResult = search.Search(device, &progress);
            builder->FinishSearch();
            builder->FinishBuild();
            CQuickScanTree* tree = static_cast<CDirectoryTreeBuilder*>(builder)->GetQuickTree();
            CFileSystemNode* root = tree != nullptr ? tree->GetRoot() : nullptr;
            if (root != nullptr) {
                CheckWholeTree(root);
                result.quickFiles = CountTree(root).files;
                BoundedCallback callback(limits.maxFileBytes, limits.maxPassBytes);
                CFileRecoverer recoverer;
                char made[1040] = {};
                const std::string folder = scratch + "/quick";
                ::mkdir(folder.c_str(), 0700);
                recoverer.RecoverFolder(&callback, device, root, folder.c_str(), made, sizeof(made));
                result.filesWritten += callback.files;
                result.bytesWritten += callback.bytes;
            }
        }
        if (builder != nullptr) builder->Release();
    }

    // Every file the search finds, live ones too (compressed streams among them), one by one.
    {
        CollectingBuilder builder(limits.maxFiles);
        QuietProgress progress;
        CNTFSQuickSearch search;
        search.SetDirectoryTreeBuilder(&builder);
        search.Search(device, &progress);
        result.foundNodes = builder.found;
        CFileSystemNode* root = builder.GetTreeRoot(nullptr);
        if (root != nullptr) {
            const std::string folder = scratch + "/all";
            ::mkdir(folder.c_str(), 0700);
            for (size_t i = 0; i < builder.files.size(); ++i) {
                CFileNode* node = builder.files[i].get();
                root->AddChild(node);
                BoundedCallback callback(limits.maxFileBytes, limits.maxFileBytes);
                CFileRecoverer recoverer;
                const std::string path = folder + "/f" + std::to_string(i);
                recoverer.RecoverFile(&callback, device, node, path.c_str(), false);
                root->RemoveChild(node);
                ::unlink(path.c_str());
                result.filesWritten += callback.files;
                result.bytesWritten += callback.bytes;
            }
        }
    }
    RemoveTree(scratch);
    return result;
}

}  // namespace ntfsfuzz
