#pragma once
// The road of the FAT and exFAT deep searches for the fuzzing harness and its smoke test: a disk
// in memory that holds a FAT or exFAT volume behind a gap (its boot sector wiped or not), a
// mutator that damages what the sector classification looks at (boot sectors and their backups,
// FAT starts, folder starts and entry sets, the FAT32 information sector), one pass of the deep
// search with a block length of its own, the candidate merging over made-up sightings, the
// evaluation, the chosen volume's tree with its lost folders, and the recovery of the tree.
// Header-only so that both the harness and the tests can use it without another library.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bench/fuzz/FuzzHarness.h"
#include "fs/fat/ExFatDeepSearch.h"
#include "fs/fat/FatDeepSearch.h"

namespace fatdeepfuzz {

constexpr u32 kSectorBytes = 512;

// The volume behind `leadSectors` zero sectors and followed by a few more; with wipeBoot its boot
// sector is zeroed.
inline std::vector<u8> MakeDisk(const std::vector<u8>& volume, u64 leadSectors, bool wipeBoot) {
    const size_t lead = size_t(leadSectors) * kSectorBytes;
    std::vector<u8> disk(lead + volume.size() + 64 * size_t(kSectorBytes), 0);
    std::copy(volume.begin(), volume.end(), disk.begin() + long(lead));
    if (wipeBoot) std::fill(disk.begin() + long(lead), disk.begin() + long(lead + kSectorBytes), 0);
    return disk;
}

// Damages the sectors the classification takes, and makes look-alikes of them elsewhere.
class DeepMutator {
public:
    explicit DeepMutator(u64 seed) : m_rng(seed) {}

    void Mutate(std::vector<u8>& disk, size_t volumeOffset) {
        const u32 count = 1 + Pick(8);
        for (u32 i = 0; i < count; ++i) MutateOnce(disk, volumeOffset);
    }

private:
    u32 Pick(u32 n) { return n == 0 ? 0 : u32(m_rng() % n); }
    u64 Value() {
        static const u64 kValues[] = {0, 1, 2, 3, 0x7F, 0x80, 0xFF, 0x100, 0xFFF5, 0xFFF7, 0xFFFF, 0x10000,
                                      0x0FFFFFF5, 0x0FFFFFF7, 0x0FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF, ~0ull};
        return Pick(3) == 0 ? m_rng() : kValues[Pick(sizeof(kValues) / sizeof(kValues[0]))];
    }
    void Put(std::vector<u8>& d, size_t at, u64 v, u32 bytes) {
        if (at + bytes <= d.size()) ntfsfuzz::PutLE(d.data() + at, v, bytes);
    }
    // Sectors the classification would take for the kind asked.
    std::vector<size_t> Find(const std::vector<u8>& d, int kind) {
        std::vector<size_t> out;
        for (size_t at = 0; at + kSectorBytes <= d.size(); at += kSectorBytes) {
            const u8* p = d.data() + at;
            u32 cluster = 0, parent = 0;
            const bool hit = kind == 0   ? (p[510] == 0x55 && p[511] == 0xAA)
                             : kind == 1 ? IsFatFolderStart(p, cluster, parent)
                             : kind == 2 ? (p[1] == 0xFF && p[2] == 0xFF && p[0] >= 0xF0)
                                         : IsExFatEntrySetStart(p);
            if (hit) out.push_back(at);
        }
        return out;
    }
    void CopySector(std::vector<u8>& d, size_t from) {
        const size_t to = size_t(Pick(u32(d.size() / kSectorBytes))) * kSectorBytes;
        if (from + kSectorBytes <= d.size() && to + kSectorBytes <= d.size()) {
            std::copy(d.begin() + long(from), d.begin() + long(from + kSectorBytes), d.begin() + long(to));
        }
    }
    void MutateOnce(std::vector<u8>& d, size_t volumeOffset) {
        const size_t sectors = d.size() / kSectorBytes;
        switch (Pick(8)) {
            case 0: {  // a boot-sector field (FAT, FAT32 and exFAT offsets), primary or backup
                static const u32 kFields[][2] = {{11, 2}, {13, 1}, {14, 2}, {16, 1}, {17, 2}, {19, 2}, {22, 2},
                                                 {32, 4}, {36, 4},  {44, 4}, {72, 8}, {80, 4}, {84, 4}, {88, 4},
                                                 {92, 4}, {96, 4},  {108, 1}, {109, 1}, {110, 1}};
                const auto& f = kFields[Pick(sizeof(kFields) / sizeof(kFields[0]))];
                const size_t backup = Pick(3) == 0 ? (6 + 6 * Pick(2)) * kSectorBytes : 0;
                Put(d, volumeOffset + backup + f[0], Value(), f[1]);
                break;
            }
            case 1: {  // a boot sector, FAT start or information sector copied elsewhere
                const std::vector<size_t> found = Find(d, Pick(2) == 0 ? 0 : 2);
                if (!found.empty()) CopySector(d, found[Pick(u32(found.size()))]);
                break;
            }
            case 2: {  // a folder start's own or parent cluster
                const std::vector<size_t> found = Find(d, 1);
                if (found.empty()) break;
                const size_t at = found[Pick(u32(found.size()))];
                static const u32 kOffsets[] = {20, 26, 32 + 20, 32 + 26};
                Put(d, at + kOffsets[Pick(4)], Value(), 2);
                break;
            }
            case 3: {  // a folder start or entry set copied elsewhere: a folder whose parent is gone
                const std::vector<size_t> found = Find(d, Pick(2) == 0 ? 1 : 3);
                if (!found.empty()) CopySector(d, found[Pick(u32(found.size()))]);
                break;
            }
            case 4: {  // bytes in a directory sector: entries, lengths, clusters
                const std::vector<size_t> found = Find(d, Pick(2) == 0 ? 1 : 3);
                if (found.empty()) break;
                Put(d, found[Pick(u32(found.size()))] + Pick(kSectorBytes), Value(), 1 + Pick(4));
                break;
            }
            case 5: {  // FAT entries: loops, bad marks, chains past the cluster count
                const std::vector<size_t> found = Find(d, 2);
                if (found.empty()) break;
                const size_t at = found[Pick(u32(found.size()))] + 4 * Pick(kSectorBytes / 4 * 8);
                Put(d, at, Value(), Pick(2) == 0 ? 2 : 4);
                break;
            }
            case 6: {  // a stretch of zeros
                const size_t at = size_t(Pick(u32(sectors))) * kSectorBytes;
                const size_t n = std::min(d.size() - at, size_t(1 + Pick(64)) * kSectorBytes);
                std::fill(d.begin() + long(at), d.begin() + long(at + n), 0);
                break;
            }
            default: {  // a byte anywhere in the volume's first megabyte
                Put(d, volumeOffset + Pick(1u << 20), Value(), 1);
                break;
            }
        }
    }

    std::mt19937_64 m_rng;
};

// Candidates from made-up sightings: the merging must keep every candidate inside the device.
inline size_t MergeMadeUpSightings(u64 seed, u64 deviceSectors) {
    std::mt19937_64 rng(seed);
    std::vector<FatBootSighting> boots;
    std::vector<FatFolderStart> folders;
    std::vector<u64> fatStarts, infos;
    const u32 n = 1 + u32(rng() % 40);
    for (u32 i = 0; i < n; ++i) {
        FatBootSighting b;
        b.sector = rng() % deviceSectors;
        b.fsCode = u32(rng() % 3);
        b.sectorsPerCluster = 1u << (rng() % 8);
        b.reservedSectors = u16(rng() % 64);
        b.fatCount = u8(1 + rng() % 2);
        b.sectorsPerFat = u32(rng() % 4096);
        b.totalSectors = u32(rng());
        b.root = u32(rng() % 64);
        boots.push_back(b);
        folders.push_back({rng() % deviceSectors, u32(rng() % 100000), u32(rng() % 100)});
        fatStarts.push_back(rng() % deviceSectors);
        infos.push_back(rng() % deviceSectors);
    }
    auto bySector = [](const auto& a, const auto& b) { return a.sector < b.sector; };
    std::sort(boots.begin(), boots.end(), bySector);
    std::sort(folders.begin(), folders.end(), bySector);
    std::sort(fatStarts.begin(), fatStarts.end());
    std::sort(infos.begin(), infos.end());
    auto made = MakeFatCandidates(boots, folders, deviceSectors, kSectorBytes, [&](u64 s) { return (s ^ seed) % 3 == 0; });
    auto more = MakeFatDirectoryCandidates(folders, fatStarts, infos, made, deviceSectors, kSectorBytes);
    size_t count = 0;
    for (const auto* list : {&made, &more}) {
        for (const auto& c : *list) {
            if (c->GetPartitionStart() + c->GetTotalSectors() > deviceSectors) std::abort();
            ++count;
        }
    }
    return count;
}

using DeepResult = fuzzharness::DeepResult;

// One pass of a deep search (Search: CFatCompleteSearch or CExFatCompleteSearch) over the device
// in blocks of `blockSectors`, what the complete scan does after its block loop, then the
// recovery of the tree (bounded).
template <typename Search>
DeepResult RunDeepRoad(IStorageDevice* device, u32 blockSectors, const std::string& scratch,
                       const ntfsfuzz::Limits& limits = ntfsfuzz::Limits()) {
    constexpr u32 kLostDataReason = 1;
    return fuzzharness::RunDeepRoad<Search>(device, blockSectors, kLostDataReason, scratch, limits,
                                            [](CFileSystemNode*, CSearchedPartitionInfo*) {});
}

}  // namespace fatdeepfuzz
