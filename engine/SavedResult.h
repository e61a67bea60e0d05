#pragma once
// What a saved scan result (".rsf") holds and how it is put back: the chosen folders, the scanned
// volume with what identifies its disks, and every directory tree, each in its own section of the
// typed stream (engine/RSData.h). The loaders trust nothing in the file: every count and length
// is checked against the section before it is used, and a damaged file fails with the stream's
// error code instead of a half-read tree.
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "devices/StorageDevice.h"
#include "devices/VolumeRecord.h"
#include "platform/Types.h"

class CDiskDevice;
class CFileSystemNode;
class IFileProperties;
class IRSData;

// Progress and cancel sink of the tree export and import. Step, SetPos, Finish and IsCancelled
// answer -1 once the user has cancelled, else 0.
class IDIRBuildCallback {
public:
    virtual ~IDIRBuildCallback() = default;
    // A nonzero range replaces the current one; 0.
    virtual i32 Begin(const char* text, u32 range) = 0;
    virtual i32 Step(u32 delta) = 0;
    virtual i32 SetPos(i32 position) = 0;
    virtual i32 Finish() = 0;
    virtual i32 IsCancelled() = 0;
};

// The sink of an export that runs without a dialog: it never cancels.
class FooDIRBuildCallback : public IDIRBuildCallback {
public:
    i32 Begin(const char*, u32) override { return 0; }
    i32 Step(u32) override { return 0; }
    i32 SetPos(i32) override { return 0; }
    i32 Finish() override { return 0; }
    i32 IsCancelled() override { return 0; }
};

// Section ids.
extern const MGUID kSavedFolderListSection;  // {6EAE44F1-5CA7-49F8-BD8D-7126D446AACA}
extern const MGUID kSavedVolumeSection;      // {94F5F416-4317-4567-AE44-15B3214ED998}
extern const MGUID kSavedTreesSection;       // {D208F26C-078C-4E34-9D71-D91F535F7B57}

constexpr u32 kSavedResultVersion = 1;
// More trees than this are not written: the export fails.
constexpr u32 kMaxSavedTrees = 6;
// Tree-section tags (i32).
constexpr i32 kSavedTagPlainNode = 0;
constexpr i32 kSavedTagFileSystemNode = 1;
constexpr i32 kSavedTagEndOfFolder = -1;

// One disk-identification block per extent of a live volume: the disk's description, its first
// sector with the partition table cleared, zeros after.
constexpr u32 kDiskIdentificationSize = 5400;
constexpr u32 kDiskIdentificationSectorOffset = 1304;
constexpr u32 kDiskIdentificationSectorMax = kDiskIdentificationSize - kDiskIdentificationSectorOffset;
constexpr u32 kPartitionTableOffset = 446;
constexpr u32 kPartitionTableSize = 64;

// u32 kind, then the properties' own record.
void SaveFileProperties(IFileProperties* properties, IRSData* stream);
// Reads the kind and the record of that kind (reference count 1). A kind no registered file
// system loads throws kRSEndOfData: the bytes of an unknown record cannot be skipped, so the rest
// of the section is not read as if they had been.
IFileProperties* LoadFileProperties(IRSData* stream);

// The trees section. Save: false for an empty list, more than kMaxSavedTrees roots or a section
// that cannot begin; a cancel answer of the callback throws kRSCancelled. Load: false when a tree
// does not start with its tag; a cancel throws kRSCancelled (between folders) or kRSCancelledLoad
// (between nodes). On any failure the load frees every node it made and leaves `roots` empty.
bool SaveScanTrees(const std::vector<CFileSystemNode*>& roots, IRSData* stream, IDIRBuildCallback* callback);
bool LoadScanTrees(IRSData* stream, std::vector<CFileSystemNode*>& roots, IDIRBuildCallback* callback);
// Frees a tree that is no one else's: its nodes and their properties.
void DestroySavedTree(CFileSystemNode* root);

// The folder-list section: each path followed by ";". Reading keeps the pieces a ";" ends.
void WriteFolderList(IRSData* stream, const std::list<std::string>& folders);
std::vector<std::string> ReadFolderList(IRSData* stream);

// The identification block of a disk as it is now; false when the disk cannot describe itself or
// its first sector cannot be read.
bool BuildDiskIdentification(CDiskDevice* disk, u8 out[kDiskIdentificationSize]);

// The volume section. WriteDeviceList throws kRSEndOfData when a disk of the record cannot be
// identified (a volume whose disk is gone cannot be found again on loading).
void WriteDeviceList(IRSData* stream, const VolumeRecord* record);
// What the volume section holds of a volume: its stored record and the identification of each
// of its disks. Taken while the disks can be read, it still names them once they are gone.
struct SavedVolumeForm {
    std::vector<u8> record;
    std::vector<std::vector<u8>> disks;
};
// False when a disk of the record cannot be identified.
bool TakeSavedVolumeForm(const VolumeRecord& record, SavedVolumeForm& out);
void WriteSavedVolumeForm(IRSData* stream, const SavedVolumeForm& form);
// Image volumes re-opened by loads, kept alive with their devices by whoever holds the list.
struct ReopenedImageVolume {
    std::unique_ptr<IStorageDevice> device;
    std::unique_ptr<VolumeRecord> record;
};
// The live record that matches the saved volume, or the record of a re-opened image volume;
// null when none matches.
VolumeRecord* ReadDeviceList(IRSData* stream, const std::vector<VolumeRecord*>& live,
                             std::vector<std::unique_ptr<ReopenedImageVolume>>& images);
