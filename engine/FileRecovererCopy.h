#pragma once
// The writer's copy of one found file into one target path: the data through the file's
// extents (plain, NTFS-compressed, resident, sparse), the EFS raw-backup stream of encrypted
// files, then attributes and times. Used by CFileRecoverer; apart for the tests' sake.
#include <string>

#include "platform/Types.h"

class CFileNode;
class IDataRunList;
class IFileRecoverCallback;
class IStorageDevice;
class CWin32File;

struct RecoverReadContext {
    IFileRecoverCallback* callback = nullptr;
    IStorageDevice* device = nullptr;
    u64 partitionStart = 0;
    u32 sectorsPerCluster = 1;

    // What the copy of the current file met; RecoverOneFile clears them for every file.
    u64 readBytes = 0;    // bytes the device gave, or zeros that the file's own layout holds
    u64 unreadBytes = 0;  // bytes the device could not give (a failed read, a sector past its
                          // end) or that no extent covers
    bool noSpace = false;  // the file was refused as larger than the target's free space
    bool complete = false; // every byte was written, even when a cancel came afterwards
};

// Where a recovered file goes: `name` in the open folder `folder`. Every step reaches the file
// through the folder, so a file whose full path is longer than the system takes is written (and
// removed again) all the same. `path` is the full path, for the log only.
struct RecoverTarget {
    int folder = -1;
    std::string name;
    std::string path;
    // A path of the caller's own, taken from the working folder.
    static RecoverTarget AtPath(const std::string& path);
};

// Writes the node's file to the target (opened anew): 0 done, 1 failed, 2 cancelled, 3
// incomplete. A failed or cancelled file leaves nothing there; an incomplete one stays, with
// zeros where the data could not be read.
u32 RecoverOneFile(RecoverReadContext& context, CFileNode* node, const RecoverTarget& target);

// Copies length bytes of the extents to the file in 64 KiB steps; bytes at or past
// validLength are zeros without a read. Sparse extents and sectors the device cannot read
// become zeros; the latter, and a length the extents do not reach, count as unread. 0, 1
// (write failed) or 2 (cancelled).
u32 CopyRuns(RecoverReadContext& context, CWin32File& target, IDataRunList& runs, u64 length, u64 validLength);
// Copies size bytes of an NTFS-compressed file (16-cluster compression units), zeros from
// validLength on. 1 also for a damaged compressed unit; 2 for a cancel while the units are
// formed.
u32 CopyCompressedRuns(RecoverReadContext& context, CWin32File& target, IDataRunList& runs, u64 size,
                       u64 validLength);

// The EFS raw-backup stream: the 66-byte file header (E = metadata bytes that follow it), the
// 42-byte data stream header and the 512-byte header of data block `number`.
constexpr u32 kEfsFileHeaderSize = 66;
constexpr u32 kEfsStreamHeaderSize = 42;
constexpr u32 kEfsBlockHeaderSize = 512;
constexpr u32 kEfsBlockDataSize = 65536;
void BuildEfsFileHeader(u8* out, u32 metadataBytes);
void BuildEfsStreamHeader(u8* out);
void BuildEfsBlockHeader(u8* out, u32 dataBytes, u16 number, u32 fileBytes);
// Turns the written file (file header, metadata, then the data) into the raw-backup stream at
// the target: the stream is built under a temporary name beside it and takes the target's place
// only when it is whole. On failure or cancel the written file is left as it was. 0, 1 or 2
// (cancelled).
u32 RestoreEfsFile(RecoverReadContext& context, const RecoverTarget& target, u64 size);

// Creates `name` in the open folder `folder` as a new file; 0 or the errno (EEXIST when something
// is already there, a symbolic link included: nothing is ever created through one).
int CreateNewFileAt(int folder, const std::string& name);
