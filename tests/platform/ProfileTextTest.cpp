#include <gtest/gtest.h>

#include <fstream>

#include "TestUtil.h"
#include "platform/Profile.h"
#include "platform/Text.h"

TEST(Profile, MissingFileGivesDefaultsAndWritesCreateFileSectionAndKey) {
    testutil::TempDir dir;
    const std::string f = dir.File("Config.dat");
    EXPECT_EQ(GetPrivateProfileInt("register", "ScanRaw", 1, f.c_str()), 1);
    EXPECT_EQ(GetProfileString("register", "LanguageName", "English.dat", f), "English.dat");
    EXPECT_TRUE(WritePrivateProfileString("register", "ScanRaw", "0", f.c_str()));
    EXPECT_TRUE(WritePrivateProfileString("other", "Key", "v", f.c_str()));
    EXPECT_TRUE(WritePrivateProfileString("Register", "Language", "3", f.c_str()));
    // Sections and keys match without regard to case; a later write goes into the existing section.
    EXPECT_EQ(GetPrivateProfileInt("REGISTER", "scanraw", 1, f.c_str()), 0);
    EXPECT_EQ(GetPrivateProfileInt("register", "Language", 0, f.c_str()), 3);
    EXPECT_EQ(GetProfileKeys("register", f), (std::vector<std::string>{"ScanRaw", "Language"}));
    EXPECT_TRUE(WritePrivateProfileString("register", "ScanRaw", "1", f.c_str()));
    EXPECT_EQ(GetPrivateProfileInt("register", "ScanRaw", 9, f.c_str()), 1);
    EXPECT_EQ(GetProfileString("other", "Key", "", f), "v");
    // Deleting a key and a section.
    EXPECT_TRUE(WritePrivateProfileString("register", "ScanRaw", nullptr, f.c_str()));
    EXPECT_EQ(GetPrivateProfileInt("register", "ScanRaw", 7, f.c_str()), 7);
    EXPECT_TRUE(WritePrivateProfileString("other", nullptr, nullptr, f.c_str()));
    EXPECT_EQ(GetProfileString("other", "Key", "gone", f), "gone");
}

TEST(Profile, ReadsForeignFilesWithBomCommentsAndNonNumbers) {
    testutil::TempDir dir;
    const std::string f = dir.File("English.dat");
    {
        std::ofstream o(f, std::ios::binary);
        o << "\xEF\xBB\xBF[string]\r\n; a comment\r\n  AlreadyRun = Already running\\nfor sure \r\n"
             "Number=42abc\r\nWord=abc\r\nQuoted=\"  spaced  \"\r\n";
    }
    EXPECT_EQ(GetProfileString("String", "alreadyrun", "", f), "Already running\\nfor sure");
    EXPECT_EQ(GetPrivateProfileInt("string", "Number", -1, f.c_str()), 42);
    EXPECT_EQ(GetPrivateProfileInt("string", "Word", -1, f.c_str()), 0);
    EXPECT_EQ(GetProfileString("string", "Quoted", "", f), "  spaced  ");
    char small[6];
    EXPECT_EQ(GetPrivateProfileString("string", "Word", "", small, sizeof(small), f.c_str()), 3u);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(GetPrivateProfileString("string", "AlreadyRun", "", small, sizeof(small), f.c_str()), 5u);
    EXPECT_STREQ(small, "Alrea");
}

TEST(Text, Utf16ConversionHandlesPairsAndUnpairedSurrogates) {
    const u8 name[] = {'A', 0, 0xE9, 0, 0x2C, 0x59, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0xD8, 'z', 0};
    bool lossy = false;
    EXPECT_EQ(Utf16LeToUtf8(name, 3, '_', &lossy), "A\xC3\xA9\xE5\xA4\xAC");
    EXPECT_FALSE(lossy);
    // A surrogate pair (U+1F600), then a lone high surrogate that cannot convert.
    EXPECT_EQ(Utf16LeToUtf8(name + 6, 4, '_', &lossy), "\xF0\x9F\x98\x80_z");
    EXPECT_TRUE(lossy);
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16("façade 大阪 \xF0\x9F\x98\x80")), "façade 大阪 \xF0\x9F\x98\x80");
    EXPECT_EQ(Utf8ToUtf16("\xFF" "a"), std::u16string(u"\uFFFDa"));
}

TEST(Text, BoundedCopiesNeverSplitACharacter) {
    char field[6];
    // "aé大" is 1 + 2 + 3 bytes: a 6-byte field holds 5 bytes of text, which would split 大.
    EXPECT_EQ(CopyUtf8Bounded(field, sizeof(field), "a\xC3\xA9\xE5\xA4\xA7"), 3u);
    EXPECT_STREQ(field, "a\xC3\xA9");
    EXPECT_EQ(Utf8Prefix("abc", 10), "abc");
    EXPECT_EQ(Utf8Prefix("\xE5\xA4\xA7", 2), "");
    std::string out;
    const char latin1[] = {'c', static_cast<char>(0xE9)};
    ASSERT_TRUE(CodePageToUtf8("ISO-8859-1", latin1, 2, out));
    EXPECT_EQ(out, "c\xC3\xA9");
    EXPECT_FALSE(CodePageToUtf8("NO-SUCH-CODEPAGE", latin1, 2, out));
}

// Bytes from a damaged disk reach reports that must parse: every ill-formed piece becomes U+FFFD,
// and well-formed text of every length of sequence stays as it was.
TEST(Text, InvalidUtf8IsReplacedAndValidTextKept) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"ascii and controls", std::string("a\x01\n", 3), std::string("a\x01\n", 3)},
        {"two to four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"stray continuation", "a\x80z", "a" + fffd + "z"},
        {"cut sequence at the end", "ab\xE2\x82", "ab" + fffd + fffd},
        {"overlong slash", "\xC0\xAF", fffd + fffd},
        {"overlong three bytes", "\xE0\x80\xAF", fffd + fffd + fffd},
        {"encoded surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
        {"past U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"never a lead byte", "\xFF\xFE", fffd + fffd},
    };
    for (const Case& c : cases) EXPECT_EQ(ReplaceInvalidUtf8(c.in), c.out) << c.name;
}
