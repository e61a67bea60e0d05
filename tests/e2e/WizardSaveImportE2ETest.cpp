// Saving a scan result and loading it again through the real main window, offscreen, on a
// fixture disk given as MORVENDA_DISKS: the result page's save command with its file dialog and
// progress window, going home, the import item with its file dialog, and the loaded trees held
// against the scanned ones (counts, the browser's folders, the files a recovery writes). Saving
// never harms an existing file; a file that is no saved result and a damaged one are refused and
// leave the browser empty. The windows go to <build>/screenshots/ for review.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLineEdit>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "E2ESupport.h"
#include "Gate.h"
#include "TestUtil.h"
#include "WizardDriver.h"
#include "app/QZMUIDlg.h"
#include "core/Settings.h"
#include "app/dialogs/SaveRestoreScanResult.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/pages/SelDataLostPartitionWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "browser/model/BindingNode.h"
#include "browser/model/NodeManager.h"
#include "engine/FileRecoverer.h"
#include "engine/FileSystemNode.h"
#include "engine/HeadlessSinks.h"
#include "platform/ProgramDir.h"
#include "plugins/Plugins.h"

namespace {

namespace fs = std::filesystem;
using UiCtrl::SelDataLostPartitionWnd;

const char* const kLanguageFiles[] = {"English.dat", "Japanese.dat", "Deutsch.dat"};

// Holds the save/load worker until the test lets it go, so the window can be looked at.
testutil::Gate g_release;
bool g_releaseTimedOut = false;
void HoldWorker(SaveRestoreScanResult*) {
    if (!g_release.Wait()) g_releaseTimedOut = true;
}

std::string Text(const char* key) { return UiResources::Instance().GetString(key); }

// The session's trees as counted: files, folders, deleted entries and bytes of each.
std::vector<u64> Counts() {
    std::vector<u64> out;
    for (CFileSystemNode* root : RecoveryGraph::Instance().GetTreeRoots()) {
        const TreeCounts c = CountTree(root);
        out.insert(out.end(), {c.files, c.folders, c.deleted, c.bytes});
    }
    return out;
}

// What a recovery of every file of the session's trees writes: relative path to content hash.
std::map<std::string, std::string> RecoverAll(const std::string& folder) {
    RecoveryGraph& session = RecoveryGraph::Instance();
    fs::create_directories(folder);
    for (CFileSystemNode* root : session.GetTreeRoots()) {
        CheckWholeTree(root);
        CountingRecoverCallback counts;
        char out[520] = {};
        CFileRecoverer().RecoverFolder(&counts, session.GetFirstVolumeDevice(), root, folder.c_str(), out, sizeof out);
    }
    std::map<std::string, std::string> files;
    for (const std::string& rel : e2e::ListFiles(folder)) files[rel] = testutil::Sha256File(folder + "/" + rel);
    return files;
}

// The folders the browser's path tree lists, looking through a folder that stands for a whole
// tree (a loaded result shows each tree so; a scan shows its tree's folders at the top).
std::vector<std::string> BrowserFolders() {
    auto& manager = FileSelCtrl::CFileVirtualNodeManager::Instance();
    EXPECT_TRUE(wizard::PumpUntil([&] { return !manager.HasPending(); }, "the browser's pending work"));
    std::vector<std::string> out;
    std::function<void(const FileSelCtrl::CBindingNode*)> walk = [&](const FileSelCtrl::CBindingNode* node) {
        if (const auto* children = node->GetChildren())
            for (const FileSelCtrl::CBindingNode* c : *children) c->IsSystemFolder() ? walk(c) : out.push_back(c->GetName());
    };
    walk(manager.PathRoot());
    std::sort(out.begin(), out.end());
    return out;
}

// Scans the FAT32 fixture volume through the wizard; the deep-scan offer is answered by a watch.
void Scan(CQZMUIDlg& dlg) {
    auto& place = *dlg.PlacePage();
    ASSERT_TRUE(wizard::ClickItem(*dlg.FileTypePage(), UiCtrl::SelFileTypeWnd::kItemNext));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg.CurrentPage() == place.GetHwnd() && !place.TimerRunning(); }));
    ASSERT_NO_FATAL_FAILURE(wizard::RefreshDisks(place));
    auto& tiles = place.GroupAt(SelDataLostPartitionWnd::kGroupDisks).container;
    UiCtrl::VolumeItem* tile = nullptr;
    for (int i = 0; i < tiles.TileCount(); ++i)
        if (tiles.TileAt(i)->text2 == "FAT32" && tiles.TileAt(i)->text1.find("FIX_FAT32") != std::string::npos) tile = tiles.TileAt(i);
    ASSERT_NE(tile, nullptr);
    const RECT r = tile->GetRect();
    wizard::Click(tiles, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    ASSERT_TRUE(wizard::ClickItem(place, SelDataLostPartitionWnd::kItemScan));
    auto& result = *dlg.ResultPage();
    ASSERT_TRUE(wizard::PumpUntil([&] {
        return dlg.CurrentPage() == result.GetHwnd() && !result.Progress().IsRunningOrTimed() &&
               !RecoveryGraph::Instance().IsScanRunning();
    }, "the end of the scan"));
    uiwait::Flush();
}

class WizardSaveImport : public ::testing::TestWithParam<int> {};

TEST_P(WizardSaveImport, ASavedScanLoadsBackAsTheSameTreesAndFilesAndNeverHarmsAFile) {
    const int language = GetParam();
    const std::string prefix = std::string("saveimport-") + (language == 0 ? "en" : "de") + "-";
    testutil::TempDir disks, work;
    fs::copy_file(testutil::FixturePath("fat32-basic.img"), disks.File("fat32-basic.img"));
    // The program folder of the test: the shipped texts and skin; settings and saved results in
    // folders of its own.
    wizard::ProgramFolderScope program;
    ::setenv("XDG_STATE_HOME", program.File("state").c_str(), 1);
    ::setenv("MORVENDA_DISKS", disks.Path().c_str(), 1);
    wizard::EnsureApp();
    RegisterAllPlugins();
    wizard::UseLanguage(language, kLanguageFiles[language]);
    SaveRestoreScanResult::SetWorkerStartHook(HoldWorker);
    struct Restore {
        ~Restore() {
            g_release.Open();
            EXPECT_FALSE(g_releaseTimedOut) << "a held save or load was never let go";
            SaveRestoreScanResult::SetWorkerStartHook(nullptr);
            UiResources::Instance().SetLanguage(0, "English.dat");
            SetUiLanguage(0, "English.dat");
            ::unsetenv("XDG_STATE_HOME");
        }
    } restore;
    auto dlgOwner = std::make_unique<CQZMUIDlg>();
    CQZMUIDlg& dlg = *dlgOwner;
    dlg.Create();
    auto& result = *dlg.ResultPage();
    RecoveryGraph& session = RecoveryGraph::Instance();
    auto& manager = FileSelCtrl::CFileVirtualNodeManager::Instance();

    // Every window is answered as it comes: the file dialogs with a typed name, a held progress
    // window once it was looked at (or cancelled when asked), message boxes by their text.
    std::string typedName, proposed, progressText;
    std::vector<std::string> messages;
    int progressWindows = 0;
    bool cancelNext = false;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (auto* files = qobject_cast<QFileDialog*>(m)) {
            if (files->acceptMode() == QFileDialog::AcceptSave) {
                proposed = files->selectedFiles().value(0).toStdString();
                wizard::Shot(m, prefix + "01-save-dialog");
            }
            auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            ASSERT_NE(name, nullptr);
            name->setText(QString::fromStdString(typedName));
            static_cast<QDialog*>(files)->accept();  // the dialog's own accept checks the name
        } else if (auto* window = dynamic_cast<SaveRestoreScanResult*>(m)) {
            ++progressWindows;
            progressText = window->ProgressText();
            if (g_release.IsOpen()) return;
            if (cancelNext) {
                SendMessage(window->Handle(), WM_COMMAND, SaveRestoreScanResult::kItemCancel, 0);
            } else {
                // The worker is held before it begins: the bar shows what the window is told.
                window->Transfer().Begin("", 100);
                window->Transfer().SetPos(37);
                EXPECT_TRUE(wizard::PumpUntil([&] { return window->ShownPercent() == 37; }, "the bar's next tick"));
                wizard::Shot(m, prefix + (progressWindows == 1 ? "02-saving" : "04-loading"));
            }
            g_release.Open();
        } else if (auto* box = dynamic_cast<QZMMessageBox*>(m)) {
            messages.push_back(box->Text());
            if (box->Text() == Text("ImportFailed")) wizard::Shot(m, prefix + "06-import-failed");
            wizard::EndModal(m, 1);
        }
    });
    Scan(dlg);
    if (::testing::Test::HasFatalFailure()) return;
    const std::vector<u64> scanned = Counts();
    const std::vector<std::string> scannedFolders = BrowserFolders();
    const std::string scannedRoot = manager.PathRoot()->GetName();
    ASSERT_FALSE(scanned.empty());
    ASSERT_FALSE(scannedFolders.empty());

    // Command 206: the file dialog proposes a name in the user's state folder; the typed name
    // gets its ending; the progress window runs; the result says it was saved.
    const std::string saved = work.File("fat32 result.rsf");
    typedName = work.File("fat32 result");
    messages.clear();
    g_release.Close();
    SendMessage(result.GetHwnd(), WM_COMMAND, CMD_SAVE_SCAN, 0);
    EXPECT_EQ(fs::path(proposed).parent_path(), fs::path(program.File("state")) / "Morvenda" / "SaveScan");
    EXPECT_EQ(fs::path(proposed).filename().string().rfind("FIX_FAT32", 0), 0u) << proposed;
    EXPECT_EQ(progressText, Text("Export"));
    EXPECT_EQ(messages, std::vector<std::string>{Text("ExportOk")});
    EXPECT_EQ(e2e::ListEntries(work.Path()), std::vector<std::string>{"fat32 result.rsf"});  // no probe or partial file

    // An existing file: kept when the user says no; whole after a confirmed save is cancelled
    // (which says nothing); replaced by a confirmed save that ends.
    const std::string kept = work.File("kept.rsf");
    std::ofstream(kept) << "an older result";
    auto keptText = [&] { return std::string(std::istreambuf_iterator<char>(std::ifstream(kept).rdbuf()), {}); };
    messages.clear();
    EXPECT_EQ(result.SaveScanResultTo(kept, [](const std::string&) { return false; }), UiCtrl::RecoveryGraphWnd::kSaveTargetKept);
    cancelNext = true;
    g_release.Close();
    EXPECT_EQ(result.SaveScanResultTo(work.File("kept"), [](const std::string&) { return true; }), -3);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(keptText(), "an older result");
    EXPECT_EQ(result.SaveScanResultTo(work.File("missing/r.rsf"), nullptr), UiCtrl::RecoveryGraphWnd::kSaveTargetInvalid);
    EXPECT_EQ(result.SaveScanResultTo(kept, [](const std::string&) { return true; }), 0);
    EXPECT_EQ(messages, (std::vector<std::string>{Text("ExportPathInvalid"), Text("ExportOk")}));
    EXPECT_NE(keptText(), "an older result");
    fs::remove(kept);
    cancelNext = false;
    const auto scannedFiles = RecoverAll(work.File("from-scan"));
    ASSERT_FALSE(scannedFiles.empty());

    // Home, then the import item as if another volume had been scanned since: the file dialog,
    // the progress window, the result page with the saved trees under the saved volume's name.
    ASSERT_TRUE(wizard::ClickItem(result.Progress(), UiCtrl::RecoveryProgressWnd::kItemHome));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg.CurrentPage() == dlg.FileTypePage()->GetHwnd(); }));
    EXPECT_TRUE(BrowserFolders().empty());
    manager.SetRootText("another volume");
    messages.clear();
    typedName = saved;
    g_release.Close();
    SendMessage(dlg.Handle(), WM_COMMAND, CMD_IMPORT_SCAN, 0);
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg.CurrentPage() == result.GetHwnd(); }));
    EXPECT_EQ(progressText, Text("Import"));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(session.GetScanMode(), kScanModeRestored);
    EXPECT_FALSE(dlg.GetCaptionItem(CMD_IMPORT_SCAN)->IsEnabled());
    EXPECT_EQ(Counts(), scanned);
    EXPECT_EQ(BrowserFolders(), scannedFolders);
    EXPECT_EQ(manager.PathRoot()->GetName(), scannedRoot);
    // The strip says how many files the loaded trees hold, as a scan says what it found.
    EXPECT_EQ(session.GetFoundFileCount(), scanned[0]);
    uiwait::Paint(&dlg);
    wizard::Shot(&dlg, prefix + "05-imported");
    EXPECT_EQ(RecoverAll(work.File("from-import")), scannedFiles);

    // A second load over the first replaces it: nothing is shown twice.
    EXPECT_EQ(dlg.ImportScanResultFrom(saved, nullptr), 0);
    EXPECT_EQ(Counts(), scanned);
    EXPECT_EQ(BrowserFolders(), scannedFolders);

    // Refused loads: a name without the ending, a damaged file; each says why and leaves no tree
    // in the browser or the session.
    const std::string damaged = work.File("damaged.rsf");
    fs::copy_file(saved, damaged);
    fs::resize_file(damaged, fs::file_size(saved) / 2);
    for (const auto& [path, answer, key] : {std::tuple{work.File("notes.txt"), -2, "InvalidRsf"}, std::tuple{damaged, -3, "ImportFailed"}}) {
        messages.clear();
        HWND show = nullptr;
        EXPECT_EQ(dlg.ImportScanResultFrom(path, &show), answer) << path;
        EXPECT_EQ(messages, std::vector<std::string>{Text(key)});
        EXPECT_EQ(show, nullptr);
    }
    EXPECT_TRUE(BrowserFolders().empty());
    EXPECT_TRUE(session.GetTreeRoots().empty());
}

INSTANTIATE_TEST_SUITE_P(Languages, WizardSaveImport, ::testing::Values(0, 2),
                         [](const ::testing::TestParamInfo<int>& info) { return info.param == 0 ? "en" : "de"; });

}  // namespace
