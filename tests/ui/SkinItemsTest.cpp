// Pages and their skin items: reading elements, drawing states, hit tests and the commands
// items post to their page.
#include <gtest/gtest.h>
#include <tinyxml.h>

#include <QFontMetrics>

#include "UiTestEnv.h"
#include "app/ui/UiResources.h"
#include "app/ui/UiSdkWndBase.h"

namespace {

const char* kPageXml = R"(<TestPage>
  <Item id="10" type="3" dUserDefine="1" left="20" top="20" right="130" bottom="60" caption="OK"/>
  <Item id="11" type="3" dUserDefine="0" left="150" top="26" right="330" bottom="54" caption="Cancel"/>
  <Item id="20" type="7" left="20" top="80" right="300" bottom="100" caption="TipRestore"/>
  <Item id="30" type="2" left="20" top="110" right="84" bottom="174" normal="245" over="245" press="361" caption1="TipMenu"/>
  <Item id="40" type="4" left="110" top="120" right="200" bottom="140" color="8a5a05" caption="TipImport" url="NoSuchUrlKey"/>
  <Item id="41" type="4" left="110" top="150" right="200" bottom="170" url="helpUrl" MaxRight="300"/>
  <Item id="50" type="5" left="340" top="80" right="500" bottom="100" color="212121" caption="caption"/>
  <Item id="60" type="6" left="350" top="120" right="380" bottom="150" normal="550" over="549" click="551" disable="551"/>
  <Item id="70" type="9" left="0" top="0" right="10" bottom="10"/>
  <Item id="0" type="3" left="0" top="0" right="10" bottom="10"/>
  <Item id="61" type="3" left="0" top="0" right="1" bottom="1"/>
  <Item id="61" type="6" left="400" top="120" right="430" bottom="150" normal="560" over="561" click="562"/>
</TestPage>)";

class TestPage : public UiCtrl::UiSdkWndBase {
public:
    TestPage() : UiSdkWndBase("TestPage", true, true, 0) {}
    int Create(HWND parent, void* instance, RECT rect, u32 style) override {
        const int r = UiSdkWndBase::Create(parent, instance, rect, style);
        doc.Parse(kPageXml);
        UiCtrl::LoadSkinItemsFrom(items_, doc.RootElement(), GetHwnd());
        return r;
    }
    LRESULT WndProc(u32 message, WPARAM wParam, LPARAM lParam) override {
        const LRESULT r = UiSdkWndBase::WndProc(message, wParam, lParam);
        if (message == WM_COMMAND) commands.push_back({static_cast<int>(LOWORD(wParam)), lParam});
        return r;
    }
    std::vector<std::pair<int, LPARAM>> commands;
    TiXmlDocument doc;
};

struct PageFixture : ::testing::Test {
    void SetUp() override {
        host.resize(560, 260);
        host.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
        page.Create(host.Handle(), nullptr, ui::MakeRect(0, 0, 560, 260), WS_VISIBLE | WS_CHILD);
        uiwait::Flush();
    }
    QWidget* W() { return page.Widget(); }
    QPoint At(int id) {
        const RECT r = page.GetItem(id)->GetRect();
        return QPoint((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    }
    void Click(int id) {
        QTest::mouseMove(W(), At(id));
        QTest::mouseClick(W(), Qt::LeftButton, {}, At(id));
        uiwait::Flush();
    }
    uitest::RecordingWindow host;
    TestPage page;
};

}  // namespace

TEST(LoadSkinItems, ReadsKnownTypesSkipsTheRestAndKeepsTheLaterDuplicate) {
    TiXmlDocument doc;
    doc.Parse(kPageXml);
    UiCtrl::ItemMap items;
    EXPECT_EQ(UiCtrl::LoadSkinItemsFrom(items, doc.RootElement(), nullptr), 0);
    EXPECT_EQ(UiCtrl::LoadSkinItemsFrom(items, nullptr, nullptr), -1);
    EXPECT_EQ(UiCtrl::LoadSkinItems(items, "NoSuchElement", nullptr), -1);
    EXPECT_EQ(items.count(70), 0u);  // unknown type
    EXPECT_EQ(items.count(0), 0u);   // id 0
    ASSERT_EQ(items.count(61), 1u);
    EXPECT_EQ(items[61]->Type(), 6);  // the later element wins
    EXPECT_NE(dynamic_cast<UiCtrl::UIPicButton*>(items[61].get()), nullptr);
    EXPECT_EQ(items[10]->Type(), 3);
    EXPECT_EQ(items[10]->Caption(), "OK");
    EXPECT_EQ(dynamic_cast<UiCtrl::UiBtnWithoutWnd*>(items[10].get())->Text(), "OK");
    EXPECT_EQ(dynamic_cast<UiCtrl::UiBtnWithoutWnd*>(items[10].get())->Style(), 1);
    // A link whose caption is empty shows its address, and is fitted to the text within MaxRight.
    auto* link = dynamic_cast<UiCtrl::UILinkItem*>(items[41].get());
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->Text(), "https://www.morvenda.example/help");
    EXPECT_LE(link->GetRect().right, 300);
    // A label is as wide as its text in the measuring font (height 16, weight 100), not as the
    // skin's right edge; the width comes from this machine's fonts, whichever they are.
    auto* label = dynamic_cast<UiCtrl::UIStaticItem*>(items[50].get());
    EXPECT_EQ(label->Text(), "Morvenda Data Recovery");
    const QFontMetrics measuring(*UiResources::Instance().GetFont(16, 100, false));
    const int width = measuring.horizontalAdvance(QStringLiteral("Morvenda Data Recovery"));
    ASSERT_NE(340 + width, 500) << "the text happens to fill the skin's width: the test cannot tell them apart";
    EXPECT_EQ(label->GetRect().right, 340 + width);
    EXPECT_EQ(label->GetTextRect().right, label->GetRect().right);
}

TEST_F(PageFixture, ItemsPostTheirIdsAndTheCheckBoxItsNewState) {
    Click(10);
    Click(11);
    Click(60);
    Click(40);
    ASSERT_EQ(page.commands.size(), 4u);
    EXPECT_EQ(page.commands[0], (std::pair<int, LPARAM>{10, 0}));
    EXPECT_EQ(page.commands[1], (std::pair<int, LPARAM>{11, 0}));
    EXPECT_EQ(page.commands[2], (std::pair<int, LPARAM>{60, 0}));
    EXPECT_EQ(page.commands[3], (std::pair<int, LPARAM>{40, 0}));
    page.commands.clear();
    // The check box toggles within its 160 x 16 area at the top-left only.
    const RECT cb = page.GetItem(20)->GetRect();
    QTest::mouseClick(W(), Qt::LeftButton, {}, QPoint(cb.left + 5, cb.top + 5));
    uiwait::Flush();
    QTest::mouseClick(W(), Qt::LeftButton, {}, QPoint(cb.left + 5, cb.top + 5));
    uiwait::Flush();
    QTest::mouseClick(W(), Qt::LeftButton, {}, QPoint(cb.left + 200, cb.top + 5));
    uiwait::Flush();
    ASSERT_EQ(page.commands.size(), 2u);
    EXPECT_EQ(page.commands[0], (std::pair<int, LPARAM>{20, 1}));
    EXPECT_EQ(page.commands[1], (std::pair<int, LPARAM>{20, 0}));
    // The picture toggle toggles on press.
    page.commands.clear();
    auto* toggle = dynamic_cast<UiCtrl::UiCheckBtnWithoutWnd*>(page.GetItem(30));
    QTest::mousePress(W(), Qt::LeftButton, {}, At(30));
    EXPECT_TRUE(toggle->IsChecked());
    QTest::mouseRelease(W(), Qt::LeftButton, {}, At(30));
    uiwait::Flush();
    ASSERT_EQ(page.commands.size(), 1u);
    EXPECT_EQ(page.commands[0].first, 30);
}

TEST_F(PageFixture, HoverPressAndLeaveMoveTheStates) {
    UiCtrl::UiItem* button = page.GetItem(10);
    QTest::mouseMove(W(), At(10));
    EXPECT_EQ(button->GetState(), UiCtrl::kStateHover);
    EXPECT_EQ(page.HoverItem(), button);
    QTest::mousePress(W(), Qt::LeftButton, {}, At(10));
    EXPECT_EQ(button->GetState(), UiCtrl::kStatePressed);
    QTest::mouseRelease(W(), Qt::LeftButton, {}, At(10));
    EXPECT_EQ(button->GetState(), UiCtrl::kStatePressed);  // until the mouse leaves the item
    QTest::mouseMove(W(), QPoint(540, 240));
    EXPECT_EQ(button->GetState(), UiCtrl::kStateNormal);
    EXPECT_EQ(page.HoverItem(), nullptr);
}

TEST_F(PageFixture, InvisibleItemsAreNotHitAndDisabledOnesAreHoveredButNotPressed) {
    page.GetItem(60)->SetVisible(false);
    Click(60);
    EXPECT_TRUE(page.commands.empty());
    UiCtrl::UiItem* b = page.GetItem(11);
    b->Enable(false);
    QTest::mouseMove(W(), At(11));
    EXPECT_EQ(page.HoverItem(), b);
    QTest::mouseClick(W(), Qt::LeftButton, {}, At(11));
    uiwait::Flush();
    EXPECT_EQ(b->GetState(), UiCtrl::kStateDisabled);
    EXPECT_TRUE(page.commands.empty());
}

TEST_F(PageFixture, ItemsDrawTheirStatesIntoThePage) {
    // The accent button's face changes colour with its state.
    auto colourAt = [&](int id) {
        const QImage img = W()->grab().toImage();
        const RECT r = page.GetItem(id)->GetRect();
        return img.pixelColor(r.left + 8 - 1, r.top + 5);  // the page is drawn 1 pixel left
    };
    W()->repaint();
    const QColor normal = colourAt(10);
    page.GetItem(10)->SetState(UiCtrl::kStateHover);
    W()->repaint();
    const QColor hover = colourAt(10);
    page.GetItem(10)->Enable(false);
    W()->repaint();
    const QColor disabled = colourAt(10);
    EXPECT_NE(normal, hover);
    EXPECT_NE(normal, disabled);
    EXPECT_NE(hover, disabled);
    EXPECT_EQ(page.GetItem(10)->GetState(), UiCtrl::kStateDisabled);
    // The band at the bottom is drawn from the gradient and the picture.
    const QImage img = W()->grab().toImage();
    EXPECT_NE(img.pixelColor(100, 255), QColor(Qt::white));
    EXPECT_EQ(img.pixelColor(100, 100), QColor(Qt::white));
}

TEST(PushButton, SlicesAboveTheStretchLimitAndStretchesAtIt) {
    // A button exactly W + 16 wide is stretched; one pixel wider is drawn in three slices, whose
    // middle repeats the strip's flat part: the right end keeps its 5-pixel edge.
    UiCtrl::UiBtnWithoutWnd first(1);
    first.Setup(nullptr, 1, 3, 0, 0, 110, 40);
    QImage img(400, 60, QImage::Format_ARGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    ui::Dc dc(&p);
    first.Draw(&dc);
    const int W = UiCtrl::UiBtnWithoutWnd::SliceWidth();
    ASSERT_GT(W, 0);
    UiCtrl::UiBtnWithoutWnd wide(1);
    wide.Setup(nullptr, 2, 3, 0, 0, 300, 40);
    img.fill(Qt::white);
    wide.Draw(&dc);
    p.end();
    // The border pixel sits at the right end of a sliced button, not stretched away.
    const QColor edge = img.pixelColor(299, 20);
    const QColor inside = img.pixelColor(150, 20);
    EXPECT_NE(edge, inside);
    EXPECT_NE(inside, QColor(Qt::white));
}
