// $MFT location, folder evidence and extension-record placement.
#include <gtest/gtest.h>

#include "NtfsTestSupport.h"
#include "TestUtil.h"
#include "engine/RSData.h"

using namespace ntfstest;

namespace {
TEST(NtfsMftLocation, FromTheMftRecordOfAFixtureAndBack) {
    ImageDevice device(testutil::FixturePath("ntfs-basic.img"), 512);
    std::vector<u8> buffer(1024);
    ASSERT_TRUE(device.Read(buffer.data(), 32, 2));  // $MFT at cluster 4
    CNTFSFileRecord record;
    ASSERT_TRUE(record.Init(buffer.data(), 1024, 32, &device, nullptr));
    EXPECT_TRUE(IsMFTRecord(record.GetRecord(), record.GetRecordLength()));
    SetScanSectorSize(512);
    std::unique_ptr<NTFSMFTLocation> location(NTFSMFTLocation::CreateFromRecord(record, 32));
    ASSERT_NE(location, nullptr);
    EXPECT_EQ(location->GetSectorsPerCluster(), 8);
    EXPECT_EQ(location->GetLCNOfFirstCluster(), 4u);
    EXPECT_EQ(location->GetMFTStartSector(), 32u);

    testutil::TempDir dir;
    const std::string path = dir.File("m.rsf");
    const MGUID section{9, 9, 9, {1, 2, 3, 4, 5, 6, 7, 8}};
    {
        CRSDataEx out(1);
        ASSERT_TRUE(out.Open(path.c_str(), 1));
        ASSERT_TRUE(out.WriteHeader(MakeScanResultHeader(1)));
        out.BeginSection(section);
        location->Save(&out);
        out.EndSection();
        out.Close();
    }
    CRSDataEx in(0);
    ASSERT_TRUE(in.Open(path.c_str(), 0));
    in.BeginSection(section);
    NTFSMFTLocation loaded;
    loaded.Load(&in);
    EXPECT_TRUE(RunListsEqual(loaded.GetRuns(), location->GetRuns()));
    EXPECT_EQ(loaded.GetSectorsPerRecord(), 2);
    EXPECT_EQ(loaded.GetSectorsPerCluster(), 8);
    EXPECT_THROW(in.ReadU8(), IRSException);
}

TEST(NtfsIndexedFolder, FolderRecordsOfAFixtureNameThemselves) {
    ImageDevice device(testutil::FixturePath("ntfs-basic.img"), 512);
    std::unique_ptr<VolumeListing> v = ListVolume(device, 0);
    ASSERT_TRUE(v->opened);
    int folders = 0;
    for (const auto& [n, f] : v->files) {
        std::vector<u8> raw(1024);
        ASSERT_TRUE(device.Read(raw.data(), f.sector, 2));
        ASSERT_TRUE(ApplyFileRecordFixups(raw.data(), 1024));
        if (!IsFolderWithIndexAllocation(raw.data(), 1024)) continue;
        CIndexedFolderRecord folder;
        const bool ok = folder.FromRecord(raw.data(), 1024, f.sector);
        if (n == 5) {
            EXPECT_FALSE(ok);  // the root is no evidence
            continue;
        }
        SCOPED_TRACE(f.path);
        ASSERT_TRUE(ok);
        EXPECT_EQ(folder.GetFolderNumber(), n);
        EXPECT_EQ(folder.GetSectorsPerCluster(), 8u);
        EXPECT_NE(folder.GetFirstLCN(), kSparseLCN);
        ++folders;
    }
    EXPECT_GT(folders, 0);
}

TEST(NtfsExtensionRecords, AttributeListEntriesArePlacedAndTheBaseIsDropped) {
    std::vector<u8> list;
    auto entry = [&list](u32 type, u64 number) {
        std::vector<u8> e(32, 0);
        WriteLE32(e.data(), type);
        WriteLE16(e.data() + 4, 32);
        WriteLE32(e.data() + 16, u32(number));
        WriteLE16(e.data() + 20, u16(number >> 32));
        list.insert(list.end(), e.begin(), e.end());
    };
    entry(0x10, 0);
    entry(0x30, 0);
    entry(0x80, 7);
    entry(0x80, 7);
    entry(0x80, 900);  // beyond the $MFT runs: cannot be placed
    RecordBuilder b;
    b.Resident(0x20, list);
    b.FileName(5, u"big.bin");
    const std::vector<u8> raw = b.Build();
    const NTFSRunList mft = {{4, 0, 64}};
    std::unique_ptr<NTFSExtensionRecordList> found(
        CNTFSFileRecord::LocateExtensionRecords(raw.data(), 1024, 32, 8, 0, nullptr, mft, 2));
    ASSERT_NE(found, nullptr);
    ASSERT_EQ(found->size(), 1u);
    EXPECT_EQ((*found)[0].recordNumber, 7u);
    EXPECT_EQ((*found)[0].sector, 32u + 14u);

    // A list that names only the base record gives none.
    list.clear();
    entry(0x10, 0);
    RecordBuilder only;
    only.Resident(0x20, list);
    const std::vector<u8> raw2 = only.Build();
    EXPECT_EQ(CNTFSFileRecord::LocateExtensionRecords(raw2.data(), 1024, 32, 8, 0, nullptr, mft, 2), nullptr);
}
}  // namespace
