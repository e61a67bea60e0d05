// The shell's small services: temporary preview copies, version strings, the typed registry read
// of the first-run language, texts used as formats, the known folders and the system description.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "TestUtil.h"
#include "app/EnvironmentLog.h"
#include "app/KnownFolders.h"
#include "core/Settings.h"
#include "core/Strings.h"
#include "core/TempPath.h"
#include "core/VersionInfo.h"
#include "platform/ProgramDir.h"
#include "platform/Profile.h"
#include "platform/Registry.h"

namespace {

using testutil::EnvOverride;

// A program folder of the test's own, so that settings written do not reach other tests.
class ProgramFolder {
public:
    ProgramFolder() : saved_(GetProgramDir()) { SetProgramDir(dir.Path()); }
    ~ProgramFolder() {
        SetProgramDir(saved_);
        SetLanguageFile("English.dat");
    }
    testutil::TempDir dir;

private:
    std::string saved_;
};

void Touch(const std::string& path) { std::ofstream(path) << "copy"; }

TEST(TempCopies, NamesAreNewEachTimeAndNoFileHasThem) {
    testutil::TempDir cache;
    EnvOverride xdg("XDG_CACHE_HOME", cache.Path());
    CTempPathNameSignle& temp = CTempPathNameSignle::GetInstance();
    const std::string first = temp.GetTempName();
    const std::string second = temp.GetTempName();
    EXPECT_NE(first, second);
    for (const std::string& name : {first, second}) {
        EXPECT_EQ(name.rfind(cache.Path() + "/Morvenda/~@!", 0), 0u) << name;
        EXPECT_EQ(name.substr(name.size() - 4), ".tmp");
        EXPECT_FALSE(testutil::FileExists(name));
    }
    EXPECT_EQ(temp.MostRecent(), second);
    EXPECT_FALSE(temp.Exists());
    Touch(second);
    EXPECT_TRUE(temp.Exists());
    DeleteTempCopies(second);
    EXPECT_FALSE(temp.Exists());
}

TEST(TempCopies, SiblingsAndReadOnlyCopiesGoWithTheNameAndNothingElseDoes) {
    testutil::TempDir dir;
    // A folder named like a copy on the way to the copy: only the ending may be exchanged.
    const std::string folder = dir.File("x.tmp");
    std::filesystem::create_directories(folder);
    std::filesystem::create_directories(dir.File("x.doc"));
    const std::string name = folder + "/~@!1A.tmp";
    const std::string bystander = dir.File("x.doc") + "/~@!1A.tmp";
    for (const std::string& f : {name, folder + "/~@!1A.doc", folder + "/~@!1A.xls", bystander}) Touch(f);
    ::chmod((folder + "/~@!1A.xls").c_str(), 0444);
    DeleteTempCopies(name);
    for (const char* ending : {".tmp", ".doc", ".xls"})
        EXPECT_FALSE(testutil::FileExists(folder + "/~@!1A" + ending)) << ending;
    EXPECT_TRUE(testutil::FileExists(bystander));
    DeleteTempCopies("");  // nothing to do
}

TEST(VersionStrings, TheProgramFileCarriesTheCompiledVersion) {
    std::string copyright, version;
    ASSERT_EQ(ReadVersionStrings("/proc/self/exe", &copyright, &version), 0);
    EXPECT_EQ(version, ProductVersionText());
    EXPECT_NE(copyright.find("Morvenda"), std::string::npos);
    EXPECT_EQ(ReadVersionStrings(nullptr, &copyright, &version), -1);
    testutil::TempDir dir;
    Touch(dir.File("plain.txt"));
    EXPECT_EQ(ReadVersionStrings(dir.File("plain.txt").c_str(), &copyright, &version), -2);
    // A program file cut short: its section table lies beyond the end.
    const std::vector<u8> head = testutil::ReadFileBytes("/proc/self/exe");
    ASSERT_GT(head.size(), 4096u);
    testutil::WriteFileBytes(dir.File("cut"), std::vector<u8>(head.begin(), head.begin() + 4096));
    EXPECT_EQ(ReadVersionStrings(dir.File("cut").c_str(), &copyright, &version), -2);
}

TEST(VersionStrings, TheFirstTranslationWithACopyrightIsTaken) {
    const struct {
        const char* block;
        bool parsed;
        const char* version;
        const char* copyright;
    } cases[] = {
        {"MorvendaVersionInfo\nTranslation=040904b0\nTranslation=040704b0\n[040904b0]\nProductVersion=1.1\n"
         "[040704b0]\nProductVersion=1.2\nLegalCopyright=(C) Second\n",
         true, "1.2", "(C) Second"},
        {"MorvendaVersionInfo\nTranslation=040904b0\n[040904b0]\nProductVersion=2.0\nLegalCopyright=(C) One\n",
         true, "2.0", "(C) One"},
        {"MorvendaVersionInfo\nTranslation=040904b0\n[040904b0]\nLegalCopyright=(C) No version\n", true, "",
         "(C) No version"},
        {"MorvendaVersionInfo\n[040904b0]\nProductVersion=3.0\n", false, "", ""},
        {"Something else\nTranslation=040904b0\n", false, "", ""},
    };
    for (const auto& c : cases) {
        std::string copyright, version;
        EXPECT_EQ(ParseVersionBlock(c.block, &copyright, &version), c.parsed) << c.block;
        EXPECT_EQ(version, c.version) << c.block;
        EXPECT_EQ(copyright, c.copyright) << c.block;
    }
}

TEST(FirstRunLanguage, OnlyAShortStringValueOfTheRegistryIsALanguageChoice) {
    testutil::TempDir config;
    EnvOverride xdg("XDG_CONFIG_HOME", config.Path());
    const struct {
        std::string stored;
        int language;
        const char* file;
    } cases[] = {
        {"Japanese", 1, "Japanese.dat"},
        {"Deutsch", 2, "Deutsch.dat"},
        {"deutsch", 0, "English.dat"},
        {"dword:00000001", 0, "English.dat"},
        {"hex:4a,61,70", 0, "English.dat"},
        {std::string(300, 'J'), 0, "English.dat"},
    };
    for (const auto& c : cases) {
        // A first run each time: a program folder and a configuration folder of its own.
        ProgramFolder program;
        testutil::TempDir user;
        EnvOverride userConfig("XDG_CONFIG_HOME", user.Path());
        RegistryWriteString(kLanguageRegistryKey, kLanguageRegistryValue, c.stored);
        EXPECT_EQ(ConfigLanguageFileName(), c.file) << c.stored.substr(0, 20);
        EXPECT_EQ(ConfigLanguage(), c.language);
        EXPECT_EQ(ConfigReadInt("ReadReg", 0), 1);
    }
    std::string out;
    RegistryWriteString("Key", "Exact", std::string(259, 'a'));
    EXPECT_TRUE(RegistryReadBoundedString("Key", "Exact", 260, out));
    EXPECT_FALSE(RegistryReadBoundedString("Key", "Exact", 259, out));
    EXPECT_FALSE(RegistryReadBoundedString("Key", "Missing", 260, out));
}

TEST(LocalizedFormats, ConversionsAreReadAsTheArgumentsTheyTake) {
    const struct {
        const char* format;
        bool usable;
        const char* conversions;
    } cases[] = {
        {"plain", true, ""},
        {"%d of %s", true, "i,s,"},
        {"100%% done", true, ""},
        {"%-8.2f %5lld %zu %c %p %x", true, "f,lli,zi,i,p,i,"},
        {"%*d", true, "i,i,"},
        {"%ls", false, ""},
        {"%n", false, ""},
        {"100% done", true, "i,"},  // "% d": a space flag, then an int
        {"100%!", false, ""},
        {"ends in %", false, ""},
    };
    for (const auto& c : cases) {
        std::string sig;
        EXPECT_EQ(FormatConversions(c.format, &sig), c.usable) << c.format;
        if (c.usable) {
            EXPECT_EQ(sig, c.conversions) << c.format;
        }
    }
}

TEST(LocalizedFormats, ATranslationThatDoesNotTakeTheArgumentsIsNotUsedAsAFormat) {
    ProgramFolder program;
    std::ofstream(program.dir.File("English.dat")) << "[string]\nFound=%d files in %s\nBoth=%s broken %\n";
    std::ofstream(program.dir.File("French.dat"))
        << "[string]\nFound=%s fichiers\nGood=%d bons\nBoth=100% cassé\nPercent=%d%% fait\n";
    SetLanguageFile("French.dat");
    EXPECT_EQ(FormatLocalized("Found", "%d %s", 3, "/home"), "3 files in /home");
    EXPECT_EQ(FormatLocalized("Good", "%d", 7), "7 bons");
    EXPECT_EQ(FormatLocalized("Percent", "%d", 50), "50% fait");
    EXPECT_EQ(FormatLocalized("Both", "%s", "x"), "100% cassé");
    EXPECT_EQ(FormatLocalized("Missing", "%s", "x"), "");
}

TEST(KnownFolders, XdgUserFoldersStandInForTheLibrariesCountedPerLibrary) {
    testutil::TempDir home;
    testutil::TempDir config;
    EnvOverride h("HOME", home.Path());
    EnvOverride c("XDG_CONFIG_HOME", config.Path());
    std::filesystem::create_directories(home.File("Docs"));
    std::filesystem::create_directories(home.File("Films"));
    std::filesystem::create_directories(home.File("Desk"));
    std::ofstream(config.File("user-dirs.dirs")) << "XDG_DESKTOP_DIR=\"$HOME/Desk\"\n"
                                                    "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n"
                                                    "XDG_MUSIC_DIR=\"$HOME/Docs\"\n"
                                                    "XDG_PICTURES_DIR=\"$HOME/NotThere\"\n"
                                                    "XDG_VIDEOS_DIR=\"$HOME/Films\"\n";
    std::map<std::string, int> folders;
    EXPECT_EQ(ResolveKnownFolder(folders), 0);
    EXPECT_EQ(folders, (std::map<std::string, int>{{home.File("Docs"), 2}, {home.File("Films"), 1}}));
    EXPECT_EQ(KnownFolderPath(KnownFolder::kDesktop), home.File("Desk"));
    EXPECT_EQ(AddLibraryFolders("Pictures", folders), -1);
    EXPECT_EQ(AddLibraryFolders("Downloads", folders), -1);
}

TEST(Environment, TheSystemIsDescribed) {
    OsDescription d;
    ASSERT_TRUE(DescribeOperatingSystem(&d));
    EXPECT_FALSE(d.name.empty());
    EXPECT_EQ(d.edition.rfind("Linux ", 0), 0u);
    EXPECT_GT(d.major, 0);
#if defined(__x86_64__) || defined(__aarch64__)
    EXPECT_EQ(d.extra, "64-bit");
#endif
}

}  // namespace
