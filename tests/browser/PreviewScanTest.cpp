// The preview on deleted files of the NTFS and FAT32 fixtures, found by a real scan through the
// scan session: the pane shows a picture copied out on its worker, the preview window shows the
// picture, hex and text of the found bytes, a running scan is paused while the window is open and
// resumed afterwards, the file is recovered from the window, office documents go to the desktop
// viewer, and no temporary copy is left behind. Screenshots go to build/screenshots/.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "BrowserScanFixture.h"
#include "BrowserTestTree.h"
#include "Manifest.h"
#include "TestUtil.h"
#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/NodeManager.h"
#include "browser/preview/FileViews.h"
#include "browser/preview/ImageView.h"
#include "browser/preview/OfficeRtf.h"
#include "browser/preview/PreviewDialog.h"
#include "browser/preview/PreviewPane.h"
#include "browser/preview/PreviewTemp.h"
#include "browser/preview/PreviewViewer.h"
#include "browser/preview/PreviewWorkers.h"
#include "browser/views/Container.h"
#include "browser/views/PreviewEntry.h"
#include "browser/views/IconCtrl.h"
#include "browser/views/ThumbnailWorker.h"
#include "devices/StorageDevice.h"
#include "app/dialogs/ExportProgress.h"
#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileRecoverer.h"
#include "engine/HeldFile.h"
#include "engine/RecoveryGraph.h"
#include "platform/ProgramDir.h"
#include "ui/UiWait.h"
#include "ListWait.h"

using namespace FileSelCtrl;
using namespace browsertest;

namespace {

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The first node below root (breadth first) of that name; null when there is none.
CFileNode* FindByName(CFileNode* root, const std::string& name) {
    std::deque<CFileNode*> walk{root};
    for (; !walk.empty(); walk.pop_front()) {
        for (CFileNode* c = walk.front()->GetFirstChild(); c; c = c->GetNextSibling()) {
            const IFileProperties* p = c->GetFileProperties();
            if (p && p->GetName() && name == p->GetName()) return c;
            walk.push_back(c);
        }
    }
    return nullptr;
}

// The threads of this process of that name, as the system lists them.
size_t ProcessThreads(const std::string& named) {
    size_t threads = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        threads += std::getline(comm, name) && name == named;
    }
    return threads;
}

// The manifest's entry of the file of that name.
testutil::ManifestFile Listed(const char* manifest, const std::string& name) {
    for (const auto& f : testutil::LoadManifest(manifest, 1))
        if (BaseName(f.path) == name) return f;
    return {};
}

class PreviewScan : public ScanFixture {
protected:
    static void SetUpTestSuite() {
        StartScanApplication(testutil::FixturePath("ntfs-basic.img") + ":" + testutil::FixturePath("fat32-basic.img"));
    }

    void SetUp() override {
        ScanFixture::SetUp();
        if (HasFatalFailure()) return;
        SetPreviewMessageFunction([this](const QString& text, bool) { told.push_back(text); });
        SetBrowserMessageFunction([this](const std::string& text) { told.push_back(QString::fromStdString(text)); });
    }

    void TearDown() override {
        // Workers still copying hand their rows back on this thread.
        EXPECT_TRUE(PumpUntil([] { return CWndPreview::LiveWorkers() == 0; }, "the preview workers' end"));
        SetPreviewDialogRunner(nullptr);
        SetPreviewMessageFunction(nullptr);
        SetBrowserMessageFunction(nullptr);
        SetViewerStarter(nullptr);
        ReleaseScan();
        browser->SetSink(nullptr);
    }

    // The deleted-file scan of the fixture's volume of that file system, to its end.
    void Scan(u32 fsCode) { ScanToEnd(fsCode, kScanModeDeleted); }

    // Opens the folder that holds the file and selects its row; the row, or null. The folders
    // met are held: a copy a listed row starts may let its tree go meanwhile.
    FileList_Item* Select(const std::string& name) {
        CFileVirtualNodeManager& m = CFileVirtualNodeManager::Instance();
        std::deque<RefHolder<CBindingNode>> folders;
        const auto hold = [&](CBindingNode* b) { b->AddRef(), folders.emplace_back(b); };
        for (hold(m.PathRoot()); !folders.empty(); folders.pop_front()) {
            CBindingNode* b = folders.front().get();
            m.ShowFolder(b);
            testutil::WaitForRows();
            Settle();
            CFileListData& list = CFileListData::FolderModel();
            for (int r = 0; r < list.GetCount(); ++r) {
                RefHolder<FileList_Item> row(list.GetItem(r));
                if (!row->IsFolderRow() && row->name == name) {
                    container->Right()->Details()->SelectRow(r);
                    Settle();
                    return container->Right()->Details()->SelectedRow();
                }
            }
            for (CBindingNode* c : *b->GetChildren()) hold(c);
        }
        return nullptr;
    }

    // A copy of the tree as a complete scan's last step makes one: the nodes cloned, the properties shared.
    static CFileNode* DeepClone(const CFileNode* n) {
        CFileNode* c = CloneTreeNode(n).release();
        for (const CFileNode* k = n->GetFirstChild(); k; k = k->GetNextSibling()) c->AddChild(DeepClone(k));
        return c;
    }

    std::vector<QString> told;
};

TEST_F(PreviewScan, NtfsDeletedPicturesShowInThePaneAndTheWindowWhileTheScanWaits) {
    Scan(kFsNtfs);
    const auto jpeg = Listed("ntfs-basic.json", "Paulo Größe-45.jpg");
    ASSERT_TRUE(jpeg.intact && !jpeg.live);

    // The pane: the picture comes from the worker's own copy, which is gone afterwards.
    container->Right()->ShowPreviewPane(true);
    Settle();
    RefHolder<FileList_Item> row(Select(BaseName(jpeg.path)));
    ASSERT_TRUE(row);
    CWndPreview* pane = container->Right()->Preview();
    ASSERT_TRUE(PumpUntil([&] { return pane->HasPicture(); }, "the picture in the pane"));
    ASSERT_TRUE(PumpUntil([&] { return CWndPreview::LiveWorkers() == 0; }, "the preview workers' end"));
    EXPECT_EQ(LivePreviewTempCount(), 0u);
    EXPECT_TRUE(pane->ValueText().contains(QStringLiteral("%1 x %2").arg(pane->PictureSize().width()).arg(pane->PictureSize().height())));
    Settle();
    ASSERT_TRUE(container->grab().save(QString::fromStdString(ScreenshotPath("preview-pane-en.png"))));

    // Fitted height first, the picture keeps its proportions and stays inside the pane; the
    // width-first frame comes back with the default.
    const QRect widthFirst = pane->FrameRect();
    pane->SetFitWidthFirst(false);
    const QRect heightFirst = pane->FrameRect();
    const QSize picture = pane->PictureSize();
    EXPECT_LE(heightFirst.height(), pane->height() - kPaneReserve - 50);
    EXPECT_LE(heightFirst.width(), pane->width() - 20);
    EXPECT_NEAR(static_cast<double>(heightFirst.width()) / heightFirst.height(),
                static_cast<double>(picture.width()) / picture.height(), 0.05);
    ASSERT_TRUE(container->grab().save(QString::fromStdString(ScreenshotPath("preview-pane-height-first-en.png"))));
    pane->SetFitWidthFirst(true);
    EXPECT_EQ(pane->FrameRect(), widthFirst);

    // A damaged deleted picture (overwritten since) shows its icon and the type line, no crash.
    const auto broken = Listed("ntfs-basic.json", "archive_library_368.png");
    RefHolder<FileList_Item> brokenRow(Select(BaseName(broken.path)));
    ASSERT_TRUE(brokenRow);
    ASSERT_TRUE(PumpUntil([&] { return CWndPreview::LiveWorkers() == 0; }, "the preview workers' end"));
    Settle();
    ASSERT_TRUE(container->grab().save(QString::fromStdString(ScreenshotPath("preview-pane-damaged-en.png"))));
    RefHolder<FileList_Item> zip(Select("Ærøskøbing año-82.zip"));
    ASSERT_TRUE(zip);
    Settle();
    EXPECT_FALSE(pane->HasPicture()) << "only pictures are copied out for the pane";
    EXPECT_TRUE(pane->LabelText().contains(QString::fromStdString(Skin().textType)));
    ASSERT_TRUE(container->grab().save(QString::fromStdString(ScreenshotPath("preview-pane-other-en.png"))));

    // Choosing quickly one after the other: older workers see they were passed over.
    for (int i = 0; i < 5; ++i) {
        RefHolder<FileList_Item> chosen(Select(BaseName(i % 2 ? jpeg.path : broken.path)));
    }
    ASSERT_TRUE(PumpUntil([&] { return CWndPreview::LiveWorkers() == 0; }, "the preview workers' end"));
    EXPECT_EQ(LivePreviewTempCount(), 0u);

    // Files of 50 MiB and more get no worker; one byte less does (a node without data: its copy
    // fails and the pane keeps the icon).
    for (const auto& [size, workers] : {std::pair<u64, int>{kPanePictureLimit, 0}, {kPanePictureLimit - 1, 1}}) {
        CFileNode* big = browsertest::Add(nullptr, "big.jpg", false, size);
        FileList_Item* bigRow = FileList_Item::ForFile(big);
        pane->SetItem(bigRow);
        EXPECT_EQ(CWndPreview::LiveWorkers(), workers) << size;
        ASSERT_TRUE(PumpUntil([&] { return CWndPreview::LiveWorkers() == 0; }, "the preview workers' end"));
        EXPECT_FALSE(pane->HasPicture());
        pane->ClearItem();
        bigRow->Release();
        delete big;
    }
    EXPECT_EQ(LivePreviewTempCount(), 0u);

    // The window, with a scan running: it is paused while the window is open, the strip says
    // so, and the file is recovered from the window.
    RefHolder<FileList_Item> again(Select(BaseName(jpeg.path)));
    ASSERT_TRUE(again);
    progress.DoStart();
    ASSERT_EQ(progress.GetState(), kProgressRunning);
    bool ran = false;
    std::string temp;
    SetPreviewDialogRunner([&](QDialog& d) {
        auto* dlg = qobject_cast<CFilePreViewDlg*>(&d);
        ASSERT_NE(dlg, nullptr);
        ran = true;
        temp = dlg->TempPath();
        EXPECT_EQ(progress.GetState(), kProgressPaused) << "the scan waits while the file is shown";
        EXPECT_EQ(RecoveryGraph::Instance().GetPausedBySession(), 1u) << "paused as the browser's, not as the user's";
        EXPECT_TRUE(std::filesystem::exists(temp));
        EXPECT_EQ(testutil::Sha256File(temp), jpeg.sha256);
        // What is shown is the user's alone: the copy, and the folder it lies in.
        struct stat copy {}, folder {};
        ASSERT_EQ(::stat(temp.c_str(), &copy), 0);
        EXPECT_EQ(copy.st_mode & 0777, 0600u);
        ASSERT_EQ(::stat(std::filesystem::path(temp).parent_path().c_str(), &folder), 0);
        EXPECT_EQ(folder.st_mode & 0777, 0700u);
        dlg->show();
        Settle();
        EXPECT_TRUE(dlg->isEnabled());
        EXPECT_TRUE(dlg->Image()->HasPicture());
        EXPECT_EQ(dlg->Image()->Picture().size(), LoadPictureBounded(temp).size());
        ASSERT_NE(dlg->Warning(), nullptr);
        ASSERT_TRUE(dlg->grab().save(QString::fromStdString(ScreenshotPath("preview-found-image-en.png"))));
        dlg->SelectTab(1);
        Settle();
        EXPECT_TRUE(dlg->HexView()->toPlainText().contains("FF D8 FF"));
        dlg->RecoveryButton()->click();
    });
    container->Right()->Details()->OnCommand(ID_FILESEL_PREVIEW);
    EXPECT_TRUE(ran);
    EXPECT_EQ(progress.GetState(), kProgressRunning) << "and goes on afterwards";
    EXPECT_FALSE(std::filesystem::exists(temp)) << "the copy is removed";
    ASSERT_EQ(sink.recovered.size(), 1u);
    EXPECT_TRUE(sink.recovered[0]->IsFileOf(again->fileNode));
    EXPECT_TRUE(told.empty()) << told.front().toStdString();

    // The deleted Word document goes to the desktop's viewer.
    std::vector<OpenerCommand> started;
    SetViewerStarter([&](const OpenerCommand& c, const std::string&) {
        started.push_back(c);
        return true;
    });
    RefHolder<FileList_Item> doc(Select("DSC00929.DOC"));
    ASSERT_TRUE(doc);
    ran = false;
    container->Right()->Details()->OnCommand(ID_FILESEL_PREVIEW);
    EXPECT_FALSE(ran);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(OldOfficeDocumentKind(started[0].arguments[0].toStdString()), OfficeKind::Word);
    RemoveAllPreviewTemps();
    progress.DoStop(false);
}

// A disk under a volume whose reads a test steers; the rest is the volume's.
struct DiskOver : IStorageDevice {
    using Reader = std::function<u32(void* buffer, u64 at, u64 count)>;
    DiskOver(IStorageDevice& v, Reader r) : volume(v), reader(std::move(r)) {}
    u32 Read(void* buffer, u64 at, u64 count) override { return reader(buffer, at, count); }
    u64 GetTotalSectors() override { return volume.GetTotalSectors(); }
    u32 GetSectorSize() override { return volume.GetSectorSize(); }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }
    IStorageDevice& volume;
    const Reader reader;
};

// A partly readable file shows what could be read and zeros for the rest in the pane, the thumbnail
// and the window; one of which nothing can be read is not shown.
TEST_F(PreviewScan, APartlyReadableFileShowsWhatCouldBeRead) {
    Scan(kFsNtfs);
    progress.DoStop(false);
    container->Right()->ShowPreviewPane(true);
    RefHolder<FileList_Item> row(Select("Paulo Größe-45.jpg"));
    ASSERT_TRUE(row && sink.device);
    IStorageDevice* volume = sink.device;
    const u64 kSector = volume->GetSectorSize();
    std::vector<u8> boot(kSector);
    ASSERT_EQ(volume->Read(boot.data(), 0, 1), 1u);
    const IFileProperties* p = row->fileNode->GetFileProperties();
    const u64 size = p->GetSize();
    std::unique_ptr<IDataRunList> runs(p->CreateDataRunList());
    ASSERT_TRUE(runs && runs->GetExtentCount() > 0);
    const u64 sectorsPerCluster = boot[13], fileSector = u64(runs->GetExtent(0).start) * sectorsPerCluster;
    constexpr u64 kReadable = 128;  // the file's second 64 KiB, in its first run
    ASSERT_GE(runs->GetExtent(0).length * sectorsPerCluster, 2 * kReadable);
    ASSERT_GT(size, 2 * kReadable * kSector);
    // The file's unreadable sectors, and whether it is shown.
    for (const auto& [badFirst, badEnd, shown] : {std::tuple{kReadable, 2 * kReadable, true}, std::tuple{u64{0}, (size + kSector - 1) / kSector, false}}) {
        SCOPED_TRACE(shown ? "its second 64 KiB unreadable" : "nothing readable");
        const u64 first = fileSector + badFirst, end = fileSector + badEnd;  // reads that touch these fail
        DiskOver failing(*volume, [&](void* buffer, u64 at, u64 count) { return at < end && at + count > first ? 0 : volume->Read(buffer, at, count); });
        sink.device = &failing;
        CWndPreview* pane = container->Right()->Preview();
        pane->ClearItem();
        pane->SetItem(row.get());
        ASSERT_TRUE(PumpUntil([] { return CWndPreview::LiveWorkers() == 0; }, "the preview workers' end"));
        Settle();
        EXPECT_EQ(pane->HasPicture(), shown);
        if (shown) {
            ASSERT_TRUE(container->grab().save(QString::fromStdString(ScreenshotPath("preview-pane-partly-read-en.png"))));
            std::atomic<int> pictures{0};
            CThumbnailWorker thumbnails([&] { ++pictures; });
            thumbnails.Enqueue(row->fileNode, &failing);
            ASSERT_TRUE(PumpUntil([&] { return pictures.load() > 0; }, "the thumbnail of the partly read picture"));
            EXPECT_FALSE(thumbnails.TakeResults().at(0).image.isNull());
        }
        pane->ClearItem();
        told.clear();
        bool ran = false;
        SetPreviewDialogRunner([&](QDialog& d) {
            auto* dlg = qobject_cast<CFilePreViewDlg*>(&d);
            ASSERT_NE(dlg, nullptr);
            ran = true;
            const std::vector<u8> copy = testutil::ReadFileBytes(dlg->TempPath());
            ASSERT_EQ(copy.size(), size);
            const auto zeros = [&](u64 from, u64 to) {
                return std::all_of(copy.begin() + i64(from), copy.begin() + i64(std::min(to, size)), [](u8 b) { return b == 0; });
            };
            EXPECT_TRUE(copy[0] == 0xFF && copy[1] == 0xD8);
            EXPECT_TRUE(zeros(badFirst * kSector, badEnd * kSector));
            EXPECT_FALSE(zeros(badEnd * kSector, size)) << "what lies after the unreadable sectors";
            dlg->show();
            Settle();
            EXPECT_TRUE(dlg->Image()->HasPicture());
            ASSERT_TRUE(dlg->grab().save(QString::fromStdString(ScreenshotPath("preview-partly-read-image-en.png"))));
            dlg->reject();
        });
        container->Right()->Details()->OnCommand(ID_FILESEL_PREVIEW);
        EXPECT_EQ(ran, shown);
        EXPECT_EQ(told, shown ? std::vector<QString>{} : std::vector<QString>{QString::fromStdString(Skin().canNotPreview)});
        EXPECT_EQ(LivePreviewTempCount(), 0u);
    }
    sink.device = volume;
}

// The last step of a complete scan replaces the trees on screen and drops those nobody chose,
// and the scan renames a shown file and places it again, while the pane, the thumbnails, the
// preview window or the recovery of one file copy it: the tree changes at once, whatever moment
// of the copy a slow disk holds, and the copy still reads the whole file under the name it had,
// which the window keeps and its Recovery writes. A disk that hangs in a read while the user
// picks files one after the other keeps a few pane workers, and the file picked last is shown;
// the program quits without waiting for the read, and the worker left in it hands nothing back.
TEST_F(PreviewScan, ATreeReplacedDroppedOrRenamedWhileOneOfItsFilesIsCopiedTakesNothingFromTheCopy) {
    Scan(kFsNtfs);
    progress.DoStop(false);
    const auto jpeg = Listed("ntfs-basic.json", "Paulo Größe-45.jpg");
    const std::string jpegName = BaseName(jpeg.path), otherName = "customer_morning_144.png";
    IStorageDevice* volume = sink.device;
    RecoveryGraph& session = RecoveryGraph::Instance();
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    CPreviewWorkers& workers = CPreviewWorkers::Instance();
    ASSERT_TRUE(jpeg.intact && jpeg.runs.size() == 1 && jpeg.size > 2 * 65536u) << "one run, read in three reads";
    const std::pair<u64, u64> sectors{jpeg.runs[0].first / 512, (jpeg.runs[0].first + jpeg.size + 511) / 512};  // the volume fills the image
    // The page's recovery of one file reads the session's volume: the slow disk too.
    const std::shared_ptr<VolumeRecord> scanned = session.HoldFirstVolume(), slow = std::make_shared<VolumeRecord>();
    session.SelectVolume(-1, nullptr);
    session.SelectVolume(0, slow);
    testutil::TempDir out;
    enum Copier { kPane, kThumbnail, kWindow, kRecovery };
    enum Change { kReplaced, kDropped, kRenamed };
    // The pane's rows also hang in a read while the user picks files, or while the program quits.
    const struct { const char* name; int read; bool after; int picks; bool quit; } moments[] = {
        {"before its first read", 1, false, 0, false}, {"inside a read", 1, true, 0, false}, {"between reads", 2, false, 0, false},
        {"after its last read", 0, true, 0, false},    {"hung while 60 files are picked", 1, true, 60, false},
        {"hung while 600 files are picked", 1, true, 600, false}, {"hung while 6000 files are picked", 1, true, 6000, false},
        {"hung while the program quits", 1, true, 0, true}};
    for (const Copier copier : {kPane, kThumbnail, kWindow, kRecovery})
        for (const auto& moment : moments)
            for (const Change change : {kReplaced, kDropped, kRenamed}) {
                const bool hung = moment.picks > 0 || moment.quit;
                if (hung && copier != kPane) continue;
                const std::string trace = std::to_string(copier) + ", " + moment.name + ", change " + std::to_string(change);
                SCOPED_TRACE(trace);
                browser->ClearAll();  // the copy of the scanned tree alone on screen
                auto* shown = static_cast<CFileSystemNode*>(DeepClone(session.GetTreeRoots().front()));
                browser->SetBuildState(true);
                manager.AddFileSystemNode(shown, nullptr, nullptr, true);
                SettleScan();
                // A slow disk: it holds the copy at the file's read of the moment's number (0: the
                // one reaching the file's end), before or after the read, until the tree changed.
                testutil::Gate reached, leave, picked;
                if (!hung) picked.Open();
                std::atomic<int> reads{0};
                const auto hold = [&] { reached.Open(); EXPECT_TRUE(leave.Wait(std::chrono::minutes(4))) << "the tree waited for the copy"; };
                DiskOver disk(*volume, [&](void* buffer, u64 at, u64 count) {
                    const int number = at < sectors.second && at + count > sectors.first ? ++reads : -1;
                    const bool here = number == moment.read || (moment.read == 0 && at + count >= sectors.second);
                    if (here && !moment.after) hold();
                    const u32 read = volume->Read(buffer, at, count);
                    if (here && moment.after) hold();
                    return read;
                });
                sink.device = slow->device = &disk;
                sink.recovered.clear();
                container->Right()->ShowPreviewPane(copier == kPane);
                // The tree builder's part on the scan thread: the new tree shown and the old one
                // taken from the browser and freed, or the file renamed and placed under the
                // tree's root; only then does the disk go on.
                std::atomic<bool> changed{false};
                CFileNode* replacement = change == kReplaced ? DeepClone(session.GetTreeRoots().front()) : nullptr;
                std::thread scan([&, shown] {
                    EXPECT_TRUE(reached.Wait()) << "the copy never came to the slow read";
                    EXPECT_TRUE(picked.Wait(std::chrono::minutes(4))) << "the picks never ended";
                    if (change == kRenamed) {
                        const std::lock_guard<std::recursive_timed_mutex> tree(manager.TreeLock());
                        CFileNode* file = FindByName(shown, jpegName);
                        ASSERT_NE(file, nullptr);
                        for (const char* name : {"renamed once.jpg", "renamed twice.jpg"}) file->GetFileProperties()->SetName(name);
                        file->GetParent()->RemoveChild(file);
                        shown->AddChild(file);
                    } else {
                        if (replacement) manager.AddFileSystemNode(replacement, nullptr, nullptr, true);
                        manager.RemoveFileSystemNode(shown);
                        DestroySubtree(shown);
                    }
                    changed = true;
                    leave.Open();
                });
                // The window goes on while the file is copied: the change reaches it there.
                SetPreviewDialogRunner([&](QDialog& d) {
                    auto& window = dynamic_cast<CFilePreViewDlg&>(d);
                    EXPECT_TRUE(changed.load());
                    EXPECT_EQ(testutil::Sha256File(window.TempPath()), jpeg.sha256);
                    EXPECT_TRUE(window.windowTitle().startsWith(QString::fromStdString(jpegName))) << "the name the file had when taken";
                    window.RecoveryButton()->click();
                });
                CWndPreview* pane = container->Right()->Preview();
                {  // the rows picked, held for as long as the row runs
                    RefHolder<FileList_Item> other(hung ? Select(otherName) : nullptr), chosen(Select(jpegName));  // the pane copies from here
                    if (moment.picks > 0) {
                        // Every pick while the read hangs: the pane's workers and the process's threads stay few.
                        ASSERT_TRUE(other && chosen && reached.Wait());
                        size_t mostThreads = 0;
                        for (int pick = 0; pick < moment.picks; ++pick) {
                            pane->SetItem(pick % 2 == 0 ? other.get() : chosen.get());
                            EXPECT_LE(workers.Threads(), kMaxPreviewWorkers);
                            if (pick % 50 != 0) continue;
                            Turn();  // what was handed back is taken
                            EXPECT_LE(CWndPreview::LiveWorkers(), kMaxPreviewWorkers + 1) << "the running orders and one waiting";
                            mostThreads = std::max(mostThreads, ProcessThreads(kPreviewWorkerThreadName));
                        }
                        EXPECT_TRUE(mostThreads >= 1 && mostThreads <= size_t{kMaxPreviewWorkers}) << mostThreads << " copy threads";
                        // The read still hangs: the other file picked last still shows, and so does the first.
                        pane->SetItem(other.get());
                        EXPECT_TRUE(PumpUntil([&] { return pane->HasPicture(); }, "the picture picked last"));
                        pane->SetItem(chosen.get());
                    }
                    if (moment.quit) {
                        ASSERT_TRUE(reached.Wait());
                        EXPECT_FALSE(workers.Stop(kPreviewWorkersExitWaitMs)) << "the read hangs yet";
                        EXPECT_EQ(workers.Threads(), 1) << "the worker left inside it";
                    }
                    picked.Open();
                    container->Right()->SetViewMode(copier != kThumbnail);  // the icon view from here
                    if (copier == kWindow) container->Right()->Details()->OnCommand(ID_FILESEL_PREVIEW);
                    if (copier == kRecovery) container->Right()->Details()->OnCommand(ID_FILESEL_RECOVERY);
                    EXPECT_EQ(sink.recovered.size(), copier >= kWindow ? 1u : 0u);
                    if (!sink.recovered.empty()) {
                        ExportProgress recovery(nullptr);
                        recovery.targetPath = out.File(trace);
                        recovery.singleFile = sink.recovered[0];
                        recovery.DoModal();
                        EXPECT_EQ(testutil::Sha256File(recovery.targetPath), jpeg.sha256);
                    }
                    EXPECT_TRUE(PumpUntil([&] { return changed.load(); }, "the tree's change"));
                    scan.join();
                    CThumbnailWorker& thumbnails = container->Right()->Icons()->List()->Worker();
                    EXPECT_TRUE(PumpUntil([&] { return CWndPreview::LiveWorkers() == 0 && workers.Threads() == 0 && thumbnails.Pending() == 0; },
                                          "the copies' end"));
                    if (change == kRenamed) {
                        // The tree stands: the pane shows the file picked last, unless the program quit.
                        EXPECT_EQ(pane->HasPicture(), copier == kPane && !moment.quit);
                    } else {
                        EXPECT_TRUE(!pane->HasPicture() && (!pane->Item() || !pane->Item()->fileNode)) << "the pane keeps a row of the gone tree";
                    }
                }
                browser->ClearAll();
                Settle();
                if (change == kRenamed) {
                    // The properties are the scanned tree's too.
                    FindByName(shown, "renamed twice.jpg")->GetFileProperties()->SetName(jpegName.c_str());
                    DestroySubtree(shown);
                }
                DestroySubtree(replacement);
                EXPECT_EQ(LivePreviewTempCount(), 0u);
                sink.device = slow->device = volume;  // the slow disk ends with this row
            }
    session.SelectVolume(-1, nullptr);
    session.SelectVolume(0, scanned);
    sink.device = volume;
    container->Right()->SetViewMode(true);
}

// A failing disk with bad places: every read of six pictures hangs in the pane's copies (from
// the read a road names) while the user picks them again and again, then a healthy one; or the
// row is deselected with Ctrl+click, or the program quits, while its copy hangs. The healthy
// picture shows while the others hang (and once the disk answers, whatever the picks), the
// workers stay few, a deselected row leaves the pane empty, and a quit leaves no part of a copy.
TEST_F(PreviewScan, APaneCopyHungOnABadPlaceLetsTheNextPictureShowAndLeavesNothingBehind) {
    ScanToEnd(kFsNtfs, kScanModeComplete);  // the live files too: a healthy picture among them
    container->Right()->ShowPreviewPane(true);
    std::vector<testutil::ManifestFile> hungFiles;  // the first read in more than one step
    for (const char* name : {"Paulo Größe-45.jpg", "customer_morning_144.png", "payment_window_633.bmp", "RELEA15.GIF",
                             "Evening kitchen backup concert evening camera 16.bmp",
                             "Data album planet autumn meeting estimate volume network analysis 2.bmp"})
        hungFiles.push_back(Listed("ntfs-basic.json", name));
    std::vector<std::pair<u64, u64>> bad;  // in sectors: the volume fills the image
    for (const auto& file : hungFiles)
        for (const auto& run : file.runs) bad.push_back({run.first / 512, (run.first + run.second + 511) / 512});
    ASSERT_TRUE(hungFiles[0].size > 65536u && hungFiles[0].runs.size() == 1);
    IStorageDevice* volume = sink.device;
    CPreviewWorkers& workers = CPreviewWorkers::Instance();
    CWndPreview* pane = container->Right()->Preview();
    auto* list = container->Right()->Details();
    const std::string cache = GetUserCacheDir(), ownPart = cache + kTemporaryCopyPrefix + std::to_string(::getpid()) + "-";
    const auto parts = [&] {
        std::vector<std::uintmax_t> sizes;
        for (const auto& entry : std::filesystem::directory_iterator(cache))
            if (entry.path().string().rfind(ownPart, 0) == 0) sizes.push_back(entry.file_size());
        return sizes;
    };
    enum End { kHealthy, kDeselect, kQuit };
    const struct { const char* name; int picks; End end; int hangFrom; } roads[] = {
        {"two hung files, then a healthy one", 2, kHealthy, 1},      {"six hung files, then a healthy one", 6, kHealthy, 1},
        {"60 picks of hung files", 60, kHealthy, 1},                 {"600 picks of hung files", 600, kHealthy, 1},
        {"6000 picks of hung files", 6000, kHealthy, 1},             {"deselected with Ctrl+click while its copy hangs", 0, kDeselect, 1},
        {"a quit while the copy has written part of its file", 0, kQuit, 2}};
    for (const auto& road : roads) {
        SCOPED_TRACE(road.name);
        const bool waitInside = road.picks <= int(hungFiles.size());
        testutil::Gate answer;
        std::atomic<int> inside{0}, badReads{0};
        DiskOver disk(*volume, [&](void* buffer, u64 at, u64 count) {
            // Only the pane's copies meet the bad places (the list's own readers go on), and only
            // the first file's where the user goes to the list.
            char thread[16] = {};
            pthread_getname_np(pthread_self(), thread, sizeof thread);
            const size_t places = road.end == kHealthy ? bad.size() : 1;
            if (std::string(thread) == kPreviewWorkerThreadName &&
                std::any_of(bad.begin(), bad.begin() + places, [&](const auto& r) { return at < r.second && at + count > r.first; }) &&
                ++badReads >= road.hangFrom && !answer.IsOpen()) {
                ++inside;
                EXPECT_TRUE(answer.Wait(std::chrono::minutes(4))) << "the disk was never let answer";
                --inside;
            }
            return volume->Read(buffer, at, count);
        });
        RefHolder<FileList_Item> healthy(Select("Kraków Ålesund-30.png"));
        std::deque<RefHolder<FileList_Item>> hung;
        for (const auto& file : hungFiles) ASSERT_TRUE(hung.emplace_back(Select(BaseName(file.path)))) << file.path;
        ASSERT_TRUE(healthy);
        pane->ClearItem();
        sink.device = &disk;
        for (int pick = 0; pick < road.picks; ++pick) {
            pane->SetItem(hung[size_t(pick) % hung.size()].get());
            // A file picked again waits for its own copy still inside the read, and leaves once cancelled.
            const int distinct = std::min(pick + 1, int(hung.size()));
            EXPECT_TRUE(!waitInside || PumpUntil([&] { return inside.load() == distinct; }, "the pick's copy inside its read"));
            EXPECT_LE(workers.Threads(), kMaxPreviewWorkers);
            EXPECT_TRUE(pick % 50 != 0 || ProcessThreads(kPreviewWorkerThreadName) <= size_t{kMaxPreviewWorkers}) << "copy threads";
        }
        if (road.end == kHealthy) {
            pane->SetItem(healthy.get());
            EXPECT_TRUE(!waitInside || PumpUntil([&] { return pane->HasPicture(); }, "the healthy picture while the others hang"));
        } else {  // the first file chosen in the list, its copy in the hanging read
            RefHolder<FileList_Item> chosen(Select(BaseName(hungFiles[0].path)));
            EXPECT_TRUE(chosen && pane->Item() == chosen.get());
            EXPECT_TRUE(PumpUntil([&] { return inside.load() == 1; }, "the copy inside its read"));
        }
        if (road.end == kDeselect) {
            QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, list->visualRect(list->currentIndex()).center());
            RefHolder<FileList_Item> still(list->SelectedRow());
            EXPECT_TRUE(!still && !pane->Item() && !pane->HasPicture()) << "the pane keeps the deselected row";
            EXPECT_EQ(pane->MessageText(), QString()) << "a list with rows, none chosen: the pane stays blank";
        }
        if (road.end == kQuit) {
            // What the exit does: the workers are waited for a short while, then every copy left
            // unfinished is removed. The first 64 KiB of the file are written by then.
            EXPECT_FALSE(workers.Stop(kPreviewWorkersExitWaitMs)) << "the read hangs yet";
            EXPECT_EQ(parts(), std::vector<std::uintmax_t>{65536u}) << "the part written before the read hung";
            EXPECT_EQ(RemoveUnfinishedCopies(), 1u);
            EXPECT_EQ(parts(), std::vector<std::uintmax_t>{});
            // A crash leaves the copies of a process that no longer runs: the next start removes them, never a running one's.
            const pid_t ended = ::fork();
            if (ended == 0) ::_exit(0);
            ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
            const std::string id = std::to_string(ended), left[] = {cache + kTemporaryCopyPrefix + id + "-00ff.part",
                                                                    cache + "~@!preview-" + id + "-3.tmp", cache + kThumbnailTempPrefix + id + "-0.tmp"};
            const std::string kept[] = {ownPart + "00ff.part", cache + "notes-" + id + "-1.txt"};
            for (const std::string& path : left) std::ofstream(path) << "left";
            for (const std::string& path : kept) std::ofstream(path) << "kept";
            EXPECT_EQ(RemovePreviewTempsLeftBehind(), 3u);
            for (const std::string& path : left) EXPECT_FALSE(std::filesystem::exists(path)) << path;
            for (const std::string& path : kept) EXPECT_TRUE(std::filesystem::remove(path)) << path;
        }
        answer.Open();
        EXPECT_TRUE(PumpUntil([&] { return inside.load() == 0 && CWndPreview::LiveWorkers() == 0 && workers.Threads() == 0; }, "the workers' end"));
        Settle();
        // Once the disk answers the pane shows the healthy picture chosen last, and nothing else.
        EXPECT_EQ(pane->HasPicture(), road.end == kHealthy);
        EXPECT_TRUE(road.end != kHealthy || pane->Item() == healthy.get());
        EXPECT_TRUE(LivePreviewTempCount() == 0 && UnfinishedCopyCount() == 0 && parts().empty()) << "a copy left";
        sink.device = volume;
        if (road.end == kDeselect) {  // the row chosen again comes back to the pane
            QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, list->visualRect(list->currentIndex()).center());
            EXPECT_TRUE(PumpUntil([&] { return pane->HasPicture(); }, "the row chosen again"));
        }
        pane->ClearItem();
    }
}

TEST_F(PreviewScan, Fat32DeletedTextShowsInTheTextAndHexPages) {
    Scan(kFsFat32);
    const auto note = Listed("fat32-basic.json", "note-01 server.txt");
    ASSERT_TRUE(note.intact);
    RefHolder<FileList_Item> row(Select(BaseName(note.path)));
    ASSERT_TRUE(row);
    bool ran = false;
    SetPreviewDialogRunner([&](QDialog& d) {
        auto* dlg = qobject_cast<CFilePreViewDlg*>(&d);
        ASSERT_NE(dlg, nullptr);
        ran = true;
        EXPECT_EQ(testutil::Sha256File(dlg->TempPath()), note.sha256);
        dlg->show();
        Settle();
        EXPECT_EQ(dlg->CurrentPage(), CFilePreViewDlg::Page::Text);
        EXPECT_EQ(dlg->Warning(), nullptr) << "no scan was running";
        EXPECT_GT(dlg->TextView()->LineCount(), 0u);
        EXPECT_FALSE(dlg->TextView()->toPlainText().trimmed().isEmpty());
        ASSERT_TRUE(dlg->grab().save(QString::fromStdString(ScreenshotPath("preview-found-text-en.png"))));
        dlg->SelectTab(1);
        Settle();
        EXPECT_EQ(dlg->HexView()->LineCount(), static_cast<u32>((note.size + 15) / 16));
        dlg->reject();
    });
    container->Right()->Details()->OnCommand(ID_FILESEL_PREVIEW);
    EXPECT_TRUE(ran);
    EXPECT_TRUE(sink.recovered.empty()) << "Close recovers nothing";
    EXPECT_EQ(LivePreviewTempCount(), 0u);
}

}  // namespace
