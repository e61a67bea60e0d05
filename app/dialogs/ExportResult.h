#pragma once
// Tells what a recovery did: completed or failed, how many files could not be recovered whole,
// the folder as a link; a completed recovery opens the folder at once. After it, the warm tip
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
    u64 fileCount = 0;
    RecoverCounts counts;

    bool OnCommand(WPARAM wParam, LPARAM lParam) override;
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

// Opens a folder in the desktop's file manager (an argument list, never a shell line); tests
// put their own opener here. Answers whether the opener started.
using FolderOpener = bool (*)(const std::string& folder);
void SetFolderOpener(FolderOpener opener);
bool OpenFolder(const std::string& folder);
