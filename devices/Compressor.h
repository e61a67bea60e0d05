#pragma once
// Push-style block compressors and decompressors chosen by compression type:
// 1 bzip2, 2 zlib, 3 LZMA; any other type means the data is stored as it is.
#include "platform/Types.h"

constexpr u32 kCompressionBzip2 = 1;
constexpr u32 kCompressionZlib = 2;
constexpr u32 kCompressionLzma = 3;

class ICompressor {
public:
    virtual ~ICompressor() = default;
    virtual i32 Init(i32 level, u32 parameter) = 0;  // 0 on success
    virtual i32 End() = 0;
    virtual i32 Compress(bool finish) = 0;  // negative on error
    virtual void SetInput(const void* data, u32 length) = 0;
    virtual void SetOutput(void* buffer, u32 capacity) = 0;
    virtual u8* GetNextOut() = 0;
    virtual u32 GetAvailIn() = 0;
    virtual u32 GetAvailOut() = 0;
    virtual const char* GetName() = 0;
    virtual const char* GetErrorText(i32 code) = 0;
};

class IDecompressor {
public:
    virtual ~IDecompressor() = default;
    virtual i32 Init() = 0;
    virtual void SetInput(const void* data, u32 length) = 0;
    virtual void SetOutput(void* buffer, u32 capacity) = 0;
    virtual u32 GetAvailOut() = 0;  // produced = capacity - this
    virtual i32 Decompress() = 0;   // negative on error
    virtual i32 End() = 0;
};

// A new object of that type, null for any other type.
ICompressor* CreateCompressor(u32 type);
IDecompressor* CreateDecompressor(u32 type);
// Null is allowed.
void DestroyCompressor(ICompressor* compressor);
void DestroyDecompressor(IDecompressor* decompressor);
