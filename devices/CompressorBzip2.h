#pragma once
#include "devices/Compressor.h"
#include "devices/CompressorStream.h"

#include <bzlib.h>

class CBzip2Compressor : public CStreamCompressor<bz_stream> {
public:
    ~CBzip2Compressor() override;

    // level is the block size in 100 kB units (1 to 9).
    i32 Init(i32 level, u32 parameter) override;
    i32 End() override;
    // Returns 1 once the stream has ended and finishing is asked again.
    i32 Compress(bool finish) override;
    const char* GetName() override { return "bzip2"; }
    const char* GetErrorText(i32 code) override;

private:
    int m_lastResult = 0;
};

class cbzip2decompressor : public CStreamDecompressor<bz_stream> {
public:
    ~cbzip2decompressor() override;

    i32 Init() override;
    i32 Decompress() override;
    i32 End() override;
};
