#pragma once
#include "devices/Compressor.h"

struct z_stream_s;

class CZlibCompressor : public ICompressor {
public:
    CZlibCompressor() = default;
    ~CZlibCompressor() override;
    CZlibCompressor(const CZlibCompressor&) = delete;
    CZlibCompressor& operator=(const CZlibCompressor&) = delete;

    i32 Init(i32 level, u32 parameter) override;  // the parameter is not used
    i32 End() override;
    // deflate's own result: Z_FINISH when finish, else Z_NO_FLUSH.
    i32 Compress(bool finish) override;
    void SetInput(const void* data, u32 length) override;
    void SetOutput(void* buffer, u32 capacity) override;
    u8* GetNextOut() override;
    u32 GetAvailIn() override;
    u32 GetAvailOut() override;
    const char* GetName() override { return "zlib"; }
    const char* GetErrorText(i32 code) override;

private:
    z_stream_s* m_stream = nullptr;
};

class czlibdecompressor : public IDecompressor {
public:
    czlibdecompressor();
    ~czlibdecompressor() override;
    czlibdecompressor(const czlibdecompressor&) = delete;
    czlibdecompressor& operator=(const czlibdecompressor&) = delete;

    i32 Init() override;
    void SetInput(const void* data, u32 length) override;
    void SetOutput(void* buffer, u32 capacity) override;
    u32 GetAvailOut() override;
    i32 Decompress() override;
    i32 End() override;

private:
    z_stream_s* m_stream = nullptr;
    bool m_initialised = false;
};
