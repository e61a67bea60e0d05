#include "fs/ntfs/NTFSVolumePart.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "devices/StorageDevice.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileSystemNode.h"
#include "engine/PartitionTree.h"
#include "engine/RecoveryFilter.h"
#include "engine/RecycleBin.h"
#include "fs/ntfs/NTFSClusterUse.h"
#include "fs/ntfs/NTFSDBR.h"
#include "fs/ntfs/NTFSDeepSearch.h"
#include "fs/ntfs/NTFSRecord.h"
#include "fs/ntfs/NTFSTakenFolders.h"

namespace ntfsfound {
namespace {

constexpr u8 kOtherLostFilesState = 8;

u64 HighestCluster(const NTFSRunList& runs) {
    u64 high = 0;
    for (const NTFSRun& r : runs) {
        if (r.lcn == kSparseLCN || r.count == 0) continue;
        high = std::max(high, r.lcn + r.count - 1);
    }
    return high;
}

}  // namespace

PropertiesRef<CNTFSFileProperties> FolderProperties(const char* name, u8 state) {
    PropertiesRef<CNTFSFileProperties> p = CreateNTFSFileProperties();
    if (!p) return {};
    NTFSFilePropertiesData data;
    data.name = name;
    data.nameLength = static_cast<u16>(data.name.size());
    data.attributes = kAttrDirectory;
    data.state = state;
    p->SetData(data);
    return p;
}

namespace {

// The folder records of one list, by number.
using FolderRecords = std::unordered_multimap<u64, const CCommonFileRecordInfo*>;

FolderRecords FolderRecordsOf(const std::vector<std::unique_ptr<CCommonFileRecordInfo>>& infos) {
    FolderRecords folders;
    for (const auto& info : infos) {
        if (info->GetDirectoryFlag() != 0 && info->GetRecordNumber() != ~u64(0)) {
            folders.emplace(info->GetRecordNumber(), info.get());
        }
    }
    return folders;
}

CTakenFolderLinker::FolderLook LookUpFolderIn(const FolderRecords& folders, u64 record, u16 named) {
    const auto range = folders.equal_range(record);
    return LookUpFolderAmong(range.first, range.second, named, [](const CCommonFileRecordInfo* f) {
        return std::pair(f->GetSequence(), f->IsInUse());
    });
}

// Records of one list name their folders by number; a deleted record whose folder's record is now
// another folder's (its sequence number tells) takes the stale id in place of that number, so
// that no folder of the list adopts it. When the journal still holds the lost folder's record, a
// deleted folder with the stale id joins the list and gathers them; else they stay with the
// files whose folder is unknown.
void CheckTakenFolders(std::vector<std::unique_ptr<CCommonFileRecordInfo>>& infos, const CNTFSLogFileParser* journal) {
    const FolderRecords folders = FolderRecordsOf(infos);
    if (folders.empty()) return;
    CTakenFolderLinker links(
        journal, [&folders](u64 record, u16 named) { return LookUpFolderIn(folders, record, named); },
        [&infos](u64 id, u64 parent, PropertiesRef<CNTFSFileProperties> properties) {
            auto folder = std::make_unique<CCommonFileRecordInfo>();
            folder->SetDirectoryFlag(1);
            folder->SetRecordNumber(id);
            folder->SetParentRecord(parent);
            folder->SetProperties(properties.release());
            infos.push_back(std::move(folder));
        });
    // Folders the journal gives back are appended, each with its own folder already checked.
    for (size_t i = 0, n = infos.size(); i < n; ++i) {
        CCommonFileRecordInfo* info = infos[i].get();
        info->SetParentRecord(links.ParentId(info->GetParentRecord(), info->GetParentSequence(), info->IsInUse()));
    }
}

}  // namespace

void VolumePart::AcceptMFTLocations() {
    if (!m_in.mftDetails) return;
    const u64 start = m_geometry.start;
    const u32 spc = m_geometry.spc;
    for (NTFSMftRecordDetail& d : *m_in.mftDetails) {
        NTFSMFTLocation* loc = d.location;
        if (!loc || loc->GetMFTStartSector() < start || Accepted(loc)) continue;
        const u64 offset = loc->GetMFTStartSector() - start;
        if (offset % spc != 0 || offset / spc != loc->GetLCNOfFirstCluster()) continue;
        const unsigned __int128 high = static_cast<unsigned __int128>(HighestCluster(loc->GetRuns())) * spc;
        if (high >= m_geometry.totalSectors) continue;
        if (!d.parser) d.parser = std::make_unique<CNTFSLogFileParser>();
        if (!d.parser->IsOpened()) {
            // The journal's clusters count from this volume's own start on the device.
            d.parser->Open(m_in.device, &loc->GetRuns(), spc, start);
            d.parser->Parse();
        }
        RecordGroup g;
        g.location = loc;
        g.parser = d.parser.get();
        g.recordsInUse = ReadMftRecordBitmap(*m_in.device, loc->GetMFTStartSector(), m_stride, start, spc);
        m_groups.push_back(std::move(g));
    }
}

bool VolumePart::Accepted(const NTFSMFTLocation* location) const {
    return std::any_of(m_groups.begin(), m_groups.end(),
                       [location](const RecordGroup& g) { return g.location == location; });
}

RecordGroup* VolumePart::GroupOf(u64 sector) {
    if ((m_geometry.numbering & 0xFFFFFFFFu) == 0 || sector < m_geometry.start) return nullptr;
    const u64 cluster = (sector - m_geometry.start) / m_geometry.spc;
    for (RecordGroup& g : m_groups) {
        if (ContainsLCN(g.location->GetRuns(), cluster)) return &g;
    }
    return nullptr;
}

u64 VolumePart::RecordNumberIn(const RecordGroup& group, u64 sector) const {
    const u64 offset = sector - m_geometry.start;
    const u64 vcn = LookupVCN(group.location->GetRuns(), offset / m_geometry.spc);
    if (vcn == kSparseLCN) return ~u64(0);
    const u64 inMft = vcn * m_geometry.spc + offset % m_geometry.spc;
    return inMft % m_stride == 0 ? inMft / m_stride : ~u64(0);
}

bool VolumePart::Unclaimed(const RecordGroup& group, u64 sector) const {
    return !MftBitmapClaims(group.recordsInUse, RecordNumberIn(group, sector));
}

bool VolumePart::IsEmpty() const {
    return m_own.empty() &&
           std::all_of(m_groups.begin(), m_groups.end(), [](const RecordGroup& g) { return g.infos.empty(); });
}

bool VolumePart::HasBootSectorAtStart() const {
    if (!m_in.device) return false;
    std::vector<u8> sector(std::max<u32>(m_sectorSize, CNTFSDBR::kSize), 0);
    if (m_in.device->Read(sector.data(), m_geometry.start, 1) == 0) return false;
    CNTFSDBR dbr;
    return dbr.SetDBRData(sector.data()) && dbr.GetSectorsPerCluster() == m_geometry.spc;
}

u64 VolumePart::FormatTime(const RecordGroup& group) const {
    if (!group.location || !m_in.device) return 0;
    const u32 recordBytes = std::max<u32>(ntfs::kMinRecordSize, m_sectorSize);
    std::vector<u8> record(recordBytes);
    if (m_in.device->Read(record.data(), group.location->GetMFTStartSector(), recordBytes / m_sectorSize) ==
            0 ||
        !ValidateFileRecord(record.data(), recordBytes)) {
        return 0;
    }
    ApplyFileRecordFixups(record.data(), RecordSpan(record.data(), recordBytes));
    NTFSStandardInfo si;
    if (!ReadStandardInformation(FindRecordAttribute(record.data(), recordBytes, ntfs::kAttrStandardInformation, 0),
                                 si)) {
        return 0;
    }
    return si.creationTime;
}

bool VolumePart::FilterAccepts(CNTFSFileProperties* properties) {
    IRecoveryFilter* filter = m_in.builder ? m_in.builder->GetFilter() : nullptr;
    if (!filter) return true;
    TreeNodePtr probe = CreateFileNode();
    if (!probe) return true;
    properties->AddRef();
    probe->SetFileProperties(properties);
    return filter->Accept(probe.get()) != 0;
}

std::unique_ptr<CCommonFileRecordInfo> VolumePart::MakeInfo(const u8* raw, u32 length, u64 sector, RecordGroup* group) {
    u8 fixed[ntfs::kMaxRecordSize];
    const u32 span = std::min<u32>(RecordSpan(raw, length), sizeof(fixed));
    std::memcpy(fixed, raw, span);
    ApplyFileRecordFixups(fixed, span);
    if (RecordIsExtension(fixed) || IsSystemMetadataRecord(fixed, span)) return nullptr;

    auto info = std::make_unique<CCommonFileRecordInfo>();
    if (!info->FillFromRecord(raw, length, sector)) return nullptr;
    const NTFSRunList* mftRuns = group ? &group->location->GetRuns() : nullptr;
    const u64 start = m_geometry.start;
    const u32 spc = m_geometry.spc;
    if (mftRuns) info->SetRecordNumber(RecordNumberIn(*group, sector));
    NTFSExtensionRecordList* extensions =
        mftRuns ? CNTFSFileRecord::LocateExtensionRecords(raw, length, sector, spc, start, m_in.device, *mftRuns,
                                                          static_cast<u8>(m_stride))
                : nullptr;
    u64 parent = ~u64(0);
    u16 parentSequence = 0;
    std::vector<NtfsFolderReference> namedFolders;
    PropertiesRef<CNTFSFileProperties> properties =
        MakeProperties(raw, length, sector, group, extensions, *info, nullptr, parent, parentSequence, &namedFolders);
    info->SetNamedFolder(parent, parentSequence);
    info->SetNamedFolders(std::move(namedFolders));
    if (!properties || !FilterAccepts(properties.get())) return nullptr;
    info->SetProperties(properties.release());
    return info;
}

PropertiesRef<CNTFSFileProperties> VolumePart::MakeProperties(const u8* raw, u32 length, u64 sector,
                                                              RecordGroup* group, NTFSExtensionRecordList* extensions,
                                                              const CCommonFileRecordInfo& info,
                                                              const NtfsFolderKnown* known, u64& parent,
                                                              u16& parentSequence,
                                                              std::vector<NtfsFolderReference>* namedFolders) {
    CNTFSFileRecord record;
    if (!record.Init(raw, length, sector, m_in.device, extensions)) {
        delete extensions;
        return {};
    }
    const u64 clusters = m_geometry.clusterCount != kNtfsUnknown ? m_geometry.clusterCount : 0;
    PropertiesRef<CNTFSFileProperties> properties =
        MakeNTFSFileProperties(sector, record, u64(m_geometry.spc) * m_sectorSize, &parent, clusters, &parentSequence,
                               known, namedFolders);
    if (!properties) {
        delete extensions;
        return {};
    }
    if (group && properties->GetSize() == 0 && info.GetDirectoryFlag() == 0 &&
        (properties->GetState() & kStateDeleted)) {
        // The folder the info takes from the name (as SetNamedFolder does).
        const u64 read = info.GetParentRecord();
        const bool taken = parent != ~u64(0) && (parent >= kNtfsRootFolderRecord || read == ~u64(0));
        group->parser->ApplyToRecord(record.GetRecord(), properties.get(), taken ? parent : read, extensions);
    }
    FixNegativeSize(properties.get(), m_geometry.spc, m_sectorSize);
    properties->SetExtensionRecords(extensions);
    return properties;
}

void VolumePart::TakeKnownFolders(InfoList& infos, RecordGroup* group) {
    const FolderRecords folders = FolderRecordsOf(infos);
    const NtfsFolderKnown known = [&folders](u64 record, u16 named) {
        return LookUpFolderIn(folders, record, named) == CTakenFolderLinker::FolderLook::kBelongs;
    };
    const auto stands = [&known](u64 record, u16 named) {
        return record == kNtfsRootFolderRecord || known(record, named);
    };
    const u64 deviceEnd = m_in.device->GetTotalSectors();
    const u32 look = CNTFSSearchController::kWindowSectors;
    std::vector<u8> buffer(size_t(look) * m_sectorSize);
    const auto standsAny = [&stands](const std::vector<NtfsFolderReference>& folders) {
        return std::any_of(folders.begin(), folders.end(),
                           [&stands](const NtfsFolderReference& f) { return stands(f.record, f.sequence); });
    };
    for (auto& info : infos) {
        auto* properties = static_cast<CNTFSFileProperties*>(info->GetProperties());
        if (!properties || stands(info->GetParentRecord(), info->GetParentSequence()) ||
            !standsAny(info->GetNamedFolders())) {
            continue;
        }
        // The record is read again: only such files pay for it.
        const u64 sector = info->GetRecordSector();
        if (sector >= deviceEnd) continue;
        const u64 readable = std::min<u64>(look, deviceEnd - sector);
        std::fill(buffer.begin(), buffer.end(), 0);
        const u32 length = static_cast<u32>(readable) * m_sectorSize;
        if (m_in.device->Read(buffer.data(), sector, readable) == 0 || !ValidateFileRecord(buffer.data(), length)) {
            continue;
        }
        const NTFSExtensionRecordList* kept = properties->GetExtensionRecords();
        auto* extensions = kept ? new NTFSExtensionRecordList(*kept) : nullptr;
        u64 parent = ~u64(0);
        u16 parentSequence = 0;
        PropertiesRef<CNTFSFileProperties> remade =
            MakeProperties(buffer.data(), length, sector, group, extensions, *info, &known, parent, parentSequence);
        if (!remade || !stands(parent, parentSequence) || !FilterAccepts(remade.get())) continue;
        info->SetNamedFolder(parent, parentSequence);
        info->SetProperties(remade.release());
    }
}

TreeNodePtr VolumePart::NodeFromInfo(CCommonFileRecordInfo& info) {
    IFileProperties* properties = info.GetProperties();
    if (!properties) return nullptr;
    TreeNodePtr node = CreateFileNode();
    if (!node) return nullptr;
    properties->AddRef();
    info.ReleaseProperties();
    node->SetFileProperties(properties);
    node->SetId(info.GetRecordNumber());
    node->SetParentId(info.GetParentRecord());
    node->SetRecordSector(info.GetRecordSector());
    return node;
}

void VolumePart::LinkGroupTree(RecordGroup& group) {
    std::multimap<u64, CCommonFileRecordInfo*> byParent;
    for (auto& info : group.infos) byParent.emplace(info->GetParentRecord(), info.get());
    std::deque<std::pair<CFileNode*, u64>> queue{{group.root, kNtfsRootFolderRecord}};
    // A damaged folder may claim to be its own ancestor: each folder number is walked once.
    std::unordered_set<u64> visited;
    while (!queue.empty()) {
        auto [folder, number] = queue.front();
        queue.pop_front();
        if (number == ~u64(0) || !visited.insert(number).second) continue;
        auto range = byParent.equal_range(number);
        // Inside a recycle bin a recycled file gets back its name from its information file.
        const bool inBin = IsInRecycleBin(folder);
        std::list<CFileNode*> pending;
        for (auto it = range.first; it != range.second; ++it) {
            TreeNodePtr made = NodeFromInfo(*it->second);
            if (!made) continue;
            CFileNode* node = made.release();
            folder->AddChild(node);
            if (IsFolderNode(node)) queue.emplace_back(node, node->GetId());
            if (!inBin) continue;
            if (CFileNode* companion = FindRecycleBinPair(pending, node)) {
                CFileNode* info = IsRecycleBinInfoFile(node) ? node : companion;
                CFileNode* entry = info == node ? companion : node;
                RestoreRecycleBinName(m_in.device, entry, info, m_geometry.start, m_geometry.spc);
            }
        }
    }
    CFileNode* lost = GatherOrphans(group.infos, m_sharedLost);
    if (lost && !m_sharedLost) {
        m_sharedLost = lost;
        group.root->AddChild(lost);
    }
}

CFileNode* VolumePart::GatherOrphans(InfoList& infos, CFileNode* folder) {
    std::vector<CFileNode*> nodes;
    for (auto& info : infos) {
        if (TreeNodePtr n = NodeFromInfo(*info)) nodes.push_back(n.release());
    }
    std::multimap<u64, CFileNode*> byParent;
    for (CFileNode* n : nodes) byParent.emplace(n->GetParentId(), n);
    for (CFileNode* f : nodes) {
        if (!IsFolderNode(f) || f->GetId() == ~u64(0) || f->GetId() < kFirstUserRecord) continue;
        auto range = byParent.equal_range(f->GetId());
        for (auto it = range.first; it != range.second; ++it) {
            CFileNode* child = it->second;
            if (child == f || child->GetParent()) continue;
            bool ancestor = false;
            size_t steps = 0;
            for (const CFileNode* a = f; a && steps <= nodes.size(); a = a->GetParent(), ++steps) {
                if (a == child) ancestor = true;
            }
            if (!ancestor) f->AddChild(child);
        }
    }
    std::vector<CFileNode*> rest;
    for (CFileNode* n : nodes) {
        if (n->GetParent()) continue;
        const IFileProperties* p = n->GetFileProperties();
        const bool system = p && p->GetName() && p->GetName()[0] == '$';
        if (system && !n->GetFirstChild()) {
            DestroyTreeNode(n);
            continue;
        }
        rest.push_back(n);
    }
    if (rest.empty()) return nullptr;
    CFileNode* target = folder;
    if (!target) {
        TreeNodePtr made = CreateFileNode();
        PropertiesRef<CNTFSFileProperties> p = FolderProperties(kOtherLostFilesName, kOtherLostFilesState);
        if (!made || !p) {
            for (CFileNode* n : rest) DestroySubtree(n);
            return nullptr;
        }
        made->SetFileProperties(p.release());
        made->SetId(kOtherLostFilesId);
        made->SetParentId(kNtfsRootFolderRecord);
        target = made.release();
    }
    for (CFileNode* n : rest) target->AddChild(n);
    return target;
}

void VolumePart::CheckFolders() {
    TakeKnownFolders(m_own, nullptr);
    CheckTakenFolders(m_own, nullptr);
    for (RecordGroup& g : m_groups) {
        TakeKnownFolders(g.infos, &g);
        CheckTakenFolders(g.infos, g.parser);
    }
}

void VolumePart::Link(CFileNode* volume) {
    for (RecordGroup& g : m_groups) {
        g.root = CreateFileNode().release();
        if (!g.root) continue;
        g.root->SetId(kNtfsRootFolderRecord);
        LinkGroupTree(g);
        while (CFileNode* child = g.root->GetFirstChild()) {
            g.root->RemoveChild(child);
            volume->AddChild(child);
        }
        DeleteFileNode(g.root);
        g.root = nullptr;
    }
    if (CFileNode* lost = GatherOrphans(m_own, m_sharedLost)) {
        if (!lost->GetParent()) volume->AddChild(lost);
        PruneEmptyTreeNodes(lost);
        if (!lost->GetFirstChild() && lost->GetParent()) {
            lost->GetParent()->RemoveChild(lost);
            DeleteFileNode(lost);
        }
    }
}

void VolumePart::ResetJournals() {
    for (RecordGroup& g : m_groups) {
        if (g.parser) g.parser->Reset();
    }
}

}  // namespace ntfsfound
