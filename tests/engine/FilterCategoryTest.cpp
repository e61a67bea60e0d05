// The category filter over the shipped FileFilter.xml and over small hand-written filter files.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TestUtil.h"
#include "engine/FileNode.h"
#include "engine/RawFileProperties.h"
#include "engine/RecoveryFilter.h"

namespace {
TreeNodePtr MakeNode(const char* name, u16 attributes = 0x20) {
    PropertiesRef<CRAWFileProperties> properties = CreateRAWFileProperties();
    if (name != nullptr) properties->SetRawFileName(name);
    properties->SetAttributes(attributes);
    TreeNodePtr node = CreateFileNode();
    node->SetFileProperties(properties.release());
    return node;
}

u32 AcceptName(CRecoveryFilter& filter, const char* name) { return filter.Accept(MakeNode(name).get()); }

std::string WriteFilterFile(const testutil::TempDir& dir, const std::string& body) {
    const std::string path = dir.File("FileFilter.xml");
    const std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + body;
    testutil::WriteFileBytes(path, std::vector<u8>(text.begin(), text.end()));
    return path;
}
}  // namespace

TEST(FilterShippedFile, CategoriesOfCommonExtensions) {
    CRecoveryFilter filter;  // FileFilter.xml beside the program
    EXPECT_EQ(filter.GetNameCategories("PHOTO.JPG"), std::vector<u32>{kCategoryPhoto});
    EXPECT_EQ(filter.GetNameCategories("raw.cr2"), std::vector<u32>{kCategoryPhoto});
    EXPECT_EQ(filter.GetNameCategories("song.mp3"), std::vector<u32>{kCategoryMusic});
    EXPECT_EQ(filter.GetNameCategories("Track.FLAC"), std::vector<u32>{kCategoryMusic});
    EXPECT_EQ(filter.GetNameCategories("clip.mp4"), std::vector<u32>{kCategoryVideo});
    EXPECT_EQ(filter.GetNameCategories("film.mkv"), std::vector<u32>{kCategoryVideo});
    EXPECT_EQ(filter.GetNameCategories("letter.docx"), std::vector<u32>{kCategoryOffice});
    EXPECT_EQ(filter.GetNameCategories("paper.pdf"), std::vector<u32>{kCategoryOffice});
    EXPECT_EQ(filter.GetNameCategories("backup.zip"), std::vector<u32>{kCategoryOther});
    EXPECT_EQ(filter.GetNameCategories("data.unknownext"), std::vector<u32>{kCategoryOther});
    // Every extension stands in exactly one category of the shipped file.
    for (const char* name : {"a.jpg", "a.png", "a.wav", "a.avi", "a.xls", "a.ppt", "a.exe"})
        EXPECT_EQ(filter.GetNameCategories(name).size(), 1u) << name;
}

TEST(FilterShippedFile, MaskSelectsCategories) {
    CRecoveryFilter filter;
    filter.SetFileTypeMask(0x02 | 0x04);  // photo and music
    EXPECT_EQ(AcceptName(filter, "PHOTO.JPG"), 1u);
    EXPECT_EQ(AcceptName(filter, "song.mp3"), 1u);
    EXPECT_EQ(AcceptName(filter, "clip.mp4"), 0u);
    EXPECT_EQ(AcceptName(filter, "letter.docx"), 0u);
    EXPECT_EQ(AcceptName(filter, "noextension"), 0u);
    EXPECT_EQ(filter.Accept(MakeNode("Folder.jpg.d", 0x10).get()), 1u);  // folders always pass

    filter.SetFileTypeMask(0x20 | 0x08);  // office and video; replaces the old selection
    EXPECT_EQ(AcceptName(filter, "PHOTO.JPG"), 0u);
    EXPECT_EQ(AcceptName(filter, "clip.mp4"), 1u);
    EXPECT_EQ(AcceptName(filter, "letter.docx"), 1u);
    EXPECT_EQ(filter.GetSelectedCategories(), (std::set<u32>{kCategoryVideo, kCategoryOffice}));
}

TEST(FilterShippedFile, OtherTakesUnlistedAndOddNames) {
    CRecoveryFilter filter;
    filter.SetFileTypeMask(0x40);
    EXPECT_EQ(AcceptName(filter, "archive.zip"), 1u);
    EXPECT_EQ(AcceptName(filter, "file.qqq"), 1u);
    EXPECT_EQ(AcceptName(filter, "no_dot"), 1u);
    EXPECT_EQ(AcceptName(filter, "ends.with.dot."), 1u);
    EXPECT_EQ(AcceptName(filter, nullptr), 1u);  // a node without a name
    EXPECT_EQ(AcceptName(filter, "PHOTO.JPG"), 0u);
    // A listed extension carrying a byte of 0x80 or above, or a control character, is "other".
    EXPECT_EQ(AcceptName(filter, "x.jp\xC3\xA9"), 1u);
    EXPECT_EQ(AcceptName(filter, "x.j\x01pg"), 1u);

    filter.SetFileTypeMask(0x02);
    EXPECT_EQ(AcceptName(filter, "x.jp\xC3\xA9"), 0u);
}

TEST(FilterShippedFile, EmptyOrFullMaskPassesEverything) {
    CRecoveryFilter filter;
    for (u32 mask : {0u, 0x7Fu}) {
        filter.SetFileTypeMask(mask);
        EXPECT_TRUE(filter.GetSelectedCategories().empty());
        EXPECT_EQ(filter.GetLastMask(), mask);
        EXPECT_EQ(AcceptName(filter, "archive.zip"), 1u);
        EXPECT_EQ(AcceptName(filter, "PHOTO.JPG"), 1u);
    }
    EXPECT_EQ(filter.Accept(nullptr), 0u);
}

TEST(FilterShippedFile, BitOneRefusesEveryFileButNoFolder) {
    CRecoveryFilter filter;
    filter.SetFileTypeMask(0x01);
    EXPECT_EQ(filter.GetSelectedCategories(), std::set<u32>{kCategoryUnused2});
    EXPECT_EQ(AcceptName(filter, "PHOTO.JPG"), 0u);
    EXPECT_EQ(AcceptName(filter, "other.zzz"), 0u);
    EXPECT_EQ(filter.Accept(MakeNode("DCIM", 0x10).get()), 1u);
    TreeNodePtr bare = CreateFileNode();  // no properties: passes
    EXPECT_EQ(filter.Accept(bare.get()), 1u);
}

TEST(FilterShippedFile, FileTypeMaskOfNode) {
    CRecoveryFilter filter;
    EXPECT_EQ(filter.GetFileTypeMask(MakeNode("a.jpg").get()), 0x02u);
    EXPECT_EQ(filter.GetFileTypeMask(MakeNode("a.mp3").get()), 0x04u);
    EXPECT_EQ(filter.GetFileTypeMask(MakeNode("a.avi").get()), 0x08u);
    EXPECT_EQ(filter.GetFileTypeMask(MakeNode("a.doc").get()), 0x20u);
    EXPECT_EQ(filter.GetFileTypeMask(MakeNode("a.rar").get()), 0x40u);
    EXPECT_EQ(filter.GetFileTypeMask(MakeNode("plain").get()), 0x40u);
    EXPECT_EQ(filter.GetFileTypeMask(nullptr), 0x40u);
}

TEST(FilterFileFormat, IconIndexExtentionCaseAndDuplicates) {
    testutil::TempDir dir;
    const std::string path = WriteFilterFile(dir, R"(<XML>
  <Note iconIndex="0"><FileType><Extention>.early</Extention></FileType></Note>
  <FileCategory>
    <FileType><Extention>.aaa</Extention><Extention>.SHARED</Extention></FileType>
  </FileCategory>
  <FileCategory iconIndex="3">
    <FileType>
      <Comment>.skipped</Comment>
      <EXTENTION>.bbb</EXTENTION>
      <Other>.notcounted</Other>
      <extention>.ccc;.</extention>
      <Extention>.shared</Extention>
      <Extention></Extention>
    </FileType>
    <FileType><Extention>.ddd</Extention></FileType>
  </FileCategory>
  <FileCategory iconIndex="7"><FileType><Extention>.nine</Extention></FileType></FileCategory>
  <FileCategory iconIndex="-1"><FileType><Extention>.nine2</Extention></FileType></FileCategory>
  <FileCategory iconIndex="5"><FileType><Extention>.shared</Extention></FileType></FileCategory>
  <Misc iconIndex="4"><FileType><Extention>.vvv</Extention></FileType></Misc>
  <FileCategory iconIndex="0"><FileType><Extention>.second</Extention></FileType></FileCategory>
</XML>)");
    CRecoveryFilter filter(path);
    // No iconIndex counts as 0 (photo); two photo categories both contribute.
    EXPECT_EQ(filter.GetNameCategories("x.aaa"), std::vector<u32>{kCategoryPhoto});
    EXPECT_EQ(filter.GetNameCategories("x.second"), std::vector<u32>{kCategoryPhoto});
    // Elements before the first FileCategory are not read.
    EXPECT_EQ(filter.GetNameCategories("x.early"), std::vector<u32>{kCategoryOther});
    // Any element after the first FileCategory is read as one.
    EXPECT_EQ(filter.GetNameCategories("x.vvv"), std::vector<u32>{kCategoryVideo});
    // Extention in any letter case counts, other elements do not; ';' separates extensions.
    EXPECT_EQ(filter.GetNameCategories("x.bbb"), std::vector<u32>{kCategoryMusic});
    EXPECT_EQ(filter.GetNameCategories("x.ccc"), std::vector<u32>{kCategoryMusic});
    EXPECT_EQ(filter.GetNameCategories("x.ddd"), std::vector<u32>{kCategoryMusic});
    EXPECT_EQ(filter.GetNameCategories("x.notcounted"), std::vector<u32>{kCategoryOther});
    EXPECT_EQ(filter.GetNameCategories("x.skipped"), std::vector<u32>{kCategoryOther});
    // Unknown icon indexes give category 9, which is never loaded: such extensions are "other".
    EXPECT_EQ(CRecoveryFilter::CategoryFromIconIndex(7), kCategoryUnknown);
    EXPECT_EQ(CRecoveryFilter::CategoryFromIconIndex(-1), kCategoryUnknown);
    EXPECT_EQ(filter.GetNameCategories("x.nine"), std::vector<u32>{kCategoryOther});
    EXPECT_EQ(filter.GetNameCategories("x.nine2"), std::vector<u32>{kCategoryOther});
    // An extension in several categories answers them in load order: photo, music, video,
    // office, 6, other.
    EXPECT_EQ(filter.GetNameCategories("x.Shared"),
              (std::vector<u32>{kCategoryPhoto, kCategoryMusic, kCategoryOther}));
    EXPECT_EQ(filter.GetFileTypeMask(MakeNode("x.shared").get()), 0x02u);

    filter.SetFileTypeMask(0x04);
    EXPECT_EQ(AcceptName(filter, "x.SHARED"), 1u);
    EXPECT_EQ(AcceptName(filter, "x.aaa"), 0u);
    filter.SetFileTypeMask(0x3E);  // every choice but "other" (and bit 0x01)
    EXPECT_EQ(AcceptName(filter, "x.nine"), 0u);
    EXPECT_EQ(AcceptName(filter, "x.zzz"), 0u);
    EXPECT_EQ(AcceptName(filter, "x.ddd"), 1u);
}

TEST(FilterFileFormat, UnreadableFileLeavesOnlyOther) {
    testutil::TempDir dir;
    const std::string missing = dir.File("absent.xml");
    CRecoveryFilter filter(missing);
    EXPECT_EQ(filter.LoadCategory(missing, kCategoryPhoto), -1);
    EXPECT_EQ(filter.GetNameCategories("PHOTO.JPG"), std::vector<u32>{kCategoryOther});
    EXPECT_EQ(AcceptName(filter, "PHOTO.JPG"), 1u);  // nothing selected
    filter.SetFileTypeMask(0x02);
    EXPECT_EQ(AcceptName(filter, "PHOTO.JPG"), 0u);
    filter.SetFileTypeMask(0x40);
    EXPECT_EQ(AcceptName(filter, "PHOTO.JPG"), 1u);

    const std::string broken = WriteFilterFile(dir, "<xml><FileCategory><FileType>");
    EXPECT_EQ(filter.LoadCategory(broken, kCategoryPhoto), -1);
    testutil::TempDir other;
    const std::string wrongRoot =
        WriteFilterFile(other, "<config><FileCategory><FileType><Extention>.jpg</Extention>"
                               "</FileType></FileCategory></config>");
    EXPECT_EQ(filter.LoadCategory(wrongRoot, kCategoryPhoto), -2);
    EXPECT_EQ(filter.GetNameCategories("a.jpg"), std::vector<u32>{kCategoryOther});
}
