#pragma once
// The saved-result road of the fuzzing: records of real scan trees (roots, every node's
// properties, searched partitions, $MFT locations, run lists, volume records) written as the
// logical content of a section, damaged there (so the loaders see damaged records inside intact
// chunks), stored through the chunked stream, and loaded back by every loader of a saved form.
// Header-only: the harness and the smoke tests share it.
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "bench/fuzz/devFuzzCommon.h"
#include "support/MemoryStream.h"
#include "devices/VolumeRecord.h"
#include "engine/CompactRunList.h"
#include "engine/DataRunList.h"
#include "engine/DirectoryTree.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/FileSystemPlugins.h"
#include "engine/FsServices.h"
#include "engine/PartitionTree.h"
#include "engine/RSData.h"
#include "engine/RawFileProperties.h"
#include "engine/RecoveryFilter.h"
#include "engine/SearchedPartitionInfo.h"
#include "fs/fat/ExFatFileProperties.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatSearchedPartitionInfo.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSRunList.h"
#include "engine/Progress.h"
#include "platform/Text.h"
#include "support/ImageDevice.h"
#include "support/TreeStubs.h"

namespace devfuzz {

// Record tags of the fuzzing section.
enum : u8 {
    kTagEnd = 0,
    kTagRoot = 1,
    kTagProperties = 2,
    kTagPartition = 3,
    kTagFatPartition = 4,
    kTagMftLocation = 5,
    kTagRunList = 6,
    kTagResidentRunList = 7,
    kTagCompactRuns = 8,
    kTagVolumeRecord = 9,
};

// {5E1D0F2A-7C44-4B8E-9A31-0D6B2C8F4E17}
inline const MGUID& FuzzSectionId() {
    static const MGUID id = {0x5E1D0F2A, 0x7C44, 0x4B8E, {0x9A, 0x31, 0x0D, 0x6B, 0x2C, 0x8F, 0x4E, 0x17}};
    return id;
}

// Appends the records of one scan tree: its root, every node's properties (breadth-first), the
// searched partitions of its search, and run lists and an $MFT location made from its files.
inline void AppendTreeRecords(IRSData* out, CFileSystemNode* root, const std::vector<CSearchedPartitionInfo*>& parts,
                              u32 maxNodes) {
    out->WriteU8(kTagRoot);
    root->Save(out);
    std::deque<CFileNode*> queue;
    for (CFileNode* c = root->GetFirstChild(); c; c = c->GetNextSibling()) queue.push_back(c);
    u32 written = 0;
    u32 runLists = 0;
    while (!queue.empty() && written < maxNodes) {
        CFileNode* n = queue.front();
        queue.pop_front();
        for (CFileNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) queue.push_back(c);
        IFileProperties* p = n->GetFileProperties();
        if (!p) continue;
        out->WriteU8(kTagProperties);
        out->WriteU32(p->GetFileSystemKind());
        p->Save(out);
        ++written;
        std::unique_ptr<IDataRunList> runs(p->CreateDataRunList());
        if (runs && runLists < 8) {
            ++runLists;
            out->WriteU8(runs->IsResident() ? kTagResidentRunList : kTagRunList);
            runs->Save(out);
            std::unique_ptr<CCompactRunList> compact(CCompactRunList::Create(runs.get()));
            if (compact) {
                out->WriteU8(kTagCompactRuns);
                compact->Save(out);
            }
            if (!runs->IsResident()) {
                NTFSMFTLocation location;
                location.SetSectorsPerCluster(8);
                u64 vcn = 0;
                for (DataRunExtent* e = runs->GetFirstExtent(); e; e = runs->GetNextExtent()) {
                    NTFSRun r;
                    r.lcn = static_cast<u64>(e->start);
                    r.count = e->length;
                    r.vcn = vcn;
                    vcn += e->length;
                    location.GetRuns().push_back(r);
                }
                out->WriteU8(kTagMftLocation);
                location.Save(out);
            }
        }
    }
    for (CSearchedPartitionInfo* part : parts) {
        out->WriteU8(part->GetKind() == 1 ? kTagFatPartition : kTagPartition);
        part->Save(out);
    }
    VolumeRecord volume;
    volume.fsCode = root->GetFileSystemType();
    volume.SetLabel(root->GetVolumeLabel() ? root->GetVolumeLabel() : "");
    volume.SetDiskText("Morvenda  Disk image  ");
    volume.AddExtent(0, 65536, StoredDiskPlaceholder());
    u8 stored[kVolumeRecordSize];
    StoreVolumeRecord(volume, stored);
    out->WriteU8(kTagVolumeRecord);
    out->Write(stored, kVolumeRecordSize);
}

// What the loaders made of a section, for the smoke tests' sanity checks.
struct LoadOutcome {
    u32 records = 0;
    u32 roots = 0;
    u32 properties = 0;
    bool threw = false;
};

// Uses a loaded properties object the way the browser and the recoverer do.
inline void ExerciseProperties(const IFileProperties* p) {
    if (p->GetName()) {
        const size_t n = strnlen(p->GetName(), size_t(p->GetNameLength()) + 1);
        std::string name(p->GetName(), n);
        (void)Utf8Prefix(name, 40);
    }
    std::string extra;
    p->GetExtraName(extra);
    std::unique_ptr<IDataRunList> runs(p->CreateDataRunList());
    if (runs) {
        u64 total = 0;
        for (DataRunExtent* e = runs->GetFirstExtent(); e; e = runs->GetNextExtent()) total += e->length;
        (void)total;
    }
}

inline void DestroyTree(CFileSystemNode* root) {
    std::vector<CFileNode*> all;
    std::deque<CFileNode*> queue{root};
    while (!queue.empty()) {
        CFileNode* n = queue.front();
        queue.pop_front();
        all.push_back(n);
        for (CFileNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) queue.push_back(c);
    }
    for (CFileNode* n : all) delete n;
}

// Loads records until the section ends or a loader throws; every object is used and freed.
inline LoadOutcome LoadRecords(IRSData* in) {
    LoadOutcome out;
    std::vector<CFileSystemNode*> roots;
    try {
        for (;;) {
            const u8 tag = in->ReadU8();
            ++out.records;
            if (tag == kTagEnd) break;
            switch (tag) {
                case kTagRoot: {
                    auto* root = new CFileSystemNode;
                    roots.push_back(root);
                    root->Load(in);
                    root->SetFileProperties(CreateRootFileProperties(*root).release());
                    ++out.roots;
                    break;
                }
                case kTagProperties: {
                    const u32 kind = in->ReadU32();
                    // A kind without a row is read as RAW, the form every found file can take.
                    PropertiesRef<> p(FindPluginOfPropertiesKind(kind) ? LoadFileProperties(kind, in)
                                                                       : LoadRAWFileProperties(in));
                    if (!p) break;
                    ExerciseProperties(p.get());
                    ++out.properties;
                    if (roots.empty()) break;
                    if (TreeNodePtr node = CreateFileNode()) {
                        node->SetFileProperties(p.release());
                        roots.back()->AddChild(node.release());
                    }
                    break;
                }
                case kTagPartition:
                case kTagFatPartition: {
                    std::unique_ptr<CSearchedPartitionInfo> part(tag == kTagFatPartition
                                                                     ? new CFATSearchedPartitionInfo(512)
                                                                     : new CSearchedPartitionInfo(512));
                    part->Load(in);
                    const u32 ss = part->GetSectorSize();
                    if (ss == 0 || ss % 512 != 0) std::abort();  // every sector computation divides by it
                    break;
                }
                case kTagMftLocation: {
                    NTFSMFTLocation location;
                    location.Load(in);
                    (void)location.GetLCNOfFirstCluster();
                    NTFSRunList copy;
                    location.CopyRuns(copy);
                    break;
                }
                case kTagRunList: {
                    CNoneResidentNTFSDataRunList list;
                    list.Load(in);
                    std::unique_ptr<CCompactRunList> compact(CCompactRunList::Create(&list));
                    break;
                }
                case kTagResidentRunList: {
                    CResidentNTFSDataRunList list;
                    list.Load(in);
                    break;
                }
                case kTagCompactRuns: {
                    std::unique_ptr<CCompactRunList> compact(CCompactRunList::Load(in));
                    if (compact) {
                        (void)compact->GetEncodedLength();
                        std::unique_ptr<IDataRunList> expanded(compact->Expand());
                    }
                    break;
                }
                case kTagVolumeRecord: {
                    const std::vector<u8> bytes = in->ReadBlob(kVolumeRecordSize);
                    VolumeRecord r;
                    if (LoadVolumeRecord(bytes.data(), bytes.size(), &r)) {
                        (void)r.ExtentCount();
                        (void)strnlen(r.label, sizeof r.label);
                    }
                    break;
                }
                default:
                    throw CRSException(kRSEndOfData);  // an unknown record: the rest is not trusted
            }
        }
    } catch (const IRSException&) {
        out.threw = true;
    }
    for (CFileSystemNode* root : roots) {
        root->RecountStatistics();
        root->ToggleCheck(root, false);
        if (root->GetFirstChild()) root->ToggleCheck(root->GetFirstChild(), false);
        SelectionStatistics s;
        root->GetStatistics(&s);
        delete root->Clone();
        DestroyTree(root);
    }
    return out;
}

// Writes `content` as the one section of a new saved file at `path`; when `damageStored` is set,
// the stored bytes (chunk headers and deflated data) are damaged afterwards too.
inline void WriteSavedFile(const std::string& path, const std::vector<u8>& content, Rng& rng, bool damageStored) {
    {
        CRSDataEx w(1);
        if (!w.Open(path.c_str(), 1)) std::abort();
        w.WriteHeader(MakeScanResultHeader(1));
        w.BeginSection(FuzzSectionId());
        if (!content.empty()) w.Write(content.data(), static_cast<u32>(content.size()));
        w.EndSection();
        w.Close();
    }
    if (!damageStored) return;
    CWin32File f;
    f.Open(path.c_str(), CWin32File::kModeOpenAlways);
    u64 size = 0;
    if (!f.GetSize(&size) || size <= 132) return;
    std::vector<u8> bytes(static_cast<size_t>(size));
    f.Seek(0);
    f.Read(bytes.data(), static_cast<u32>(bytes.size()));
    const u32 rounds = 1 + static_cast<u32>(rng.Below(4));
    for (u32 r = 0; r < rounds; ++r) MutateBytes(rng, bytes.data() + 132, bytes.size() - 132);
    f.Seek(0);
    f.Write(bytes.data(), static_cast<u32>(bytes.size()));
    f.Close();
}

// Opens the saved file and loads its section through every loader.
inline LoadOutcome LoadSavedFile(const std::string& path) {
    LoadOutcome out;
    CRSDataEx r(0);
    if (!r.Open(path.c_str(), 0)) return out;
    try {
        ScanResultHeader h;
        r.ReadHeader(h);
        (void)r.GetVersion();
        r.BeginSection(FuzzSectionId());
        (void)r.GetSectionLength();
    } catch (const IRSException&) {
        out.threw = true;
        return out;
    }
    out = LoadRecords(&r);
    return out;
}

// One round: damage the content, store it, load it.
inline LoadOutcome FuzzSavedContent(Rng& rng, const std::vector<u8>& seed, const std::string& path) {
    std::vector<u8> content = seed;
    MutateStream(rng, content, 1 + static_cast<u32>(rng.Below(8)));
    WriteSavedFile(path, content, rng, rng.OneIn(6));
    return LoadSavedFile(path);
}

class QuietProgress : public IProgress {
public:
    i32 OnProgress(const ProgressInfo* record) override { return record && record->Total ? 1 : -1; }
    u32 Continued() override { return 1; }
    u32 GetState() override { return kProgressRunning; }
};

// The saved-record seed of one image: its quick-search tree through the real builder.
inline std::vector<u8> TreeRecords(const std::string& image, std::unique_ptr<IQuickFileSystemSearchController> search) {
    testutil::ImageDevice device(image, 512);
    if (!device.IsOpen()) return {};
    testutil::SilentTree consumer;
    testutil::AcceptAllFilter filter;
    QuietProgress progress;
    IDirecotryTreeBuilder* builder = CreateDirectoryTreeBuilder();
    builder->Init("Volume", &consumer, &filter, kBuilderQuickMode, &device, 0);
    search->SetDirectoryTreeBuilder(builder);
    search->Search(&device, &progress);
    std::vector<CSearchedPartitionInfo*> parts;
    search->GetSearchedPartitions(parts);
    builder->FinishSearch();
    builder->FinishBuild();
    testutil::MemoryStream sink;
    CFileSystemNode* root = static_cast<CDirectoryTreeBuilder*>(builder)->GetQuickTree()->GetRoot();
    if (root) AppendTreeRecords(&sink, root, parts, 400);
    sink.WriteU8(kTagEnd);
    search.reset();
    builder->Release();
    return sink.bytes;
}

}  // namespace devfuzz
