// Saving a scan result and loading it again through the real main window, offscreen, on a
// fixture disk given as MORVENDA_DISKS: the scan, the result page's save command with its file
// dialog and progress window, going home, the main window's import item with its own file dialog,
// and the restored trees held against the scanned ones (every file's path, size and state, and
// the files a recovery writes from each). Saving never harms an existing file; a file that is no
// saved result and a damaged one are refused with their messages and leave the browser empty.
// The windows are saved to <build>/screenshots/ for review.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLineEdit>
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "E2ESupport.h"
#include "TestUtil.h"
#include "WizardDriver.h"
#include "app/QZMUIDlg.h"
#include "app/core/Settings.h"
#include "app/dialogs/SaveRestoreScanResult.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/pages/SelDataLostPartitionWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "browser/model/BindingNode.h"
#include "browser/model/NodeManager.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileRecoverer.h"
#include "engine/FileSystemNode.h"
#include "engine/HeadlessSinks.h"
#include "engine/RecoveryGraph.h"
#include "platform/ProgramDir.h"
#include "plugins/Plugins.h"

namespace {

namespace fs = std::filesystem;
using UiCtrl::SelDataLostPartitionWnd;

constexpr const char* kImage = "fat32-basic.img";
constexpr const char* kLabel = "FIX_FAT32";
constexpr const char* kFsName = "FAT32";
const char* const kLanguageFiles[] = {"English.dat", "Japanese.dat", "Deutsch.dat"};

// Holds the save/load worker until the test lets it go, so the window can be looked at.
std::atomic<bool> g_release{true};
void HoldWorker(SaveRestoreScanResult*) {
    for (int i = 0; i < 2000 && !g_release.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// The program folder of the test, its own Config.dat, state folder (saved results) and disks.
class SaveWindow {
public:
    SaveWindow(int language, const std::string& disks) {
        wizard::EnsureApp();
        saved_ = GetProgramDir();
        for (const auto& entry : fs::directory_iterator(saved_)) {
            const std::string ext = entry.path().extension().string();
            if (ext == ".dat" || ext == ".xml") fs::copy_file(entry.path(), dir_.File(entry.path().filename()));
        }
        SetProgramDir(dir_.Path() + "/");
        for (const char* v : {"XDG_CONFIG_HOME", "XDG_STATE_HOME"}) {
            const char* old = std::getenv(v);
            savedEnv_.emplace_back(v, old ? old : "");
            ::setenv(v, dir_.File(v).c_str(), 1);
        }
        ::setenv("MORVENDA_DISKS", disks.c_str(), 1);
        RegisterAllPlugins();
        ConfigStoreLanguage(language, kLanguageFiles[language]);
        UiResources::Instance().SetLanguage(language, kLanguageFiles[language]);
        SetUiLanguage(static_cast<u32>(language), kLanguageFiles[language]);
        SaveRestoreScanResult::SetWorkerStartHook(HoldWorker);
        dlg = std::make_unique<CQZMUIDlg>();
        dlg->Create();
        wizard::Pump(50);
    }
    ~SaveWindow() {
        g_release.store(true);
        SaveRestoreScanResult::SetWorkerStartHook(nullptr);
        dlg.reset();
        RecoveryGraph::Instance().SetStopRequested(0);
        UiResources::Instance().SetLanguage(0, "English.dat");
        SetUiLanguage(0, "English.dat");
        SetProgramDir(saved_);
        for (const auto& [name, value] : savedEnv_) {
            if (value.empty()) ::unsetenv(name.c_str());
            else ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
    std::string StateDir() const { return dir_.File("XDG_STATE_HOME"); }
    std::unique_ptr<CQZMUIDlg> dlg;

private:
    testutil::TempDir dir_;
    std::string saved_;
    std::vector<std::pair<std::string, std::string>> savedEnv_;
};

// Every node of the session's trees as "path|size|attributes|state", in a stable order.
std::vector<std::string> TreeListing() {
    std::vector<std::string> out;
    for (CFileSystemNode* root : RecoveryGraph::Instance().GetTreeRoots()) {
        std::deque<std::pair<CFileNode*, std::string>> queue{{root, ""}};
        while (!queue.empty()) {
            auto [node, path] = queue.front();
            queue.pop_front();
            for (CFileNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) {
                const IFileProperties* p = c->GetFileProperties();
                const std::string name = path + "/" + (p && p->GetName() ? p->GetName() : "?");
                out.push_back(name + "|" + std::to_string(p ? p->GetSize() : 0) + "|" +
                              std::to_string(p ? p->GetAttributes() : 0) + "|" + std::to_string(p ? p->GetState() : 0));
                queue.emplace_back(c, name);
            }
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// What a recovery of every file of the session's trees writes: relative path to content hash.
std::map<std::string, std::string> RecoverAll(const std::string& folder) {
    RecoveryGraph& session = RecoveryGraph::Instance();
    fs::create_directories(folder);
    for (CFileSystemNode* root : session.GetTreeRoots()) {
        CheckWholeTree(root);
        CFileRecoverer writer;
        CountingRecoverCallback counts;
        char out[520] = {};
        writer.RecoverFolder(&counts, session.GetFirstVolumeDevice(), root, folder.c_str(), out, sizeof out);
    }
    std::map<std::string, std::string> files;
    for (const std::string& rel : e2e::ListFiles(folder)) files[rel] = testutil::Sha256File(folder + "/" + rel);
    return files;
}

// The folders the browser's path tree lists for the trees, looking through a folder that stands
// for a whole tree (a loaded result shows each tree that way; a scan shows its tree's folders at
// the top).
std::vector<std::string> BrowserFolders() {
    auto& manager = FileSelCtrl::CFileVirtualNodeManager::Instance();
    wizard::PumpUntil([&] { return !manager.HasPending(); });
    std::vector<std::string> out;
    std::function<void(const FileSelCtrl::CBindingNode*)> walk = [&](const FileSelCtrl::CBindingNode* node) {
        const auto* children = node->GetChildren();
        if (!children) return;
        for (const FileSelCtrl::CBindingNode* c : *children) {
            if (c->IsSystemFolder()) walk(c);
            else out.push_back(c->GetName());
        }
    };
    walk(manager.PathRoot());
    std::sort(out.begin(), out.end());
    return out;
}

// Scans the fixture's volume through the wizard; the deep-scan offer is answered by the watch.
void Scan(CQZMUIDlg& dlg) {
    auto& place = *dlg.PlacePage();
    auto& result = *dlg.ResultPage();
    ASSERT_TRUE(wizard::ClickItem(*dlg.FileTypePage(), UiCtrl::SelFileTypeWnd::kItemNext));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg.CurrentPage() == place.GetHwnd() && !place.TimerRunning(); }));
    // The enumeration is the process's: it is made again for this test's disks.
    SendMessage(place.GetHwnd(), WM_COMMAND, SelDataLostPartitionWnd::kCmdRefresh, 0);
    ASSERT_TRUE(wizard::PumpUntil([&] { return !place.TimerRunning(); }));
    auto& container = place.GroupAt(SelDataLostPartitionWnd::kGroupDisks).container;
    UiCtrl::VolumeItem* tile = nullptr;
    for (int i = 0; i < container.TileCount(); ++i)
        if (container.TileAt(i)->text2 == kFsName && container.TileAt(i)->text1.find(kLabel) != std::string::npos)
            tile = container.TileAt(i);
    ASSERT_NE(tile, nullptr);
    const RECT r = tile->GetRect();
    wizard::Click(container, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    wizard::Pump(30);
    ASSERT_TRUE(wizard::ClickItem(place, SelDataLostPartitionWnd::kItemScan));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg.CurrentPage() == result.GetHwnd(); }));
    ASSERT_TRUE(wizard::PumpUntil([&] {
        return !result.Progress().IsRunningOrTimed() && !RecoveryGraph::Instance().IsScanRunning();
    }));
    wizard::Pump(100);
}

class WizardSaveImport : public ::testing::TestWithParam<int> {};

TEST_P(WizardSaveImport, ASavedScanLoadsBackAsTheSameTreesAndFiles) {
    const int language = GetParam();
    const std::string prefix = std::string("saveimport-") + (language == 0 ? "en" : "de") + "-";
    testutil::TempDir disks, work;
    fs::copy_file(testutil::FixturePath(kImage), disks.File(kImage));
    SaveWindow w(language, disks.Path());
    CQZMUIDlg& dlg = *w.dlg;
    auto& result = *dlg.ResultPage();
    RecoveryGraph& session = RecoveryGraph::Instance();
    UiResources& res = UiResources::Instance();

    // Every window of the run is answered as it comes: the file dialogs with their path, the
    // progress window once it was looked at, message boxes by their text.
    std::string fileToChoose, proposed;
    std::vector<std::string> messages;
    int progressWindows = 0;
    std::string progressText;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (auto* files = qobject_cast<QFileDialog*>(m)) {
            if (files->acceptMode() == QFileDialog::AcceptSave) {
                proposed = files->selectedFiles().value(0).toStdString();
                wizard::Shot(m, prefix + "01-save-dialog");
            }
            // Typed into the name field, as a user would.
            auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            ASSERT_NE(name, nullptr);
            name->setText(QString::fromStdString(fileToChoose));
            static_cast<QDialog*>(files)->accept();  // the dialog's own accept checks the name
        } else if (auto* window = dynamic_cast<SaveRestoreScanResult*>(m)) {
            ++progressWindows;
            progressText = window->ProgressText();
            if (g_release.load()) return;
            // The worker is held before it begins: the bar shows what the window is told.
            window->Transfer().Begin("", 100);
            window->Transfer().SetPos(37);
            wizard::Pump(250);
            EXPECT_EQ(window->ShownPercent(), 37);
            wizard::Shot(m, prefix + (progressWindows == 1 ? "02-saving" : "05-loading"));
            g_release.store(true);
        } else if (auto* box = dynamic_cast<QZMMessageBox*>(m)) {
            messages.push_back(box->Text());
            if (box->Text() == res.GetString("ExportOk")) wizard::Shot(m, prefix + "03-saved");
            if (box->Text() == res.GetString("ImportFailed")) wizard::Shot(m, prefix + "07-import-failed");
            wizard::EndModal(m, 1);
        }
    });
    Scan(dlg);
    if (::testing::Test::HasFatalFailure()) return;
    ASSERT_EQ(messages, std::vector<std::string>{res.GetString("canDeepScan")});
    messages.clear();
    const std::vector<std::string> scanned = TreeListing();
    const std::vector<std::string> scannedFolders = BrowserFolders();
    auto& manager = FileSelCtrl::CFileVirtualNodeManager::Instance();
    const std::string scannedRoot = manager.PathRoot()->GetName();
    ASSERT_GT(scanned.size(), 0u);
    ASSERT_FALSE(scannedFolders.empty());

    // Save through command 206: the file dialog proposes a name in the user's state folder, the
    // chosen name gets its ending, the progress window runs, the result says it was saved.
    const std::string saved = work.File("fat32 result.rsf");
    fileToChoose = work.File("fat32 result");
    g_release.store(false);
    SendMessage(result.GetHwnd(), WM_COMMAND, CMD_SAVE_SCAN, 0);
    EXPECT_EQ(fs::path(proposed).parent_path(), fs::path(w.StateDir()) / "Morvenda" / "SaveScan");
    EXPECT_NE(fs::path(proposed).filename().string().find(kLabel), std::string::npos) << proposed;
    EXPECT_EQ(progressWindows, 1);
    EXPECT_EQ(progressText, res.GetString("Export"));
    EXPECT_EQ(messages, std::vector<std::string>{res.GetString("ExportOk")});
    ASSERT_TRUE(fs::exists(saved));
    EXPECT_EQ(e2e::ListEntries(work.Path()), std::vector<std::string>{"fat32 result.rsf"});  // no probe, no partial file
    const auto scannedFiles = RecoverAll(work.File("from-scan"));
    ASSERT_FALSE(scannedFiles.empty());

    // Home, then the import item: the file dialog, the progress window, the result page.
    ASSERT_TRUE(wizard::ClickItem(result.Progress(), UiCtrl::RecoveryProgressWnd::kItemHome));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg.CurrentPage() == dlg.FileTypePage()->GetHwnd(); }));
    EXPECT_TRUE(BrowserFolders().empty());
    EXPECT_TRUE(session.GetTreeRoots().empty());
    // As if another volume had been scanned since: the loaded result names its own.
    manager.SetRootText("another volume");
    messages.clear();
    fileToChoose = saved;
    g_release.store(false);
    SendMessage(dlg.Handle(), WM_COMMAND, CMD_IMPORT_SCAN, 0);
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg.CurrentPage() == result.GetHwnd(); }));
    EXPECT_EQ(progressWindows, 2);
    EXPECT_EQ(progressText, res.GetString("Import"));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(session.GetScanMode(), kScanModeRestored);
    EXPECT_FALSE(dlg.GetCaptionItem(CMD_IMPORT_SCAN)->IsEnabled());
    EXPECT_EQ(TreeListing(), scanned);
    EXPECT_EQ(BrowserFolders(), scannedFolders);
    EXPECT_EQ(manager.PathRoot()->GetName(), scannedRoot);
    // The strip says how many files the loaded trees hold, as a scan says what it found.
    u64 files = 0;
    for (CFileSystemNode* root : session.GetTreeRoots()) files += CountTree(root).files;
    EXPECT_GT(files, 0u);
    EXPECT_EQ(session.GetFoundFileCount(), files);
    wizard::Pump(200);
    wizard::Shot(&dlg, prefix + "06-imported");
    EXPECT_EQ(RecoverAll(work.File("from-import")), scannedFiles);

    // A second load over the first replaces it: nothing is shown twice.
    g_release.store(true);
    EXPECT_EQ(dlg.ImportScanResultFrom(saved, nullptr), 0);
    EXPECT_EQ(TreeListing(), scanned);
    EXPECT_EQ(BrowserFolders(), scannedFolders);

    // Refused loads: a name without the ending, and a damaged file; each says why and leaves no
    // tree in the browser or the session.
    const std::string damaged = work.File("damaged.rsf");
    {
        std::ifstream in(saved, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        bytes.resize(bytes.size() / 2);
        std::ofstream(damaged, std::ios::binary) << bytes;
    }
    struct Refusal {
        std::string path;
        int answer;
        const char* message;
    };
    for (const Refusal& r : {Refusal{work.File("notes.txt"), -2, "InvalidRsf"}, Refusal{damaged, -3, "ImportFailed"}}) {
        SCOPED_TRACE(r.path);
        messages.clear();
        HWND show = nullptr;
        EXPECT_EQ(dlg.ImportScanResultFrom(r.path, &show), r.answer);
        EXPECT_EQ(messages, std::vector<std::string>{res.GetString(r.message)});
        EXPECT_EQ(show, nullptr);
    }
    EXPECT_TRUE(BrowserFolders().empty());
    EXPECT_TRUE(session.GetTreeRoots().empty());
}

INSTANTIATE_TEST_SUITE_P(Languages, WizardSaveImport, ::testing::Values(0, 2),
                         [](const ::testing::TestParamInfo<int>& info) { return info.param == 0 ? "en" : "de"; });

TEST(WizardSaveImport, SavingNeverHarmsAnExistingFile) {
    testutil::TempDir disks, work;
    fs::copy_file(testutil::FixturePath(kImage), disks.File(kImage));
    SaveWindow w(0, disks.Path());
    auto& result = *w.dlg->ResultPage();
    std::vector<std::string> messages;
    bool cancelled = false;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (auto* window = dynamic_cast<SaveRestoreScanResult*>(m)) {
            if (g_release.load()) return;
            // The cancel button while the worker is held: the worker stops at its first report.
            SendMessage(window->Handle(), WM_COMMAND, SaveRestoreScanResult::kItemCancel, 0);
            cancelled = window->Cancelled();
            g_release.store(true);
        } else if (auto* box = dynamic_cast<QZMMessageBox*>(m)) {
            messages.push_back(box->Text());
            wizard::EndModal(m, 1);
        }
    });
    Scan(*w.dlg);
    if (::testing::Test::HasFatalFailure()) return;
    messages.clear();
    const std::string existing = work.File("kept.rsf");
    std::ofstream(existing) << "an older result";
    auto content = [&] {
        std::ifstream in(existing);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    int asked = 0;
    // Declined: nothing runs, nothing is said, the file stays.
    EXPECT_EQ(result.SaveScanResultTo(existing, [&](const std::string&) { return ++asked, false; }),
              UiCtrl::RecoveryGraphWnd::kSaveTargetKept);
    EXPECT_EQ(asked, 1);
    // Confirmed, then cancelled: the older file is still whole, and a cancel says nothing.
    g_release.store(false);
    EXPECT_EQ(result.SaveScanResultTo(work.File("kept"), [&](const std::string&) { return ++asked, true; }), -3);
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(cancelled);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(content(), "an older result");
    // A folder that does not exist is refused with its message.
    EXPECT_EQ(result.SaveScanResultTo(work.File("missing/r.rsf"), nullptr), UiCtrl::RecoveryGraphWnd::kSaveTargetInvalid);
    EXPECT_EQ(messages, std::vector<std::string>{UiResources::Instance().GetString("ExportPathInvalid")});
    // Confirmed and run to the end: the file is replaced by the new result.
    messages.clear();
    EXPECT_EQ(result.SaveScanResultTo(existing, [](const std::string&) { return true; }), 0);
    EXPECT_EQ(messages, std::vector<std::string>{UiResources::Instance().GetString("ExportOk")});
    EXPECT_NE(content(), "an older result");
    EXPECT_EQ(e2e::ListEntries(work.Path()), std::vector<std::string>{"kept.rsf"});
}

}  // namespace
