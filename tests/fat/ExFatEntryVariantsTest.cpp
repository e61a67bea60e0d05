// Copies of the exFAT fixture changed the way other writers leave their volumes: entry sets with
// bits in their reserved fields (as an encrypting writer sets them), and a deleted file whose set
// names a FAT chain that the deletion freed. Every file is still listed and read back.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FatTestSupport.h"
#include "TestUtil.h"
#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "fs/fat/ExFatEntrySet.h"
#include "fs/fat/ExFatQuickSearch.h"
#include "fs/fat/ExFatVolume.h"
#include "platform/Log.h"

using namespace fattest;

namespace {
constexpr u32 kFileEntryReservedOffset = 6;
constexpr u16 kEncryptedFileBits = 0x8000;
constexpr u16 kEncryptedStreamBits = 0x0001;
constexpr u8 kNoFatChainFlag = 0x02;

// The set checksum a writer stores: over every byte but the checksum itself, with the entry
// types of a set in use (a deleted set keeps the checksum it had then).
u16 InUseSetChecksum(const u8* set, u32 length) {
    u16 sum = 0;
    for (u32 i = 0; i < length; ++i) {
        if (i == 2 || i == 3) continue;
        u8 byte = set[i];
        if (i % kExFatEntrySize == 0) byte |= kExFatTypeInUse;
        sum = u16(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + byte);
    }
    return sum;
}

struct Image {
    std::vector<u8> bytes = testutil::ReadFileBytes(testutil::FixturePath("exfat-basic.img"));
    u64 heap = u64(ReadLE32(bytes.data() + 88)) * 512;

    // The file entries of every entry set in the heap whose checksum holds: the sets the
    // volume's writer made, live and deleted.
    std::vector<u8*> Sets() {
        std::vector<u8*> sets;
        for (u64 at = heap; at + 3 * kExFatEntrySize <= bytes.size(); at += kExFatEntrySize) {
            u8* e = bytes.data() + at;
            const u8 type = e[0] | kExFatTypeInUse;
            const u8 next = e[kExFatEntrySize] | kExFatTypeInUse;
            if (type != kExFatFileEntry || next != kExFatStreamEntry) continue;
            const u32 length = (u32(e[1]) + 1) * kExFatEntrySize;
            if (at + length > bytes.size() || !ExFatSetChecksumMatches(e, length, ReadLE16(e + 2))) continue;
            sets.push_back(e);
        }
        return sets;
    }
    static void Reseal(u8* set) {
        const u32 length = (u32(set[1]) + 1) * kExFatEntrySize;
        WriteLE16(set + 2, InUseSetChecksum(set, length));
    }
};

struct ScanResult {
    std::unique_ptr<MemoryDevice> device;
    RecordingBuilder builder;
    CountingProgress progress;
    u32 status = ~0u;
};

void Scan(const Image& image, ScanResult& out) {
    out.device = std::make_unique<MemoryDevice>(image.bytes, 512);
    CExFatQuickSearch search;
    search.SetDirectoryTreeBuilder(&out.builder);
    out.status = search.Search(out.device.get(), &out.progress);
}

const CFileNode* FindFile(const RecordingBuilder& builder, const std::string& name, u64 size) {
    for (const CFileNode* n : builder.nodes) {
        const IFileProperties* p = n->GetFileProperties();
        if (NameOf(n) == name && p->GetSize() == size && (p->GetAttributes() & kAttrDirectory) == 0) return n;
    }
    return nullptr;
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

class ExFatEntryVariants : public ::testing::Test {
protected:
    void SetUp() override {
        SetLoggingEnabled(false);
        ASSERT_GT(image.bytes.size(), 512u);
    }
    void TearDown() override { SetLoggingEnabled(true); }
    Image image;
};

// Every set, live and deleted, carries the reserved bits of an encrypted file (with its checksum
// made over them): the walk goes on past each, every live file and every reachable deleted one
// is listed, and what is intact reads back with the manifest's sha256.
TEST_F(ExFatEntryVariants, ReservedBitsOfEncryptedFilesDoNotEndTheWalk) {
    const std::vector<u8*> sets = image.Sets();
    int deletedSets = 0;
    for (u8* set : sets) {
        WriteLE16(set + kFileEntryReservedOffset, kEncryptedFileBits);
        WriteLE16(set + kExFatEntrySize + kFileEntryReservedOffset, kEncryptedStreamBits);
        Image::Reseal(set);
        deletedSets += (set[0] & kExFatTypeInUse) == 0;
    }
    ASSERT_GT(sets.size(), 40u);
    ASSERT_GT(deletedSets, 5);

    ScanResult scan;
    Scan(image, scan);
    ASSERT_EQ(scan.status, 0u);
    ASSERT_NE(scan.builder.root, nullptr);

    int checked = 0;
    for (const testutil::ManifestFile& f : testutil::LoadManifest("exfat-basic.json", 1)) {
        if (!f.live) continue;
        SCOPED_TRACE(f.path);
        const CFileNode* node = FindFile(scan.builder, BaseName(f.path), f.size);
        ASSERT_NE(node, nullptr);
        std::vector<u8> data;
        ASSERT_TRUE(ReadThroughRuns(*scan.device, *scan.builder.root, *node, data));
        EXPECT_EQ(testutil::Sha256Hex(data.data(), data.size()), f.sha256);
        ++checked;
    }
    for (const ExpectedFile& e : LoadDeletedFiles("exfat-basic", 1)) {
        if (!e.reachable) continue;
        SCOPED_TRACE(e.path);
        const CFileNode* node = FindFile(scan.builder, e.nameOnDisk, e.size);
        ASSERT_NE(node, nullptr);
        ASSERT_NO_FATAL_FAILURE(ExpectDeletedAsManifest(*scan.device, scan.builder, *node, e));
        ++checked;
    }
    EXPECT_GT(checked, 35);

    // The analyser's label walk reads the root past the same sets.
    std::unique_ptr<CExFatVolumeAnalyer> analyser(CreateExFatVolumeAnalyer(scan.device.get(), 0));
    ASSERT_NE(analyser, nullptr);
    char label[64] = {};
    analyser->GetVolumeLabel(label, sizeof label);
    EXPECT_STREQ(label, "FIX EXFAT");
}

// A deleted contiguous file whose set names a FAT chain: the chain was freed with the file, so
// it ends after the first cluster, and the file goes on contiguously from there.
TEST_F(ExFatEntryVariants, ADeletedFileWhoseFreedChainEndsEarlyGoesOnContiguously) {
    const std::vector<ExpectedFile> deleted = LoadDeletedFiles("exfat-basic", 1);
    int changed = 0;
    for (u8* set : image.Sets()) {
        if ((set[0] & kExFatTypeInUse) != 0) continue;
        u8* stream = set + kExFatEntrySize;
        if ((stream[1] & kNoFatChainFlag) == 0) continue;
        stream[1] &= u8(~kNoFatChainFlag);
        Image::Reseal(set);
        ++changed;
    }
    ASSERT_GT(changed, 3);

    ScanResult scan;
    Scan(image, scan);
    ASSERT_EQ(scan.status, 0u);
    int intact = 0;
    for (const ExpectedFile& e : deleted) {
        if (!e.reachable) continue;
        SCOPED_TRACE(e.path);
        const CFileNode* node = FindFile(scan.builder, e.nameOnDisk, e.size);
        ASSERT_NE(node, nullptr);
        ASSERT_NO_FATAL_FAILURE(ExpectDeletedAsManifest(*scan.device, scan.builder, *node, e));
        intact += e.intact;
    }
    EXPECT_EQ(intact, 3);
}
}  // namespace
