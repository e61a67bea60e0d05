#pragma once
// The part of the bzip2 and zlib compressors and decompressors that is the same for both: the
// caller's input and output areas, which both libraries keep in the next_in, avail_in, next_out
// and avail_out fields of their stream. The library's own calls stay with each class.
#include <new>
#include <type_traits>

#include "devices/Compressor.h"

namespace compressorstream {

template <class Stream>
void SetInput(Stream* stream, const void* data, u32 length) {
    if (stream == nullptr) return;
    using Byte = std::remove_pointer_t<decltype(stream->next_in)>;
    stream->next_in = static_cast<Byte*>(const_cast<void*>(data));
    stream->avail_in = length;
}

template <class Stream>
void SetOutput(Stream* stream, void* buffer, u32 capacity) {
    if (stream == nullptr) return;
    using Byte = std::remove_pointer_t<decltype(stream->next_out)>;
    stream->next_out = static_cast<Byte*>(buffer);
    stream->avail_out = capacity;
}

}  // namespace compressorstream

// A compressor over a library stream it owns (null until Init and after End).
template <class Stream>
class CStreamCompressor : public ICompressor {
public:
    CStreamCompressor() = default;
    CStreamCompressor(const CStreamCompressor&) = delete;
    CStreamCompressor& operator=(const CStreamCompressor&) = delete;

    void SetInput(const void* data, u32 length) override { compressorstream::SetInput(m_stream, data, length); }
    void SetOutput(void* buffer, u32 capacity) override { compressorstream::SetOutput(m_stream, buffer, capacity); }
    u8* GetNextOut() override { return m_stream ? reinterpret_cast<u8*>(m_stream->next_out) : nullptr; }
    u32 GetAvailIn() override { return m_stream ? m_stream->avail_in : 0; }
    u32 GetAvailOut() override { return m_stream ? m_stream->avail_out : 0; }

protected:
    Stream* m_stream = nullptr;
};

// A decompressor over a library stream it owns from its construction (null when that failed);
// m_initialised says whether the library holds state for it.
template <class Stream>
class CStreamDecompressor : public IDecompressor {
public:
    CStreamDecompressor() : m_stream(new (std::nothrow) Stream()) {}
    ~CStreamDecompressor() override { delete m_stream; }
    CStreamDecompressor(const CStreamDecompressor&) = delete;
    CStreamDecompressor& operator=(const CStreamDecompressor&) = delete;

    void SetInput(const void* data, u32 length) override { compressorstream::SetInput(m_stream, data, length); }
    void SetOutput(void* buffer, u32 capacity) override { compressorstream::SetOutput(m_stream, buffer, capacity); }
    u32 GetAvailOut() override { return m_stream ? m_stream->avail_out : 0; }

protected:
    Stream* m_stream = nullptr;
    bool m_initialised = false;
};
