// The RAW search inside the complete scan: the scan creates it from the plug-in table, hands it
// its progress so that a pause or stop reaches the sector loop, and files what it carved under
// the lost-files root.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "RawTestBytes.h"
#include "devices/ScanOptions.h"
#include "engine/CompleteRecoveryController.h"
#include "engine/FileProperties.h"
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

// The sizes of the files carved into the lost-files root, by the folder of their type.
void CollectSizes(const CFileNode* node, const std::string& folder, std::multimap<std::string, u64>& out) {
    for (const CFileNode* child = node->GetFirstChild(); child != nullptr; child = child->GetNextSibling()) {
        IFileProperties* p = child->GetFileProperties();
        if (child->GetFirstChild() != nullptr) {
            CollectSizes(child, p != nullptr ? p->GetName() : "", out);
        } else if (p != nullptr) {
            out.emplace(folder, p->GetSize());
        }
    }
}

struct Outcome {
    u32 result = ~0u;
    u64 files = 0;
    u64 asked = 0;
    std::multimap<std::string, u64> sizes;  // of the carved files, by the folder of their type
};

// The complete scan of `device` with the RAW search among its plug-ins, every file type wanted.
Outcome Scan(IStorageDevice& device, AskCountingProgress& progress) {
    RegisterRawPlugin();
    CRecoveryFilter filter;
    filter.SetFileTypeMask(kFileTypeMaskAll);
    CHeadlessDirectoryTree tree;
    auto controller = std::make_unique<CCompleteRecoveryController>();
    controller->Initialize(&filter);
    Outcome o;
    o.result = controller->Run(&device, &progress, &tree, "raw", 0);
    for (CFileSystemNode* root : tree.Roots()) {
        o.files += CountTree(root).files;
        CollectSizes(root, "", o.sizes);
    }
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

// An SVG file's opening tag may follow a long XML prolog: the header check looks for it in the
// first 2048 bytes of the file, through the sectors after the first that the scanned block holds.
TEST(RawInCompleteScan, AnSvgIsFoundByItsTagWithinItsFirst2048Bytes) {
    constexpr u64 kSectors = 2048;
    constexpr u64 kSector = 512;
    struct Case {
        u64 tagAt;
        bool found;
    };
    const Case cases[] = {{60, true}, {634, true}, {1500, true}, {2040, true}, {2100, false}};
    testutil::MemoryDevice device(kSector, kSectors);
    std::vector<u64> expected;
    u64 at = 16 * kSector;
    for (const Case& c : cases) {
        std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- ";
        text.resize(c.tagAt - 1, 'c');
        text += "\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\">\n";
        text += std::string(400, 'p') + "\n</svg>\r\n";
        device.Put(at, std::vector<u8>(text.begin(), text.end()));
        if (c.found) expected.push_back(text.size());
        at += (text.size() / kSector + 8) * kSector;
    }
    AskCountingProgress progress;
    const Outcome o = Scan(device, progress);
    ASSERT_EQ(o.result, 0u);
    std::vector<u64> svg;
    for (const auto& [folder, size] : o.sizes) {
        if (folder == "ScalableVectorGraphics") svg.push_back(size);
    }
    std::sort(svg.begin(), svg.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(svg, expected);
}

}  // namespace
