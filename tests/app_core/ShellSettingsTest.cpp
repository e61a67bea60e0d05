#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "TestUtil.h"
#include "app/core/Settings.h"
#include "app/core/Shell.h"
#include "app/core/Strings.h"
#include "platform/ProgramDir.h"
#include "platform/Registry.h"

namespace {
// Each test runs with its own program directory and configuration folder.
class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetProgramDir(dir_.Path());
        setenv("XDG_CONFIG_HOME", (dir_.Path() + "/config").c_str(), 1);
    }
    testutil::TempDir dir_;
};
}  // namespace

TEST_F(ShellTest, WriteLogAppendsTimedLinesCutAt2000Characters) {
    const std::string longText(2500, 'x');
    WriteLog("%s", "first\r\n");
    const int n = WriteLog("%s", longText.c_str());
    EXPECT_EQ(n, 13 + 2000);
    std::ifstream in(dir_.File("Morvenda.log"), std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(all.size(), 13u + 7 + 13 + 2000);
    EXPECT_EQ(all.substr(13, 7), "first\r\n");
    EXPECT_EQ(all[2], ':');
    EXPECT_EQ(all.substr(all.size() - 2000), std::string(2000, 'x'));
}

TEST_F(ShellTest, LocalizedTextsTurnBackslashNIntoLineBreaks) {
    {
        std::ofstream o(dir_.File("English.dat"), std::ios::binary);
        o << "[string]\r\nTwoLines=first\\nsecond\r\nFreeOf=free of\r\n";
    }
    SetLanguageFile("English.dat");
    EXPECT_EQ(GetLocalizedString("TwoLines"), "first\nsecond");
    EXPECT_EQ(GetLocalizedString("FreeOf"), "free of");
    EXPECT_EQ(GetLocalizedString("Missing"), "");
    EXPECT_EQ(GetLocalizedString(nullptr), "");
    EXPECT_EQ(SetLanguageFile(nullptr), -1);
    char path[kMaxPath];
    EXPECT_EQ(std::string(FormatPath(path, "%sConfig.dat", GetModuleDir().c_str())), dir_.File("Config.dat"));
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
