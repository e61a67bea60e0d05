// The window layer: message delivery across threads, modal loops, timers and DrawText.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QThread>
#include <atomic>
#include <thread>

#include "UiTestEnv.h"
#include "platform/WindowPost.h"
#include "platform/ui/Dc.h"
#include "platform/ui/Window.h"

using uitest::RecordingWindow;

TEST(HeadlessSink, RecordsPostsAndAnswersSendsThroughTheHandler) {
    const HeadlessWindowPostScope headless;
    headless::TakeMessages();
    HWND w = reinterpret_cast<HWND>(std::uintptr_t{0x1234});
    EXPECT_TRUE(PostMessage(w, WM_UI_SCAN_FINISHED, 7, 9));
    EXPECT_FALSE(PostMessage(nullptr, WM_UI_SCAN_FINISHED, 0, 0));
    headless::SetSendHandler([](const HeadlessMessage& m) -> LRESULT { return static_cast<LRESULT>(m.wParam) * 2; });
    EXPECT_EQ(SendMessage(w, WM_UI_FREEZE_VIEW, 21, 0), 42);
    headless::SetSendHandler(nullptr);
    EXPECT_TRUE(IsWindow(w));
    EXPECT_FALSE(IsWindow(nullptr));
    const auto got = headless::TakeMessages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].message, WM_UI_SCAN_FINISHED);
    EXPECT_EQ(got[0].wParam, 7u);
    EXPECT_EQ(got[0].lParam, 9);
    EXPECT_FALSE(got[0].sent);
    EXPECT_TRUE(got[1].sent);
}

TEST(WindowLayer, HandlesAreUniqueAndDieWithTheirWindow) {
    HWND h1, h2;
    {
        RecordingWindow a, b;
        h1 = a.Handle();
        h2 = b.Handle();
        EXPECT_NE(h1, h2);
        EXPECT_TRUE(IsWindow(h1));
        EXPECT_EQ(ui::WindowCore::FromHandle(h1), &a);
    }
    EXPECT_FALSE(IsWindow(h1));
    EXPECT_FALSE(PostMessage(h2, WM_USER + 1, 0, 0));
    EXPECT_EQ(SendMessage(h2, WM_USER + 1, 0, 0), 0);
    // A new window never takes over an old handle.
    RecordingWindow c;
    EXPECT_NE(c.Handle(), h1);
    EXPECT_NE(c.Handle(), h2);
}

TEST(WindowLayer, PostFromWorkerArrivesOnUiThread) {
    RecordingWindow w;
    const HWND h = w.Handle();
    std::thread worker([h] {
        for (int i = 0; i < 50; ++i) PostMessage(h, WM_USER + 4144, static_cast<WPARAM>(i), 0);
    });
    worker.join();
    EXPECT_EQ(w.Count(WM_USER + 4144), 0);  // nothing runs before the UI thread takes its events
    uiwait::Flush();
    ASSERT_EQ(w.Count(WM_USER + 4144), 50);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(w.messages[static_cast<size_t>(i)].wParam, static_cast<WPARAM>(i));  // in order
        EXPECT_TRUE(w.messages[static_cast<size_t>(i)].onUiThread);
    }
}

TEST(WindowLayer, SendOnUiThreadRunsAtOnceAndFromWorkerBlocksUntilHandled) {
    RecordingWindow w;
    w.handler = [](u32 m, WPARAM wp, LPARAM) -> LRESULT { return m == WM_USER + 5 ? static_cast<LRESULT>(wp) + 1 : 0; };
    EXPECT_EQ(SendMessage(w.Handle(), WM_USER + 5, 41, 0), 42);
    ASSERT_EQ(w.messages.size(), 1u);

    std::atomic<bool> sending{false};
    std::atomic<bool> returned{false};
    std::atomic<LRESULT> result{0};
    const HWND h = w.Handle();
    std::thread worker([&] {
        sending = true;
        result = SendMessage(h, WM_USER + 5, 99, 0);
        returned = true;
    });
    // The worker waits for the UI thread: nothing has been handled while we do not pump.
    EXPECT_TRUE(uiwait::UntilWithoutEvents([&] { return sending.load(); }, "the worker's send"));  // the worker is joined below on every road
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(w.messages.size(), 1u);
    EXPECT_TRUE(uiwait::Until([&] { return returned.load(); }, "the send to be answered"));
    worker.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(result.load(), 100);
    EXPECT_TRUE(w.messages.back().onUiThread);
}

namespace {
// A dialog that ends when a given message arrives.
struct EndOnMessageDialog : ui::Dialog {
    LRESULT OnMessage(u32 m, WPARAM, LPARAM) override {
        if (m == WM_USER + 78) EndDialog(IDOK);
        return 0;
    }
};
}  // namespace

TEST(WindowLayer, SendFromWorkerIsHandledWhileAModalDialogRuns) {
    RecordingWindow target;
    target.handler = [](u32, WPARAM wp, LPARAM) -> LRESULT { return static_cast<LRESULT>(wp) * 3; };
    const HWND h = target.Handle();
    EndOnMessageDialog modal;
    std::atomic<LRESULT> result{0};
    std::thread worker;
    uiwait::ModalWatch answer([&](QWidget*) {
        worker = std::thread([&] {
            // Answered from inside the modal loop, then the worker ends the dialog.
            result = SendMessage(h, WM_USER + 77, 5, 0);
            PostMessage(modal.Handle(), WM_USER + 78, 0, 0);
        });
    });
    EXPECT_EQ(modal.DoModal(), IDOK);
    worker.join();
    EXPECT_EQ(result.load(), 15);
}

TEST(WindowLayer, SendToAWindowDestroyedBeforeHandlingReleasesTheSender) {
    auto* w = new RecordingWindow;
    const HWND h = w->Handle();
    std::atomic<bool> sending{false};
    std::atomic<bool> done{false};
    std::atomic<LRESULT> result{-1};
    std::thread worker([&] {
        sending = true;
        result = SendMessage(h, WM_USER + 9, 1, 0);
        done = true;
    });
    // Queued and not yet handled (the interface thread takes no events meanwhile), or not yet
    // sent: either way the sender is let go.
    EXPECT_TRUE(uiwait::UntilWithoutEvents([&] { return sending.load(); }, "the worker's send"));  // the worker is joined below on every road
    delete w;  // Qt drops the queued event with the window
    worker.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(result.load(), 0);
}

TEST(WindowLayer, TimersFireByIdUntilKilled) {
    RecordingWindow w;
    EXPECT_TRUE(w.SetTimer(7, 5));
    EXPECT_TRUE(w.SetTimer(8, 5));
    EXPECT_TRUE(uiwait::Until([&] { return w.Count(WM_TIMER) >= 6; }, "six ticks"));
    bool saw7 = false, saw8 = false;
    for (const auto& m : w.messages) {
        if (m.message != WM_TIMER) continue;
        saw7 |= m.wParam == 7;
        saw8 |= m.wParam == 8;
    }
    EXPECT_TRUE(saw7);
    EXPECT_TRUE(saw8);
    EXPECT_TRUE(w.KillTimer(7));
    EXPECT_TRUE(w.KillTimer(8));
    EXPECT_FALSE(w.KillTimer(8));
    w.messages.clear();
    // A timer of the same period ticks a few times: the killed ones would have ticked as often.
    EXPECT_TRUE(w.SetTimer(9, 5));
    EXPECT_TRUE(uiwait::Until([&] { return w.Count(WM_TIMER) >= 3; }, "three ticks of the timer left"));
    EXPECT_TRUE(w.KillTimer(9));
    for (const auto& m : w.messages) {
        if (m.message == WM_TIMER) {
            EXPECT_EQ(m.wParam, 9u);
        }
    }
}

TEST(WindowLayer, MouseInputBecomesMessagesAndLeaveIsReportedOnceWhenTracked) {
    RecordingWindow w;
    w.resize(200, 100);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QTest::mousePress(&w, Qt::LeftButton, {}, QPoint(10, 20));
    QTest::mouseRelease(&w, Qt::LeftButton, {}, QPoint(11, 21));
    ASSERT_EQ(w.Count(WM_LBUTTONDOWN), 1);
    ASSERT_EQ(w.Count(WM_LBUTTONUP), 1);
    for (const auto& m : w.messages) {
        if (m.message == WM_LBUTTONDOWN) {
            EXPECT_EQ(GET_X_LPARAM(m.lParam), 10);
            EXPECT_EQ(GET_Y_LPARAM(m.lParam), 20);
        }
    }
    w.TrackMouseLeave();
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&w, &leave);
    QApplication::sendEvent(&w, &leave);
    EXPECT_EQ(w.Count(WM_MOUSELEAVE), 1);
}

TEST(DrawTextFlags, CalcRectMeasuresSingleLineAndWrapsWithWordBreak) {
    const QFont f = ui::MakeFont("Arial", 16, 400, false);
    RECT one = ui::MakeRect(10, 20, 400, 200);
    const int h1 = ui::MeasureText(f, "Short text", one, DT_SINGLELINE);
    EXPECT_GT(h1, 8);
    EXPECT_EQ(one.top, 20);
    EXPECT_EQ(one.bottom, 20 + h1);
    EXPECT_EQ(one.right, 10 + QFontMetrics(f).horizontalAdvance(QStringLiteral("Short text")));

    const std::string longText = "This message is long enough that it has to break over several lines of the box";
    RECT wrapped = ui::MakeRect(0, 0, 150, 500);
    const int h2 = ui::MeasureText(f, longText, wrapped, DT_WORDBREAK);
    EXPECT_GE(h2, 3 * h1);
    EXPECT_LE(wrapped.right, 150);

    // Without word breaks a line feed still starts a new line; single-line mode ignores it.
    RECT two = ui::MakeRect(0, 0, 400, 100);
    EXPECT_EQ(ui::MeasureText(f, "a\nb", two, 0), 2 * h1);
    RECT single = ui::MakeRect(0, 0, 400, 100);
    EXPECT_EQ(ui::MeasureText(f, "a\nb", single, DT_SINGLELINE), h1);
}

namespace {
// Columns holding dark text pixels in an image.
std::pair<int, int> InkRows(const QImage& img) {
    int top = -1, bottom = -1;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (qGray(img.pixel(x, y)) < 128) {
                if (top < 0) top = y;
                bottom = y;
            }
    return {top, bottom};
}
std::pair<int, int> InkCols(const QImage& img) {
    int left = -1, right = -1;
    for (int x = 0; x < img.width(); ++x)
        for (int y = 0; y < img.height(); ++y)
            if (qGray(img.pixel(x, y)) < 128) {
                if (left < 0) left = x;
                right = x;
            }
    return {left, right};
}
QImage Render(const std::string& text, const RECT& r, u32 flags, int w = 300, int h = 100) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    ui::Dc dc(&p);
    dc.SetFont(ui::MakeFont("Arial", 16, 400, false));
    dc.SetTextColor(0x000000);
    dc.DrawText(text, r, flags);
    return img;
}
}  // namespace

TEST(DrawTextFlags, CentresHorizontallyAndVerticallyOnlyForSingleLines) {
    const RECT box = ui::MakeRect(0, 0, 300, 100);
    const auto [top1, bottom1] = InkRows(Render("Centre", box, DT_CENTER | DT_VCENTER | DT_SINGLELINE));
    EXPECT_GT(top1, 30);
    EXPECT_LT(bottom1, 70);
    const auto [left, right] = InkCols(Render("Centre", box, DT_CENTER | DT_VCENTER | DT_SINGLELINE));
    EXPECT_NEAR((left + right) / 2, 150, 4);
    // As on Windows, vertical centring needs single-line mode: otherwise the text stays on top.
    const auto [top2, bottom2] = InkRows(Render("Centre", box, DT_CENTER | DT_VCENTER));
    EXPECT_LT(top2, 15);
    (void)bottom2;
}

TEST(DrawTextFlags, EndEllipsisCutsTheLineInsideTheRectangle) {
    const RECT box = ui::MakeRect(0, 0, 80, 30);
    const std::string text = "A rather long line of text that does not fit";
    const auto [l1, r1] = InkCols(Render(text, box, DT_SINGLELINE | DT_END_ELLIPSIS));
    EXPECT_LT(r1, 80);
    EXPECT_GE(l1, 0);
    // Clipped, not elided, without the flag: ink reaches the right edge.
    const auto [l2, r2] = InkCols(Render(text, box, DT_SINGLELINE));
    EXPECT_GE(r2, 76);
    (void)l2;
}

// What each drawing of a text needed is reported while watched: shortened, clipped, wrapped
// past the box's height or a word breaking nowhere is cut; a fitting text, an unclipped one and
// a measurement are not.
TEST(DrawTextFlags, AWatchedDrawingReportsWhetherItCutItsText) {
    const std::string longLine = "A rather long line of text that does not fit";
    const std::string words = "Several short words wrap onto lines";
    const struct {
        std::string text;
        RECT box;
        u32 flags;
        int reports;
        bool cut;
    } cases[] = {
        {"Fits", ui::MakeRect(0, 0, 200, 30), DT_SINGLELINE | DT_VCENTER, 1, false},
        {longLine, ui::MakeRect(0, 0, 80, 30), DT_SINGLELINE | DT_END_ELLIPSIS, 1, true},
        {longLine, ui::MakeRect(0, 0, 80, 30), DT_SINGLELINE | DT_CENTER, 1, true},
        {longLine, ui::MakeRect(0, 0, 80, 30), DT_SINGLELINE | DT_NOCLIP, 0, false},
        {words, ui::MakeRect(0, 0, 120, 100), DT_WORDBREAK, 1, false},
        {words, ui::MakeRect(0, 0, 120, 20), DT_WORDBREAK, 1, true},
        {"Unbreakablewordwiderthanthebox", ui::MakeRect(0, 0, 60, 100), DT_WORDBREAK, 1, true},
        // Japanese has no spaces: its lines break between characters.
        {"クイックスキャンが完了しました。必要なファイルがない場合は、ディープスキャンを開始してください。", ui::MakeRect(0, 0, 150, 300), DT_WORDBREAK, 1, false},
        {longLine, ui::MakeRect(0, 0, 80, 30), DT_SINGLELINE | DT_CALCRECT, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " flags " + std::to_string(c.flags));
        std::vector<ui::DrawnText> seen;
        const ui::DrawnTextObserver before = ui::SetDrawnTextObserver([&](const ui::DrawnText& t) { seen.push_back(t); });
        Render(c.text, c.box, c.flags);
        ui::SetDrawnTextObserver(before);
        ASSERT_EQ(static_cast<int>(seen.size()), c.reports);
        if (seen.empty()) continue;
        EXPECT_EQ(seen[0].cut, c.cut) << seen[0].neededWidth << " x " << seen[0].neededHeight;
        EXPECT_EQ(seen[0].text, c.text);
    }
}

// A link or label sized to a text's whole-line width shows it without an ellipsis, in Latin and
// Japanese alike; one pixel less would shorten or clip it.
TEST(DrawTextFlags, ARectOfTheWholeLineWidthShowsTheLineWhole) {
    const QFont font = ui::MakeFont("Arial", 16, 500, true);
    for (const std::string text : {"www.morvenda.example", "Tipps zur Datensicherheit", "ホームページ", "W"}) {
        const int width = ui::WholeLineWidth(font, text);
        EXPECT_GE(width, QFontMetrics(font).horizontalAdvance(ui::FromUtf8(text))) << text;
        for (const int w : {width, width - 1}) {
            std::vector<ui::DrawnText> seen;
            const ui::DrawnTextObserver before = ui::SetDrawnTextObserver([&](const ui::DrawnText& t) { seen.push_back(t); });
            QImage img(300, 40, QImage::Format_RGB32);
            QPainter p(&img);
            ui::Dc dc(&p);
            dc.SetFont(font);
            dc.DrawText(text, ui::MakeRect(0, 0, w, 30), DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS);
            ui::SetDrawnTextObserver(before);
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0].cut, w < width) << text << " in " << w << " px";
        }
    }
}

TEST(DcImages, ColorKeyMakesExactlyTheKeyColourTransparent) {
    QImage src(4, 1, QImage::Format_RGB32);
    src.setPixel(0, 0, qRgb(255, 255, 255));
    src.setPixel(1, 0, qRgb(254, 255, 255));
    src.setPixel(2, 0, qRgb(10, 20, 30));
    src.setPixel(3, 0, qRgb(255, 255, 255));
    const QImage keyed = ui::ColorKeyed(src, QSize(4, 1), 0xFFFFFF);
    EXPECT_EQ(qAlpha(keyed.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(keyed.pixel(1, 0)), 255);
    EXPECT_EQ(qAlpha(keyed.pixel(2, 0)), 255);
    EXPECT_EQ(qAlpha(keyed.pixel(3, 0)), 0);
    // COLORREF is blue-green-red.
    EXPECT_EQ(ui::ColorFromRef(0x80D21F), QColor(0x1F, 0xD2, 0x80));
    EXPECT_EQ(ui::RefFromColor(QColor(0x1F, 0xD2, 0x80)), 0x80D21Fu);
}
