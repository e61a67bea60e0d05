#include "engine/LostFileCollector.h"

#include <algorithm>
#include <cstdio>

#include "devices/ScanOptions.h"
#include "devices/StorageDevice.h"
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

TreeNodePtr LostFileCollector::CreateRawFileNode(const CRawFileInfo& record, u64 parentId, u64 id) const {
    TreeNodePtr node = CreateFileNode();
    PropertiesRef<CRAWFileProperties> p = CreateRAWFileProperties();
    if (!node || !p) return nullptr;
    p->SetExtent(record);
    p->SetAttributes(kAttrArchive);
    p->SetRawFileName(MakeRawFileName(record.fileType, record.nameText).c_str());
    node->SetFileProperties(p.release());
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
    const u32 type = record.fileType;
    if (!builder || type >= kMaxFileTypes) return 0;
    if (!m_folders.count(type)) {
        TreeNodePtr folder = CreateRawFolderNode(FileTypeFolderName(type).c_str(), type);
        CFileNode* const linked = folder.get();
        if (!folder || Insert(builder, std::move(folder), partition) == 0) return 0;
        m_folders[type] = linked;
    }
    TreeNodePtr node = CreateRawFileNode(record, type, m_nextId++);
    if (!node) return 0;
    const u32 answer = Insert(builder, std::move(node), partition);
    ++m_counters[type];
    return answer;
}

void LostFileCollector::LeaveOut(u64 firstSector, u64 sectors) {
    if (sectors != 0) m_leftOut.push_back({firstSector, sectors});
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

bool LostFileCollector::Collect(IStorageDevice* device, CRawFileInfoPool& pool, IDirecotryTreeBuilder* builder,
                                CSearchedPartitionInfo* partition, const void* /*clusterUse*/) {
    if (GetScanOptions().GetScanRaw() == 0 || !builder) return false;
    bool rootMade = false;
    if (m_leftOut.empty() && !m_volume.set) {
        if (CreateMoreLostFilesFolder(builder, partition) == 0) return false;
        rootMade = true;
    }
    IStorageDevice* reader = device && device->GetInnerDevice() ? device->GetInnerDevice() : device;
    CRawFileInfo work;
    for (const auto& entry : pool.GetRecords()) {
        CRawFileInfo& record = *entry;
        if (IsLeftOut(record.startSector)) continue;
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
        if (!rootMade) {
            if (CreateMoreLostFilesFolder(builder, partition) == 0) return false;
            rootMade = true;
        }
        if (AddFoundFile(work, builder, partition) == 0) return false;
    }
    return true;
}
