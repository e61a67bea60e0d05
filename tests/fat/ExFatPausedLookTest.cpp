// A preview of a paused scan asks the exFAT deep search for its candidates from another thread,
// and the pause may be noticed while the scan thread is still ending the search. Until the search
// has ended the look gets candidates made from the sightings, which nothing changes or frees
// later; once it has ended, the search's own.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "ImageDevice.h"
#include "TestUtil.h"
#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "fs/fat/ExFatDeepSearch.h"
#include "fs/fat/ExFatFileProperties.h"

namespace {

// Runs `onRead` at the first read after it was set, on the reading thread.
class LookingDevice : public testutil::MemoryDevice {
public:
    using testutil::MemoryDevice::MemoryDevice;
    u32 Read(void* buffer, u64 first, u64 count) override {
        std::function<void()> look = std::exchange(onRead, nullptr);
        if (look) look();
        return MemoryDevice::Read(buffer, first, count);
    }
    std::function<void()> onRead;
};

struct Seen {
    CSearchedPartitionInfo* candidate;
    u64 start;
    u64 heap;
};

std::vector<Seen> Look(CExFatCompleteSearch& search) {
    std::vector<CSearchedPartitionInfo*> found;
    search.GetSearchedPartitions(found);
    std::vector<Seen> seen;
    for (CSearchedPartitionInfo* c : found) seen.push_back({c, c->GetPartitionStart(), c->GetClusterAreaStart()});
    return seen;
}

TEST(ExFatPausedLook, LooksWhileTheSearchEndsGetCandidatesThatStayAsHandedOut) {
    constexpr u64 kBlockSectors = 2048;
    LookingDevice device(testutil::ReadFileBytes(testutil::FixturePath("exfat-basic.img")), 512);
    ASSERT_GT(device.GetTotalSectors(), 1u);
    CExFatCompleteSearch search;
    search.SetDevice(&device);
    search.SetBlockSectorCount(u32(kBlockSectors));
    search.BeginSearch();

    // The window's thread looks again and again while the scan runs and ends.
    std::atomic<bool> scanning{true};
    std::atomic<u64> looks{0};
    std::thread preview([&] {
        while (scanning.load()) {
            for (const Seen& s : Look(search)) EXPECT_LT(s.start, device.GetTotalSectors());
            looks.fetch_add(1);
        }
    });
    for (u64 first = 0; first < device.GetTotalSectors(); first += kBlockSectors) {
        search.SearchBlock(first, std::min(kBlockSectors, device.GetTotalSectors() - first));
        for (const u64 before = looks.load(); looks.load() == before;) std::this_thread::yield();
    }
    // A look that comes while the scan thread is inside the end of the search.
    std::vector<Seen> during;
    device.onRead = [&] { std::thread([&] { during = Look(search); }).join(); };
    search.EndSearch();
    scanning.store(false);
    preview.join();

    // The boot sector at sector 0 and its FAT were seen: the look got the volume they make.
    ASSERT_EQ(during.size(), 1u);
    EXPECT_EQ(during[0].start, 0u);
    const std::vector<Seen> ended = Look(search);
    ASSERT_EQ(ended.size(), search.GetCandidates().size());
    ASSERT_FALSE(ended.empty());
    for (size_t i = 0; i < ended.size(); ++i) {
        EXPECT_EQ(ended[i].candidate, search.GetCandidates()[i].get());
        // What the look during the end was handed is not one of the search's own, and is as it was.
        EXPECT_NE(during[0].candidate, ended[i].candidate);
    }
    EXPECT_EQ(during[0].candidate->GetPartitionStart(), during[0].start);
    EXPECT_EQ(during[0].candidate->GetClusterAreaStart(), during[0].heap);
}

// Before the trees are built no FAT is known: a live file found while the scan runs whose FAT
// chain orders its clusters gets its first cluster alone, one written as a run the whole run.
TEST(ExFatPausedLook, AChainedFileFoundWhileTheScanRunsGetsItsFirstClusterAlone) {
    for (const auto& [chainFlag, clusters] : {std::pair<u8, u64>{0, 1}, std::pair<u8, u64>{1, 3}}) {
        CExFatCompleteSearch search;
        search.BeginSearch();
        CSearchedPartitionInfo candidate(512);
        candidate.SetSectorsPerCluster(8);
        TreeNodePtr node = CreateFileNode();
        PropertiesRef<CExFatFileProperties> p(NewExFatFileProperties());
        p->SetFirstCluster(10);
        p->SetSize(3 * 4096 - 100);
        p->SetChainFlag(chainFlag);
        node->SetFileProperties(p.release());
        EXPECT_EQ(search.ApplyToFileNode(node.get(), &candidate), 1u);
        std::unique_ptr<IDataRunList> runs(node->GetFileProperties()->CreateDataRunList());
        ASSERT_TRUE(runs && runs->GetExtentCount() == 1);
        EXPECT_EQ(runs->GetExtent(0), (DataRunExtent{8, clusters})) << int(chainFlag);
    }
}

}  // namespace
