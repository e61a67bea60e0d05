// The archive, database and HTML analysers: archives walked member by member, database pages,
// GZ members up to their zero tail, HTML pages up to their closing tag; damaged headers are
// refused or end the walk where they begin.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "AnalyserTestDevice.h"
#include "RawTestBytes.h"
#include "raw/AnalyserRegistry.h"
#include "raw/AnalyserTables.h"
#include "raw/FileArchiveDbAnalysers.h"
#include "raw/RawScanState.h"
#include "raw/ReadWindow.h"

namespace {

using rawtest::Analyse;

struct TarMember {
    std::string name;
    u64 size;
    char kind;  // '0' file, '5' folder
};

// A ustar archive with 512-byte padding of each member and the two closing zero blocks.
std::vector<u8> MakeTar(const std::vector<TarMember>& members, const char* sizeField = nullptr) {
    std::vector<u8> v;
    for (const TarMember& m : members) {
        std::vector<u8> block(512, 0);
        std::memcpy(block.data(), m.name.data(), std::min<size_t>(m.name.size(), 100));
        char size[12];
        std::snprintf(size, sizeof(size), "%011llo", static_cast<unsigned long long>(m.size));
        std::memcpy(block.data() + 124, sizeField ? sizeField : size, 11);
        block[156] = u8(m.kind);
        std::memcpy(block.data() + 257, "ustar", 5);
        v.insert(v.end(), block.begin(), block.end());
        v.insert(v.end(), (m.size + 511) / 512 * 512, 0x61);
    }
    v.insert(v.end(), 1024, 0);
    return v;
}

std::vector<u8> LzhMember(u8 headerLength, u32 packed) {
    std::vector<u8> v = {headerLength, 0x11, '-', 'l', 'h', '5', '-'};
    rawtest::Put32(v, packed, false);
    v.resize(2 + headerLength, 0x20);
    v.insert(v.end(), packed, 0x77);
    return v;
}

std::vector<u8> MakeGz(u8 flags, const std::string& name, size_t body) {
    std::vector<u8> v = {0x1F, 0x8B, 0x08, flags, 0, 0, 0, 0, 0x02, 0x03};
    if (flags & 4) v.insert(v.end(), {4, 0, 'x', 'y', 'z', 'w'});
    if (flags & 8) {
        v.insert(v.end(), name.begin(), name.end());
        v.push_back(0);
    }
    v.insert(v.end(), body, 0x93);
    return v;
}

TEST(ArchiveAnalysers, TarIsWalkedMemberByMemberInDeviceSectors) {
    struct Case {
        const char* what;
        std::vector<u8> bytes;
        u32 sector;
        u32 result;
        u64 size;
    };
    std::vector<u8> notTar = MakeTar({{"photo.jpg", 10, '0'}});
    std::memcpy(notTar.data() + 257, "xstar", 5);
    std::vector<u8> second = MakeTar({{"a.txt", 600, '0'}, {"b.txt", 10, '0'}});
    std::memcpy(second.data() + 512 + 1024 + 257, "xstar", 5);  // a damaged second header
    const std::vector<Case> cases = {
        {"two files", MakeTar({{"customer.csv", 1000, '0'}, {"notes.txt", 1, '0'}}), 512, 1,
         512 + 1024 + 512 + 512 + 512},
        // A member without data (a folder, an empty file) does not end the archive; the zero
        // block after the last member does, and counts.
        {"first member a folder", MakeTar({{"photos/", 0, '5'}, {"photos/a.jpg", 100, '0'}}), 512, 1, 4 * 512},
        // Members are padded to 512 bytes whatever the device's sectors.
        {"1-byte member on 4096-byte sectors", MakeTar({{"a", 1, '0'}, {"b", 0, '0'}}), 4096, 1, 4 * 512},
        {"magic missing", notTar, 512, 0, 0},
        {"second header damaged", second, 512, 1, 512 + 1024},
        {"size field of non-digits", MakeTar({{"x", 0, '0'}}, "zz!!zz!!zz!"), 512, 1, 2 * 512},
        {"size beyond the walk's bound", MakeTar({{"x", 0, '0'}}, "77777777777"), 512, 1, 512 + 8589934592ull},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileTARAnalyser tar;
        const rawtest::Analysed a = Analyse(tar, c.bytes, 0x55, 2, c.sector);
        EXPECT_EQ(a.header, c.what == std::string("magic missing") ? 0u : 1u);
        if (a.header == 0) {
            CRawFileInfo record;
            EXPECT_EQ(tar.AnalyseFileSize(record, nullptr), 0u);
            continue;
        }
        EXPECT_EQ(a.result, c.result);
        EXPECT_EQ(a.size, c.size);
    }
}

// Every member header bears the archive's mark: within one scan, only a header that is neither
// the one the header before announced nor inside that member's data begins an archive.
TEST(ArchiveAnalysers, TarMemberHeadersOfAFoundArchiveAreNoArchivesOfTheirOwn) {
    const std::vector<u8> inner = MakeTar({{"inner.txt", 10, '0'}});
    std::vector<u8> tar = MakeTar({{"dir/", 0, '5'}, {"dir/a.txt", 1500, '0'}, {"dir/inner.tar", inner.size(), '0'}});
    // Headers at blocks 0, 1 and 5; the nested archive lies in the third member's data, at block 6.
    std::memcpy(tar.data() + 6 * 512, inner.data(), inner.size());
    const std::vector<u8> other = MakeTar({{"other.txt", 10, '0'}});
    struct Row {
        const char* what;
        u64 sector;  // of the header on the device
        const std::vector<u8>* bytes;
        size_t at;  // of the header in bytes
        u32 begins;
    };
    const u64 end = 100;  // another archive after this one's closing blocks
    const Row rows[] = {
        {"the first header, a folder's", 10, &tar, 0, 1},
        {"asked again for it", 10, &tar, 0, 1},
        {"the file after the folder's empty data", 11, &tar, 512, 0},
        {"the third member, after 1500 bytes of data", 15, &tar, 5 * 512, 0},
        {"asked again for a member", 15, &tar, 5 * 512, 0},
        {"an archive inside a member's data", 16, &tar, 6 * 512, 0},
        {"an archive after the last one ended", end, &other, 0, 1},
        {"a header the one before did not announce", end + 5, &other, 0, 1},
    };
    auto scan = std::make_shared<CRawScanState>(512);
    FileTARAnalyser analyser;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CRawFileInfo record;
        record.startSector = row.sector;
        record.scan = scan;
        EXPECT_EQ(analyser.CheckFileHeader(row.bytes->data() + row.at, 512, record), row.begins);
    }
    // Without a scan (a header looked at alone) every header begins an archive.
    CRawFileInfo alone;
    alone.startSector = 11;
    EXPECT_EQ(analyser.CheckFileHeader(tar.data() + 512, 512, alone), 1u);
}

TEST(ArchiveAnalysers, TarIsFoundWhateverItsFirstMemberIsCalled) {
    const CRawFileAnalyserRegistry& reg = CRawFileAnalyserRegistry::Instance();
    const std::vector<u8> tar = MakeTar({{"customer_00.csv", 10, '0'}});
    EXPECT_EQ(reg.FindSignature4(CRawFileAnalyserRegistry::Signature4Key(tar.data())), nullptr);
    bool matched = false;
    for (IRawFileAnalyser* a : reg.GetOffsetAnalyserList(0)) {
        CRawFileInfo record;
        if (a->CheckFileHeader(tar.data(), u32(tar.size()), record) != 0) {
            matched = true;
            EXPECT_EQ(record.fileType, FileTARAnalyser::kType);
        }
    }
    EXPECT_TRUE(matched);
}

TEST(ArchiveAnalysers, LzhMembersAreWalkedWithUnsignedHeaderLengths) {
    struct Case {
        const char* what;
        std::vector<u8> bytes;
        u32 result;
        u64 size;
    };
    std::vector<u8> one = LzhMember(30, 1000);
    const u64 oneSize = one.size();
    one.push_back(0);  // the archive's closing zero byte
    std::vector<u8> two = LzhMember(200, 50);
    const std::vector<u8> next = LzhMember(0xF0, 10);  // a header length that is negative as a signed byte
    two.insert(two.end(), next.begin(), next.end());
    const u64 twoSize = two.size();
    two.push_back(0);
    // Level-2 headers, jlha's default: the first two bytes are the header's whole length.
    std::vector<u8> level2;
    for (u32 packed : {700u, 20u}) {
        std::vector<u8> m = LzhMember(40, packed);
        m[0] = 42;  // the 42 header bytes, little-endian
        m[1] = 0;
        m[20] = 2;
        level2.insert(level2.end(), m.begin(), m.end());
    }
    const u64 level2Size = level2.size();
    // A damaged level-2 length of 0 with nothing packed would keep the walk on one spot.
    std::vector<u8> stuck = level2;
    std::vector<u8> zero = LzhMember(40, 0);
    zero[0] = zero[1] = 0;
    zero[20] = 2;
    stuck.insert(stuck.end(), zero.begin(), zero.end());
    level2.push_back(0);
    std::vector<u8> method = LzhMember(30, 10);
    method[5] = '9';
    const std::vector<Case> cases = {
        {"two members with level-2 headers", level2, 1, level2Size},
        {"a level-2 header too short for itself ends the walk", stuck, 1, level2Size},
        {"one member", one, 1, oneSize},
        {"two members, one with a long header", two, 1, twoSize},
        {"packed size beyond the device", LzhMember(30, 0), 1, 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileLZHAnalyser lzh;
        const rawtest::Analysed a = Analyse(lzh, c.bytes, 0x44);
        ASSERT_EQ(a.header, 1u);
        EXPECT_EQ(a.fileType, FileLZHAnalyser::kType);
        EXPECT_EQ(a.result, c.result);
        EXPECT_EQ(a.size, c.size);
    }
    std::vector<u8> huge = LzhMember(30, 0);
    rawtest::Analysed a;
    huge[7] = huge[8] = huge[9] = huge[10] = 0xFF;
    FileLZHAnalyser lzh;
    a = Analyse(lzh, huge, 0x44);
    EXPECT_EQ(a.result, 1u);
    EXPECT_EQ(a.size, 32 + 0xFFFFFFFFull);
    FileLZHAnalyser other;
    EXPECT_EQ(Analyse(other, method).header, 0u);
}

TEST(ArchiveAnalysers, DatabasesEndAtTheirFirstEmptyPage) {
    std::vector<u8> jet(5 * 4096, 0x01);
    const u8 start[4] = {0, 1, 0, 0};
    std::memcpy(jet.data(), start, 4);
    std::memcpy(jet.data() + 4, "Standard Jet DB", 16);
    std::vector<u8> ace = jet;
    std::memcpy(ace.data() + 4, "Standard ACE DB", 16);
    std::vector<u8> other = jet;
    std::memcpy(other.data() + 4, "Standard XYZ DB", 16);
    FileMDBAnalyser mdb;
    rawtest::Analysed a = Analyse(mdb, jet, 0x00);
    ASSERT_EQ(a.header, 1u);
    EXPECT_EQ(a.fileType, FileMDBAnalyser::kType);
    EXPECT_EQ(a.size, 5 * 4096u);
    FileMDBAnalyser accdb;
    a = Analyse(accdb, ace, 0x00);
    EXPECT_EQ(a.fileType, FileMDBAnalyser::kTypeAccdb);
    FileMDBAnalyser refused;
    EXPECT_EQ(Analyse(refused, other).header, 0u);
}

TEST(ArchiveAnalysers, GzMembersRunToTheirZeroTailAndKeepTheirName) {
    struct Case {
        const char* what;
        std::vector<u8> bytes;
        u8 after;
        u32 result;
        u64 size;
        std::string name;
    };
    const std::string longName(300, 'n');
    const std::vector<Case> cases = {
        // The walk starts with the sector after the header's.
        {"plain member", MakeGz(0, "", 1000), 0x00, 1, 1024, ""},
        {"named member", MakeGz(8, "report:2021.csv", 700), 0x00, 1, 1024, "report_2021.csv"},
        {"extra field and name", MakeGz(4 | 8, "a.txt", 100), 0x00, 1, 1024, "a.txt"},
        {"long name kept to its limit", MakeGz(8, longName, 10), 0x00, 1, 1024, longName.substr(0, 260)},
        {"non-zero sectors after it", MakeGz(0, "", 100), 0x7E, 1, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileGZAnalyser gz;
        const rawtest::Analysed a = Analyse(gz, c.bytes, c.after, 4);
        ASSERT_EQ(a.header, 1u);
        EXPECT_EQ(a.result, c.result);
        if (c.size != 0) {
            EXPECT_EQ(a.size, c.size);
        } else {
            // Runs on to the device's end, never beyond twice the largest offset.
            EXPECT_GE(a.size, c.bytes.size());
            EXPECT_LE(a.size, 2 * LargestFileOffset());
        }
        EXPECT_EQ(a.record.nameText, c.name);
    }
    std::vector<u8> badOs = MakeGz(0, "", 10);
    badOs[9] = 20;
    std::vector<u8> badExtra = MakeGz(0, "", 10);
    badExtra[8] = 0;
    for (const std::vector<u8>& refused : {badOs, badExtra}) {
        FileGZAnalyser gz;
        CRawFileInfo record;
        EXPECT_EQ(gz.CheckFileHeader(refused.data(), u32(refused.size()), record), 0u);
    }
}

std::vector<u8> Wide(const std::string& text) {
    std::vector<u8> v = {0xFF, 0xFE};
    for (char c : text) v.insert(v.end(), {u8(c), 0});
    return v;
}

TEST(ArchiveAnalysers, HtmlPagesEndWithTheirClosingTag) {
    std::string page = "<!DOCTYPE html>\n<html><body>" + std::string(700, 'x') + "</body></HTML>\n";
    std::vector<u8> bytes(page.begin(), page.end());
    FileHTMAnalyser htm;
    rawtest::Analysed a = Analyse(htm, bytes);
    ASSERT_EQ(a.header, 1u);
    EXPECT_EQ(a.result, 1u);
    EXPECT_EQ(a.size, 1024u);

    struct Case {
        const char* what;
        std::vector<u8> bytes;
        u32 header;
        u32 result;
        u64 size;
    };
    const std::string body = "<HTML><body>hello</body>";
    const std::vector<Case> cases = {
        {"closed", Wide(body + "</html>"), 1, 1, 2 + 2 * body.size() + 16},
        {"unclosed, ends at the first zero character", Wide(body), 1, 1, 2 + 2 * body.size()},
        {"doctype first", Wide("<!DOCTYPE x><html>" + std::string("a</HTML>")), 1, 1, 2 + 2 * 19 + 16},
        {"no html tag", Wide("<!DOCTYPE x><body>"), 1, 0, 0},
        {"not a tag", Wide("hello"), 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileUnicodeHTMAnalyser wide;
        a = Analyse(wide, c.bytes);
        EXPECT_EQ(a.header, c.header);
        EXPECT_EQ(a.result, c.result);
        EXPECT_EQ(a.size, c.size);
    }
}

}  // namespace
