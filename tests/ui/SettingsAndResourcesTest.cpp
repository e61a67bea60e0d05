// Config.dat keys and the first-run language, the interface language calls, and the UI
// resources (texts, fonts, images, skin lookup).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "TestUtil.h"
#include "UiTestEnv.h"
#include "core/Settings.h"
#include "core/Strings.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "platform/ProgramDir.h"
#include "platform/Profile.h"
#include "platform/Registry.h"

namespace {

// A program directory and a configuration folder of the test's own.
class IsolatedConfig : public ::testing::Test {
protected:
    void SetUp() override {
        oldDir_ = GetProgramDir();
        const char* x = std::getenv("XDG_CONFIG_HOME");
        oldXdg_ = x ? x : "";
        SetProgramDir(dir_.Path());
        setenv("XDG_CONFIG_HOME", (dir_.Path() + "/cfg").c_str(), 1);
    }
    void TearDown() override {
        SetProgramDir(oldDir_);
        if (oldXdg_.empty()) unsetenv("XDG_CONFIG_HOME");
        else setenv("XDG_CONFIG_HOME", oldXdg_.c_str(), 1);
    }
    // Changed settings go to the user's configuration folder, never beside the program.
    std::string UserConfig() const { return dir_.File("cfg/Morvenda/Config.dat"); }
    std::string Config(const char* key) { return GetProfileString("register", key, "<none>", UserConfig()); }

    testutil::TempDir dir_;
    std::string oldDir_, oldXdg_;
};

}  // namespace

TEST_F(IsolatedConfig, MissingKeysReadTheirDefaultsAndWritesCreateTheFile) {
    EXPECT_EQ(ConfigLanguage(), 0);
    EXPECT_EQ(ConfigScanRaw(), 1);
    EXPECT_EQ(ConfigRevise(), 1);
    EXPECT_EQ(ConfigShowTip(), 1);
    EXPECT_EQ(ConfigShowWarm(), 1);
    EXPECT_EQ(ConfigCanSwitchLanguage(), 1);
    EXPECT_EQ(ConfigReadInt("ReadReg", 0), 0);
    EXPECT_FALSE(testutil::FileExists(UserConfig()));
    EXPECT_TRUE(ConfigWriteInt("ShowTip", 0));
    EXPECT_EQ(ConfigShowTip(), 0);
    EXPECT_EQ(Config("ShowTip"), "0");
    EXPECT_FALSE(testutil::FileExists(dir_.File("Config.dat")));
    EXPECT_EQ(ConfigShowWarm(), 1);  // other keys keep their defaults
}

TEST_F(IsolatedConfig, FirstRunTakesTheLanguageFromTheRegistryOnce) {
    ASSERT_TRUE(RegistryWriteString(kLanguageRegistryKey, kLanguageRegistryValue, "Japanese"));
    char name[kMaxPath];
    EXPECT_GT(GetLanguageFileName(name), 0);
    EXPECT_STREQ(name, "Japanese.dat");
    EXPECT_EQ(Config("ReadReg"), "1");
    EXPECT_EQ(Config("Language"), "1");
    EXPECT_EQ(Config("LanguageName"), "Japanese.dat");
    EXPECT_EQ(GetUiLanguage(), 1u);
    // The user switches to French; the registry is not read again.
    EXPECT_EQ(SetUiLanguage(3, "French.dat"), 0);
    ASSERT_TRUE(RegistryWriteString(kLanguageRegistryKey, kLanguageRegistryValue, "Deutsch"));
    GetLanguageFileName(name);
    EXPECT_STREQ(name, "French.dat");
    EXPECT_EQ(GetUiLanguage(), 3u);
}

TEST_F(IsolatedConfig, RegistryTextsMatchCaseSensitivelyAndAMissingKeyStillSetsReadReg) {
    ASSERT_TRUE(RegistryWriteString(kLanguageRegistryKey, kLanguageRegistryValue, "deutsch"));
    char name[kMaxPath];
    GetLanguageFileName(name);
    EXPECT_STREQ(name, "English.dat");
    EXPECT_EQ(Config("ReadReg"), "1");
    EXPECT_EQ(Config("Language"), "<none>");
    EXPECT_EQ(Config("LanguageName"), "<none>");
}

TEST_F(IsolatedConfig, NoRegistryValueKeepsEnglish) {
    char name[kMaxPath];
    GetLanguageFileName(name);
    EXPECT_STREQ(name, "English.dat");
    EXPECT_EQ(Config("ReadReg"), "1");
    EXPECT_EQ(GetUiLanguage(), 0u);
}

TEST_F(IsolatedConfig, SetUiLanguageRefusesNumbersAboveFive) {
    EXPECT_EQ(SetUiLanguage(6, "Other.dat"), -1);
    EXPECT_FALSE(testutil::FileExists(UserConfig()));
    EXPECT_EQ(SetUiLanguage(5, "Portuguesa(Br).dat"), 0);
    EXPECT_EQ(GetUiLanguage(), 5u);
    EXPECT_EQ(Config("LanguageName"), "Portuguesa(Br).dat");
    EXPECT_EQ(Config("Language"), "5");
}

TEST(ShippedConfig, DefaultsFileHoldsEveryKeyWithItsDefault) {
    const std::string file = std::string(MORVENDA_SOURCE_DIR) + "/res/Config.dat";
    const std::pair<const char*, const char*> keys[] = {
        {"Language", "0"}, {"LanguageName", "English.dat"}, {"ReadReg", "0"}, {"CanSwitchLanguage", "1"},
        {"ShowTip", "1"},  {"ShowWarm", "1"},               {"ScanRaw", "1"}, {"bRevise", "1"}};
    for (const auto& [k, v] : keys) EXPECT_EQ(GetProfileString("register", k, "<none>", file), v) << k;
}

TEST(UiResources, TextsFontsAndImages) {
    UiResources& res = UiResources::Instance();
    EXPECT_EQ(res.GetString("caption"), "Morvenda Data Recovery");
    EXPECT_EQ(res.GetString("NoSuchKey"), "");
    EXPECT_EQ(res.GetString(nullptr), "");
    EXPECT_EQ(res.SetLanguage(0, nullptr), -1);

    FontHandle f1 = res.GetFont(16, 500, false);
    EXPECT_EQ(res.GetFont(16, 500, false), f1);
    EXPECT_NE(res.GetFont(16, 500, true), f1);
    EXPECT_EQ(f1->family(), "Arial");
    EXPECT_GT(res.SetLanguage(1, "English.dat"), 0);
    FontHandle f2 = res.GetFont(16, 500, false);
    EXPECT_NE(f2, f1);
    EXPECT_EQ(f2->family(), "Meiryo UI");
    EXPECT_EQ(f1->family(), "Arial");  // an old handle stays usable
    res.SetLanguage(0, "English.dat");
    EXPECT_EQ(res.GetFont(16, 500, false)->family(), "Arial");

    PictureHandle icon = res.LoadImageFromResource(kResTypeBitmap, 361);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(res.LoadImageFromResource(kResTypeBitmap, 361), icon);
    EXPECT_EQ(res.LoadImageFromResource(kResTypeBitmap, 9999), nullptr);
    EXPECT_NE(res.LoadImageFromResource(kResTypeJpeg, 560), nullptr);
    EXPECT_EQ(res.DrawImage(nullptr, icon, 0, 0, 10, 10, 0), -2);
    QImage img(20, 20, QImage::Format_ARGB32);
    QPainter p(&img);
    ui::Dc dc(&p);
    EXPECT_EQ(res.DrawImage(&dc, nullptr, 0, 0, 10, 10, 0), -2);
    EXPECT_EQ(res.DrawImage(&dc, icon, 0, 0, 10, 10, 0xFFFFFF), 1);
}

TEST(UiResources, EveryImageTheToolkitNamesIsPresent) {
    for (int id : {193, 195, 199, 200, 201, 202, 203, 204, 205, 245, 361, 383, 384, 385, 386, 492, 525, 530, 531, 532, 533,
                   541, 549, 550, 551})
        EXPECT_NE(UiResources::Instance().LoadImageFromResource(kResTypeBitmap, id), nullptr) << id;
    EXPECT_EQ(UiResources::Instance().LoadImageFromResource(kResTypeBitmap, 525)->size(), QSize(900, 570));
    EXPECT_EQ(UiResources::Instance().LoadImageFromResource(kResTypeBitmap, 541)->size(), QSize(900, 50));
    EXPECT_EQ(UiResources::Instance().LoadImageFromResource(kResTypeBitmap, 193)->size(), QSize(13, 13));
}

TEST(UiResources, SkinFileElements) {
    for (const char* name : {"ShowAd", "HomeCaption", "PopBaseCaption", "MessageBox"})
        EXPECT_NE(FindWindowResource(name), nullptr) << name;
    EXPECT_EQ(FindWindowResource("NoSuchWindow"), nullptr);
    EXPECT_EQ(SkinInt(FindWindowResource("MessageBox"), "width"), 420);
    EXPECT_EQ(SkinInt(FindWindowResource("MessageBox"), "nothing"), 0);
}

TEST(LocalizedStrings, LineBreakPairsAndConcurrentLookupsWhileTheLanguageSwitches) {
    testutil::TempDir dir;
    {
        FILE* f = std::fopen(dir.File("Two.dat").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("[string]\nmsg=first\\nsecond\ncaption=Two\n", f);
        std::fclose(f);
    }
    // The language file named relative to the program directory.
    const std::string two = std::filesystem::relative(dir.File("Two.dat"), GetProgramDir()).string();
    SetLanguageFile(two.c_str());
    EXPECT_EQ(GetLocalizedString("msg"), "first\nsecond");
    // The UI thread switches languages while a scan thread looks texts up.
    std::atomic<bool> stop{false};
    std::atomic<int> odd{0};
    std::atomic<int> seen{0};
    std::thread scan([&] {
        while (!stop.load()) {
            const std::string s = GetLocalizedString("caption");
            if (s != "Two" && s != "Morvenda Data Recovery") ++odd;
            ++seen;
        }
    });
    for (int i = 0; i < 300 || seen.load() < 50; ++i) SetLanguageFile(i % 2 ? "English.dat" : two.c_str());
    stop = true;
    scan.join();
    EXPECT_EQ(odd.load(), 0);
    SetLanguageFile("English.dat");
    EXPECT_EQ(GetLocalizedString("caption"), "Morvenda Data Recovery");
}
