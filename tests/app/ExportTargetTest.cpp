// Where recovered files may go: each refusal of the destination check, and that checking never
// leaves anything behind in the folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <sys/mount.h>

#include <filesystem>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <set>

#include "TestUtil.h"
#include "app/dialogs/ExportProgress.h"
#include "app/dialogs/ExportResult.h"
#include "app/dialogs/ExportTarget.h"
#include "app/dialogs/SelExportPathDlg.h"
#include "devices/FileSystemCode.h"
#include "ImageDevice.h"
#include "devices/VolumeRecord.h"
#include "engine/DataRunList.h"
#include "engine/FileSystemNode.h"
#include "engine/RecoveryGraph.h"
#include "fs/ntfs/NTFSFileProperties.h"

namespace {

namespace fs = std::filesystem;

const char* const kScannedImage = "/images/scanned.img";

bool OnScannedImage(const std::string& folder, const std::string& disk) {
    return disk == kScannedImage && folder.find("/on-source") != std::string::npos;
}

struct TargetCase {
    const char* name;
    const char* folder;  // relative to a fresh temporary folder; absolute when it starts with '/'
    u64 checkedBytes;
    std::optional<u64> freeBytes;  // none: could not be read
    ExportTargetCheck expected;
    bool probeFirst = false;
};

TEST(ExportTarget, RefusesEachUnfitFolderWithItsOwnMessageAndLeavesNothingBehind) {
    const TargetCase cases[] = {
        {"fits", "out", 1000, 5000, ExportTargetCheck::kOk},
        // A folder whose room cannot be read is not one to fill; a full one takes nothing, not
        // even the folders of the files.
        {"free space unknown", "out", 1000, std::nullopt, ExportTargetCheck::kNoSpace},
        {"full", "out", 1000, 0, ExportTargetCheck::kNoSpace},
        {"full, only empty files checked", "out", 0, 0, ExportTargetCheck::kNoSpace},
        {"one byte below the free space", "out", 4999, 5000, ExportTargetCheck::kOk},
        // The writer refuses a file that would take the last free byte: so does the check,
        // before anything is written.
        {"exactly the free space", "out", 5000, 5000, ExportTargetCheck::kNoSpace},
        {"too little room", "out", 5001, 5000, ExportTargetCheck::kNoSpace},
        {"missing folder", "out/not-there", 1, 5000, ExportTargetCheck::kInvalid},
        {"a file, not a folder", "out/file.txt", 1, 5000, ExportTargetCheck::kInvalid},
        {"too short", "/", 1, 5000, ExportTargetCheck::kInvalid},
        {"no file can be made", "/proc/self", 1, 5000, ExportTargetCheck::kInvalid},
        // Room is judged before the probe: a full folder is refused as full, whatever a new file
        // there would meet.
        {"no file can be made, full as well", "/proc/self", 1, 0, ExportTargetCheck::kNoSpace},
        {"on the scanned disk", "on-source", 1, 5000, ExportTargetCheck::kOnScannedDisk},
        {"on the scanned disk, full as well", "on-source", 9000, 5000, ExportTargetCheck::kOnScannedDisk},
        // The destination dialog asks whether a file can be made there before whether there is
        // room: a medium that takes no file (read-only, which reports no room) is unusable.
        {"no file can be made, full as well, in the dialog's order", "/proc/self", 1, 0, ExportTargetCheck::kInvalid, true},
        {"full, in the dialog's order", "out", 1000, 0, ExportTargetCheck::kNoSpace, true},
    };
    for (const TargetCase& c : cases) {
        SCOPED_TRACE(c.name);
        testutil::TempDir dir;
        fs::create_directories(dir.File("out"));
        fs::create_directories(dir.File("on-source"));
        ASSERT_TRUE(testutil::WriteFileBytes(dir.File("out/file.txt"), {'x'}));
        ExportTargetQuery query;
        query.folder = c.folder[0] == '/' ? std::string(c.folder) : dir.File(c.folder);
        query.scannedDisks = {"", kScannedImage};
        query.checkedBytes = c.checkedBytes;
        query.freeBytes = c.freeBytes;
        query.onDisk = OnScannedImage;
        query.probeFirst = c.probeFirst;
        EXPECT_EQ(CheckExportTarget(query), c.expected);
        EXPECT_EQ(std::string(ExportTargetMessageKey(c.expected)).empty(), c.expected == ExportTargetCheck::kOk);
        // The probe file is gone again and the user's file is untouched.
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator(dir.File("out"))) left.push_back(e.path().filename().string());
        EXPECT_EQ(left, std::vector<std::string>{"file.txt"});
        EXPECT_EQ(testutil::ReadFileBytes(dir.File("out/file.txt")), std::vector<u8>{'x'});
    }
}

TEST(ExportTarget, TheRealFreeSpaceOfAFolderIsReadAndAFolderOffTheDiskIsAllowed) {
    testutil::TempDir dir;
    ASSERT_TRUE(FolderFreeBytes(dir.Path()).has_value());
    EXPECT_GT(*FolderFreeBytes(dir.Path()), 0u);
    // Nothing to measure, and a file system that holds nothing (as /proc does): no free space
    // to go by.
    EXPECT_FALSE(FolderFreeBytes(dir.File("missing")).has_value());
    EXPECT_FALSE(FolderFreeBytes("/proc").has_value());
    ExportTargetQuery query;
    query.folder = dir.Path();
    // An image that lies in the folder is only read: the folder's file system may take files.
    ASSERT_TRUE(testutil::WriteFileBytes(dir.File("disk.img"), std::vector<u8>(4096, 0)));
    query.scannedDisks = {dir.File("disk.img")};
    query.freeBytes = FolderFreeBytes(dir.Path());
    EXPECT_EQ(CheckExportTarget(query), ExportTargetCheck::kOk);
}

// The destination dialog's own check counts what the recovery will write: a file found by its
// signature 1 MiB before the end of a 9 MiB disk, whose bytes state 0x90000000, fits a folder
// with 64 MiB free.
TEST(ExportTarget, TheDestinationDialogCountsWhatTheRecoveryWrites) {
    constexpr u64 kMiB = 1 << 20, kSector = 512;
    testutil::TempDir dir;
    if (::mount("tmpfs", dir.Path().c_str(), "tmpfs", 0, "size=64m") != 0) GTEST_SKIP() << "a tmpfs needs root";
    // Let go on every way out of the test, so that no mount outlives it.
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{dir.Path()};
    testutil::MemoryDevice device(kSector, 9 * kMiB / kSector);
    auto volume = std::make_shared<VolumeRecord>();
    volume->device = &device;
    CFileSystemNode* root = CreateFileSystemNode().release();
    root->SetFileSystemType(kFsNtfs);
    root->SetPartitionGeometry(0, 1);
    root->SetFileProperties(CreateNTFSFolderProperties("found"));
    NTFSFilePropertiesData data;
    data.name = "found.zip";
    data.size = 0x90000000;
    auto* properties = CreateNTFSFileProperties().release();
    properties->SetData(data);
    CNoneResidentNTFSDataRunList runs;
    runs.AddExtent({i64(8 * kMiB / kSector), kMiB / kSector});
    properties->SetRunList(&runs);
    CFileNode* file = CreateFileNode().release();
    file->SetFileProperties(properties);
    root->AddChild(file);
    CountSubtree(root, nullptr, true, kChecked);
    RecoveryGraph::Instance().SelectVolume(0, volume);
    RecoveryGraph::Instance().AddFileSystemTree(root);
    static int argc = 1;
    static char name[] = "test_app", *argv[] = {name, nullptr};
    if (!qApp) new QApplication(argc, argv);
    SelExportPathDlg folder(nullptr);
    folder.SetQuiet(true);
    folder.SetPath(dir.Path());
    EXPECT_EQ(folder.Validate(), ExportTargetCheck::kOk);
    EXPECT_EQ(SessionCheckedBytes(), kMiB);
    EXPECT_EQ(SessionFileBytes(file), kMiB);
    RecoveryGraph::Instance().RemoveFileSystemTree(root);
    RecoveryGraph::Instance().SelectVolume(-1, nullptr);
    root->RemoveChild(file);
    DeleteFileNode(file);
    DeleteFileSystemNode(root);
}

// After the first file the folder the recovery made is moved away and a link to another folder
// put in its name.
std::string g_chosen, g_linkTo;
void SwapMadeFolderForLink(ExportProgress*, u64 filesDone) {
    if (filesDone != 1) return;
    std::string made;
    for (const auto& e : fs::directory_iterator(g_chosen)) made = e.path().string();
    if (made.empty() || ::rename(made.c_str(), (g_chosen + "/moved").c_str()) != 0 ||
        ::symlink(g_linkTo.c_str(), made.c_str()) != 0) {
        ADD_FAILURE() << "the made folder could not be swapped: " << std::strerror(errno);
    }
}

// A tree of one checked file of 100 bytes at sector `sector` of the session's disk.
CFileSystemNode* OneFileTree(const char* folder, const char* file, i64 sector) {
    CFileSystemNode* root = CreateFileSystemNode().release();
    root->SetFileSystemType(kFsNtfs);
    root->SetPartitionGeometry(0, 1);
    root->SetFileProperties(CreateNTFSFolderProperties(folder));
    NTFSFilePropertiesData data;
    data.name = file;
    data.size = 100;
    auto* properties = CreateNTFSFileProperties().release();
    properties->SetData(data);
    CNoneResidentNTFSDataRunList runs;
    runs.AddExtent({sector, 1});
    properties->SetRunList(&runs);
    CFileNode* node = CreateFileNode().release();
    node->SetFileProperties(properties);
    root->AddChild(node);
    CountSubtree(root, nullptr, true, kChecked);
    return root;
}

// The recovery window makes its folder once and writes every tree through it: a link put in its
// name between two trees sends nothing elsewhere.
TEST(ExportProgress, EveryTreeGoesIntoTheFolderItMadeWhateverTakesItsName) {
    testutil::MemoryDevice device(512, 64);
    auto volume = std::make_shared<VolumeRecord>();
    volume->device = &device;
    CFileSystemNode* trees[] = {OneFileTree("first", "a.txt", 10), OneFileTree("second", "b.txt", 20)};
    RecoveryGraph& session = RecoveryGraph::Instance();
    session.SelectVolume(0, volume);
    for (CFileSystemNode* root : trees) session.AddFileSystemTree(root);
    static int argc = 1;
    static char name[] = "test_app", *argv[] = {name, nullptr};
    if (!qApp) new QApplication(argc, argv);

    testutil::TempDir dir;
    g_chosen = dir.File("chosen");
    g_linkTo = dir.File("elsewhere");
    fs::create_directories(g_chosen);
    fs::create_directories(g_linkTo);
    ExportProgress::SetFileDoneHook(SwapMadeFolderForLink);
    ExportProgress progress(nullptr);
    progress.targetPath = g_chosen;
    progress.DoModal();
    ExportProgress::SetFileDoneHook(nullptr);
    EXPECT_EQ(progress.Result(), kRecoverOk);
    EXPECT_EQ(progress.Counts().written, 2u);
    EXPECT_TRUE(fs::is_empty(g_linkTo)) << "a tree went through the link";
    std::set<std::string> made;
    for (const auto& e : fs::directory_iterator(g_chosen + "/moved")) made.insert(e.path().filename().string());
    EXPECT_EQ(made, (std::set<std::string>{"first", "second"}));

    for (CFileSystemNode* root : trees) {
        session.RemoveFileSystemTree(root);
        CFileNode* node = root->GetFirstChild();
        root->RemoveChild(node);
        DeleteFileNode(node);
        DeleteFileSystemNode(root);
    }
    session.SelectVolume(-1, nullptr);
}

TEST(ExportResult, SuccessComesFromTheWriterNotFromHowManyFilesWereWritten) {
    struct Case {
        u32 result;
        u64 written, incomplete, failed;
        bool success;
    } cases[] = {
        {kRecoverOk, 1, 0, 0, true},   {kRecoverOk, 0, 0, 0, true},       {kRecoverOk, 9, 0, 1, false},
        {kRecoverOk, 9, 1, 0, false},  {kRecoverFailed, 1, 0, 0, false},  {kRecoverCancelled, 5, 0, 0, false},
        {kRecoverFailed, 0, 0, 1, false},
    };
    for (const Case& c : cases) {
        RecoverCounts counts;
        counts.written = c.written;
        counts.incomplete = c.incomplete;
        counts.failed = c.failed;
        EXPECT_EQ(ExportSucceeded(c.result, counts), c.success)
            << "result " << c.result << " written " << c.written << " incomplete " << c.incomplete << " failed " << c.failed;
    }
}

// What the result window tells: a stop by the user is told as one, whatever it left written; a
// stop asked for once every file was written whole stopped nothing.
TEST(ExportResult, AStopIsToldAsTheUsersUnlessEveryFileWasWrittenBeforeIt) {
    using Outcome = RecoveryOutcome;
    const struct { const char* name; u32 result; u64 written, incomplete, failed, fileCount; Outcome expected; } cases[] = {
        {"all written", kRecoverOk, 12, 0, 0, 12, Outcome::kCompleted},
        {"one failed", kRecoverOk, 11, 0, 1, 12, Outcome::kFailed},
        {"the writer failed", kRecoverFailed, 3, 0, 0, 12, Outcome::kFailed},
        {"stopped half way", kRecoverCancelled, 6, 0, 0, 12, Outcome::kStopped},
        {"stopped before the first file", kRecoverCancelled, 0, 0, 0, 0, Outcome::kStopped},
        {"stopped half way, one file incomplete", kRecoverCancelled, 5, 1, 0, 12, Outcome::kStopped},
        {"stopped after the last file", kRecoverCancelled, 12, 0, 0, 12, Outcome::kCompleted},
        // Every file had its turn before the stop: the outcome is the run's own.
        {"stopped after the last file, one incomplete", kRecoverCancelled, 11, 1, 0, 12, Outcome::kFailed},
        {"none of the files written", kRecoverOk, 0, 0, 0, 68, Outcome::kFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecoverCounts counts;
        counts.written = c.written;
        counts.incomplete = c.incomplete;
        counts.failed = c.failed;
        EXPECT_EQ(JudgeRecovery(c.result, counts, c.fileCount), c.expected);
    }
}

TEST(ExportProgress, TheNewFolderIsNamedByMonthDayYearAndTime) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    EXPECT_EQ(ExportProgress::RecoveredFolderName(t), "Recovered data 12-07-2026 at 09_05_03");
}

}  // namespace
