#pragma once
// The table of file-system plug-ins. The engine knows no file system by name: each library that
// reads one (NTFS, FAT, exFAT, the RAW signature search) fills a row with what the scan modes,
// the volume enumeration, the saved results and the writer need of it, and registers it at
// start-up. The program and the scan driver register every row from one place above the engine
// (plugins/Plugins.h); tests register the rows they use.
//
// A row, as a library fills it (fs/fat/FatFactories.cpp):
//
//     FileSystemPlugin row;
//     row.name = "FAT";
//     row.fsCodes = FsCodeSet({kFsFat12, kFsFat16, kFsFat32});
//     row.propertiesKind = kPropertiesFat;
//     row.analyzerSlot = VolumeAnalyzerSlot::kFat;
//     row.createVolumeAnalyzer = &CreateFatVolumeAnalyzer;
//     row.classifyBootSector = &ClassifyFatBootSector;
//     row.createQuickSearch = &CreateFATQuickSearch;
//     row.createDeepSearch = &CreateFatCompleteSearch;
//     row.deepSearchOrder = kFatDeepSearchOrder;
//     row.treeNodeCode = kFsFat32;               // FAT12 and FAT16 candidates build FAT32 trees
//     row.candidatesApplyToNodes = true;
//     row.loadProperties = [](IRSData* s) -> IFileProperties* { return LoadFATFileProperties(s); };
//     row.createFolderProperties = &CreateFATFolderProperties;
//     RegisterFileSystemPlugin(row);
//
// A field left null is a service the file system does not offer: no quick search means the
// deleted-file scan refuses its volumes, no deep search leaves it out of the complete scan.
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "devices/FileSystemCode.h"
#include "devices/VolumeAnalyzerSet.h"
#include "engine/FileProperties.h"
#include "platform/Types.h"

class CFileNode;
class CRawFileInfo;
class ICompleteFileSystemSearchController;
class IFileProperties;
class IQuickFileSystemSearchController;
class IRSData;
class IStorageDevice;
class ScanOptions;

using QuickSearchFactory = IQuickFileSystemSearchController* (*)();
using DeepSearchFactory = ICompleteFileSystemSearchController* (*)();
// Whether the scan options ask for the row's deep search (the signature search has a switch).
using DeepSearchSwitch = bool (*)(const ScanOptions& options);
// A new properties object (reference count 1) read from a saved result; the stream throws on a
// damaged form.
using PropertiesLoader = IFileProperties* (*)(IRSData* stream);
// New folder properties (reference count 1) of the file system's own class, or null.
using FolderPropertiesFactory = IFileProperties* (*)(u32 fsCode, const char* name);
// Copies at most `capacity` bytes of a stream of the node's file record into buffer and sets
// size; false when the node has no such stream or it cannot be read.
using NodeStreamReader = bool (*)(CFileNode* node, IStorageDevice* device, u64& size, void* buffer, u32 capacity);
// The same for a stream whose sectors are read from the volume: unreadBytes receives how many of
// the bytes given are zeros in place of sectors the device could not give.
using NodeStreamSectorReader = bool (*)(CFileNode* node, IStorageDevice* device, u64& size, void* buffer,
                                        u32 capacity, u64& unreadBytes);
// Sets the size of a file found by signature whose size is not known yet (its analyser walks it
// through `reader`) and gives the analyser's two descriptive texts; false when it has no analyser.
using FoundFileMeasurer = bool (*)(CRawFileInfo& record, IStorageDevice* reader, std::string& text1,
                                   std::string& text2);

// Where a row's deep search stands in the complete scan: every block goes to the searches in this
// order, lowest first, and the tree builder's evaluation meets their candidates in the same order.
// The libraries place themselves in steps of ten (NTFS 10, FAT 20, the signature search 30, exFAT
// 40), so that a new row finds a place between them. A row that names no place comes after the
// others, in registration order.
constexpr u32 kDeepSearchOrderLast = ~0u;
// A row whose candidates' trees carry the candidates' own code.
constexpr u32 kTreeNodeCodeOwn = kFsUnknown;

// A set of file-system codes, one bit per code.
constexpr u32 FsCodeSet(std::initializer_list<FsCode> codes) {
    u32 bits = 0;
    for (FsCode c : codes) bits |= 1u << c;
    return bits;
}

struct FileSystemPlugin {
    const char* name = nullptr;  // identifies the row: registering a name again replaces it
    u32 fsCodes = 0;             // FsCodeSet of the codes whose volumes and trees the row reads
    u32 propertiesKind = 0;      // IFileProperties::GetFileSystemKind of the properties it makes

    // Volume recognition, handed to the enumeration's analyser set.
    VolumeAnalyzerSlot analyzerSlot = VolumeAnalyzerSlot::kNtfs;
    VolumeAnalyzerFactory createVolumeAnalyzer = nullptr;
    BootSectorClassifier classifyBootSector = nullptr;

    QuickSearchFactory createQuickSearch = nullptr;  // the deleted-file scan
    DeepSearchFactory createDeepSearch = nullptr;    // the complete scan
    u32 deepSearchOrder = kDeepSearchOrderLast;
    DeepSearchSwitch deepSearchWanted = nullptr;     // null: always wanted
    // The code of the nodes a candidate's tree carries, when it is not the candidate's own code;
    // kTreeNodeCodeOwn: the candidate's code.
    u32 treeNodeCode = kTreeNodeCodeOwn;
    // Whether a candidate of the row settles the geometry of a node found while the scan is
    // paused (CSearchedPartitionInfo::ApplyToFileNode) before the node's source is read.
    bool candidatesApplyToNodes = false;

    PropertiesLoader loadProperties = nullptr;
    FolderPropertiesFactory createFolderProperties = nullptr;

    // What the recovered-file writer re-reads from the file system's own records.
    NodeStreamReader readResidentData = nullptr;
    NodeStreamSectorReader readLoggedUtilityStream = nullptr;

    // The signature search: what the lost-file pass asks of a found file of unknown size.
    FoundFileMeasurer measureFoundFile = nullptr;

    bool Covers(u32 fsCode) const { return fsCode < 32 && (fsCodes & (1u << fsCode)) != 0; }
};

// Adds the row, or replaces the row of the same name, and fills its analyser slot (a row without
// an analyser leaves the slots alone). Thread-safe; rows are registered before scans start.
void RegisterFileSystemPlugin(const FileSystemPlugin& row);
// Drops the row of that name and empties the analyser slots it filled.
void UnregisterFileSystemPlugin(const char* name);

// Copies of the rows, so that a caller holds nothing the registration may change.
std::optional<FileSystemPlugin> FindFileSystemPlugin(u32 fsCode);
std::optional<FileSystemPlugin> FindPluginOfPropertiesKind(u32 propertiesKind);
std::vector<FileSystemPlugin> FileSystemPlugins();

// The services of the row of a code; null (or false) when no row offers them.
IQuickFileSystemSearchController* CreateQuickSearch(u32 fsCode);
ICompleteFileSystemSearchController* CreateDeepSearch(u32 fsCode);
// The deep searches of a complete scan, one for each row that offers one and that the options
// want, in the rows' deep-search order.
std::vector<ICompleteFileSystemSearchController*> CreateDeepSearches(const ScanOptions& options);
// The folder properties of a tree root or lost-file folder of the code, named `name`.
PropertiesRef<> CreateFolderProperties(u32 fsCode, const char* name);
// Saved properties of the given GetFileSystemKind; null when no row loads that kind.
IFileProperties* LoadFileProperties(u32 propertiesKind, IRSData* stream);
// Streams of the node's file record, asked of the row of the node's properties.
bool ReadResidentData(CFileNode* node, IStorageDevice* device, u64& size, void* buffer, u32 capacity);
bool ReadLoggedUtilityStream(CFileNode* node, IStorageDevice* device, u64& size, void* buffer, u32 capacity,
                             u64& unreadBytes);
// Asked of each row that measures found files until one does; false when none does.
bool MeasureFoundFile(CRawFileInfo& record, IStorageDevice* reader, std::string& text1, std::string& text2);
