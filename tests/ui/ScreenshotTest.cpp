// Writes screenshots of the skinned dialogs and a page with every item kind into
// <build>/screenshots/ for review.
#include <gtest/gtest.h>
#include <tinyxml.h>

#include <map>
#include <tuple>

#include "UiTestEnv.h"
#include "app/ui/MessageBox.h"
#include "app/ui/SkinItems.h"
#include "app/ui/UiSdkWndBase.h"

namespace {

bool Save(QWidget* w, const std::string& name) {
    const QImage img = w->grab().toImage();
    return !img.isNull() && img.save(QString::fromStdString(uitest::ScreenshotDir() + "/" + name));
}

const char* kShowcase = R"(<Showcase>
  <Item id="10" type="3" dUserDefine="1" left="24" top="24" right="134" bottom="64" caption="OK"/>
  <Item id="11" type="3" dUserDefine="0" left="150" top="30" right="330" bottom="58" caption="Cancel"/>
  <Item id="12" type="3" dUserDefine="0" left="346" top="30" right="426" bottom="58" caption="TipMenu"/>
  <Item id="20" type="7" left="24" top="90" right="260" bottom="108" caption="TipRestore"/>
  <Item id="21" type="7" left="24" top="116" right="260" bottom="134" caption="TipMinimize"/>
  <Item id="30" type="2" left="280" top="84" right="336" bottom="140" normal="245" over="245" press="361"/>
  <Item id="31" type="2" left="350" top="84" right="406" bottom="140" normal="245" over="245" press="361" radio="1"/>
  <Item id="40" type="4" left="24" top="150" right="200" bottom="170" color="8a5a05" caption="TipImport"/>
  <Item id="50" type="5" left="24" top="180" right="400" bottom="200" color="212121" caption="caption"/>
  <Item id="60" type="6" left="430" top="90" right="460" bottom="120" normal="550" over="549" click="551" disable="551"/>
  <Item id="61" type="6" left="470" top="90" right="500" bottom="120" normal="550" over="549" click="551" disable="551"/>
</Showcase>)";

class Showcase : public UiCtrl::UiSdkWndBase {
public:
    Showcase() : UiSdkWndBase("Showcase", true, true, 0) {}
    int Create(HWND parent, void* instance, RECT rect, u32 style) override {
        const int r = UiSdkWndBase::Create(parent, instance, rect, style);
        doc.Parse(kShowcase);
        UiCtrl::LoadSkinItemsFrom(items_, doc.RootElement(), GetHwnd());
        return r;
    }
    TiXmlDocument doc;
};

}  // namespace

TEST(Screenshots, PopupDialog) {
    struct Popup : HomeBaseDialog {
        Popup() : HomeBaseDialog(kPopupTemplate, nullptr, 0) {
            resize(420, 260);
            setWindowTitle("Recovery settings");
        }
        int DrawBackground(ui::Dc* dc) override {
            PaintWhiteClientArea(Handle(), dc);
            return 0;
        }
    } d;
    ASSERT_TRUE(d.Create());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    UiCtrl::UiItem* close = d.GetCaptionItem(148);
    EXPECT_TRUE(Save(&d, "popup_dialog.png"));
    close->SetState(UiCtrl::kStateHover);
    EXPECT_TRUE(Save(&d, "popup_dialog_close_hover.png"));
}

TEST(Screenshots, MainCaption) {
    HomeBaseDialog d(HomeBaseDialog::kMainTemplate, nullptr, 0);
    ASSERT_TRUE(d.Create());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    d.GetCaptionItem(139)->SetState(UiCtrl::kStateHover);
    EXPECT_TRUE(Save(&d, "main_window_frame.png"));
}

TEST(Screenshots, MessageBoxes) {
    // Each kind with a text the program shows in it, in English, German and Japanese; every kind
    // shows the program's one picture, the kind choosing only the buttons.
    std::map<std::string, QImage> pictures;
    for (const auto& [number, file, suffix] :
         {std::tuple{1, "Japanese.dat", "_japanese"}, {2, "Deutsch.dat", "_german"}, {0, "English.dat", ""}}) {
        UiResources::Instance().SetLanguage(number, file);
        for (const auto& [kind, key, name] : {std::tuple{u32(MB_YESNO | MB_ICONQUESTION), "ExitNow", "question"},
                                              {u32(MB_ICONWARNING), "RecoverLostDevice", "warning"},
                                              {u32(MB_ICONINFORMATION), "ExportOk", "info"}}) {
            const std::string shot = std::string("message_box_") + name + suffix + ".png";
            bool saved = false;
            uiwait::ModalWatch answer([&](QWidget* w) {
                saved = Save(w, shot);
                pictures[shot] = w->grab().toImage().copy(HomeBaseDialog::ClientToWindowX(31), HomeBaseDialog::ClientToWindowY(39), 54, 54);
                static_cast<ui::Dialog*>(dynamic_cast<QZMMessageBox*>(w))->EndDialog(1);
            });
            ShowMessageBox(nullptr, UiResources::Instance().GetString(key).c_str(), nullptr, kind, 0);
            EXPECT_TRUE(saved) << shot;
        }
    }
    ASSERT_EQ(pictures.size(), 9u);
    EXPECT_NE(pictures.begin()->second.pixel(27, 27), qRgb(255, 255, 255));  // a picture, not the box's white
    for (const auto& [shot, picture] : pictures) EXPECT_TRUE(picture == pictures.begin()->second) << shot;
}

TEST(Screenshots, PageWithEveryItemKind) {
    uitest::RecordingWindow host;
    host.resize(560, 280);
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    Showcase page;
    page.Create(host.Handle(), nullptr, ui::MakeRect(0, 0, 560, 280), WS_VISIBLE | WS_CHILD);
    dynamic_cast<UiCtrl::UiCheckBtn*>(page.GetItem(20))->SetChecked(true);
    dynamic_cast<UiCtrl::UiCheckBtnWithoutWnd*>(page.GetItem(31))->SetChecked(true);
    page.GetItem(12)->Enable(false);
    page.GetItem(11)->SetState(UiCtrl::kStateHover);
    page.GetItem(30)->SetState(UiCtrl::kStateHover);
    page.GetItem(61)->SetState(UiCtrl::kStateHover);
    uiwait::Flush();
    EXPECT_TRUE(Save(page.Widget(), "page_items.png"));
}
