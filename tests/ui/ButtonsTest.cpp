// The owner-drawn button and the bitmap button.
#include <gtest/gtest.h>

#include <QPainter>
#include <functional>

#include "UiTestEnv.h"
#include "app/ui/UiResources.h"
#include "platform/ui/ButtonPlus.h"
#include "platform/ui/ButtonResources.h"
#include "platform/ui/MsBtn.h"

namespace {
// The buttons draw the program's bitmaps, which reach them once its resources exist.
void UseProgramResources() { UiResources::Instance(); }
}  // namespace

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
    UseProgramResources();
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
    UseProgramResources();
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

// The close item of the preview's warning strip: each state draws its own frame of the skin
// bitmap over the button's colour.
TEST(CMsBtn, EachStateDrawsItsFrameOfTheSkinBitmap) {
    UseProgramResources();
    const QImage* frames = ui::ButtonBitmap(CMsBtn::kSkinBitmap);
    ASSERT_NE(frames, nullptr);
    const int w = frames->width() / 4, h = frames->height();
    uitest::RecordingWindow parent;
    parent.resize(100, 60);
    CMsBtn b(&parent, 1005);
    b.SetSkin(ui::MakeRect(0, 0, w, h), ui::MakeRect(w, 0, 2 * w, h), ui::MakeRect(2 * w, 0, 3 * w, h), ui::MakeRect(3 * w, 0, 4 * w, h));
    constexpr COLORREF kStrip = 0xB8E2F9;
    b.SetBkColors(kStrip, kStrip, kStrip, kStrip);
    b.setGeometry(10, 10, w, h);
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));

    // The look of one frame on the button's colour.
    const auto frame = [&](int index) {
        QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
        img.fill(ui::ColorFromRef(kStrip));
        QPainter p(&img);
        p.drawImage(QPoint(0, 0), *frames, QRect(index * w, 0, w, h));
        return img;
    };
    const auto shown = [&] {
        b.repaint();
        return b.grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    };
    struct Step {
        const char* state;
        std::function<void()> enter;
        int frame;
    };
    const Step steps[] = {
        {"normal", [] {}, 2},
        {"hover", [&] { SendMessage(b.Handle(), WM_MOUSEHOVER, 0, 0); }, 1},
        {"just left", [&] { SendMessage(b.Handle(), WM_MOUSELEAVE, 0, 0); }, 0},
        {"disabled", [&] { b.setEnabled(false); }, 3},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.state);
        step.enter();
        EXPECT_EQ(shown(), frame(step.frame));
    }
    EXPECT_NE(frame(1), frame(2)) << "hover and normal look different";
}
