#pragma once
// The writer's copy of one found file into one target path: the data through the file's
// extents (plain, NTFS-compressed, resident, sparse), the EFS raw-backup stream of encrypted
// files, then attributes and times. Used by CFileRecoverer; apart for the tests' sake.
#include <mutex>
#include <string>

#include "platform/Types.h"

class CFileNode;
class IDataRunList;
class IFileRecoverCallback;
class IRecoveryController;
class IStorageDevice;
class CWin32File;

struct RecoverReadContext {
    IFileRecoverCallback* callback = nullptr;
    IStorageDevice* device = nullptr;
    u64 partitionStart = 0;
    u32 sectorsPerCluster = 1;

    // What the copy of the current file met; RecoverOneFile clears them for every file.
    u64 readBytes = 0;    // bytes the device gave, or zeros that the file's own layout holds
    u64 unreadBytes = 0;  // bytes the device could not give (a sector it failed to read or
                          // reports unread, one past its end), of an extent not on the volume or
                          // of a damaged compression unit, or that no extent covers
    bool noSpace = false;  // the file was refused as larger than the target's free space
    bool complete = false; // every byte was written, even when a cancel came afterwards
};

// One open file or folder descriptor, closed when it goes.
class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : m_fd(fd) {}
    OwnedFd(OwnedFd&& other) noexcept : m_fd(other.Release()) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() { Reset(); }
    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1);

private:
    int m_fd = -1;
};

// Where a recovered file goes: `name` in the open folder `folder`, already created as a new file
// and open as `file`. Everything the writer does to the file goes through that handle, so neither
// a long path nor a link put in the name's place meanwhile can send the data elsewhere. `path` is
// the full path, for the log only.
// A recovered file is made as any new file of the user's: readable as the umask allows.
constexpr u32 kNewFileMode = 0666;
// A copy that is to take the place of an existing file stays the user's alone until it does.
constexpr u32 kPrivateFileMode = 0600;

struct RecoverTarget {
    int folder = -1;
    std::string name;
    std::string path;
    OwnedFd file;
    // Creates `name` anew in the open folder (never over anything that stands there, never
    // through a link), with `mode` less the umask; 0 or the errno.
    int Create(int inFolder, const std::string& newName, const std::string& fullPath, u32 mode = kNewFileMode);
    // A path of the caller's own, taken from the working folder, with nothing open yet.
    static RecoverTarget AtPath(const std::string& path);
    // Removes the name, but only while it still names the file this target created; false when
    // it stays.
    bool Remove() const;
};

// The bytes a recovery writes of the node's file: what its extents reach for a file copied by
// them (a found file cut at the device's end states more than it has), its size otherwise, an
// encrypted one's whole sectors. 0 for what the writer refuses outright (a folder, no geometry).
u64 RecoveryBytes(CFileNode* node, IStorageDevice* device);
// The same summed over the checked files below folder (the files a folder recovery writes), all
// ones when the sum passes 2^64.
u64 CheckedRecoveryBytes(CFileNode* folder, IStorageDevice* device);

// Writes the node's file through the target's open file: 0 done, 1 failed, 2 cancelled, 3
// incomplete. A failed or cancelled file leaves nothing there; an incomplete one stays, with
// zeros where the data could not be read. An encrypted file's stream takes the target's place,
// and the target's file becomes the stream's.
u32 RecoverOneFile(RecoverReadContext& context, CFileNode* node, RecoverTarget& target);

// Copies length bytes of the extents to the file in 64 KiB steps; bytes at or past
// validLength are zeros without a read. Sparse extents, extents that are not on the volume and
// sectors the device cannot give become zeros; all but the first, and a length the extents do
// not reach, count as unread, sector by sector, and every sector the device gives is kept. 0, 1
// (write failed) or 2 (cancelled).
u32 CopyRuns(RecoverReadContext& context, CWin32File& target, IDataRunList& runs, u64 length, u64 validLength);
// Copies size bytes of an NTFS-compressed file (16-cluster compression units), zeros from
// validLength on, with the extents handled as CopyRuns does. A damaged compressed unit is zeros
// for its whole length and counts as unread; of a unit whose chunks have a hole, the chunks
// before the hole are kept. 2 for a cancel while the units are formed.
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
// only when it is whole; the target's file is then the stream's. On failure or cancel the
// written file is left as it was. 0, 1 or 2 (cancelled).
u32 RestoreEfsFile(RecoverReadContext& context, RecoverTarget& target, u64 size);

// Creates `name` in the open folder `folder` as a new file and answers its handle (invalid with
// error set to the errno: EEXIST when something is already there, a symbolic link included, so
// nothing is ever created through one).
OwnedFd CreateNewFileAt(int folder, const std::string& name, int& error, u32 mode = kNewFileMode);
// Makes the folder `name` in the folder at parentPath (one there already is taken only when
// mayExist) and opens it, never through a link: a recovery writes every tree through this one
// handle, so nothing put in the name's place meanwhile receives a file. Invalid with error set to
// the errno (ELOOP or ENOTDIR for a link or a file in its place).
OwnedFd MakeRecoveryFolder(const std::string& parentPath, const std::string& name, bool mayExist, int& error);
// Whether `name` in the open folder `folder` still names what `fd` has open (never through a
// link): what the writer made there is told apart from anything put in its place.
bool NamesOpenFile(int folder, const std::string& name, int fd);
// Removes the folder `name` of the open folder `parent` when it is still the folder open as
// `folder` and holds nothing: a folder made for files of which none stayed. False when it stays.
bool RemoveFolderIfEmpty(int parent, const std::string& name, int folder);
// The same for a folder MakeRecoveryFolder made in the folder at parentPath.
bool RemoveRecoveryFolderIfEmpty(const std::string& parentPath, const std::string& name, int folder);
// Held while a found file is placed and while its extents are read out of its properties: a
// paused complete scan that places a file may give it new extents (those of the partition it
// places it in), which two threads must not do to one file while another reads them.
std::mutex& FilePlacementLock();
// Where the scan places the node's clusters: the controller's answer when it knows the node,
// else the geometry of the node's tree. False when neither places it. Call under the placement
// lock.
bool FoundFileSource(IRecoveryController* controller, CFileNode* node, u64& startSector, u32& sectorsPerCluster);
// The scanned device, or its 512-byte-sector view for the EXT file systems, whose structures are
// addressed in 512-byte units.
IStorageDevice* RecoverySourceDevice(IStorageDevice* device, CFileNode* node);
