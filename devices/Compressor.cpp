#include "devices/Compressor.h"

#include <new>

#include "devices/CompressorBzip2.h"
#include "devices/CompressorLzma.h"
#include "devices/CompressorZlib.h"

ICompressor* CreateCompressor(u32 type) {
    switch (type) {
    case kCompressionBzip2: return new (std::nothrow) CBzip2Compressor();
    case kCompressionZlib: return new (std::nothrow) CZlibCompressor();
    case kCompressionLzma: return new (std::nothrow) CLZMACompressor();
    default: return nullptr;
    }
}

IDecompressor* CreateDecompressor(u32 type) {
    switch (type) {
    case kCompressionBzip2: return new (std::nothrow) cbzip2decompressor();
    case kCompressionZlib: return new (std::nothrow) czlibdecompressor();
    case kCompressionLzma: return new (std::nothrow) clzmadecompressor();
    default: return nullptr;
    }
}

void DestroyCompressor(ICompressor* compressor) { delete compressor; }

void DestroyDecompressor(IDecompressor* decompressor) { delete decompressor; }
