// The real main window, offscreen, after a scan of a fixture disk given as MORVENDA_DISKS, when
// the user switches the interface language from the main menu: the browser's column titles and
// the preview pane's labels follow at once, the column widths the user dragged stay, and the
// details list gives dates, type names and sizes as a user of that language reads them.
// Screenshots go to <build>/screenshots/.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QTest>
#include <filesystem>

#include "TestUtil.h"
#include "WizardDriver.h"
#include "app/QZMUIDlg.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "browser/ListWait.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "browser/preview/PreviewPane.h"
#include "browser/views/Container.h"
#include "browser/views/Widgets.h"
#include "core/Settings.h"
#include "engine/RecoveryGraph.h"
#include "plugins/Plugins.h"

namespace {

namespace fs = std::filesystem;
using namespace FileSelCtrl;
using UiCtrl::RecoveryProgressWnd;

constexpr int kEnglish = 0, kJapanese = 1, kGerman = 2;

class WindowLanguage : public ::testing::Test {
protected:
    void SetUp() override {
        wizard::StartWindowProgram(program_, disks_);
        wizard::UseLanguage(kEnglish, "English.dat");
        dlg_ = std::make_unique<CQZMUIDlg>();
        dlg_->Create();
        boxes_ = std::make_unique<wizard::ModalWatch>([](QWidget* m) {
            if (dynamic_cast<QZMMessageBox*>(m)) wizard::EndModal(m, 1);
        });
    }
    void TearDown() override {
        if (GetUiLanguage() != kEnglish) wizard::SwitchLanguageByMenu(*dlg_, kEnglish);
        if (dlg_->CurrentPage() == dlg_->ResultPage()->GetHwnd() && wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemHome)) {
            EXPECT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == dlg_->FileTypePage()->GetHwnd(); }, "home"));
        }
        boxes_.reset();
        dlg_.reset();
        RecoveryGraph::Instance().SetStopRequested(0);
        UiResources::Instance().SetLanguage(kEnglish, "English.dat");
        SetUiLanguage(kEnglish, "English.dat");
        ::unsetenv("XDG_STATE_HOME");
        program_.reset();
    }
    RecoveryProgressWnd& Strip() { return dlg_->ResultPage()->Progress(); }
    CFileSelCtrlContainer& Container() { return *dlg_->ResultPage()->Browser()->Container(); }
    CFileListCtrl* List() { return Container().Right()->Details(); }
    CWndPreview* Pane() { return Container().Right()->Preview(); }

    static int RowOf(const std::string& name) {
        CFileListData& list = CFileListData::FolderModel();
        for (int r = 0; r < list.GetCount(); ++r) {
            RefHolder<FileList_Item> row(list.GetItem(r));
            if (row->name.ends_with(name)) return r;
        }
        return -1;
    }
    // The FAT16 volume scanned (its deleted files), the preview pane shown from the command bar,
    // the folder opened by a double click on its row and the file's row clicked: its row. A
    // deleted file may have lost its first letter.
    int ShowFileInPane(const char* folder, const std::string& file) {
        wizard::ScanVolumeByTile(*dlg_, "FAT16");
        if (::testing::Test::HasFatalFailure()) return -1;
        CButtonEx* paneButton = Container().Right()->Commands()->Button(ID_VIEW_PREVIEWPANE);
        if (!paneButton) return -1;
        QTest::mouseClick(paneButton, Qt::LeftButton, {}, paneButton->rect().center());
        EXPECT_TRUE(wizard::PumpUntil([&] { return Pane()->isVisible(); }, "the preview pane"));
        CFileVirtualNodeManager::Instance().ShowFolder(CFileVirtualNodeManager::Instance().PathRoot());
        testutil::WaitForRows();
        const int folderRow = RowOf(folder);
        if (folderRow < 0) return -1;
        QTest::mouseDClick(List()->viewport(), Qt::LeftButton, {}, List()->visualRect(List()->model()->index(folderRow, 0)).center());
        testutil::WaitForRows();
        const int row = RowOf(file);
        if (row < 0) return -1;
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, List()->visualRect(List()->model()->index(row, 0)).center());
        EXPECT_TRUE(wizard::PumpUntil([&] { return Pane()->Item() && Pane()->Item()->name.ends_with(file) && !Pane()->ValueText().isEmpty(); },
                                      "the file in the pane"));
        return row;
    }
    // A drag of a column's right edge in the header by dx pixels, as a mouse does it.
    void DragColumnEdge(int column, int dx) {
        QHeaderView* header = List()->horizontalHeader();
        QWidget* target = header->viewport();
        const int edge = header->sectionViewportPosition(column) + header->sectionSize(column) - 1;
        const QPoint from(edge, header->height() / 2), to(edge + dx, header->height() / 2);
        auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
            QMouseEvent e(type, at, target->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
            QApplication::sendEvent(target, &e);
        };
        send(QEvent::MouseMove, from, Qt::NoButton);
        send(QEvent::MouseButtonPress, from, Qt::LeftButton);
        send(QEvent::MouseMove, to, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, to, Qt::NoButton);
    }
    std::vector<std::string> Titles() {
        std::vector<std::string> out;
        for (int c = kColumnName; c <= static_cast<int>(kColumnSize); ++c) out.push_back(List()->model()->headerData(c, Qt::Horizontal).toString().toStdString());
        return out;
    }
    std::vector<int> Widths() {
        std::vector<int> out;
        for (int c = kColumnName; c <= static_cast<int>(kColumnSize); ++c) out.push_back(List()->horizontalHeader()->sectionSize(c));
        return out;
    }
    std::string Cell(int row, int column) { return List()->model()->index(row, column).data().toString().toStdString(); }

    testutil::TempDir disks_;
    std::unique_ptr<wizard::ProgramFolderScope> program_;
    std::unique_ptr<CQZMUIDlg> dlg_;
    std::unique_ptr<wizard::ModalWatch> boxes_;
};

// The Japanese and English words are those of the shipped browser files.
TEST_F(WindowLanguage, AMenuSwitchTranslatesTitlesAndPaneLabelsAtOnceAndKeepsTheDraggedWidths) {
    const int row = ShowFileInPane("Projects", "SC65149.TXT");
    ASSERT_GE(row, 0);
    ASSERT_EQ(Titles(), (std::vector<std::string>{"Name", "Date", "Type", "Size"}));
    EXPECT_TRUE(Pane()->LabelText().contains(QStringLiteral("Filename:")));
    DragColumnEdge(kColumnName, 70);
    DragColumnEdge(kColumnType, -30);
    const std::vector<int> dragged = Widths();
    EXPECT_EQ(dragged[kColumnName], Skin().columns[kColumnName].width + 70) << "the drag did not reach the header";
    EXPECT_EQ(dragged[kColumnType], Skin().columns[kColumnType].width - 30);

    ASSERT_NO_FATAL_FAILURE(wizard::SwitchLanguageByMenu(*dlg_, kJapanese));
    EXPECT_EQ(Titles(), (std::vector<std::string>{"名前", "日付", "種類", "サイズ"}));
    EXPECT_EQ(Widths(), dragged);
    const QString labels = Pane()->LabelText();
    for (const char* label : {"ファイル名:", "サイズ:", "種類:", "作成日時:"})
        EXPECT_TRUE(labels.contains(QString::fromUtf8(label))) << label << " not in " << labels.toStdString();
    EXPECT_TRUE(Pane()->ValueText().contains(QStringLiteral("2019/06/29 7:32:54"))) << Pane()->ValueText().toStdString();
    uiwait::Paint(dlg_.get());
    EXPECT_TRUE(wizard::Shot(dlg_.get(), "language-switched-ja"));

    ASSERT_NO_FATAL_FAILURE(wizard::SwitchLanguageByMenu(*dlg_, kEnglish));
    EXPECT_EQ(Titles(), (std::vector<std::string>{"Name", "Date", "Type", "Size"}));
    EXPECT_EQ(Widths(), dragged);
    EXPECT_TRUE(Pane()->LabelText().contains(QStringLiteral("Filename:")));
    EXPECT_TRUE(wizard::Shot(dlg_.get(), "language-switched-back-en"));
}

// A deleted file's date, type and size cells in each language the menu switches to; the wall-clock
// time of a FAT entry is shown as stored.
TEST_F(WindowLanguage, TheDetailsListGivesDatesTypesAndSizesInTheInterfaceLanguage) {
    const int row = ShowFileInPane("Projects", "SC65149.TXT");
    ASSERT_GE(row, 0);
    const struct {
        int language;
        const char* date;
        const char* type;
        const char* shot;
    } cases[] = {
        {kGerman, "29.06.2019 07:32:54", "Einfaches Textdokument", "language-details-de"},
        {kJapanese, "2019/06/29 7:32:54", "平文テキストドキュメント", "language-details-ja"},
        {kEnglish, "6/29/2019 7:32:54 AM", "plain text document", "language-details-en"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shot);
        ASSERT_NO_FATAL_FAILURE(wizard::SwitchLanguageByMenu(*dlg_, c.language));
        EXPECT_EQ(Cell(row, kColumnDate), c.date);
        EXPECT_EQ(Cell(row, kColumnType), c.type);
        EXPECT_EQ(Cell(row, kColumnSize), "1.46 KB");  // 1500 bytes
        EXPECT_TRUE(Pane()->ValueText().contains(QString::fromUtf8(c.type))) << Pane()->ValueText().toStdString();
        uiwait::Paint(dlg_.get());
        EXPECT_TRUE(wizard::Shot(dlg_.get(), c.shot));
    }
}

}  // namespace
