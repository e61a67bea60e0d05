#include "engine/FsServices.h"

// The FAT and exFAT searches, properties and the exFAT analyser are not part of this build yet.
// Their factories answer null, which every caller takes as "not available": the deleted-file scan
// reports the file system as unsupported, the complete scan runs without these searches, and
// roots and saved properties of these kinds are not made.
IQuickFileSystemSearchController* CreateFATQuickSearch() { return nullptr; }
IQuickFileSystemSearchController* CreateExFatQuickSearch() { return nullptr; }
ICompleteFileSystemSearchController* CreateFatCompleteSearch() { return nullptr; }
ICompleteFileSystemSearchController* CreateExFatCompleteSearch() { return nullptr; }
IFileProperties* CreateFATFileProperties(u32 /*fsCode*/) { return nullptr; }
IFileProperties* CreateExFatFileProperties() { return nullptr; }
IVolume* CreateExFatVolumeAnalyzer(IStorageDevice* /*device*/, u64 /*firstSector*/) { return nullptr; }
