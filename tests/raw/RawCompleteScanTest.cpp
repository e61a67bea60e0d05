// The RAW search inside the complete scan: the scan creates it from the plug-in table, hands it
// its progress so that a pause or stop reaches the sector loop, and files what it carved under
// the lost-files root.
#include <gtest/gtest.h>

#include <memory>

#include "ImageDevice.h"
#include "RawTestBytes.h"
#include "devices/ScanOptions.h"
#include "engine/CompleteRecoveryController.h"
#include "engine/FileSystemNode.h"
#include "engine/FileSystemPlugins.h"
#include "engine/HeadlessSinks.h"
#include "engine/Progress.h"
#include "engine/RecoveryFilter.h"
#include "raw/RAWSearchController.h"
#include "raw/RawFactories.h"

namespace {

class AskCountingProgress : public IProgress {
public:
    i32 OnProgress(const ProgressInfo*) override { return 1; }
    u32 Continued() override { return ++asked > stopAfter ? 0 : 1; }
    u32 GetState() override { return kProgressRunning; }
    u64 asked = 0;
    u64 stopAfter = ~0ULL;
};

struct Outcome {
    u32 result = ~0u;
    u64 files = 0;
    u64 asked = 0;
};

Outcome Scan(IStorageDevice& device, AskCountingProgress& progress) {
    RegisterRawPlugin();
    CRecoveryFilter filter;
    filter.SetFileTypeMask(kFileTypeMaskAll);
    CHeadlessDirectoryTree tree;
    auto controller = std::make_unique<CCompleteRecoveryController>();
    controller->Initialize(&filter);
    Outcome o;
    o.result = controller->Run(&device, &progress, &tree, "raw", 0);
    for (CFileSystemNode* root : tree.Roots()) o.files += CountTree(root).files;
    o.asked = progress.asked;
    return o;
}

TEST(RawInCompleteScan, CarvesIntoTheLostFilesRootAndAsksTheScansProgressWithinTheBlock) {
    constexpr u64 kSectors = 1024;
    constexpr u64 kPolledEvery = 64;  // sectors between two questions of the search
    testutil::MemoryDevice device(512, kSectors);
    device.Put(600 * 512, rawtest::MakeJpeg(rawtest::Jfif(), 0xE0, 2000));
    AskCountingProgress progress;
    const Outcome o = Scan(device, progress);
    EXPECT_EQ(o.result, 0u);
    EXPECT_EQ(o.files, 1u);
    // One block: the block loop asks once, the RAW search every few sectors.
    EXPECT_GE(o.asked, kSectors / kPolledEvery);
    EXPECT_EQ(RawContinueCheck(), 1u) << "the finished scan's progress is let go";

    // Stopped inside the block, before the photo's sector: nothing is carved.
    AskCountingProgress stopping;
    stopping.stopAfter = 4;
    const Outcome stopped = Scan(device, stopping);
    EXPECT_EQ(stopped.files, 0u);
    EXPECT_LT(stopped.asked, kSectors / kPolledEvery);
}

}  // namespace
