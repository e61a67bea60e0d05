// The skinned dialog base built from the shipped Resource.xml: caption layout, caption item
// states and commands, maximise/restore, dragging and the keyboard rules.
#include <gtest/gtest.h>

#include <QScreen>

#include "UiTestEnv.h"
#include "app/ui/HomeBaseDialog.h"

namespace {

class TestDialog : public HomeBaseDialog {
public:
    explicit TestDialog(int templateId) : HomeBaseDialog(templateId, nullptr, 0) {
        if (templateId != kMainTemplate) resize(400, 260);
        setWindowTitle("Skinned dialog");
    }
    bool OnCommand(WPARAM wParam, LPARAM lParam) override {
        commands.push_back(LOWORD(wParam));
        return HomeBaseDialog::OnCommand(wParam, lParam);
    }
    void OnCaptionResize(int maximised) override { resizes.push_back(maximised); }
    void Init() {
        ASSERT_TRUE(Create());
        ASSERT_TRUE(QTest::qWaitForWindowExposed(this));
    }
    std::vector<int> commands;
    std::vector<int> resizes;
};

QPoint Centre(const RECT& r) { return QPoint((r.left + r.right) / 2, (r.top + r.bottom) / 2); }

}  // namespace

TEST(HomeBaseDialog, PopupCaptionHasTheCloseItemAtTheRightEdge) {
    TestDialog d(HomeBaseDialog::kPopupTemplate);
    d.Init();
    ASSERT_EQ(d.CaptionItems().size(), 1u);
    UiCtrl::UiItem* close = d.GetCaptionItem(148);
    ASSERT_NE(close, nullptr);
    const int w = d.width() - 1;
    EXPECT_EQ(close->GetRect(), ui::MakeRect(w - 30, 0, w, 30));
    EXPECT_TRUE(close->IsVisible());
    EXPECT_STREQ(close->GetName(), "Close");  // the localized caption key
    EXPECT_FALSE(d.IsWideCaption());
}

TEST(HomeBaseDialog, MainCaptionPlacesItemsRightToLeftWithSharedPlaces) {
    TestDialog d(HomeBaseDialog::kMainTemplate);
    d.Init();
    const int w = d.width() - 1;  // 899
    EXPECT_EQ(d.GetCaptionItem(148)->GetRect(), ui::MakeRect(w - 30, 0, w, 30));
    // Each next place: right = previous left - 6, width from the previous element.
    const RECT max = ui::MakeRect(w - 66, 0, w - 36, 30);
    EXPECT_EQ(d.GetCaptionItem(133)->GetRect(), max);
    EXPECT_EQ(d.GetCaptionItem(136)->GetRect(), max);  // shares the place of 133
    EXPECT_EQ(d.GetCaptionItem(139)->GetRect(), ui::MakeRect(w - 102, 0, w - 72, 30));
    EXPECT_EQ(d.GetCaptionItem(177)->GetRect(), ui::MakeRect(w - 138, 0, w - 108, 30));
    EXPECT_EQ(d.GetCaptionItem(142)->GetRect(), ui::MakeRect(w - 174, 0, w - 144, 30));
    EXPECT_EQ(d.GetCaptionItem(299)->GetRect(), d.GetCaptionItem(142)->GetRect());
    EXPECT_FALSE(d.GetCaptionItem(136)->IsVisible());
    // The main window creates 133 and 142 disabled.
    EXPECT_FALSE(d.GetCaptionItem(133)->IsEnabled());
    EXPECT_EQ(d.GetCaptionItem(133)->GetState(), UiCtrl::kStateDisabled);
    EXPECT_TRUE(d.GetCaptionItem(139)->IsEnabled());
    EXPECT_EQ(d.windowTitle().toStdString(), "Morvenda Data Recovery");
}

TEST(HomeBaseDialog, HoverPressReleaseChangeStateAndPostTheCommand) {
    TestDialog d(HomeBaseDialog::kMainTemplate);
    d.Init();
    UiCtrl::UiItem* minimise = d.GetCaptionItem(139);
    const QPoint p = Centre(minimise->GetRect());
    QTest::mouseMove(&d, p);
    EXPECT_EQ(minimise->GetState(), UiCtrl::kStateHover);
    QTest::mousePress(&d, Qt::LeftButton, {}, p);
    EXPECT_EQ(minimise->GetState(), UiCtrl::kStatePressed);
    const QPoint before = d.pos();
    QTest::mouseRelease(&d, Qt::LeftButton, {}, p);
    EXPECT_EQ(minimise->GetState(), UiCtrl::kStateHover);
    EXPECT_TRUE(d.commands.empty());  // posted, not sent
    uiwait::Flush();
    ASSERT_EQ(d.commands.size(), 1u);
    EXPECT_EQ(d.commands[0], 139);
    EXPECT_EQ(d.pos(), before);  // a press on an item never drags
    // Leaving the strip for the client area resets the item.
    QTest::mouseMove(&d, QPoint(300, 200));
    EXPECT_EQ(minimise->GetState(), UiCtrl::kStateNormal);
}

TEST(HomeBaseDialog, ClickOnDisabledItemNeitherPressesNorPosts) {
    TestDialog d(HomeBaseDialog::kMainTemplate);
    d.Init();
    UiCtrl::UiItem* max = d.GetCaptionItem(133);  // disabled on the main window
    const QPoint p = Centre(max->GetRect());
    QTest::mousePress(&d, Qt::LeftButton, {}, p);
    EXPECT_EQ(max->GetState(), UiCtrl::kStateDisabled);
    QTest::mouseRelease(&d, Qt::LeftButton, {}, p);
    uiwait::Flush();
    EXPECT_TRUE(d.commands.empty());
}

TEST(HomeBaseDialog, CloseItemEndsAPopupWithCancel) {
    TestDialog d(HomeBaseDialog::kPopupTemplate);
    uiwait::ModalWatch answer([&](QWidget*) { QTest::mouseClick(&d, Qt::LeftButton, {}, Centre(d.GetCaptionItem(148)->GetRect())); });
    EXPECT_EQ(d.DoModal(), IDCANCEL);
    EXPECT_EQ(answer.Seen(), 1);
    EXPECT_EQ(d.commands, std::vector<int>{148});
}

TEST(HomeBaseDialog, MaximiseFillsTheScreensAvailableAreaAndRestoreGoesBackTo900x600) {
    TestDialog d(HomeBaseDialog::kMainTemplate);
    d.Init();
    // 133 is disabled on the main window; the command itself still maximises.
    PostMessage(d.Handle(), WM_COMMAND, 133, 0);
    uiwait::Flush();
    const QRect area = d.screen()->availableGeometry();
    EXPECT_EQ(d.geometry(), area);
    EXPECT_TRUE(d.IsMaximized());
    EXPECT_FALSE(d.GetCaptionItem(133)->IsVisible());
    EXPECT_TRUE(d.GetCaptionItem(136)->IsVisible());
    // The strip follows the new right edge.
    const int w = d.width() - 1;
    EXPECT_EQ(d.GetCaptionItem(148)->GetRect(), ui::MakeRect(w - 30, 0, w, 30));
    EXPECT_EQ(d.GetCaptionItem(136)->GetRect(), ui::MakeRect(w - 66, 0, w - 36, 30));
    // Restore through the visible restore item.
    QTest::mouseClick(&d, Qt::LeftButton, {}, Centre(d.GetCaptionItem(136)->GetRect()));
    uiwait::Flush();
    EXPECT_EQ(d.size(), QSize(900, 600));
    EXPECT_EQ(d.geometry().center(), area.center());
    EXPECT_FALSE(d.IsMaximized());
    EXPECT_TRUE(d.GetCaptionItem(133)->IsVisible());
    EXPECT_FALSE(d.GetCaptionItem(136)->IsVisible());
    EXPECT_EQ(d.resizes, (std::vector<int>{1, 0}));
    EXPECT_EQ(d.GetCaptionItem(148)->GetRect(), ui::MakeRect(869, 0, 899, 30));
}

TEST(HomeBaseDialog, DraggingTheStripMovesTheWindow) {
    TestDialog d(HomeBaseDialog::kPopupTemplate);
    d.Init();
    d.move(100, 100);
    uiwait::Flush();
    const QPoint start = d.pos();
    QTest::mousePress(&d, Qt::LeftButton, {}, QPoint(60, 15));
    QTest::mouseMove(&d, QPoint(90, 35));
    QTest::mouseRelease(&d, Qt::LeftButton, {}, QPoint(90, 35));
    uiwait::Flush();
    EXPECT_EQ(d.pos(), start + QPoint(30, 20));
    EXPECT_TRUE(d.commands.empty());
    // The client area does not drag.
    const QPoint here = d.pos();
    QTest::mousePress(&d, Qt::LeftButton, {}, QPoint(60, 100));
    QTest::mouseMove(&d, QPoint(90, 130));
    QTest::mouseRelease(&d, Qt::LeftButton, {}, QPoint(90, 130));
    EXPECT_EQ(d.pos(), here);
}

TEST(HomeBaseDialog, EscapeAndEnterNeverCloseTheDialog) {
    TestDialog d(HomeBaseDialog::kPopupTemplate);
    bool stillOpen = false;
    uiwait::ModalWatch answer([&](QWidget* w) {
        QTest::keyClick(w, Qt::Key_Escape);
        QTest::keyClick(w, Qt::Key_Return);
        QTest::keyClick(w, Qt::Key_Enter);
        uiwait::Flush();
        stillOpen = d.isVisible();
        d.EndDialog(IDOK);
    });
    EXPECT_EQ(d.DoModal(), IDOK);
    EXPECT_TRUE(stillOpen);
}
