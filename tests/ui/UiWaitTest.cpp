// The window tests' own waits: a modal window nobody answers fails the test that opened it and
// is closed instead of blocking it; a modal window that ends before its loop turns is still seen;
// a wait that never ends fails saying what it waited for.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <QDialog>

#include "UiTestEnv.h"

namespace {

using namespace std::chrono_literals;

// Shown modally and never answered.
struct ForgottenDialog : ui::Dialog {};

void RunForgottenDialog() {
    const uiwait::ModalGuardLimit limit(100ms);
    ForgottenDialog d;
    EXPECT_EQ(d.DoModal(), IDCANCEL);
}

TEST(UiWait, AModalWindowNobodyAnswersFailsNamingItAndIsClosed) {
    EXPECT_NONFATAL_FAILURE(RunForgottenDialog(), "ForgottenDialog");
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST(UiWait, AModalWindowThatEndsBeforeItsLoopTurnsIsSeenAndNotAnswered) {
    int answers = 0;
    uiwait::ModalWatch watch([&](QWidget*) { ++answers; });
    QDialog d;
    // Posted before the window's loop starts: it ends the window at the loop's first turn.
    QMetaObject::invokeMethod(&d, [&d] { d.done(7); }, Qt::QueuedConnection);
    EXPECT_EQ(d.exec(), 7);
    EXPECT_EQ(watch.Seen(), 1);
    EXPECT_EQ(answers, 0);
    uiwait::Flush();
    EXPECT_EQ(answers, 0) << "an answer to a window already gone";
}

TEST(UiWait, AWaitThatNeverEndsSaysWhatItWaitedFor) {
    const ::testing::AssertionResult result = uiwait::Until([] { return false; }, "the impossible", 50ms);
    EXPECT_FALSE(result);
    EXPECT_NE(std::string(result.message()).find("the impossible"), std::string::npos) << result.message();
}

}  // namespace
