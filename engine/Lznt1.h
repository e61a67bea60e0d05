#pragma once
// LZNT1, the compression of NTFS-compressed files: a compression unit's data is a sequence of
// chunks, each of which expands to at most 4096 bytes. Input comes from a damaged disk as often
// as not, so every read stays inside the given bytes and every write inside the chunk.
#include <cstddef>
#include <utility>
#include <vector>

#include "platform/Types.h"

constexpr size_t kLznt1ChunkSize = 4096;

// A compressor writes at most 24 zero bytes in a row inside a compressed chunk: eight tokens of
// zero after a flag byte that is not, then a flag byte of zero and seven zero literals, for
// runs of zeros are written as back-references. A longer run is a zeroed sector, not data.
constexpr size_t kLongestCompressedZeroRun = 24;

// Decodes the chunk whose header is at `in` (inSize bytes available from there) into out, which
// holds outCapacity bytes (at most one chunk is ever written). A back-reference that reaches
// before the chunk's first output byte yields zeros. Returns the bytes output, or -1 when the
// chunk is damaged: its header announces more bytes than are available, a token is cut off by
// the chunk's end, the output would pass outCapacity, or a compressed chunk holds more than
// kLongestCompressedZeroRun zero bytes in a row. *consumed receives the chunk's length
// including its header; *reachedBefore, when given, whether a back-reference reached before the
// chunk's first output byte, which no compressor writes.
i32 DecompressLznt1Unit(const u8* in, size_t inSize, u8* out, size_t outCapacity, size_t* consumed,
                        bool* reachedBefore = nullptr);

// What decoding one compression unit found. Of a damaged unit, the output at and past `good` is
// not known to be the data's; of a sound one, what the chunks leave is zeros of the data.
struct Lznt1UnitResult {
    // Where the output of the chunks before the first damaged one ends, or the last chunk's.
    size_t good = 0;
    // A unit's chunks expand to every byte of the data it holds, each to 4096 bytes but the
    // data's last, and fill no more slots than the unit has; the unit ends with its last slot or
    // with the chunk that reaches the data's end, and what follows in its cluster is not its own.
    // So the unit is damaged when a chunk is (see DecompressLznt1Unit) or refers to bytes before
    // its own; when one expands to less than 4096 bytes where the data goes on past it; or when
    // the chunks stop short of the data, at a zero header or at the end of the input (on zeros
    // that begin at a sector boundary, as a zeroed sector leaves them, the chunk whose tail those
    // zeros took is lost too).
    bool damaged = false;
    // Output ranges, in order, of stored chunks' bytes that lie on whole sectors of zeros: a
    // compressor would have compressed such a chunk, so the zeros are a zeroed sector's.
    std::vector<std::pair<size_t, size_t>> zeroedStored;
};

// Decodes the chunks of one compression unit, read in whole sectors of sectorSize bytes from
// its first byte on, whose data fills dataBytes of the output (a file's last unit fills less
// than the unit); chunk k lands at out + k x 4096 (the caller zeroes out). Decoding stops at a
// zero header, at the end of the input, at a damaged chunk, or once outSize is filled or the
// output reaches dataBytes: bytes after that are never looked at. Returns
// whether no chunk is damaged. A stored chunk holds its bytes as they are, so another file's
// bytes in its place are not seen.
bool DecompressLznt1Buffer(const u8* in, size_t inSize, u8* out, size_t outSize, size_t dataBytes, size_t sectorSize,
                           Lznt1UnitResult& result);
