#pragma once
#include "devices/Compressor.h"
#include "devices/CompressorStream.h"

#include <zlib.h>

class CZlibCompressor : public CStreamCompressor<z_stream> {
public:
    ~CZlibCompressor() override;

    i32 Init(i32 level, u32 parameter) override;  // the parameter is not used
    i32 End() override;
    // deflate's own result: Z_FINISH when finish, else Z_NO_FLUSH.
    i32 Compress(bool finish) override;
    const char* GetName() override { return "zlib"; }
    const char* GetErrorText(i32 code) override;
};

class czlibdecompressor : public CStreamDecompressor<z_stream> {
public:
    ~czlibdecompressor() override;

    i32 Init() override;
    i32 Decompress() override;
    i32 End() override;
};
