#include "fs/ntfs/NTFSFoundTree.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "devices/ScanOptions.h"
#include "devices/StorageDevice.h"
#include "engine/DataRunList.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileSystemNode.h"
#include "engine/RecoveryFilter.h"
#include "engine/RecycleBin.h"
#include "fs/ntfs/CommonFileRecordInfo.h"
#include "fs/ntfs/NTFSDeepSearch.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSRecord.h"
#include "fs/ntfs/NTFSTakenFolders.h"

namespace {

constexpr u32 kBatchSectors = 128;
constexpr u8 kOtherLostFilesState = 8;
constexpr size_t kVolumeNameLimit = 98;
constexpr u32 kMaxLabelCharacters = 64;
constexpr u32 kVolumeRecord = 3;

struct RecordGroup {
    NTFSMFTLocation* location = nullptr;
    CNTFSLogFileParser* parser = nullptr;
    std::vector<std::unique_ptr<CCommonFileRecordInfo>> infos;
    CFileNode* root = nullptr;
};

size_t Utf8Characters(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

std::string CutUtf8(const std::string& s, size_t bytes) {
    if (s.size() <= bytes) return s;
    size_t n = bytes;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

u64 HighestCluster(const NTFSRunList& runs) {
    u64 high = 0;
    for (const NTFSRun& r : runs) {
        if (r.lcn == kSparseLCN || r.count == 0) continue;
        high = std::max(high, r.lcn + r.count - 1);
    }
    return high;
}

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

bool NodeIsFolder(const CFileNode* n) {
    const IFileProperties* p = n->GetFileProperties();
    return p && (p->GetAttributes() & kAttrDirectory);
}

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

class FoundTreeBuilder {
public:
    explicit FoundTreeBuilder(const NTFSFoundTreeInput& in) : m_in(in) {}
    FileSystemNodePtr Build();

private:
    void AcceptMFTLocations();
    void ReadRecords();
    RecordGroup* GroupOf(u64 sector);
    void MakeRecordInfo(const u8* raw, u32 length, u64 sector, RecordGroup* group);
    // The properties of a record the info was filled from, with the folder their name names and
    // (when asked) every folder its names name; `extensions` is handed over.
    PropertiesRef<CNTFSFileProperties> MakeProperties(const u8* raw, u32 length, u64 sector, RecordGroup* group,
                                                      NTFSExtensionRecordList* extensions,
                                                      const CCommonFileRecordInfo& info, const NtfsFolderKnown* known,
                                                      u64& parent, u16& parentSequence,
                                                      std::vector<NtfsFolderReference>* namedFolders = nullptr);
    // A file with names in several folders whose named folder is none of the list's folder
    // records, while another name's is, is made again from its record under such a name.
    void TakeKnownFolders(std::vector<std::unique_ptr<CCommonFileRecordInfo>>& infos, RecordGroup* group);
    bool FilterAccepts(CNTFSFileProperties* properties);
    TreeNodePtr NodeFromInfo(CCommonFileRecordInfo& info);
    void LinkGroupTree(RecordGroup& group);
    // Returns the nodes left without a parent; folder (or a new "Other lost files") receives them.
    CFileNode* GatherOrphans(std::vector<std::unique_ptr<CCommonFileRecordInfo>>& infos, CFileNode* folder);
    std::string ReadLabel();

    const NTFSFoundTreeInput& m_in;
    CSearchedNTFSPartitionInfo* m_partition = nullptr;
    u64 m_start = 0;
    u32 m_spc = 1;
    u32 m_sectorSize = 512;
    u32 m_stride = 2;
    u64 m_end = 0;
    std::vector<RecordGroup> m_groups;
    std::vector<std::unique_ptr<CCommonFileRecordInfo>> m_own;
    CFileNode* m_sharedLost = nullptr;
};

void FoundTreeBuilder::AcceptMFTLocations() {
    if (!m_in.mftDetails) return;
    for (NTFSMftRecordDetail& d : *m_in.mftDetails) {
        NTFSMFTLocation* loc = d.location;
        if (!loc || loc->GetMFTStartSector() < m_start) continue;
        const u64 offset = loc->GetMFTStartSector() - m_start;
        if (offset % m_spc != 0 || offset / m_spc != loc->GetLCNOfFirstCluster()) continue;
        const unsigned __int128 high = static_cast<unsigned __int128>(HighestCluster(loc->GetRuns())) * m_spc;
        if (high >= m_partition->GetTotalSectors()) continue;
        if (!d.parser) d.parser = std::make_unique<CNTFSLogFileParser>();
        if (!d.parser->IsOpened()) {
            // The journal's clusters count from this partition's own start on the device.
            d.parser->Open(m_in.device, &loc->GetRuns(), m_spc, m_start);
            d.parser->Parse();
        }
        RecordGroup g;
        g.location = loc;
        g.parser = d.parser.get();
        m_groups.push_back(std::move(g));
    }
}

RecordGroup* FoundTreeBuilder::GroupOf(u64 sector) {
    if ((m_partition->GetMftNumbering() & 0xFFFFFFFFu) == 0) return nullptr;
    const u64 cluster = (sector - m_start) / m_spc;
    for (RecordGroup& g : m_groups) {
        if (ContainsLCN(g.location->GetRuns(), cluster)) return &g;
    }
    return nullptr;
}

bool FoundTreeBuilder::FilterAccepts(CNTFSFileProperties* properties) {
    IRecoveryFilter* filter = m_in.builder ? m_in.builder->GetFilter() : nullptr;
    if (!filter) return true;
    TreeNodePtr probe = CreateFileNode();
    if (!probe) return true;
    properties->AddRef();
    probe->SetFileProperties(properties);
    return filter->Accept(probe.get()) != 0;
}

void FoundTreeBuilder::MakeRecordInfo(const u8* raw, u32 length, u64 sector, RecordGroup* group) {
    u8 fixed[ntfs::kMaxRecordSize];
    const u32 span = std::min<u32>(RecordSpan(raw, length), sizeof(fixed));
    std::memcpy(fixed, raw, span);
    ApplyFileRecordFixups(fixed, span);
    if (RecordIsExtension(fixed) || IsSystemMetadataRecord(fixed, span)) return;

    auto info = std::make_unique<CCommonFileRecordInfo>();
    if (!info->FillFromRecord(raw, length, sector)) return;
    const NTFSRunList* mftRuns = group ? &group->location->GetRuns() : nullptr;
    if (mftRuns) {
        const u64 offset = sector - m_start;
        const u64 vcn = LookupVCN(*mftRuns, offset / m_spc);
        u64 number = ~u64(0);
        if (vcn != kSparseLCN) {
            const u64 inMft = vcn * m_spc + offset % m_spc;
            number = inMft % m_stride == 0 ? inMft / m_stride : ~u64(0);
        }
        info->SetRecordNumber(number);
    }
    NTFSExtensionRecordList* extensions =
        mftRuns ? CNTFSFileRecord::LocateExtensionRecords(raw, length, sector, m_spc, m_start,
                                                          m_in.device, *mftRuns, static_cast<u8>(m_stride))
                : nullptr;
    u64 parent = ~u64(0);
    u16 parentSequence = 0;
    std::vector<NtfsFolderReference> namedFolders;
    PropertiesRef<CNTFSFileProperties> properties =
        MakeProperties(raw, length, sector, group, extensions, *info, nullptr, parent, parentSequence, &namedFolders);
    info->SetNamedFolder(parent, parentSequence);
    info->SetNamedFolders(std::move(namedFolders));
    if (!properties || !FilterAccepts(properties.get())) return;
    info->SetProperties(properties.release());
    (group ? group->infos : m_own).push_back(std::move(info));
}

PropertiesRef<CNTFSFileProperties> FoundTreeBuilder::MakeProperties(const u8* raw, u32 length, u64 sector,
                                                                    RecordGroup* group,
                                                                    NTFSExtensionRecordList* extensions,
                                                                    const CCommonFileRecordInfo& info,
                                                                    const NtfsFolderKnown* known, u64& parent,
                                                                    u16& parentSequence,
                                                                    std::vector<NtfsFolderReference>* namedFolders) {
    CNTFSFileRecord record;
    if (!record.Init(raw, length, sector, m_in.device, extensions)) {
        delete extensions;
        return {};
    }
    const u64 clusters = m_partition->GetClusterCount() != kNtfsUnknown ? m_partition->GetClusterCount() : 0;
    PropertiesRef<CNTFSFileProperties> properties =
        MakeNTFSFileProperties(sector, record, u64(m_spc) * m_sectorSize, &parent, clusters, &parentSequence, known,
                               namedFolders);
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
    FixNegativeSize(properties.get(), m_spc, m_sectorSize);
    properties->SetExtensionRecords(extensions);
    return properties;
}

void FoundTreeBuilder::TakeKnownFolders(std::vector<std::unique_ptr<CCommonFileRecordInfo>>& infos,
                                        RecordGroup* group) {
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

void FoundTreeBuilder::ReadRecords() {
    if (!m_in.recordRuns || !m_in.device) return;
    const u64 deviceEnd = m_in.device->GetTotalSectors();
    const u32 look = CNTFSSearchController::kWindowSectors;
    std::vector<u8> buffer(size_t(kBatchSectors + look) * m_sectorSize);
    const bool skipOutside = (m_partition->GetMftNumbering() >> 32) != 0;
    for (const NtfsRecordRun& run : *m_in.recordRuns) {
        for (u64 k = 0; k < run.count;) {
            const u64 first = run.firstSector + k * m_stride;
            if (first < m_start) {
                ++k;
                continue;
            }
            if (first >= m_end || first >= deviceEnd) break;
            const u64 batch = std::min<u64>({kBatchSectors, m_end - first, deviceEnd - first});
            const u64 readable = std::min<u64>(batch + look, deviceEnd - first);
            std::fill(buffer.begin(), buffer.end(), 0);
            if (m_in.device->Read(buffer.data(), first, readable) == 0) {
                k += (batch + m_stride - 1) / m_stride;
                continue;
            }
            for (u64 at = 0; at < batch && k < run.count; at += m_stride, ++k) {
                const u64 sector = first + at;
                const u8* raw = buffer.data() + at * m_sectorSize;
                const u32 length = static_cast<u32>(std::min<u64>(look, readable - at)) * m_sectorSize;
                if (!ValidateFileRecord(raw, length) || RecordIsExtension(raw)) continue;
                RecordGroup* group = GroupOf(sector);
                if (!group && skipOutside) continue;
                MakeRecordInfo(raw, length, sector, group);
            }
        }
    }
}

TreeNodePtr FoundTreeBuilder::NodeFromInfo(CCommonFileRecordInfo& info) {
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

void FoundTreeBuilder::LinkGroupTree(RecordGroup& group) {
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
            if (NodeIsFolder(node)) queue.emplace_back(node, node->GetId());
            if (!inBin) continue;
            if (CFileNode* companion = FindRecycleBinPair(pending, node)) {
                CFileNode* info = IsRecycleBinInfoFile(node) ? node : companion;
                CFileNode* entry = info == node ? companion : node;
                RestoreRecycleBinName(m_in.device, entry, info, m_start, m_spc);
            }
        }
    }
    CFileNode* lost = GatherOrphans(group.infos, m_sharedLost);
    if (lost && !m_sharedLost) {
        m_sharedLost = lost;
        group.root->AddChild(lost);
    }
}

CFileNode* FoundTreeBuilder::GatherOrphans(std::vector<std::unique_ptr<CCommonFileRecordInfo>>& infos,
                                           CFileNode* folder) {
    std::vector<CFileNode*> nodes;
    for (auto& info : infos) {
        if (TreeNodePtr n = NodeFromInfo(*info)) nodes.push_back(n.release());
    }
    std::multimap<u64, CFileNode*> byParent;
    for (CFileNode* n : nodes) byParent.emplace(n->GetParentId(), n);
    for (CFileNode* f : nodes) {
        if (!NodeIsFolder(f) || f->GetId() == ~u64(0) || f->GetId() < kFirstUserRecord) continue;
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

std::string FoundTreeBuilder::ReadLabel() {
    const u64 mft = m_partition->GetMftSector();
    if (mft == kNtfsUnknown || !m_in.device) return std::string();
    const u32 recordBytes = std::max<u32>(ntfs::kMinRecordSize, m_sectorSize);
    std::vector<u8> record(recordBytes);
    if (m_in.device->Read(record.data(), mft + u64(kVolumeRecord) * m_stride, recordBytes / m_sectorSize) == 0) {
        return std::string();
    }
    char label[100] = {};
    ReadVolumeNameFromRecord(record.data(), recordBytes, label, sizeof(label));
    return label;
}

FileSystemNodePtr FoundTreeBuilder::Build() {
    m_partition = m_in.partition;
    if (!m_partition || m_partition->GetKind() != 0 || !m_in.device) return nullptr;
    m_start = m_partition->GetPartitionStart();
    m_spc = std::max<u32>(1, m_partition->GetSectorsPerCluster());
    m_sectorSize = NTFSScanGeometry::For(m_in.device->GetSectorSize()).sectorSize;
    m_stride = NTFSScanGeometry::For(m_sectorSize).recordStride;
    m_end = m_start + m_partition->GetTotalSectors();

    AcceptMFTLocations();
    for (RecordGroup& g : m_groups) {
        g.root = CreateFileNode().release();
        if (g.root) g.root->SetId(kNtfsRootFolderRecord);
    }
    ReadRecords();
    TakeKnownFolders(m_own, nullptr);
    CheckTakenFolders(m_own, nullptr);
    for (RecordGroup& g : m_groups) {
        TakeKnownFolders(g.infos, &g);
        CheckTakenFolders(g.infos, g.parser);
        if (g.root) LinkGroupTree(g);
    }

    FileSystemNodePtr volume = CreateFileSystemNode();
    const std::string name = CutUtf8(GetScanOptions().GetFoundPartitionName("NTFS", int(m_in.treeId + 1)),
                                     kVolumeNameLimit);
    PropertiesRef<CNTFSFileProperties> properties = FolderProperties(name.c_str(), 0);
    if (!volume || !properties) {
        for (RecordGroup& g : m_groups) DestroySubtree(g.root);
        return nullptr;
    }
    volume->SetFileProperties(properties.release());
    volume->SetPartitionGeometry(m_start, m_spc);
    volume->SetFileSystemType(kFsNtfs);
    volume->SetId(kNtfsRootFolderRecord);
    const std::string label = ReadLabel();
    const size_t characters = Utf8Characters(label);
    if (characters >= 1 && characters <= kMaxLabelCharacters) volume->SetVolumeLabel(label.c_str());

    for (RecordGroup& g : m_groups) {
        if (!g.root) continue;
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
    for (RecordGroup& g : m_groups) {
        if (g.parser) g.parser->Reset();
    }
    return volume;
}

}  // namespace

FileSystemNodePtr BuildFoundPartitionTree(const NTFSFoundTreeInput& input) {
    FoundTreeBuilder builder(input);
    return builder.Build();
}

void PruneEmptyTreeNodes(CFileNode* folder) {
    if (!folder) return;
    // Children before their folder: a folder is judged after everything below it was pruned.
    std::vector<CFileNode*> order;
    std::vector<CFileNode*> stack;
    for (CFileNode* c = folder->GetFirstChild(); c; c = c->GetNextSibling()) stack.push_back(c);
    while (!stack.empty()) {
        CFileNode* n = stack.back();
        stack.pop_back();
        order.push_back(n);
        for (CFileNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) stack.push_back(c);
    }
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        CFileNode* n = *it;
        const IFileProperties* p = n->GetFileProperties();
        const bool folderNode = NodeIsFolder(n);
        const bool empty = folderNode ? n->GetFirstChild() == nullptr : (p && p->GetSize() == 0);
        if (!empty) continue;
        if (CFileNode* parent = n->GetParent()) parent->RemoveChild(n);
        DestroyTreeNode(n);
    }
}

CClusterUseMap::CClusterUseMap(u64 startSector, u32 sectorsPerCluster, u32 sectorSize, u64 clusters)
    : m_start(startSector), m_spc(sectorsPerCluster == 0 ? 1 : sectorsPerCluster),
      m_sectorSize(sectorSize == 0 ? 512 : sectorSize), m_bits(static_cast<size_t>(clusters), false) {}

void CClusterUseMap::Mark(u64 cluster) {
    if (cluster < m_bits.size()) m_bits[cluster] = true;
}

void CClusterUseMap::MarkRecord(u64 recordSector) {
    if (recordSector < m_start) return;
    const u64 cluster = (recordSector - m_start) / m_spc;
    Mark(cluster);
    // A 1024-byte record spans two clusters of one 512-byte sector.
    if (u64(m_spc) * m_sectorSize < ntfs::kMinRecordSize) Mark(cluster + 1);
}

void CClusterUseMap::MarkExtents(const IDataRunList& runs, u64 size) {
    const u64 clusterBytes = u64(m_spc) * m_sectorSize;
    u64 covered = 0;
    for (size_t i = 0; i < runs.GetExtentCount() && covered < size; ++i) {
        const DataRunExtent& e = runs.GetExtent(i);
        if (e.start < 0) {
            // A hole takes no cluster; it only counts towards the size.
            const unsigned __int128 hole = static_cast<unsigned __int128>(e.length) * clusterBytes;
            covered = hole >= size - covered ? size : covered + static_cast<u64>(hole);
            continue;
        }
        for (u64 k = 0; k < e.length && covered < size; ++k) {
            const u64 cluster = static_cast<u64>(e.start) + k;
            if (cluster >= m_bits.size()) break;
            Mark(cluster);
            covered += clusterBytes;
        }
    }
}

u64 CClusterUseMap::CountUsed() const { return static_cast<u64>(std::count(m_bits.begin(), m_bits.end(), true)); }
