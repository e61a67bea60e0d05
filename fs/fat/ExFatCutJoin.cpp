#include "fs/fat/ExFatCutJoin.h"

#include <algorithm>
#include <vector>

namespace {
// The two bytes of the file entry that hold the set's checksum.
constexpr u32 kSetChecksumOffset = 2;
}  // namespace

u32 ExFatLeadingSecondaries(const u8* tail, size_t bytes) {
    if (bytes < kExFatEntrySize) return 0;
    const u8 inUse = tail[0] & kExFatTypeInUse;
    u32 count = 0;
    for (size_t at = 0; at + kExFatEntrySize <= bytes; at += kExFatEntrySize, ++count) {
        const u8 type = tail[at];
        if (!IsExFatSetSecondary(type) || (type & kExFatTypeInUse) != inUse) break;
    }
    return count;
}

bool JoinExFatCutSet(const u8* head, size_t headBytes, u64 position, const u8* tail, size_t tailBytes,
                     u32 leadingSecondaries, const ExFatWalkLimits& limits, ExFatEntrySet& joined) {
    if (headBytes < kExFatEntrySize || leadingSecondaries == 0 || tailBytes < kExFatEntrySize) return false;
    const u32 entries = u32(head[1]) + 1;
    const u32 present = u32(headBytes / kExFatEntrySize);
    const u32 usable = std::min<u32>(leadingSecondaries, u32(tailBytes / kExFatEntrySize));
    // Only secondaries of the head's state can finish the set, and a tail that begins with the
    // stream extension finishes it right after the file entry: the other cuts fail their checks
    // anyway, and are not tried, for heads and tails may be many.
    if ((tail[0] & kExFatTypeInUse) != (head[0] & kExFatTypeInUse)) return false;
    const bool streamFirst = u8(tail[0] | kExFatTypeInUse) == kExFatStreamEntry;
    const u32 fewest = entries > usable ? entries - usable : 1;
    const u16 stored = ReadLE16(head + kSetChecksumOffset);
    std::vector<u8> set(size_t(entries) * kExFatEntrySize);
    for (u32 k = std::min(present, entries - 1); k >= std::max(fewest, 1u); --k) {
        if (entries - k > kExFatMaxSecondaries || (streamFirst && k != 1)) continue;
        std::copy(head, head + size_t(k) * kExFatEntrySize, set.begin());
        std::copy(tail, tail + size_t(entries - k) * kExFatEntrySize, set.begin() + ptrdiff_t(k) * kExFatEntrySize);
        if (!ExFatSetChecksumMatches(set.data(), u32(set.size()), stored)) continue;
        // Every entry of the joined set passes its check and joins it.
        ExFatEntrySetParser parser;
        parser.SetLimits(limits);
        if (!parser.Feed(set.data(), u32(set.size()), position)) continue;
        std::vector<ExFatEntrySet>& sets = parser.GetSets();
        if (sets.size() != 1 || sets.front().count != entries) continue;
        joined = std::move(sets.front());
        return true;
    }
    return false;
}
