#pragma once
// LZNT1, the compression of NTFS-compressed files: a compression unit's data is a sequence of
// chunks, each of which expands to at most 4096 bytes. Input comes from a damaged disk as often
// as not, so every read stays inside the given bytes and every write inside the chunk.
#include <cstddef>

#include "platform/Types.h"

constexpr size_t kLznt1ChunkSize = 4096;

// Decodes the chunk whose header is at `in` (inSize bytes available from there) into out, which
// holds outCapacity bytes (at most one chunk is ever written). A back-reference that reaches
// before the chunk's first output byte yields zeros. Returns the bytes output, or -1 when the
// chunk is damaged: its header announces more bytes than are available, a token is cut off by
// the chunk's end, or the output would pass outCapacity. *consumed receives the chunk's length
// including its header.
i32 DecompressLznt1Unit(const u8* in, size_t inSize, u8* out, size_t outCapacity, size_t* consumed);

// Decodes the chunks of one compression unit; chunk k lands at out + k x 4096, so a chunk that
// expands to less than 4096 bytes leaves zeros up to the next one (the caller zeroes out).
// Decoding stops at a zero header, at the end of the input, or once outSize is filled. False
// when a chunk is damaged; *produced receives the end of the last chunk's output, and *consumed
// where the zero header that stopped decoding lies, or inSize when none did.
bool DecompressLznt1Buffer(const u8* in, size_t inSize, u8* out, size_t outSize, size_t* produced,
                           size_t* consumed = nullptr);
