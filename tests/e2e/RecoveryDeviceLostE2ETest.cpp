// The real main window, offscreen, on the window program's disk: the scanned disk goes away while
// a dialog of a recovery or of a save is open, and that dialog ends as it should. The folder
// choice and the system's save dialog close as cancelled, the recovery's window stops its writer
// without asking, the save of the result stops. Meanwhile the browser's list does not
// load while the recovery writes, and loads again after it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "Gate.h"
#include "TestUtil.h"
#include "WizardDriver.h"
#include "app/QZMUIDlg.h"
#include "app/dialogs/ExportProgress.h"
#include "app/dialogs/ExportResult.h"
#include "app/dialogs/SaveRestoreScanResult.h"
#include "app/dialogs/SelExportPathDlg.h"
#include "app/dialogs/WarmTipDlg.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiResources.h"
#include "browser/model/BindingNode.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "core/Settings.h"
#include "devices/DiskDevice.h"
#include "devices/VolumeRecord.h"
#include "engine/FileProperties.h"
#include "engine/FileRecoverer.h"
#include "engine/FileSystemNode.h"
#include "engine/RecoveryController.h"
#include "engine/RecoveryGraph.h"
#include "platform/DeviceWatch.h"

namespace {

namespace fs = std::filesystem;
using UiCtrl::RecoveryProgressWnd;

// Of its deleted files one is whole and three are no longer whole on the disk (counted incomplete):
// a writer meets both kinds before the disk goes.
constexpr const char* kScannedFileSystem = "FAT32";

// The dialog open when the disk goes, or none; or what the user asks for once it has gone.
enum class OpenAtLoss { kFolderChoice, kRecovery, kSaveChoice, kSaving, kReplaceOneFile, kReplaceSavedScan, kNone, kSaveAfterLoss,
                        kRecoverAfterLoss, kWriterMeetsItBeforeItsFirstFile, kWriterMeetsItAfterItsFirstFile };

struct LossCase {
    const char* name;
    OpenAtLoss open;
};

// A worker held at its start until the dialog it serves has been asked to stop. The hold ends
// on that request, which the dialog makes on the user-interface thread while the worker waits.
std::atomic<ExportProgress*> g_heldExport{nullptr};
std::atomic<SaveRestoreScanResult*> g_heldSave{nullptr};
// Off for a worker that starts after the disk went: it runs at once.
std::atomic<bool> g_holdWorkers{true};
template <class Pred>
void HoldUntil(Pred stopped) {
    const auto guard = std::chrono::steady_clock::now() + testutil::Gate::kGuard;
    while (g_holdWorkers.load() && !stopped() && std::chrono::steady_clock::now() < guard) std::this_thread::yield();
}
void HoldExport(ExportProgress* dialog) {
    g_heldExport.store(dialog);
    HoldUntil([dialog] { return dialog->CancelRequested(); });
}
void HoldSave(SaveRestoreScanResult* dialog) {
    g_heldSave.store(dialog);
    HoldUntil([dialog] { return dialog->Transfer().IsCancelled() != 0; });
}

// The scanned disk's image, cut to nothing by the recovery's own thread once it has written so
// many files: from then on the writer meets a disk that is gone before the window hears of it.
std::string g_imageToCut;
std::atomic<u64> g_cutAfterFiles{0};
void CutImage() {
    std::error_code ignored;
    fs::resize_file(g_imageToCut, 0, ignored);
}
void CutAtWorkerStart(ExportProgress*) {
    if (g_cutAfterFiles.load() == 0) CutImage();
}
void CutAfterFiles(ExportProgress*, u64 done) {
    if (done == g_cutAfterFiles.load()) CutImage();
}

// The first found file whose name has an ending, in the session's trees.
CFileNode* FirstFileWithEnding() {
    std::vector<CFileNode*> queue;
    for (CFileSystemNode* root : RecoveryGraph::Instance().GetTreeRoots()) queue.push_back(root);
    for (size_t i = 0; i < queue.size(); ++i) {
        const IFileProperties* p = queue[i]->GetFileProperties();
        const std::string name = p && p->GetName() ? p->GetName() : "";
        if (p && (p->GetAttributes() & kAttrDirectory) == 0 && name.rfind('.') != std::string::npos && name.rfind('.') > 0)
            return queue[i];
        for (CFileNode* child = queue[i]->GetFirstChild(); child; child = child->GetNextSibling()) queue.push_back(child);
    }
    return nullptr;
}

class RecoveryDeviceLost : public ::testing::Test {
protected:
    void SetUp() override {
        wizard::StartWindowProgram(program_, disks_);
        wizard::UseLanguage(0, "English.dat");
        SetFolderOpener([](const std::string&) { return true; });
        ExportProgress::SetWorkerStartHook(HoldExport);
        SaveRestoreScanResult::SetWorkerStartHook(HoldSave);
        dlg_ = std::make_unique<CQZMUIDlg>();
        dlg_->Create();
        // Each case scans anew: the moment a short scan stays on screen would only add up.
        RecoveryGraph::Instance().SetShortScanPauseMs(0);
    }
    void TearDown() override {
        RecoveryGraph::Instance().SetShortScanPauseMs(RecoveryGraph::kShortScanPauseMs);
        ExportProgress::SetWorkerStartHook(nullptr);
        SaveRestoreScanResult::SetWorkerStartHook(nullptr);
        dlg_.reset();
        SetFolderOpener(nullptr);
        RecoveryGraph::Instance().SetStopRequested(0);
        ::unsetenv("XDG_STATE_HOME");
        program_.reset();
    }
    RecoveryProgressWnd& Strip() { return dlg_->ResultPage()->Progress(); }

    // What the device watcher does when the scanned disk is unplugged: the disk stops answering
    // and the main window hears of it.
    void UnplugScannedDisk() {
        VolumeRecord* volume = RecoveryGraph::Instance().GetFirstVolume();
        ASSERT_NE(volume, nullptr);
        ASSERT_NE(volume->extents[0].disk, nullptr);
        volume->extents[0].disk->Close();
        PostMessage(dlg_->Handle(), WM_UI_VOLUME_REMOVED, 0, 0);
    }

    // Scans the volume and checks every file it found.
    void ScanAndCheckAll() {
        ASSERT_NO_FATAL_FAILURE(wizard::ScanVolumeByTile(*dlg_, kScannedFileSystem));
        auto& manager = FileSelCtrl::CFileVirtualNodeManager::Instance();
        ASSERT_TRUE(wizard::PumpUntil([&] { return !manager.HasPending(); }));
        const auto* top = manager.PathRoot()->GetChildren();
        ASSERT_TRUE(top && !top->empty());
        for (FileSelCtrl::CBindingNode* node : *top) node->SetCheck(FileSelCtrl::kImageChecked, false, true);
        ASSERT_TRUE(wizard::PumpUntil([&] { return Strip().GetItem(RecoveryProgressWnd::kItemRecover)->IsEnabled(); },
                                      "Recover, once files are checked"));
    }

    // Every found file of the session's trees by its path, with its size.
    static std::vector<std::pair<std::string, u64>> FoundFiles() {
        std::vector<std::pair<std::string, u64>> files;
        std::function<void(CFileNode*, const std::string&)> walk = [&](CFileNode* folder, const std::string& path) {
            for (CFileNode* c = folder->GetFirstChild(); c; c = c->GetNextSibling())
                if (const IFileProperties* p = c->GetFileProperties()) {
                    const std::string name = path + "/" + (p->GetName() ? p->GetName() : "");
                    if (p->GetAttributes() & kAttrDirectory) walk(c, name);
                    else files.emplace_back(name, p->GetSize());
                }
        };
        for (CFileSystemNode* root : RecoveryGraph::Instance().GetTreeRoots()) walk(root, "");
        std::sort(files.begin(), files.end());
        return files;
    }

    // The roots of the trees the session holds and the files their tops list.
    std::pair<std::vector<CFileSystemNode*>, size_t> FoundTrees() {
        const auto* top = FileSelCtrl::CFileVirtualNodeManager::Instance().PathRoot()->GetChildren();
        return {RecoveryGraph::Instance().GetTreeRoots(), top ? top->size() : 0};
    }

    // After the notice of a disk that went once its scan had ended: no deep scan starts when asked
    // for, what was found stays listed, and in each language none is offered and the found files
    // are ready to recover.
    void ExpectNoScanOfTheLostDisk(const std::pair<std::vector<CFileSystemNode*>, size_t>& found) {
        const std::string text = Strip().FoundText();
        SendMessage(dlg_->ResultPage()->GetHwnd(), WM_COMMAND, CMD_DEEP_SCAN, 0);
        uiwait::Flush();
        EXPECT_FALSE(RecoveryGraph::Instance().IsScanRunning()) << "a scan started on a disk that is gone";
        EXPECT_EQ(FoundTrees(), found) << "the found files went";
        EXPECT_EQ(Strip().FoundText(), text);
        for (const int language : {2, 0}) {
            ASSERT_NO_FATAL_FAILURE(wizard::SwitchLanguageByMenu(*dlg_, language));
            EXPECT_FALSE(Strip().GetItem(RecoveryProgressWnd::kItemDeepScan)->IsVisible()) << "a deep scan offered of a disk that is gone";
            for (int id : {RecoveryProgressWnd::kItemRecover, RecoveryProgressWnd::kItemHome})
                EXPECT_TRUE(Strip().GetItem(id)->IsVisible() && Strip().GetItem(id)->IsEnabled()) << id;
            uiwait::Paint(dlg_.get());
            wizard::Shot(dlg_.get(), std::string("lost-disk-after-scan-") + (language == 2 ? "de" : "en"));
        }
    }

    testutil::TempDir disks_;
    testutil::TempDir target_;
    std::unique_ptr<wizard::ProgramFolderScope> program_;
    std::unique_ptr<CQZMUIDlg> dlg_;
};

TEST_F(RecoveryDeviceLost, TheOpenDialogEndsItsWorkWhenTheScannedDiskGoes) {
    const LossCase cases[] = {
        {"folder choice", OpenAtLoss::kFolderChoice},
        {"recovery", OpenAtLoss::kRecovery},
        {"save choice", OpenAtLoss::kSaveChoice},
        {"saving", OpenAtLoss::kSaving},
        {"none", OpenAtLoss::kNone},
        // The name typed without its ending, where a file of the name with it exists.
        {"replace question of one file", OpenAtLoss::kReplaceOneFile},
        {"replace question of a saved scan", OpenAtLoss::kReplaceSavedScan},
        // Once the disk is gone the scan's result is saved, and loads again when the disk is back.
        {"save scan after the loss", OpenAtLoss::kSaveAfterLoss},
        // Once the disk is gone nothing can be recovered: the user is told, and nothing is made.
        {"recover after the loss", OpenAtLoss::kRecoverAfterLoss},
        // The writer meets the gone disk before the window hears of it: folders are made only
        // for what was written.
        {"writer meets it before its first file", OpenAtLoss::kWriterMeetsItBeforeItsFirstFile},
        {"writer meets it after its first file", OpenAtLoss::kWriterMeetsItAfterItsFirstFile},
    };
    const std::string lostText = UiResources::Instance().GetString("LostDevice");
    const std::string cancelQuestion = UiResources::Instance().GetString("ConfirmCancel");
    const std::string recoverLostText = UiResources::Instance().GetString("RecoverLostDevice");
    const std::string savedText = UiResources::Instance().GetString("ExportOk");
    for (const LossCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_heldExport.store(nullptr);
        g_heldSave.store(nullptr);
        const bool afterLoss = c.open == OpenAtLoss::kSaveAfterLoss || c.open == OpenAtLoss::kRecoverAfterLoss;
        g_holdWorkers.store(!afterLoss);
        using FileSelCtrl::CFileListData;
        int lostBoxes = 0, cancelQuestions = 0, folderChoices = 0, recoveries = 0, results = 0, saveChoices = 0, savings = 0,
            replaceQuestions = 0, recoverLostBoxes = 0, savedBoxes = 0;
        std::vector<std::string> otherBoxes;
        const bool replacing = c.open == OpenAtLoss::kReplaceOneFile || c.open == OpenAtLoss::kReplaceSavedScan;
        std::string existing;  // the user's file the replace question is about
        bool pausedWhileWriting = false, recoveryCancelled = false;
        ExportProgress* recovery = nullptr;
        const bool writerMeetsIt =
            c.open == OpenAtLoss::kWriterMeetsItBeforeItsFirstFile || c.open == OpenAtLoss::kWriterMeetsItAfterItsFirstFile;
        g_cutAfterFiles.store(c.open == OpenAtLoss::kWriterMeetsItAfterItsFirstFile ? 1 : 0);
        if (writerMeetsIt) {
            ExportProgress::SetWorkerStartHook(CutAtWorkerStart);
            ExportProgress::SetFileDoneHook(CutAfterFiles);
        }
        std::string resultPath;  // what the result dialog was given
        RecoverCounts resultCounts;
        u64 resultFiles = 0;
        wizard::ModalWatch modal([&](QWidget* m) {
            if (auto* box = dynamic_cast<QZMMessageBox*>(m);
                (box && !existing.empty() && box->Text().find(fs::path(existing).filename().string()) != std::string::npos) ||
                qobject_cast<QMessageBox*>(m)) {
                // Whoever asks, the question is left for the lost disk to close.
                ++replaceQuestions;
                UnplugScannedDisk();
            } else if (box) {
                if (box->Text() == lostText) ++lostBoxes;
                else if (box->Text() == cancelQuestion) ++cancelQuestions;
                else if (box->Text() == recoverLostText) ++recoverLostBoxes;
                else if (box->Text() == savedText) ++savedBoxes;
                else otherBoxes.push_back(box->Text());
                if (box->Text() == recoverLostText) wizard::Shot(m, "lost-disk-recover-en");
                wizard::EndModal(m, 1);
            } else if (auto* folder = dynamic_cast<SelExportPathDlg*>(m)) {
                ++folderChoices;
                // The window was never moved: its first dialogs open over it all the same.
                EXPECT_TRUE(wizard::OpensOver(folder, dlg_.get())) << "the folder choice";
                if (c.open == OpenAtLoss::kFolderChoice) {
                    UnplugScannedDisk();
                } else {
                    folder->SetPath(target_.Path());
                    EXPECT_TRUE(wizard::ClickDialogItem(*folder, SelExportPathDlg::kItemOk));
                }
            } else if (auto* progress = dynamic_cast<ExportProgress*>(m)) {
                ++recoveries;
                recovery = progress;
                pausedWhileWriting = CFileListData::GetCurrent().DataCache().IsPaused();
                if (!writerMeetsIt) UnplugScannedDisk();
            } else if (auto* result = dynamic_cast<ExportResult*>(m)) {
                ++results;
                // The recovery's window still exists while its result shows.
                if (ExportProgress* held = g_heldExport.load()) recoveryCancelled = held->Result() == kRecoverCancelled;
                resultPath = result->targetPath;
                resultCounts = result->counts;
                resultFiles = result->fileCount;
                if (writerMeetsIt) UnplugScannedDisk();  // the window hears of it at last
                wizard::EndModal(m, IDOK);
            } else if (dynamic_cast<WarmTipDlg*>(m)) {
                wizard::EndModal(m, IDOK);
            } else if (auto* files = dynamic_cast<QFileDialog*>(m)) {
                ++saveChoices;
                EXPECT_TRUE(wizard::OpensOver(files, dlg_.get())) << "the save choice";
                EXPECT_TRUE(files->testAttribute(Qt::WA_Moved)) << "its place left to the window manager, which puts it anywhere";
                if (c.open == OpenAtLoss::kSaveChoice) {
                    UnplugScannedDisk();
                } else {
                    auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                    ASSERT_NE(name, nullptr);
                    name->setText(QString::fromStdString(replacing ? target_.File("kept") : target_.File("kept.rsf")));
                    static_cast<QDialog*>(files)->accept();
                }
            } else if (dynamic_cast<SaveRestoreScanResult*>(m)) {
                ++savings;
                if (!afterLoss) UnplugScannedDisk();
            }
        });
        // The scan's own boxes (the deep-scan offer) are answered by the same watch.
        ASSERT_NO_FATAL_FAILURE(ScanAndCheckAll());
        EXPECT_FALSE(CFileListData::GetCurrent().DataCache().IsPaused()) << "the list loads once the scan has ended";
        const bool recovering = c.open == OpenAtLoss::kFolderChoice || c.open == OpenAtLoss::kRecovery || writerMeetsIt;
        g_imageToCut = RecoveryGraph::Instance().GetFirstVolume()->extents[0].disk->GetPath();
        const auto found = FoundTrees();
        const auto foundFiles = FoundFiles();
        if (c.open == OpenAtLoss::kNone || afterLoss) {
            ASSERT_NO_FATAL_FAILURE(UnplugScannedDisk());
        } else if (c.open == OpenAtLoss::kReplaceOneFile) {
            CFileNode* file = FirstFileWithEnding();
            ASSERT_NE(file, nullptr);
            const std::string name = file->GetFileProperties()->GetName();
            existing = target_.File("kept" + name.substr(name.rfind('.')));
            std::ofstream(existing) << "the user's own file";
            dlg_->ResultPage()->RecoverNode(CHeldFile::Take(file));
        } else {
            if (c.open == OpenAtLoss::kReplaceSavedScan) {
                existing = target_.File("kept.rsf");
                std::ofstream(existing) << "the user's own file";
            }
            ASSERT_TRUE(wizard::ClickItem(Strip(), recovering ? RecoveryProgressWnd::kItemRecover : RecoveryProgressWnd::kItemSaveScan));
        }
        ASSERT_TRUE(wizard::PumpUntil([&] { return lostBoxes == 1 && !QApplication::activeModalWidget(); }, "the lost disk's notice and the dialogs' end"));

        switch (c.open) {
        case OpenAtLoss::kFolderChoice:
            EXPECT_EQ(folderChoices, 1);
            EXPECT_EQ(recoveries, 0) << "nothing is written after the folder choice was cancelled";
            EXPECT_TRUE(fs::is_empty(target_.Path()));
            break;
        case OpenAtLoss::kRecovery:
            EXPECT_EQ(recoveries, 1);
            EXPECT_TRUE(pausedWhileWriting) << "the list waits while the files are written";
            EXPECT_EQ(cancelQuestions, 0) << "a disk that is gone leaves nothing to ask";
            EXPECT_EQ(results, 1);
            EXPECT_TRUE(g_heldExport.load() == recovery);
            EXPECT_TRUE(recoveryCancelled) << "the writer stopped";
            EXPECT_TRUE(fs::is_empty(target_.Path())) << "no folder made for files that were never read";
            break;
        case OpenAtLoss::kSaveChoice:
            EXPECT_EQ(saveChoices, 1);
            EXPECT_EQ(savings, 0) << "nothing is saved after the save dialog was cancelled";
            break;
        case OpenAtLoss::kReplaceOneFile:
        case OpenAtLoss::kReplaceSavedScan:
            EXPECT_EQ(replaceQuestions, 1);
            EXPECT_EQ(saveChoices, 1) << "the save dialog came back after the disk was gone";
            EXPECT_EQ(recoveries + savings, 0) << "something was written from a disk that is gone";
            EXPECT_EQ(testutil::ReadFileText(existing), "the user's own file");
            break;
        case OpenAtLoss::kSaving:
            EXPECT_EQ(savings, 1);
            EXPECT_NE(g_heldSave.load(), nullptr);
            EXPECT_FALSE(fs::exists(target_.File("kept.rsf"))) << "a stopped save leaves no result";
            break;
        case OpenAtLoss::kNone:
            ASSERT_NO_FATAL_FAILURE(ExpectNoScanOfTheLostDisk(found));
            break;
        case OpenAtLoss::kSaveAfterLoss: {
            otherBoxes.clear();  // the scan's own
            ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemSaveScan));
            ASSERT_TRUE(wizard::PumpUntil([&] { return savedBoxes + static_cast<int>(otherBoxes.size()) == 1 && !QApplication::activeModalWidget(); },
                                          "the save's end"));
            EXPECT_EQ(otherBoxes, std::vector<std::string>{});
            ASSERT_EQ(savedBoxes, 1);
            const std::string saved = target_.File("kept.rsf");
            ASSERT_TRUE(fs::exists(saved));
            // The disk is back, and the saved result loads from the first page: the same files.
            ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemHome));
            ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == dlg_->FileTypePage()->GetHwnd(); }, "home"));
            ASSERT_TRUE(RecoveryGraph::Instance().GetTreeRoots().empty());
            SendMessage(dlg_->Handle(), WM_DEVICECHANGE, kDbtDeviceArrival, 0);
            wizard::ClickCaptionItem(*dlg_, CMD_IMPORT_SCAN);
            ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == dlg_->ResultPage()->GetHwnd() && !QApplication::activeModalWidget(); },
                                          "the loaded result"))
                << (otherBoxes.empty() ? std::string() : otherBoxes.back());
            EXPECT_EQ(FoundFiles(), foundFiles);
            EXPECT_NE(RecoveryGraph::Instance().GetFirstVolumeDevice(), nullptr) << "the load found the disk";
            break;
        }
        case OpenAtLoss::kRecoverAfterLoss:
            ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemRecover));
            ASSERT_TRUE(wizard::PumpUntil([&] { return recoverLostBoxes + folderChoices > 0 && !QApplication::activeModalWidget(); },
                                          "the recovery's answer"));
            EXPECT_EQ(recoverLostBoxes, 1) << "the message says the disk is gone";
            EXPECT_EQ(folderChoices + recoveries + results, 0) << "nothing asked and nothing written";
            EXPECT_TRUE(fs::is_empty(target_.Path())) << "no folder made";
            break;
        case OpenAtLoss::kWriterMeetsItBeforeItsFirstFile:
        case OpenAtLoss::kWriterMeetsItAfterItsFirstFile: {
            ExportProgress::SetWorkerStartHook(HoldExport);
            ExportProgress::SetFileDoneHook(nullptr);
            const u64 written = g_cutAfterFiles.load();
            EXPECT_EQ(results, 1);
            EXPECT_EQ(resultCounts.written, written);
            EXPECT_EQ(resultCounts.failed + resultCounts.incomplete, resultFiles - written);
            u64 files = 0;
            for (const auto& entry : fs::recursive_directory_iterator(target_.Path())) {
                if (entry.is_directory()) EXPECT_FALSE(fs::is_empty(entry.path())) << entry.path() << " left empty";
                else ++files;
            }
            // An incomplete file is kept with what could be read: it was written too.
            EXPECT_EQ(files, written + resultCounts.incomplete);
            // Where nothing was written the result names the folder chosen, which is there.
            if (written == 0) {
                EXPECT_EQ(resultPath, target_.Path());
            }
            EXPECT_TRUE(fs::is_directory(resultPath));
            fs::copy_file(testutil::FixturePath("mbr-disk.img"), g_imageToCut, fs::copy_options::overwrite_existing);
            break;
        }
        }
        EXPECT_FALSE(CFileListData::GetCurrent().DataCache().IsPaused()) << "the list loads again";
        // The scan had ended before the disk went: it stays told as completed (or the loaded
        // result as loaded).
        EXPECT_STREQ(Strip().TitleKey(), c.open == OpenAtLoss::kSaveAfterLoss ? "ImportOk" : "ScanCompleted");
        EXPECT_FALSE(Strip().StoppedForLostDevice());
        fs::remove_all(target_.Path());
        fs::create_directories(target_.Path());
        ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemHome));
        ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == dlg_->FileTypePage()->GetHwnd(); }, "home"));
    }
}

// The scans made while a test of a lost disk runs, each held at its start until it is stopped.
std::atomic<int> g_scansMade{0};
IRecoveryController* MakeCountedHeldScan(u32 mode) {
    ++g_scansMade;
    return wizard::MakeHeldScan(mode);
}

// How the scanned disk goes: unplugged, or its image cut to nothing or removed, told by the
// device watcher or met by the scan itself, which then runs on.
enum class Gone { kUnplugged, kCutWatched, kRemovedWatched, kCutMetByTheScan, kRemovedMetAtTheEnd };

class LostDiskDuringScan : public RecoveryDeviceLost, public ::testing::WithParamInterface<Gone> {
protected:
    void SetUp() override {
        RecoveryDeviceLost::SetUp();
        g_scansMade = 0;
        wizard::DeepScanStart().Close();
        RecoveryGraph::Instance().SetControllerFactory(&MakeCountedHeldScan);
    }
    void TearDown() override {
        wizard::DeepScanStart().Open();
        RecoveryDeviceLost::TearDown();
        RecoveryGraph::Instance().SetControllerFactory(nullptr);
    }
};

// The scanned disk goes away while the deleted-file scan runs. The notice shows once; the scan
// ends there, told as stopped with the reason on the strip; no complete scan starts behind it
// and none is offered, and the notice is not followed by the offer of one.
TEST_P(LostDiskDuringScan, TheDeletedFileScanEndsThereAndThePageSaysWhy) {
    const std::string lostText = UiResources::Instance().GetString("LostDevice");
    std::vector<std::string> boxes;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (auto* box = dynamic_cast<QZMMessageBox*>(m)) {
            boxes.push_back(box->Text());
            wizard::EndModal(m, 1);
        }
    });
    ASSERT_NO_FATAL_FAILURE(wizard::StartScanByTile(*dlg_, kScannedFileSystem));
    RecoveryGraph& session = RecoveryGraph::Instance();
    ASSERT_TRUE(wizard::PumpUntil([&] { return session.IsScanRunning() && Strip().IsRunningOrTimed(); }, "the running scan"));
    ASSERT_EQ(session.GetScanMode(), kScanModeDeleted);
    const Gone gone = GetParam();
    const std::string image = session.GetFirstVolume()->extents[0].disk->GetPath();
    DeviceWatcher watcher(dlg_->Handle(), 10);
    if (gone == Gone::kCutWatched || gone == Gone::kRemovedWatched) watcher.Start();
    if (gone == Gone::kUnplugged) ASSERT_NO_FATAL_FAILURE(UnplugScannedDisk());
    else if (gone == Gone::kRemovedWatched || gone == Gone::kRemovedMetAtTheEnd) fs::remove(image);
    else fs::resize_file(image, 0);
    if (gone == Gone::kCutMetByTheScan || gone == Gone::kRemovedMetAtTheEnd) wizard::DeepScanStart().Open();
    ASSERT_TRUE(wizard::PumpUntil([&] {
        return !boxes.empty() && !QApplication::activeModalWidget() && !session.IsScanRunning() && !Strip().IsRunningOrTimed() &&
               Strip().GetItem(RecoveryProgressWnd::kItemHome)->IsVisible();
    }, "the lost disk's notice and the scan's end"));
    uiwait::Flush();  // whatever the page does at the end of the scan has been done
    EXPECT_EQ(boxes, std::vector<std::string>{lostText}) << "a further box after the notice";
    EXPECT_EQ(g_scansMade.load(), 1) << "a scan started after the disk went";
    EXPECT_EQ(session.GetScanMode(), kScanModeDeleted);
    EXPECT_FALSE(session.IsScanRunning());
    EXPECT_STREQ(Strip().TitleKey(), "ScanStopped");
    EXPECT_TRUE(Strip().StoppedForLostDevice());
    EXPECT_FALSE(Strip().GetItem(RecoveryProgressWnd::kItemDeepScan)->IsVisible()) << "a deep scan offered of a disk that is gone";
    if (gone != Gone::kUnplugged) return;
    wizard::Shot(dlg_.get(), "lost-disk-deleted-scan-en");

    // Home, and the next scan runs to its end as any scan does, told as completed.
    ASSERT_TRUE(wizard::ClickItem(Strip(), RecoveryProgressWnd::kItemHome));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == dlg_->FileTypePage()->GetHwnd(); }, "home"));
    RecoveryGraph::Instance().SetControllerFactory(nullptr);
    boxes.clear();
    ASSERT_NO_FATAL_FAILURE(wizard::ScanVolumeByTile(*dlg_, kScannedFileSystem));
    EXPECT_STREQ(Strip().TitleKey(), "ScanCompleted");
    EXPECT_FALSE(Strip().StoppedForLostDevice());
}

INSTANTIATE_TEST_SUITE_P(Ways, LostDiskDuringScan,
                         ::testing::Values(Gone::kUnplugged, Gone::kCutWatched, Gone::kRemovedWatched, Gone::kCutMetByTheScan,
                                           Gone::kRemovedMetAtTheEnd));

}  // namespace
