#include "devices/CompressorBzip2.h"

#include <bzlib.h>
#include <new>

namespace {
constexpr int kBzWorkFactor = 30;
}

CBzip2Compressor::~CBzip2Compressor() { End(); }

i32 CBzip2Compressor::Init(i32 level, u32 /*parameter*/) {
    End();
    m_lastResult = 0;
    m_stream = new (std::nothrow) bz_stream();
    if (m_stream == nullptr) return BZ_MEM_ERROR;
    const int rc = BZ2_bzCompressInit(m_stream, level, 0, kBzWorkFactor);
    if (rc != BZ_OK) {
        delete m_stream;
        m_stream = nullptr;
    }
    return rc;
}

i32 CBzip2Compressor::End() {
    if (m_stream == nullptr) return BZ_OK;
    const int rc = BZ2_bzCompressEnd(m_stream);
    delete m_stream;
    m_stream = nullptr;
    return rc;
}

i32 CBzip2Compressor::Compress(bool finish) {
    if (m_lastResult == BZ_STREAM_END && finish) return 1;
    if (m_stream == nullptr) return BZ_SEQUENCE_ERROR;
    m_lastResult = BZ2_bzCompress(m_stream, finish ? BZ_FINISH : BZ_RUN);
    return m_lastResult < 0 ? m_lastResult : 0;
}

const char* CBzip2Compressor::GetErrorText(i32 code) {
    switch (code) {
    case -9: return "config error";
    case -3: return "not enough memory";
    case -2: return "parameter error - bad call";
    case -1: return "sequence error - bad call";
    default: return "unknown error";
    }
}

cbzip2decompressor::~cbzip2decompressor() { End(); }

i32 cbzip2decompressor::Init() {
    if (m_stream == nullptr) return BZ_MEM_ERROR;
    End();
    *m_stream = bz_stream();
    const int rc = BZ2_bzDecompressInit(m_stream, 0, 0);
    m_initialised = rc == BZ_OK;
    return rc;
}

i32 cbzip2decompressor::Decompress() {
    if (m_stream == nullptr || !m_initialised) return BZ_SEQUENCE_ERROR;
    return BZ2_bzDecompress(m_stream);
}

i32 cbzip2decompressor::End() {
    if (m_stream == nullptr || !m_initialised) return BZ_OK;
    m_initialised = false;
    return BZ2_bzDecompressEnd(m_stream);
}
