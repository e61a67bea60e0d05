#pragma once
// The recovery of found files from the result page: the checked files into a folder, or one
// file under a name the user chooses; then the progress and the result.
#include <string>

#include "engine/HeldFile.h"
#include "platform/ui/WinDefs.h"


// What the result page lends a recovery's dialogs: the slot where it keeps the handle of the one
// open now (told CMD_DEVICE_LOST when the scanned device goes away), and whether the browser's
// list stops loading rows and pictures while the files are written.
struct ExportFlowHost {
    HWND* openDialog = nullptr;
    bool pauseListLoading = false;
};

// IDOK after a recovery ran (whatever its outcome), IDCANCEL when the user left the folder
// choice.
int RunExportDialogs(HWND owner, const ExportFlowHost& host = {});

// One file: the system's save dialog proposes the file's own name, the chosen folder is checked
// as a recovery folder is, then the file is written there. IDOK after the file was written
// (whatever its outcome), IDCANCEL when the user left the name choice, -4 when the folder was
// refused.
int RunSingleFileExport(HWND owner, const HeldFile& file, const ExportFlowHost& host = {});

// What the user answered to the program's question whether a file that exists may be replaced.
enum class ReplaceAnswer { kNothingThere, kReplace, kKeep, kDeviceLost };

// Asks whether the file at `path` (the path that will be written, its ending added) may be
// replaced; kNothingThere without a question when nothing stands there. The program asks itself,
// never a file dialog: a native one asks, if at all, before the ending is added, about another
// name. The question stands in the page's dialog slot, so a lost device closes it (kDeviceLost)
// as it closes every dialog of a save.
ReplaceAnswer AskReplace(HWND owner, HWND* openDialog, const std::string& path);

// The path to write a file to as the user chose it: a chosen name without an ending of its own
// (no dot, or only a leading one) gets the file's own ending.
std::string WithOwnEnding(const std::string& chosen, const std::string& fileName);
