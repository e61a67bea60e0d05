#include "engine/LostFileCollector.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "devices/ScanOptions.h"
#include "devices/StorageDevice.h"
#include "engine/ClusterClaims.h"
#include "engine/DataRunList.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/RawFileInfoPool.h"
#include "engine/RawFileProperties.h"
#include "engine/FileSystemPlugins.h"
#include "engine/RawFileInfo.h"
#include "engine/RawFileTypes.h"

namespace {

constexpr u8 kFolderState = 0x10;
constexpr u64 kNoSector = ~u64(0);
constexpr const char* kDefaultNameText = "Morvenda_";
// The sector of the record's start and size when no device is at hand.
constexpr u32 kSectorSizeWithoutDevice = 512;

// The bytes from a sector to the device's end, 0 past it; without a device, no bound.
u64 BytesToDeviceEnd(IStorageDevice* device, u64 sector) {
    if (!device) return ~u64(0);
    const u64 total = device->GetTotalSectors();
    return sector < total ? (total - sector) * device->GetSectorSize() : 0;
}

// The longest prefix of text of at most `bytes` bytes that does not end inside a UTF-8 sequence.
std::string CutAtCharacter(const std::string& text, size_t bytes) {
    if (text.size() <= bytes) return text;
    size_t n = bytes;
    while (n > 0 && (static_cast<u8>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

// The device sectors a found file's bytes lie in.
u64 SectorsOf(u64 size, u32 sectorSize) { return size / sectorSize + (size % sectorSize != 0 ? 1 : 0); }

// Makes the node a lost-file folder; false (the node left as it was) when memory runs out.
bool MakeFolderNode(CFileNode& node, const char* name, u64 id, u64 parentId) {
    PropertiesRef<CRAWFileProperties> p = CreateRAWFileProperties();
    if (!p) return false;
    p->SetExtent(kNoSector, 0);
    p->SetAttributes(kAttrDirectory);
    p->SetRawFileName(name);
    p->SetState(kFolderState);
    node.SetFileProperties(p.release());
    node.SetId(id);
    node.SetParentId(parentId);
    return true;
}

// The builder keeps a node it took; one it refused goes with the handle.
template <class Node>
u32 Insert(IDirecotryTreeBuilder* builder, TreeNodeHandle<Node> node, CSearchedPartitionInfo* partition) {
    const u32 taken = builder->InsertNode(node.get(), partition);
    if (taken != 0) node.release();
    return taken;
}

}  // namespace

std::string LostFileCollector::SanitizeFileNameText(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    for (const char* bad : {"\\", "/", ":", "?", "\"", "<", ">", "|", "*", "\r", "\n"}) ReplaceAll(text, bad, "_");
    return text;
}

void LostFileCollector::ReplaceAll(std::string& text, const std::string& what, const std::string& with) {
    if (what.empty()) return;
    // Searching on after each replacement rather than from the start gives the same text for
    // every caller (none replaces by a text that contains what it replaces) and always ends.
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
}

std::string LostFileCollector::FileTypeFolderName(u32 type) {
    const char* description = RawFileTypeDescription(type);
    if (description && *description) return description;
    const char* extension = RawFileTypeExtension(type);
    return extension ? extension : "";
}

TreeNodePtr LostFileCollector::CreateRawFolderNode(const char* name, u64 id) {
    TreeNodePtr node = CreateFileNode();
    if (!node || !MakeFolderNode(*node, name, id, kRootId)) return nullptr;
    return node;
}

std::string LostFileCollector::MakeRawFileName(u32 type, const std::string& nameText) const {
    char suffix[32];
    const u32 counter = type < kMaxFileTypes ? m_counters[type] : 0;
    const char* extension = RawFileTypeExtension(type);
    std::snprintf(suffix, sizeof(suffix), "%03u.%s", counter, extension ? extension : "");
    const std::string text = nameText.empty() ? std::string(kDefaultNameText) : nameText;
    const size_t room = kMaxStoredName > std::string(suffix).size() ? kMaxStoredName - std::string(suffix).size() : 0;
    return CutAtCharacter(text, room) + suffix;
}

PropertiesRef<CRAWFileProperties> LostFileCollector::CreateRawFileProperties(const CRawFileInfo& record) const {
    PropertiesRef<CRAWFileProperties> p = CreateRAWFileProperties();
    if (!p) return p;
    p->SetExtent(record);
    p->SetAttributes(kAttrArchive);
    p->SetRawFileName(MakeRawFileName(record.fileType, record.nameText).c_str());
    return p;
}

TreeNodePtr LostFileCollector::CreateRawFileNode(const CRawFileInfo& record, u64 parentId, u64 id) const {
    return MakeFileNode(CreateRawFileProperties(record), parentId, id);
}

TreeNodePtr LostFileCollector::MakeFileNode(PropertiesRef<CRAWFileProperties> properties, u64 parentId, u64 id) {
    TreeNodePtr node = CreateFileNode();
    if (!node || !properties) return nullptr;
    node->SetFileProperties(properties.release());
    node->SetId(id);
    node->SetParentId(parentId);
    return node;
}

u32 LostFileCollector::CreateMoreLostFilesFolder(IDirecotryTreeBuilder* builder, CSearchedPartitionInfo* partition) {
    if (!builder) return 0;
    FileSystemNodePtr root = CreateFileSystemNode();
    if (!root || !MakeFolderNode(*root, kMoreLostFilesFolderName, kRootId, kUnknownNodeId)) return 0;
    root->SetPartitionGeometry(0, 1);
    root->SetFileSystemType(kFsRaw);
    return Insert(builder, std::move(root), partition);
}

u32 LostFileCollector::AddFoundFile(const CRawFileInfo& record, IDirecotryTreeBuilder* builder,
                                    CSearchedPartitionInfo* partition) {
    if (!builder || record.fileType >= kMaxFileTypes) return 0;
    PropertiesRef<CRAWFileProperties> properties = CreateRawFileProperties(record);
    ++m_counters[record.fileType];
    return InsertFoundFile(record.fileType, std::move(properties), builder, partition);
}

u32 LostFileCollector::InsertFoundFile(u32 type, PropertiesRef<CRAWFileProperties> properties,
                                       IDirecotryTreeBuilder* builder, CSearchedPartitionInfo* partition) {
    if (!builder || type >= kMaxFileTypes) return 0;
    if (!m_folders.count(type)) {
        TreeNodePtr folder = CreateRawFolderNode(FileTypeFolderName(type).c_str(), type);
        CFileNode* const linked = folder.get();
        if (!folder || Insert(builder, std::move(folder), partition) == 0) return 0;
        m_folders[type] = linked;
    }
    TreeNodePtr node = MakeFileNode(std::move(properties), type, m_nextId++);
    if (!node) return 0;
    return Insert(builder, std::move(node), partition);
}

void LostFileCollector::LeaveOut(u64 firstSector, u64 sectors, const CFileNode* tree) {
    if (sectors != 0) m_leftOut.push_back({firstSector, sectors, tree});
}

void LostFileCollector::KeepToFreeClusters(u64 firstSector, u32 sectorsPerCluster, u64 clusters,
                                           std::function<bool(u64)> inUse) {
    m_volume = {true, firstSector, sectorsPerCluster, clusters, std::move(inUse)};
}

bool LostFileCollector::IsLeftOut(u64 sector) const {
    // Compared as an offset into the range: a start and length read from a damaged boot sector
    // may add up past 2^64.
    if (std::any_of(m_leftOut.begin(), m_leftOut.end(),
                    [sector](const SectorRange& r) { return sector >= r.first && sector - r.first < r.count; })) {
        return true;
    }
    if (!m_volume.set) return false;
    // Without a cluster size no sector can be placed in the volume: nothing is filed.
    if (sector < m_volume.firstSector || m_volume.sectorsPerCluster == 0) return true;
    const u64 cluster = (sector - m_volume.firstSector) / m_volume.sectorsPerCluster;
    return cluster >= m_volume.count || (m_volume.inUse && m_volume.inUse(cluster));
}

std::vector<LostFileCollector::FoundFile> LostFileCollector::GatherFiles(IStorageDevice* reader, CRawFileInfoPool& pool,
                                                                        bool& complete) {
    std::vector<FoundFile> found;
    complete = true;
    for (const auto& entry : pool.GetRecords()) {
        CRawFileInfo& record = *entry;
        if (IsLeftOut(record.startSector)) continue;
        CRawFileInfo work;
        if (record.size == 0) {
            std::string text1, text2;
            if (!reader || !MeasureFoundFile(record, reader, text1, text2)) continue;
            work.SetNameText(text1);
            work.SetSecondText(text2);
        } else {
            work.SetNameText(record.nameText);
            work.SetSecondText(record.secondText);
        }
        if (record.size == 0) continue;
        // A walk reads what its own bytes say; on a disk smaller than the RAW search's ring the
        // whole walk happens here, and a length field of a few gigabytes must not make a file
        // read past the disk it lies on: it keeps what the disk holds and counts the rest missing.
        work.size = record.size;
        work.missingBytes = record.missingBytes;
        work.CutAt(BytesToDeviceEnd(reader, record.startSector));
        if (work.size == 0) continue;
        work.startSector = record.startSector;
        work.fileType = record.fileType;
        work.analyser = record.analyser;
        // A type past the folders' ids, or memory gone, ends the pass where it stands.
        if (work.fileType >= kMaxFileTypes) {
            complete = false;
            break;
        }
        PropertiesRef<CRAWFileProperties> properties = CreateRawFileProperties(work);
        if (!properties) {
            complete = false;
            break;
        }
        // Named in the order the files are filed: the counter is the number of the type's
        // files before this one.
        ++m_counters[work.fileType];
        found.push_back({work.startSector, work.size, work.fileType, std::move(properties)});
    }
    return found;
}

void LostFileCollector::WeighFoundFiles(std::vector<FoundFile>& found, u32 sectorSize) const {
    const bool anyTree = std::any_of(m_leftOut.begin(), m_leftOut.end(), [](const SectorRange& r) { return r.tree; });
    const bool volume = m_volume.set && m_volume.inUse && m_volume.sectorsPerCluster != 0;
    if (found.empty() || sectorSize == 0 || (!volume && !anyTree)) return;
    CClusterClaims claims;
    ClaimAge carved;
    carved.carved = true;
    for (FoundFile& f : found) {
        claims.AddSectors(claims.Add(f.properties.get(), carved), f.first, SectorsOf(f.size, sectorSize));
    }
    // What the live files hold, as the allocation of the volume in use: newer than anything found
    // by signature, and never counted itself.
    ClaimAge live;
    live.inUse = true;
    const CClusterClaims::ClaimId allocation = claims.Add(nullptr, live);
    if (volume) ClaimVolumeClusters(found, sectorSize, claims, allocation);
    if (anyTree) ClaimLiveFilesOfRanges(found, sectorSize, claims, allocation);
    claims.Weigh("files found by signature");
}

void LostFileCollector::ClaimVolumeClusters(const std::vector<FoundFile>& found, u32 sectorSize, CClusterClaims& claims,
                                            CClusterClaims::ClaimId allocation) const {
    // The clusters of the volume the found files lie on, as first cluster and count: only there
    // can a live file take a sector of theirs, so only there is the volume asked.
    std::vector<SectorRange> spans;
    const u64 spc = m_volume.sectorsPerCluster;
    const u64 volumeSectors = m_volume.count > ~u64(0) / spc ? ~u64(0) : m_volume.count * spc;
    for (const FoundFile& f : found) {
        const u64 sectors = SectorsOf(f.size, sectorSize);
        if (f.first < m_volume.firstSector || sectors == 0) continue;
        // Compared as offsets into the volume: a size near 2^64 must not wrap the end around.
        const u64 offset = f.first - m_volume.firstSector;
        if (offset >= volumeSectors) continue;
        const u64 firstCluster = offset / spc;
        const u64 lastSector = offset + std::min(sectors, volumeSectors - offset) - 1;
        spans.push_back({firstCluster, lastSector / spc - firstCluster + 1});
    }
    std::sort(spans.begin(), spans.end(), [](const SectorRange& a, const SectorRange& b) { return a.first < b.first; });
    u64 asked = 0;  // the clusters below this one were asked already
    for (const SectorRange& span : spans) {
        for (u64 cluster = std::max(asked, span.first); cluster < span.first + span.count; ++cluster) {
            if (m_volume.inUse(cluster)) claims.AddSectors(allocation, m_volume.firstSector + cluster * spc, spc);
        }
        asked = std::max(asked, span.first + span.count);
    }
}

void LostFileCollector::ClaimLiveFilesOfRanges(const std::vector<FoundFile>& found, u32 sectorSize,
                                               CClusterClaims& claims, CClusterClaims::ClaimId allocation) const {
    for (const SectorRange& range : m_leftOut) {
        if (range.tree == nullptr) continue;
        // A file that begins outside a range may run into it; only then are its live files read.
        const bool reached = std::any_of(found.begin(), found.end(), [&](const FoundFile& f) {
            const u64 sectors = SectorsOf(f.size, sectorSize);
            const u64 end = f.first + sectors < f.first ? ~u64(0) : f.first + sectors;
            return f.first < range.first + std::min(range.count, ~u64(0) - range.first) && end > range.first;
        });
        if (reached) ClaimLiveFiles(*range.tree, sectorSize, claims, allocation);
    }
}

void LostFileCollector::ClaimLiveFiles(const CFileNode& tree, u32 sectorSize, CClusterClaims& claims,
                                       CClusterClaims::ClaimId allocation) {
    u64 dataStart = 0;
    u32 sectorsPerCluster = 0;
    if (!tree.GetPartitionGeometry(dataStart, sectorsPerCluster) || sectorsPerCluster == 0) return;
    ForEachLiveRunList(tree, [&](const IFileProperties& p, const IDataRunList& runs) {
        // A folder's clusters are its own whatever size it states; of a file's last cluster, the
        // part past its end may still hold an older file's bytes.
        const u64 size = (p.GetAttributes() & kAttrDirectory) != 0 ? ~u64(0) : p.GetSize();
        claims.AddRuns(allocation, runs, size, dataStart, sectorsPerCluster, sectorSize);
    });
}

bool LostFileCollector::Collect(IStorageDevice* device, CRawFileInfoPool& pool, IDirecotryTreeBuilder* builder,
                                CSearchedPartitionInfo* partition, const void* /*clusterUse*/) {
    if (GetScanOptions().GetScanRaw() == 0 || !builder) return false;
    bool rootMade = false;
    if (m_leftOut.empty() && !m_volume.set) {
        if (CreateMoreLostFilesFolder(builder, partition) == 0) return false;
        rootMade = true;
    }
    IStorageDevice* reader = device && device->GetInnerDevice() ? device->GetInnerDevice() : device;
    bool complete = true;
    std::vector<FoundFile> found = GatherFiles(reader, pool, complete);
    // Every found file is weighed before any is filed, so that the one a live file lies over is
    // shown incomplete from the start.
    WeighFoundFiles(found, reader ? reader->GetSectorSize() : kSectorSizeWithoutDevice);
    for (FoundFile& f : found) {
        if (!rootMade) {
            if (CreateMoreLostFilesFolder(builder, partition) == 0) return false;
            rootMade = true;
        }
        if (InsertFoundFile(f.type, std::move(f.properties), builder, partition) == 0) return false;
    }
    return complete;
}
