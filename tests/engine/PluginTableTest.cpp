// The plug-in table as the scan modes, the tree code, the saved results and the writer reach it:
// every code finds the row of its own file system, and a row registered again replaces the old.
#include <gtest/gtest.h>

#include <memory>

#include <cstring>
#include <string>

#include "SavedSections.h"
#include "TreeBuilderTestFeed.h"
#include "devices/VolumeAnalyzerSet.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/FileSystemPlugins.h"
#include "engine/FsServices.h"
#include "engine/RawFileProperties.h"
#include "engine/RecoveryControllers.h"
#include "devices/ScanOptions.h"
#include "fs/fat/ExFatDeepSearch.h"
#include "fs/ntfs/NtfsFactories.h"

namespace {

class QuickSearchProbe : public CDeletedRecoveryController {
public:
    IQuickFileSystemSearchController* Make() { return CreateQuickSearch(); }
};

struct CodeCase {
    u32 code;
    const char* row;          // null: no row reads the code
    bool quickSearch;
    u32 propertiesKind;
};

TEST(PluginTable, EveryCodeReachesTheServicesOfItsOwnRow) {
    const CodeCase cases[] = {
        {kFsFat12, "FAT", true, kPropertiesFat},   {kFsFat16, "FAT", true, kPropertiesFat},
        {kFsFat32, "FAT", true, kPropertiesFat},   {kFsNtfs, "NTFS", true, kPropertiesNtfs},
        {kFsExt2, nullptr, false, 0},              {kFsExt3, nullptr, false, 0},
        {kFsRaw, "RAW", false, kPropertiesRaw},    {kFsExFat, "EXFAT", true, kPropertiesExFat},
        {8, nullptr, false, 0},                    {kFsUnknown, nullptr, false, 0},
    };
    for (const CodeCase& c : cases) {
        SCOPED_TRACE(c.code);
        const auto row = FindFileSystemPlugin(c.code);
        ASSERT_EQ(row.has_value(), c.row != nullptr);
        QuickSearchProbe controller;
        controller.SetFileSystem(c.code, nullptr);
        IQuickFileSystemSearchController* search = controller.Make();
        EXPECT_EQ(search != nullptr, c.quickSearch);
        delete search;
        // Every file system with a row has its deep search.
        const std::unique_ptr<ICompleteFileSystemSearchController> deep(CreateDeepSearch(c.code));
        EXPECT_EQ(deep != nullptr, c.code == kFsNtfs || IsFatCode(c.code) || c.code == kFsExFat || c.code == kFsRaw);
        if (!row) {
            EXPECT_EQ(CreateFolderProperties(c.code, "x").release(), nullptr);
            continue;
        }
        EXPECT_STREQ(row->name, c.row);
        EXPECT_EQ(row->propertiesKind, c.propertiesKind);

        // A root of the code carries folder properties of its row's class, named by the code,
        // and its saved form loads back through the row of that class.
        CFileSystemNode* root = feed::Root(c.code, 5, "tmp");
        IFileProperties* folder = CreateRootFileProperties(*root).release();
        ASSERT_NE(folder, nullptr);
        EXPECT_EQ(folder->GetFileSystemKind(), c.propertiesKind);
        EXPECT_STREQ(folder->GetName(), FileSystemTypeName(c.code));
        EXPECT_NE(folder->GetAttributes() & kAttrDirectory, 0);
        testutil::MemoryStream stream;
        folder->Save(&stream);
        IFileProperties* loaded = LoadFileProperties(folder->GetFileSystemKind(), &stream);
        ASSERT_NE(loaded, nullptr);
        EXPECT_EQ(loaded->GetFileSystemKind(), c.propertiesKind);
        EXPECT_STREQ(loaded->GetName(), folder->GetName());
        EXPECT_EQ(stream.pos, stream.bytes.size());
        loaded->Release();
        folder->Release();
        DestroyTreeNode(root);
    }
    EXPECT_EQ(LoadFileProperties(2, nullptr), nullptr);  // no row makes properties of kind 2
}

// Properties of a class no real file system uses, so that the writer's reads reach the test's row.
class ProbeProperties : public CRAWFileProperties {
public:
    static constexpr u32 kKind = 77;
    u32 GetFileSystemKind() const override { return kKind; }
};

bool ProbeResident(CFileNode*, IStorageDevice*, u64& size, void* buffer, u32 capacity) {
    const char kValue[] = "resident";
    if (capacity < sizeof(kValue)) return false;
    std::memcpy(buffer, kValue, sizeof(kValue));
    size = sizeof(kValue);
    return true;
}

class FixedVolume : public IVolume {
public:
    u32 GetFileSystemType() override { return kFsNtfs; }
    u64 GetTotalSectors() override { return 1234; }
    void GetVolumeLabel(char* out, u32 size) override { std::strncpy(out, "probe", size); }
};

IVolume* MakeFixedVolume(IStorageDevice*, u64) { return new FixedVolume; }

TEST(PluginTable, ARowRegisteredAgainReplacesTheOldOneAndItsAnalyser) {
    FileSystemPlugin probe;
    probe.name = "PROBE";
    probe.fsCodes = FsCodeSet({kFsExt2, kFsExt3});
    probe.propertiesKind = ProbeProperties::kKind;
    probe.readResidentData = &ProbeResident;
    RegisterFileSystemPlugin(probe);

    CFileNode* node = CreateFileNode().release();
    node->SetFileProperties(new ProbeProperties);
    char buffer[32] = {};
    u64 size = 0;
    EXPECT_TRUE(ReadResidentData(node, nullptr, size, buffer, sizeof buffer));
    EXPECT_EQ(std::string(buffer, size - 1), "resident");
    // The row offers no logged utility stream, and a node of another class never reaches it.
    u64 unread = 0;
    EXPECT_FALSE(ReadLoggedUtilityStream(node, nullptr, size, buffer, sizeof buffer, unread));
    CFileNode* raw = CreateFileNode().release();
    raw->SetFileProperties(CreateRAWFileProperties().release());
    EXPECT_FALSE(ReadResidentData(raw, nullptr, size, buffer, sizeof buffer));
    EXPECT_FALSE(ReadResidentData(nullptr, nullptr, size, buffer, sizeof buffer));

    probe.readResidentData = nullptr;
    RegisterFileSystemPlugin(probe);
    EXPECT_FALSE(ReadResidentData(node, nullptr, size, buffer, sizeof buffer));
    ASSERT_TRUE(FindFileSystemPlugin(kFsExt3).has_value());
    UnregisterFileSystemPlugin("PROBE");
    EXPECT_FALSE(FindFileSystemPlugin(kFsExt3).has_value());
    EXPECT_FALSE(FindPluginOfPropertiesKind(ProbeProperties::kKind).has_value());

    // A row of the same name takes over the file system's analyser slot, and the real row
    // registered again gives it back.
    FileSystemPlugin ntfs = *FindFileSystemPlugin(kFsNtfs);
    ntfs.createVolumeAnalyzer = &MakeFixedVolume;
    RegisterFileSystemPlugin(ntfs);
    feed::MemoryDevice device{64};
    {
        VolumeAnalyzerSet set(&device, 0);
        ASSERT_NE(set.GetRecognized(), nullptr);
        EXPECT_EQ(set.GetRecognized()->GetTotalSectors(), 1234u);
    }
    RegisterNtfsPlugin();
    {
        VolumeAnalyzerSet set(&device, 0);
        ASSERT_NE(set.GetRecognized(), nullptr);
        EXPECT_EQ(set.GetRecognized()->GetFileSystemType(), kFsUnknown);  // zeros are no volume
    }
    DestroyTreeNode(node);
    DestroyTreeNode(raw);
}

// The complete scan's searches come from the rows alone: a new row with a deep search takes the
// place its order names, and a row whose switch is off is left out.
std::vector<u32> DeepSearchKinds(const ScanOptions& options) {
    std::vector<u32> kinds;
    for (ICompleteFileSystemSearchController* search : CreateDeepSearches(options)) {
        kinds.push_back(search->GetKind());
        delete search;
    }
    return kinds;
}

TEST(PluginTable, TheDeepSearchesFollowTheRowsOrderAndSwitches) {
    constexpr u32 kNtfsKind = 0;
    constexpr u32 kFatKind = 1;
    constexpr u32 kExFatKind = 4;
    ScanOptions options;
    options.SetScanRaw(0);
    EXPECT_EQ(DeepSearchKinds(options), (std::vector<u32>{kNtfsKind, kFatKind, kExFatKind}));
    options.SetScanRaw(1);
    EXPECT_EQ(DeepSearchKinds(options).size(), 4u);  // the signature search joins

    FileSystemPlugin probe;
    probe.name = "PROBE";
    probe.fsCodes = FsCodeSet({kFsExt2});
    probe.createDeepSearch = &CreateExFatCompleteSearch;
    probe.deepSearchOrder = 15;  // between NTFS and FAT
    probe.deepSearchWanted = [](const ScanOptions& o) { return o.GetScanRaw() == 0; };
    RegisterFileSystemPlugin(probe);
    options.SetScanRaw(0);
    EXPECT_EQ(DeepSearchKinds(options), (std::vector<u32>{kNtfsKind, kExFatKind, kFatKind, kExFatKind}));
    options.SetScanRaw(1);
    EXPECT_EQ(DeepSearchKinds(options).size(), 4u);
    UnregisterFileSystemPlugin("PROBE");
}

}  // namespace
