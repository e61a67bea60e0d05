#include "fs/fat/FatFactories.h"

#include "engine/FileSystemPlugins.h"
#include "fs/fat/FatDBR.h"
#include "fs/fat/FatDeepSearch.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatQuickSearch.h"
#include "fs/fat/FatVolumeAnalyze.h"

namespace {
// The complete scan's deep searches: after NTFS.
constexpr u32 kFatDeepSearchOrder = 20;
}  // namespace

IQuickFileSystemSearchController* CreateFATQuickSearch() { return new CFATQuickSearch; }

IFileProperties* CreateFATFileProperties(u32 fsCode) {
    if (IsFatCode(fsCode)) return CreateFATFolderProperties(fsCode, FileSystemTypeName(fsCode));
    return NewFATFileProperties();
}

void RegisterFatPlugin() {
    FileSystemPlugin row;
    row.name = "FAT";
    row.fsCodes = FsCodeSet({kFsFat12, kFsFat16, kFsFat32});
    row.propertiesKind = kPropertiesFat;
    row.analyzerSlot = VolumeAnalyzerSlot::kFat;
    row.createVolumeAnalyzer = &CreateFatVolumeAnalyzer;
    row.classifyBootSector = &ClassifyFatBootSector;
    row.createQuickSearch = &CreateFATQuickSearch;
    row.createDeepSearch = &CreateFatCompleteSearch;
    row.deepSearchOrder = kFatDeepSearchOrder;
    // FAT12 and FAT16 candidates build their trees of FAT32 nodes.
    row.treeNodeCode = kFsFat32;
    row.candidatesApplyToNodes = true;
    row.loadProperties = [](IRSData* stream) -> IFileProperties* { return LoadFATFileProperties(stream); };
    row.createFolderProperties = &CreateFATFolderProperties;
    RegisterFileSystemPlugin(row);
}
