#pragma once
// The work behind the save-result and load-result commands: a worker thread that writes the
// session's result to a ".rsf" file or reads one back into the session, and the progress and
// cancel state the export/import window draws from (its position over its range, polled on a
// timer). The window itself lives in the application; without one (the scan driver, tests) the
// transfer runs on the caller's thread.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/SavedResult.h"
#include "platform/Types.h"
#include "platform/WindowPost.h"

class RecoveryGraph;

// Commands of the export/import window.
constexpr u32 CMD_DEVICE_LOST = 500;  // the scanned device went away: cancel
constexpr u32 CMD_EXPORT_DONE = 501;  // posted by both workers as their last step

// Where a transfer stopped early, as its log line numbers it.
enum class TransferStop : u32 {
    kNone = 0,
    kStreamNotCreated = 189,
    kExportFileNotOpened = 195,
    kNoSelectedVolume = 223,  // no volume chosen, or none whose disks can be named
    kTreeExportFailed = 251,
    kImportFileNotOpened = 301,
    kHeaderInvalid = 308,
    kVersionZero = 314,
    kFolderListMissing = 320,
    kNoMatchingVolume = 363,
    kTreeImportFailed = 376,
};

class ScanResultTransfer : public IDIRBuildCallback {
public:
    enum Direction : u32 { kImport = 0, kExport = 1 };

    // What the transfer reaches besides the session; the defaults are the session's own trees,
    // the process-wide volume enumeration and no folder filter.
    struct Hooks {
        // The trees an export writes (the browser's roots).
        std::function<std::vector<CFileSystemNode*>()> exportRoots;
        // What writes and reads the trees themselves (the browser's export and import of a saved
        // result); without them the trees are written from the roots above and read straight
        // from the stream.
        std::function<bool(IRSData*, IDIRBuildCallback*)> saveTrees;
        std::function<bool(IRSData*, IDIRBuildCallback*, std::vector<CFileSystemNode*>&)> loadTrees;
        // Each restored folder path, for the browser's folder filter.
        std::function<void(const std::string&)> addFolderFilter;
        // Blocks until the volume enumeration has finished, then gives its volumes followed by
        // its unpartitioned areas.
        std::function<std::vector<VolumeRecord*>()> liveVolumes;
    };

    ScanResultTransfer(u32 direction, std::string path);
    ~ScanResultTransfer() override;

    void SetHooks(Hooks hooks) { m_hooks = std::move(hooks); }
    // The window that receives WM_COMMAND CMD_EXPORT_DONE when the worker ends (may be null).
    void SetNotifyWindow(HWND window) { m_window = window; }

    // Starts the worker thread; false when it could not be made.
    bool Start();
    // Waits for the worker thread.
    void Join();
    // Runs the transfer on the calling thread; whether it succeeded.
    bool Run();
    // What the device-lost command does: cancel, and stop the counting walk of a restored tree.
    void Cancel();

    bool Succeeded() const { return m_success.load() > 0; }
    // The restored trees an import handed to the session and the view, also when it was
    // cancelled after some of them.
    u32 Delivered() const { return m_delivered.load(); }
    TransferStop StoppedAt() const { return m_stop; }
    // The stream's error code when an exception ended the transfer; -1 otherwise.
    i64 ErrorCode() const { return m_errorCode; }
    // Position x 100 / range, 0 while the range is not positive.
    i32 Percentage() const;
    i32 Position() const { return m_position.load(); }
    i32 Range() const { return m_range.load(); }

    // IDIRBuildCallback
    i32 Begin(const char* text, u32 range) override;
    i32 Step(u32 delta) override;
    i32 SetPos(i32 position) override;
    i32 Finish() override;
    i32 IsCancelled() override;

private:
    bool Export(RecoveryGraph& session);
    bool Import(RecoveryGraph& session);
    bool StopAt(TransferStop where);
    void ClampPosition();
    i32 CancelAnswer() const { return m_cancel.load() > 0 ? -1 : 0; }

    u32 m_direction;
    std::string m_path;
    Hooks m_hooks;
    HWND m_window = nullptr;
    std::atomic<i32> m_cancel{0};
    std::atomic<i32> m_success{0};
    std::atomic<i32> m_range{1};
    std::atomic<i32> m_position{0};
    std::atomic<u32> m_delivered{0};
    TransferStop m_stop = TransferStop::kNone;
    i64 m_errorCode = -1;
    std::thread m_thread;
};

// The image volumes that loads re-opened; they stay alive for the rest of the process, as the
// session's selected volume may be one of them.
std::vector<std::unique_ptr<ReopenedImageVolume>>& ReopenedImageVolumes();
