#include "engine/FileSystemPlugins.h"
#include "fs/fat/ExFatDeepSearch.h"
#include "fs/fat/ExFatFileProperties.h"
#include "fs/fat/ExFatQuickSearch.h"
#include "fs/fat/ExFatVolume.h"
#include "fs/fat/FatFactories.h"

namespace {
// The last of the complete scan's deep searches, after the signature search.
constexpr u32 kExFatDeepSearchOrder = 40;
}  // namespace

IQuickFileSystemSearchController* CreateExFatQuickSearch() { return new CExFatQuickSearch; }

IFileProperties* CreateExFatFileProperties() { return CreateExFatFolderProperties(FileSystemTypeName(kFsExFat)); }

IVolume* CreateExFatVolumeAnalyzer(IStorageDevice* device, u64 firstSector) {
    return CreateExFatVolumeAnalyer(device, firstSector);
}

void RegisterExFatPlugin() {
    FileSystemPlugin row;
    row.name = "EXFAT";
    row.fsCodes = FsCodeSet({kFsExFat});
    row.propertiesKind = kPropertiesExFat;
    row.analyzerSlot = VolumeAnalyzerSlot::kExFat;
    row.createVolumeAnalyzer = &CreateExFatVolumeAnalyzer;
    row.classifyBootSector = &ClassifyExFatBootSector;
    row.createQuickSearch = &CreateExFatQuickSearch;
    row.createDeepSearch = &CreateExFatCompleteSearch;
    row.deepSearchOrder = kExFatDeepSearchOrder;
    row.candidatesApplyToNodes = true;
    row.loadProperties = [](IRSData* stream) -> IFileProperties* { return LoadExFatFileProperties(stream); };
    row.createFolderProperties = [](u32, const char* name) { return CreateExFatFolderProperties(name); };
    RegisterFileSystemPlugin(row);
}
