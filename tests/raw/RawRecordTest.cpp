// The file-type tables, the found-file record and the analyser base behaviour.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "engine/DataRunList.h"
#include "engine/RawFileProperties.h"
#include "engine/RawFileTypes.h"
#include "raw/RawFileAnalyser.h"

namespace {

TEST(RawFileTypes, EdgesAndSamplesOfBothTables) {
    struct Row {
        u32 type;
        const char* description;
        const char* extension;
    };
    const Row rows[] = {
        {0, "Raw", "Raw"},
        {1, "3DS file", "3DS"},
        {13, "COREL Darw file", "CDR"},
        {35, "JPEG Graphics file", "JPG"},
        {38, "Musical Instrument Digital Interface file", "MID"},
        {48, "Compound file", "OLE"},
        {77, "Nikon NEF file", "NEF"},
        {89, "FUJIFILMCCD-RAW file", "RAF"},
        {112, "NUMBERS", "NUMBERS"},
        {114, "EPUB", "EPUB"},
        {115, "Final Cut Pro Event", "FCPEVENT"},
    };
    for (const Row& r : rows) {
        EXPECT_STREQ(FileTypeDescriptions[r.type], r.description) << r.type;
        EXPECT_STREQ(FileTypeExtensions[r.type], r.extension) << r.type;
        EXPECT_STREQ(RawFileTypeDescription(r.type), r.description) << r.type;
        EXPECT_STREQ(RawFileTypeExtension(r.type), r.extension) << r.type;
    }
}

TEST(RawFileTypes, EveryEntryIsZeroPaddedWithinItsWidth) {
    for (u32 type = 0; type < kRawFileTypeCount; ++type) {
        const char* d = FileTypeDescriptions[type];
        const char* e = FileTypeExtensions[type];
        const size_t dl = strnlen(d, kRawFileTypeDescriptionSize);
        const size_t el = strnlen(e, kRawFileTypeExtensionSize);
        ASSERT_LT(dl, kRawFileTypeDescriptionSize) << type;
        ASSERT_LT(el, kRawFileTypeExtensionSize) << type;
        EXPECT_GT(dl, 0u) << type;
        EXPECT_GT(el, 0u) << type;
        EXPECT_EQ(std::strchr(e, '.'), nullptr) << type;
        for (size_t i = dl; i < kRawFileTypeDescriptionSize; ++i) EXPECT_EQ(d[i], 0) << type;
        for (size_t i = el; i < kRawFileTypeExtensionSize; ++i) EXPECT_EQ(e[i], 0) << type;
    }
}

TEST(RawFileTypes, NumbersOutsideTheTablesGiveEmptyTexts) {
    for (u32 type : {kRawFileTypeCount, kRawFileTypeCount + 1, 0xFFFFu, 0xFFFFFFFFu}) {
        EXPECT_STREQ(RawFileTypeDescription(type), "");
        EXPECT_STREQ(RawFileTypeExtension(type), "");
    }
}

TEST(RawFileInfo, NewRecordIsUnmatched) {
    const CRawFileInfo r;
    EXPECT_EQ(r.startSector, 0u);
    EXPECT_EQ(r.size, 0u);
    EXPECT_EQ(r.fileType, 0u);
    EXPECT_EQ(r.analyserTypeId, 65535u);
    EXPECT_EQ(r.subType, -1);
    EXPECT_EQ(r.subTypeFlag, 0u);
    EXPECT_EQ(r.analyser, nullptr);
    EXPECT_TRUE(r.nameText.empty());
    EXPECT_TRUE(r.secondText.empty());
    EXPECT_TRUE(r.subTypeText.empty());
}

TEST(RawFileInfo, NameTextIsCleanedForFileNames) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"My Song ", "My Song"},
        {"", ""},
        {"   ", ""},
        {"  lead kept", "  lead kept"},
        {"a\\b/c:d?e\"f<g>h|i*j\rk\nl", "a_b_c_d_e_f_g_h_i_j_k_l"},
        // Blanks are trimmed before the replacement: a trailing CR shields the blank before it.
        {"a \r", "a _"},
        {"a\r  ", "a_"},
        {"x\ty\t", "x\ty\t"},
        {"caf\xC3\xA9 ", "caf\xC3\xA9"},
    };
    for (const Case& c : cases) {
        CRawFileInfo r;
        r.SetNameText(c.in);
        EXPECT_EQ(r.nameText, c.out) << '"' << c.in << '"';
    }
    CRawFileInfo r;
    r.SetNameText(std::string("a\0b ", 4));
    EXPECT_EQ(r.nameText, std::string("a\0b", 3));
}

TEST(RawFileInfo, SecondTextIsStoredUnchanged) {
    CRawFileInfo r;
    r.SetSecondText("2001: a/b ");
    EXPECT_EQ(r.secondText, "2001: a/b ");
    EXPECT_TRUE(r.nameText.empty());
}

// A file cut at the device's end keeps only what the device holds and shows the size its bytes
// give: its node's extent ends with the device and the rest counts as missing when it is written.
TEST(RawFileInfo, CutAtTheDevicesEndKeepsTheStatedSizeAndAnExtentOnTheDevice) {
    constexpr u64 kMax = ~u64(0);
    struct Case {
        const char* what;
        u64 size, missingBefore, onDevice;
        u64 size1, missing1, extentSectors;
    };
    const Case cases[] = {
        {"whole on the device", 1000, 0, 4096, 1000, 0, 2},
        {"ends at the device's end", 4096, 0, 4096, 4096, 0, 8},
        {"a header claiming 2.4 GB on 1 MiB", 0x90C78EC0, 0, 997376, 997376, 0x90C78EC0 - 997376, 1948},
        {"cut again after an earlier cut", 3000, 500, 1000, 1000, 2500, 2},
        {"nothing on the device", 700, 0, 0, 0, 700, 0},
        {"a stated size past the top of the range", kMax, 600, 512, 512, kMax, 1},
        // A walk that lost the file's end in mid-sector: the rest of that sector is read, and
        // nothing says it is the file's.
        {"an end owed where the walk stopped", 1000, 3, 4096, 1000, 3, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CRawFileInfo r;
        r.startSector = 100;
        r.size = c.size;
        r.missingBytes = c.missingBefore;
        const u64 stated = r.StatedSize();
        r.CutAt(c.onDevice);
        EXPECT_EQ(r.size, c.size1);
        EXPECT_EQ(r.missingBytes, c.missing1);
        EXPECT_EQ(r.StatedSize(), stated) << "a cut changes what is kept, not what the file says";
        PropertiesRef<CRAWFileProperties> p = CreateRAWFileProperties();
        ASSERT_TRUE(p);
        p->SetExtent(r);
        EXPECT_EQ(p->GetSize(), stated);
        u64 sectors = 0;
        std::unique_ptr<IDataRunList> runs(p->CreateDataRunList());
        ASSERT_TRUE(runs);
        for (DataRunExtent* e = runs->GetFirstExtent(); e; e = runs->GetNextExtent()) {
            EXPECT_EQ(e->start, 100);
            sectors += e->length;
        }
        EXPECT_EQ(sectors, c.extentSectors);
        // Never whole while its own bytes say some are missing.
        EXPECT_EQ((p->GetState() & kStateContentUnconfirmed) != 0, c.missing1 != 0);
    }
}

class OnlyHeader : public IRawFileAnalyser {
public:
    OnlyHeader() = default;
    explicit OnlyHeader(u32 typeId) : IRawFileAnalyser(typeId) {}
    u32 CheckFileHeader(const u8*, u32, CRawFileInfo&) override { return 0; }
};

TEST(RawFileAnalyserBase, DefaultsChangeNothing) {
    OnlyHeader a;
    EXPECT_EQ(a.GetAnalyserTypeId(), 0xFFFFFFFFu);
    EXPECT_EQ(OnlyHeader(35).GetAnalyserTypeId(), 35u);

    CRawFileInfo r;
    r.startSector = 77;
    r.size = 0;
    r.fileType = 12;
    r.SetNameText("kept");
    EXPECT_EQ(a.AnalyseFileSize(r, nullptr), 1u);
    EXPECT_EQ(r.startSector, 77u);
    EXPECT_EQ(r.size, 0u);
    EXPECT_EQ(r.fileType, 12u);
    EXPECT_EQ(r.nameText, "kept");
    EXPECT_EQ(r.analyser, nullptr);

    EXPECT_TRUE(a.GetInfoText1().empty());
    EXPECT_TRUE(a.GetInfoText2().empty());
    u32 id = 5;
    std::string text = "old";
    a.GetSubTypeInfo(id, text);
    EXPECT_EQ(id, 0xFFFFFFFFu);
    EXPECT_TRUE(text.empty());
    u64 lo = 1, hi = 2;
    a.GetExtraRange(lo, hi);
    EXPECT_EQ(lo, 0u);
    EXPECT_EQ(hi, 0u);
}

}  // namespace
