// Every text of every skin item, in every interface language the main menu offers, drawn by the
// item itself with the font it draws with: none may be cut by its item's rectangle. The items
// are read from the shipped skin and the languages from its language menu, so a new item or a
// new language is checked without being named here.
#include <gtest/gtest.h>
#include <tinyxml.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <sstream>
#include <string>
#include <vector>

#include "app/ui/SkinItems.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "platform/ui/Dc.h"
#include "platform/ui/Window.h"

namespace {

void EnsureApp() {
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    if (!qApp) new QApplication(argc, argv);
}

struct Language {
    int index;
    std::string file;
};

// The languages of the skin's language menu, numbered in their order.
std::vector<Language> MenuLanguages(const TiXmlElement* menu) {
    std::vector<Language> out;
    for (const TiXmlElement* e = menu ? menu->FirstChildElement() : nullptr; e; e = e->NextSiblingElement()) {
        if (std::string(e->Value()).find("Language") == std::string::npos) continue;
        for (const TiXmlElement* l = e->FirstChildElement(); l; l = l->NextSiblingElement())
            if (const char* file = l->Attribute("file")) out.push_back({static_cast<int>(out.size()), file});
    }
    return out;
}

// Draws every item of the element as its window would and lists the texts a drawing cut;
// counts the texts drawn.
std::vector<std::string> CutTextsOf(const TiXmlElement* element, const std::string& where, int& drawn) {
    std::vector<std::string> cuts;
    UiCtrl::ItemMap items;
    UiCtrl::LoadSkinItemsFrom(items, element, nullptr);
    for (auto& [id, item] : items) {
        const RECT r = item->GetRect();
        QImage canvas(std::max(r.right, 1) + 1, std::max(r.bottom, 1) + 1, QImage::Format_ARGB32);
        canvas.fill(Qt::white);
        QPainter painter(&canvas);
        ui::Dc dc(&painter);
        const ui::DrawnTextObserver previous = ui::SetDrawnTextObserver([&, id = id](const ui::DrawnText& cut) {
            ++drawn;
            if (!cut.cut) return;
            std::ostringstream line;
            line << where << " item " << id << ": \"" << cut.text << "\" needs " << cut.neededWidth << " x " << cut.neededHeight
                 << " px in " << cut.fontFamily << ", has " << cut.rect.Width() << " x " << cut.rect.Height();
            cuts.push_back(line.str());
        });
        item->Draw(&dc);
        ui::SetDrawnTextObserver(previous);
    }
    return cuts;
}

TEST(SkinTextFit, EveryItemTextOfTheSkinFitsItsItemInEveryLanguage) {
    EnsureApp();
    TiXmlDocument skin;
    ASSERT_TRUE(skin.LoadFile((std::string(MORVENDA_SOURCE_DIR) + "/res/Resource.xml").c_str(), TIXML_ENCODING_UTF8));
    const std::vector<Language> languages = MenuLanguages(skin.RootElement()->FirstChildElement("MenuItem"));
    ASSERT_EQ(languages.size(), 6u);
    int itemsWithText = 0, drawn = 0;
    std::vector<std::string> cuts;
    for (const Language& language : languages) {
        ASSERT_GT(UiResources::Instance().SetLanguage(language.index, language.file.c_str()), 0) << language.file;
        SetUiLanguage(static_cast<u32>(language.index), language.file.c_str());
        for (const TiXmlElement* e = skin.RootElement()->FirstChildElement(); e; e = e->NextSiblingElement()) {
            for (const TiXmlElement* i = e->FirstChildElement("Item"); i; i = i->NextSiblingElement("Item"))
                if (i->Attribute("type") && i->Attribute("caption")) ++itemsWithText;
            const std::vector<std::string> found = CutTextsOf(e, language.file + " " + e->Value(), drawn);
            cuts.insert(cuts.end(), found.begin(), found.end());
        }
    }
    UiResources::Instance().SetLanguage(0, "English.dat");
    SetUiLanguage(0, "English.dat");
    EXPECT_GE(drawn, itemsWithText) << "not every texted item of the skin drew its text";
    std::string all;
    for (const std::string& c : cuts) all += c + "\n";
    EXPECT_TRUE(cuts.empty()) << cuts.size() << " cut texts:\n" << all;
}

}  // namespace
