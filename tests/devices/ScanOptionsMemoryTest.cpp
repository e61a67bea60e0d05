// The process-wide scan options and the program's allocation functions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DiskDeviceTestSupport.h"
#include "TestUtil.h"
#include "devices/Memory.h"
#include "devices/ScanOptions.h"
#include "platform/ProgramDir.h"

namespace {

// Keeps allocations observable, so the compiler cannot drop a new/delete pair.
char* volatile g_sink = nullptr;

TEST(ScanOptionsTest, DefaultsAndOneSharedObject) {
    ScanOptions fresh;
    EXPECT_EQ(fresh.GetBootSectorAnalysis(), 1u);
    EXPECT_EQ(fresh.GetSkipBadSectors(), 1u);
    EXPECT_EQ(fresh.GetStringModule(), nullptr);
    EXPECT_EQ(fresh.GetFatDateCheck(), 1u);
    EXPECT_EQ(fresh.GetFatTimeCheck(), 1u);
    EXPECT_EQ(fresh.GetFatFlag80(), 1u);
    EXPECT_EQ(fresh.GetFatFlag200(), 1u);
    EXPECT_EQ(fresh.GetNtfsCollectionSwitch(), 1u);
    EXPECT_EQ(fresh.GetNtfsCandidateValues(), 1u);
    EXPECT_EQ(fresh.GetScanRaw(), 1u);
    EXPECT_EQ(fresh.GetStopRequested(), 0u);
    EXPECT_EQ(fresh.GetSizeUnit(), 200000000u);
    EXPECT_EQ(fresh.GetEnabledFileTypes().size(), 115u);
    EXPECT_TRUE(fresh.IsFileTypeEnabled(1));
    EXPECT_TRUE(fresh.IsFileTypeEnabled(115));
    EXPECT_FALSE(fresh.IsFileTypeEnabled(0));
    EXPECT_FALSE(fresh.IsFileTypeEnabled(116));

    ScanOptions& a = GetScanOptions();
    ScanOptions& b = GetScanOptions();
    EXPECT_EQ(&a, &b);
    a.SetStopRequested(1);
    EXPECT_TRUE(b.IsStopRequested());
    a.SetStopRequested(0);
    a.SetScanRaw(0);
    EXPECT_EQ(b.GetScanRaw(), 0u);
    a.SetScanRaw(1);
    a.SetNtfsCandidateValues(0x100000002ull);
    EXPECT_EQ(b.GetNtfsCandidateValues(), 0x100000002ull);
    a.SetNtfsCandidateValues(1);
}

TEST(ScanOptionsTest, FoundPartitionNames) {
    ScanOptions o;
    EXPECT_EQ(o.GetFoundPartitionName("NTFS", 3), "NTFS 3");
    o.SetFoundPartitionNaming("Data", 'E');
    EXPECT_EQ(o.GetFoundPartitionName("NTFS", 1), "E:(Data - NTFS 1)");
    o.SetFoundPartitionNaming("Data", 0);  // a letter of 0 is none
    EXPECT_EQ(o.GetFoundPartitionName("FAT32", 2), "Data(FAT32 2)");
    o.SetFoundPartitionNaming("", 'F');
    EXPECT_EQ(o.GetFoundPartitionName("exFAT", 4), "F:(exFAT 4)");
    o.SetFoundPartitionNaming(std::string(400, 'L'), 'G');
    EXPECT_EQ(o.GetFoundPartitionName("NTFS", 1).size(), 254u);
}

class AllocationTest : public ::testing::Test {
protected:
    void TearDown() override { SetAllocationFailureThreshold(0); }
};

TEST_F(AllocationTest, ZeroBytesGiveAValidBlock) {
    void* p = AllocOrRaise(0);
    EXPECT_NE(p, nullptr);
    FreeMemory(p);
    FreeMemory(nullptr);
}

TEST_F(AllocationTest, FailedAllocationLogsAndThrowsTheProgramCode) {
    const disktest::LogMark log;
    SetAllocationFailureThreshold(0x10000000);
    try {
        AllocOrRaise(0x10000000);
        FAIL() << "no exception";
    } catch (const OutOfMemoryException& e) {
        EXPECT_EQ(e.Code(), 0xE0000001u);
    }
    const std::string added = log.Since();
    const size_t first = added.find("Failed to alloc 0x10000000 bytes");
    ASSERT_NE(first, std::string::npos);
    EXPECT_LT(first, added.find("Memory status:"));
    EXPECT_NE(added.find("Total physical memory:"), std::string::npos);
    EXPECT_NE(added.find("Total   page    files:"), std::string::npos);

    // Below the threshold allocation goes on as usual.
    void* small = AllocOrRaise(64);
    EXPECT_NE(small, nullptr);
    FreeMemory(small);
}

TEST_F(AllocationTest, GlobalAllocationRaisesAStandardBadAlloc) {
    SetAllocationFailureThreshold(0x10000000);
    // The program's operator new is AllocOrRaise: its exception is a bad_alloc to the library.
    EXPECT_THROW(
        {
            std::vector<char> v;
            v.reserve(0x10000000);
            g_sink = v.data();
        },
        std::bad_alloc);
    bool caught = false;
    try {
        g_sink = new char[0x10000000];
        delete[] g_sink;
    } catch (const OutOfMemoryException& e) {
        caught = e.Code() == kOutOfMemoryExceptionCode;
    }
    EXPECT_TRUE(caught);
    g_sink = new (std::nothrow) char[0x10000000];
    EXPECT_EQ(g_sink, nullptr);
}

}  // namespace
