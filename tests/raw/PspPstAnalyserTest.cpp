// Paint Shop Pro block chains and mail store headers, whole, cut and damaged.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "AnalyserTestDevice.h"
#include "RawTestBytes.h"
#include "raw/FilePSPAnalyser.h"

namespace {

using rawtest::Analyse;

std::vector<u8> MakePsp(const std::vector<u32>& blocks) {
    const char header[] = "Paint Shop Pro Image File\n\x1a";
    std::vector<u8> v(header, header + sizeof(header) - 1);
    v.resize(36, 0);
    for (u32 length : blocks) {
        v.insert(v.end(), {0x7E, 0x42, 0x4B, 0x00, 1, 0});
        rawtest::Put32(v, length, false);
        v.insert(v.end(), length, 0x29);
    }
    return v;
}

TEST(PspAnalyser, BlockChainGivesTheLength) {
    struct Case {
        const char* what;
        std::vector<u8> bytes;
        u8 after;
        u32 result;
        u64 size;
    };
    std::vector<u8> noBlock = MakePsp({});
    noBlock.resize(600, 0x11);
    std::vector<u8> cut = MakePsp({100, 0x7FFFFFF0});
    cut.resize(200);
    const std::vector<Case> cases = {
        {"chain ending at 40000", MakePsp({1000, 20000, 40000 - 36 - 30 - 21000}), 0x00, 1, 40000},
        {"chain ending before byte 512", MakePsp({100, 200}), 0x00, 0, 0},
        {"no first block", noBlock, 0x00, 0, 0},
        // The length runs the chain past the walk's bound.
        {"block longer than the bound", cut, 0x00, 1, 36 + 110 + 10 + 0x7FFFFFF0ull},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FilePSPAnalyser psp;
        const rawtest::Analysed a = Analyse(psp, c.bytes, c.after);
        ASSERT_EQ(a.header, 1u);
        EXPECT_EQ(a.result, c.result);
        EXPECT_EQ(a.size, c.size);
    }
    std::vector<u8> other = MakePsp({10});
    other[10] = 'X';
    FilePSPAnalyser psp;
    EXPECT_EQ(Analyse(psp, other).header, 0u);
}

TEST(PstAnalyser, HeaderGivesTheLength) {
    struct Case {
        u8 version;
        u64 size;
    };
    for (const Case& c : {Case{14, 123456789}, Case{23, 987654}, Case{15, 0x100000}}) {
        SCOPED_TRACE(int(c.version));
        std::vector<u8> sector(512, 0);
        std::memcpy(sector.data(), "!BDN", 4);
        sector[10] = c.version;
        const u32 ansi = 123456789, wide = 987654;
        std::memcpy(sector.data() + 168, &ansi, 4);
        std::memcpy(sector.data() + 184, &wide, 4);
        FilePSTAnalyser pst;
        CRawFileInfo record;
        EXPECT_EQ(pst.CheckFileHeader(sector.data(), u32(sector.size()), record), 1u);
        EXPECT_EQ(record.size, c.size);
        EXPECT_EQ(record.fileType, FilePSTAnalyser::kType);
    }
}

}  // namespace
