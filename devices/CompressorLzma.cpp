#include "devices/CompressorLzma.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

#include "LzmaDec.h"
#include "LzmaEnc.h"

namespace {

void* SzAlloc(void*, size_t size) { return size == 0 ? nullptr : std::malloc(size); }
void SzFree(void*, void* address) { std::free(address); }
ISzAlloc g_alloc = {SzAlloc, SzFree};

constexpr i32 kLzmaBadCall = -1;
constexpr i32 kLzmaInitFailed = -2;
constexpr i32 kLzmaThreadError = -3;
constexpr i32 kLzmaIoError = -4;
constexpr i32 kLzmaNoMemory = -5;

}  // namespace

// The encoder's callbacks receive a pointer to the interface struct; the owner sits beside it.
struct CLZMACompressor::InStream {
    ISeqInStream vt;
    CLZMACompressor* owner;
};
struct CLZMACompressor::OutStream {
    ISeqOutStream vt;
    CLZMACompressor* owner;
};

namespace {

SRes LzmaInRead(void* p, void* buf, size_t* size);
size_t LzmaOutWrite(void* p, const void* buf, size_t size);

}  // namespace

// Friends of the compressor, so that the callbacks can reach its hand-over state.
struct LzmaCallbacks {
    static SRes Read(CLZMACompressor& c, void* buf, size_t* size) {
        const size_t wanted = *size;
        *size = 0;
        if (wanted == 0) return SZ_OK;
        if (c.m_inCount == 0) {
            if (c.m_finishing) return SZ_OK;  // end of data
            if (!c.HandToCaller()) return SZ_ERROR_READ;
            if (c.m_inCount == 0) return c.m_finishing ? SZ_OK : SZ_ERROR_READ;
        }
        const size_t n = wanted < c.m_inCount ? wanted : c.m_inCount;
        std::memcpy(buf, c.m_in, n);
        c.m_in += n;
        c.m_inCount -= static_cast<u32>(n);
        *size = n;
        return SZ_OK;
    }

    static size_t Write(CLZMACompressor& c, const void* buf, size_t size) {
        const u8* src = static_cast<const u8*>(buf);
        size_t done = 0;
        while (done < size) {
            if (c.m_outCount == 0) {
                if (!c.HandToCaller() || c.m_outCount == 0) break;  // aborted
            }
            size_t n = size - done;
            if (n > c.m_outCount) n = c.m_outCount;
            std::memcpy(c.m_out, src + done, n);
            c.m_out += n;
            c.m_outCount -= static_cast<u32>(n);
            done += n;
        }
        return done;
    }
};

namespace {

SRes LzmaInRead(void* p, void* buf, size_t* size) {
    return LzmaCallbacks::Read(*static_cast<CLZMACompressor::InStream*>(p)->owner, buf, size);
}

size_t LzmaOutWrite(void* p, const void* buf, size_t size) {
    return LzmaCallbacks::Write(*static_cast<CLZMACompressor::OutStream*>(p)->owner, buf, size);
}

}  // namespace

CLZMACompressor::CLZMACompressor()
    : m_inStream(new InStream{{LzmaInRead}, this}), m_outStream(new OutStream{{LzmaOutWrite}, this}) {
    m_encoder = LzmaEnc_Create(&g_alloc);
}

CLZMACompressor::~CLZMACompressor() {
    End();
    if (m_encoder != nullptr) LzmaEnc_Destroy(m_encoder, &g_alloc, &g_alloc);
    delete m_inStream;
    delete m_outStream;
}

i32 CLZMACompressor::Init(i32 /*level*/, u32 parameter) {
    End();
    m_result = 0;
    m_finishing = false;
    m_ended = false;
    if (m_encoder == nullptr) return kLzmaInitFailed;
    m_ready.Reset();
    m_go.Reset();
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.algo = 2;  // anything but 0 is the normal (not fast) mode
    props.dictSize = parameter;
    props.fb = 64;
    props.writeEndMark = 1;  // the stream carries its own end
    if (LzmaEnc_SetProps(m_encoder, &props) != SZ_OK) {
        m_ended = true;
        return kLzmaInitFailed;
    }
    return 0;
}

i32 CLZMACompressor::CodeFromResult(int sres) {
    return sres == SZ_ERROR_MEM ? kLzmaNoMemory : kLzmaIoError;
}

bool CLZMACompressor::HandToCaller() {
    m_ready.Set();
    if (m_go.Wait(kInfinite) != kWaitObject0) {
        m_ended = true;
        m_result = kLzmaThreadError;
        return false;
    }
    return !m_ended;
}

void CLZMACompressor::Worker() {
    try {
        u8 header[LZMA_PROPS_SIZE];
        SizeT headerSize = sizeof header;
        SRes rc = LzmaEnc_WriteProperties(m_encoder, header, &headerSize);
        if (rc == SZ_OK && LzmaOutWrite(m_outStream, header, headerSize) != headerSize) rc = SZ_ERROR_WRITE;
        if (rc == SZ_OK) {
            rc = LzmaEnc_Encode(m_encoder, &m_outStream->vt, &m_inStream->vt, nullptr, &g_alloc, &g_alloc);
        }
        if (rc == SZ_OK) {
            m_result = 1;
        } else if (m_result == 0) {
            m_result = CodeFromResult(rc);
        }
    } catch (...) {
        if (m_result == 0) m_result = kLzmaIoError;
    }
    m_ended = true;
    m_ready.Set();
}

i32 CLZMACompressor::Compress(bool finish) {
    if (m_ended) return finish ? 0 : kLzmaBadCall;
    m_finishing = finish;
    if (!m_worker.joinable()) {
        try {
            m_worker = std::thread(&CLZMACompressor::Worker, this);
        } catch (const std::system_error&) {
            return kLzmaInitFailed;
        }
    } else {
        m_go.Set();
    }
    // The worker sets the ready event on every hand-over and as its very last step, so this
    // wait also ends when the worker does.
    m_ready.Wait(kInfinite);
    if (m_ended) return m_result;
    return 0;
}

i32 CLZMACompressor::End() {
    if (m_worker.joinable()) {
        if (!m_ended) {
            m_inCount = 0;
            m_outCount = 0;
            m_ended = true;
            m_go.Set();
        }
        m_worker.join();
    }
    m_in = nullptr;
    m_inCount = 0;
    m_out = nullptr;
    m_outCount = 0;
    m_ended = true;
    return 0;
}

void CLZMACompressor::SetInput(const void* data, u32 length) {
    m_in = static_cast<const u8*>(data);
    m_inCount = data != nullptr ? length : 0;
}

void CLZMACompressor::SetOutput(void* buffer, u32 capacity) {
    m_out = static_cast<u8*>(buffer);
    m_outCount = buffer != nullptr ? capacity : 0;
}

u8* CLZMACompressor::GetNextOut() { return m_out; }
u32 CLZMACompressor::GetAvailIn() { return m_inCount; }
u32 CLZMACompressor::GetAvailOut() { return m_outCount; }

const char* CLZMACompressor::GetErrorText(i32 code) {
    switch (code) {
    case -5: return "not enough memory";
    case -4: return "input/output error";
    case -3: return "thread synchronization error";
    case -2: return "initialization failed";
    case -1: return "bad call";
    default: return "unknown error";
    }
}

// ---- decoder ----

struct clzmadecompressor::State {
    CLzmaDec dec;
    bool allocated = false;
    bool finished = false;
    u8 header[LZMA_PROPS_SIZE] = {};
    u32 headerCount = 0;
};

clzmadecompressor::clzmadecompressor() : m_state(new (std::nothrow) State()) {
    if (m_state != nullptr) {
        std::memset(&m_state->dec, 0, sizeof m_state->dec);
        LzmaDec_Construct(&m_state->dec);
    }
}

clzmadecompressor::~clzmadecompressor() {
    End();
    delete m_state;
}

i32 clzmadecompressor::Init() {
    if (m_state == nullptr) return kLzmaNoMemory;
    End();
    m_state->headerCount = 0;
    m_state->finished = false;
    return 0;
}

void clzmadecompressor::SetInput(const void* data, u32 length) {
    m_in = static_cast<const u8*>(data);
    m_inCount = data != nullptr ? length : 0;
}

void clzmadecompressor::SetOutput(void* buffer, u32 capacity) {
    m_out = static_cast<u8*>(buffer);
    m_outCount = buffer != nullptr ? capacity : 0;
}

u32 clzmadecompressor::GetAvailOut() { return m_outCount; }

i32 clzmadecompressor::Decompress() {
    if (m_state == nullptr) return kLzmaNoMemory;
    State& s = *m_state;
    if (s.finished) return 1;
    while (s.headerCount < LZMA_PROPS_SIZE && m_inCount > 0) {
        s.header[s.headerCount++] = *m_in++;
        --m_inCount;
    }
    if (s.headerCount < LZMA_PROPS_SIZE) return 0;
    if (!s.allocated) {
        // A damaged header may state any dictionary size: allocate no more than a bounded one.
        // Distances are checked against the bytes decoded so far, so a stream shorter than the
        // bound decodes the same.
        u8 props[LZMA_PROPS_SIZE];
        std::memcpy(props, s.header, sizeof props);
        u32 dict = ReadLE32(props + 1);
        if (dict > kMaxDictionary) dict = kMaxDictionary;
        WriteLE32(props + 1, dict);
        const SRes rc = LzmaDec_Allocate(&s.dec, props, LZMA_PROPS_SIZE, &g_alloc);
        if (rc != SZ_OK) return rc == SZ_ERROR_MEM ? kLzmaNoMemory : kLzmaBadCall;
        LzmaDec_Init(&s.dec);
        s.allocated = true;
    }
    SizeT outLen = m_outCount;
    SizeT inLen = m_inCount;
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    const SRes rc = LzmaDec_DecodeToBuf(&s.dec, m_out, &outLen, m_in, &inLen, LZMA_FINISH_ANY, &status);
    if (m_out != nullptr) m_out += outLen;
    m_outCount -= static_cast<u32>(outLen);
    m_in += inLen;
    m_inCount -= static_cast<u32>(inLen);
    if (rc != SZ_OK) return kLzmaBadCall;
    if (status == LZMA_STATUS_FINISHED_WITH_MARK) {
        s.finished = true;
        return 1;
    }
    return 0;
}

i32 clzmadecompressor::End() {
    if (m_state == nullptr) return 0;
    if (m_state->allocated) {
        LzmaDec_Free(&m_state->dec, &g_alloc);
        LzmaDec_Construct(&m_state->dec);
        m_state->allocated = false;
    }
    return 0;
}
