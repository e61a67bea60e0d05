#include "engine/FsServices.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatQuickSearch.h"
#include "fs/fat/FatVolumeAnalyze.h"

IQuickFileSystemSearchController* CreateFATQuickSearch() { return new CFATQuickSearch; }

// The FAT deep search is not part of this build yet: the complete scan runs without it.
ICompleteFileSystemSearchController* CreateFatCompleteSearch() { return nullptr; }

IFileProperties* CreateFATFileProperties(u32 fsCode) {
    static const char* const kNames[] = {"FAT12", "FAT16", "FAT32"};
    if (fsCode <= 2) return CreateFATFolderProperties(fsCode, kNames[fsCode]);
    return NewFATFileProperties();
}

namespace {
// The FAT analyser joins the volume enumeration as soon as this library is part of the program
// (the scan modes reach it through the factories above).
struct FatVolumeAnalyzerRegistration {
    FatVolumeAnalyzerRegistration() { RegisterFatVolumeAnalyzer(); }
} g_fatVolumeAnalyzerRegistration;
}  // namespace
