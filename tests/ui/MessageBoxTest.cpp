// The program's message box: buttons by style, answers, localized texts and text placement.
#include <gtest/gtest.h>

#include "UiTestEnv.h"
#include "app/ui/MessageBox.h"
#include "app/ui/SkinItems.h"

namespace {

QPoint ClientCentre(UiCtrl::UiItem* item) {
    const RECT r = item->GetRect();
    return QPoint(HomeBaseDialog::ClientToWindowX((r.left + r.right) / 2), HomeBaseDialog::ClientToWindowY((r.top + r.bottom) / 2));
}

struct Seen {
    std::string first, second, third, caption;
    bool secondVisible = false;
    bool hasThird = false;
    RECT firstRect, secondRect;
    RECT textRect;
};

// Shows a box; while it runs, records what it shows and clicks the item with the id (148 is the
// caption's close item).
int RunBox(u32 kind, int clickId, Seen* seen, const char* text = "Recover the checked files?", const char* caption = nullptr,
           bool keys = false) {
    uiwait::ModalWatch answer([=](QWidget* w) {
        auto* box = dynamic_cast<QZMMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        uiwait::Paint(w);  // one paint: the text rectangle is known after it
        if (seen) {
            auto* b1 = dynamic_cast<UiCtrl::UiBtnWithoutWnd*>(box->GetClientItem(501));
            auto* b2 = dynamic_cast<UiCtrl::UiBtnWithoutWnd*>(box->GetClientItem(500));
            auto* b3 = dynamic_cast<UiCtrl::UiBtnWithoutWnd*>(box->GetClientItem(502));
            seen->first = b1 ? b1->Text() : "";
            seen->second = b2 ? b2->Text() : "";
            seen->secondVisible = b2 && b2->IsVisible();
            seen->hasThird = b3 != nullptr;
            seen->third = b3 ? b3->Text() : "";
            if (b1) seen->firstRect = b1->GetRect();
            if (b2) seen->secondRect = b2->GetRect();
            seen->caption = box->windowTitle().toStdString();
            seen->textRect = box->LastTextRect();
        }
        if (keys) {
            QTest::keyClick(w, Qt::Key_Escape);
            QTest::keyClick(w, Qt::Key_Return);
            uiwait::Flush();
        }
        if (clickId == 148) {
            const RECT r = box->GetCaptionItem(148)->GetRect();
            QTest::mouseClick(w, Qt::LeftButton, {}, QPoint((r.left + r.right) / 2, (r.top + r.bottom) / 2));
        } else {
            QTest::mouseClick(w, Qt::LeftButton, {}, ClientCentre(box->GetClientItem(clickId)));
        }
    });
    return ShowMessageBox(nullptr, text, caption, kind, 0);
}

}  // namespace

TEST(MessageBox, QuestionShowsLocalizedYesNoAndAnswersOneTwoAndTwoOnClose) {
    Seen s;
    EXPECT_EQ(RunBox(0x24, 501, &s), 1);
    EXPECT_EQ(s.first, "Yes");
    EXPECT_EQ(s.second, "No");
    EXPECT_TRUE(s.secondVisible);
    EXPECT_FALSE(s.hasThird);
    EXPECT_EQ(s.caption, "Morvenda Data Recovery");  // a null caption is the localized "caption"
    EXPECT_EQ(RunBox(0x24, 500, nullptr), 2);
    EXPECT_EQ(RunBox(0x24, 148, nullptr), 2);
}

TEST(MessageBox, WarningAndInformationShowOneButtonInTheSecondButtonsPlace) {
    for (u32 kind : {0x30u, 0x40u}) {
        Seen s;
        EXPECT_EQ(RunBox(kind, 501, &s, "Done.", "Title"), 1) << kind;
        EXPECT_FALSE(s.secondVisible);
        EXPECT_EQ(s.first, "OK");
        EXPECT_EQ(s.firstRect, s.secondRect);
        EXPECT_EQ(s.caption, "Title");
        EXPECT_EQ(RunBox(kind, 148, nullptr), 2) << kind;
    }
}

TEST(MessageBox, EscapeAndEnterAreSwallowed) {
    Seen s;
    // The keys do nothing; the box ends only by the click that follows them.
    EXPECT_EQ(RunBox(0x24, 500, &s, "Question", nullptr, true), 2);
}

TEST(MessageBox, ShortTextSitsInTheNarrowBandAndLongTextWraps) {
    Seen shortBox;
    RunBox(0x40, 501, &shortBox, "One line.");
    EXPECT_EQ(shortBox.textRect, ui::MakeRect(96, 55, 381, 75));
    Seen longBox;
    RunBox(0x40, 501, &longBox,
           "The destination folder is on the disk being scanned. Writing there may overwrite the very files you want "
           "to recover. Please choose a folder on another disk.");
    EXPECT_EQ(longBox.textRect, ui::MakeRect(96, 45, 381, 135));
}

TEST(MessageBox, ThirdButtonAnswersThreeAndCloseThenAlsoAnswersThree) {
    auto run = [](int clickId, Seen* seen) {
        QZMMessageBox box(nullptr, 0);
        box.SetContent("Choose", "Keep both files?", MB_YESNO);
        box.SetButtonTexts("Keep", "Replace", "Skip");
        uiwait::ModalWatch answer([&, clickId](QWidget* w) {
            uiwait::Flush();
            if (seen) {
                seen->first = dynamic_cast<UiCtrl::UiBtnWithoutWnd*>(box.GetClientItem(501))->Text();
                seen->third = dynamic_cast<UiCtrl::UiBtnWithoutWnd*>(box.GetClientItem(502))->Text();
                seen->firstRect = box.GetClientItem(501)->GetRect();
                seen->secondRect = box.GetClientItem(502)->GetRect();
            }
            if (clickId == 148) {
                const RECT r = box.GetCaptionItem(148)->GetRect();
                QTest::mouseClick(w, Qt::LeftButton, {}, QPoint((r.left + r.right) / 2, 15));
            } else {
                QTest::mouseClick(w, Qt::LeftButton, {}, ClientCentre(box.GetClientItem(clickId)));
            }
        });
        return box.DoModal();
    };
    Seen s;
    EXPECT_EQ(run(502, &s), 3);
    EXPECT_EQ(s.first, "Keep");
    EXPECT_EQ(s.third, "Skip");
    EXPECT_LT(s.firstRect.right, s.secondRect.left);  // all three in one row, third at the right
    EXPECT_EQ(s.firstRect.top, s.secondRect.top);
    EXPECT_EQ(run(148, nullptr), 3);
    EXPECT_EQ(run(500, nullptr), 2);
}
