// The six language files: every key the program looks up is in each of them, translated, and a
// text used as a format takes the same arguments in every language.
#include <gtest/gtest.h>
#include <tinyxml.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "core/Settings.h"
#include "core/Strings.h"
#include "platform/Profile.h"

namespace {

const std::string kRes = std::string(MORVENDA_SOURCE_DIR) + "/res/";

// Keys whose text is the same in every language: addresses, the product's name, and the names
// of the languages as their speakers write them.
const std::set<std::string> kSameEverywhere = {"caption",     "helpUrl",      "homepageUrl", "homepageText", "TBUrlMenu",   "TBUrl",
                                               "UpgradeIni",  "FACEBOOK",     "TWITER",      "GOOGLE",      "LangEnglish",  "LangJapanese", "LangGerman",
                                               "LangFrench",  "LangSpanish",  "LangPortugueseBr"};
// A few short words are spelled alike in some languages ("OK", "Menu", "No", "Version:").
constexpr size_t kAlikeAllowed = 3;

std::map<std::string, std::string> ReadTexts(const std::string& file) {
    std::map<std::string, std::string> texts;
    for (const std::string& key : GetProfileKeys("string", kRes + file))
        texts[key] = GetProfileString("string", key, "", kRes + file);
    return texts;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The keys the program asks for: literal keys of the text lookups in the sources, and the keys
// the skin names (captions, addresses, and the element names the menu turns into sub-menus).
std::set<std::string> KeysLookedUp() {
    std::set<std::string> keys;
    const std::regex lookup(R"((?:GetString|GetLocalizedString|FormatLocalized|Localized)\(\s*"([A-Za-z0-9_]+)\")");
    for (const char* folder : {"app", "browser", "devices", "engine", "fs", "raw"}) {
        const std::filesystem::path root = std::string(MORVENDA_SOURCE_DIR) + "/" + folder;
        if (!std::filesystem::exists(root)) continue;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".cpp" && ext != ".h") continue;
            const std::string text = ReadAll(entry.path().string());
            for (std::sregex_iterator it(text.begin(), text.end(), lookup), end; it != end; ++it) keys.insert((*it)[1]);
        }
    }
    TiXmlDocument skin;
    EXPECT_TRUE(skin.LoadFile((kRes + "Resource.xml").c_str()));
    std::vector<const TiXmlElement*> pending{skin.RootElement()};
    while (!pending.empty()) {
        const TiXmlElement* e = pending.back();
        pending.pop_back();
        for (const char* attribute : {"caption", "caption1", "caption2", "url"})
            if (const char* v = e->Attribute(attribute); v && *v) keys.insert(v);
        for (const TiXmlElement* c = e->FirstChildElement(); c; c = c->NextSiblingElement()) {
            if (std::string(e->Value()) == "MenuItem" && std::string(c->Value()).find("Language") != std::string::npos)
                keys.insert(c->Value());
            pending.push_back(c);
        }
    }
    return keys;
}

TEST(LanguageFiles, EveryLanguageHoldsEveryKeyTheProgramLooksUp) {
    const std::set<std::string> wanted = KeysLookedUp();
    ASSERT_GT(wanted.size(), 20u);
    for (int n = 0; n <= 5; ++n) {
        const std::string file = LanguageFileForNumber(n);
        const auto texts = ReadTexts(file);
        for (const std::string& key : wanted) {
            auto it = texts.find(key);
            EXPECT_TRUE(it != texts.end() && !it->second.empty()) << file << " lacks " << key;
        }
    }
}

TEST(LanguageFiles, EveryLanguageHasTheKeysOfEnglishTranslatedWithTheSameArguments) {
    const auto english = ReadTexts("English.dat");
    ASSERT_FALSE(english.empty());
    for (int n = 1; n <= 5; ++n) {
        const std::string file = LanguageFileForNumber(n);
        const auto texts = ReadTexts(file);
        size_t alike = 0;
        for (const auto& [key, text] : english) {
            auto it = texts.find(key);
            if (it == texts.end()) {
                ADD_FAILURE() << file << " lacks " << key;
                continue;
            }
            if (!kSameEverywhere.count(key) && it->second == text) ++alike;
            std::string want, got;
            ASSERT_TRUE(FormatConversions(text, &want)) << "English " << key;
            EXPECT_TRUE(FormatConversions(it->second, &got) && got == want) << file << " " << key << ": " << it->second;
        }
        for (const auto& [key, text] : texts) EXPECT_TRUE(english.count(key)) << file << " has " << key << " English lacks";
        EXPECT_LE(alike, kAlikeAllowed) << file << " copies English texts";
    }
}

}  // namespace
