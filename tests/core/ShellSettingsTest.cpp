#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "core/Settings.h"
#include "core/Shell.h"
#include "core/Strings.h"
#include "platform/Log.h"
#include "platform/ProgramDir.h"
#include "platform/Profile.h"
#include "platform/Registry.h"

namespace {
// Each test runs with its own program directory and its own configuration, state and cache
// folders.
class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetProgramDir(dir_.File("program"));
        std::filesystem::create_directories(dir_.File("program"));
        for (const char* v : kXdg) {
            if (const char* old = std::getenv(v)) saved_.emplace_back(v, old);
            setenv(v, dir_.File(v).c_str(), 1);
        }
    }
    void TearDown() override {
        for (const char* v : kXdg) unsetenv(v);
        for (const auto& [v, old] : saved_) setenv(v.c_str(), old.c_str(), 1);
    }
    std::string ProgramFile(const std::string& name) const { return dir_.File("program/" + name); }
    std::string StateFile(const std::string& name) const { return dir_.File("XDG_STATE_HOME/Morvenda/" + name); }
    std::string UserConfigFile() const { return dir_.File("XDG_CONFIG_HOME/Morvenda/Config.dat"); }
    static std::string ReadAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // Every file under the program folder with its content.
    std::vector<std::pair<std::string, std::string>> ProgramFolder() const {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir_.File("program")))
            out.emplace_back(e.path().string(), e.is_regular_file() ? ReadAll(e.path().string()) : "");
        std::sort(out.begin(), out.end());
        return out;
    }

    static constexpr const char* kXdg[] = {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"};
    testutil::TempDir dir_;
    std::vector<std::pair<std::string, std::string>> saved_;
};
}  // namespace

TEST_F(ShellTest, WriteLogAppendsTimedLinesCutAt2000Characters) {
    const std::string longText(2500, 'x');
    WriteLog("%s", "first\r\n");
    const int n = WriteLog("%s", longText.c_str());
    EXPECT_EQ(n, 13 + 2000);
    const std::string all = ReadAll(StateFile("Morvenda.log"));
    ASSERT_EQ(all.size(), 13u + 7 + 13 + 2000);
    EXPECT_EQ(all.substr(13, 7), "first\r\n");
    EXPECT_EQ(all[2], ':');
    EXPECT_EQ(all.substr(all.size() - 2000), std::string(2000, 'x'));
}

TEST_F(ShellTest, LocalizedTextsTurnBackslashNIntoLineBreaks) {
    {
        std::ofstream o(ProgramFile("English.dat"), std::ios::binary);
        o << "[string]\r\nTwoLines=first\\nsecond\r\nFreeOf=free of\r\n";
    }
    SetLanguageFile("English.dat");
    EXPECT_EQ(GetLocalizedString("TwoLines"), "first\nsecond");
    EXPECT_EQ(GetLocalizedString("FreeOf"), "free of");
    EXPECT_EQ(GetLocalizedString("Missing"), "");
    EXPECT_EQ(GetLocalizedString(nullptr), "");
    EXPECT_EQ(SetLanguageFile(nullptr), -1);
    char path[kMaxPath];
    EXPECT_EQ(std::string(FormatPath(path, "%sConfig.dat", GetModuleDir().c_str())), ProgramFile("Config.dat"));
}

TEST_F(ShellTest, FirstRunTakesTheLanguageFromTheRegistryOnce) {
    EXPECT_EQ(ConfigScanRaw(), 1);
    EXPECT_EQ(ConfigRevise(), 1);
    EXPECT_EQ(ConfigLanguage(), 0);
    ASSERT_TRUE(RegistryWriteString(kLanguageRegistryKey, kLanguageRegistryValue, "Japanese"));
    EXPECT_EQ(ConfigLanguageFileName(), "Japanese.dat");
    EXPECT_EQ(ConfigReadInt("ReadReg", 0), 1);
    EXPECT_EQ(ConfigLanguage(), 1);
    // The user switches to French; the registry is not read again.
    EXPECT_EQ(ConfigStoreLanguage(3, "French.dat"), 0);
    EXPECT_EQ(ConfigLanguageFileName(), "French.dat");
    EXPECT_EQ(ConfigStoreLanguage(6, "X.dat"), -1);
    EXPECT_EQ(ConfigLanguage(), 3);
}

TEST_F(ShellTest, RegistryTextsMatchCaseSensitively) {
    ASSERT_TRUE(RegistryWriteString(kLanguageRegistryKey, kLanguageRegistryValue, "deutsch"));
    EXPECT_EQ(ConfigLanguageFileName(), "English.dat");
    EXPECT_EQ(ConfigReadInt("ReadReg", 0), 1);
    EXPECT_EQ(ConfigLanguage(), 0);
}

// The program's folder may be read-only: logs and changed settings go to the user's folders, and
// the shipped defaults are read until the user changes something.
TEST_F(ShellTest, LogsAndChangedSettingsLeaveTheProgramFolderAlone) {
    {
        std::ofstream o(ProgramFile("Config.dat"), std::ios::binary);
        o << "[register]\r\nShowTip=0\r\nShowWarm=0\r\nScanRaw=1\r\n";
    }
    std::filesystem::permissions(ProgramFile("Config.dat"), std::filesystem::perms::owner_read |
                                                                std::filesystem::perms::group_read |
                                                                std::filesystem::perms::others_read);
    const auto before = ProgramFolder();
    EXPECT_EQ(ConfigShowTip(), 0);  // the shipped value, not the built-in default
    EXPECT_FALSE(testutil::FileExists(UserConfigFile()));

    WriteLog("%s", "program log\r\n");
    LogInfo("trace %d", 7);
    LogError("error %s", "text");
    EXPECT_TRUE(ConfigWriteInt("ScanRaw", 0));
    EXPECT_EQ(ConfigLanguageFileName(), "English.dat");

    EXPECT_EQ(ProgramFolder(), before);
    EXPECT_NE(ReadAll(StateFile("Morvenda.log")).find("program log"), std::string::npos);
    const std::string trace = ReadAll(StateFile("MorvendaTrace.log"));
    EXPECT_NE(trace.find("[info] trace 7"), std::string::npos);
    EXPECT_NE(trace.find("[error] error text"), std::string::npos);
    // The user's file starts from the shipped one: untouched keys keep their shipped values.
    EXPECT_EQ(GetProfileString("register", "ScanRaw", "<none>", UserConfigFile()), "0");
    EXPECT_EQ(GetProfileString("register", "ShowWarm", "<none>", UserConfigFile()), "0");
    EXPECT_EQ(GetProfileString("register", "ReadReg", "<none>", UserConfigFile()), "1");
    const auto mode = std::filesystem::status(UserConfigFile()).permissions();
    EXPECT_NE(mode & std::filesystem::perms::owner_write, std::filesystem::perms::none);
    EXPECT_EQ(ConfigScanRaw(), 0);
    EXPECT_EQ(ConfigShowTip(), 0);
    EXPECT_EQ(ConfigFilePath(), UserConfigFile());
    EXPECT_EQ(LogFilePath("Morvenda.log"), StateFile("Morvenda.log"));
}

// A log that reaches its limit moves to NAME.1 and starts afresh: two files at most, each within
// the limit, and the newest line in the current file.
TEST_F(ShellTest, LogsRotateAtTheirLimit) {
    const std::string text(1900, 'y');
    const u64 lines = kLogFileLimitBytes / text.size() * 2 + 10;
    for (u64 i = 0; i < lines; ++i) WriteLog("%06llu %s\r\n", static_cast<unsigned long long>(i), text.c_str());
    WriteLog("%s", "the last line\r\n");
    const u64 current = std::filesystem::file_size(StateFile("Morvenda.log"));
    const u64 old = std::filesystem::file_size(StateFile("Morvenda.log.1"));
    EXPECT_LE(current, kLogFileLimitBytes);
    EXPECT_LE(old, kLogFileLimitBytes);
    EXPECT_GT(old, kLogFileLimitBytes - 2 * text.size());
    EXPECT_FALSE(testutil::FileExists(StateFile("Morvenda.log.2")));
    const std::string all = ReadAll(StateFile("Morvenda.log"));
    EXPECT_EQ(all.substr(all.size() - 15), "the last line\r\n");
    // No line is lost at the cut: the current file goes on from the rotated one's last line.
    const std::string rotated = ReadAll(StateFile("Morvenda.log.1"));
    const size_t lastLine = rotated.rfind('\n', rotated.size() - 2) + 1;
    EXPECT_EQ(std::stoull(rotated.substr(lastLine + 13, 6)) + 1, std::stoull(all.substr(13, 6)));
}
