// Boot-sector checks, FAT tables and directory entries, on sectors built byte by byte.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FatTestSupport.h"
#include "devices/ScanOptions.h"
#include "fs/fat/FatDBR.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatFileProperties.h"
#include "fs/fat/FatTable.h"

using namespace fattest;

namespace {
std::vector<u8> Fat16Boot(u32 bytesPerSector = 512, u16 rootEntries = 512, u8 fats = 2) {
    std::vector<u8> s(512, 0);
    s[0] = 0xEB;
    WriteLE16(&s[11], u16(bytesPerSector));
    s[13] = 4;
    WriteLE16(&s[14], 4);
    s[16] = fats;
    WriteLE16(&s[17], rootEntries);
    WriteLE16(&s[19], 0);
    WriteLE16(&s[22], 32);
    WriteLE32(&s[32], 65536);
    std::memcpy(&s[54], "FAT16   ", 8);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

std::vector<u8> Fat32Boot() {
    std::vector<u8> s(512, 0);
    s[0] = 0xEB;
    WriteLE16(&s[11], 512);
    s[13] = 1;
    WriteLE16(&s[14], 32);
    s[16] = 2;
    WriteLE32(&s[32], 81920);
    WriteLE32(&s[36], 640);
    WriteLE32(&s[44], 2);
    std::memcpy(&s[82], "fat32   ", 8);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

TEST(FatBootSector, ClassifiesFat16AndFat32AndRefusesTheRest) {
    std::vector<u8> fat16 = Fat16Boot();
    CFATDBR dbr16(fat16.data(), 512);
    EXPECT_EQ(dbr16.GetFATType(), 1u);
    EXPECT_EQ(dbr16.GetTotalSectors(), 65536u);  // the 16-bit total is 0: the 32-bit one counts
    EXPECT_EQ(dbr16.GetRootCluster(), 0u);

    std::vector<u8> fat32 = Fat32Boot();  // type text in lower case
    CFATDBR dbr32(fat32.data(), 512);
    EXPECT_EQ(dbr32.GetFATType(), 2u);
    EXPECT_EQ(dbr32.GetFATSize(), 640u);
    EXPECT_EQ(dbr32.GetRootCluster(), 2u);

    std::vector<u8> fat12 = Fat16Boot();
    std::memcpy(&fat12[54], "FAT12   ", 8);
    CFATDBR dbr12(fat12.data(), 512);
    EXPECT_FALSE(dbr12.IsValid());
    EXPECT_EQ(dbr12.GetFATSize(), 0u);
    EXPECT_EQ(dbr12.GetTotalSectors(), 0u);
    EXPECT_EQ(dbr12.GetSectorsPerCluster(), 0u);

    // 512 root entries fill whole 4096-byte sectors; 200 are too few.
    std::vector<u8> big = Fat16Boot(4096, 512);
    EXPECT_EQ(CFATDBR(big.data(), 4096).GetFATType(), 1u);
    std::vector<u8> few = Fat16Boot(4096, 200);
    EXPECT_EQ(CFATDBR(few.data(), 4096).GetFATType(), 9u);
    // The BPB must agree with the device.
    EXPECT_EQ(CFATDBR(fat32.data(), 4096).GetFATType(), 9u);
    std::vector<u8> oneFat = Fat16Boot(512, 512, 1);
    EXPECT_EQ(CFATDBR(oneFat.data(), 512).GetFATType(), 9u);
    fat32[13] = 3;
    EXPECT_EQ(CFATDBR(fat32.data(), 512).GetFATType(), 9u);
}

TEST(FatBootSector, VolumeLabelSkipsEntriesThatAreNotPureLabels) {
    // FAT16 image: boot, 32-sector FATs, a root of 512 entries.
    std::vector<u8> image(4 * 512 + 2 * 32 * 512 + 32 * 512 + 64 * 512, 0);
    std::vector<u8> boot = Fat16Boot();
    std::memcpy(image.data(), boot.data(), 512);
    u8* root = image.data() + (4 + 64) * 512;
    std::memcpy(root, "NOT LABEL  ", 11);
    root[11] = 0x28;  // a label bit among others
    std::memcpy(root + 32, "\xE5" "LDLABEL   ", 11);
    root[32 + 11] = 0x08;
    std::memcpy(root + 64, "MY DISK    ", 11);
    root[64 + 11] = 0x08;
    MemoryDevice device(image, 512);
    CFATDBR dbr(image.data(), 512);
    CFATVolumeReader reader(&device);
    char label[12] = {};
    ASSERT_TRUE(reader.GetVolumeLabel(0, dbr, label));
    EXPECT_STREQ(label, "MY DISK");
    EXPECT_EQ(reader.ClusterToSector(0, dbr, 2), 4u + 64 + 32);

    // An end entry before any label ends the search; the buffer is left alone.
    std::memset(device.data.data() + (4 + 64) * 512, 0, 96);
    char untouched[12] = "keep";
    EXPECT_FALSE(reader.GetVolumeLabel(0, dbr, untouched));
    EXPECT_STREQ(untouched, "keep");
}

// ---- FAT tables ----
std::vector<u8> FatImage(u32 fatSectors, bool fat32) {
    std::vector<u8> image(u64(fatSectors) * 512, 0);
    if (fat32) {
        WriteLE32(&image[0], 0x0FFFFFF8);
        WriteLE32(&image[4], 0x0FFFFFFF);
    } else {
        WriteLE32(&image[0], 0xFFFFFFF8);
    }
    return image;
}

TEST(FatTable, LoadsOnlyInsideItsSizeWindow) {
    MemoryDevice small(FatImage(11, false), 512);
    EXPECT_EQ(CreateFATTable(&small, 1, 0, 11), nullptr);
    MemoryDevice twelve(FatImage(12, false), 512);
    std::unique_ptr<IRealFATTable> t16(CreateFATTable(&twelve, 1, 0, 12));
    ASSERT_NE(t16, nullptr);
    EXPECT_EQ(t16->GetEntryCount(), 12u * 256);

    MemoryDevice fat32(FatImage(128001, true), 512);
    EXPECT_EQ(CreateFATTable(&fat32, 2, 0, 255), nullptr);
    EXPECT_EQ(CreateFATTable(&fat32, 2, 0, 128001), nullptr);
    std::unique_ptr<IRealFATTable> big(CreateFATTable(&fat32, 2, 0, 128000));
    EXPECT_NE(big, nullptr);
    EXPECT_EQ(CreateFATTable(&fat32, 0, 0, 300), nullptr);  // FAT12 has no table
}

TEST(FatTable, MarksAreNormalisedAndImplausibleTablesRefused) {
    std::vector<u8> bytes = FatImage(12, false);
    WriteLE16(&bytes[2 * 10], 11);
    WriteLE16(&bytes[2 * 11], 0xFFFF);
    WriteLE16(&bytes[2 * 12], 0xFFF7);
    MemoryDevice device(bytes, 512);
    std::unique_ptr<IRealFATTable> table(CreateFATTable(&device, 1, 0, 12));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->GetEntry(10), 11u);
    EXPECT_EQ(table->GetEntry(11), kFatEndOfChain);
    EXPECT_EQ(table->GetEntry(12), kFatBadCluster);
    EXPECT_EQ(table->GetEntry(1u << 20), 0u);

    auto refused = [](std::vector<u8> b) {
        MemoryDevice d(std::move(b), 512);
        std::unique_ptr<IRealFATTable> t(CreateFATTable(&d, 1, 0, 12));
        return t == nullptr;
    };
    std::vector<u8> self = FatImage(12, false);
    WriteLE16(&self[2 * 5], 5);
    EXPECT_TRUE(refused(self));
    std::vector<u8> joined = FatImage(12, false);
    WriteLE16(&joined[2 * 3], 6);
    WriteLE16(&joined[2 * 4], 6);
    WriteLE16(&joined[2 * 6], 0xFFFF);
    EXPECT_TRUE(refused(joined));
    std::vector<u8> loop = FatImage(12, false);
    WriteLE16(&loop[2 * 7], 8);
    WriteLE16(&loop[2 * 8], 9);
    WriteLE16(&loop[2 * 9], 7);
    EXPECT_TRUE(refused(loop));
    std::vector<u8> outside = FatImage(12, false);
    WriteLE16(&outside[2 * 7], 0xFFF0);
    EXPECT_TRUE(refused(outside));

    // Chains that run backwards through the table, as a fragmented file's do: entries as
    // {cluster, next}.
    struct ChainRow {
        const char* what;
        std::vector<std::pair<u16, u16>> entries;
        bool accepted;
    };
    const ChainRow chains[] = {
        {"descending to its end", {{9, 8}, {8, 7}, {7, 6}, {6, 0xFFFF}}, true},
        {"two descending chains side by side", {{9, 8}, {8, 0xFFFF}, {7, 6}, {6, 0xFFFF}}, true},
        {"jumping back and forth", {{3, 9}, {9, 4}, {4, 8}, {8, 5}, {5, 0xFFFF}}, true},
        {"a descending chain joined from a lower cluster", {{9, 8}, {8, 7}, {7, 0xFFFF}, {3, 8}}, false},
        {"a descending chain joined from a higher cluster", {{9, 8}, {8, 7}, {7, 0xFFFF}, {20, 7}}, false},
        {"a descending loop", {{9, 8}, {8, 7}, {7, 9}}, false},
        {"a chain running into a loop", {{3, 9}, {9, 8}, {8, 7}, {7, 9}}, false},
        {"two clusters naming each other", {{40, 41}, {41, 40}}, false},
    };
    for (const ChainRow& row : chains) {
        std::vector<u8> b = FatImage(12, false);
        for (const auto& [cluster, next] : row.entries) WriteLE16(&b[2 * cluster], next);
        EXPECT_EQ(!refused(b), row.accepted) << row.what;
    }

    // FAT32 entries with their top bits set are neither refused nor followed.
    std::vector<u8> top = FatImage(300, true);
    WriteLE32(&top[4 * 5], 0xF0000006);
    MemoryDevice d32(top, 512);
    std::unique_ptr<IRealFATTable> t32(CreateFATTable(&d32, 2, 0, 300));
    ASSERT_NE(t32, nullptr);
    EXPECT_EQ(t32->GetEntry(5), 0xF0000006u);
    EXPECT_FALSE(IsFatNextCluster(t32->GetEntry(5)));
}

TEST(FatTable, DoubleTableLoadsTheSecondCopyOnlyWhenTheFirstFails) {
    std::vector<u8> two = FatImage(24, false);
    MemoryDevice device(two, 512);
    std::unique_ptr<CDoubleFATTable> both(CreateDoubleFATTable(&device, 0, 1, 12, true, true));
    EXPECT_NE(both->GetCopy1(), nullptr);
    EXPECT_EQ(both->GetCopy2(), nullptr);
    EXPECT_EQ(device.reads, 1u);

    std::memset(two.data(), 0, 512);  // copy 1 loses its marks
    WriteLE32(&two[12 * 512], 0xFFFFFFF8);
    MemoryDevice second(two, 512);
    std::unique_ptr<CDoubleFATTable> fallback(CreateDoubleFATTable(&second, 0, 1, 12, true, true));
    EXPECT_EQ(fallback->GetCopy1(), nullptr);
    EXPECT_NE(fallback->GetCopy2(), nullptr);
    std::unique_ptr<CDoubleFATTable> none(CreateDoubleFATTable(&second, 0, 1, 12, true, false));
    EXPECT_EQ(none->GetEntry(5), 0u);

    u32 code = 7;
    u8 marks16[8] = {0xF8, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_TRUE(IsFATStartSector(marks16, 512, code));
    EXPECT_EQ(code, 1u);
    u8 both16[8] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_TRUE(IsFATStartSector(both16, 512, code));
    EXPECT_EQ(code, 2u);  // FAT32 marks are tested first
    u8 none8[8] = {};
    code = 7;
    EXPECT_FALSE(IsFATStartSector(none8, 512, code));
    EXPECT_EQ(code, 7u);
}

// ---- directory entries ----
std::vector<u8> Entry(const char* name11, u8 attributes, u32 cluster = 0, u32 size = 0) {
    std::vector<u8> e(32, 0);
    std::memcpy(e.data(), name11, 11);
    e[11] = attributes;
    WriteLE16(&e[20], u16(cluster >> 16));
    WriteLE16(&e[26], u16(cluster));
    WriteLE32(&e[28], size);
    WriteLE16(&e[24], (40 << 9) | (3 << 5) | 10);  // 2020-03-10
    WriteLE16(&e[22], (10 << 11) | (19 << 5) | 14);
    return e;
}

std::vector<u8> LongPiece(const std::u16string& chars, u8 ordinal, u8 checksum) {
    std::vector<u8> e(32, 0xFF);
    e[0] = ordinal;
    e[11] = 0x0F;
    e[12] = 0;
    e[13] = checksum;
    WriteLE16(&e[26], 0);
    static const u32 kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (size_t i = 0; i < 13; ++i) {
        const u16 c = i < chars.size() ? chars[i] : (i == chars.size() ? 0 : 0xFFFF);
        WriteLE16(&e[kOffsets[i]], c);
    }
    return e;
}

std::string NameOfRun(const std::vector<std::vector<u8>>& entries) {
    std::vector<u8> run;
    for (const auto& e : entries) run.insert(run.end(), e.begin(), e.end());
    CFATFileProperties* p = CreateFATFilePropertiesFromEntries(run.data(), u32(run.size())).release();
    if (p == nullptr) return "(null)";
    std::string name = p->GetName();
    p->Release();
    return name;
}

TEST(FatDirEntry, PlausibilityRules) {
    std::vector<u8> zeroSize = Entry("FILE    TXT", 0x20, 5, 0);
    EXPECT_FALSE(CFATDirEntry(zeroSize.data()).IsValid(true));
    EXPECT_TRUE(CFATDirEntry(zeroSize.data()).IsValid(false));
    std::vector<u8> dirHigh = Entry("DIR        ", 0x10, 0x10005, 4096);
    EXPECT_FALSE(CFATDirEntry(dirHigh.data()).IsValid(true));
    std::vector<u8> dirLow = Entry("DIR        ", 0x10, 5, 4096);
    EXPECT_TRUE(CFATDirEntry(dirLow.data()).IsValid(true));
    std::vector<u8> month13 = Entry("FILE    TXT", 0x20, 5, 10);
    WriteLE16(&month13[16], (40 << 9) | (13 << 5) | 1);
    EXPECT_FALSE(CFATDirEntry(month13.data()).IsValid(false));
    GetScanOptions().SetFatDateCheck(0);
    EXPECT_TRUE(CFATDirEntry(month13.data()).IsValid(false));
    GetScanOptions().SetFatDateCheck(1);
    WriteLE16(&month13[16], 0);
    EXPECT_TRUE(CFATDirEntry(month13.data()).IsValid(false));
    std::vector<u8> star = Entry("FI*E    TXT", 0x20, 5, 10);
    EXPECT_FALSE(CFATDirEntry(star.data()).IsValid(false));
    std::vector<u8> end(32, 0);
    EXPECT_FALSE(CFATDirEntry(end.data()).IsValid(false));
    EXPECT_TRUE(IsEndOfDirectoryEntry(end.data()));
    std::vector<u8> bit40 = Entry("FILE    TXT", 0x60, 5, 10);
    EXPECT_FALSE(CFATDirEntry(bit40.data()).IsValid(false));
}

TEST(FatDirEntry, ShortAndLongNames) {
    std::vector<u8> deleted = Entry("\xE5OO     TXT", 0x20, 5, 10);
    char out[64];
    CFATDirEntry(deleted.data()).GetShortName(out, false);
    EXPECT_STREQ(out, "#OO.TXT");
    std::vector<u8> label = Entry("MY      DSK", 0x08);
    CFATDirEntry(label.data()).GetShortName(out, true);
    EXPECT_STREQ(out, "MYDSK");
    std::vector<u8> oem = Entry("\x90T\x90     TXT", 0x20, 5, 10);
    EXPECT_EQ(FatShortNameText(oem.data(), false), "\xC3\x89T\xC3\x89.TXT");  // ÉTÉ.TXT

    // A live entry with three pieces stored last first.
    std::vector<u8> shortEntry = Entry("A-LONG~1TXT", 0x20, 5, 10);
    const u8 sum = FatShortNameChecksum(shortEntry.data(), shortEntry[0]);
    const std::u16string name = u"A long name of thirty chars.txt";
    auto p1 = LongPiece(name.substr(0, 13), 1, sum);
    auto p2 = LongPiece(name.substr(13, 13), 2, sum);
    auto p3 = LongPiece(name.substr(26), 0x43, sum);
    EXPECT_EQ(NameOfRun({p3, p2, p1, shortEntry}), "A long name of thirty chars.txt");
    // A piece of another short name, or a run without its last piece, gives the short name.
    auto foreign = LongPiece(name.substr(26), 0x43, u8(sum + 1));
    EXPECT_EQ(NameOfRun({foreign, p2, p1, shortEntry}), "A-LONG~1.TXT");
    EXPECT_EQ(NameOfRun({p2, p1, shortEntry}), "A-LONG~1.TXT");

    // Deleted: ordinals are gone. The whole name ends inside its outermost piece; a name cut
    // short by overwritten pieces does not.
    std::vector<u8> gone = shortEntry;
    gone[0] = 0xE5;
    for (auto* piece : {&p1, &p2, &p3}) (*piece)[0] = 0xE5;
    EXPECT_EQ(NameOfRun({p3, p2, p1, gone}), "A long name of thirty chars.txt");
    EXPECT_EQ(NameOfRun({p1, gone}), "#-LONG~1.TXT");
    // A name that fills its pieces exactly is kept when it ends in the short name's extension.
    const std::u16string exact = u"Twenty-six characters .txt";
    ASSERT_EQ(exact.size(), 26u);
    std::vector<u8> exactShort = Entry("\xE5WENTY~1TXT", 0x20, 5, 10);
    auto e1 = LongPiece(exact.substr(0, 13), 0xE5, 0x11);
    auto e2 = LongPiece(exact.substr(13), 0xE5, 0x11);
    EXPECT_EQ(NameOfRun({e2, e1, exactShort}), "Twenty-six characters .txt");

    // A long name with '?' falls back; an unpaired surrogate becomes '_', which is allowed.
    auto q = LongPiece(u"what?.txt", 0x41, sum);
    EXPECT_EQ(NameOfRun({q, shortEntry}), "A-LONG~1.TXT");
    std::u16string odd = u"x.txt";
    odd[0] = 0xD800;
    auto u = LongPiece(odd, 0x41, sum);
    EXPECT_EQ(NameOfRun({u, shortEntry}), "_.txt");
    EXPECT_EQ(NameOfRun({p1}), "(null)");
}

TEST(FatDirEntry, FolderSectorJudgement) {
    std::vector<u8> buffer;
    auto add = [&buffer](const std::vector<u8>& e) { buffer.insert(buffer.end(), e.begin(), e.end()); };
    add(Entry(".          ", 0x10, 7));
    add(Entry("..         ", 0x10, 0));
    add(Entry("FILE1   TXT", 0x20, 8, 100));
    add(Entry("FILE2   TXT", 0x20, 9, 100));
    buffer.resize(512, 0);
    FolderSectorState state;
    state.length = 512;
    EXPECT_TRUE(AnalyzeFATFolderSector(state, buffer.data(), nullptr, 0));
    EXPECT_EQ(state.result, 2u);
    EXPECT_EQ(state.dotCluster, 7u);
    EXPECT_EQ(state.count, 2);

    std::vector<u8> plain(buffer.begin() + 64, buffer.end());
    plain.resize(512, 0);
    EXPECT_TRUE(AnalyzeFATFolderSector(state, plain.data(), nullptr, 0));
    EXPECT_EQ(state.result, 1u);
    EXPECT_EQ(state.highestCluster, 9u);

    std::vector<u8> same;
    for (const auto& e : {Entry("FILE1   TXT", 0x20, 8, 100), Entry("FILE2   TXT", 0x20, 8, 100)}) {
        same.insert(same.end(), e.begin(), e.end());
    }
    same.resize(512, 0);
    EXPECT_FALSE(AnalyzeFATFolderSector(state, same.data(), nullptr, 0));
    EXPECT_EQ(state.result, 0u);
    EXPECT_EQ(state.highestCluster, 0u);
}
}  // namespace
