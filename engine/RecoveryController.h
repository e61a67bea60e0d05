#pragma once
// One scan mode (the deleted-file scan or the complete scan) as the scan session drives it, and
// the controller whose trees are on screen, which the writer and the preview ask where a found
// file's partition lies.
#include "platform/Types.h"

class CFileNode;
class IDirectoryTree;
class IProgress;
class IRecoveryFilter;
class IStorageDevice;

// Scan error codes: the high 16 bits name the place, the low bits the cause (1 or 2 refused,
// 4 could not be made, 5 argument missing, 0x11 bad range, 0x12 not supported).
constexpr u32 kErrDeletedNoBuilder = 0x470004;        // deleted-file scan: no tree builder
constexpr u32 kErrDeletedBuilderRefused = 0x4D0001;   // deleted-file scan: builder Init refused
constexpr u32 kErrDeletedNoQuickSearch = 0x5C0012;    // deleted-file scan: no search for the FsCode
constexpr u32 kErrCompleteMissingArgument = 0x390005; // complete scan: no device, sink or consumer
constexpr u32 kErrCompleteNoBuilder = 0x1CA0004;      // complete scan: no tree builder
constexpr u32 kErrCompleteBuilderRefused = 0x1CF0002; // complete scan: builder Init refused
constexpr u32 kErrCompleteNoProgress = 0x10D0005;     // complete scan: block loop without a sink
constexpr u32 kErrCompleteNoSectors = 0x1120011;      // complete scan: the device has no sectors

// GetType answers (the ScanMode numbers that CreateRecoveryController takes).
constexpr u32 kControllerDeletedScan = 0;
constexpr u32 kControllerCompleteScan = 1;

class IRecoveryController {
public:
    IRecoveryController() = default;
    IRecoveryController(const IRecoveryController&) = delete;
    IRecoveryController& operator=(const IRecoveryController&) = delete;

    // Frees everything the controller owns.
    virtual ~IRecoveryController() = default;
    // 0 deleted-file scan, 1 complete scan.
    virtual u32 GetType() = 0;
    // 1 when the controller is ready; 0 for a null filter.
    virtual u32 Initialize(IRecoveryFilter* filter) = 0;
    // Scans one volume: 0 on success or a scan error code.
    virtual u32 Run(IStorageDevice* device, IProgress* progress, IDirectoryTree* consumer, const char* displayName,
                    u32 lostDataReason) = 0;
    // Destroys the controller.
    virtual void Release() = 0;
    // Stores the FsCode and, when given, the display name for the next Run.
    virtual void SetFileSystem(u32 fsCode, const char* name) = 0;
    // 1 and the geometry of the partition that holds the node; 0 (outputs untouched) when none
    // is known.
    virtual u32 GetFileSource(CFileNode* node, u64& startSector, u32& sectorsPerCluster) = 0;
    virtual void Reserved8(u32) {}
    virtual void Reserved9(u32) {}
    // Sets the stop flag; the running search learns of it at its next check.
    virtual void Stop() = 0;
};

// 0 makes the deleted-file scan, 1 the complete scan; any other mode (4 included) gives null.
IRecoveryController* CreateRecoveryController(u32 scanMode);

// The controller whose trees are on screen; null when none. Safe from any thread.
IRecoveryController* GetCurrentRecoveryController();
void SetCurrentRecoveryController(IRecoveryController* controller);
