#pragma once
// The temporary copies the previews make: each made under a name of its own in the user's cache
// folder, removed when its preview is done, and whatever is left (a copy an outside viewer still
// reads) removed when the program ends.
#include <string>

namespace FileSelCtrl {

// A new file of that ending that did not exist before; empty when none could be made.
std::string NewPreviewTempName(const std::string& ending = ".tmp");
// Removes the copy now.
void RemovePreviewTemp(const std::string& path);
// Removes every copy still there (at exit).
void RemoveAllPreviewTemps();
// How many copies are registered and not yet removed.
size_t LivePreviewTempCount();

}  // namespace FileSelCtrl
