#include "raw/RawFactories.h"

#include "devices/ScanOptions.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemPlugins.h"
#include "engine/RawFileInfo.h"
#include "engine/RawFileProperties.h"
#include "raw/RAWSearchController.h"
#include "raw/RawFileAnalyser.h"

namespace {

// The complete scan's deep searches: after NTFS and FAT, before exFAT.
constexpr u32 kRawDeepSearchOrder = 30;

// A found file the RAW search could not size before the scan ended is walked by its analyser now.
bool MeasureRawFoundFile(CRawFileInfo& record, IStorageDevice* reader, std::string& text1, std::string& text2) {
    if (!record.analyser) return false;
    try {
        record.analyser->AnalyseFileSize(record, reader);
    } catch (...) {
        return false;
    }
    // Analysers that name a file through the record (ZIP: its first entry) keep no texts of their own.
    text1 = record.analyser->GetInfoText1();
    text2 = record.analyser->GetInfoText2();
    if (text1.empty()) text1 = record.nameText;
    if (text2.empty()) text2 = record.secondText;
    return true;
}

}  // namespace

void RegisterRawPlugin() {
    FileSystemPlugin row;
    row.name = "RAW";
    row.fsCodes = FsCodeSet({kFsRaw});
    row.propertiesKind = kPropertiesRaw;
    row.createDeepSearch = &CreateRAWSearchController;
    row.deepSearchOrder = kRawDeepSearchOrder;
    row.deepSearchWanted = [](const ScanOptions& options) { return options.GetScanRaw() != 0; };
    row.loadProperties = &LoadRAWFileProperties;
    row.createFolderProperties = &CreateRAWFolderProperties;
    row.measureFoundFile = &MeasureRawFoundFile;
    RegisterFileSystemPlugin(row);
}
