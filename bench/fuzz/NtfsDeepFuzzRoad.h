#pragma once
// The road of the NTFS deep search for the fuzzing harness and its smoke test: a disk in memory
// that holds an NTFS volume behind a gap (its boot sector wiped or not), a mutator that damages
// what the deep search's sector tests look at (boot sectors, FILE and INDX records, journal
// restart and log pages) besides the record mutations of the NTFS road, and one pass of the deep
// search with a block length that cuts records at block ends, the evaluation, the found-partition
// tree, re-reading nodes through the chosen candidate, and the recovery of the tree.
// Header-only so that both the harness and the tests can use it without another library.
#include <random>
#include <string>
#include <vector>

#include "bench/fuzz/FuzzHarness.h"
#include "fs/ntfs/NTFSDeepSearch.h"

namespace ntfsdeepfuzz {

constexpr u32 kPageBytes = 4096;

// The volume behind `leadSectors` zero sectors and followed by a few more; with wipeBoot its first
// 16 sectors (the boot sector among them) are zeroed, as on a disk whose partition was lost.
inline std::vector<u8> MakeDisk(const std::vector<u8>& volume, u32 sectorSize, u64 leadSectors, bool wipeBoot) {
    const size_t lead = size_t(leadSectors) * sectorSize;
    std::vector<u8> disk(lead + volume.size() + 64 * size_t(sectorSize), 0);
    std::copy(volume.begin(), volume.end(), disk.begin() + long(lead));
    if (wipeBoot) std::fill(disk.begin() + long(lead), disk.begin() + long(lead + 16 * 512), 0);
    return disk;
}

// Damages the structures the deep search's sector tests look at.
class DeepMutator {
public:
    DeepMutator(const ntfsfuzz::ImageMap& volumeMap, u64 seed) : m_map(volumeMap), m_seed(seed), m_rng(seed) {}

    void Mutate(std::vector<u8>& disk, size_t volumeOffset, size_t volumeBytes, u32 sectorSize) {
        // The record mutations of the NTFS road, inside the volume.
        if (Pick(3) != 0 && volumeOffset + volumeBytes <= disk.size()) {
            std::vector<u8> volume(disk.begin() + long(volumeOffset), disk.begin() + long(volumeOffset + volumeBytes));
            ntfsfuzz::Mutator(m_map, m_seed).Mutate(volume);
            std::copy(volume.begin(), volume.end(), disk.begin() + long(volumeOffset));
        }
        const u32 count = 1 + Pick(6);
        for (u32 i = 0; i < count; ++i) MutateOnce(disk, volumeOffset, volumeBytes, sectorSize);
    }

private:
    u32 Pick(u32 n) { return n == 0 ? 0 : u32(m_rng() % n); }
    u64 Value() {
        static const u64 kValues[] = {0, 1, 2, 7, 8, 9, 0x7F, 0x80, 0xFF, 0x1FF, 0x200, 0xFFF, 0x1000, 0xFFFF,
                                      0x10000, 0x7FFFFFFF, 0xFFFFFFFF, 0x100000000ull, 0x7FFFFFFFFFFFFFFFull, ~0ull};
        return Pick(3) == 0 ? m_rng() : kValues[Pick(sizeof(kValues) / sizeof(kValues[0]))];
    }
    void Put(std::vector<u8>& d, size_t at, u64 v, u32 bytes) {
        if (at + bytes <= d.size()) ntfsfuzz::PutLE(d.data() + at, v, bytes);
    }
    // Sectors that begin with `magic`.
    std::vector<size_t> Find(const std::vector<u8>& d, const char* magic, u32 sectorSize) {
        std::vector<size_t> out;
        for (size_t at = 0; at + 4 <= d.size(); at += sectorSize) {
            if (std::memcmp(d.data() + at, magic, 4) == 0) out.push_back(at);
        }
        return out;
    }
    // A page with sound fixups: the last two bytes of each 512-byte sector hold the sequence
    // number at `usn`.
    void Fixups(u8* page, u32 bytes, u16 usn) {
        for (u32 s = 512; s <= bytes; s += 512) ntfsfuzz::PutLE(page + s - 2, usn, 2);
    }

    void MutateOnce(std::vector<u8>& d, size_t volumeOffset, size_t volumeBytes, u32 sectorSize) {
        const size_t sectors = d.size() / sectorSize;
        switch (Pick(9)) {
            case 0: {  // a boot-sector field, primary or backup
                const size_t at = Pick(2) == 0 ? volumeOffset : volumeOffset + volumeBytes - sectorSize;
                static const u32 kFields[][2] = {{11, 2}, {13, 1}, {0x28, 8}, {0x30, 8}, {0x38, 8}, {0x40, 1}, {0x48, 8}};
                const auto& f = kFields[Pick(7)];
                Put(d, at + f[0], Value(), f[1]);
                break;
            }
            case 1: {  // a copy of the boot sector somewhere else: a second volume to consider
                const size_t to = size_t(Pick(u32(sectors))) * sectorSize;
                if (to + 512 <= d.size() && volumeOffset + 512 <= d.size()) {
                    std::copy(d.begin() + long(volumeOffset), d.begin() + long(volumeOffset + 512), d.begin() + long(to));
                }
                break;
            }
            case 2:
            case 3: {  // an INDX record's header or entries
                const std::vector<size_t> indexes = Find(d, "INDX", sectorSize);
                if (indexes.empty()) break;
                const size_t at = indexes[Pick(u32(indexes.size()))];
                static const u32 kFields[][2] = {{4, 2}, {6, 2}, {16, 8}, {24, 4}, {28, 4}, {32, 4}};
                if (Pick(2) == 0) {
                    const auto& f = kFields[Pick(6)];
                    Put(d, at + f[0], Value(), f[1]);
                } else {
                    Put(d, at + 64 + Pick(4000), Value(), 1 + Pick(8));  // an entry's length, flags or key
                }
                break;
            }
            case 4: {  // a restart page, sound or damaged, anywhere (also across a block end)
                const size_t at = size_t(Pick(u32(sectors))) * sectorSize;
                if (at + kPageBytes > d.size()) break;
                u8* p = d.data() + at;
                std::memset(p, 0, kPageBytes);
                std::memcpy(p, "RSTR", 4);
                ntfsfuzz::PutLE(p + 4, 30, 2);
                ntfsfuzz::PutLE(p + 6, 9, 2);
                const u16 usn = u16(1 + Pick(0xFFFE));
                ntfsfuzz::PutLE(p + 30, usn, 2);
                const char16_t name[] = u"NTFS";
                for (int i = 0; i < 4; ++i) ntfsfuzz::PutLE(p + 144 + 2 * i, name[i], 2);
                Fixups(p, kPageBytes, usn);
                if (Pick(3) == 0) Put(d, at + Pick(kPageBytes), Value(), 2);
                break;
            }
            case 5: {  // a log page
                const size_t at = size_t(Pick(u32(sectors))) * sectorSize;
                if (at + kPageBytes > d.size()) break;
                u8* p = d.data() + at;
                std::memcpy(p, "RCRD", 4);
                ntfsfuzz::PutLE(p + 4, Pick(4) == 0 ? Value() : 40, 2);
                ntfsfuzz::PutLE(p + 6, Pick(4) == 0 ? Value() : 9, 2);
                const u16 usn = u16(Pick(0x10000));
                ntfsfuzz::PutLE(p + 40, usn, 2);
                Fixups(p, Pick(2) == 0 ? kPageBytes : 512 * (1 + Pick(8)), usn);
                break;
            }
            case 6: {  // a FILE record copied to another sector
                const std::vector<size_t> files = Find(d, "FILE", sectorSize);
                if (files.empty()) break;
                const size_t from = files[Pick(u32(files.size()))];
                const size_t to = size_t(Pick(u32(sectors))) * sectorSize;
                if (from + 1024 <= d.size() && to + 1024 <= d.size()) {
                    std::vector<u8> r(d.begin() + long(from), d.begin() + long(from + 1024));
                    std::copy(r.begin(), r.end(), d.begin() + long(to));
                }
                break;
            }
            case 7: {  // a stretch of zeros
                const size_t at = size_t(Pick(u32(sectors))) * sectorSize;
                const size_t n = std::min(d.size() - at, size_t(1 + Pick(64)) * sectorSize);
                std::fill(d.begin() + long(at), d.begin() + long(at + n), 0);
                break;
            }
            default: {  // bytes anywhere in a FILE record
                const std::vector<size_t> files = Find(d, "FILE", sectorSize);
                if (files.empty()) break;
                Put(d, files[Pick(u32(files.size()))] + Pick(1024), Value(), 1 + Pick(8));
                break;
            }
        }
    }

    const ntfsfuzz::ImageMap& m_map;
    u64 m_seed;
    std::mt19937_64 m_rng;
};

using DeepResult = fuzzharness::DeepResult;

// One pass of the deep search over the device in blocks of `blockSectors`, then what the
// complete scan does after its block loop, then the recovery of the tree (bounded).
inline DeepResult RunDeepRoad(IStorageDevice* device, u32 blockSectors, const std::string& scratch,
                              const ntfsfuzz::Limits& limits = ntfsfuzz::Limits()) {
    constexpr u32 kLostDataReason = 0;
    return fuzzharness::RunDeepRoad<CNTFSSearchController>(
        device, blockSectors, kLostDataReason, scratch, limits, [](CFileSystemNode* root, CSearchedPartitionInfo* c) {
            // Nodes re-read through the candidate, as a saved result's loader would.
            u32 reread = 0;
            for (CFileNode* n = root->GetFirstChild(); n && reread < 32; n = n->GetNextSibling(), ++reread) {
                if (IFileProperties* p = n->GetFileProperties()) p->SetFlag(1);
                c->ApplyToFileNode(n);
            }
        });
}

}  // namespace ntfsdeepfuzz
