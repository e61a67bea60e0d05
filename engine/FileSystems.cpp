#include "engine/FileSystems.h"

#include <mutex>

#include "fs/fat/ExFatVolume.h"
#include "fs/fat/FatVolumeAnalyze.h"
#include "fs/ntfs/NTFSVolume.h"

void RegisterFileSystemAnalyzers() {
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterNTFSVolumeAnalyzer();
        RegisterFatVolumeAnalyzer();
        RegisterExFatVolumeAnalyzer();
    });
}
