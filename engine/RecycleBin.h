#pragma once
// Recycle-bin folders and the names of recycled files. A recycled file sits in the bin under a
// generated name ("$R" + six characters + its extension) beside an information file of the same
// name beginning "$I", whose data holds the file's original full path (UTF-16) after a short
// header: version 1 keeps it in a fixed 260-character field at byte 24, version 2 gives its
// length at byte 24 and the text from byte 28.
#include <list>
#include <string>

#include "platform/Types.h"

class CFileNode;
class IStorageDevice;

// Bytes of an information file that are looked at for the original path.
constexpr u32 kRecycleInfoReadSize = 1024;

// The last component of the drive path ("X:\...") held in an information file's first bytes,
// converted to the system code page; empty when the data holds none. `moreData` tells that the
// file continues beyond `size`: a name that reaches the end of the data is then cut short and is
// not used.
std::string ExtractRecycledFileName(const u8* data, size_t size, bool moreData);

// Recycle bins. A recycle-bin folder is a folder named (ignoring case) "Recycler", "Recycled",
// "$Recycle.Bin" or "$RECYCLE.BI0".
bool IsRecycleBinFolder(CFileNode* node);
// The node or one of the ancestors it is already linked to is a recycle-bin folder.
bool IsInRecycleBin(CFileNode* node);
// A name of at least two characters beginning "$I" or "#I" (a deleted entry shows '#').
bool IsRecycleBinInfoFile(CFileNode* node);
// Pairs an entry just linked inside a recycle bin with its companion in `pending` (the same name
// with the second character 'I' for 'R' or back). Returns the companion, taken out of the list,
// or null after keeping the entry in the list for a later companion.
CFileNode* FindRecycleBinPair(std::list<CFileNode*>& pending, CFileNode* node);
// Gives dataFile the last component of the original path stored in infoFile's data.
void RestoreRecycledFileName(IStorageDevice* device, CFileNode* dataFile, CFileNode* infoFile);
