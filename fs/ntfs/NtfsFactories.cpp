#include "fs/ntfs/NtfsFactories.h"

#include "engine/FileSystemPlugins.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSQuickSearch.h"
#include "fs/ntfs/NTFSVolume.h"

void RegisterNtfsPlugin() {
    FileSystemPlugin row;
    row.name = "NTFS";
    row.fsCodes = FsCodeSet({kFsNtfs});
    row.propertiesKind = kPropertiesNtfs;
    row.analyzerSlot = VolumeAnalyzerSlot::kNtfs;
    row.createVolumeAnalyzer = &CreateNTFSVolumeAnalyzer;
    row.classifyBootSector = &ClassifyNTFSBootSector;
    row.createQuickSearch = &CreateNTFSQuickSearch;
    // The NTFS deep search is not part of this build yet: the complete scan runs without it.
    row.createDeepSearch = nullptr;
    row.loadProperties = [](IRSData* stream) -> IFileProperties* { return LoadNTFSFileProperties(stream); };
    row.createFolderProperties = [](u32, const char* name) { return CreateNTFSFolderProperties(name); };
    row.readResidentData = &ReadNTFSResidentData;
    row.readLoggedUtilityStream = &ReadNTFSLoggedUtilityStream;
    RegisterFileSystemPlugin(row);
}
