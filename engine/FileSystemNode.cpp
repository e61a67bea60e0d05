#include "engine/FileSystemNode.h"

#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <string_view>

#include "engine/FileProperties.h"
#include "engine/FileSystemPlugins.h"
#include "engine/RSData.h"
#include "platform/Text.h"

namespace {

// Applies the change of a subtree's statistics to a root's. Checking adds what was unchecked,
// unchecking takes away what was checked; totals never change. A root loaded from a saved result
// carries zero checked counters until it is recounted, so a removal stops at 0 rather than
// wrapping around.
template <typename T>
void SubtractClamped(T& value, T amount) {
    value = value >= amount ? value - amount : 0;
}

void ApplyDelta(SelectionStatistics& r, const SelectionStatistics& d, bool checking) {
    if (checking) {
        r.checkedFiles += d.files - d.checkedFiles;
        r.checkedBytes = SaturatingAdd(r.checkedBytes, d.bytes >= d.checkedBytes ? d.bytes - d.checkedBytes : 0);
        r.checkedCompressedFiles += d.compressedFiles - d.checkedCompressedFiles;
        r.checkedEncryptedFiles += d.encryptedFiles - d.checkedEncryptedFiles;
    } else {
        SubtractClamped(r.checkedFiles, d.checkedFiles);
        SubtractClamped(r.checkedBytes, d.checkedBytes);
        SubtractClamped(r.checkedCompressedFiles, d.checkedCompressedFiles);
        SubtractClamped(r.checkedEncryptedFiles, d.checkedEncryptedFiles);
    }
}

}  // namespace

CFileSystemNode::~CFileSystemNode() {
    delete[] m_label;
    m_label = nullptr;
    m_labelLength = 0;
    m_statistics = SelectionStatistics{};
    m_partitionStart = 0;
    m_sectorsPerCluster = 0;
}

CFileNode* CFileSystemNode::Clone() const {
    CFileSystemNode* copy = new (std::nothrow) CFileSystemNode;
    if (copy == nullptr) return nullptr;
    copy->m_parentId = m_parentId;
    copy->m_id = m_id;
    copy->m_recordSector = m_recordSector;
    copy->m_statistics = m_statistics;
    std::memcpy(copy->m_volumeInfo, m_volumeInfo, kVolumeInfoSize);
    copy->m_partitionStart = m_partitionStart;
    copy->m_sectorsPerCluster = m_sectorsPerCluster;
    copy->m_fileSystemCode = m_fileSystemCode;
    copy->SetVolumeLabel(m_label);
    copy->m_properties = CreateRootFileProperties(*copy).release();
    return copy;
}

bool CFileSystemNode::GetPartitionGeometry(u64& startSector, u32& sectorsPerCluster) const {
    startSector = m_partitionStart;
    sectorsPerCluster = m_sectorsPerCluster;
    return true;
}

u32 CFileSystemNode::Save(IRSData* stream) const {
    // The checked counters are not saved: a loaded tree is recounted.
    stream->WriteU32(m_statistics.files);
    stream->WriteU32(0);
    stream->WriteU64(m_statistics.bytes);
    stream->WriteU64(0);
    stream->WriteU32(m_statistics.compressedFiles);
    stream->WriteU32(0);
    stream->WriteU32(m_statistics.encryptedFiles);
    stream->WriteU32(0);
    stream->WriteU64(m_partitionStart);
    stream->WriteU32(m_sectorsPerCluster);
    stream->WriteU32(m_fileSystemCode);
    const u32 length = m_label != nullptr ? m_labelLength : 0;
    stream->WriteU32(length);
    if (length > 0) stream->Write(m_label, length);
    return 1;
}

u32 CFileSystemNode::Load(IRSData* stream) {
    SelectionStatistics s;
    s.files = stream->ReadU32();
    s.checkedFiles = stream->ReadU32();
    s.bytes = stream->ReadU64();
    s.checkedBytes = stream->ReadU64();
    s.compressedFiles = stream->ReadU32();
    s.checkedCompressedFiles = stream->ReadU32();
    s.encryptedFiles = stream->ReadU32();
    s.checkedEncryptedFiles = stream->ReadU32();
    m_statistics = s;
    m_partitionStart = stream->ReadU64();
    m_sectorsPerCluster = stream->ReadU32();
    m_fileSystemCode = stream->ReadU32();
    const u32 length = stream->ReadU32();
    SetVolumeLabel(nullptr);
    if (length > 0) {
        // The length comes from the file: ReadString checks it against the section first.
        const std::string label = stream->ReadString(length);
        SetVolumeLabel(label.c_str());
    }
    return 1;
}

void CFileSystemNode::SetPartitionGeometry(u64 startSector, u32 sectorsPerCluster) {
    m_partitionStart = startSector;
    m_sectorsPerCluster = sectorsPerCluster;
}

void CFileSystemNode::SetFileSystemType(u32 code) { m_fileSystemCode = code; }

u32 CFileSystemNode::GetVolumeInfo(void* out) const {
    std::memcpy(out, m_volumeInfo, kVolumeInfoSize);
    return 1;
}

u32 CFileSystemNode::SetVolumeInfo(const void* info) {
    std::memcpy(m_volumeInfo, info, kVolumeInfoSize);
    return 1;
}

u32 CFileSystemNode::ToggleCheck(CFileNode* node, bool thisNodeOnly) {
    if (node == nullptr) return 1;
    const bool checking = node->GetCheckState() != kChecked;
    const u8 state = checking ? kChecked : kUnchecked;
    if (thisNodeOnly) {
        node->SetCheckState(state);
        return 1;
    }
    SelectionStatistics delta;
    CountSubtree(node, &delta, true, state);
    if (node->IsFileSystemNode()) ApplyDelta(static_cast<CFileSystemNode*>(node)->m_statistics, delta, checking);
    for (CFileNode* ancestor = node->GetParent(); ancestor != nullptr; ancestor = ancestor->GetParent()) {
        ancestor->SetCheckState(DeriveFolderCheckState(ancestor));
        if (ancestor->IsFileSystemNode()) {
            ApplyDelta(static_cast<CFileSystemNode*>(ancestor)->m_statistics, delta, checking);
        }
    }
    return 1;
}

u32 CFileSystemNode::SetNodeFlag(CFileNode* node, u8 flag) {
    if (node == nullptr || node->GetFileProperties() == nullptr) return 0;
    return node->GetFileProperties()->SetFlag(flag);
}

u32 CFileSystemNode::GetStatistics(SelectionStatistics* out) const {
    if (out != nullptr) *out = m_statistics;
    return 1;
}

u32 CFileSystemNode::RecountStatistics() {
    CountSubtree(this, &m_statistics, false, 0);
    return 1;
}

void CFileSystemNode::SetVolumeLabel(const char* label) {
    delete[] m_label;
    m_label = nullptr;
    m_labelLength = 0;
    if (label == nullptr) return;
    // At most 40 bytes, cut where no character is split.
    const std::string_view kept = Utf8Prefix(label, kMaxVolumeLabel);
    m_label = new char[kept.size() + 1];
    std::memcpy(m_label, kept.data(), kept.size());
    m_label[kept.size()] = '\0';
    m_labelLength = static_cast<u32>(kept.size());
}

FileSystemNodePtr CreateFileSystemNode() { return FileSystemNodePtr(new (std::nothrow) CFileSystemNode); }

FileSystemNodePtr CreateFileSystemNodeObject() { return CreateFileSystemNode(); }

void DeleteFileSystemNode(CFileSystemNode* node) { delete node; }

PropertiesRef<> CreateRootFileProperties(const CFileSystemNode& node) {
    const u32 code = node.GetFileSystemType();
    const char* name = FileSystemTypeName(code);
    return name ? CreateFolderProperties(code, name) : PropertiesRef<>();
}

u8 DeriveFolderCheckState(const CFileNode* folder) {
    u64 all = 0;
    u64 checked = 0;
    u64 partly = 0;
    for (const CFileNode* c = folder->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
        ++all;
        if (c->GetCheckState() == kChecked) ++checked;
        else if (c->GetCheckState() == kPartlyChecked) ++partly;
    }
    if (checked == 0 && partly == 0) return kUnchecked;
    return checked >= all ? kChecked : kPartlyChecked;
}

void CountFileNode(StatisticsWalkContext* context, CFileNode* node) {
    const IFileProperties* properties = node->GetFileProperties();
    // A node without properties is neither a file nor a folder to count.
    if (properties != nullptr) {
        const u16 attributes = properties->GetAttributes();
        if ((attributes & kAttrDirectory) == 0) {
            SelectionStatistics& s = context->statistics;
            const bool checked = node->GetCheckState() == kChecked;
            const u64 size = properties->GetSize();
            s.files += 1;
            s.bytes = SaturatingAdd(s.bytes, size);
            if (checked) {
                s.checkedFiles += 1;
                s.checkedBytes = SaturatingAdd(s.checkedBytes, size);
            }
            if ((attributes & kAttrCompressed) != 0) {
                s.compressedFiles += 1;
                if (checked) s.checkedCompressedFiles += 1;
            }
            if ((attributes & kAttrEncrypted) != 0) {
                s.encryptedFiles += 1;
                if (checked) s.checkedEncryptedFiles += 1;
            }
        }
    }
    if (context->setStates != 0) node->SetCheckState(context->state);
}

void WalkSubtree(CFileNode* start, StatisticsWalkContext* context) {
    if (start == nullptr) return;
    std::deque<CFileNode*> queue;
    queue.push_back(start);
    while (!queue.empty()) {
        CFileNode* node = queue.front();
        queue.pop_front();
        CountFileNode(context, node);
        for (CFileNode* c = node->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) queue.push_back(c);
    }
}

u32 CountSubtree(CFileNode* start, SelectionStatistics* out, bool setState, u8 state) {
    StatisticsWalkContext context(setState ? 1 : 0, state);
    WalkSubtree(start, &context);
    if (out != nullptr) *out = context.statistics;
    return 1;
}
