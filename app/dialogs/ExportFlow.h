#pragma once
// The recovery of the checked files from the result page: destination folder, progress, result.
#include "platform/ui/WinDefs.h"

// IDOK after a recovery ran (whatever its outcome), IDCANCEL when the user left the folder
// choice.
int RunExportDialogs(HWND owner);
