#pragma once
// The user's folders that the place page offers besides volumes. A Linux desktop has no shell
// libraries; the XDG user folders (documents, music, pictures, videos) stand in for them, each
// one a library of one folder.
#include <map>
#include <string>

enum class KnownFolder { kDesktop, kDocuments, kMusic, kPictures, kVideos };

// The folder's path, empty when the system names none or it does not exist.
std::string KnownFolderPath(KnownFolder folder);

// Adds every existing library folder to the map, counting a folder once per library it is in
// (unset XDG folders often all fall back to the home folder). 0 on success, -1 when no home
// folder is known, -3 when no library folder exists.
int ResolveKnownFolder(std::map<std::string, int>& out);
// One library by its name ("Documents", "Music", "Pictures", "Videos"): 0 when added, -1 for a
// name that is no library or a folder that does not exist.
int AddLibraryFolders(const std::string& libraryName, std::map<std::string, int>& out);
