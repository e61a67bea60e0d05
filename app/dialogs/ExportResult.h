#pragma once
// Tells what a recovery did: completed, stopped by the user (with the files written before the
// stop) or failed, how many files could not be recovered whole, the folder as a link; a
// completed recovery opens the folder at once. After it, the warm tip
// follows when the settings ask for it.
#include <string>

#include "app/ui/HomeBaseDialog.h"
#include "engine/FileRecoverer.h"

class ExportResult : public HomeBaseDialog {
public:
    enum ItemId { kItemPathLabel = 300, kItemPathLink = 301, kItemPicture = 305, kItemDone = 502 };
    static constexpr int kFailurePicture = 293;

    explicit ExportResult(HWND owner);

    std::string targetPath;
    bool success = true;
    // Not completed because the user stopped it: the title says so, with the files written.
    bool stopped = false;
    u64 fileCount = 0;
    RecoverCounts counts;

    bool OnCommand(WPARAM wParam, LPARAM lParam) override;
    // The lines under the title: the files written before a stop, the files not recovered whole.
    std::string DetailText() const;
    int DrawBackground(ui::Dc* dc) override;
    int DrawContent(ui::Dc* dc) override;

protected:
    bool OnInitDialog() override;

private:
    bool showPath_ = true;
};

// Completed when the writer ended without failing and wrote what was checked; cancelled and
// failed runs, and runs where files failed or came out incomplete, are not.
bool ExportSucceeded(u32 writerResult, const RecoverCounts& counts);

enum class RecoveryOutcome { kCompleted, kStopped, kFailed };
// What the result window tells of a run of fileCount files. A stop asked for once every one of
// them had its turn (the question still open when the writer finished) stopped nothing: the run
// is judged by its counts alone. Any other stop is the user's, whatever was written before it.
RecoveryOutcome JudgeRecovery(u32 writerResult, const RecoverCounts& counts, u64 fileCount);

// Opens a folder in the desktop's file manager (an argument list, never a shell line); tests
// put their own opener here. Answers whether the opener started.
using FolderOpener = bool (*)(const std::string& folder);
void SetFolderOpener(FolderOpener opener);
bool OpenFolder(const std::string& folder);
