// The deleted-file scan of the NTFS fixtures: every record reaches the builder with its fields,
// and the real builder's quick tree holds every deleted file whose record survives.
#include <gtest/gtest.h>

#include <functional>

#include "TreeStubs.h"
#include "QuickSearchTestSupport.h"
#include "TestUtil.h"
#include "engine/DirectoryTree.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileSystemNode.h"
#include "engine/PartitionTree.h"
#include "engine/RecoveryFilter.h"

using namespace quicktest;
using testutil::RecordedNode;

namespace {

std::string LastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string ManifestLabel(const VolumeCase& c) {
    for (const testutil::ManifestPartition& p : testutil::LoadPartitions(c.manifest)) {
        if (p.index == c.partition) return p.label;
    }
    return "";
}

const RecordedNode* FindFile(const testutil::RecordingBuilder& b, const ntfstest::ManifestFile& m) {
    const RecordedNode* byName = nullptr;
    int sameName = 0;
    for (const RecordedNode& n : b.nodes) {
        if (n.IsFolder() || n.IsDeleted() == m.live) continue;
        if (RecordedPath(b, n) == m.path) return &n;
        if (!m.live && n.name == LastComponent(m.path)) {
            byName = &n;
            ++sameName;
        }
    }
    // A deleted file whose folder record was reused no longer has a path: its name decides.
    return sameName == 1 ? byName : nullptr;
}

class QuickSearchFixture : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(QuickSearchFixture, EveryLiveAndSurvivingDeletedRecordReachesTheBuilder) {
    const VolumeCase& c = GetParam();
    VolumeDevice device(testutil::FixturePath(c.image), c);
    ASSERT_TRUE(device.image.IsOpen());
    std::unique_ptr<QuickRun> run = RunQuickSearch(device.volume.get());
    ASSERT_EQ(run->result, 0u);
    const testutil::RecordingBuilder& b = run->builder;

    ASSERT_EQ(b.roots.size(), 1u);
    const std::string label = ManifestLabel(c);
    EXPECT_EQ(b.roots[0].name, label);
    EXPECT_EQ(b.roots[0].label, label);
    EXPECT_EQ(b.roots[0].id, 5u);
    EXPECT_EQ(b.roots[0].fileSystem, 3u);
    ASSERT_GT(b.roots[0].sectorsPerCluster, 0u);
    const u64 bytesPerCluster = u64(b.roots[0].sectorsPerCluster) * c.sectorSize;

    ASSERT_FALSE(run->progress.reports.empty());
    const ProgressInfo& last = run->progress.reports.back();
    EXPECT_EQ(last.Type, kProgressUpdate);
    EXPECT_GT(last.Total, 0u);
    EXPECT_EQ(last.Done, last.Total);

    // The metadata files and the root folder's own record never become nodes.
    for (const RecordedNode& n : b.nodes) {
        EXPECT_NE(n.id, 5u);
        EXPECT_EQ(n.treeKind, 1u);
        for (const char* system : {"$MFT", "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", "$Bitmap", "$Boot",
                                   "$BadClus", "$Secure", "$UpCase", "$Extend"}) {
            EXPECT_FALSE(n.parentId == 5 && n.name == system) << n.name;
        }
    }

    const std::vector<ntfstest::ManifestFile> manifest = ntfstest::LoadManifest(c.manifest, c.partition);
    ASSERT_FALSE(manifest.empty());
    int deletedChecked = 0, liveChecked = 0;
    for (const ntfstest::ManifestFile& m : manifest) {
        if (!m.live && !m.metadataPresent) continue;
        SCOPED_TRACE(m.path);
        const RecordedNode* n = FindFile(b, m);
        ASSERT_NE(n, nullptr);
        (m.live ? liveChecked : deletedChecked)++;
        EXPECT_EQ(n->name, LastComponent(m.path));
        EXPECT_EQ(n->size, m.size);
        EXPECT_EQ(ntfstest::FileTimeToIsoUtc(n->modificationTime), m.mtime);
        EXPECT_EQ(n->resident, m.resident);
        EXPECT_EQ((n->attributes & kAttrCompressed) != 0, m.compressed);
        if (m.resident) continue;
        const u64 volumeStart = c.start * c.sectorSize;
        const u64 limit = m.compressed ? ~u64(0) : m.size;
        EXPECT_EQ(RunRanges(*n, volumeStart, bytesPerCluster, limit), MergeRanges(m.runs));
    }
    EXPECT_GT(liveChecked, 10);
    EXPECT_GT(deletedChecked, 0);

    // Every live folder of the volume is handed over too, so that the tree can lead to its files.
    testutil::Json root;
    ASSERT_TRUE(testutil::ReadJsonFile(testutil::FixturePath(c.manifest), root));
    for (const testutil::Json& d : root["dirs"].items) {
        if (d.Has("partition") && int(d["partition"].number) != c.partition) continue;
        if (d["state"].text != "live") continue;
        bool found = false;
        for (const RecordedNode& n : b.nodes) {
            if (n.IsFolder() && !n.IsDeleted() && RecordedPath(b, n) == d["path"].text) found = true;
        }
        EXPECT_TRUE(found) << d["path"].text;
    }
}

// ---- the real builder ----
struct TreeEntry {
    std::string path;
    bool folder = false;
    bool deleted = false;
    bool taken = false;  // its clusters held by a file in use
};

std::vector<TreeEntry> ListTree(CFileNode* root) {
    std::vector<TreeEntry> out;
    std::function<void(CFileNode*, const std::string&, int)> visit = [&](CFileNode* node, const std::string& path,
                                                                       int depth) {
        for (CFileNode* child = node->GetFirstChild(); child != nullptr; child = child->GetNextSibling()) {
            const IFileProperties* p = child->GetFileProperties();
            TreeEntry e;
            e.path = path + "/" + (p && p->GetName() ? p->GetName() : "?");
            e.folder = p && (p->GetAttributes() & kAttrDirectory);
            e.deleted = p && (p->GetState() & kStateDeleted);
            e.taken = p && (p->GetState() & kStateClustersTaken);
            out.push_back(e);
            if (depth < 64) visit(child, e.path, depth + 1);
        }
    };
    visit(root, "", 0);
    return out;
}

TEST_P(QuickSearchFixture, QuickTreeHoldsEveryDeletedFileWhoseRecordSurvives) {
    const VolumeCase& c = GetParam();
    VolumeDevice device(testutil::FixturePath(c.image), c);
    ASSERT_TRUE(device.image.IsOpen());
    testutil::AcceptAllFilter filter(0x40);
    testutil::SilentTree view;
    IDirecotryTreeBuilder* builder = CreateDirectoryTreeBuilder();
    ASSERT_NE(builder, nullptr);
    ASSERT_EQ(builder->Init("scan", &view, &filter, kBuilderQuickMode, device.volume.get(), 0), 1u);
    CountingProgress progress;
    CNTFSQuickSearch search;
    search.SetDirectoryTreeBuilder(builder);
    EXPECT_EQ(search.Search(device.volume.get(), &progress), 0u);
    builder->FinishSearch();
    builder->FinishBuild();

    CQuickScanTree* tree = static_cast<CDirectoryTreeBuilder*>(builder)->GetQuickTree();
    ASSERT_NE(tree, nullptr);
    ASSERT_NE(tree->GetRoot(), nullptr);
    const std::vector<TreeEntry> entries = ListTree(tree->GetRoot());

    for (const TreeEntry& e : entries) {
        // Only deleted files and the folders that lead to them.
        if (!e.folder) {
            EXPECT_TRUE(e.deleted) << e.path;
        }
    }
    int checked = 0;
    for (const ntfstest::ManifestFile& m : ntfstest::LoadManifest(c.manifest, c.partition)) {
        if (m.live || !m.metadataPresent) continue;
        SCOPED_TRACE(m.path);
        const TreeEntry* found = nullptr;
        for (const TreeEntry& e : entries) {
            if (e.folder || !e.deleted) continue;
            if (e.path == m.path) found = &e;
            // An orphan hangs below "LostFiles" with what is left of its folders.
            const std::string lost = "/LostFiles";
            if (e.path.rfind(lost + "/", 0) == 0) {
                const std::string rest = e.path.substr(lost.size());
                if (m.path.size() >= rest.size() && m.path.compare(m.path.size() - rest.size(), rest.size(), rest) == 0) {
                    found = &e;
                }
            }
        }
        ASSERT_NE(found, nullptr);
        // It is counted incomplete exactly where a newer file took its clusters.
        EXPECT_EQ(found->taken, !m.intact);
        ++checked;
    }
    EXPECT_GT(checked, 0);
    builder->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, QuickSearchFixture,
    ::testing::Values(VolumeCase{"ntfs-basic.img", "ntfs-basic.json", 512, 1, 0, 0},
                      VolumeCase{"sector4k.img", "sector4k.json", 4096, 1, 0, 0},
                      VolumeCase{"mbr-disk.img", "mbr-disk.json", 512, 5, 77824, 24576},
                      VolumeCase{"gpt-disk.img", "gpt-disk.json", 512, 1, 2048, 40960}),
    [](const ::testing::TestParamInfo<VolumeCase>& info) { return testutil::FixtureTestName(info.param.image); });

}  // namespace
