// The deleted-file scan over compressed disk images: the session scans a fixture written as an
// image of several compressed parts and recovers the same files (contents, times, paths) as from
// the fixture itself; a result saved from the image volume reopens the image when it is loaded.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CompressedImage.h"
#include "ImageDevice.h"
#include "TestUtil.h"
#include "devices/ImageFileDevice.h"
#include "devices/VolumeRecord.h"
#include "engine/FileRecoverCallback.h"
#include "engine/FileRecoverer.h"
#include "engine/FileSystemNode.h"
#include "engine/HeadlessSinks.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryFilter.h"
#include "engine/RecoveryGraph.h"
#include "engine/SavedResultTransfer.h"
#include "platform/ProgramDir.h"

namespace {

struct Recovered {
    std::string sha256;
    i64 mtime;
    bool operator==(const Recovered& o) const { return sha256 == o.sha256 && mtime == o.mtime; }
};
using Files = std::map<std::string, Recovered>;

Files ListRecovered(const std::string& root) {
    Files out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        struct stat st {};
        const std::string path = it->path().string();
        if (::stat(path.c_str(), &st) != 0) continue;
        out[path.substr(root.size() + 1)] = {testutil::Sha256File(path), static_cast<i64>(st.st_mtime)};
    }
    return out;
}

class CompressedImageScan : public ::testing::Test {
protected:
    void SetUp() override {
        // The window's pause after a short scan only delays these scans' ends.
        session.SetShortScanPauseMs(0);
        session.SelectVolume(-1, nullptr);
        session.SetProgress(&progress, &progress, progress.GetWindow());
        session.SetDirectoryTree(&tree);
        session.SetFileTypeMask(kFileTypeMaskAll);
    }
    void TearDown() override {
        session.ReleaseController(true);
        session.SetDirectoryTree(nullptr);
        session.SetProgress(nullptr, nullptr, nullptr);
        session.SelectVolume(-1, nullptr);
        session.SetShortScanPauseMs(RecoveryGraph::kShortScanPauseMs);
    }

    // Recovers every file of the session's trees from `device` into `folder`.
    Files RecoverTrees(IStorageDevice* device, const std::string& folder) {
        EXPECT_TRUE(MakeDirectories(folder));
        SetCurrentRecoveryController(session.GetController());
        for (CFileSystemNode* root : tree.Roots()) {
            CheckWholeTree(root);
            CountingRecoverCallback callback;
            CFileRecoverer recoverer;
            char made[1040] = {};
            recoverer.RecoverFolder(&callback, device, root, folder.c_str(), made, sizeof made);
        }
        return ListRecovered(folder);
    }

    // The deleted-file scan of the record's volume, and what it recovers.
    Files ScanAndRecover(VolumeRecord* record, const std::string& folder) {
        tree.Clear();
        session.SelectVolume(-1, nullptr);
        session.SelectVolume(0, record);
        progress.DoStart();
        EXPECT_EQ(session.DoScan(kScanModeDeleted), 0);
        EXPECT_TRUE(progress.WaitForFinish(60000));
        EXPECT_FALSE(tree.Roots().empty());
        return RecoverTrees(record->device, folder);
    }

    RecoveryGraph& session = RecoveryGraph::Instance();
    CHeadlessProgress progress;
    CHeadlessDirectoryTree tree;
    testutil::TempDir dir;
};

TEST_F(CompressedImageScan, FindsWhatTheRawFixtureGives) {
    struct Case {
        const char* image;
        u32 fsCode;
        u32 compression;
        u32 parts;
    };
    const Case cases[] = {
        {"ntfs-basic", kFsNtfs, kCompressionZlib, 3},
        {"fat16-basic", kFsFat16, kCompressionBzip2, 2},
        {"exfat-basic", kFsExFat, kCompressionLzma, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        const std::string fixture = testutil::FixturePath(std::string(c.image) + ".img");
        testutil::ImageDevice rawDevice(fixture, 512);
        VolumeRecord rawVolume;
        rawVolume.device = &rawDevice;
        rawVolume.fsCode = c.fsCode;
        const Files expected = ScanAndRecover(&rawVolume, dir.File(std::string(c.image) + "-raw"));
        ASSERT_FALSE(expected.empty());

        const std::string index = dir.File(std::string(c.image) + ".idx");
        ASSERT_TRUE(testutil::WriteCompressedImage(testutil::ReadFileBytes(fixture), index,
                                                   {c.compression, 512, c.parts, 0}));
        CImageFileDeviceWithDecompress image(index.c_str());
        ASSERT_EQ(image.Error(), "");
        VolumeRecord imageVolume;
        MakeImageVolumeRecord(&image, c.fsCode, c.image, imageVolume);
        EXPECT_EQ(ScanAndRecover(&imageVolume, dir.File(std::string(c.image) + "-image")), expected);

        // Saved, then loaded with no disk attached: the image is opened again from its index.
        const std::string saved = dir.File(std::string(c.image) + ".rsf");
        ScanResultTransfer out(ScanResultTransfer::kExport, saved);
        ASSERT_TRUE(out.Run());
        ScanResultTransfer in(ScanResultTransfer::kImport, saved);
        ScanResultTransfer::Hooks hooks;
        hooks.liveVolumes = [] { return std::vector<VolumeRecord*>{}; };
        in.SetHooks(hooks);
        tree.Clear();
        ASSERT_TRUE(in.Run());
        EXPECT_TRUE(progress.WaitForFinish(1000));  // the import tells the progress page it is done
        VolumeRecord* reopened = session.GetFirstVolume();
        ASSERT_NE(reopened, nullptr);
        ASSERT_NE(reopened->device, nullptr);
        EXPECT_NE(reopened->device, static_cast<IStorageDevice*>(&image));
        EXPECT_STREQ(reopened->imagePath, index.c_str());
        EXPECT_EQ(RecoverTrees(reopened->device, dir.File(std::string(c.image) + "-loaded")), expected);
        session.ReleaseController(true);
    }
}

}  // namespace
