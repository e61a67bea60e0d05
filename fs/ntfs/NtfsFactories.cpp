#include "fs/ntfs/NtfsFactories.h"

#include "engine/FileSystemPlugins.h"
#include "fs/ntfs/NTFSDeepSearch.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSQuickSearch.h"
#include "fs/ntfs/NTFSVolume.h"

namespace {
// The first of the complete scan's deep searches.
constexpr u32 kNtfsDeepSearchOrder = 10;
}  // namespace

void RegisterNtfsPlugin() {
    FileSystemPlugin row;
    row.name = "NTFS";
    row.fsCodes = FsCodeSet({kFsNtfs});
    row.propertiesKind = kPropertiesNtfs;
    row.analyzerSlot = VolumeAnalyzerSlot::kNtfs;
    row.createVolumeAnalyzer = &CreateNTFSVolumeAnalyzer;
    row.classifyBootSector = &ClassifyNTFSBootSector;
    row.createQuickSearch = &CreateNTFSQuickSearch;
    row.createDeepSearch = &CreateNTFSSearchController;
    row.deepSearchOrder = kNtfsDeepSearchOrder;
    row.loadProperties = [](IRSData* stream) -> IFileProperties* { return LoadNTFSFileProperties(stream); };
    row.createFolderProperties = [](u32, const char* name) { return CreateNTFSFolderProperties(name); };
    row.readResidentData = &ReadNTFSResidentData;
    row.readLoggedUtilityStream = &ReadNTFSLoggedUtilityStream;
    RegisterFileSystemPlugin(row);
}
