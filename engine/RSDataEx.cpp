#include <algorithm>
#include <cstring>

#include "devices/Compressor.h"
#include "engine/RSData.h"

namespace {

constexpr i32 kChunkLevel = 5;
constexpr u32 kChunkParameter = 0x800000;
constexpr u32 kCompressRoom = 8190;
constexpr u16 kChunkCompressed = 0x8000;
constexpr u16 kChunkLengthMask = 0x0FFF;
constexpr u32 kChunkHeaderSize = 2;
constexpr i32 kStreamEnd = 1;  // the zlib wrappers' "complete stream" result

}  // namespace

CRSDataEx::CRSDataEx(u32 mode) : CRSData(mode) {}

CRSDataEx::~CRSDataEx() {
    DestroyCompressor(m_compressor);
    DestroyDecompressor(m_decompressor);
}

void CRSDataEx::ClearChunkState() {
    m_chunkCount = 0;
    m_chunkPos = 0;
    m_chunkHeader = nullptr;
    m_walkPos = 0;
    m_walkBound = 0;
}

u32 CRSDataEx::EndSection() {
    ClearChunkState();
    return CRSData::EndSection();
}

u32 CRSDataEx::Write(const void* data, u32 n) { return CRSData::Write(data, n); }

bool CRSDataEx::Flush() {
    if (m_bufferCount == 0) return false;
    if (m_compressor == nullptr) m_compressor = CreateCompressor(kCompressionZlib);
    u8 block[kChunkHeaderSize + kCompressRoom];
    u32 done = 0;
    while (done < m_bufferCount) {
        const u32 piece = std::min(kChunkSize, m_bufferCount - done);
        const u8* src = m_buffer.data() + done;
        u32 produced = kCompressRoom;  // "not smaller" unless compression succeeds
        if (m_compressor != nullptr && m_compressor->Init(kChunkLevel, kChunkParameter) == 0) {
            bool ok = true;
            m_compressor->SetInput(src, piece);
            m_compressor->SetOutput(block + kChunkHeaderSize, kCompressRoom);
            // Each round either consumes input or fills the output area, which is twice the
            // piece: a handful of rounds at most.
            for (int round = 0; ok && m_compressor->GetAvailIn() != 0; ++round) {
                if (round == 8 || m_compressor->Compress(false) < 0) {
                    ok = false;
                    break;
                }
                m_compressor->SetOutput(m_compressor->GetNextOut(), m_compressor->GetAvailOut());
            }
            if (ok && m_compressor->Compress(true) == kStreamEnd) {
                produced = kCompressRoom - m_compressor->GetAvailOut();
            }
            m_compressor->End();
        }
        bool written;
        if (produced < piece) {
            WriteLE16(block, static_cast<u16>((produced - 1) | kChunkCompressed));
            written = WriteStored(block, kChunkHeaderSize + produced);
        } else {
            u8 header[kChunkHeaderSize];
            WriteLE16(header, static_cast<u16>(piece - 1));
            // One write of header and bytes keeps the stored chunk whole.
            std::memcpy(block, header, kChunkHeaderSize);
            std::memcpy(block + kChunkHeaderSize, src, piece);
            written = WriteStored(block, kChunkHeaderSize + piece);
        }
        if (!written) return false;
        done += piece;
    }
    m_bufferCount = 0;
    return true;
}

u32 CRSDataEx::RawUnread() const {
    const u32 used = m_chunkHeader ? static_cast<u32>(m_chunkHeader - m_buffer.data()) : 0;
    return m_bufferCount - used;
}

u32 CRSDataEx::ChunkPointerOffset() const { return m_sectionConsumed - RawUnread(); }

void CRSDataEx::Refill() {
    const u32 unread = RawUnread();
    if (m_chunkHeader != nullptr && unread != 0) std::memmove(m_buffer.data(), m_chunkHeader, unread);
    m_bufferCount = unread;
    m_chunkHeader = nullptr;
    const u32 room = kBufferSize - m_bufferCount;
    const u32 left = m_section.length - m_sectionConsumed;
    const u32 want = std::min(room, left);
    if (want == 0) return;
    const u64 at = u64(m_sectionOffset) + sizeof(ScanResultSectionHeader) + m_sectionConsumed;
    if (!m_file.Seek(at)) return;
    const u32 got = m_file.Read(m_buffer.data() + m_bufferCount, want);
    m_bufferCount += got;
    m_sectionConsumed += got;
}

void CRSDataEx::LoadChunk() {
    if (RawUnread() <= kChunkHeaderSize) Refill();
    if (RawUnread() < kChunkHeaderSize) {
        Fail(kRSEndOfData);
        ThrowPending();
    }
    u8* p = m_chunkHeader ? m_chunkHeader : m_buffer.data();
    u16 header = ReadLE16(p);
    u32 need = (header & kChunkLengthMask) + 1 + kChunkHeaderSize;
    if (RawUnread() < need) {
        Refill();
        p = m_buffer.data();
        if (RawUnread() < need) {
            Fail(kRSEndOfData);
            ThrowPending();
        }
    }
    const u32 offset = ChunkPointerOffset();
    const u32 stored = need - kChunkHeaderSize;
    const bool compressed = (header & kChunkCompressed) != 0;
    u32 produced = 0;
    if (compressed) {
        // Every stored chunk is one whole zlib stream: anything short of its end is damage, and
        // the compressed bytes are no substitute for the data.
        if (!InflateChunk(p + kChunkHeaderSize, stored, m_chunk, produced)) {
            m_chunkCount = 0;
            m_chunkPos = 0;
            Fail(kRSEndOfData);
            ThrowPending();
        }
    } else {
        std::memcpy(m_chunk, p + kChunkHeaderSize, stored);
        produced = stored;
    }
    m_chunkHeader = p + need;
    m_chunkCount = produced;
    m_chunkPos = 0;
    // Keep the look-ahead of CanRead in step with the chunks taken: it counted this chunk's
    // bytes exactly as they have now been produced.
    if (offset < m_walkPos) {
        m_walkBound = m_walkBound > produced ? m_walkBound - produced : 0;
    } else {
        m_walkPos = offset + need;
        m_walkBound = 0;
    }
}

bool CRSDataEx::InflateChunk(const u8* stored, u32 length, u8* out, u32& produced) {
    produced = 0;
    if (m_decompressor == nullptr) m_decompressor = CreateDecompressor(kCompressionZlib);
    if (m_decompressor == nullptr || m_decompressor->Init() != 0) return false;
    m_decompressor->SetInput(stored, length);
    m_decompressor->SetOutput(out, kChunkSize);
    const i32 rc = m_decompressor->Decompress();
    produced = kChunkSize - m_decompressor->GetAvailOut();
    m_decompressor->End();
    return rc == kStreamEnd;
}

u32 CRSDataEx::Read(void* buffer, u32 n) {
    RequireMode(0);
    RequireSection();
    u8* out = static_cast<u8*>(buffer);
    while (n > 0) {
        if (m_chunkPos >= m_chunkCount) {
            LoadChunk();
            continue;
        }
        const u32 take = std::min(n, m_chunkCount - m_chunkPos);
        std::memcpy(out, m_chunk + m_chunkPos, take);
        m_chunkPos += take;
        out += take;
        n -= take;
    }
    return 0;
}

bool CRSDataEx::CanRead(u64 n) {
    RequireMode(0);
    RequireSection();
    u64 avail = u64(m_chunkCount - m_chunkPos) + m_walkBound;
    if (avail >= n) return true;
    const u32 length = m_section.length;
    const u32 rawStart = m_sectionConsumed - m_bufferCount;  // section offset of m_buffer[0]
    if (m_walkPos < ChunkPointerOffset()) {
        m_walkPos = ChunkPointerOffset();
        m_walkBound = 0;
        avail = m_chunkCount - m_chunkPos;
    }
    // Walks the chunks only as far as n needs, counting each by the bytes it really yields: a
    // compressed chunk is inflated here as the read will inflate it, so a few stored bytes never
    // vouch for a whole chunk of data. A chunk is at least 3 bytes long, so the walk ends with
    // the section, and it stops at the first chunk that could not be read.
    std::vector<u8> stored;
    while (avail < n && u64(m_walkPos) + kChunkHeaderSize <= length) {
        u8 hb[kChunkHeaderSize];
        if (!ReadSectionBytes(m_walkPos, hb, kChunkHeaderSize, rawStart)) break;
        const u16 header = ReadLE16(hb);
        const u32 need = (header & kChunkLengthMask) + 1 + kChunkHeaderSize;
        if (u64(m_walkPos) + need > length) break;
        const u32 data = need - kChunkHeaderSize;
        u32 yields = data;
        if ((header & kChunkCompressed) != 0) {
            stored.resize(data);
            if (!ReadSectionBytes(m_walkPos + kChunkHeaderSize, stored.data(), data, rawStart) ||
                !InflateChunk(stored.data(), data, m_walkChunk, yields)) {
                break;
            }
        } else if (!CanReachSectionBytes(m_walkPos + kChunkHeaderSize, data, rawStart)) {
            break;
        }
        m_walkBound += yields;
        avail += yields;
        m_walkPos += need;
    }
    return avail >= n;
}

bool CRSDataEx::ReadSectionBytes(u32 at, u8* out, u32 n, u32 rawStart) {
    if (at >= rawStart && u64(at) + n <= m_sectionConsumed) {
        std::memcpy(out, m_buffer.data() + (at - rawStart), n);
        return true;
    }
    const u64 offset = u64(m_sectionOffset) + sizeof(ScanResultSectionHeader) + at;
    return m_file.Seek(offset) && m_file.Read(out, n) == n;
}

bool CRSDataEx::CanReachSectionBytes(u32 at, u32 n, u32 rawStart) {
    if (n == 0 || (at >= rawStart && u64(at) + n <= m_sectionConsumed)) return true;
    // A stored chunk that the file does not hold to its last byte will not be read either.
    u64 size = 0;
    return m_file.GetSize(&size) && u64(m_sectionOffset) + sizeof(ScanResultSectionHeader) + at + n <= size;
}
