#pragma once
// The temporary copies the previews make: each made under a name of its own in the user's cache
// folder, removed when its preview is done, and whatever is left (a copy an outside viewer still
// reads) removed when the program ends. Each name holds the process's id, so that what a crash
// left is known at the next start.
#include <cstddef>
#include <string>

class CFileNode;
class IFileRecoverCallback;
class IStorageDevice;

namespace FileSelCtrl {

// The thumbnails' copies are named "<kThumbnailTempPrefix><pid>-<n>.tmp" in the same folder.
constexpr const char* kThumbnailTempPrefix = "thumb-";

// A new file of that ending that did not exist before; empty when none could be made.
std::string NewPreviewTempName(const std::string& ending = ".tmp");
// Removes the copy now.
void RemovePreviewTemp(const std::string& path);
// Removes every copy still there (at exit).
void RemoveAllPreviewTemps();
// Removes the copies, thumbnails and unfinished copies that processes no longer running left in
// the cache folder (a crash's); how many.
size_t RemovePreviewTempsLeftBehind();
// How many copies are registered and not yet removed.
size_t LivePreviewTempCount();

// Copies a found file to `path` (a name NewPreviewTempName made) as its recovery keeps it: true
// when the copy holds the file, whole or with what could not be read as zeros; false when nothing
// of it could be read or the copy failed. With background set the calling thread pumps messages
// while a worker copies.
bool CopyForPreview(IFileRecoverCallback* callback, IStorageDevice* device, CFileNode* node, const std::string& path,
                    bool background);

}  // namespace FileSelCtrl
