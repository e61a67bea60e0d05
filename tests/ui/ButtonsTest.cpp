// The owner-drawn button and the bitmap button.
#include <gtest/gtest.h>

#include "UiTestEnv.h"
#include "app/ui/ButtonPlus.h"
#include "app/ui/MsBtn.h"

TEST(CMsBtn, CheckBoxStaysPressedWhileCheckedAndIgnoresHover) {
    uitest::RecordingWindow parent;
    parent.resize(300, 100);
    CMsBtn box(&parent, 1001, BS_CHECKBOX_BIT);
    box.SetWindowText("Remember");
    box.setGeometry(10, 10, 120, 30);
    CMsBtn plain(&parent, 1002, 0);
    plain.SetWindowText("Go");
    plain.setGeometry(150, 10, 120, 30);
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    ASSERT_TRUE(box.IsCheckBox());
    QTest::mouseClick(&box, Qt::LeftButton, {}, QPoint(20, 15));
    EXPECT_TRUE(box.IsChecked());
    // The parent heard the click as WM_COMMAND (id, BN_CLICKED).
    ASSERT_EQ(parent.Count(WM_COMMAND), 1);
    EXPECT_EQ(LOWORD(parent.messages.back().wParam), 1001);
    EXPECT_EQ(HIWORD(parent.messages.back().wParam), BN_CLICKED);
    SendMessage(box.Handle(), WM_MOUSEHOVER, 0, 0);
    EXPECT_FALSE(box.IsHover());
    SendMessage(plain.Handle(), WM_MOUSEHOVER, 0, 0);
    EXPECT_TRUE(plain.IsHover());
    // A checked box paints the same face as a pressed one: the normal colour, never hover.
    box.SetBkColors(0x00FF00, 0x0000FF, 0xFF0000, 0x808080);
    box.repaint();
    EXPECT_EQ(box.grab().toImage().pixelColor(2, 2), ui::ColorFromRef(0xFF0000));
    QTest::mouseClick(&box, Qt::LeftButton, {}, QPoint(20, 15));
    EXPECT_FALSE(box.IsChecked());
}

TEST(CMsBtn, ColourSlotsAndDisabledLook) {
    uitest::RecordingWindow parent;
    CMsBtn b(&parent, 1003);
    b.setGeometry(0, 0, 100, 30);
    EXPECT_FALSE(b.SetColor(8, 0x123456));
    EXPECT_TRUE(b.SetColor(CMsBtn::kBkDisabled, 0x224466));
    EXPECT_FALSE(b.SetIconAlign(2));
    EXPECT_TRUE(b.SetIconAlign(1));
    EXPECT_EQ(b.SetIcons(245, 99999), 0);
    EXPECT_EQ(b.SetIcons(245, 245), 1);
    b.setEnabled(false);
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    const QImage face = b.grab().toImage();
    EXPECT_EQ(face.pixelColor(99, 1), ui::ColorFromRef(0x224466));
    // The icon is drawn greyed: no pixel keeps the icon's green.
    bool green = false;
    for (int y = 0; y < face.height(); ++y)
        for (int x = 0; x < face.width(); ++x) {
            const QColor c = face.pixelColor(x, y);
            if (c.green() > c.red() + 40) green = true;
        }
    EXPECT_FALSE(green);
}

TEST(CButtonPlus, TakesItsNormalBitmapsSizeAndFallsBackToNormal) {
    uitest::RecordingWindow parent;
    parent.resize(300, 200);
    CButtonPlus b(&parent, 1229, 532, 0, 533, 0);  // no hover, no disabled bitmap
    b.Create("Open", ui::MakeRect(10, 10, 200, 100));
    EXPECT_EQ(b.size(), QSize(110, 40));
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    SendMessage(b.Handle(), WM_MOUSEHOVER, 0, 0);
    EXPECT_TRUE(b.IsHover());
    b.repaint();
    EXPECT_EQ(b.LastPainted(), 0);
    b.setEnabled(false);
    b.repaint();
    EXPECT_EQ(b.LastPainted(), 0);
    b.setEnabled(true);
    b.setDown(true);
    b.repaint();
    EXPECT_EQ(b.LastPainted(), 2);
    b.setDown(false);
    SendMessage(b.Handle(), WM_MOUSELEAVE, 0, 0);
    EXPECT_FALSE(b.IsHover());
    // Over control 1229 the cursor is the hand.
    QTest::mouseMove(&b, QPoint(5, 5));
    EXPECT_EQ(b.cursor().shape(), Qt::PointingHandCursor);
}
