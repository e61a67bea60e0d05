#include "engine/FsServices.h"

// The exFAT searches, properties and analyser are not part of this build yet. Their factories
// answer null, which every caller takes as "not available".
IQuickFileSystemSearchController* CreateExFatQuickSearch() { return nullptr; }
ICompleteFileSystemSearchController* CreateExFatCompleteSearch() { return nullptr; }
IFileProperties* CreateExFatFileProperties() { return nullptr; }
IVolume* CreateExFatVolumeAnalyzer(IStorageDevice* /*device*/, u64 /*firstSector*/) { return nullptr; }
