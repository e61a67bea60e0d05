#pragma once
// The FAT and exFAT road for fuzzing: a fixture volume in memory, structure-aware mutations of
// its boot sectors, FAT entries, directory entries and exFAT entry sets, and one pass of a
// mutated volume through the analysers, the deleted-file scan with the real tree builder and the
// recovery of every found file. Header-only, so that the fuzzing harness and the bounded smoke
// test of the FAT tests share it.
#include "support/TreeStubs.h"
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "devices/StorageDevice.h"
#include "engine/DirectoryTree.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileProperties.h"
#include "engine/FileRecoverCallback.h"
#include "engine/FileRecoverer.h"
#include "engine/FileSystemNode.h"
#include "engine/FsServices.h"
#include "engine/HeadlessSinks.h"
#include "engine/PartitionTree.h"
#include "engine/Progress.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryControllers.h"
#include "engine/RecoveryFilter.h"
#include "fs/fat/ExFatEntrySet.h"
#include "fs/fat/ExFatVolume.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatTable.h"
#include "fs/fat/FatDBR.h"
#include "fs/fat/FatQuickSearch.h"
#include "fs/fat/FatVolumeAnalyze.h"
#include "engine/RecycleBin.h"
#include "platform/Types.h"
#include "raw/RawFileAnalyser.h"

namespace fatfuzz {

// A volume in memory; reads past `limitSectors` or touching `badSector` fail.
class BytesDevice : public IStorageDevice {
public:
    BytesDevice(const std::vector<u8>& bytes, u32 sectorSize, u64 limitSectors, u64 badSector)
        : m_bytes(bytes), m_sectorSize(sectorSize), m_bad(badSector) {
        m_total = std::min<u64>(limitSectors, bytes.size() / sectorSize);
    }
    u32 Read(void* buffer, u64 first, u64 count) override {
        if (first >= m_total || count > m_total - first) return 0;
        if (m_bad >= first && m_bad < first + count) return 0;
        std::memcpy(buffer, m_bytes.data() + first * m_sectorSize, size_t(count * m_sectorSize));
        return 1;
    }
    u64 GetTotalSectors() override { return m_total; }
    u32 GetSectorSize() override { return m_sectorSize; }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }

private:
    const std::vector<u8>& m_bytes;
    u32 m_sectorSize;
    u64 m_total = 0;
    u64 m_bad;
};

// Goes on until `stopAfter` calls of Continued, as a user's stop would.
class GoOnProgress : public IProgress {
public:
    explicit GoOnProgress(u64 stopAfter = ~0ULL) : m_stopAfter(stopAfter) {}
    i32 OnProgress(const ProgressInfo*) override { return 0; }
    u32 Continued() override { return ++m_calls >= m_stopAfter ? 0 : 1; }
    u32 GetState() override { return m_calls >= m_stopAfter ? kProgressStopped : kProgressRunning; }

private:
    u64 m_stopAfter;
    u64 m_calls = 0;
};

// Counts what the writer reports and cancels the job once `budget` bytes are written.
class BudgetCallback : public IFileRecoverCallback {
public:
    explicit BudgetCallback(u64 budget) : m_budget(budget) {}
    i32 OnBegin(u32, u64) override { return 0; }
    i32 OnFilesDone(u32 n) override {
        files += n;
        return 0;
    }
    i32 OnBytesDone(u64 n) override {
        bytes += n;
        return bytes > m_budget ? kRecoverCancel : 0;
    }
    i32 OnStep(u32) override { return 0; }
    i32 OnFileName(const char*) override { return 0; }
    i32 IsCancelled() override { return bytes > m_budget ? kRecoverCancel : 0; }
    u64 files = 0;
    u64 bytes = 0;

private:
    u64 m_budget;
};

// Where the structures of a fixture volume lie, found once on the unmutated bytes.
struct Seed {
    std::string name;
    std::vector<u8> bytes;
    bool exfat = false;
    u64 bootCopy = 0;     // byte offset of the backup boot sector (0: none)
    u64 fatStart = 0;     // bytes
    u64 fatBytes = 0;     // one copy
    u32 fatCount = 0;
    u32 fatEntryBytes = 0;
    u64 dataStart = 0;    // byte offset of cluster 2
    u64 clusterBytes = 0;
    u64 clusterCount = 0;
    std::vector<u64> entries;   // FAT: directory entries; exFAT: primary entries of sets
    std::vector<u64> folders;   // FAT: short entries of folders other than the dot entries
};

inline bool LooksLikeFatEntry(const u8* e) {
    if (e[0] == 0) return false;
    if (e[11] == 0x0F) return true;
    if (e[11] & 0xC0) return false;
    for (int i = 1; i < 11; ++i) {
        if (e[i] < 0x20 || e[i] == 0x7F) return false;
    }
    return true;
}

// Lays out the seed: the boot sector's geometry and every directory entry (FAT) or entry set
// (exFAT) worth mutating. False when the bytes are not a FAT16/FAT32/exFAT volume.
inline bool Describe(Seed& s) {
    const std::vector<u8>& b = s.bytes;
    s.entries.clear();
    if (b.size() < 64 * 1024) return false;
    const u8* bs = b.data();
    if (std::memcmp(bs + 3, "EXFAT   ", 8) == 0) {
        s.exfat = true;
        const u32 sectorBytes = 1u << bs[108];
        s.bootCopy = 12ull * sectorBytes;
        s.fatStart = u64(ReadLE32(bs + 80)) * sectorBytes;
        s.fatBytes = u64(ReadLE32(bs + 84)) * sectorBytes;
        s.fatCount = bs[110];
        s.fatEntryBytes = 4;
        s.clusterBytes = u64(sectorBytes) << bs[109];
        s.dataStart = u64(ReadLE32(bs + 88)) * sectorBytes;
        s.clusterCount = ReadLE32(bs + 92);
        for (u64 off = s.dataStart; off + 64 <= b.size(); off += 32) {
            const u8 t = b[off];
            const bool set = (t == 0x85 || t == 0x05) && (b[off + 32] == 0xC0 || b[off + 32] == 0x40);
            if (set || t == 0x81 || t == 0x82 || t == 0x83) s.entries.push_back(off);
        }
        return true;
    }
    const u32 sectorBytes = ReadLE16(bs + 11);
    if (sectorBytes != 512) return false;
    const u32 spc = bs[13];
    const u32 reserved = ReadLE16(bs + 14);
    const bool fat32 = ReadLE16(bs + 22) == 0;
    const u64 fatSectors = fat32 ? ReadLE32(bs + 36) : ReadLE16(bs + 22);
    const u64 total = ReadLE16(bs + 19) != 0 ? ReadLE16(bs + 19) : ReadLE32(bs + 32);
    s.bootCopy = fat32 ? 6ull * 512 : 0;
    s.fatStart = u64(reserved) * 512;
    s.fatBytes = fatSectors * 512;
    s.fatCount = bs[16];
    s.fatEntryBytes = fat32 ? 4 : 2;
    s.clusterBytes = u64(spc) * 512;
    const u64 rootStart = s.fatStart + s.fatCount * s.fatBytes;
    const u64 rootBytes = fat32 ? 0 : u64(ReadLE16(bs + 17)) * 32;
    s.dataStart = rootStart + rootBytes;
    if (s.clusterBytes == 0 || s.dataStart >= b.size()) return false;
    s.clusterCount = (std::min<u64>(total * 512, b.size()) - s.dataStart) / s.clusterBytes;
    s.folders.clear();
    for (u64 off = rootStart; off + 32 <= s.dataStart; off += 32) {
        if (LooksLikeFatEntry(b.data() + off)) s.entries.push_back(off);
    }
    // Folders begin with their dot entries; the FAT32 root is its root cluster's chain.
    auto isFolderCluster = [&](u64 at) { return std::memcmp(b.data() + at, ".          ", 11) == 0; };
    const u64 rootCluster = fat32 ? ReadLE32(bs + 44) : 0;
    for (u64 c = 0; c < s.clusterCount; ++c) {
        const u64 at = s.dataStart + c * s.clusterBytes;
        bool folder = isFolderCluster(at) || (fat32 && c + 2 == rootCluster);
        // A folder's later clusters: a cluster whose entries all look like entries.
        if (!folder && b[at] != 0 && LooksLikeFatEntry(b.data() + at) && LooksLikeFatEntry(b.data() + at + 32)) {
            folder = true;
        }
        if (!folder) continue;
        for (u64 off = at; off + 32 <= at + s.clusterBytes; off += 32) {
            if (LooksLikeFatEntry(b.data() + off)) s.entries.push_back(off);
        }
    }
    for (u64 off : s.entries) {
        const u8* e = b.data() + off;
        if (e[11] != 0x0F && (e[11] & 0x10) != 0 && e[0] != '.') s.folders.push_back(off);
    }
    return true;
}

// The volume of a FAT16 seed with a recycle bin planted in it: a live folder with file entries is
// renamed "RECYCLED", its first two files become a "$I"/"$R" pair and the info file gets a
// version-2 header naming an original path. Empty when the seed has no such folder.
inline std::vector<u8> PlantRecycleBin(const Seed& s) {
    if (s.exfat || s.fatEntryBytes != 2) return {};
    std::vector<u8> b = s.bytes;
    for (u64 off : s.entries) {
        u8* e = b.data() + off;
        if (e[11] != 0x10 || e[0] == 0xE5 || e[0] == '.') continue;
        const u32 cluster = ReadLE16(e + 26);
        if (cluster < 2 || cluster - 2 >= s.clusterCount) continue;
        const u64 at = s.dataStart + (cluster - 2) * s.clusterBytes;
        std::vector<u64> files;
        for (u64 f = at + 64; f + 32 <= at + s.clusterBytes && files.size() < 2; f += 32) {
            const u8* fe = b.data() + f;
            if (fe[0] != 0 && fe[0] != 0xE5 && fe[11] != 0x0F && (fe[11] & 0x18) == 0 && ReadLE16(fe + 26) >= 2) {
                files.push_back(f);
            }
        }
        if (files.size() < 2) continue;
        std::memcpy(e, "RECYCLED   ", 11);
        // Long-name slots before the entry would name it otherwise.
        for (u64 p = off; p >= 32 && b[p - 32 + 11] == 0x0F; p -= 32) b[p - 32] = 0xE5;
        for (size_t i = 0; i < 2; ++i) {
            u8* fe = b.data() + files[i];
            std::memcpy(fe, i == 0 ? "$IAB12CDTXT" : "$RAB12CDTXT", 11);
            fe[0] = 0xE5;  // both deleted: "#I..." and "#R..." pair up
            for (u64 p = files[i]; p >= 32 && b[p - 32 + 11] == 0x0F; p -= 32) b[p - 32] = 0xE5;
        }
        const u32 infoCluster = ReadLE16(b.data() + files[0] + 26);
        if (infoCluster < 2 || infoCluster - 2 >= s.clusterCount) continue;
        u8* info = b.data() + s.dataStart + (infoCluster - 2) * s.clusterBytes;
        std::memset(info, 0, 128);
        WriteLE64(info, 2);
        WriteLE64(info + 8, 1234);
        const char16_t path[] = u"C:\\Users\\me\\Documents\\report final.txt";
        const u32 units = u32(sizeof(path) / 2);
        WriteLE32(info + 24, units);
        for (u32 i = 0; i < units; ++i) WriteLE16(info + 28 + 2 * i, u16(path[i]));
        WriteLE32(b.data() + files[0] + 28, 28 + units * 2);
        return b;
    }
    return {};
}

// Applies mutations to a working copy and remembers the bytes they replaced.
class Mutator {
public:
    Mutator(const Seed& seed, std::vector<u8>& work, u64 rngSeed) : m_s(seed), m_b(work), m_rng(rngSeed) {}

    u64 Below(u64 n) { return n == 0 ? 0 : m_rng() % n; }
    bool OneIn(u64 n) { return Below(n) == 0; }

    // A value likely to sit at an edge of whatever field it lands in.
    u64 Edgy(u32 width, u64 current) {
        const u64 mask = width >= 8 ? ~0ULL : (1ULL << (8 * width)) - 1;
        switch (Below(12)) {
            case 0: return 0;
            case 1: return 1;
            case 2: return mask;
            case 3: return mask >> 1;
            case 4: return (mask >> 1) + 1;
            case 5: return (current + 1) & mask;
            case 6: return (current - 1) & mask;
            case 7: return current ^ (1ULL << Below(8 * width));
            case 8: return (current * 2) & mask;
            case 9: return current / 2;
            case 10: return m_s.clusterCount + Below(4);
            default: return m_rng() & mask;
        }
    }

    void Put(u64 off, u32 width, u64 value) {
        if (off + width > m_b.size()) return;
        Save(off, width);
        for (u32 i = 0; i < width; ++i) m_b[off + i] = u8(value >> (8 * i));
    }
    u64 Get(u64 off, u32 width) const {
        u64 v = 0;
        for (u32 i = 0; i < width && off + i < m_b.size(); ++i) v |= u64(m_b[off + i]) << (8 * i);
        return v;
    }
    void Field(u64 off, u32 width) { Put(off, width, Edgy(width, Get(off, width))); }

    void BootSector(u64 base) {
        static const std::pair<u32, u32> kFat[] = {{11, 2}, {13, 1}, {14, 2}, {16, 1}, {17, 2}, {19, 2},
                                                  {21, 1}, {22, 2}, {24, 2}, {26, 2}, {28, 4}, {32, 4},
                                                  {36, 4}, {40, 2}, {44, 4}, {48, 2}, {50, 2}, {510, 2},
                                                  {43, 11}, {71, 11}, {54, 8}, {82, 8}};
        static const std::pair<u32, u32> kExFat[] = {{64, 8}, {72, 8}, {80, 4}, {84, 4}, {88, 4}, {92, 4},
                                                    {96, 4}, {100, 4}, {104, 2}, {106, 2}, {108, 1},
                                                    {109, 1}, {110, 1}, {111, 1}, {112, 1}, {510, 2}, {3, 8}};
        const auto* table = m_s.exfat ? kExFat : kFat;
        const size_t n = m_s.exfat ? std::size(kExFat) : std::size(kFat);
        const auto& [off, width] = table[Below(n)];
        if (width > 8) {
            Save(base + off, width);
            for (u32 i = 0; i < width; ++i) m_b[base + off + i] = u8(m_rng());
        } else {
            Field(base + off, width);
        }
    }

    u64 PickCluster() { return 2 + Below(std::max<u64>(m_s.clusterCount, 1)); }

    void FatEntry() {
        const u64 c = OneIn(4) ? Below(8) : PickCluster();
        const u32 w = m_s.fatEntryBytes;
        u64 v;
        const u64 endMark = w == 2 ? 0xFFFF : 0x0FFFFFFF;
        switch (Below(10)) {
            case 0: v = c; break;              // points at itself
            case 1: v = c > 2 ? c - 1 : 2; break;  // points back
            case 2: v = 0; break;
            case 3: v = endMark; break;
            case 4: v = endMark - 8; break;    // bad cluster mark
            case 5: v = m_s.clusterCount + 2 + Below(16); break;
            case 6: v = 1; break;
            case 7: v = PickCluster(); break;
            case 8: v = c + 1; break;
            default: v = m_rng(); break;
        }
        const u32 copies = std::max<u32>(m_s.fatCount, 1);
        const bool both = !OneIn(3);
        const u32 which = u32(Below(copies));
        for (u32 k = 0; k < copies; ++k) {
            if (!both && k != which) continue;
            Put(m_s.fatStart + k * m_s.fatBytes + c * w, w, v);
        }
    }

    void DirEntry() {
        if (m_s.entries.empty()) return;
        const u64 off = m_s.entries[Below(m_s.entries.size())];
        if (m_s.exfat) return ExFatSet(off);
        const bool lfn = m_b[off + 11] == 0x0F;
        switch (Below(lfn ? 6 : 10)) {
            case 0: {
                static const u8 kMarks[] = {0xE5, 0x00, '.', 0x05, ' ', 0x41, 0x4F, 0x01};
                Put(off, 1, kMarks[Below(std::size(kMarks))]);
                break;
            }
            case 1: Field(off + 11, 1); break;   // attributes
            case 2: Put(off + 11, 1, std::vector<u8>{0x0F, 0x10, 0x08, 0x20, 0x16, 0x00}[Below(6)]); break;
            case 3:
                if (lfn) {
                    Field(off + 13, 1);  // checksum
                } else {
                    Field(off + 20, 2);  // cluster high
                }
                break;
            case 4: Field(off + 26, 2); break;   // cluster low (an LFN's must be 0)
            case 5:
                if (lfn) {
                    Field(off, 1);  // ordinal
                } else {
                    Field(off + 28, 4);  // size
                }
                break;
            case 6: {  // another entry over this one: folders met twice, cycles
                const u64 from = m_s.entries[Below(m_s.entries.size())];
                Save(off, 32);
                std::memcpy(m_b.data() + off, m_s.bytes.data() + from, 32);
                break;
            }
            case 7: Field(off + 14 + 2 * Below(6), 2); break;  // times and dates
            case 8: Put(off + 28, 4, OneIn(2) ? 0xFFFFFFFFu : u32(m_rng())); break;
            default: Put(off + Below(32), 1, m_rng()); break;
        }
    }

    // Two folders made to share a first cluster, or one that lost the high word of its cluster:
    // the duplicate-folder choice and the high-word retry of the FAT search.
    void FolderEntry() {
        if (m_s.folders.empty()) return;
        const u64 off = m_s.folders[Below(m_s.folders.size())];
        const u64 other = m_s.folders[Below(m_s.folders.size())];
        switch (Below(4)) {
            case 0:
            case 1:
                Put(off + 20, 2, Get(other + 20, 2));
                Put(off + 26, 2, Get(other + 26, 2));
                if (OneIn(2)) Put(off, 1, 0xE5);
                if (OneIn(2)) Put(off + 24, 2, Get(off + 24, 2) + 1 + Below(8));  // a newer date
                break;
            case 2: Put(off + 20, 2, 0); Put(off, 1, 0xE5); break;
            default:  // a deleted folder whose cluster holds no folder
                Put(off, 1, 0xE5);
                Put(off + 20, 2, 0);
                Put(off + 26, 2, 2 + Below(std::min<u64>(m_s.clusterCount, 65530)));
                break;
        }
    }

    void ExFatSet(u64 off) {
        const u8 type = m_b[off];
        if (type == 0x81 || type == 0x82 || type == 0x83) {
            switch (Below(4)) {
                case 0: Field(off + 20, 4); break;  // first cluster
                case 1: Field(off + 24, 8); break;  // data length
                case 2: Field(off + 1, 1); break;   // flags / label length
                default: Put(off, 1, m_rng()); break;
            }
            return;
        }
        switch (Below(16)) {
            case 0: Field(off + 1, 1); break;  // secondary count
            case 1: Field(off + 2, 2); break;  // set checksum
            case 2: Field(off + 4, 2); break;  // attributes
            case 3: Put(off, 1, type ^ 0x80); break;  // deleted <-> live
            case 4: Field(off + 32 + 1, 1); break;    // stream flags (contiguous bit)
            case 5: Field(off + 32 + 3, 1); break;    // name length
            case 6: Field(off + 32 + 8, 8); break;    // valid data length
            case 7: Field(off + 32 + 20, 4); break;   // first cluster
            case 8: Field(off + 32 + 24, 8); break;   // data length
            case 9: Put(off + 64 + 32 * Below(3), 1, OneIn(2) ? u8(m_rng()) : u8(m_b[off + 64] ^ 0x80)); break;
            case 10: Put(off + 32, 1, OneIn(2) ? 0x40 : u8(m_rng())); break;  // stream type
            case 11: {  // a set copied over another: folders met twice
                const u64 from = m_s.entries[Below(m_s.entries.size())];
                Save(off, 96);
                std::memcpy(m_b.data() + off, m_s.bytes.data() + from, std::min<u64>(96, m_b.size() - from));
                break;
            }
            case 12: Put(off + 32 + 20, 4, PickCluster()); break;
            case 13: Field(off + 8 + 4 * Below(3), 4); break;  // timestamps
            default: Put(off + Below(96), 1, m_rng()); break;
        }
    }

    void BitFlip() {
        // Mostly in metadata: the boot area, the FAT, a directory entry.
        u64 off;
        switch (Below(4)) {
            case 0: off = Below(std::min<u64>(m_s.fatStart + 512, m_b.size())); break;
            case 1: off = m_s.fatStart + Below(std::max<u64>(m_s.fatBytes, 1)); break;
            case 2: off = m_s.entries.empty() ? 0 : m_s.entries[Below(m_s.entries.size())] + Below(96); break;
            default: off = Below(m_b.size()); break;
        }
        if (off >= m_b.size()) return;
        Save(off, 1);
        m_b[off] ^= u8(1u << Below(8));
    }

    void CopyCluster() {
        if (m_s.clusterCount < 2 || m_s.clusterBytes > (1u << 20)) return;
        // A directory cluster copied into another cluster: the same folder reached twice.
        u64 from = m_s.dataStart + Below(m_s.clusterCount) * m_s.clusterBytes;
        if (!m_s.entries.empty() && OneIn(2)) {
            const u64 e = m_s.entries[Below(m_s.entries.size())];
            if (e >= m_s.dataStart) from = m_s.dataStart + (e - m_s.dataStart) / m_s.clusterBytes * m_s.clusterBytes;
        }
        const u64 to = m_s.dataStart + Below(m_s.clusterCount) * m_s.clusterBytes;
        if (from + m_s.clusterBytes > m_b.size() || to + m_s.clusterBytes > m_b.size()) return;
        Save(to, u32(m_s.clusterBytes));
        std::memmove(m_b.data() + to, m_s.bytes.data() + from, m_s.clusterBytes);
    }

    // A run of entries turned into long-name slots: long and odd names, runs across sectors.
    void LongNameFlood() {
        if (m_s.entries.empty() || m_s.exfat) return;
        const u64 off = m_s.entries[Below(m_s.entries.size())];
        const u64 count = 1 + Below(OneIn(3) ? 80 : 8);
        const u8 checksum = u8(m_rng());
        for (u64 k = 0; k < count; ++k) {
            const u64 at = off + 32 * k;
            if (at + 32 > m_b.size()) break;
            Save(at, 32);
            u8* e = m_b.data() + at;
            e[0] = u8(k == 0 ? 0x40 | (count & 0x3F) : (count - k) & 0x3F);
            if (OneIn(4)) e[0] = 0xE5;
            e[11] = 0x0F;
            e[12] = 0;
            e[13] = OneIn(3) ? u8(m_rng()) : checksum;
            e[26] = e[27] = 0;
            static const u32 kUnits[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
            for (u32 u : kUnits) {
                u16 unit;
                switch (Below(8)) {
                    case 0: unit = u16(0xD800 + Below(0x800)); break;  // lone surrogates
                    case 1: unit = u16(m_rng()); break;
                    case 2: unit = '.'; break;
                    case 3: unit = OneIn(8) ? 0 : 0xFFFF; break;
                    default: unit = u16('a' + Below(26)); break;
                }
                WriteLE16(e + u, unit);
            }
        }
    }

    void One() {
        switch (Below(19)) {
            case 16: LongNameFlood(); break;
            case 17:
            case 18: FolderEntry(); break;
            case 0:
            case 1: BootSector(OneIn(4) && m_s.bootCopy ? m_s.bootCopy : 0); break;
            case 2:
            case 3:
            case 4: FatEntry(); break;
            case 5:
            case 6:
            case 7:
            case 8:
            case 9:
            case 10: DirEntry(); break;
            case 11:
            case 12: BitFlip(); break;
            case 13: CopyCluster(); break;
            default: DirEntry(); FatEntry(); break;
        }
    }

    // Puts every replaced byte back, newest first.
    void Undo() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            std::memcpy(m_b.data() + it->first, it->second.data(), it->second.size());
        }
        m_saved.clear();
    }

private:
    void Save(u64 off, u32 width) {
        if (off + width > m_b.size()) return;
        m_saved.emplace_back(off, std::vector<u8>(m_b.begin() + long(off), m_b.begin() + long(off + width)));
    }

    const Seed& m_s;
    std::vector<u8>& m_b;
    std::mt19937_64 m_rng;
    std::vector<std::pair<u64, std::vector<u8>>> m_saved;
};

// The RAW analysers are not part of this build: a stand-in that knows a few headers lets the FAT
// search's revise pass run.
class HeaderAnalyser : public IRawFileAnalyser {
public:
    u32 CheckFileHeader(const u8* sector, u32, CRawFileInfo&) override {
        return (sector[0] == 0xFF && sector[1] == 0xD8 && sector[2] == 0xFF) || std::memcmp(sector, "%PDF", 4) == 0 ||
                       std::memcmp(sector, "\x89PNG", 4) == 0 || std::memcmp(sector, "PK\x03\x04", 4) == 0
                   ? 1
                   : 0;
    }
};

// The session's deleted-file scan with the stand-in header analyser given to the FAT search.
class RoadController : public CDeletedRecoveryController {
protected:
    IQuickFileSystemSearchController* CreateQuickSearch() override {
        if (!IsFatCode(GetFileSystemCode())) return CDeletedRecoveryController::CreateQuickSearch();
        auto* search = new CFATQuickSearch;
        search->SetReviseAnalysers({&m_analyser});
        return search;
    }

private:
    HeaderAnalyser m_analyser;
};

struct RoadResult {
    u32 fsCode = 9;
    u32 searchResult = 0;
    TreeCounts counts;
    u64 recoveredFiles = 0;
    u64 recoveredBytes = 0;
};

// One volume through the road: boot-sector classifiers, both analysers, the deleted-file scan of
// the file system given (as the session's controller runs it, with the real tree builder) and
// the recovery of every node of the tree into a new folder below `outFolder`, which is emptied
// afterwards. The writer's output stops at `byteBudget`.
inline RoadResult RunRoad(IStorageDevice* device, u32 fsCode, const std::string& outFolder, u64 byteBudget,
                          u64 stopAfter = ~0ULL) {
    RoadResult r;
    std::vector<u8> sector(std::max<u32>(device->GetSectorSize(), 512) * 4, 0);
    if (device->Read(sector.data(), 0, 1)) {
        (void)ClassifyExFatBootSector(sector.data(), device->GetSectorSize());
        u32 code = 9;
        (void)CheckFATBootSector(sector.data(), 0, device, code);
    }
    {
        CFatVolumeAnalyze fat(device, 0);
        char label[CFatVolumeAnalyze::kLabelSize + 1] = {};
        fat.GetVolumeLabel(label, CFatVolumeAnalyze::kLabelSize);
        (void)fat.GetTotalSectors();
        r.fsCode = fat.GetFileSystemType();
    }
    if (CExFatVolumeAnalyer* ex = CreateExFatVolumeAnalyer(device, 0)) {
        char label[600] = {};
        ex->GetVolumeLabel(label, sizeof(label));
        (void)ex->GetTotalSectors();
        if (r.fsCode == kFsUnknown) r.fsCode = kFsExFat;
        delete ex;
    }

    testutil::AcceptAllFilter filter;
    testutil::SilentTree consumer;
    GoOnProgress progress(stopAfter);
    auto* controller = new RoadController;
    controller->Initialize(&filter);
    controller->SetFileSystem(fsCode, "Volume");
    r.searchResult = controller->Run(device, &progress, &consumer, "Volume", 0);
    auto* builder = dynamic_cast<CDirectoryTreeBuilder*>(controller->GetBuilder());
    CFileSystemNode* root = builder && builder->GetQuickTree() ? builder->GetQuickTree()->GetRoot() : nullptr;
    if (r.searchResult == 0 && root != nullptr) {
        CheckWholeTree(root);
        r.counts = CountTree(root);
        SetCurrentRecoveryController(controller);
        std::error_code ec;
        std::filesystem::create_directories(outFolder, ec);
        BudgetCallback callback(byteBudget);
        CFileRecoverer writer;
        char made[1040] = {};
        writer.RecoverFolder(&callback, device, root, outFolder.c_str(), made, sizeof(made));
        SetCurrentRecoveryController(nullptr);
        r.recoveredFiles = callback.files;
        r.recoveredBytes = callback.bytes;
        for (const auto& entry : std::filesystem::directory_iterator(outFolder, ec)) {
            std::filesystem::remove_all(entry.path(), ec);
        }
    }
    controller->Release();
    return r;
}

// The fixture volumes the mutations start from: name, image, byte offset and length of the volume.
struct SeedSource {
    const char* name;
    const char* image;
    u64 offset;
    u64 length;  // 0: to the end
};

inline const std::vector<SeedSource>& SeedSources() {
    static const std::vector<SeedSource> kSources = {
        {"fat16", "fat16-basic.img", 0, 0},
        {"fat32", "fat32-basic.img", 0, 0},
        {"exfat", "exfat-basic.img", 0, 0},
        {"mbr-fat32", "mbr-disk.img", 2048ull * 512, 73728ull * 512},
        {"mbr-fat16", "mbr-disk.img", 104448ull * 512, 24576ull * 512},
        {"gpt-exfat", "gpt-disk.img", 43008ull * 512, 40960ull * 512},
        {"fat12", "fat12-small.img", 0, 0},
    };
    return kSources;
}

// Reads a volume out of an image; false when the file or the range cannot be read.
inline bool LoadVolume(const std::string& path, u64 offset, u64 length, std::vector<u8>& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    if (size < 0 || u64(size) <= offset) {
        std::fclose(f);
        return false;
    }
    if (length == 0 || offset + length > u64(size)) length = u64(size) - offset;
    out.resize(length);
    std::fseek(f, long(offset), SEEK_SET);
    const bool ok = std::fread(out.data(), 1, length, f) == length;
    std::fclose(f);
    return ok;
}

// One seeded case: the seed's bytes mutated `rounds` times by the generator seeded with `seed`,
// seen through a device that may be cut short, have a bad sector or other-sized sectors, run
// through the road. The working copy is restored afterwards.
inline RoadResult RunCase(const Seed& seed, std::vector<u8>& work, u64 caseSeed, const std::string& outFolder,
                          u64 byteBudget) {
    Mutator m(seed, work, caseSeed);
    const u64 rounds = 1 + m.Below(m.OneIn(8) ? 40 : 6);
    for (u64 i = 0; i < rounds; ++i) m.One();
    u32 sectorSize = 512;
    if (m.OneIn(20)) {
        sectorSize = m.OneIn(2) ? 4096 : 1024;
        // The boot sector claims the device's sector size: 512-byte structures read as larger ones.
        if (m.OneIn(2)) {
            if (seed.exfat) {
                m.Put(108, 1, sectorSize == 4096 ? 12 : 10);
            } else {
                m.Put(11, 2, sectorSize);
            }
        }
    }
    u64 limit = ~0ULL;
    if (m.OneIn(10)) limit = m.Below(work.size() / sectorSize + 1);
    u64 bad = ~0ULL;
    if (m.OneIn(10)) bad = m.Below(work.size() / sectorSize);
    // Mostly the file system of the seed; sometimes the other search on the same bytes.
    u32 fsCode = seed.exfat ? 7 : 2;
    if (m.OneIn(10)) fsCode = seed.exfat ? 2 : 7;
    const u64 stopAfter = m.OneIn(12) ? m.Below(40) : ~0ULL;
    BytesDevice device(work, sectorSize, limit, bad);
    RoadResult r = RunRoad(&device, fsCode, outFolder, byteBudget, stopAfter);
    m.Undo();
    return r;
}

// The byte-level parsers fed generated buffers: entry runs with long-name slots, entry sets,
// directory sectors, boot sectors and recycle-bin info files of every length up to a few KiB.
// Their buffers are exactly as long as the length they are given, so any read past it shows.
inline void RunParsers(u64 caseSeed) {
    std::mt19937_64 rng(caseSeed);
    auto below = [&rng](u64 n) { return n == 0 ? 0 : rng() % n; };
    const u32 entries = u32(below(40));
    std::vector<u8> buffer(size_t(entries) * 32 + below(2) * below(32));
    for (u32 i = 0; i < entries; ++i) {
        u8* e = buffer.data() + u64(i) * 32;
        for (u32 k = 0; k < 32; ++k) e[k] = u8(rng());
        switch (below(6)) {
            case 0:
            case 1:
                e[11] = 0x0F;
                e[0] = u8(below(2) ? 0xE5 : (0x40 | below(20)));
                e[26] = e[27] = 0;
                break;
            case 2: std::memcpy(e, below(2) ? "FILE    TXT" : "\xE5ILE    TXT", 11); e[11] = u8(below(2) ? 0x20 : 0x10); break;
            case 3: {
                static const u8 kTypes[] = {0x85, 0x05, 0xC0, 0x40, 0xC1, 0x41, 0x81, 0x82, 0x83, 0x03, 0x00};
                e[0] = kTypes[below(std::size(kTypes))];
                break;
            }
            default: break;
        }
    }
    const u32 length = u32(buffer.size());
    const PropertiesRef<CFATFileProperties> parsed = CreateFATFilePropertiesFromEntries(buffer.data(), length);
    FolderSectorState state;
    state.length = length;
    AnalyzeFATFolderSector(state, buffer.data(), nullptr, 0);
    ExFatEntrySetParser parser;
    parser.SetLimits(ExFatWalkLimits::Make(below(2) ? ~0ULL : below(100000), 9 + u32(below(4)), u32(below(26))));
    parser.Feed(buffer.data(), length, 0);
    std::vector<char16_t> label(12 + below(300), 0);
    CollectExFatLabel(buffer.data(), length, label.data(), u32(label.size()), parser.GetLimits());
    if (length >= 64) {
        (void)ExFatSetChecksumMatches(buffer.data(), length, u16(rng()));
    }
    (void)ExtractRecycledFileName(buffer.data(), length, below(2) != 0);
    if (length >= 512) {
        (void)IsExFatBootSector(buffer.data(), 512);
        CFATDBR dbr(buffer.data(), 512);
        (void)dbr.GetTotalSectors();
        (void)dbr.GetFATSize();
        u32 code = 9;
        (void)IsFATStartSector(buffer.data(), length, code);
    }
}

}  // namespace fatfuzz
