#pragma once
// Runs one analyser the way the RAW search does: the header check on the file's first sector,
// then the length search through a device that holds the file at a sector offset.
#include <vector>

#include "ImageDevice.h"
#include "engine/RawFileInfo.h"
#include "raw/RawFileAnalyser.h"

namespace rawtest {

constexpr u64 kFileSector = 2;  // the file starts two sectors into the device

struct Analysed {
    u32 header = 0;    // what the header check answered
    u32 result = 0;    // what the length search answered (not run when the header gave the size)
    u64 size = 0;
    u32 fileType = 0;
    CRawFileInfo record;
};

// `after` fills the device behind the file; the device has `spare` sectors more than the file.
inline Analysed Analyse(IRawFileAnalyser& analyser, const std::vector<u8>& file, u8 after = 0, u64 spare = 8,
                        u32 sectorSize = 512) {
    const u64 sectors = kFileSector + (file.size() + sectorSize - 1) / sectorSize + spare;
    testutil::MemoryDevice device(sectorSize, sectors);
    std::fill(device.data.begin() + long(kFileSector * sectorSize), device.data.end(), after);
    device.Put(kFileSector * sectorSize, file);
    Analysed a;
    a.record.startSector = kFileSector;
    a.header = analyser.CheckFileHeader(device.data.data() + kFileSector * sectorSize,
                                        u32(device.data.size() - kFileSector * sectorSize), a.record);
    if (a.header != 0 && a.record.size == 0) a.result = analyser.AnalyseFileSize(a.record, &device);
    a.size = a.record.size;
    a.fileType = a.record.fileType;
    return a;
}

}  // namespace rawtest
