#include "engine/SavedResult.h"

#include <cstdio>
#include <cstring>
#include <deque>

#include "devices/DiskDescription.h"
#include "devices/DiskDevice.h"
#include "devices/ImageFileDevice.h"
#include "devices/VolumeRecord.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/FileSystemPlugins.h"
#include "engine/RSData.h"

const MGUID kSavedFolderListSection = {0x6EAE44F1, 0x5CA7, 0x49F8, {0xBD, 0x8D, 0x71, 0x26, 0xD4, 0x46, 0xAA, 0xCA}};
const MGUID kSavedVolumeSection = {0x94F5F416, 0x4317, 0x4567, {0xAE, 0x44, 0x15, 0xB3, 0x21, 0x4E, 0xD9, 0x98}};
const MGUID kSavedTreesSection = {0xD208F26C, 0x078C, 0x4E34, {0x9D, 0x71, 0xD9, 0x1F, 0x53, 0x5F, 0x7B, 0x57}};

namespace {

constexpr u32 kProgressStart = 40;
constexpr u32 kProgressSlowUntil = 45;
constexpr u32 kProgressSpan = 50;
constexpr char kFolderSeparator = ';';

void PrintStreamError(const IRSException& e, bool newline) {
    std::printf(newline ? "RS Exception:%d\n" : "RS Exception:%d", static_cast<int>(e.GetCode()));
}

bool IsFolder(const CFileNode* node) {
    const IFileProperties* p = node->GetFileProperties();
    return p != nullptr && (p->GetAttributes() & kAttrDirectory) != 0;
}

// Moves the callback's position on when the new one is greater; a cancel answer throws `code`.
void AdvanceProgress(IDIRBuildCallback* callback, u32& position, u32 next, u32 code) {
    if (next <= position) return;
    position = next;
    if (callback->SetPos(static_cast<i32>(next)) != 0) throw CRSException(code);
}

void WriteNode(IRSData* stream, CFileNode* node) {
    stream->WriteI32(node->IsFileSystemNode() ? kSavedTagFileSystemNode : kSavedTagPlainNode);
    node->Save(stream);
    SaveFileProperties(node->GetFileProperties(), stream);
}

}  // namespace

void SaveFileProperties(IFileProperties* properties, IRSData* stream) {
    try {
        stream->WriteU32(properties->GetFileSystemKind());
        properties->Save(stream);
    } catch (const IRSException& e) {
        PrintStreamError(e, true);
        throw;
    }
}

IFileProperties* LoadFileProperties(IRSData* stream) {
    try {
        const u32 kind = stream->ReadU32();
        IFileProperties* p = LoadFileProperties(kind, stream);
        if (p == nullptr) throw CRSException(kRSEndOfData);
        return p;
    } catch (const IRSException& e) {
        PrintStreamError(e, true);
        throw;
    }
}

bool SaveScanTrees(const std::vector<CFileSystemNode*>& roots, IRSData* stream, IDIRBuildCallback* callback) {
    if (roots.empty() || stream == nullptr || callback == nullptr) return false;
    try {
        if (!stream->BeginSection(kSavedTreesSection)) return false;
        stream->WriteU32(static_cast<u32>(roots.size()));
        if (roots.size() > kMaxSavedTrees) return false;

        u32 position = kProgressStart;
        u32 folders = 0;
        for (CFileSystemNode* root : roots) {
            // A root without properties has no record to write; its folder of lost files is made
            // again on loading, but the file would not load, so it fails the export instead.
            if (root->GetFileProperties() == nullptr) return false;
            stream->WriteI32(kSavedTagFileSystemNode);
            root->Save(stream);
            SaveFileProperties(root->GetFileProperties(), stream);
            std::deque<CFileNode*> queue{root};
            while (!queue.empty()) {
                ++folders;
                const u32 next = position < kProgressSlowUntil
                                     ? position + 1
                                     : folders * kProgressSpan / (2 * static_cast<u32>(queue.size())) + kProgressStart;
                AdvanceProgress(callback, position, next, kRSCancelled);
                CFileNode* folder = queue.front();
                queue.pop_front();
                for (CFileNode* child = folder->GetFirstChild(); child; child = child->GetNextSibling()) {
                    // A node without properties has no saved form; nor do its children.
                    if (child->GetFileProperties() == nullptr) continue;
                    WriteNode(stream, child);
                    if (IsFolder(child)) queue.push_back(child);
                    if (callback->IsCancelled() != 0) throw CRSException(kRSCancelled);
                }
                stream->WriteI32(kSavedTagEndOfFolder);
            }
        }
        stream->EndSection();
        return true;
    } catch (const IRSException& e) {
        PrintStreamError(e, false);
        throw;
    }
}

bool LoadScanTrees(IRSData* stream, std::vector<CFileSystemNode*>& roots, IDIRBuildCallback* callback) {
    if (stream == nullptr || callback == nullptr) return false;
    // The nodes of this call stay owned here until the whole section has loaded; a failed load
    // drops them whether or not they were linked yet (the roots they were linked under are
    // among them), each with its own properties.
    std::vector<TreeNodePtr> made;
    auto fail = [&]() {
        made.clear();
        roots.clear();
    };
    try {
        stream->BeginSection(kSavedTreesSection);
        const u32 trees = stream->ReadU32();
        u32 position = kProgressStart;
        u32 folders = 0;
        for (u32 t = 0; t < trees; ++t) {
            if (stream->ReadI32() != kSavedTagFileSystemNode) {
                fail();
                return false;
            }
            FileSystemNodePtr freshRoot = CreateFileSystemNode();
            if (!freshRoot) throw CRSException(kRSEndOfData);
            CFileSystemNode* root = freshRoot.get();
            made.emplace_back(std::move(freshRoot));
            root->Load(stream);
            root->SetFileProperties(LoadFileProperties(stream));
            roots.push_back(root);

            // Each node is linked at the front of its folder's children as it is read, so a
            // loaded folder lists them in the reverse of the order they were saved in.
            std::deque<CFileNode*> queue{root};
            while (!queue.empty()) {
                ++folders;
                const u32 next = position < kProgressSlowUntil
                                     ? position + 1
                                     : folders * kProgressSpan / (folders + static_cast<u32>(queue.size())) +
                                           kProgressStart;
                AdvanceProgress(callback, position, next, kRSCancelled);
                CFileNode* folder = queue.front();
                queue.pop_front();
                for (;;) {
                    const i32 tag = stream->ReadI32();
                    if (tag == kSavedTagEndOfFolder) break;
                    TreeNodePtr fresh;
                    if (tag == kSavedTagPlainNode) {
                        fresh = CreateFileNode();
                    } else if (tag == kSavedTagFileSystemNode) {
                        fresh = CreateFileSystemNode();
                    } else {
                        continue;
                    }
                    if (!fresh) throw CRSException(kRSEndOfData);
                    CFileNode* node = fresh.get();
                    made.push_back(std::move(fresh));
                    node->Load(stream);
                    node->SetFileProperties(LoadFileProperties(stream));
                    folder->AddChild(node);
                    if (IsFolder(node)) queue.push_back(node);
                    if (callback->IsCancelled() != 0) throw CRSException(kRSCancelledLoad);
                }
            }
        }
        stream->EndSection();
        // The loaded trees now own their nodes through their roots.
        for (TreeNodePtr& node : made) node.release();
        return true;
    } catch (const IRSException& e) {
        PrintStreamError(e, false);
        fail();
        throw;
    }
}

void DestroySavedTree(CFileSystemNode* root) { DestroySubtree(root); }

void WriteFolderList(IRSData* stream, const std::list<std::string>& folders) {
    std::string joined;
    for (const std::string& f : folders) {
        joined += f;
        joined += kFolderSeparator;
    }
    stream->BeginSection(kSavedFolderListSection);
    stream->WriteU32(static_cast<u32>(joined.size()));
    if (!joined.empty()) stream->Write(joined.data(), static_cast<u32>(joined.size()));
    stream->EndSection();
}

std::vector<std::string> ReadFolderList(IRSData* stream) {
    std::vector<std::string> out;
    stream->BeginSection(kSavedFolderListSection);
    const u32 length = stream->ReadU32();
    if (length > 1) {
        // ReadString checks the length against the section before anything is allocated.
        const std::string text = stream->ReadString(length);
        size_t start = 0;
        for (size_t end = text.find(kFolderSeparator); end != std::string::npos;
             end = text.find(kFolderSeparator, start)) {
            // A path stops at its first NUL, as the text of a zero-filled buffer would.
            const std::string piece = text.substr(start, end - start);
            out.push_back(piece.substr(0, piece.find('\0')));
            start = end + 1;
        }
    }
    stream->EndSection();
    return out;
}

bool BuildDiskIdentification(CDiskDevice* disk, u8 out[kDiskIdentificationSize]) {
    std::memset(out, 0, kDiskIdentificationSize);
    if (disk == nullptr) return false;
    DiskDescription description{};
    if (!disk->GetDiskDescription(&description)) return false;
    std::memcpy(out, &description, sizeof description);
    const u32 sectorSize = disk->GetSectorSize();
    if (sectorSize == 0) return false;
    std::vector<u8> sector(sectorSize);
    if (!disk->Read(sector.data(), 0, 1)) return false;
    // Whatever the sector size, the block keeps at most the room it has.
    const u32 kept = sectorSize < kDiskIdentificationSectorMax ? sectorSize : kDiskIdentificationSectorMax;
    std::memcpy(out + kDiskIdentificationSectorOffset, sector.data(), kept);
    // The partition table may change between saving and loading without making it another disk.
    std::memset(out + kDiskIdentificationSectorOffset + kPartitionTableOffset, 0, kPartitionTableSize);
    return true;
}

bool TakeSavedVolumeForm(const VolumeRecord& record, SavedVolumeForm& out) {
    out.record.assign(kVolumeRecordSize, 0);
    StoreVolumeRecord(record, out.record.data());
    out.disks.clear();
    // Only a volume of live disks names them; an image volume's record holds its index path.
    if (record.source != 0) return true;
    const u32 extents = record.ExtentCount();
    for (u32 i = 0; i < extents; ++i) {
        std::vector<u8> block(kDiskIdentificationSize);
        if (!BuildDiskIdentification(record.extents[i].disk, block.data())) return false;
        out.disks.push_back(std::move(block));
    }
    return true;
}

void WriteSavedVolumeForm(IRSData* stream, const SavedVolumeForm& form) {
    stream->BeginSection(kSavedVolumeSection);
    stream->Write(form.record.data(), static_cast<u32>(form.record.size()));
    for (const std::vector<u8>& block : form.disks) stream->Write(block.data(), static_cast<u32>(block.size()));
    stream->EndSection();
}

void WriteDeviceList(IRSData* stream, const VolumeRecord* record) {
    SavedVolumeForm form;
    if (!TakeSavedVolumeForm(*record, form)) throw CRSException(kRSEndOfData);
    WriteSavedVolumeForm(stream, form);
}

namespace {

bool SameExtents(const VolumeRecord& a, const VolumeRecord& b, u32 count) {
    for (u32 i = 0; i < count; ++i) {
        if (a.extents[i].firstSector != b.extents[i].firstSector ||
            a.extents[i].sectorCount != b.extents[i].sectorCount) {
            return false;
        }
    }
    return true;
}

bool MatchesLive(const VolumeRecord& saved, const std::vector<std::vector<u8>>& blocks, VolumeRecord& live) {
    if (live.source == 2) return false;
    const u32 count = saved.ExtentCount();
    if (live.reserved != saved.reserved || live.driveLetter != saved.driveLetter || live.fsCode != saved.fsCode ||
        live.kind != saved.kind || live.ExtentCount() != count || !SameExtents(saved, live, count)) {
        return false;
    }
    u8 block[kDiskIdentificationSize];
    for (u32 i = 0; i < count; ++i) {
        if (!BuildDiskIdentification(live.extents[i].disk, block)) return false;
        if (std::memcmp(block, blocks[i].data(), kDiskIdentificationSize) != 0) return false;
    }
    return true;
}

// A saved volume on a compressed disk image: the image already re-opened by this import, or the
// image opened again from its index path when all its files are there.
VolumeRecord* ReopenImageVolume(const VolumeRecord& saved, std::vector<std::unique_ptr<ReopenedImageVolume>>& images) {
    for (const auto& image : images) {
        if (std::strncmp(image->record->imagePath, saved.imagePath, sizeof saved.imagePath) == 0) {
            return image->record.get();
        }
    }
    auto device = std::make_unique<CImageFileDeviceWithDecompress>(saved.imagePath);
    if (!device->CheckImageFiles()) return nullptr;
    auto volume = std::make_unique<ReopenedImageVolume>();
    volume->record = std::make_unique<VolumeRecord>(saved);
    volume->record->device = device.get();
    // The stored disk pointers meant nothing outside the process that saved them.
    for (VolumeExtent& e : volume->record->extents) e.disk = nullptr;
    volume->device = std::move(device);
    images.push_back(std::move(volume));
    return images.back()->record.get();
}

}  // namespace

VolumeRecord* ReadDeviceList(IRSData* stream, const std::vector<VolumeRecord*>& live,
                             std::vector<std::unique_ptr<ReopenedImageVolume>>& images) {
    stream->BeginSection(kSavedVolumeSection);
    const std::vector<u8> stored = stream->ReadBlob(kVolumeRecordSize);
    VolumeRecord saved;
    LoadVolumeRecord(stored.data(), stored.size(), &saved);
    VolumeRecord* found = nullptr;
    if (saved.source == 0) {
        const u32 count = saved.ExtentCount();
        std::vector<std::vector<u8>> blocks;
        for (u32 i = 0; i < count; ++i) blocks.push_back(stream->ReadBlob(kDiskIdentificationSize));
        for (VolumeRecord* r : live) {
            if (r != nullptr && MatchesLive(saved, blocks, *r)) {
                found = r;
                break;
            }
        }
    } else {
        found = ReopenImageVolume(saved, images);
    }
    stream->EndSection();
    return found;
}
