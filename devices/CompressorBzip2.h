#pragma once
#include "devices/Compressor.h"

#include <bzlib.h>

class CBzip2Compressor : public ICompressor {
public:
    CBzip2Compressor() = default;
    ~CBzip2Compressor() override;
    CBzip2Compressor(const CBzip2Compressor&) = delete;
    CBzip2Compressor& operator=(const CBzip2Compressor&) = delete;

    // level is the block size in 100 kB units (1 to 9).
    i32 Init(i32 level, u32 parameter) override;
    i32 End() override;
    // Returns 1 once the stream has ended and finishing is asked again.
    i32 Compress(bool finish) override;
    void SetInput(const void* data, u32 length) override;
    void SetOutput(void* buffer, u32 capacity) override;
    u8* GetNextOut() override;
    u32 GetAvailIn() override;
    u32 GetAvailOut() override;
    const char* GetName() override { return "bzip2"; }
    const char* GetErrorText(i32 code) override;

private:
    bz_stream* m_stream = nullptr;
    int m_lastResult = 0;
};

class cbzip2decompressor : public IDecompressor {
public:
    cbzip2decompressor();
    ~cbzip2decompressor() override;
    cbzip2decompressor(const cbzip2decompressor&) = delete;
    cbzip2decompressor& operator=(const cbzip2decompressor&) = delete;

    i32 Init() override;
    void SetInput(const void* data, u32 length) override;
    void SetOutput(void* buffer, u32 capacity) override;
    u32 GetAvailOut() override;
    i32 Decompress() override;
    i32 End() override;

private:
    bz_stream* m_stream = nullptr;
    bool m_initialised = false;
};
