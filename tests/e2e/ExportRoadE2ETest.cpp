// Getting found files back through the real main window, offscreen, on a fixture disk given as
// MORVENDA_DISKS: the scan, every found file and folder checked in the browser, Recover, the
// destination folder (refusals first), the export progress and the result. What lands in the
// folder is held against the scan driver's own recovery of the same volume and against the
// fixture's manifest. Each dialog is saved to <build>/screenshots/ for review.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "E2ESupport.h"
#include "EventRecorder.h"
#include "Gate.h"
#include "Manifest.h"
#include "TestUtil.h"
#include "WizardDriver.h"
#include "app/QZMUIDlg.h"
#include "core/Settings.h"
#include "core/Strings.h"
#include "app/dialogs/ExportFlow.h"
#include "app/dialogs/ExportProgress.h"
#include "app/dialogs/ExportResult.h"
#include "app/dialogs/SelExportPathDlg.h"
#include "app/dialogs/WarmTipDlg.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/pages/SelDataLostPartitionWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "browser/model/BindingNode.h"
#include "browser/model/NodeManager.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"
#include "engine/RecoveryGraph.h"
#include "platform/ProgramDir.h"
#include "platform/Stats.h"
#include "plugins/Plugins.h"

namespace {

namespace fs = std::filesystem;
using UiCtrl::SelDataLostPartitionWnd;

constexpr const char* kImage = "fat32-basic";
constexpr const char* kLabel = "FIX_FAT32";
constexpr const char* kFsName = "FAT32";
constexpr int kPartition = 1;
// The program's message box answers with the number of the button pressed.
constexpr int kYesButton = 1;
constexpr int kNoButton = 2;

std::vector<std::string> g_opened;
bool RecordOpen(const std::string& folder) {
    g_opened.push_back(folder);
    return true;
}

// The main window of a test, in a program folder of its own.
class ExportWindow {
public:
    explicit ExportWindow(const std::string& disks, int language = 0, const char* languageFile = "English.dat") {
        wizard::EnsureApp();
        // The user's own settings are never touched: Config.dat changes land in the test's folder.
        program_ = std::make_unique<wizard::ProgramFolderScope>();
        ::setenv("MORVENDA_DISKS", disks.c_str(), 1);
        RegisterAllPlugins();
        wizard::UseLanguage(language, languageFile);
        SetFolderOpener(RecordOpen);
        dlg = std::make_unique<CQZMUIDlg>();
        dlg->Create();
        uiwait::Flush();
    }
    ~ExportWindow() {
        dlg.reset();
        SetFolderOpener(nullptr);
        RecoveryGraph::Instance().SetStopRequested(0);
        UiResources::Instance().SetLanguage(0, "English.dat");
        SetUiLanguage(0, "English.dat");
    }
    std::unique_ptr<CQZMUIDlg> dlg;

private:
    std::unique_ptr<wizard::ProgramFolderScope> program_;
};

struct FileFacts {
    std::string sha256;
    i64 mtime = 0;
};

// Every file below root by its path relative to root, with its content hash and time.
std::map<std::string, FileFacts> Facts(const std::string& root) {
    std::map<std::string, FileFacts> facts;
    for (const std::string& rel : e2e::ListFiles(root))
        facts[rel] = {testutil::Sha256File(root + "/" + rel), e2e::ModificationTime(root + "/" + rel)};
    return facts;
}

// The driver's recovery of the fixture volume: the folder it wrote for the volume.
std::string DriverRecovery(const testutil::TempDir& work) {
    const std::string out = work.File("driver-out");
    const std::string report = work.File("report.json");
    const e2e::DriverRun run = e2e::RunDriverRun({"--image", testutil::FixturePath(std::string(kImage) + ".img"),
                                                  "--mode", "deleted", "--volume", "all", "--recover", out, "--json",
                                                  report},
                                                 work.Path(), work.File("driver.log"));
    e2e::ExpectRecoveredAsManifests(run, out, {kImage});
    for (const auto& v : run.report["volumes"].items)
        if (v["label"].text == kLabel) return out + "/" + std::to_string(int(v["index"].number));
    return {};
}

// The found node named `name` with `size` bytes anywhere below the session's trees.
CFileNode* FindFoundFile(const std::string& name, u64 size) {
    std::vector<CFileNode*> queue;
    for (CFileSystemNode* root : RecoveryGraph::Instance().GetTreeRoots()) queue.push_back(root);
    for (size_t i = 0; i < queue.size(); ++i) {
        const IFileProperties* p = queue[i]->GetFileProperties();
        if (p && p->GetName() && name == p->GetName() && p->GetSize() == size) return queue[i];
        for (CFileNode* c = queue[i]->GetFirstChild(); c; c = c->GetNextSibling()) queue.push_back(c);
    }
    return nullptr;
}

// Scans the fixture's volume through the wizard and checks every found file in the browser but
// the damaged ones. The deleted-file scan ends with the deep-scan offer; `offers` counts them.
void ScanAndCheckAll(CQZMUIDlg& dlg, const int& offers) {
    auto& types = *dlg.FileTypePage();
    auto& place = *dlg.PlacePage();
    auto& result = *dlg.ResultPage();
    ASSERT_TRUE(wizard::ClickItem(types, UiCtrl::SelFileTypeWnd::kItemNext));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg.CurrentPage() == place.GetHwnd(); }));
    ASSERT_NO_FATAL_FAILURE(wizard::RefreshDisks(place));
    auto& container = place.GroupAt(SelDataLostPartitionWnd::kGroupDisks).container;
    UiCtrl::VolumeItem* tile = nullptr;
    for (int i = 0; i < container.TileCount(); ++i)
        if (container.TileAt(i)->text2 == kFsName && container.TileAt(i)->text1.find(kLabel) != std::string::npos)
            tile = container.TileAt(i);
    ASSERT_NE(tile, nullptr);
    const RECT r = tile->GetRect();
    wizard::Click(container, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    ASSERT_TRUE(wizard::PumpUntil([&] { return place.GetItem(SelDataLostPartitionWnd::kItemScan)->IsEnabled(); },
                                  "the scan button, once a volume is chosen"));
    ASSERT_TRUE(wizard::ClickItem(place, SelDataLostPartitionWnd::kItemScan));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg.CurrentPage() == result.GetHwnd(); }));
    RecoveryGraph& session = RecoveryGraph::Instance();
    ASSERT_TRUE(wizard::PumpUntil(
        [&] { return offers == 1 && !result.Progress().IsRunningOrTimed() && !session.IsScanRunning(); }));
    ASSERT_EQ(session.GetScanMode(), kScanModeDeleted);
    auto& manager = FileSelCtrl::CFileVirtualNodeManager::Instance();
    ASSERT_TRUE(wizard::PumpUntil([&] { return !manager.HasPending(); }));
    const auto* top = manager.PathRoot()->GetChildren();
    ASSERT_TRUE(top && !top->empty());
    for (FileSelCtrl::CBindingNode* node : *top) node->SetCheck(FileSelCtrl::kImageChecked, false, true);
    // Deleted files whose data was written over are left unchecked: what is checked is written whole.
    for (const testutil::ExpectedFile& f : testutil::LoadDeletedFiles(kImage, kPartition)) {
        if (!f.reachable || f.intact) continue;
        CFileNode* damaged = FindFoundFile(testutil::ScanName(f.nameOnDisk), f.size);
        ASSERT_NE(damaged, nullptr) << f.path;
        damaged->SetCheckState(kUnchecked);
    }
    ASSERT_TRUE(wizard::PumpUntil([&] {
        return result.GetItem(UiCtrl::RecoveryGraphWnd::kItemRecover)->IsEnabled();
    }, "Recover, once files are checked"));
    uiwait::Flush();
}

// The one folder the recovery made under target.
std::string MadeFolder(const std::string& target) {
    const std::vector<std::string> made = e2e::ListEntries(target);
    return made.size() == 1 ? target + "/" + made[0] : std::string();
}

// The export's worker waits at its start until the test opens this: for the progress window to
// be looked at while it runs, or for a cancel to be asked before the first file.
testutil::Gate g_workerGate;
bool g_workerGateTimedOut = false;
void HoldWorker(ExportProgress*) {
    if (!g_workerGate.Wait()) g_workerGateTimedOut = true;
}

// Holds every export's worker at its start while it lives.
class WorkerHold {
public:
    WorkerHold() {
        g_workerGate.Close();
        g_workerGateTimedOut = false;
        ExportProgress::SetWorkerStartHook(HoldWorker);
    }
    ~WorkerHold() {
        ExportProgress::SetWorkerStartHook(nullptr);
        g_workerGate.Open();
        EXPECT_FALSE(g_workerGateTimedOut) << "the export's worker was never let go";
    }
    void Release() { g_workerGate.Open(); }
};

// The fixture image copied into `disks`: its path there.
std::string CopyImage(const testutil::TempDir& disks) {
    const std::string image = disks.File(std::string(kImage) + ".img");
    fs::copy_file(testutil::FixturePath(std::string(kImage) + ".img"), image);
    return image;
}

// The fixture disk copied into a folder of its own, the main window over that folder, and an
// empty folder to recover to.
struct ExportFixture {
    explicit ExportFixture(int language = 0, const char* languageFile = "English.dat")
        : image(CopyImage(disks)), window(disks.Path(), language, languageFile), target(work.File("chosen")) {
        fs::create_directories(target);
    }
    testutil::TempDir disks, work;
    const std::string image;
    ExportWindow window;
    const std::string target;
};

// The windows an export test meets on its way and answers as a user would. The destination
// dialog takes `target`. A message box before `scanned` is set is the offer the deleted-file
// scan ends with: counted and taken; one after it is kept in `later` and answered with
// `laterAnswer`. The result window is closed after what it shows is kept (and saved as
// `resultShot` when that is named); the thanks after it is counted and closed.
struct RoutineAnswers {
    explicit RoutineAnswers(std::string folder) : target(std::move(folder)) {}
    void Answer(QWidget* m) {
        if (auto* folder = dynamic_cast<SelExportPathDlg*>(m)) {
            folder->SetQuiet(true);
            folder->SetPath(target);
            EXPECT_TRUE(wizard::ClickDialogItem(*folder, SelExportPathDlg::kItemOk));
        } else if (auto* shown = dynamic_cast<ExportResult*>(m)) {
            ++results;
            success = shown->success;
            stopped = shown->stopped;
            detail = shown->DetailText();
            counts = shown->counts;
            fileCount = shown->fileCount;
            resultPath = shown->targetPath;
            if (!resultShot.empty()) wizard::Shot(m, resultShot);
            wizard::EndModal(m, IDOK);
        } else if (auto* box = dynamic_cast<QZMMessageBox*>(m)) {
            if (scanned) {
                later.push_back(box->Text());
                wizard::EndModal(m, laterAnswer);
            } else {
                ++offers;
                wizard::EndModal(m, kYesButton);
            }
        } else if (dynamic_cast<WarmTipDlg*>(m)) {
            ++tips;
            wizard::EndModal(m, IDOK);
        }
    }
    const std::string target;
    bool scanned = false;
    int offers = 0;
    int tips = 0;
    int laterAnswer = kYesButton;
    std::vector<std::string> later;
    int results = 0;
    bool success = false;
    bool stopped = false;
    std::string detail;
    RecoverCounts counts;
    u64 fileCount = 0;
    std::string resultPath;
    std::string resultShot;
};

// Recover on the result page, as the user clicks it; the folders opened are recorded from here.
void ClickRecover(CQZMUIDlg& dlg) {
    g_opened.clear();
    EXPECT_TRUE(wizard::ClickItem(dlg.ResultPage()->Progress(), UiCtrl::RecoveryProgressWnd::kItemRecover));
}

TEST(ExportRoad, ScanCheckRecoverAndTheFilesEqualTheDriversAndTheManifests) {
    ExportFixture fixture;
    const std::string reference = DriverRecovery(fixture.work);
    ASSERT_FALSE(reference.empty());
    CQZMUIDlg& dlg = *fixture.window.dlg;
    const std::string& target = fixture.target;

    std::vector<ExportTargetCheck> refusals;
    int progressSeen = 0;
    RoutineAnswers answers(target);
    answers.resultShot = "export-03-result";
    u64 namesSeen = 0;
    std::string lastName;
    // The worker writes only once the progress window has been seen: a quick export cannot end
    // before it.
    WorkerHold hold;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (auto* folder = dynamic_cast<SelExportPathDlg*>(m)) {
            folder->SetQuiet(true);
            wizard::Shot(m, "export-01-destination");
            // A missing folder and a file are refused and the dialog stays; a real folder is taken.
            for (const std::string& bad : {target + "/missing", reference + "/../../report.json"}) {
                folder->SetPath(bad);
                EXPECT_TRUE(wizard::ClickDialogItem(*folder, SelExportPathDlg::kItemOk));
                refusals.push_back(folder->Validate());
                EXPECT_TRUE(folder->isVisible());
            }
            folder->SetPath(target);
            EXPECT_TRUE(wizard::ClickDialogItem(*folder, SelExportPathDlg::kItemOk));
        } else if (auto* progress = dynamic_cast<ExportProgress*>(m)) {
            if (progressSeen++ == 0) wizard::Shot(m, "export-02-progress");
            hold.Release();
            // The window keeps answering while the worker writes: names come and go.
            EXPECT_TRUE(wizard::PumpUntil([&] {
                const std::string name = progress->CurrentName();
                if (name != lastName) ++namesSeen, lastName = name;
                return !progress->isVisible();
            }, "the end of the export"));
        } else {
            answers.Answer(m);
        }
    });
    ScanAndCheckAll(dlg, answers.offers);
    if (::testing::Test::HasFatalFailure()) return;
    wizard::Shot(&dlg, "export-00-checked");
    EXPECT_FALSE(dlg.RecoveryRanSinceHome());
    ClickRecover(dlg);
    ASSERT_TRUE(wizard::PumpUntil([&] { return answers.results == 1; }, "the export's result window"));
    EXPECT_TRUE(dlg.RecoveryRanSinceHome()) << "going home would report the extension table after a recovery";
    EXPECT_EQ(answers.tips, 1);  // after the result, as Config.dat asks by default

    EXPECT_EQ(refusals, (std::vector<ExportTargetCheck>{ExportTargetCheck::kInvalid, ExportTargetCheck::kInvalid}));
    EXPECT_EQ(progressSeen, 1);
    EXPECT_GT(namesSeen, 0u);
    EXPECT_TRUE(answers.success);
    const std::string made = MadeFolder(target);
    ASSERT_FALSE(made.empty());
    EXPECT_EQ(answers.resultPath, made);
    EXPECT_EQ(g_opened, std::vector<std::string>{made});
    EXPECT_EQ(LastExportDestination(), target);

    // The driver's files but the damaged ones, with the same content and times.
    const auto ours = Facts(made);
    const auto theirs = Facts(reference);
    ASSERT_FALSE(theirs.empty());
    const auto deleted = testutil::LoadDeletedFiles(kImage, kPartition);
    const auto damaged = std::count_if(deleted.begin(), deleted.end(), [](const auto& f) { return f.reachable && !f.intact; });
    EXPECT_EQ(ours.size() + size_t(damaged), theirs.size());
    for (const auto& [rel, facts] : ours) {
        auto it = theirs.find(rel);
        ASSERT_NE(it, theirs.end()) << "not recovered by the driver: " << rel;
        EXPECT_EQ(it->second.sha256, facts.sha256) << rel;
        EXPECT_EQ(it->second.mtime, facts.mtime) << rel;
    }
    // Every deleted file the walk reaches whose data is intact is there under its folder path and
    // the name the scan shows, with its entry's time and its content.
    const std::vector<std::string> tops = e2e::ListEntries(made);
    ASSERT_EQ(tops.size(), 1u);
    std::map<std::string, std::string> byKey;
    for (const auto& [rel, facts] : ours) byKey[testutil::PathKey(rel.substr(tops[0].size() + 1))] = rel;
    size_t intact = 0;
    for (const testutil::ExpectedFile& f : deleted) {
        if (!f.reachable || !f.intact) continue;
        std::string path = f.path[0] == '/' ? f.path.substr(1) : f.path;
        const size_t slash = path.rfind('/');
        path = (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + testutil::ScanName(f.nameOnDisk);
        auto it = byKey.find(testutil::PathKey(path));
        ASSERT_NE(it, byKey.end()) << "not recovered: " << f.path;
        const FileFacts& facts = ours.at(it->second);
        // Within the two seconds of a FAT time.
        EXPECT_LE(std::llabs(facts.mtime - testutil::ParseUtc(f.mtime)), 1) << path << " " << f.mtime;
        ++intact;
        EXPECT_EQ(facts.sha256, f.sha256) << path;
    }
    EXPECT_GT(intact, 0u);
}

// A deleted file of the fixture's manifest that the scan found, to be saved on its own: the first
// reachable, intact one that `fits`, under the name the scan gives it, with its node.
struct ChosenFile {
    testutil::ExpectedFile file;
    std::string name;
    CFileNode* node = nullptr;
};

// ScanAndCheckAll; message boxes after it are no longer the scan's offer.
void ScanCheckAllAndAnswerOn(CQZMUIDlg& dlg, RoutineAnswers& answers) {
    ScanAndCheckAll(dlg, answers.offers);
    if (::testing::Test::HasFatalFailure()) return;
    answers.scanned = true;
}

// The scan and the check of every found file (ScanAndCheckAll), then the choice of the file to
// save; message boxes after the scan are no longer its offer.
void ScanAndChooseDeletedFile(CQZMUIDlg& dlg, RoutineAnswers& answers,
                              const std::function<bool(const testutil::ExpectedFile&)>& fits, ChosenFile& chosen) {
    ASSERT_NO_FATAL_FAILURE(ScanCheckAllAndAnswerOn(dlg, answers));
    const std::vector<testutil::ExpectedFile> deleted = testutil::LoadDeletedFiles(kImage, kPartition);
    const auto first = std::find_if(deleted.begin(), deleted.end(),
                                    [&](const testutil::ExpectedFile& f) { return f.reachable && f.intact && fits(f); });
    ASSERT_NE(first, deleted.end());
    chosen.file = *first;
    chosen.name = testutil::ScanName(first->nameOnDisk);
    chosen.node = FindFoundFile(chosen.name, first->size);
    ASSERT_NE(chosen.node, nullptr) << chosen.name;
}

// The chosen file saved from the browser (the preview's Recovery), up to the result window.
void SaveChosenFile(CQZMUIDlg& dlg, const ChosenFile& chosen, const RoutineAnswers& answers) {
    dlg.ResultPage()->RecoverNode(CHeldFile::Take(chosen.node));
    ASSERT_TRUE(wizard::PumpUntil([&] { return answers.results == 1; }, "the export's result window"));
}

// The save dialog of one file, turned to `folder` as a user turns it; its name field.
QLineEdit* SaveDialogNameField(QFileDialog& save, const std::string& folder) {
    save.setDirectory(QString::fromStdString(folder));
    uiwait::Flush();
    return save.findChild<QLineEdit*>("fileNameEdit");
}

// One file from the browser (the preview's Recovery) goes to the name chosen in the save dialog,
// which proposes the file's own name; a name without an ending gets the file's own.
// Keeps the events and the codes of the values told while it lives.
struct RecoveryStats : testutil::EventRecorder {
    RecoveryStats() { SetStatsFallbackSink(this); }
    ~RecoveryStats() { SetStatsFallbackSink(nullptr); }
    void RecordValue(u32 code, u64) override { events.push_back(code); }
};

TEST(ExportRoad, OneFileGoesToTheChosenNameWithItsOwnEnding) {
    ExportFixture fixture;
    RecoveryStats stats;
    const std::string& target = fixture.target;
    RoutineAnswers answers(target);
    std::vector<std::string> proposed;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (auto* save = qobject_cast<QFileDialog*>(m)) {
            proposed.push_back(fs::path(save->selectedFiles().value(0).toStdString()).filename().string());
            if (proposed.size() == 1) wizard::Shot(m, "export-05-one-file");
            // Typed as a user types it: the folder, then the name in the dialog's name field.
            QLineEdit* edit = SaveDialogNameField(*save, target);
            ASSERT_NE(edit, nullptr);
            edit->setText(QStringLiteral("copy"));
            static_cast<QDialog*>(save)->accept();  // the file dialog's own checks run
        } else {
            answers.Answer(m);
        }
    });
    ChosenFile chosen;
    ASSERT_NO_FATAL_FAILURE(ScanAndChooseDeletedFile(
        *fixture.window.dlg, answers,
        [](const testutil::ExpectedFile& f) { return f.nameOnDisk.find('.') != std::string::npos; }, chosen));
    const std::string& name = chosen.name;

    ASSERT_NO_FATAL_FAILURE(SaveChosenFile(*fixture.window.dlg, chosen, answers));
    EXPECT_EQ(proposed, std::vector<std::string>{name});
    EXPECT_TRUE(answers.later.empty());
    EXPECT_TRUE(answers.success);
    const std::string written = target + "/copy" + name.substr(name.rfind('.'));
    ASSERT_TRUE(fs::exists(written)) << written << " beside " << testing::PrintToString(e2e::ListEntries(target));
    EXPECT_EQ(testutil::Sha256File(written), chosen.file.sha256);
    EXPECT_EQ(e2e::ListEntries(target).size(), 1u);  // nothing else was written
    // The scan had ended: the recovery's start is told as one after the scan, then its seconds.
    EXPECT_EQ(std::count(stats.events.begin(), stats.events.end(), 0x210Du), 1);
    EXPECT_EQ(std::count(stats.events.begin(), stats.events.end(), 0x210Bu), 0);
    EXPECT_EQ(std::count(stats.events.begin(), stats.events.end(), 0x300Eu), 1);
}

// How the save dialog gives back the typed name: through its own accept, or as a native dialog
// does, which asks nothing about a name without an ending and leaves the ending to be added
// after it returned (the path comes back with it added, or without it).
enum class SaveAnswer { kOwnAccept, kNativeWithEnding, kNativeWithoutEnding };
struct ReplaceRow {
    const char* name;
    SaveAnswer answer;
    int language;
    const char* languageFile;
    const char* shot;  // of the question, when named
    bool cutShort = false;  // the disk ends after the first block of the file's data
};
class ReplaceOneFile : public ::testing::TestWithParam<ReplaceRow> {};

// One file saved over a file that exists, the name typed without its ending: the program asks,
// once for each choice, about the name with the ending, which is the one written; No leaves the
// file as it was and the save dialog comes back, Yes replaces it with the recovered file. When
// the disk no longer holds the file's data whole (cut short after the scan), Yes leaves the
// user's file as it was, nothing beside it, and the result says the recovery failed.
TEST_P(ReplaceOneFile, OnlyAfterTheProgramAskedAboutTheNameWritten) {
    const ReplaceRow row = GetParam();
    ExportFixture fixture(row.language, row.languageFile);
    const std::string& target = fixture.target;
    RoutineAnswers routine(target);
    const std::string existingName = "photo.psd";  // the chosen file's ending
    const std::vector<int> answers = row.cutShort ? std::vector<int>{kYesButton} : std::vector<int>{kNoButton, kYesButton};
    std::vector<std::string> questions;
    int saveDialogs = 0, dialogQuestions = 0;
    std::string contentWhenAskedAgain;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (auto* save = qobject_cast<QFileDialog*>(m)) {
            if (++saveDialogs == 2) contentWhenAskedAgain = testutil::ReadFileText(target + "/" + existingName);
            QLineEdit* edit = SaveDialogNameField(*save, target);
            ASSERT_NE(edit, nullptr);
            if (row.answer == SaveAnswer::kNativeWithoutEnding) save->setDefaultSuffix(QString());
            edit->setText(QStringLiteral("photo"));
            if (row.answer == SaveAnswer::kOwnAccept) {
                static_cast<QDialog*>(save)->accept();  // the file dialog's own checks run
            } else {
                static_cast<QDialog*>(save)->done(QDialog::Accepted);  // nothing asked
            }
        } else if (auto* question = qobject_cast<QMessageBox*>(m)) {
            ++dialogQuestions;
            question->button(QMessageBox::Yes)->click();
        } else if (auto* box = dynamic_cast<QZMMessageBox*>(m); box && routine.scanned) {
            ASSERT_LT(questions.size(), answers.size());
            questions.push_back(box->Text());
            if (row.shot && questions.size() == 1) wizard::Shot(m, row.shot);
            wizard::EndModal(m, answers[questions.size() - 1]);
        } else {
            routine.Answer(m);
        }
    });
    ASSERT_NO_FATAL_FAILURE(ScanCheckAllAndAnswerOn(*fixture.window.dlg, routine));
    // A found picture whose data is intact: a damaged one is saved but counted incomplete.
    ChosenFile chosen;
    for (const testutil::ExpectedFile& f : testutil::LoadDeletedFiles(kImage, kPartition)) {
        const std::string name = testutil::ScanName(f.nameOnDisk);
        if (f.reachable && f.intact && f.size > 0 && name.ends_with(".psd")) {
            chosen = {f, name, FindFoundFile(name, f.size)};
            break;
        }
    }
    ASSERT_NE(chosen.node, nullptr);
    const std::string existing = target + "/" + existingName;
    std::ofstream(existing) << "the user's own file";
    if (row.cutShort) {
        // Its first block of the writer's copy stays on the disk, the rest is gone.
        constexpr u64 kCopyBlock = 65536;
        ASSERT_GT(chosen.file.size, 2 * kCopyBlock);
        u64 start = 0;
        for (const testutil::ManifestFile& f : testutil::LoadManifest(std::string(kImage) + ".json", kPartition))
            if (f.path == chosen.file.path && !f.runs.empty()) start = f.runs[0].first;
        ASSERT_GT(start, 0u);
        ASSERT_EQ(::truncate(fixture.image.c_str(), off_t(start + kCopyBlock)), 0);
    }

    ASSERT_NO_FATAL_FAILURE(SaveChosenFile(*fixture.window.dlg, chosen, routine));
    const std::string question = FormatLocalized("ReplaceRsf", "%s", existingName.c_str());
    EXPECT_EQ(questions, std::vector<std::string>(answers.size(), question));
    EXPECT_EQ(dialogQuestions, 0) << "the file dialog asked";
    EXPECT_EQ(saveDialogs, int(answers.size()));
    EXPECT_EQ(e2e::ListEntries(target), std::vector<std::string>{existingName});
    if (row.cutShort) {
        EXPECT_FALSE(routine.success);
        EXPECT_EQ(routine.counts.failed, 1u);
        EXPECT_EQ(routine.counts.incomplete, 0u);
        EXPECT_TRUE(testutil::ReadFileText(existing) == "the user's own file") << "the user's file was replaced";
        return;
    }
    EXPECT_EQ(contentWhenAskedAgain, "the user's own file");
    EXPECT_TRUE(routine.success);
    EXPECT_EQ(fs::file_size(existing), chosen.file.size);
}

INSTANTIATE_TEST_SUITE_P(
    SaveDialogs, ReplaceOneFile,
    ::testing::Values(ReplaceRow{"OwnAccept", SaveAnswer::kOwnAccept, 0, "English.dat", nullptr},
                      ReplaceRow{"NativeWithoutEnding", SaveAnswer::kNativeWithoutEnding, 0, "English.dat",
                                 "export-replace-photo-en"},
                      ReplaceRow{"NativeWithEndingGerman", SaveAnswer::kNativeWithEnding, 2, "Deutsch.dat",
                                 "export-replace-photo-de"},
                      ReplaceRow{"CutShort", SaveAnswer::kOwnAccept, 0, "English.dat", nullptr, true}),
    [](const ::testing::TestParamInfo<ReplaceRow>& info) { return std::string(info.param.name); });

TEST(ExportRoad, ACancelStopsBetweenFilesAndTheResultSaysTheRecoveryWasStopped) {
    ExportFixture fixture;
    RoutineAnswers answers(fixture.target);
    bool resultSuccess = true;
    bool resultStopped = false;
    bool resultShown = false;
    u64 done = 0, count = 0;
    // The worker waits for the cancel before its first file, so the run cannot end first.
    std::unique_ptr<WorkerHold> hold;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (auto* progress = dynamic_cast<ExportProgress*>(m)) {
            // The worker is held: what it reports is painted by the window's own timer.
            progress->OnBegin(12, 1000);
            progress->OnFileName("Holiday 2019/IMG_0042.JPG");
            progress->OnBytesDone(420);
            // The window's own timer tick paints what was reported.
            SendMessage(progress->Handle(), WM_TIMER, ExportProgress::kTimerId, 0);
            EXPECT_EQ(progress->Percent(), 42);
            wizard::Shot(m, "export-02-progress-moving");
            progress->SetConfirmCancel([] { return true; });
            SendMessage(progress->Handle(), WM_COMMAND, ExportProgress::kItemCancel, 0);
            EXPECT_TRUE(progress->CancelRequested());
            hold->Release();
            EXPECT_TRUE(wizard::PumpUntil([&] { return !progress->isVisible(); }, "the cancelled export's end"));
            done = progress->FilesDone();
            count = progress->FileCount();
            EXPECT_EQ(progress->Result(), kRecoverCancelled);
        } else if (auto* shown = dynamic_cast<ExportResult*>(m)) {
            resultSuccess = shown->success;
            resultStopped = shown->stopped;
            resultShown = true;
            wizard::Shot(m, "export-04-result-cancelled");
            wizard::EndModal(m, IDOK);
        } else {
            answers.Answer(m);
        }
    });
    ScanAndCheckAll(*fixture.window.dlg, answers.offers);
    if (::testing::Test::HasFatalFailure()) return;
    hold = std::make_unique<WorkerHold>();
    ClickRecover(*fixture.window.dlg);
    EXPECT_TRUE(wizard::PumpUntil([&] { return resultShown; }, "the cancelled export's result window"));
    hold.reset();
    EXPECT_FALSE(resultSuccess);
    EXPECT_TRUE(resultStopped) << "a cancel by the user told as a failure";
    EXPECT_GT(count, 0u);
    EXPECT_LT(done, count);
    EXPECT_TRUE(g_opened.empty());
    EXPECT_EQ(answers.tips, 0) << "thanks for files that were not recovered";
}

// The window system's close of the progress window (its close button, Alt+F4) is a request, as
// the cancel item is: the same question, No keeps the recovery going, Yes stops it at its next
// file, and the window goes only with the worker's end. The result then reads the worker's last
// counts: not completed, the folder not opened, no thanks after it.
TEST(ExportRoad, ClosingTheProgressWindowAsksAndEndsOnlyWithTheWorker) {
    ExportFixture fixture;
    RoutineAnswers answers(fixture.target);
    answers.laterAnswer = kNoButton;
    // The questions asked after the scan.
    const std::vector<std::string>& questions = answers.later;
    RecoverCounts finalCounts;
    std::unique_ptr<WorkerHold> hold;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (auto* progress = dynamic_cast<ExportProgress*>(m)) {
            // Closed as the window manager closes it, and the question declined.
            answers.laterAnswer = kNoButton;
            progress->close();
            EXPECT_TRUE(wizard::PumpUntil([&] { return questions.size() == 1; }, "the question of the first close"));
            uiwait::Flush();
            EXPECT_TRUE(progress->isVisible()) << "closed without asking";
            EXPECT_FALSE(progress->CancelRequested());
            // Closed again and the cancel confirmed: the window waits for the held worker.
            answers.laterAnswer = kYesButton;
            progress->close();
            EXPECT_TRUE(wizard::PumpUntil([&] { return questions.size() == 2; }, "the question of the second close"));
            uiwait::Flush();
            EXPECT_TRUE(progress->CancelRequested());
            EXPECT_TRUE(progress->isVisible()) << "closed while the worker still runs";
            hold->Release();
            EXPECT_TRUE(wizard::PumpUntil([&] { return !progress->isVisible(); }, "the worker's end"));
            EXPECT_EQ(progress->Result(), kRecoverCancelled);
            finalCounts = progress->Counts();
        } else {
            answers.Answer(m);
        }
    });
    ASSERT_NO_FATAL_FAILURE(ScanCheckAllAndAnswerOn(*fixture.window.dlg, answers));
    hold = std::make_unique<WorkerHold>();
    ClickRecover(*fixture.window.dlg);
    ASSERT_TRUE(wizard::PumpUntil([&] { return answers.results == 1; }, "the export's result window"));
    hold.reset();
    const std::string confirm = UiResources::Instance().GetString("ConfirmCancel");
    EXPECT_EQ(questions, (std::vector<std::string>{confirm, confirm}));
    EXPECT_FALSE(answers.success);
    EXPECT_GT(answers.fileCount, 0u);
    EXPECT_EQ(answers.counts.written, finalCounts.written);
    EXPECT_EQ(answers.counts.failed, finalCounts.failed);
    EXPECT_LT(answers.counts.written, answers.fileCount);
    EXPECT_TRUE(g_opened.empty()) << "the folder was opened for a stopped recovery";
    EXPECT_EQ(answers.tips, 0);
}

struct Language {
    int index;
    const char* file;
    const char* tag;
};
const Language kLanguages[] = {{0, "English.dat", "en"}, {2, "Deutsch.dat", "de"}, {1, "Japanese.dat", "ja"}};

// The worker waits after reporting a file written whole, before it learns whether to go on:
// after the third file until the gate opens (a recovery stopped half way), or after the last one
// (kHoldAtLast) until a stop is asked for or the gate opens.
constexpr u64 kFilesBeforeStop = 3, kHoldAtLast = 0;
testutil::Gate g_fileGate;
std::atomic<u64> g_holdAt{kFilesBeforeStop}, g_heldAfter{0};
void HoldAfterFile(ExportProgress* dialog, u64 filesDone) {
    const bool atLast = g_holdAt.load() == kHoldAtLast;
    if (filesDone != (atLast ? dialog->FileCount() : g_holdAt.load())) return;
    g_heldAfter.store(filesDone);
    const auto guard = std::chrono::steady_clock::now() + testutil::Gate::kGuard;
    while (!(atLast && dialog->CancelRequested()) && !g_fileGate.IsOpen()) {
        if (std::chrono::steady_clock::now() > guard) {
            g_workerGateTimedOut = true;
            return;
        }
        std::this_thread::yield();
    }
}
struct FileHold {
    explicit FileHold(u64 at) {
        g_fileGate.Close();
        g_workerGateTimedOut = false;
        g_holdAt = at;
        g_heldAfter = 0;
        ExportProgress::SetFileDoneHook(HoldAfterFile);
    }
    ~FileHold() {
        ExportProgress::SetFileDoneHook(nullptr);
        g_fileGate.Open();
        EXPECT_FALSE(g_workerGateTimedOut) << "the export's worker was never let go";
    }
    void Release() { g_fileGate.Open(); }
};

// Every file is written while the close question is open, and the answer is Yes: the stop came
// too late to stop anything. Whether the worker had ended behind the question or still waited to
// hear whether to go on after its last file, the result tells a completed recovery, opens the
// folder with every file, and the thanks follow.
TEST(ExportRoad, AYesAfterTheLastFileWasWrittenLeavesTheRecoveryCompleted) {
    const std::string confirm = UiResources::Instance().GetString("ConfirmCancel");
    for (const bool workerEnded : {true, false}) {
        SCOPED_TRACE(workerEnded ? "the worker ended" : "the worker reporting its last file");
        ExportFixture fixture;
        RoutineAnswers answers(fixture.target);
        std::unique_ptr<WorkerHold> hold;
        std::unique_ptr<FileHold> lastFile;
        int questions = 0;
        u64 doneAtTheAnswer = 0, countAtTheAnswer = 0;
        ExportProgress* running = nullptr;
        wizard::ModalWatch modal([&](QWidget* m) {
            if (auto* progress = dynamic_cast<ExportProgress*>(m)) {
                running = progress;
                progress->close();  // as the window manager closes it
            } else if (auto* box = dynamic_cast<QZMMessageBox*>(m); box && box->Text() == confirm) {
                ++questions;
                hold->Release();  // the question stays open while the worker writes every file
                EXPECT_TRUE(wizard::PumpUntil([&] {
                    return workerEnded ? !running->isVisible() : g_heldAfter.load() > 0 && g_heldAfter.load() == running->FileCount();
                }, "the worker's end, or the worker after its last file"));
                doneAtTheAnswer = running->FilesDone();
                countAtTheAnswer = running->FileCount();
                wizard::EndModal(m, kYesButton);
            } else {
                answers.Answer(m);
            }
        });
        ASSERT_NO_FATAL_FAILURE(ScanCheckAllAndAnswerOn(*fixture.window.dlg, answers));
        hold = std::make_unique<WorkerHold>();
        if (!workerEnded) lastFile = std::make_unique<FileHold>(kHoldAtLast);
        ClickRecover(*fixture.window.dlg);
        ASSERT_TRUE(wizard::PumpUntil([&] { return answers.results == 1; }, "the export's result window"));
        hold.reset();
        lastFile.reset();
        EXPECT_EQ(questions, 1);
        EXPECT_GT(countAtTheAnswer, 0u);
        EXPECT_EQ(doneAtTheAnswer, countAtTheAnswer) << "the question was answered before the last file";
        EXPECT_TRUE(answers.success) << "a recovery that wrote every file told as " << (answers.stopped ? "stopped" : "failed");
        EXPECT_FALSE(answers.stopped);
        EXPECT_EQ(answers.counts.written, answers.fileCount);
        const std::string made = MadeFolder(fixture.target);
        ASSERT_FALSE(made.empty());
        EXPECT_EQ(e2e::ListFiles(made).size(), answers.fileCount);
        EXPECT_EQ(g_opened, std::vector<std::string>{made});
        EXPECT_EQ(answers.tips, 1);
    }
}

// The progress window closed as the window manager closes it half way through the files, and the
// question answered Yes: the worker stops at its next file. The result tells a stop by the user
// with the files written whole before it, shows the folder that holds them without opening it,
// and no thanks follow.
TEST(ExportRoad, AStopThroughTheCloseQuestionSaysHowManyFilesWereWritten) {
    ExportFixture fixture;
    RoutineAnswers answers(fixture.target);
    answers.resultShot = "export-stopped-en";
    FileHold hold(kFilesBeforeStop);
    wizard::ModalWatch modal([&](QWidget* m) {
        if (auto* progress = dynamic_cast<ExportProgress*>(m)) {
            EXPECT_TRUE(wizard::PumpUntil([] { return g_heldAfter.load() == kFilesBeforeStop; }, "the worker after its third file"));
            progress->close();
            EXPECT_TRUE(wizard::PumpUntil([&] { return answers.later.size() == 1; }, "the close question"));
            EXPECT_TRUE(progress->CancelRequested());
            hold.Release();
            EXPECT_TRUE(wizard::PumpUntil([&] { return !progress->isVisible(); }, "the stopped worker's end"));
        } else {
            answers.Answer(m);
        }
    });
    ASSERT_NO_FATAL_FAILURE(ScanCheckAllAndAnswerOn(*fixture.window.dlg, answers));
    ClickRecover(*fixture.window.dlg);
    ASSERT_TRUE(wizard::PumpUntil([&] { return answers.results == 1; }, "the export's result window"));
    EXPECT_EQ(answers.later, std::vector<std::string>{UiResources::Instance().GetString("ConfirmCancel")});
    EXPECT_FALSE(answers.success);
    EXPECT_TRUE(answers.stopped) << "a stop by the user told as a failure";
    EXPECT_EQ(answers.counts.written, kFilesBeforeStop);
    EXPECT_EQ(answers.counts.failed + answers.counts.incomplete, 0u);
    ASSERT_GT(answers.fileCount, kFilesBeforeStop);
    char expected[256];
    std::snprintf(expected, sizeof expected, UiResources::Instance().GetString("RecoveryStoppedCount").c_str(),
                  static_cast<unsigned long long>(kFilesBeforeStop), static_cast<unsigned long long>(answers.fileCount));
    EXPECT_EQ(answers.detail, expected);
    const std::string made = MadeFolder(fixture.target);
    ASSERT_FALSE(made.empty());
    EXPECT_EQ(answers.resultPath, made);
    EXPECT_EQ(e2e::ListFiles(made).size(), kFilesBeforeStop);
    EXPECT_TRUE(g_opened.empty()) << "the folder was opened for a stopped recovery";
    EXPECT_EQ(answers.tips, 0);
}

// A tmpfs of 64 KiB, mounted for the test and filled to its last byte; then made read-only when
// asked, as a mounted disc image or squashfs is: no room and no file to be made.
struct FullTmpfs {
    explicit FullTmpfs(std::string at, bool readOnly = false) : path(std::move(at)) {
        fs::create_directories(path);
        mounted = ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=64k") == 0;
        error = mounted ? 0 : errno;
        {
            std::ofstream fill(path + "/fill", std::ios::binary);
            const std::vector<char> block(4096, 'x');
            while (mounted && fill.write(block.data(), std::streamsize(block.size())) && fill.flush()) {
            }
        }
        if (mounted && readOnly && ::mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            error = errno;
            ::umount2(path.c_str(), MNT_DETACH);
            mounted = false;
        }
    }
    ~FullTmpfs() {
        if (mounted) ::umount2(path.c_str(), MNT_DETACH);
    }
    std::string path;
    bool mounted = false;
    int error = 0;
};

struct FullRow {
    const char* name;
    bool readOnly;
    int language;
    const char* languageFile;
    const char* key;   // of the refusal's message
    const char* shot;  // of the refusal
};
class FullDestination : public ::testing::TestWithParam<FullRow> {};

// A destination whose file system is full is refused with its message before anything is
// written, and the folder choice stays open for another folder. One that takes no file at all (a
// read-only medium, which reports no room either) is refused as unusable.
TEST_P(FullDestination, IsRefusedBeforeAnythingIsWritten) {
    const FullRow row = GetParam();
    ExportFixture fixture(row.language, row.languageFile);
    FullTmpfs full(fixture.work.File("full"), row.readOnly);
    if (!full.mounted) GTEST_SKIP() << "mounting a tmpfs needs root: " << std::strerror(full.error);
    struct statvfs st {};
    ASSERT_EQ(::statvfs(full.path.c_str(), &st), 0);
    ASSERT_EQ(st.f_bavail, 0u) << "the tmpfs is not full";
    const std::string refusal = UiResources::Instance().GetString(row.key);
    RoutineAnswers answers(fixture.target);
    std::vector<std::string> refusals;
    bool stayedOpen = false;
    int recoveries = 0;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (auto* folder = dynamic_cast<SelExportPathDlg*>(m)) {
            // OK on the full folder, as the user clicks it; the refusal is shown to the user.
            folder->SetQuiet(false);
            folder->SetPath(full.path);
            EXPECT_TRUE(wizard::ClickDialogItem(*folder, SelExportPathDlg::kItemOk));
            EXPECT_TRUE(wizard::PumpUntil([&] { return !refusals.empty(); }, "the refusal"));
            stayedOpen = folder->isVisible();
            EXPECT_TRUE(wizard::ClickDialogItem(*folder, SelExportPathDlg::kItemCancel));
        } else if (auto* box = dynamic_cast<QZMMessageBox*>(m); box && answers.scanned) {
            refusals.push_back(box->Text());
            wizard::Shot(m, row.shot);
            wizard::EndModal(m, kYesButton);
        } else if (dynamic_cast<ExportProgress*>(m)) {
            ++recoveries;
            wizard::EndModal(m, IDCANCEL);
        } else {
            answers.Answer(m);
        }
    });
    ASSERT_NO_FATAL_FAILURE(ScanCheckAllAndAnswerOn(*fixture.window.dlg, answers));
    ClickRecover(*fixture.window.dlg);
    ASSERT_TRUE(wizard::PumpUntil([&] { return !refusals.empty() && !QApplication::activeModalWidget(); }, "the folder choice's end"));
    EXPECT_EQ(refusals, std::vector<std::string>{refusal});
    EXPECT_TRUE(stayedOpen) << "the folder choice closed on a refusal";
    EXPECT_EQ(recoveries, 0);
    EXPECT_EQ(answers.results, 0);
    EXPECT_EQ(e2e::ListEntries(full.path), std::vector<std::string>{"fill"}) << "something was written to the full folder";
}

INSTANTIATE_TEST_SUITE_P(
    Media, FullDestination,
    ::testing::Values(FullRow{"Full", false, 0, "English.dat", "NoSpaceAvailiable", "export-full-refused-en"},
                      FullRow{"ReadOnly", true, 0, "English.dat", "ExportPathInvalid", "export-readonly-refused-en"},
                      FullRow{"ReadOnlyGerman", true, 2, "Deutsch.dat", "ExportPathInvalid", "export-readonly-refused-de"}),
    [](const ::testing::TestParamInfo<FullRow>& info) { return std::string(info.param.name); });

class PartialRecovery : public ::testing::TestWithParam<Language> {};

// The disk is cut short after the scan, before the data of the file that lies last on it: the
// recovery writes the others and not that one. The result says it failed, with the files it
// could not bring back and the folder that holds the rest, opens nothing, and no thanks for
// files that are back follow it.
TEST_P(PartialRecovery, ARecoveryThatMissedFilesSaysSoAndNoThanksFollow) {
    const Language lang = GetParam();
    // Where the data of the checked file (an intact one) that lies last on the disk starts.
    std::set<std::string> recovered;
    for (const testutil::ExpectedFile& f : testutil::LoadDeletedFiles(kImage, kPartition))
        if (f.reachable && f.intact) recovered.insert(f.path);
    u64 lastData = 0;
    for (const testutil::ManifestFile& f : testutil::LoadManifest(std::string(kImage) + ".json", kPartition))
        if (recovered.count(f.path) && !f.runs.empty() && f.size > 0) lastData = std::max(lastData, f.runs[0].first);
    ASSERT_GT(lastData, 0u);
    ExportFixture fixture(lang.index, lang.file);
    RoutineAnswers answers(fixture.target);
    answers.resultShot = std::string("export-partial-") + lang.tag;
    wizard::ModalWatch modal([&](QWidget* m) { answers.Answer(m); });
    ScanAndCheckAll(*fixture.window.dlg, answers.offers);
    if (::testing::Test::HasFatalFailure()) return;
    ASSERT_EQ(::truncate(fixture.image.c_str(), off_t(lastData / 512 * 512)), 0);
    ClickRecover(*fixture.window.dlg);
    ASSERT_TRUE(wizard::PumpUntil([&] { return answers.results == 1; }, "the export's result window"));
    EXPECT_FALSE(answers.success);
    const RecoverCounts& counts = answers.counts;
    EXPECT_GT(counts.written, 0u);
    EXPECT_GT(counts.failed + counts.incomplete, 0u);
    EXPECT_EQ(counts.written + counts.failed + counts.incomplete, answers.fileCount);
    EXPECT_TRUE(g_opened.empty());
    EXPECT_EQ(answers.tips, 0) << "thanks for files that were not recovered";
}

INSTANTIATE_TEST_SUITE_P(Languages, PartialRecovery, ::testing::ValuesIn(kLanguages),
                         [](const ::testing::TestParamInfo<Language>& info) { return std::string(info.param.tag); });

}  // namespace
