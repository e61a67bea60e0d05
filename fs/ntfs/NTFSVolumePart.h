#pragma once
// One volume's part of a found NTFS tree: the records read with that volume's geometry, grouped by
// the $MFT that numbers them and linked from its root, and the rest gathered under "Other lost
// files". The found-partition tree is made of the chosen volume's part and those of the volumes
// formatted over it or under it.
#include <memory>
#include <vector>

#include "engine/FileNode.h"
#include "fs/ntfs/CommonFileRecordInfo.h"
#include "fs/ntfs/NTFSClusterUse.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSFoundTree.h"
#include "fs/ntfs/NTFSFoundVolumes.h"

namespace ntfsfound {

// The records of a volume that one $MFT numbers, with its journal.
struct RecordGroup {
    NTFSMFTLocation* location = nullptr;
    CNTFSLogFileParser* parser = nullptr;
    std::vector<std::unique_ptr<CCommonFileRecordInfo>> infos;
    CFileNode* root = nullptr;
    // The records the $MFT's bitmap marks in use; empty when it could not be read.
    std::vector<u8> recordsInUse;
    // Of the volumes formatted over one another on the disk, which this $MFT's is: the newest has
    // the largest.
    u32 generation = 0;
    // The latest creation time of a record the $MFT numbers: a volume formatted over another was
    // written after every write to the one it replaced.
    u64 latestCreation = 0;
    // The sectors its records in use hold, claimed once the generations are known.
    std::vector<NtfsSectorExtent> inUseSectors;
};

// Folder properties of that name and state (count 1), or null when memory runs out.
PropertiesRef<CNTFSFileProperties> FolderProperties(const char* name, u8 state);

// Where one volume of a found tree lies, and how its records are numbered.
struct VolumeGeometry {
    u64 start = 0;
    u32 spc = 1;
    u64 totalSectors = 0;
    u64 clusterCount = kNtfsUnknown;
    u64 numbering = 0;  // the candidate's MFT-numbering switch
    u64 mftSector = kNtfsUnknown;
    // Nothing on the device placed the volume's start: it was taken from the chosen volume.
    bool guessed = false;
    NtfsVolumeKey Key() const { return {start, spc}; }
};

using InfoList = std::vector<std::unique_ptr<CCommonFileRecordInfo>>;

// The part of a found tree one volume gives: its records, grouped by the $MFT that places them
// and linked from the volume's root, and those that stay unreachable under "Other lost files".
class VolumePart {
public:
    VolumePart(const NTFSFoundTreeInput& in, const VolumeGeometry& geometry, u32 sectorSize, u32 stride)
        : m_in(in), m_geometry(geometry), m_sectorSize(sectorSize), m_stride(stride) {}
    VolumePart(const VolumePart&) = delete;
    VolumePart& operator=(const VolumePart&) = delete;

    const VolumeGeometry& Geometry() const { return m_geometry; }
    VolumeGeometry& Geometry() { return m_geometry; }
    // Takes every $MFT that fits the volume as a record group and opens its journal.
    void AcceptMFTLocations();
    bool Accepted(const NTFSMFTLocation* location) const;
    bool HasGroups() const { return !m_groups.empty(); }
    // The group whose $MFT holds the record at `sector`, when the numbering switch lets groups be used.
    RecordGroup* GroupOf(u64 sector);
    // The record's number by its place in the group's $MFT; all ones when it lies between records.
    u64 RecordNumberIn(const RecordGroup& group, u64 sector) const;
    // Whether the $MFT's bitmap leaves the record at `sector` free: a record there that says it
    // is in use is an older volume's, left where this $MFT grew.
    bool Unclaimed(const RecordGroup& group, u64 sector) const;
    // Whether the volume's own boot sector stands at its start: a volume formatted over it
    // would have written its own there.
    bool HasBootSectorAtStart() const;
    // The info of a record read with this volume's geometry, numbered by the group's $MFT; none
    // for metadata, extension records and what the category filter refuses.
    std::unique_ptr<CCommonFileRecordInfo> MakeInfo(const u8* raw, u32 length, u64 sector, RecordGroup* group);
    void Keep(std::unique_ptr<CCommonFileRecordInfo> info, RecordGroup* group) {
        (group ? group->infos : m_own).push_back(std::move(info));
    }
    bool IsEmpty() const;
    InfoList& Own() { return m_own; }
    std::vector<RecordGroup>& Groups() { return m_groups; }
    // When the group's $MFT was formatted: the creation time of its $MFT record (0 unknown).
    u64 FormatTime(const RecordGroup& group) const;
    // Checks which folders of its lists the records name, before anything is linked.
    void CheckFolders();
    // Links each group's records from the root and gathers the rest under one "Other lost files",
    // everything below `volume`.
    void Link(CFileNode* volume);
    void ResetJournals();

private:
    // The properties of a record the info was filled from, with the folder their name names and
    // (when asked) every folder its names name; `extensions` is handed over.
    PropertiesRef<CNTFSFileProperties> MakeProperties(const u8* raw, u32 length, u64 sector, RecordGroup* group,
                                                      NTFSExtensionRecordList* extensions,
                                                      const CCommonFileRecordInfo& info, const NtfsFolderKnown* known,
                                                      u64& parent, u16& parentSequence,
                                                      std::vector<NtfsFolderReference>* namedFolders = nullptr);
    // A file with names in several folders whose named folder is none of the list's folder
    // records, while another name's is, is made again from its record under such a name.
    void TakeKnownFolders(InfoList& infos, RecordGroup* group);
    bool FilterAccepts(CNTFSFileProperties* properties);
    TreeNodePtr NodeFromInfo(CCommonFileRecordInfo& info);
    void LinkGroupTree(RecordGroup& group);
    // Returns the nodes left without a parent; folder (or a new "Other lost files") receives them.
    CFileNode* GatherOrphans(InfoList& infos, CFileNode* folder);

    const NTFSFoundTreeInput& m_in;
    VolumeGeometry m_geometry;
    u32 m_sectorSize = 512;
    u32 m_stride = 2;
    std::vector<RecordGroup> m_groups;
    InfoList m_own;
    CFileNode* m_sharedLost = nullptr;
};

}  // namespace ntfsfound
