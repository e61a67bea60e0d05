#pragma once
// exFAT entry sets made byte by byte for tests that lay folders out by hand. Header-only, so that
// the support library does not change.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/Types.h"

namespace testutil {

constexpr u16 kExFatAttrFolder = 0x10;
constexpr u16 kExFatAttrArchive = 0x20;

// An in-use set of `name` (ASCII) at `cluster` of `length` bytes, its checksum as the format
// computes it; `contiguous` sets the stream's no-FAT-chain flag.
inline std::vector<u8> MakeExFatSet(const std::string& name, u32 cluster, u64 length, u16 attributes,
                                    bool contiguous) {
    constexpr u32 kEntry = 32;
    constexpr u32 kNameUnitsPerEntry = 15;
    // 10 May 2024, 10:20:30.
    constexpr u32 kTimestamp = (44u << 25) | (5u << 21) | (10u << 16) | (10u << 11) | (20u << 5) | 15u;
    const u32 names = u32(name.size() + kNameUnitsPerEntry - 1) / kNameUnitsPerEntry;
    std::vector<u8> set(size_t(2 + names) * kEntry, 0);
    u8* file = set.data();
    file[0] = 0x85;
    file[1] = u8(1 + names);
    WriteLE16(file + 4, attributes);
    for (u32 at : {8u, 12u, 16u}) WriteLE32(file + at, kTimestamp);
    u8* stream = file + kEntry;
    stream[0] = 0xC0;
    stream[1] = contiguous ? 0x03 : 0x01;
    stream[3] = u8(name.size());
    WriteLE64(stream + 8, length);
    WriteLE32(stream + 20, cluster);
    WriteLE64(stream + 24, length);
    for (u32 n = 0; n < names; ++n) {
        u8* entry = stream + kEntry * (1 + n);
        entry[0] = 0xC1;
        for (u32 i = 0; i < kNameUnitsPerEntry && n * kNameUnitsPerEntry + i < name.size(); ++i) {
            WriteLE16(entry + 2 + 2 * i, u8(name[n * kNameUnitsPerEntry + i]));
        }
    }
    u16 sum = 0;
    for (size_t i = 0; i < set.size(); ++i) {
        if (i == 2 || i == 3) continue;
        sum = u16(((sum & 1) != 0 ? 0x8000 : 0) + (sum >> 1) + set[i]);
    }
    WriteLE16(file + 2, sum);
    return set;
}

// Marks every entry of the set that begins at `set` deleted, as removing its file does: the
// checksum stays the one the set had in use.
inline void MarkExFatSetDeleted(u8* set) {
    for (u32 k = 0; k <= set[1]; ++k) set[32 * k] &= 0x7F;
}

// Lays `entries` over the clusters in order (`clusterAt` gives a cluster's bytes), a cluster's end
// cutting whatever set it meets.
template <class ClusterAt>
void LayExFatEntries(const std::vector<u32>& clusters, const std::vector<u8>& entries, u32 clusterBytes,
                     ClusterAt clusterAt) {
    size_t at = 0;
    for (u32 c : clusters) {
        const size_t n = std::min<size_t>(clusterBytes, entries.size() - at);
        std::copy(entries.begin() + i64(at), entries.begin() + i64(at + n), clusterAt(c));
        at += n;
    }
}

}  // namespace testutil
