#pragma once
// The recovered-file writer: copies found files out of a scan result, one file to a given path
// (recovery of a single file, previews, thumbnails) or a checked folder tree into a new folder
// under a target folder. Data is read through each file's extents from the scanned device, which
// is only ever read; NTFS-compressed data is expanded, EFS-encrypted files are written as their
// raw encrypted-backup stream, and names, attributes and times are set.
#include <atomic>
#include <string>
#include <vector>

#include "platform/Types.h"

class CFileNode;
class IFileRecoverCallback;
class IStorageDevice;
struct RecoverReadContext;

// Results of a job.
constexpr u32 kRecoverOk = 0;
constexpr u32 kRecoverFailed = 1;
constexpr u32 kRecoverCancelled = 2;
// One file's result only: a file part of whose data could not be read (a failed read or a
// sector past the device's end is written as zeros; what no extent reaches is missing). It is
// kept for what it holds, but never counted as recovered.
constexpr u32 kRecoverIncomplete = 3;

// What a job did with the files it met.
struct RecoverCounts {
    u64 written = 0;     // every byte copied
    u64 incomplete = 0;  // kept, with data missing (kRecoverIncomplete)
    u64 failed = 0;      // nothing left behind
    u64 noSpace = 0;     // of the failed: larger than the target's free space
    u64 bytes = 0;       // sizes of the written files
};

// While a background copy runs, the waiting thread calls this every 10 ms so that its windows
// stay alive. The UI installs its message dispatch here; without one the caller just waits.
using RecoverMessagePump = void (*)();
void SetRecoverMessagePump(RecoverMessagePump pump);

// The files copies write into before they take their place, named
// "<kTemporaryCopyPrefix><pid>-<random>.part" beside where they go. Each is known from its making
// until it has taken its place or gone, so that a copy abandoned inside a read that never returns
// leaves nothing behind: what is left is removed when the process ends, and what a process that
// crashed left is found by the pid in its name at the next start.
constexpr const char* kTemporaryCopyPrefix = ".morvenda-";
// Removes every temporary file of a copy still going on (runs at exit by itself); how many.
size_t RemoveUnfinishedCopies();
// The temporary files of copies going on.
size_t UnfinishedCopyCount();
// Removes the regular files in folder named "<prefix><pid>-..." for one of the prefixes whose
// process no longer runs (never this process's, nor a running one's); how many.
size_t RemoveFilesOfEndedProcesses(const std::string& folder, const std::vector<std::string>& prefixes);

class CFileRecoverer {
public:
    CFileRecoverer() = default;
    CFileRecoverer(const CFileRecoverer&) = delete;
    CFileRecoverer& operator=(const CFileRecoverer&) = delete;

    // Writes the node's file to targetPath (the caller's own path: an existing file there is
    // replaced once the copy is kept, and left as it was when the file fails or is cancelled). With background set the copy
    // runs on a worker thread while this thread pumps messages every 10 ms. True when the file
    // was written whole (result 0); an incomplete one gives false and result 3.
    bool RecoverFile(IFileRecoverCallback* callback, IStorageDevice* device, CFileNode* node, const char* targetPath,
                     bool background);
    // Makes a new folder named after the node under targetFolder (made unique, never an existing
    // one) and writes the checked files below the node into it. A folder is made once a file in
    // it or below it stays, so files that cannot be read leave none behind; a checked folder
    // holding no files is made all the same. outPath, when given, receives the folder made (empty
    // when none was). Runs on the caller's thread; answers 0, 1 or 2 (0 also when files failed:
    // GetCounts tells).
    u32 RecoverFolder(IFileRecoverCallback* callback, IStorageDevice* device, CFileNode* folder,
                      const char* targetFolder, char* outPath, u32 outSize);
    // The same into a target folder the caller has opened (and refused as a link), so that
    // every tree of a run lands in that one folder whatever happens to its name meanwhile;
    // targetPath names it for the log and outPath.
    u32 RecoverFolderAt(IFileRecoverCallback* callback, IStorageDevice* device, CFileNode* folder, int targetFolder,
                        const char* targetPath, char* outPath, u32 outSize);
    u32 GetResult() const { return m_result; }
    const RecoverCounts& GetCounts() const { return m_counts; }

private:
    bool RecoverFileLocked();
    u32 RecoverToPath(RecoverReadContext& context, const std::string& targetPath);

    u32 m_result = kRecoverOk;
    std::atomic<u32> m_done{0};
    u32 m_workerResult = 0;
    IFileRecoverCallback* m_callback = nullptr;
    IStorageDevice* m_device = nullptr;
    CFileNode* m_fileNode = nullptr;
    const char* m_targetPath = nullptr;
    CFileNode* m_folderNode = nullptr;
    const char* m_targetFolder = nullptr;
    char* m_outPath = nullptr;
    u32 m_outSize = 0;
    RecoverCounts m_counts;
};
