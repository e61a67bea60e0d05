#include "engine/FsServices.h"
#include "fs/fat/ExFatFileProperties.h"
#include "fs/fat/ExFatQuickSearch.h"
#include "fs/fat/ExFatVolume.h"

IQuickFileSystemSearchController* CreateExFatQuickSearch() { return new CExFatQuickSearch; }

// The exFAT deep search is not part of this build yet: the complete scan runs without it.
ICompleteFileSystemSearchController* CreateExFatCompleteSearch() { return nullptr; }

IFileProperties* CreateExFatFileProperties() { return CreateExFatFolderProperties("EXFAT"); }

IVolume* CreateExFatVolumeAnalyzer(IStorageDevice* device, u64 firstSector) {
    return CreateExFatVolumeAnalyer(device, firstSector);
}
