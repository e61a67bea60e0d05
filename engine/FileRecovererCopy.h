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
};

// Writes the node's file to path (opened anew); 0 done, 1 failed, 2 cancelled.
u32 RecoverOneFile(RecoverReadContext& context, CFileNode* node, const std::string& path);

// Copies length bytes of the extents to the file in 64 KiB steps; sparse extents and sectors
// the device cannot read become zeros. 0, 1 (write failed) or 2 (cancelled).
u32 CopyRuns(RecoverReadContext& context, CWin32File& target, IDataRunList& runs, u64 length);
// Copies size bytes of an NTFS-compressed file (16-cluster compression units). 1 also for a
// damaged compressed unit or a cancel while the units are formed.
u32 CopyCompressedRuns(RecoverReadContext& context, CWin32File& target, IDataRunList& runs, u64 size);

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
// path, through a temporary stream file beside it. 0, 1 or 2 (cancelled).
u32 RestoreEfsFile(RecoverReadContext& context, const std::string& path, u64 size);

// Creates path as a new file; 0 or the errno (EEXIST when something is already there).
int CreateNewFile(const std::string& path);
