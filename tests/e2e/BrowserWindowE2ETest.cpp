// The file browser of the real main window, offscreen, after a scan of a fixture disk given as
// MORVENDA_DISKS, driven by clicks as a user drives it: what the preview window's hex page shows
// for binary bytes. Screenshots go to <build>/screenshots/.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <deque>
#include <filesystem>
#include <fstream>

#include "../browser/BrowserTestTree.h"
#include "TestUtil.h"
#include "ToolImage.h"
#include "WizardDriver.h"
#include "app/QZMUIDlg.h"
#include "app/dialogs/PreviewFrameDlg.h"
#include "app/dialogs/RecoveryTipInScanDlg.h"
#include "app/dialogs/SearchDlg.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/pages/SelDataLostPartitionWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "browser/ListWait.h"
#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "browser/preview/FileViews.h"
#include "browser/preview/PreviewDialog.h"
#include "browser/preview/PreviewPane.h"
#include "browser/views/Container.h"
#include "browser/views/IconCtrl.h"
#include "browser/views/PreviewEntry.h"
#include "browser/views/Icons.h"
#include "browser/views/Widgets.h"
#include "core/Settings.h"
#include "engine/Progress.h"
#include "engine/RecoveryGraph.h"
#include "platform/Profile.h"
#include "plugins/Plugins.h"

namespace {

namespace fs = std::filesystem;
using namespace FileSelCtrl;
using UiCtrl::RecoveryProgressWnd;
using UiCtrl::SelDataLostPartitionWnd;

// What the toolkit's save dialog shows: its title, the folder and name labels, its two buttons
// (without their keyboard marks).
using ToolkitSaveTexts = std::vector<std::string>;
const ToolkitSaveTexts kEnglishSaveDialog{"Save As", "Look in:", "File name:", "Save", "Cancel"};
const ToolkitSaveTexts kGermanSaveDialog{"Speichern unter", "Suchen in:", "Dateiname:", "Speichern", "Abbrechen"};
struct WindowLanguage {
    int index;
    const char* file;
    const char* tag;
    const ToolkitSaveTexts* saveDialog = nullptr;
};
void PrintTo(const WindowLanguage& language, std::ostream* os) { *os << language.tag; }
const WindowLanguage kEnglish{0, "English.dat", "en", &kEnglishSaveDialog};
const WindowLanguage kGerman{2, "Deutsch.dat", "de", &kGermanSaveDialog};
const WindowLanguage kJapanese{1, "Japanese.dat", "ja"};

ToolkitSaveTexts SaveDialogTexts(QFileDialog& dialog) {
    auto plain = [](QString text) { return text.remove(QLatin1Char('&')).toStdString(); };
    auto label = [&](const char* name) {
        auto* shown = dialog.findChild<QLabel*>(QString::fromLatin1(name));
        return shown ? plain(shown->text()) : std::string("(no ") + name + ")";
    };
    auto* box = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    auto button = [&](QDialogButtonBox::StandardButton which) {
        QPushButton* shown = box ? box->button(which) : nullptr;
        return shown ? plain(shown->text()) : std::string("(no button)");
    };
    return {dialog.windowTitle().toStdString(), label("lookInLabel"), label("fileNameLabel"), button(QDialogButtonBox::Save),
            button(QDialogButtonBox::Cancel)};
}

class BrowserWindow : public ::testing::Test {
protected:
    virtual WindowLanguage Language() const { return kEnglish; }
    void SetUp() override {
        wizard::StartWindowProgram(program_, disks_);
        const WindowLanguage lang = Language();
        wizard::UseLanguage(lang.index, lang.file);
        dlg_ = std::make_unique<CQZMUIDlg>();
        dlg_->Create();
        // Message boxes are answered with their first button, and their texts kept.
        boxes_ = std::make_unique<wizard::ModalWatch>([this](QWidget* m) {
            if (auto* box = dynamic_cast<QZMMessageBox*>(m)) {
                messages_.push_back(box->Text());
                wizard::EndModal(m, 1);
            }
        });
    }
    void TearDown() override {
        wizard::ScanEnd().Open();
        RecoveryGraph::Instance().SetControllerFactory(nullptr);
        if (dlg_->CurrentPage() == dlg_->ResultPage()->GetHwnd() && wizard::PumpUntil([&] { return !RecoveryGraph::Instance().IsScanRunning(); }, "the scan's end") &&
            wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemHome)) {
            EXPECT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == dlg_->FileTypePage()->GetHwnd(); }, "home"));
        }
        boxes_.reset();
        dlg_.reset();
        RecoveryGraph::Instance().SetStopRequested(0);
        ::unsetenv("XDG_STATE_HOME");
        program_.reset();
    }
    RecoveryProgressWnd& Strip() { return dlg_->ResultPage()->Progress(); }
    CFileSelCtrlContainer& Container() { return *dlg_->ResultPage()->Browser()->Container(); }

    void ScanVolume(const char* fsName) { wizard::ScanVolumeByTile(*dlg_, fsName); }

    // The row whose name ends so in the list (a folder of the volume is a row of a file, a
    // deleted file may have lost its first letter), or -1.
    static int RowOf(const std::string& name) {
        CFileListData& list = CFileListData::FolderModel();
        for (int r = 0; r < list.GetCount(); ++r) {
            RefHolder<FileList_Item> row(list.GetItem(r));
            if (row->name.ends_with(name)) return r;
        }
        return -1;
    }
    // From the top of the tree, opens each folder of the path by a double click on its row; the
    // file's row in the last one, or -1.
    int OpenFolders(const std::vector<std::string>& folders, const std::string& file) {
        CFileVirtualNodeManager::Instance().ShowFolder(CFileVirtualNodeManager::Instance().PathRoot());
        testutil::WaitForRows();
        for (const std::string& folder : folders) {
            const int row = RowOf(folder);
            if (row < 0) return -1;
            DoubleClickRow(row);
            testutil::WaitForRows();
        }
        return RowOf(file);
    }
    void DoubleClickRow(int row) {
        CFileListCtrl* list = Container().Right()->Details();
        const QRect cell = list->visualRect(list->model()->index(row, 0));
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, cell.center());
    }

    // The command bar's search button, a name typed into the search window and its search
    // button: the Search tab once the hits are shown.
    void SearchByClicks(const std::string& text) {
        if (!std::exchange(movedAside_, true)) wizard::MoveAside(dlg_.get());  // the box opens over it wherever it stands
        bool typed = false;
        wizard::ModalWatch answer([&](QWidget* w) {
            auto* dialog = dynamic_cast<::SearchDlg*>(w);
            if (!dialog || typed) return;
            typed = true;
            EXPECT_TRUE(wizard::OpensOver(dialog, dlg_.get())) << "the search box";
            QTest::keyClicks(dialog->Edit(), QString::fromStdString(text));
            const RECT r = dialog->GetClientItem(::SearchDlg::kItemSearch)->GetRect();
            const QPoint at(HomeBaseDialog::ClientToWindowX((r.left + r.right) / 2), HomeBaseDialog::ClientToWindowY((r.top + r.bottom) / 2));
            QTest::mouseMove(dialog, at);
            QTest::mouseClick(dialog, Qt::LeftButton, {}, at);
        });
        CButtonEx* search = Container().Right()->Commands()->Button(ID_VIEW_SEARCH);
        ASSERT_NE(search, nullptr);
        QTest::mouseClick(search, Qt::LeftButton, {}, search->rect().center());
        // The box stays half a second after Search, and ends by itself.
        ASSERT_TRUE(wizard::PumpUntil([&] { return typed && SearchTabShown() && !QApplication::activeModalWidget(); }, "the Search tab"));
    }
    bool SearchTabShown() { return Container().Left()->Tabs()->TabCount() > kTreeTabs; }
    static constexpr int kTreeTabs = 2;
    bool movedAside_ = false;

    testutil::TempDir disks_;
    std::unique_ptr<wizard::ProgramFolderScope> program_;
    std::unique_ptr<CQZMUIDlg> dlg_;
    std::unique_ptr<wizard::ModalWatch> boxes_;
    std::vector<std::string> messages_;
};

// The characters after the byte columns of each line of a hex page.
std::vector<QString> CharacterColumns(const QString& page) {
    std::vector<QString> columns;
    const QStringList lines = page.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (qsizetype i = 1; i < lines.size(); ++i) columns.push_back(lines[i].trimmed().section(QStringLiteral("  "), -1).trimmed());
    return columns;
}

TEST_F(BrowserWindow, TheHexPageShowsControlBytesAsDotsAndEveryOtherByteAsItsCharacterInTheLanguagesCodePage) {
    ASSERT_NO_FATAL_FAILURE(ScanVolume("FAT32"));
    // A deleted file that holds a picture: its header mixes control bytes, bytes above ASCII and
    // letters.
    const int row = OpenFolders({"Projects"}, "ILE4551.TXT");
    ASSERT_GE(row, 0) << (messages_.empty() ? std::string() : messages_.front());
    QString page;
    bool shown = false;
    wizard::ModalWatch answer([&](QWidget* w) {
        auto* frame = dynamic_cast<PreviewFrameDlg*>(w);
        auto* preview = frame ? qobject_cast<CFilePreViewDlg*>(&frame->Content()) : nullptr;
        if (!preview || shown) return;
        shown = true;
        QTest::mouseClick(preview->Tabs(), Qt::LeftButton, {}, preview->Tabs()->tabRect(1).center());
        uiwait::Flush();
        page = preview->HexView()->toPlainText();
        EXPECT_TRUE(wizard::Shot(frame, "browser-hex-page-en"));
        wizard::EndModal(frame, 0);
    });
    DoubleClickRow(row);
    ASSERT_TRUE(wizard::PumpUntil([&] { return shown; }, "the preview window"));
    ASSERT_TRUE(page.startsWith(QStringLiteral("Offset"))) << page.left(80).toStdString();
    const std::vector<QString> columns = CharacterColumns(page);
    ASSERT_FALSE(columns.empty());
    // The picture's marks above ASCII show as their Windows-1252 characters, its low bytes as
    // dots, and no byte as a character that draws nothing or an empty box.
    EXPECT_TRUE(columns[0].startsWith(QString::fromUtf8("\u00FF\u00D8\u00FF\u00E0..JFIF.."))) << columns[0].toStdString();
    bool dotted = false;
    for (const QString& c : columns) {
        for (const QChar ch : c) EXPECT_TRUE(ch.unicode() >= 0x20 && ch.isPrint()) << "U+" << std::hex << static_cast<int>(ch.unicode()) << " in " << c.toStdString();
        dotted = dotted || c.contains(QLatin1Char('.'));
    }
    EXPECT_TRUE(dotted);
}

}  // namespace

namespace {

TEST_F(BrowserWindow, ASearchTabEndsWithANewScanAndWithGoingHome) {
    ASSERT_NO_FATAL_FAILURE(ScanVolume("FAT32"));
    ASSERT_NO_FATAL_FAILURE(SearchByClicks("TXT"));
    EXPECT_TRUE(wizard::Shot(dlg_.get(), "browser-search-shown-en"));

    // A deep scan of the same volume from the strip: its trees are new, the hits are gone.
    const u64 runs = Strip().RunsStarted();
    ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemDeepScan));
    ASSERT_TRUE(wizard::PumpUntil([&] { return Strip().RunsStarted() > runs; }, "the deep scan's start"));
    EXPECT_FALSE(SearchTabShown()) << "the search outlived the start of a new scan";
    ASSERT_TRUE(wizard::PumpUntil([&] { return !Strip().IsRunningOrTimed() && !RecoveryGraph::Instance().IsScanRunning(); }, "the scan's end"));
    ASSERT_TRUE(wizard::PumpUntil([&] { return Strip().GetItem(RecoveryProgressWnd::kItemHome)->IsVisible(); }));
    EXPECT_FALSE(SearchTabShown());
    // The end of the scan posts the page its tip's hiding: what the user sees once that is handled.
    uiwait::Flush();
    EXPECT_FALSE(dlg_->ResultPage()->Tip().IsShown()) << "the deep-scan tip outlived the scan";
    EXPECT_TRUE(wizard::Shot(dlg_.get(), "browser-search-after-deep-scan-en"));

    // Searched again, then home and a scan of another volume: its browser opens on the trees.
    ASSERT_NO_FATAL_FAILURE(SearchByClicks("TXT"));
    ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemHome));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == dlg_->FileTypePage()->GetHwnd(); }, "home"));
    EXPECT_FALSE(SearchTabShown()) << "the search outlived going home";
    ASSERT_NO_FATAL_FAILURE(ScanVolume("FAT16"));
    EXPECT_FALSE(SearchTabShown());
    EXPECT_TRUE(wizard::Shot(dlg_.get(), "browser-search-after-home-en"));
}

}  // namespace

namespace {

TEST_F(BrowserWindow, ThePreviewPaneSaysEmptyOnlyForAnEmptyListAndShowsAFolderByItsName) {
    ASSERT_NO_FATAL_FAILURE(ScanVolume("FAT16"));
    CWndPreview* pane = Container().Right()->Preview();
    // The pane view, from the command bar.
    CButtonEx* paneButton = Container().Right()->Commands()->Button(ID_VIEW_PREVIEWPANE);
    ASSERT_NE(paneButton, nullptr);
    QTest::mouseClick(paneButton, Qt::LeftButton, {}, paneButton->rect().center());
    ASSERT_TRUE(wizard::PumpUntil([&] { return pane->isVisible(); }, "the preview pane"));

    // A folder row, clicked: its name, and the size, type and date lines of every row left blank.
    const int folder = OpenFolders({}, "Photos");
    ASSERT_GE(folder, 0);
    CFileListCtrl* list = Container().Right()->Details();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(folder, 0)).center());
    ASSERT_TRUE(wizard::PumpUntil([&] { return pane->Item() && pane->Item()->name == "Photos"; }, "the folder in the pane"));
    const BrowserSkin& skin = Skin();
    EXPECT_EQ(pane->LabelText().split('\n'),
              (QStringList{QString::fromStdString(skin.textFilename + ": "), QString::fromStdString(skin.textSize + ": "),
                           QString::fromStdString(skin.textType + ": "), QString::fromStdString(skin.textCreation + ": ")}));
    const QStringList blanks = pane->ValueText().split('\n');
    EXPECT_EQ(blanks.size(), 3) << pane->ValueText().toStdString();
    for (const QString& value : blanks) EXPECT_TRUE(value.trimmed().isEmpty()) << value.toStdString();
    EXPECT_TRUE(pane->MessageText().isEmpty());
    EXPECT_TRUE(wizard::Shot(dlg_.get(), "browser-pane-folder-en"));

    // Search hits: the settled list shows its first hit, and the pane says nothing of an empty folder.
    ASSERT_NO_FATAL_FAILURE(SearchByClicks("TXT"));
    ASSERT_TRUE(wizard::PumpUntil([&] {
        RefHolder<FileList_Item> first(list->model()->rowCount() > 0 ? CFileListData::GetCurrent().GetItem(0) : nullptr);
        return first && pane->Item() == first.get();
    }, "the first search hit in the pane"));
    EXPECT_TRUE(pane->MessageText().isEmpty()) << pane->MessageText().toStdString();
    EXPECT_TRUE(wizard::Shot(dlg_.get(), "browser-pane-search-en"));

    // A search that finds nothing: now the list is empty, and the pane says so.
    ASSERT_NO_FATAL_FAILURE(SearchByClicks("no-such-name"));
    ASSERT_TRUE(wizard::PumpUntil([&] { return list->model()->rowCount() == 0 && !pane->Item(); }, "the empty search list"));
    EXPECT_EQ(pane->MessageText().toStdString(), Skin().emptyDir);
    EXPECT_TRUE(wizard::Shot(dlg_.get(), "browser-pane-empty-en"));
}

}  // namespace

namespace {

TEST_F(BrowserWindow, TheNameColumnAndThePaneKeepTheirWidthsAndAWiderWindowWidensTheList) {
    ASSERT_NO_FATAL_FAILURE(ScanVolume("FAT16"));
    CWndPreview* pane = Container().Right()->Preview();
    CFileListCtrl* list = Container().Right()->Details();
    CButtonEx* paneButton = Container().Right()->Commands()->Button(ID_VIEW_PREVIEWPANE);
    ASSERT_NE(paneButton, nullptr);
    QTest::mouseClick(paneButton, Qt::LeftButton, {}, paneButton->rect().center());
    ASSERT_TRUE(wizard::PumpUntil([&] { return pane->isVisible(); }, "the preview pane"));
    const int nameWidth = Skin().columns[kColumnName].width;
    EXPECT_GE(nameWidth, kMinPreviewWidth) << "the skin's name column";
    EXPECT_EQ(list->horizontalHeader()->sectionSize(kColumnName), nameWidth);
    const int paneWidth = pane->width();
    EXPECT_EQ(paneWidth + Skin().splitterWidth, kMinPreviewWidth);
    EXPECT_TRUE(wizard::Shot(dlg_.get(), "browser-columns-en"));

    // A wider right view: the list gains it all, the pane and the name column keep theirs.
    constexpr int kWider = 300;
    const int listWidth = list->width();
    QWidget* right = Container().Right();
    right->resize(right->width() + kWider, right->height());
    ASSERT_TRUE(wizard::PumpUntil([&] { return list->width() == listWidth + kWider; }, "the wider list"));
    EXPECT_EQ(pane->width(), paneWidth);
    EXPECT_EQ(list->horizontalHeader()->sectionSize(kColumnName), nameWidth);
    EXPECT_TRUE(wizard::Shot(right, "browser-columns-wider-en"));
}

}  // namespace

namespace {

// The browser's splitters and the main window's maximise, in each language the window is read in.
class BrowserLayout : public BrowserWindow, public ::testing::WithParamInterface<WindowLanguage> {
protected:
    // Run as a process of its own, the window gets a screen wider than itself, so maximising
    // widens it; run with other tests, the screen is what the first made it, and the test
    // measures what maximising changed whichever way.
    void SetUp() override {
        if (!qApp) {
            const std::string config = screenDir_.File("wide-screen.json");
            std::FILE* f = std::fopen(config.c_str(), "w");
            ASSERT_NE(f, nullptr);
            std::fputs(R"({"screens":[{"name":"wide","x":0,"y":0,"width":1280,"height":800,"logicalDpi":96,"logicalBaseDpi":96,"dpr":1}]})", f);
            std::fclose(f);
            ::setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).c_str(), 1);
        }
        BrowserWindow::SetUp();
    }
    WindowLanguage Language() const override { return GetParam(); }
    testutil::TempDir screenDir_;
    std::string ShotName(const std::string& what) const { return "browser-" + what + "-" + GetParam().tag; }

    // A press on a splitter's bar, a move by dx and the release there, as the mouse makes them.
    static void DragSplitter(CSplitterHandle* bar, int dx) {
        const QPoint from = bar->rect().center();
        // The pointer's place on the screen; the bar moves under it, so each event is given in
        // the bar's coordinates of that moment.
        const QPoint target = bar->mapToGlobal(from + QPoint(dx, 0));
        QTest::mousePress(bar, Qt::LeftButton, {}, from);
        const QPoint to = bar->mapFromGlobal(target);
        QMouseEvent move(QEvent::MouseMove, QPointF(to), QPointF(target), Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(bar, &move);
        QTest::mouseRelease(bar, Qt::LeftButton, {}, bar->mapFromGlobal(target));
    }
    // Along the whole gap of a splitter (top, middle, bottom), the widget under the pointer is
    // its bar and shows the resize cursor.
    static void ExpectResizeCursorAlong(QWidget* host, CSplitterHandle* bar, int gapX, int top, int bottom) {
        for (const int y : {top, (top + bottom) / 2, bottom - 1}) {
            for (const int x : {gapX - 2, gapX, gapX + 2}) {
                QWidget* under = host->childAt(x, y);
                EXPECT_EQ(under, bar) << "at " << x << "," << y << " of a gap at " << gapX;
                if (under) {
                    EXPECT_EQ(under->cursor().shape(), Qt::SplitHCursor) << "at " << x << "," << y;
                }
            }
        }
    }
};

TEST_P(BrowserLayout, BothSplittersDragAlongTheirLengthAndWidthFromThemOrFromMaximisingGoesToTheList) {
    ASSERT_NO_FATAL_FAILURE(ScanVolume("FAT16"));
    CFileSelCtrlContainer& container = Container();
    CWndRightView* right = container.Right();
    CWndPreview* pane = right->Preview();
    CFileListCtrl* list = right->Details();
    CButtonEx* paneButton = right->Commands()->Button(ID_VIEW_PREVIEWPANE);
    ASSERT_NE(paneButton, nullptr);
    QTest::mouseClick(paneButton, Qt::LeftButton, {}, paneButton->rect().center());
    ASSERT_TRUE(wizard::PumpUntil([&] { return pane->isVisible() && right->Splitter()->isVisible(); }, "the preview pane"));
    const int strip = Skin().stripHeight;
    ExpectResizeCursorAlong(&container, container.Splitter(), container.LeftWidth(), 0, container.height() - 1);
    ExpectResizeCursorAlong(right, right->Splitter(), list->width(), strip, right->height());

    // The tree/list splitter, dragged right: the right view loses that width, all of it from the list.
    constexpr int kTreeDrag = 100;
    const int leftWidth = container.LeftWidth();
    const int listWidth = list->width();
    const int paneWidth = pane->width();
    DragSplitter(container.Splitter(), kTreeDrag);
    ASSERT_TRUE(wizard::PumpUntil([&] { return list->width() == listWidth - kTreeDrag; }, "the narrower list"));
    EXPECT_EQ(container.LeftWidth(), leftWidth + kTreeDrag);
    EXPECT_EQ(pane->width(), paneWidth);
    // And back left by more: the list gains it.
    DragSplitter(container.Splitter(), -2 * kTreeDrag);
    ASSERT_TRUE(wizard::PumpUntil([&] { return list->width() == listWidth + kTreeDrag; }, "the wider list"));
    EXPECT_EQ(container.LeftWidth(), leftWidth - kTreeDrag);
    EXPECT_EQ(pane->width(), paneWidth);
    ExpectResizeCursorAlong(&container, container.Splitter(), container.LeftWidth(), 0, container.height() - 1);

    // The list/pane splitter, dragged left: the pane widens, the list narrows by as much.
    constexpr int kPaneDrag = 80;
    const int listBefore = list->width();
    DragSplitter(right->Splitter(), -kPaneDrag);
    ASSERT_TRUE(wizard::PumpUntil([&] { return pane->width() == paneWidth + kPaneDrag; }, "the wider pane"));
    EXPECT_EQ(list->width(), listBefore - kPaneDrag);
    // Dragged far right, the pane stops at its least width.
    DragSplitter(right->Splitter(), right->width());
    ASSERT_TRUE(wizard::PumpUntil([&] { return pane->width() + Skin().splitterWidth == kMinPreviewWidth; }, "the narrowest pane"));
    ExpectResizeCursorAlong(right, right->Splitter(), list->width(), strip, right->height());
    EXPECT_TRUE(wizard::Shot(dlg_.get(), ShotName("splitters-dragged")));

    // The caption's maximise item is disabled on the main window: a click on it changes nothing.
    UiCtrl::UiItem* maximise = dlg_->GetCaptionItem(HomeBaseDialog::kCmdMaximize);
    UiCtrl::UiItem* restore = dlg_->GetCaptionItem(HomeBaseDialog::kCmdRestore);
    ASSERT_NE(maximise, nullptr);
    ASSERT_NE(restore, nullptr);
    ASSERT_TRUE(maximise->IsVisible());
    EXPECT_FALSE(maximise->IsEnabled());
    const QSize normalSize = dlg_->size();
    const RECT m = maximise->GetRect();
    QTest::mouseClick(dlg_.get(), Qt::LeftButton, {}, QPoint((m.left + m.right) / 2, (m.top + m.bottom) / 2));
    uiwait::Flush();
    EXPECT_EQ(dlg_->size(), normalSize);
    EXPECT_FALSE(dlg_->IsMaximized());

    // A double click on the caption maximises: the page fills the window, the list takes the width.
    const int containerWidth = container.width();
    const int paneNow = pane->width();
    const int listNow = list->width();
    const int leftNow = container.LeftWidth();
    QTest::mouseDClick(dlg_.get(), Qt::LeftButton, {}, QPoint(dlg_->width() / 2, HomeBaseDialog::kCaptionHeight / 2));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->IsMaximized(); }, "the maximised window"));
    const QRect screen = dlg_->screen()->availableGeometry();
    EXPECT_EQ(dlg_->geometry(), screen);
    ASSERT_TRUE(wizard::PumpUntil([&] { return container.width() == containerWidth + screen.width() - normalSize.width(); },
                                  "the browser following the window"));
    EXPECT_EQ(list->width(), listNow + container.width() - containerWidth);
    EXPECT_EQ(pane->width(), paneNow);
    EXPECT_EQ(container.LeftWidth(), leftNow);
    EXPECT_FALSE(maximise->IsVisible());
    EXPECT_TRUE(restore->IsVisible());
    EXPECT_TRUE(wizard::Shot(dlg_.get(), ShotName("maximised")));

    // The restore item, in the same place, brings back the window and the list as they were.
    const RECT r = restore->GetRect();
    EXPECT_EQ(r.left, m.left + dlg_->width() - normalSize.width());
    QTest::mouseClick(dlg_.get(), Qt::LeftButton, {}, QPoint((r.left + r.right) / 2, (r.top + r.bottom) / 2));
    ASSERT_TRUE(wizard::PumpUntil([&] { return !dlg_->IsMaximized() && container.width() == containerWidth; }, "the restored window"));
    EXPECT_EQ(dlg_->size(), normalSize);
    EXPECT_EQ(list->width(), listNow);
    EXPECT_EQ(pane->width(), paneNow);
    EXPECT_TRUE(maximise->IsVisible());
}

// A card of pictures in the icon view: a one-colour PNG of 1 bit per pixel keeps its colour in
// its thumbnail, as the pane shows it. Then another folder opened from the icon view and the
// pane switched on, which brings the details list: the pane shows the row the list marks, and
// a click on that row keeps it shown.
TEST_P(BrowserLayout, TheIconViewShowsAPalettePictureInItsColourAndThePaneTheMarkedRowAfterAFolderChange) {
    const std::string missing = testutil::MissingTools({"mkfs.vfat", "mcopy", "mmd", "mdel", "truncate", "sfdisk"});
    if (!missing.empty()) GTEST_SKIP() << "missing " << missing;
    // A solid green picture stored as 1 bit per pixel with a palette of that one colour.
    const QRgb green = qRgb(0, 160, 0);
    QImage picture(300, 200, QImage::Format_Mono);
    picture.setColorTable({green});
    picture.fill(0);
    testutil::TempDir source;
    ASSERT_TRUE(picture.save(QString::fromStdString(source.File("green.png")), "PNG"));
    std::ofstream(source.File("note.txt")) << "a note beside the pictures\n";
    const std::string card = disks_.File("card.img");
    // One FAT16 partition from 1 MiB on, as a card comes, whose files were deleted: what the
    // deleted-file scan lists.
    const std::string volume = card + "@@1M";
    ASSERT_TRUE(testutil::RunQuiet("truncate -s 5M " + card + " && echo 'start=2048, size=8192, type=4' | sfdisk -q " + card + " && mkfs.vfat -F 16 -s 1 -h 2048 --offset 2048 " + card + " 4096 && mmd -i " +
                                   volume + " ::Pictures ::Notes && mcopy -i " + volume + " " + source.File("green.png") + " ::Pictures/ && mcopy -i " +
                                   volume + " " + source.File("note.txt") + " ::Notes/ && mdel -i " + volume + " ::Pictures/green.png ::Notes/note.txt"));
    // The card is the machine's only disk.
    fs::remove(disks_.File("mbr-disk.img"));
    ASSERT_NO_FATAL_FAILURE(ScanVolume("FAT16"));
    CWndRightView* right = Container().Right();
    CFileIconCtrl* icons = right->Icons()->List();
    CButtonEx* iconButton = right->Commands()->Button(ID_VIEW_LARGEICONS);
    ASSERT_NE(iconButton, nullptr);
    QTest::mouseClick(iconButton, Qt::LeftButton, {}, iconButton->rect().center());
    ASSERT_TRUE(wizard::PumpUntil([&] { return icons->isVisible(); }, "the icon view"));
    // A folder opened from the path tree by a click on its item, as the user changes folder.
    CFileTreeCtrl* tree = Container().Left()->PathTree();
    auto openFromTree = [&](const std::string& folder) {
        const QModelIndexList found = tree->model()->match(tree->model()->index(0, 0), Qt::DisplayRole, QString::fromStdString(folder), 1,
                                                           Qt::MatchEndsWith | Qt::MatchRecursive);
        ASSERT_EQ(found.size(), 1) << folder;
        tree->scrollTo(found.front());
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(found.front()).center());
        testutil::WaitForRows();
        ASSERT_TRUE(CFileVirtualNodeManager::Instance().CurrentFolder()->GetName().ends_with(folder));
    };
    ASSERT_NO_FATAL_FAILURE(openFromTree("Pictures"));
    const int row = RowOf("reen.png");
    ASSERT_GE(row, 0);
    RefHolder<FileList_Item> file(CFileListData::FolderModel().GetItem(row));
    ASSERT_TRUE(wizard::PumpUntil([&] { return !icons->Thumbnail(file->fileNode).isNull(); }, "the picture's thumbnail"));
    const QImage thumbnail = icons->Thumbnail(file->fileNode).toImage();
    for (const QPoint at : {QPoint(10, 10), QPoint(11, 10), QPoint(65, 43), QPoint(66, 44)})
        EXPECT_EQ(QColor(thumbnail.pixel(at)), QColor(green)) << at.x() << "," << at.y();
    uiwait::Paint(dlg_.get());
    EXPECT_TRUE(wizard::Shot(dlg_.get(), ShotName("icon-view-1-bit-png")));

    // Another folder opened from the icon view (its row chosen, then Enter), then the pane: the
    // row the icon view marks is the one the pane shows.
    ASSERT_NO_FATAL_FAILURE(openFromTree("FAT16)"));
    const int notes = RowOf("Notes");
    ASSERT_GE(notes, 0);
    icons->setFocus();
    QTest::mouseClick(icons->viewport(), Qt::LeftButton, {}, icons->CellRect(notes).center());
    QTest::keyClick(icons, Qt::Key_Return);
    testutil::WaitForRows();
    ASSERT_EQ(CFileVirtualNodeManager::Instance().CurrentFolder()->GetName(), "Notes");
    CWndPreview* pane = right->Preview();
    CButtonEx* paneButton = right->Commands()->Button(ID_VIEW_PREVIEWPANE);
    ASSERT_NE(paneButton, nullptr);
    QTest::mouseClick(paneButton, Qt::LeftButton, {}, paneButton->rect().center());
    ASSERT_TRUE(wizard::PumpUntil([&] { return pane->isVisible(); }, "the preview pane"));
    uiwait::Flush();
    // The pane comes with the details list, which marks the row the icon view had: the pane
    // shows that row, and a click on it keeps it shown.
    CFileListCtrl* list = right->Details();
    ASSERT_TRUE(list->isVisible());
    const QModelIndex marked = list->currentIndex();
    ASSERT_TRUE(marked.isValid()) << "no row marked";
    RefHolder<FileList_Item> markedRow(CFileListData::FolderModel().GetItem(marked.row()));
    EXPECT_EQ(pane->Item(), markedRow.get()) << "the pane does not show the marked row";
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(marked).center());
    uiwait::Flush();
    EXPECT_EQ(pane->Item(), markedRow.get()) << "a click on the marked row does not show it";
    EXPECT_TRUE(pane->MessageText().isEmpty());
    EXPECT_FALSE(pane->LabelText().isEmpty());
    uiwait::Paint(dlg_.get());
    EXPECT_TRUE(wizard::Shot(dlg_.get(), ShotName("pane-after-icon-view")));
}

INSTANTIATE_TEST_SUITE_P(Languages, BrowserLayout, ::testing::Values(kEnglish, kGerman),
                         [](const ::testing::TestParamInfo<WindowLanguage>& info) { return std::string(info.param.tag); });

}  // namespace

namespace {

TEST_F(BrowserWindow, ThePreviewPaneDrawsAVolumeByTheDrivePictureAtASizeItHas) {
    ASSERT_NO_FATAL_FAILURE(ScanVolume("FAT16"));
    // A deep scan puts the volume beside the signature-found files: the top lists it as a row.
    ASSERT_TRUE(wizard::RunDeepScanFromStrip(*dlg_));
    CWndPreview* pane = Container().Right()->Preview();
    CButtonEx* paneButton = Container().Right()->Commands()->Button(ID_VIEW_PREVIEWPANE);
    ASSERT_NE(paneButton, nullptr);
    QTest::mouseClick(paneButton, Qt::LeftButton, {}, paneButton->rect().center());
    ASSERT_TRUE(wizard::PumpUntil([&] { return pane->isVisible(); }, "the preview pane"));

    // The tree's top item, clicked, then the volume's row.
    CFileTreeCtrl* tree = Container().Left()->PathTree();
    const QModelIndex top = tree->model()->index(0, 0);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(top).center());
    testutil::WaitForRows();
    const int volume = RowOf("(FAT16)");
    ASSERT_GE(volume, 0) << "no volume row at the top";
    CFileListCtrl* list = Container().Right()->Details();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(volume, 0)).center());
    ASSERT_TRUE(wizard::PumpUntil([&] { return pane->Item() && pane->Item()->name.ends_with("(FAT16)"); }, "the volume in the pane"));
    EXPECT_EQ(pane->IconIndex(), kIconDrive);
    // Drawn at a size the picture has, not stretched to the large-icon square.
    const QPixmap drawn = pane->IconPixmap();
    const QSize size = drawn.deviceIndependentSize().toSize();
    EXPECT_TRUE(IconForIndex(kIconDrive).availableSizes().contains(size)) << size.width() << "x" << size.height();
    EXPECT_TRUE(wizard::Shot(dlg_.get(), "browser-pane-volume-en"));
}

}  // namespace

namespace {

// The search and preview windows of the browser, in each language the window is read in.
class BrowserDialogs : public BrowserWindow, public ::testing::WithParamInterface<WindowLanguage> {
protected:
    WindowLanguage Language() const override { return GetParam(); }
    // A click where the user sees an item of a skinned dialog: a caption item is placed in
    // window coordinates, a client item in client coordinates.
    static void ClickCaptionItem(HomeBaseDialog& dialog, int id) {
        const RECT r = dialog.GetCaptionItem(id)->GetRect();
        const QPoint at((r.left + r.right) / 2, (r.top + r.bottom) / 2);
        QTest::mouseMove(&dialog, at);
        QTest::mouseClick(&dialog, Qt::LeftButton, {}, at);
    }
};

TEST_P(BrowserDialogs, TheSearchAndPreviewWindowsAreSkinnedDialogsThatTheirCloseItemEnds) {
    const std::string tag = GetParam().tag;
    ASSERT_NO_FATAL_FAILURE(ScanVolume("FAT32"));

    // The search window from the command bar, closed by its caption's close item: no search.
    QPointer<::SearchDlg> search;
    bool searchShown = false;
    wizard::ModalWatch answerSearch([&](QWidget* w) {
        auto* dialog = dynamic_cast<::SearchDlg*>(w);
        if (!dialog || searchShown) return;
        searchShown = true;
        search = dialog;
        EXPECT_NE(dialog->GetCaptionItem(HomeBaseDialog::kCmdClose), nullptr);
        QTest::keyClicks(dialog->Edit(), QStringLiteral("TXT"));
        uiwait::Paint(dialog);
        EXPECT_TRUE(wizard::Shot(dialog, "browser-search-dialog-" + tag));
        ClickCaptionItem(*dialog, HomeBaseDialog::kCmdClose);
    });
    CButtonEx* searchButton = Container().Right()->Commands()->Button(ID_VIEW_SEARCH);
    ASSERT_NE(searchButton, nullptr);
    QTest::mouseClick(searchButton, Qt::LeftButton, {}, searchButton->rect().center());
    ASSERT_TRUE(wizard::PumpUntil([&] { return searchShown && !search; }, "the search window's end"));
    EXPECT_FALSE(SearchTabShown()) << "closing the search window searched";

    // A found file opened from the list: its preview runs in the skinned frame with the file's
    // name as title, and the caption's close item ends it.
    const int row = OpenFolders({"Projects"}, "ILE4551.TXT");
    ASSERT_GE(row, 0);
    QPointer<PreviewFrameDlg> frame;
    bool previewShown = false;
    std::string title;
    wizard::ModalWatch answerPreview([&](QWidget* w) {
        auto* shown = dynamic_cast<PreviewFrameDlg*>(w);
        if (!shown || previewShown) return;
        previewShown = true;
        frame = shown;
        EXPECT_NE(qobject_cast<CFilePreViewDlg*>(&shown->Content()), nullptr);
        EXPECT_TRUE(shown->Content().isVisible());
        EXPECT_EQ(shown->Content().geometry().top(), HomeBaseDialog::kCaptionHeight) << "the preview starts below the caption";
        title = shown->windowTitle().toStdString();
        uiwait::Paint(shown);
        EXPECT_TRUE(wizard::Shot(shown, "browser-preview-dialog-" + tag));
        ClickCaptionItem(*shown, HomeBaseDialog::kCmdClose);
    });
    DoubleClickRow(row);
    ASSERT_TRUE(wizard::PumpUntil([&] { return previewShown && !frame; }, "the preview window's end"));
    EXPECT_TRUE(title.ends_with(Skin().filePreview)) << title;
    EXPECT_NE(title.find("ILE4551.TXT"), std::string::npos) << title;

    // The preview's Recovery asks for a name in the toolkit's save dialog, which speaks the
    // interface language; cancelled, nothing is written.
    if (GetParam().index != 0) {
        ASSERT_FALSE(ToolkitTranslationFile().empty())
            << "the toolkit's translation for " << tag << " (qtbase_" << tag << ".qm) is not in " << ToolkitTranslationFolder()
            << ": scripts/setup.sh installs it with qt6-translations-l10n";
    }
    QPointer<QFileDialog> save;
    ToolkitSaveTexts saveTexts;
    wizard::ModalWatch answerSave([&](QWidget* w) {
        if (auto* shown = dynamic_cast<PreviewFrameDlg*>(w)) {
            if (auto* content = qobject_cast<CFilePreViewDlg*>(&shown->Content())) content->RecoveryButton()->click();
        } else if (auto* files = qobject_cast<QFileDialog*>(w); files && !save) {
            save = files;
            saveTexts = SaveDialogTexts(*files);
            uiwait::Paint(files);
            EXPECT_TRUE(wizard::Shot(files, "browser-save-dialog-" + tag));
            files->reject();
        }
    });
    DoubleClickRow(row);
    ASSERT_TRUE(wizard::PumpUntil([&] { return !saveTexts.empty() && !save; }, "the save dialog's end"));
    if (GetParam().saveDialog) {
        EXPECT_EQ(saveTexts, *GetParam().saveDialog);
    }
}

// A file that cannot be previewed is refused in the program's own box over the browser, in its language.
TEST_P(BrowserDialogs, ThePreviewsRefusalsComeInTheProgramsOwnBox) {
    ASSERT_NO_FATAL_FAILURE(ScanVolume("FAT32"));
    // The deep scan's offer first; this test answers the later boxes itself.
    ASSERT_TRUE(wizard::PumpUntil([&] { return !messages_.empty(); }, "the offer of the deep scan"));
    boxes_.reset();
    std::vector<std::string> shown;
    wizard::ModalWatch answer(uiwait::OfType<QZMMessageBox>([&](QZMMessageBox* box) {
        shown.push_back(box->Text() + " | " + box->CaptionText() + (box->parentWidget() == &Container() ? " | over the browser" : ""));
        uiwait::Paint(box);
        EXPECT_TRUE(wizard::Shot(box, "browser-preview-refused-" + std::to_string(shown.size()) + "-" + GetParam().tag));
        wizard::EndModal(box, 1);
    }));
    // The reasons for a refusal are the right view's own; an encrypted file stands for them all.
    std::unique_ptr<CFileNode> file(browsertest::Add(nullptr, "found.dat", false, 10));
    static_cast<browsertest::Props*>(file->GetFileProperties())->attributes = kAttrArchive | kAttrEfsEncrypted;
    RefHolder<FileList_Item> row(FileList_Item::ForFile(file.get()));
    Container().Right()->OpenItem(row.get());
    EXPECT_EQ(shown, std::vector<std::string>{Skin().previewEncrypt + " | Morvenda Data Recovery | over the browser"});
}

// A preview and a list Recovery during a scan each pause it as the browser's (the strip still searching,
// no Continue); the preview warns and skips the tip, the list shows it while "ShowTip" is 1; the scan goes on after.
TEST_P(BrowserDialogs, APreviewAndARecoveryDuringTheScanPauseItAsTheBrowsersAndTheScanGoesOnAfter) {
    const std::string tag = GetParam().tag;
    wizard::ScanEnd().Close();
    RecoveryGraph::Instance().SetControllerFactory(&wizard::MakeScanHeldAtItsEnd);
    ASSERT_NO_FATAL_FAILURE(wizard::StartScanByTile(*dlg_, "FAT16"));
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    ASSERT_TRUE(wizard::PumpUntil([&] { return wizard::HeldAtScanEnd() && !manager.PathRoot()->GetChildren()->empty() && !manager.HasPending(); },
                                  "the scan's trees in the browser, the scan still running"));
    // A picture's row, its folder listed (which binds the folder's children).
    int row = -1;
    for (std::deque<CBindingNode*> walk{manager.PathRoot()}; !walk.empty() && row < 0; walk.pop_front()) {
        manager.ShowFolder(walk.front());
        testutil::WaitForRows();
        for (int r = 0; r < CFileListData::FolderModel().GetCount() && row < 0; ++r)
            if (RefHolder<FileList_Item> item(CFileListData::FolderModel().GetItem(r)); !item->IsFolderRow() && IsImageName(item->name)) row = r;
        for (CBindingNode* c : *walk.front()->GetChildren()) walk.push_back(c);
    }
    ASSERT_GE(row, 0) << "no picture found";
    auto strip = [&] {
        return std::string(Strip().TitleKey()) + (Strip().GetState() == kProgressPaused ? ", paused" : ", running") +
               (Strip().GetItem(RecoveryProgressWnd::kItemContinue)->IsVisible() ? ", Continue" : "");
    };
    const std::string pausedAsTheBrowsers = "Searching, paused";
    std::vector<std::string> seen;  // each dialog, with the strip behind it
    wizard::ModalWatch answer([&](QWidget* w) {
        if (auto* frame = dynamic_cast<PreviewFrameDlg*>(w)) {
            auto* content = qobject_cast<CFilePreViewDlg*>(&frame->Content());
            seen.push_back(std::string(content->Warning() ? "warned preview: " : "preview: ") + strip());
            uiwait::Paint(frame);
            EXPECT_TRUE(wizard::Shot(frame, "browser-preview-scan-paused-" + tag));
            EXPECT_TRUE(wizard::Shot(dlg_.get(), "browser-preview-scan-searching-" + tag));
            content->RecoveryButton()->click();
        } else if (auto* tip = dynamic_cast<RecoveryTipInScanDlg*>(w)) {
            seen.push_back("tip: " + strip());
            uiwait::Paint(tip);
            EXPECT_TRUE(wizard::Shot(tip, "browser-recovery-tip-in-scan-" + tag));
            EXPECT_TRUE(wizard::ClickDialogItem(*tip, RecoveryTipInScanDlg::kItemCancel));
        } else if (auto* files = qobject_cast<QFileDialog*>(w)) {
            seen.push_back("save: " + strip());
            files->reject();
        }
    });
    auto expectRoad = [&](const std::vector<std::string>& road, const char* what) {
        ASSERT_TRUE(wizard::PumpUntil([&] { return seen.size() >= road.size() && Strip().GetState() != kProgressPaused; }, what));
        EXPECT_EQ(seen, road) << what;
        EXPECT_EQ(strip(), "Searching, running") << "after " << what;
        seen.clear();
    };
    DoubleClickRow(row);
    expectRoad({"warned preview: " + pausedAsTheBrowsers, "save: " + pausedAsTheBrowsers}, "the preview");
    ASSERT_EQ(ConfigShowTip(), 1);
    for (const bool tip : {true, false}) {
        if (!tip) WritePrivateProfileString("register", "ShowTip", "0", ConfigFilePath().c_str());
        // Recovery from the list's menu, as a user right-clicks the row and picks it.
        wizard::ModalWatch menu(uiwait::OfType<QMenu>([](QMenu* popup) {
            popup->actions().first()->trigger();
            popup->close();
        }), uiwait::Watched::kPopup);
        CFileListCtrl* list = Container().Right()->Details();
        const QPoint at = list->visualRect(list->model()->index(row, 1)).center();
        QContextMenuEvent rightClick(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
        QApplication::sendEvent(list->viewport(), &rightClick);
        expectRoad({(tip ? "tip: " : "save: ") + pausedAsTheBrowsers}, tip ? "the recovery with the tip" : "the recovery without the tip");
    }
    wizard::ScanEnd().Open();
    ASSERT_TRUE(wizard::PumpUntil([&] { return Strip().GetItem(RecoveryProgressWnd::kItemHome)->IsVisible(); }, "the scan's end"));
}

INSTANTIATE_TEST_SUITE_P(Languages, BrowserDialogs, ::testing::Values(kEnglish, kGerman, kJapanese),
                         [](const ::testing::TestParamInfo<WindowLanguage>& info) { return std::string(info.param.tag); });

}  // namespace
