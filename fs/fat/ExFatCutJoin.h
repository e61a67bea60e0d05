#pragma once
// A set cut where one cluster of a folder ends lies in two halves: its head (the file entry and
// the entries before the cut, at the end of one cluster) and its tail (the rest, at the start of
// another). The block walker and the tree build both join halves again; they do it with this one
// test and find the partners to try with this one search, under one bound.
#include <cstddef>
#include <iterator>

#include "fs/fat/ExFatEntrySet.h"
#include "platform/Types.h"

// Partners tried for each half, the nearest on the device first. A folder's clusters are rarely
// far apart, and on a device full of unmatched halves (overwritten folders, look-alike data)
// trying every stored partner would make the join quadratic in the number of cuts.
constexpr u32 kExFatCutPartnersTried = 64;
// A tail holds every secondary of the longest set.
constexpr size_t kExFatTailBytes = size_t(kExFatMaxSecondaries) * kExFatEntrySize;

// Whether an entry of this type, in use or not, is a stream or name entry: one that only a file
// entry before it can start, and so what a cut set's tail begins with.
inline bool IsExFatSetSecondary(u8 type) {
    const u8 inUse = u8(type | kExFatTypeInUse);
    return inUse == kExFatStreamEntry || inUse == kExFatNameEntry;
}

// How many entries from the first one on are secondaries of a set (stream or name entries) of one
// in-use state: the most of a cut set the tail can finish.
u32 ExFatLeadingSecondaries(const u8* tail, size_t bytes);

// The set the head and the tail make, when its checksum and every entry check out. `head` holds
// the entries from the file entry on that were kept before the cut (the cut may still lie before
// some of them); `position` is the sector of the file entry.
bool JoinExFatCutSet(const u8* head, size_t headBytes, u64 position, const u8* tail, size_t tailBytes,
                     u32 leadingSecondaries, const ExFatWalkLimits& limits, ExFatEntrySet& joined);

// The partner nearest to `sector` (either side, in sector distance) among [begin, end), sorted
// by `keyOf`, that `joins` accepts, or `end`. Every partner offered counts toward the bound,
// whether `joins` takes it, refuses it or passes it over (one already joined, one another folder
// owns); only a partner at `sector` itself is passed over free.
template <class It, class KeyOf, class Joins>
It NearestExFatCutPartner(It begin, It end, It at, u64 sector, KeyOf&& keyOf, Joins&& joins) {
    It after = at;
    It before = at;
    for (u32 tried = 0; tried < kExFatCutPartnersTried;) {
        const bool hasAfter = after != end;
        const bool hasBefore = before != begin;
        if (!hasAfter && !hasBefore) break;
        It candidate;
        if (hasAfter && (!hasBefore || keyOf(*after) - sector <= sector - keyOf(*std::prev(before)))) {
            candidate = after++;
        } else {
            candidate = --before;
        }
        if (keyOf(*candidate) == sector) continue;
        ++tried;
        if (joins(*candidate)) return candidate;
    }
    return end;
}
