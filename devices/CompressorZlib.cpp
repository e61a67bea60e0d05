#include "devices/CompressorZlib.h"

#include <new>
#include <zlib.h>

CZlibCompressor::~CZlibCompressor() { End(); }

i32 CZlibCompressor::Init(i32 level, u32 /*parameter*/) {
    End();
    m_stream = new (std::nothrow) z_stream();
    if (m_stream == nullptr) return Z_MEM_ERROR;
    const int rc = deflateInit(m_stream, level);
    if (rc != Z_OK) {
        delete m_stream;
        m_stream = nullptr;
    }
    return rc;
}

i32 CZlibCompressor::End() {
    if (m_stream == nullptr) return Z_OK;
    const int rc = deflateEnd(m_stream);
    delete m_stream;
    m_stream = nullptr;
    return rc;
}

i32 CZlibCompressor::Compress(bool finish) {
    if (m_stream == nullptr) return Z_STREAM_ERROR;
    return deflate(m_stream, finish ? Z_FINISH : Z_NO_FLUSH);
}

const char* CZlibCompressor::GetErrorText(i32 code) {
    switch (code) {
    case -6: return "version error";
    case -5: return "buffer error - bad call";
    case -4: return "not enough memory";
    case -3: return "data error";
    case -2: return "invalid stream - bad call";
    default: return "unknown error";
    }
}

czlibdecompressor::~czlibdecompressor() { End(); }

i32 czlibdecompressor::Init() {
    if (m_stream == nullptr) return Z_MEM_ERROR;
    End();
    *m_stream = z_stream();
    const int rc = inflateInit(m_stream);
    m_initialised = rc == Z_OK;
    return rc;
}

i32 czlibdecompressor::Decompress() {
    if (m_stream == nullptr || !m_initialised) return Z_STREAM_ERROR;
    return inflate(m_stream, Z_NO_FLUSH);
}

i32 czlibdecompressor::End() {
    if (m_stream == nullptr || !m_initialised) return Z_OK;
    m_initialised = false;
    return inflateEnd(m_stream);
}
